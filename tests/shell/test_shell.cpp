// The main window and the terminal editor, driven through their real widgets
// on a real config.ini and a real SQLite database in a temporary folder.

#include "autoarranque.h"
#include "form1.h"
#include "mod_ado.h"
#include "mod_ini.h"
#include "mod_variables.h"
#include "updown.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

using namespace MOD_variables;

namespace {

struct FilaTerminal {
    int codigo;
    QString descripcion, ip;
    int tipo, com;
};

// Runs accion on the next modal widget that matches, from the event loop of
// whatever exec() is running when it appears.
// A dialog still open when the action returns (a failed check) is closed so the test goes on.
void alAparecer(std::function<bool(QWidget *)> esEl, std::function<void(QWidget *)> accion)
{
    auto *sondeo = new QTimer;
    sondeo->setInterval(10);
    QObject::connect(sondeo, &QTimer::timeout, [sondeo, esEl, accion] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !esEl(modal))
            return;
        sondeo->stop();
        sondeo->deleteLater();
        QPointer<QWidget> vigilado(modal);
        accion(modal);
        if (auto *dialogo = qobject_cast<QDialog *>(vigilado.data()); dialogo && dialogo->isVisible())
            dialogo->reject();
    });
    sondeo->start();
}

bool esCaja(QWidget *w) { return qobject_cast<QMessageBox *>(w) != nullptr; }
bool esEditor(QWidget *w) { return w->objectName() == QLatin1String("Form2"); }

struct Caja {
    QString titulo, texto;
    QMessageBox::Icon icono = QMessageBox::NoIcon;
    QMessageBox::StandardButtons botones;
};

// Records the next message box and answers it with the given button.
void responderCaja(Caja *vista, QMessageBox::StandardButton boton)
{
    alAparecer(esCaja, [vista, boton](QWidget *w) {
        auto *caja = static_cast<QMessageBox *>(w);
        *vista = {caja->windowTitle(), caja->text(), caja->icon(), caja->standardButtons()};
        caja->button(boton)->click();
    });
}

// Gives a window the focus so leaving a box really sends it a focus-out.
void activar(QWidget *ventana)
{
    ventana->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(ventana));
}

// Types into a box and leaves it for another one.
void escribirYSalir(QLineEdit *caja, const QString &texto, QWidget *siguiente)
{
    caja->setFocus();
    caja->clear();
    QTest::keyClicks(caja, texto);
    siguiente->setFocus();
}

} // namespace

class TestShell : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> programa_;
    std::unique_ptr<QTemporaryDir> xdg_;
    std::unique_ptr<Form1> form_;

    QString ini() const { return programa_->filePath(QStringLiteral("config.ini")); }
    QString leer(const char *seccion, const char *clave) const
    {
        return MOD_ini::LeerIni(ini(), QLatin1String(seccion), QLatin1String(clave));
    }
    void escribir(const char *seccion, const char *clave, const QString &valor) const
    {
        MOD_ini::EscribirIni(ini(), QLatin1String(seccion), QLatin1String(clave), valor);
    }
    Form1 *arrancar()
    {
        form_ = std::make_unique<Form1>();
        form_->show();
        return form_.get();
    }
    template <typename T> T *control(const char *nombre, QWidget *en = nullptr) const
    {
        auto *c = (en ? en : form_.get())->findChild<T *>(QLatin1String(nombre));
        if (!c)
            qFatal("missing control %s", nombre);
        return c;
    }
    QListWidget *lista() const { return control<QListWidget>("List2"); }

    QList<FilaTerminal> filas() const
    {
        QList<FilaTerminal> resultado;
        {
            auto bd = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("prueba"));
            bd.setDatabaseName(RutaBaseDatos);
            if (!bd.open())
                qFatal("cannot open the test database");
            QSqlQuery q(QStringLiteral("SELECT codigo, descripcion, IP, Tipo, Com FROM terminales_1 ORDER BY ID"), bd);
            while (q.next())
                resultado.append({q.value(0).toInt(), q.value(1).toString(), q.value(2).toString(), q.value(3).toInt(),
                                  q.value(4).toInt()});
        }
        QSqlDatabase::removeDatabase(QStringLiteral("prueba"));
        return resultado;
    }
    void anadirTerminal(const QString &nombre)
    {
        QCOMPARE(MOD_ado::InsertarTerminal(CadenaConexion(), QStringLiteral("1"), nombre, QString(),
                                           QStringLiteral("0"), QStringLiteral("1")),
                 QString());
        QCOMPARE(MOD_ado::CargarTerminales(CadenaConexion()), QString());
        form_->ActualizarListaTerminales();
    }

