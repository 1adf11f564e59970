// The main window driven through its buttons against simulated terminals:
// polling, full retrieval, scheduled clock change, manual commands, exit.

#include "form1.h"
#include "mod_ado.h"
#include "mod_ini.h"
#include "mod_variables.h"
#include "sim/simulador.h"
#include "texto.h"
#include "trabajador.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

using namespace MOD_variables;

namespace {

constexpr int Espera = 30000; // generous for a loaded machine; not a timing assertion

// Answers the next message box with `boton`, recording its text.
void responderCaja(QString *texto, QMessageBox::StandardButton boton)
{
    auto *sondeo = new QTimer;
    QObject::connect(sondeo, &QTimer::timeout, [=] {
        auto *caja = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!caja)
            return;
        sondeo->deleteLater();
        sondeo->stop();
        *texto = caja->text();
        caja->button(boton)->click();
    });
    sondeo->start(10);
}

QString direccionAleatoria()
{
    auto *r = QRandomGenerator::global();
    return QStringLiteral("127.%1.%2.%3").arg(r->bounded(1, 251)).arg(r->bounded(1, 251)).arg(r->bounded(1, 251));
}

} // namespace

class TestE2e : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> programa_, xdg_;
    std::unique_ptr<korasim::Simulador> sim_;
    std::unique_ptr<Form1> form_;

    void ini(const char *seccion, const char *clave, const QString &valor)
    {
        MOD_ini::EscribirIni(MOD_ini::RutaConfig(), QLatin1String(seccion), QLatin1String(clave), valor);
    }
    template <typename T> T *control(const char *nombre) const { return form_->findChild<T *>(QLatin1String(nombre)); }
    QPushButton *boton(const char *nombre) const { return control<QPushButton>(nombre); }
    QStringList log() const
    {
        QStringList lineas;
        auto *l = control<QListWidget>("List1");
        for (int i = 0; i < l->count(); ++i)
            lineas << l->item(i)->text();
        return lineas;
    }
    void arrancar()
    {
        form_ = std::make_unique<Form1>();
        form_->show();
    }
    // A terminal in the table; tipo 2 = ETHERNET (at ip), 1 = RS485 on port 1.
    void anadir(int codigo, const QString &nombre, const QString &ip, int tipo = 2)
    {
        QCOMPARE(MOD_ado::InsertarTerminal(CadenaConexion(), QString::number(codigo), nombre, ip,
                                           QString::number(tipo), QStringLiteral("1")),
                 QString());
        QCOMPARE(MOD_ado::CargarTerminales(CadenaConexion()), QString());
        form_->ActualizarListaTerminales();
    }
    // A simulated TCP terminal with `marcajes` punches one minute apart.
    korasim::Terminal &simularTcp(int codigo, const QString &ip, int marcajes = 0)
    {
        auto &t = sim_->agregarTerminal(quint8(codigo));
        for (int i = 0; i < marcajes; ++i)
            t.agregarMarcaje(QDateTime::currentDateTime().addSecs(-60 * (i + 1)), 1000 + i);
        if (sim_->escucharTcp(quint8(codigo), QHostAddress(ip)) == 0)
            qFatal("cannot listen on %s", qPrintable(ip));
        return t;
    }
    int filasMarcajes() const
    {
        int n = -1;
        {
            auto bd = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("cuenta"));
            bd.setDatabaseName(RutaBaseDatos);
            if (bd.open()) {
                QSqlQuery q(QStringLiteral("SELECT COUNT(*) FROM marcajes"), bd);
                n = q.next() ? q.value(0).toInt() : -1;
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("cuenta"));
        return n;
    }
    void esperarLectura()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!LecturaEnCurso, Espera);
        QVERIFY(boton("Command1")->isEnabled());
    }

