// The punch viewer opened from the main window's menu, driven through its
// widgets on a real SQLite database: filters, order, CSV export, connection.

#include "form1.h"
#include "form_marcajes.h"
#include "mod_ado.h"
#include "mod_ini.h"
#include "mod_variables.h"
#include "modelo_marcajes.h"

#include <QAction>
#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace MOD_variables;

class TestVisor : public QObject {
    Q_OBJECT

    QTemporaryDir programa_, xdg_;
    std::unique_ptr<Form1> form_;
    QPointer<FormMarcajes> visor_;

    template <typename T> T *control(const char *nombre) const
    {
        auto *c = visor_->findChild<T *>(QLatin1String(nombre));
        if (!c)
            qFatal("missing control %s", nombre);
        return c;
    }
    QStringList fechasListadas() const
    {
        QStringList r;
        auto *m = visor_->modelo();
        while (m->canFetchMore())
            m->fetchMore();
        for (int i = 0; i < m->rowCount(); ++i)
            r << m->index(i, 0).data().toString() + '/' + m->index(i, 1).data().toString();
        return r;
    }
    void filtrar(int terminal, QDate desde, QDate hasta)
    {
        control<QComboBox>("Terminal")->setCurrentIndex(terminal);
        control<QDateEdit>("Desde")->setDate(desde);
        control<QDateEdit>("Hasta")->setDate(hasta);
    }

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", xdg_.path().toLocal8Bit());
        MOD_ini::FijarDirectorioPrograma(programa_.path());
        MOD_ini::EscribirIni(MOD_ini::RutaConfig(), "comunicaciones", "lectura", "0");
        form_ = std::make_unique<Form1>();
        for (const auto &[codigo, nombre] : {std::pair{1, "Uno"}, std::pair{2, "Dos"}})
            QCOMPARE(MOD_ado::InsertarTerminal(CadenaConexion(), QString::number(codigo), nombre, "", "0", "1"),
                     QString());
        QCOMPARE(MOD_ado::CargarTerminales(CadenaConexion()), QString());
        const QDate d(2026, 3, 10);
        const std::pair<int, QDateTime> marcajes[] = {
            {1, QDateTime(d.addDays(-1), QTime(23, 59, 59))}, {1, QDateTime(d, QTime(0, 0))},
            {2, QDateTime(d, QTime(12, 0))},                  {1, QDateTime(d.addDays(1), QTime(23, 59, 59))},
            {2, QDateTime(d.addDays(2), QTime(0, 0))}};
        for (const auto &[terminal, momento] : marcajes)
            QCOMPARE(MOD_ado::GrabarMarcaje(CadenaConexion(), terminal, momento, 1, 7, 123456, 0),
                     MOD_ado::ResultadoGrabacion::Insertado);

        form_->findChild<QAction *>("VerMarcajes")->trigger();
        visor_ = form_->findChild<FormMarcajes *>("FormMarcajes");
        QVERIFY(visor_ && visor_->isVisible());
    }

    void filtro_data()
    {
        QTest::addColumn<int>("terminal");
        QTest::addColumn<QDate>("desde");
        QTest::addColumn<QDate>("hasta");
        QTest::addColumn<QStringList>("esperado");
        const QDate d(2026, 3, 10);
        QTest::newRow("all terminals, both days whole") << 0 << d << d.addDays(1)
            << QStringList{"2026-03-11 23:59:59/1", "2026-03-10 12:00:00/2", "2026-03-10 00:00:00/1"};
        QTest::newRow("one terminal") << 1 << d << d.addDays(1)
            << QStringList{"2026-03-11 23:59:59/1", "2026-03-10 00:00:00/1"};
        QTest::newRow("other terminal, one day") << 2 << d.addDays(2) << d.addDays(2)
            << QStringList{"2026-03-12 00:00:00/2"};
        QTest::newRow("range backwards") << 0 << d.addDays(1) << d << QStringList{};
    }
    void filtro()
    {
        QFETCH(int, terminal);
        QFETCH(QDate, desde);
        QFETCH(QDate, hasta);
        QFETCH(QStringList, esperado);
        filtrar(terminal, desde, hasta);
        QCOMPARE(control<QComboBox>("Terminal")->itemText(0), QStringLiteral("Todos"));
        QCOMPARE(fechasListadas(), esperado);
        QCOMPARE(visor_->modelo()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Fecha y hora"));
    }

    void exportar()
    {
        filtrar(1, QDate(2026, 3, 9), QDate(2026, 3, 11));
        const QString archivo = programa_.filePath("marcajes.csv");
        visor_->ElegirArchivoCsv = [&] { return archivo; };
        control<QPushButton>("Exportar")->click();
        QFile f(archivo);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("fechahora,numero_terminal,codigo_incidencia,entrada_salida,tarjeta,subcodigo\r\n"
                                         "2026-03-11 23:59:59,1,7,1,123456,0\r\n"
                                         "2026-03-10 00:00:00,1,7,1,123456,0\r\n"
                                         "2026-03-09 23:59:59,1,7,1,123456,0\r\n"));
    }

    void campoCsv_data()
    {
        QTest::addColumn<QString>("valor");
        QTest::addColumn<QString>("campo");
        QTest::newRow("plain") << "12" << "12";
        QTest::newRow("comma") << "a,b" << "\"a,b\"";
        QTest::newRow("quote") << "O\"Brien" << "\"O\"\"Brien\"";
        QTest::newRow("line break") << "a\nb" << "\"a\nb\"";
    }
    void campoCsv()
    {
        QFETCH(QString, valor);
        QFETCH(QString, campo);
        QCOMPARE(ModeloMarcajes::CampoCsv(valor), campo);
    }

    // The viewer's connection lives exactly as long as its window.
    void conexionSeCierraConLaVentana()
    {
        const auto abiertas = [] {
            return QSqlDatabase::connectionNames().filter(QStringLiteral("MOD_ado_")).size();
        };
        QCOMPARE(abiertas(), 1);
        visor_->close();
        QTRY_VERIFY(visor_.isNull());
        QCOMPARE(abiertas(), 0);
    }

    void cleanupTestCase() { form_.reset(); }
};

QTEST_MAIN(TestVisor)
#include "test_visor.moc"