private slots:
    void init()
    {
        programa_ = std::make_unique<QTemporaryDir>();
        xdg_ = std::make_unique<QTemporaryDir>();
        QVERIFY(programa_->isValid() && xdg_->isValid());
        qputenv("XDG_CONFIG_HOME", xdg_->path().toLocal8Bit());
        MOD_ini::FijarDirectorioPrograma(programa_->path());
    }
    void cleanup() { form_.reset(); }

    void primerArranque()
    {
        TimeoutComunicaciones = 99;
        TimeoutIncidencias = 99;
        MinutosLectura = 7;
        arrancar();

        QVERIFY(control<QCheckBox>("Check2")->isChecked());
        QCOMPARE(leer("inicio", "autoarranque"), QStringLiteral("1"));
        QFile entrada(Autoarranque::RutaEntrada());
        QVERIFY(entrada.open(QIODevice::ReadOnly));
        QVERIFY(entrada.readAll().contains(("\nExec=" + programa_->path() + "/kalverostin\n").toUtf8()));

        const QDateTime medianoche = QDate::currentDate().startOfDay();
        QCOMPARE(control<QDateTimeEdit>("Fecha1")->dateTime(), medianoche);
        QCOMPARE(control<QDateTimeEdit>("Fecha2")->dateTime(), medianoche);
        QVERIFY(!control<QCheckBox>("Check1")->isChecked());
        QCOMPARE(CambioActivado, QStringLiteral("False"));
        QVERIFY(leer("cambiohora", "hora1").isEmpty());
        QVERIFY(leer("cambiohora", "hora2").isEmpty());
        QVERIFY(leer("cambiohora", "activada").isEmpty());

        const QString bd = programa_->filePath(QStringLiteral("datos/zeb.db"));
        QCOMPARE(control<QLineEdit>("Text4")->text(), bd);
        QCOMPARE(RutaBaseDatos, bd);
        QVERIFY(QFile::exists(bd));

        QCOMPARE(TimeoutComunicaciones, qint16(5));
        QCOMPARE(TimeoutIncidencias, qint16(0));
        QCOMPARE(MinutosLectura, qint16(0));
        QCOMPARE(control<QLineEdit>("Text1")->text(), QStringLiteral("1"));
        QCOMPARE(leer("comunicaciones", "lectura"), QStringLiteral("1"));
        QCOMPARE(control<QLineEdit>("Text2")->text(), QStringLiteral("1"));
        QCOMPARE(control<QLineEdit>("Text3")->text(), QStringLiteral("99"));
        QCOMPARE(lista()->count(), 0);
        QCOMPARE(control<QListWidget>("List1")->count(), 0);
        for (const char *nombre : {"Timer1", "Timer2"}) {
            auto *t = control<QTimer>(nombre);
            QVERIFY(t->isActive());
            QCOMPARE(t->interval(), 1000);
        }
    }

    void autoarranque_data()
    {
        QTest::addColumn<QString>("guardado");
        QTest::addColumn<bool>("activo");
        QTest::addColumn<QString>("despues");
        QTest::newRow("0") << "0" << false << "0";
        QTest::newRow("2") << "2" << false << "2";
        QTest::newRow("not a number") << "x" << false << "x";
        QTest::newRow("empty reads as 1") << "" << true << "1";
        QTest::newRow("1.0") << "1.0" << true << "1";
    }
    void autoarranque()
    {
        QFETCH(QString, guardado);
        QFETCH(bool, activo);
        QFETCH(QString, despues);
        escribir("inicio", "autoarranque", guardado);
        Autoarranque::EscribirEntrada(!activo); // the opposite of what start-up must leave
        arrancar();
        QCOMPARE(control<QCheckBox>("Check2")->isChecked(), activo);
        QCOMPARE(QFile::exists(Autoarranque::RutaEntrada()), activo);
        QCOMPARE(leer("inicio", "autoarranque"), despues);

        // Unticking by hand clears the entry and stores "0".
        auto *check2 = control<QCheckBox>("Check2");
        check2->setChecked(true);
        check2->click();
        QVERIFY(!QFile::exists(Autoarranque::RutaEntrada()));
        QCOMPARE(leer("inicio", "autoarranque"), QStringLiteral("0"));
    }

    void timeouts_data()
    {
        QTest::addColumn<QString>("comunicaciones");
        QTest::addColumn<QString>("incidencias");
        QTest::addColumn<int>("esperadoComunicaciones");
        QTest::addColumn<int>("esperadoIncidencias");
        QTest::newRow("numbers") << "12" << "3" << 12 << 3;
        QTest::newRow("rounded half to even") << "2.5" << "3.5" << 2 << 4;
        QTest::newRow("not numbers") << "abc" << "x" << 5 << 0;
        QTest::newRow("beyond 16 bits") << "70000" << "-40000" << 5 << 0;
        QTest::newRow("leading number") << " 8 s" << "&H10" << 8 << 16;
    }
    void timeouts()
    {
        QFETCH(QString, comunicaciones);
        QFETCH(QString, incidencias);
        escribir("comunicaciones", "timeout", comunicaciones);
        escribir("Incidencias", "timeout", incidencias);
        arrancar();
        QTEST(int(TimeoutComunicaciones), "esperadoComunicaciones");
        QTEST(int(TimeoutIncidencias), "esperadoIncidencias");
    }

    void programacionRestaurada_data()
    {
        QTest::addColumn<QString>("hora1");
        QTest::addColumn<QString>("activada");
        QTest::addColumn<QDateTime>("fecha1");
        QTest::addColumn<bool>("armada");
        const QDateTime medianoche = QDate::currentDate().startOfDay();
        const QDateTime marzo(QDate(2031, 3, 30), QTime(2, 0));
        QTest::newRow("armed") << "30/03/2031 02:00:00" << "True" << marzo << true;
        QTest::newRow("lower-case true") << "30/03/2031 02:00:00" << "true" << marzo << true;
        QTest::newRow("verdadero") << "30/03/2031 02:00:00" << "verdadero" << marzo << true;
        QTest::newRow("number") << "30/03/2031 02:00:00" << "-1" << marzo << true;
        QTest::newRow("zero") << "30/03/2031 02:00:00" << "0" << marzo << false;
        QTest::newRow("falso") << "30/03/2031 02:00:00" << "FALSO" << marzo << false;
        QTest::newRow("not a boolean") << "30/03/2031 02:00:00" << "quizá" << marzo << false;
        QTest::newRow("date only") << "30/03/2031" << "False" << QDateTime(QDate(2031, 3, 30), QTime(0, 0)) << false;
        QTest::newRow("not a date") << "mañana" << "True" << medianoche << true;
    }
    void programacionRestaurada()
    {
        QFETCH(QString, hora1);
        QFETCH(QString, activada);
        QFETCH(QDateTime, fecha1);
        QFETCH(bool, armada);
        escribir("cambiohora", "hora1", hora1);
        escribir("cambiohora", "hora2", QStringLiteral("30/03/2031 03:00:00"));
        escribir("cambiohora", "activada", activada);
        escribir("comunicaciones", "lectura", QStringLiteral("1"));
        escribir("inicio", "autoarranque", QStringLiteral("1"));
        escribir("datos", "bd", programa_->filePath(QStringLiteral("datos/zeb.db")));
        QFile archivo(ini());
        QVERIFY(archivo.open(QIODevice::ReadOnly));
        const QByteArray antes = archivo.readAll();
        archivo.close();

        arrancar();
        QCOMPARE(control<QDateTimeEdit>("Fecha1")->dateTime(), fecha1);
        QCOMPARE(control<QDateTimeEdit>("Fecha2")->dateTime(), QDateTime(QDate(2031, 3, 30), QTime(3, 0)));
        QCOMPARE(control<QCheckBox>("Check1")->isChecked(), armada);
        QCOMPARE(BooleanoDesdeTexto(CambioActivado).value_or(!armada), armada);
        QVERIFY(FechaHoraDesdeTexto(HoraCambio).has_value());
        QVERIFY(archivo.open(QIODevice::ReadOnly));
        QCOMPARE(archivo.readAll(), antes);
    }

    void guardarCambioHora()
    {
        arrancar();
        const QDateTime disparo(QDate(2031, 3, 30), QTime(2, 0));
        control<QDateTimeEdit>("Fecha1")->setDateTime(disparo);
        QCOMPARE(leer("cambiohora", "hora1"), QStringLiteral("30/03/2031 02:00:00"));
        QCOMPARE(leer("cambiohora", "activada"), QStringLiteral("False"));
        QCOMPARE(HoraCambio, QStringLiteral("30/03/2031 02:00:00"));

        control<QCheckBox>("Check1")->click();
        QCOMPARE(leer("cambiohora", "activada"), QStringLiteral("True"));
        QCOMPARE(CambioActivado, QStringLiteral("True"));

        // Changing what is sent while armed is stored at once.
        control<QDateTimeEdit>("Fecha2")->setDateTime(QDateTime(QDate(2031, 3, 30), QTime(3, 0)));
        QCOMPARE(leer("cambiohora", "hora2"), QStringLiteral("30/03/2031 03:00:00"));
        QCOMPARE(HoraEnvio, QStringLiteral("30/03/2031 03:00:00"));
        QCOMPARE(leer("cambiohora", "hora1"), QStringLiteral("30/03/2031 02:00:00"));

        QVERIFY(!Form1::DCheckBoolean(Qt::PartiallyChecked).has_value());
    }

    void rangoIncidencias_data()
    {
        QTest::addColumn<QString>("caja");
        QTest::addColumn<QString>("escrito");
        QTest::addColumn<QString>("queda");
        for (const char *caja : {"Text2", "Text3"}) {
            const auto fila = [caja](const char *nombre) -> QTestData & { return QTest::addRow("%s %s", caja, nombre) << caja; };
            fila("150") << "150" << "99";
            fila("0") << "0" << "1";
            fila("-5") << "-5" << "1";
            fila("comma") << "7,9" << "7";
            fila("point") << "7.6" << "8";
            fila("half to even") << "2.5" << "2";
            fila("letters") << "abc" << "1";
            fila("empty") << "" << "1";
        }
    }
    void rangoIncidencias()
    {
        QFETCH(QString, caja);
        QFETCH(QString, escrito);
        arrancar();
        activar(form_.get());
        escribirYSalir(control<QLineEdit>(caja.toLatin1().constData()), escrito, control<QLineEdit>("Text1"));
        QTEST(control<QLineEdit>(caja.toLatin1().constData())->text(), "queda");
    }

    void spinners_data()
    {
        QTest::addColumn<QString>("spinner");
        QTest::addColumn<QString>("inicial");
        QTest::addColumn<int>("pasos");
        QTest::addColumn<QString>("queda");
        QTest::newRow("period up") << "UpDown1" << "5" << 1 << "6";
        QTest::newRow("period from text") << "UpDown1" << "abc" << 1 << "1";
        QTest::newRow("period top") << "UpDown1" << "1440" << 1 << "1440";
        QTest::newRow("period bottom") << "UpDown1" << "0" << -1 << "0";
        QTest::newRow("period fraction") << "UpDown1" << "2.5" << -1 << "1";
        QTest::newRow("first incident bottom") << "UpDown2" << "1" << -1 << "1";
        QTest::newRow("last incident top") << "UpDown3" << "99" << 1 << "99";
        QTest::newRow("last incident above range") << "UpDown3" << "500" << -1 << "98";
    }
    void spinners()
    {
        QFETCH(QString, spinner);
        QFETCH(QString, inicial);
        QFETCH(int, pasos);
        arrancar();
        auto *s = control<UpDown>(spinner.toLatin1().constData());
        s->buddy()->setText(inicial);
        s->stepBy(pasos);
        QTEST(s->buddy()->text(), "queda");
        // The period box stores whatever it shows.
        QCOMPARE(leer("comunicaciones", "lectura"), control<QLineEdit>("Text1")->text());
    }

    void periodoGuardaElTexto()
    {
        arrancar();
        activar(form_.get());
        escribirYSalir(control<QLineEdit>("Text1"), QStringLiteral("cada 5"), control<QLineEdit>("Text2"));
        QCOMPARE(leer("comunicaciones", "lectura"), QStringLiteral("cada 5"));
    }

    void elegirBaseDatos()
    {
        arrancar();
        anadirTerminal(QStringLiteral("Puerta"));
        const QString antes = RutaBaseDatos;

        form_->ElegirArchivoBaseDatos = [] { return QString(); };
        control<QPushButton>("Command11")->click();
        QCOMPARE(RutaBaseDatos, antes);
        QCOMPARE(control<QLineEdit>("Text4")->text(), antes);

        const QString otra = programa_->filePath(QStringLiteral("otra.mdb"));
        form_->ElegirArchivoBaseDatos = [otra] { return otra; };
        control<QPushButton>("Command11")->click();
        QCOMPARE(control<QLineEdit>("Text4")->text(), otra);
        QCOMPARE(RutaBaseDatos, otra);
        QCOMPARE(leer("datos", "bd"), otra);
        QCOMPARE(lista()->count(), 1); // nothing reloaded
    }

    void sinSeleccion_data()
    {
        QTest::addColumn<QString>("boton");
        QTest::newRow("modify") << "Command9";
        QTest::newRow("delete") << "Command10";
    }
    void sinSeleccion()
    {
        QFETCH(QString, boton);
        arrancar();
        anadirTerminal(QStringLiteral("Puerta"));
        Caja vista;
        responderCaja(&vista, QMessageBox::Ok);
        control<QPushButton>(boton.toLatin1().constData())->click();
        QCOMPARE(vista.texto, QStringLiteral("Seleccione un terminal"));
        QCOMPARE(vista.icono, QMessageBox::NoIcon);
        QCOMPARE(vista.botones, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(vista.titulo, TituloAplicacion);
        QCOMPARE(filas().size(), 1);
        QCOMPARE(lista()->count(), 1);
    }

    void editorReglas()
    {
        arrancar();
        bool visto = false;
        alAparecer(esEditor, [&](QWidget *editor) {
            visto = true;
            activar(editor);
            auto *codigo = control<QLineEdit>("Text1", editor);
            auto *nombre = control<QLineEdit>("Text2", editor);
            auto *ip = control<QLineEdit>("Text3", editor);
            auto *puerto = control<QLineEdit>("Text4", editor);
            auto *tipo = control<QComboBox>("Combo1", editor);
            QCOMPARE(codigo->text(), QStringLiteral("1"));
            QCOMPARE(puerto->text(), QStringLiteral("1"));
            QCOMPARE(tipo->currentText(), QStringLiteral("RS232"));
            QCOMPARE(tipo->count(), 3);
            QVERIFY(!tipo->isEditable());
            QCOMPARE(nombre->maxLength(), 50);
            QCOMPARE(ip->maxLength(), 50);

            const QList<std::pair<QString, QString>> codigos = {
                {"200", "1"}, {"abc", "1"}, {"0", "1"}, {"128", "128"}, {"127.5", "128"}, {"99999999999", "1"}};
            for (const auto &[escrito, queda] : codigos) {
                escribirYSalir(codigo, escrito, nombre);
                QCOMPARE(codigo->text(), queda);
            }
            const QList<std::pair<QString, QString>> puertos = {{"20", "16"}, {"0", "1"}, {"x", "1"}, {"3", "3"}};
            for (const auto &[escrito, queda] : puertos) {
                escribirYSalir(puerto, escrito, nombre);
                QCOMPARE(puerto->text(), queda);
            }

            const QColor blanco(Qt::white), cara = editor->palette().color(QPalette::Button);
            QVERIFY(!ip->isEnabled());
            QCOMPARE(ip->palette().color(QPalette::Base), cara);
            QVERIFY(puerto->isEnabled());
            QCOMPARE(puerto->palette().color(QPalette::Base), blanco);

            tipo->setCurrentIndex(2);
            QVERIFY(ip->isEnabled());
            QCOMPARE(ip->palette().color(QPalette::Base), blanco);
            QVERIFY(!puerto->isEnabled());
            QCOMPARE(puerto->palette().color(QPalette::Base), cara);
            QCOMPARE(puerto->text(), QStringLiteral("3"));

            QTest::keyClicks(ip, QStringLiteral("10.0.0.9"));
            tipo->setCurrentIndex(1);
            QCOMPARE(ip->text(), QString());
            QVERIFY(!ip->isEnabled());

            control<QPushButton>("Command2", editor)->click();
        });
        control<QPushButton>("Command8")->click();
        QVERIFY(visto);
        QCOMPARE(filas().size(), 0);
    }

    void editorSinNombre()
    {
        arrancar();
        Caja vista;
        bool sigueAbierto = false, focoEnNombre = false;
        alAparecer(esEditor, [&](QWidget *editor) {
            activar(editor);
            responderCaja(&vista, QMessageBox::Ok);
            control<QPushButton>("Command1", editor)->click();
            sigueAbierto = editor->isVisible();
            focoEnNombre = editor->focusWidget() == control<QLineEdit>("Text2", editor);
            control<QPushButton>("Command2", editor)->click();
        });
        control<QPushButton>("Command8")->click();
        QCOMPARE(vista.texto, QStringLiteral("El terminal debe tener un nombre"));
        QCOMPARE(vista.icono, QMessageBox::Critical);
        QVERIFY(sigueAbierto);
        QVERIFY(focoEnNombre);
        QCOMPARE(filas().size(), 0);
    }

    void altaModificacionBaja()
    {
        arrancar();
        const QString nombre = QStringLiteral("Puerta O'Brien");

        alAparecer(esEditor, [&](QWidget *editor) {
            control<QLineEdit>("Text1", editor)->setText(QStringLiteral("7"));
            control<QLineEdit>("Text2", editor)->setText(nombre);
            control<QComboBox>("Combo1", editor)->setCurrentIndex(2);
            control<QLineEdit>("Text3", editor)->setText(QStringLiteral("192.168.1.50"));
            control<UpDown>("UpDown2", editor)->stepBy(2);
            control<QPushButton>("Command1", editor)->click();
        });
        control<QPushButton>("Command8")->click();
        QCOMPARE(filas().size(), 1);
        FilaTerminal f = filas().first();
        QCOMPARE(f.codigo, 7);
        QCOMPARE(f.descripcion, nombre);
        QCOMPARE(f.ip, QStringLiteral("192.168.1.50"));
        QCOMPARE(f.tipo, 2);
        QCOMPARE(f.com, 3);
        QCOMPARE(lista()->count(), 1);
        QCOMPARE(lista()->item(0)->text(), nombre);
        QCOMPARE(lista()->item(0)->data(Qt::UserRole).toInt(), int(MOD_ado::Terminales[0].ID));

        // Changing it from ETHERNET to RS485 drops its address.
        lista()->setCurrentRow(0);
        QStringList mostrado;
        alAparecer(esEditor, [&](QWidget *editor) {
            for (const char *c : {"Text1", "Text2", "Text3", "Text4"})
                mostrado << control<QLineEdit>(c, editor)->text();
            mostrado << control<QComboBox>("Combo1", editor)->currentText();
            control<QComboBox>("Combo1", editor)->setCurrentIndex(1);
            control<QLineEdit>("Text2", editor)->setText(QStringLiteral("Almacén"));
            control<QPushButton>("Command1", editor)->click();
        });
        control<QPushButton>("Command9")->click();
        QCOMPARE(mostrado, QStringList({"7", nombre, "192.168.1.50", "3", "ETHERNET"}));
        f = filas().first();
        QCOMPARE(filas().size(), 1);
        QCOMPARE(f.descripcion, QStringLiteral("Almacén"));
        QCOMPARE(f.ip, QString());
        QCOMPARE(f.tipo, 1);
        QCOMPARE(f.com, 3);
        QCOMPARE(lista()->item(0)->text(), QStringLiteral("Almacén"));
        QCOMPARE(lista()->currentRow(), -1);

        // Deleting answered No changes nothing; Yes removes it.
        lista()->setCurrentRow(0);
        Caja vista;
        responderCaja(&vista, QMessageBox::No);
        control<QPushButton>("Command10")->click();
        QCOMPARE(vista.texto, QStringLiteral("¿Desea eliminar este registro?"));
        QCOMPARE(vista.icono, QMessageBox::Question);
        QCOMPARE(vista.botones, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(filas().size(), 1);
        QCOMPARE(lista()->count(), 1);

        responderCaja(&vista, QMessageBox::Yes);
        control<QPushButton>("Command10")->click();
        QCOMPARE(filas().size(), 0);
        QCOMPARE(lista()->count(), 0);
        QCOMPARE(MOD_ado::NumTerminales, qint16(0));
    }
};

QTEST_MAIN(TestShell)
#include "test_shell.moc"