private slots:
    void init()
    {
        programa_ = std::make_unique<QTemporaryDir>();
        xdg_ = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", xdg_->path().toLocal8Bit());
        MOD_ini::FijarDirectorioPrograma(programa_->path());
        ini("comunicaciones", "timeout", QStringLiteral("1"));
        ini("comunicaciones", "lectura", QStringLiteral("0")); // no automatic run unless a test asks
        sim_ = std::make_unique<korasim::Simulador>();
    }
    void cleanup()
    {
        form_.reset();
        sim_.reset();
    }

    // TCP, a dead terminal and an RS-485 bus in one run; the count runs on.
    void lecturaDeTodos()
    {
        const QString bus = sim_->abrirPty(korasim::Modo::RS485, {7});
        QVERIFY(!bus.isEmpty());
        ini("puertos", "com1", bus);
        auto &rs485 = sim_->agregarTerminal(7);
        for (int i = 0; i < 3; ++i)
            rs485.agregarMarcaje(QDateTime::currentDateTime().addSecs(-60 * (i + 1)), 2000 + i);
        const QString ip = direccionAleatoria();
        simularTcp(1, ip, 5);
        arrancar();
        anadir(1, QStringLiteral("Puerta"), ip);
        anadir(2, QStringLiteral("Muerto"), direccionAleatoria()); // nothing listens there
        anadir(7, QStringLiteral("Almacen"), QString(), 1);

        boton("Command1")->click();
        QVERIFY(LecturaEnCurso);
        QVERIFY(!boton("Command1")->isEnabled());
        esperarLectura();
        const QStringList l = log();
        QCOMPARE(l.size(), 3);
        const QString fecha = QStringLiteral("^\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d");
        QVERIFY(QRegularExpression(fecha + ", OK, Puerta \\(marcajes leídos: 5\\)$").match(l[0]).hasMatch());
        QVERIFY(QRegularExpression(fecha + ", error en comunicaciones, terminal Muerto$").match(l[1]).hasMatch());
        QVERIFY2(QRegularExpression(fecha + ", OK, Almacen \\(marcajes leídos: 8\\)$").match(l[2]).hasMatch(),
                 qPrintable(l[2]));
        QCOMPARE(filasMarcajes(), 8);

        // Everything is read: a full retrieval finds only duplicates, counted alone.
        form_->findChild<QListWidget *>(QStringLiteral("List2"))->setCurrentRow(0);
        QString pregunta;
        responderCaja(&pregunta, QMessageBox::Yes);
        boton("Command12")->click();
        QCOMPARE(pregunta, QStringLiteral("Este proceso leerá todos los marcajes del terminal (antiguos y nuevos), "
                                          "¿desea continuar? "));
        QVERIFY(!boton("Command12")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(boton("Command12")->isEnabled(), Espera);
        QVERIFY(log().last().endsWith(QStringLiteral(", OK, Puerta (marcajes leídos: 0)")));
        QCOMPARE(filasMarcajes(), 8);
    }

    void logAcotado()
    {
        arrancar();
        for (int i = 0; i < 3; ++i)
            anadir(i + 1, QStringLiteral("T%1").arg(i), direccionAleatoria());
        for (int i = 0; i < 150; ++i)
            form_->AnadirLog(QString::number(i));
        boton("Command1")->click();
        esperarLectura();
        const QStringList l = log();
        QCOMPARE(l.size(), 150);
        QCOMPARE(l.first(), QStringLiteral("3"));
        QVERIFY(l.last().endsWith(QStringLiteral("terminal T2")));
    }

    // The window keeps serving events while the worker waits, and closing it
    // stops that wait instead of sitting out the timeout.
    void esperaSinBloquearYCierre()
    {
        ini("comunicaciones", "timeout", QStringLiteral("30"));
        const QString ip = direccionAleatoria();
        simularTcp(1, ip).fijarFallos({.silencioso = true});
        arrancar();
        anadir(1, QStringLiteral("Mudo"), ip);
        int ticks = 0;
        QTimer latido;
        connect(&latido, &QTimer::timeout, [&] { ++ticks; });
        latido.start(20);
        boton("Command1")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!sim_->registro().isEmpty(), Espera);
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 20, Espera);
        QVERIFY(LecturaEnCurso); // still waiting on the terminal

        QElapsedTimer reloj;
        reloj.start();
        form_->close();
        QVERIFY2(reloj.elapsed() < 10000, "closing waited for the terminal's timeout");
        QVERIFY(form_->trabajador()->detener(0));
        QVERIFY(log().isEmpty());
    }

    void temporizador_data()
    {
        QTest::addColumn<QString>("periodo");
        QTest::addColumn<int>("minutos");
        QTest::addColumn<bool>("corre");
        QTest::newRow("reaches P") << "2" << 1 << true;
        QTest::newRow("fractional P") << "0.5" << 0 << true;
        QTest::newRow("P lowered below the count") << "3" << 7 << true;
        QTest::newRow("not yet") << "3" << 1 << false;
        QTest::newRow("P zero") << "0" << 40 << false;
        QTest::newRow("P not a number") << "abc" << 40 << false;
    }
    void temporizador()
    {
        QFETCH(QString, periodo);
        QFETCH(int, minutos);
        QFETCH(bool, corre);
        arrancar();
        control<QLineEdit>("Text1")->setText(periodo);
        MinutosLectura = qint16(minutos);
        SegundosLectura = 59;
        form_->Timer1_Timer();
        QCOMPARE(LecturaEnCurso, corre);
        QCOMPARE(SegundosLectura, qint16(0));
        if (corre) {
            QCOMPARE(MinutosLectura, qint16(0));
            esperarLectura();
        } else {
            QCOMPARE(MinutosLectura, qint16(minutos + (valorNumerico(periodo) > 0 ? 1 : 0)));
        }
    }

    void cambioProgramado_data()
    {
        QTest::addColumn<QTime>("ahora");
        QTest::addColumn<bool>("envia");
        QTest::addColumn<bool>("armado");
        QTest::newRow("trigger minute, seconds ignored") << QTime(2, 0, 59) << true << false;
        QTest::newRow("trigger passed") << QTime(2, 1, 0) << false << false;
        QTest::newRow("still to come") << QTime(1, 59, 59) << false << true;
    }
    void cambioProgramado()
    {
        QFETCH(QTime, ahora);
        QFETCH(bool, envia);
        QFETCH(bool, armado);
        const QString ip = direccionAleatoria();
        auto &vivo = simularTcp(1, ip);
        arrancar();
        anadir(1, QStringLiteral("Vivo"), ip);
        anadir(2, QStringLiteral("Muerto"), direccionAleatoria());
        const QDate dia(2026, 3, 31);
        control<QDateTimeEdit>("Fecha1")->setDateTime(QDateTime(dia, QTime(2, 0, 45)));
        control<QDateTimeEdit>("Fecha2")->setDateTime(QDateTime(dia, QTime(3, 0)));
        control<QCheckBox>("Check1")->setChecked(true);
        form_->Ahora = [=] { return QDateTime(dia, ahora); };

        form_->Timer2_Timer();
        form_->Timer2_Timer(); // a second tick in the same minute must not send again
        QCOMPARE(control<QCheckBox>("Check1")->isChecked(), armado);
        QCOMPARE(MOD_ini::LeerIni(MOD_ini::RutaConfig(), QStringLiteral("cambiohora"), QStringLiteral("activada")),
                 armado ? QStringLiteral("True") : QStringLiteral("False"));
        if (!envia) {
            QTest::qWait(200);
            QVERIFY(log().isEmpty());
            QCOMPARE(vivo.relojesRecibidos(), 0);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(log().size(), 2, Espera);
        QVERIFY(log()[0].startsWith(QStringLiteral("OK, fecha/hora enviada, ")) && log()[0].endsWith(", Vivo"));
        QVERIFY(log()[1].startsWith(QStringLiteral("ERROR al enviar fecha/hora, ")) && log()[1].endsWith(", Muerto"));
        QCOMPARE(vivo.relojesRecibidos(), 1);
        QCOMPARE(korasim::fechaDeRegistroReloj(*vivo.ultimoRelojRecibido()), QDateTime(dia, QTime(3, 0)));
    }

    void relojes()
    {
        const QString ip = direccionAleatoria();
        auto &t = simularTcp(1, ip);
        t.fijarRespuestaReloj(korasim::RegistroReloj{0x07, 0x05, 0x09, 0x05, 0x04, 0x12, 0x26});
        arrancar();
        anadir(1, QStringLiteral("Puerta"), ip);
        anadir(2, QStringLiteral("Muerto"), QString());
        auto *lista = control<QListWidget>("List2");
        lista->setCurrentRow(0);
        boton("Command6")->click();
        boton("Command3")->click();
        lista->setCurrentRow(1); // no IP: the line ends with the fixed text
        boton("Command3")->click();
        QTRY_COMPARE_WITH_TIMEOUT(log().size(), 3, Espera);
        const QString l = log()[0];
        QVERIFY2(l.startsWith(QStringLiteral("Terminal: ") + ip + "  ") && l.contains(QLocale::system().toString(QTime(9, 5, 7), QStringLiteral("ss"))) &&
                     l.contains(QStringLiteral(" Viernes, ")) &&
                     l.endsWith(QLocale::system().toString(QDate(2026, 12, 4), QLocale::ShortFormat)),
                 qPrintable(l));
        QCOMPARE(log()[1], QStringLiteral("OK, Fecha/Hora enviada al terminal ") + ip);
        QCOMPARE(log()[2], QStringLiteral("Error en comunicaciones, no se puede establecer comunicación con el terminal "));
        QVERIFY(qAbs(korasim::fechaDeRegistroReloj(*t.ultimoRelojRecibido()).secsTo(QDateTime::currentDateTime())) < 120);
    }

    void enviarIncidencias_data()
    {
        QTest::addColumn<bool>("alcanzable");
        QTest::newRow("every write fails") << false;
        QTest::newRow("terminal answers") << true;
    }
    void enviarIncidencias()
    {
        QFETCH(bool, alcanzable);
        ini("Incidencias", "timeout", QStringLiteral("1")); // the pause runs on the worker
        const QString ip = direccionAleatoria();
        auto &t = sim_->agregarTerminal(1);
        if (alcanzable)
            simularTcp(1, ip);
        arrancar();
        {
            QSqlDatabase bd = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inc"));
            bd.setDatabaseName(RutaBaseDatos);
            QVERIFY(bd.open());
            for (int i = 0; i <= 3; ++i)
                QVERIFY(QSqlQuery(bd).exec(QStringLiteral("INSERT INTO Incidencias VALUES (%1, ' Texto %1 ')").arg(i)));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("inc"));
        anadir(1, QStringLiteral("Puerta"), ip);
        control<QListWidget>("List2")->setCurrentRow(0);
        control<QLineEdit>("Text2")->setText(QStringLiteral("1"));
        control<QLineEdit>("Text3")->setText(QStringLiteral("3"));
        boton("Command5")->click();
        QVERIFY(!boton("Command5")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(boton("Command5")->isEnabled(), Espera);
        QStringList esperado;
        for (int n = 1; n <= 3; ++n)
            esperado << (alcanzable ? QStringLiteral("OK, INCIDENCIA ENVIADA (%1 - Texto %1)").arg(n)
                                    : QStringLiteral("ERROR, INCIDENCIA %1: Texto %1").arg(n));
        esperado << (alcanzable ? QStringLiteral("OK, INCIDENCIAS ASEGURADAS ") : QStringLiteral("ERROR, INCIDENCIAS ASEGURADAS "))
                 << (alcanzable ? QStringLiteral("OK, incidencias enviadas al terminal ")
                                : QStringLiteral("Error en comunicaciones, no se puede establecer comunicación con el terminal ")) +
                        ip;
        QCOMPARE(log(), esperado);
        QCOMPARE(t.incidenciasEscritas(), alcanzable ? 3 : 0);
        QCOMPARE(t.ordenesAsegurar(), alcanzable ? 1 : 0);
    }

    void leerIncidencias()
    {
        const QString ip = direccionAleatoria();
        auto &t = simularTcp(1, ip);
        t.fijarIncidencia(4, QByteArray(16, '\0'));
        t.fijarIncidencia(5, QByteArray("  HOLA") + QByteArray(10, ' '));
        arrancar();
        anadir(1, QStringLiteral("Puerta"), ip);
        control<QListWidget>("List2")->setCurrentRow(0);
        control<QLineEdit>("Text2")->setText(QStringLiteral("4.5")); // halves to even: 4
        control<QLineEdit>("Text3")->setText(QStringLiteral("6"));
        boton("Command4")->click();
        QVERIFY(!boton("Command4")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(boton("Command4")->isEnabled(), Espera);
        QCOMPARE(log().mid(1), QStringList({QStringLiteral("INCIDENCIA 5: "), QStringLiteral("INCIDENCIA 6: HOLA")}));
        QVERIFY(log()[0].startsWith(QStringLiteral("INCIDENCIA 4: ")));
    }

    void sinSeleccion_data()
    {
        QTest::addColumn<QString>("nombre");
        for (const char *b : {"Command12", "Command3", "Command6", "Command4", "Command5", "Command7"})
            QTest::newRow(b) << QString::fromLatin1(b);
    }
    void sinSeleccion()
    {
        QFETCH(QString, nombre);
        arrancar();
        anadir(1, QStringLiteral("Puerta"), direccionAleatoria());
        QString texto;
        responderCaja(&texto, QMessageBox::Ok);
        auto *b = boton(nombre.toLatin1().constData());
        b->click();
        QCOMPARE(texto, QStringLiteral("Seleccione un terminal"));
        QTest::qWait(100);
        QVERIFY(log().isEmpty());
        QVERIFY(b->isEnabled());
    }

    // A punch the database refuses is not lost: it arrives once the database is back.
    void baseDatosBloqueada()
    {
        const QString ip = direccionAleatoria();
        simularTcp(1, ip, 2);
        arrancar();
        anadir(1, QStringLiteral("Puerta"), ip);
        {
            QSqlDatabase bd = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("cerrojo"));
            bd.setDatabaseName(RutaBaseDatos);
            QVERIFY(bd.open());
            QSqlQuery q(bd);
            QVERIFY(q.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            boton("Command1")->click();
            esperarLectura();
            QVERIFY(q.exec(QStringLiteral("ROLLBACK")));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("cerrojo"));
        QCOMPARE(log().size(), 1);
        QVERIFY2(log()[0].contains(QStringLiteral(", error en base de datos, terminal Puerta: ")), qPrintable(log()[0]));
        QCOMPARE(filasMarcajes(), 0);

        boton("Command1")->click();
        esperarLectura();
        QVERIFY2(log()[1].endsWith(QStringLiteral(", OK, Puerta (marcajes leídos: 2)")), qPrintable(log()[1]));
        QCOMPARE(filasMarcajes(), 2);
    }
};

QTEST_MAIN(TestE2e)
#include "test_e2e.moc"
