// The real program in service mode (--servicio), run as a process against
// simulated TCP terminals, on its own config.ini and SQLite file.

#include "mod_ado.h"
#include "mod_ini.h"
#include "sim/simulador.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

constexpr int Espera = 30000; // generous for a loaded machine; not a timing assertion

const QByteArray Aviso = QStringLiteral("¡ATENCIÓN!, este programa ya se está ejecutando, es preferible tener sólo "
                                        "una instancia ejecutándose.")
                             .toUtf8();

QString direccionAleatoria()
{
    auto *r = QRandomGenerator::global();
    return QStringLiteral("127.%1.%2.%3").arg(r->bounded(1, 251)).arg(r->bounded(1, 251)).arg(r->bounded(1, 251));
}

} // namespace

class TestServicio : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<korasim::Simulador> sim_;
    std::vector<std::unique_ptr<QProcess>> procesos_;

    QString carpeta(const QString &nombre) const { return dir_->filePath(nombre); }
    QString ini(const QString &programa) const { return programa + QStringLiteral("/config.ini"); }
    MOD_ado::CadenaConexion bd(const QString &programa) const
    {
        return {programa + QStringLiteral("/datos/zeb.db"), QStringLiteral("qwrT958")};
    }

    // A folder holding a copy of the program, its config.ini and database.
    QString instalar(const QString &nombre, const QString &lectura, const QString &timeout)
    {
        const QString programa = carpeta(nombre);
        if (!QDir().mkpath(programa) || !QFile::copy(QStringLiteral(KALVEROSTIN_PROGRAMA), programa + "/kalverostin"))
            qFatal("cannot install the program");
        MOD_ini::EscribirIni(ini(programa), "comunicaciones", "lectura", lectura);
        MOD_ini::EscribirIni(ini(programa), "comunicaciones", "timeout", timeout);
        MOD_ini::EscribirIni(ini(programa), "inicio", "autoarranque", "0");
        if (!MOD_ado::PrepararBaseDatos(bd(programa)).isEmpty())
            qFatal("cannot create the database");
        return programa;
    }
    void anadir(const QString &programa, int codigo, const QString &nombre, const QString &ip)
    {
        QCOMPARE(MOD_ado::InsertarTerminal(bd(programa), QString::number(codigo), nombre, ip, "2", "1"), QString());
    }
    korasim::Terminal &simular(int codigo, const QString &ip, int marcajes)
    {
        auto &t = sim_->agregarTerminal(quint8(codigo));
        for (int i = 0; i < marcajes; ++i)
            t.agregarMarcaje(QDateTime::currentDateTime().addSecs(-60 * (i + 1)), 1000 + i);
        if (sim_->escucharTcp(quint8(codigo), QHostAddress(ip)) == 0)
            qFatal("cannot listen on %s", qPrintable(ip));
        return t;
    }
    QProcess *arrancar(const QString &programa, const QStringList &argumentos)
    {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment entorno = QProcessEnvironment::systemEnvironment();
        entorno.insert("TMPDIR", carpeta("tmp")); // where the single-instance lock lives
        entorno.insert("XDG_CONFIG_HOME", carpeta("xdg"));
        // A platform that does not exist: a service that touched the GUI would abort.
        entorno.insert("QT_QPA_PLATFORM", argumentos.isEmpty() ? "offscreen" : "ninguna");
        entorno.remove("DISPLAY");
        entorno.remove("WAYLAND_DISPLAY");
        p->setProcessEnvironment(entorno);
        p->setWorkingDirectory(dir_->path());
        p->start(programa + "/kalverostin", argumentos);
        if (!p->waitForStarted(Espera))
            qFatal("the program did not start");
        procesos_.push_back(std::move(p));
        return procesos_.back().get();
    }
    static int filas(const MOD_ado::CadenaConexion &cc)
    {
        int n = -1;
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "cuenta");
            db.setDatabaseName(cc.RutaBaseDatos);
            if (db.open()) {
                QSqlQuery q("SELECT COUNT(*) FROM marcajes", db);
                n = q.next() ? q.value(0).toInt() : -1;
            }
        }
        QSqlDatabase::removeDatabase("cuenta");
        return n;
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        QVERIFY(QDir().mkpath(carpeta("tmp")));
        sim_ = std::make_unique<korasim::Simulador>();
    }
    void cleanup()
    {
        for (auto &p : procesos_) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(Espera);
            }
        }
        procesos_.clear();
        sim_.reset();
        dir_.reset();
    }

    void opcionDesconocida()
    {
        const QString programa = instalar("p", "0", "1");
        QProcess *p = arrancar(programa, {"--ventana"});
        QVERIFY(p->waitForFinished(Espera));
        QCOMPARE(p->exitCode(), 2);
        QVERIFY(p->readAllStandardError().contains("--servicio"));
    }

    // Polls every 3 s, runs the armed schedule, keeps other starts out, ends on SIGTERM.
    void sondeoCambioHoraYFin()
    {
        const QString programa = instalar("p", "0.05", "1");
        const QString ip1 = direccionAleatoria(), ip2 = direccionAleatoria();
        auto &uno = simular(1, ip1, 5);
        auto &dos = simular(2, ip2, 3);
        anadir(programa, 1, "Uno", ip1);
        anadir(programa, 2, "Dos", ip2);
        anadir(programa, 3, "Muerto", direccionAleatoria());

        // Armed for this minute (not one about to end), so the first tick sends.
        if (QTime::currentTime().second() > 50)
            QTest::qWait((61 - QTime::currentTime().second()) * 1000);
        const QDateTime envio(QDate(2026, 3, 29), QTime(3, 0));
        MOD_ini::EscribirIni(ini(programa), "cambiohora", "hora1",
                             QDateTime::currentDateTime().toString("dd/MM/yyyy HH:mm:ss"));
        MOD_ini::EscribirIni(ini(programa), "cambiohora", "hora2", envio.toString("dd/MM/yyyy HH:mm:ss"));
        MOD_ini::EscribirIni(ini(programa), "cambiohora", "activada", "True");

        QProcess *servicio = arrancar(programa, {"--servicio"});
        QStringList lineas;
        QByteArray pendiente; // a line may arrive in two reads
        const auto leer = [&] {
            pendiente += servicio->readAllStandardOutput();
            for (qsizetype fin; (fin = pendiente.indexOf('\n')) >= 0; pendiente.remove(0, fin + 1))
                lineas << QString::fromUtf8(pendiente.left(fin));
            return lineas;
        };
        const QString fecha = QStringLiteral("\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d");
        const QRegularExpression ok1("^" + fecha + ", OK, Uno \\(marcajes leídos: 5\\)$");
        const QRegularExpression ok2("^" + fecha + ", OK, Dos \\(marcajes leídos: 8\\)$");
        const QRegularExpression muerto("^" + fecha + ", error en comunicaciones, terminal Muerto$");
        QTRY_VERIFY_WITH_TIMEOUT(leer().indexOf(muerto) >= 0, Espera);
        QVERIFY2(lineas.indexOf(ok1) >= 0, qPrintable(lineas.join('\n')));
        QVERIFY2(lineas.indexOf(ok2) > lineas.indexOf(ok1), qPrintable(lineas.join('\n')));
        QCOMPARE(filas(bd(programa)), 8);

        QVERIFY2(lineas.indexOf(QRegularExpression("^OK, fecha/hora enviada, " + fecha + ", Uno$")) >= 0,
                 qPrintable(lineas.join('\n')));
        QVERIFY(lineas.indexOf(QRegularExpression("^ERROR al enviar fecha/hora, " + fecha + ", Muerto$")) >= 0);
        QCOMPARE(uno.relojesRecibidos(), 1);
        QCOMPARE(dos.relojesRecibidos(), 1);
        QCOMPARE(korasim::fechaDeRegistroReloj(*uno.ultimoRelojRecibido()), envio);
        QCOMPARE(MOD_ini::LeerIni(ini(programa), "cambiohora", "activada"), QStringLiteral("False"));

        // The cycle goes on: a new punch arrives with a later run, only once.
        uno.agregarMarcaje(QDateTime::currentDateTime(), 4242);
        QTRY_COMPARE_WITH_TIMEOUT(filas(bd(programa)), 9, Espera);
        QTRY_VERIFY2_WITH_TIMEOUT(leer().indexOf(QRegularExpression(fecha + ", OK, Uno \\(marcajes leídos: 1\\)")) >= 0,
                                  qPrintable(lineas.join('\n')), Espera);

        // A second service and a window, from other folders, are refused while it runs.
        QProcess *otro = arrancar(instalar("q", "0", "1"), {"--servicio"});
        QVERIFY(otro->waitForFinished(Espera));
        QVERIFY(otro->exitCode() != 0);
        QVERIFY(otro->readAllStandardError().contains(Aviso));
        QVERIFY(otro->readAllStandardOutput().isEmpty());
        QProcess *ventana = arrancar(carpeta("q"), {});
        QByteArray errores;
        QTRY_VERIFY_WITH_TIMEOUT((errores += ventana->readAllStandardError()).contains(Aviso), Espera);

        servicio->terminate(); // SIGTERM
        QVERIFY(servicio->waitForFinished(Espera));
        QCOMPARE(servicio->exitStatus(), QProcess::NormalExit);
        QCOMPARE(servicio->exitCode(), 0);
        QVERIFY(servicio->readAllStandardError().isEmpty());
        QCOMPARE(uno.relojesRecibidos(), 1); // the schedule fired once
    }

    // SIGTERM while a run waits on a silent terminal ends the service without
    // waiting out the communications timeout.
    void finDuranteEspera()
    {
        const QString programa = instalar("p", "0.02", "120");
        const QString ip = direccionAleatoria();
        simular(1, ip, 0).fijarFallos({.silencioso = true});
        anadir(programa, 1, "Mudo", ip);
        QProcess *servicio = arrancar(programa, {"--servicio"});
        QTRY_VERIFY_WITH_TIMEOUT(!sim_->registro().isEmpty(), Espera); // the run is waiting for an answer
        servicio->terminate();
        QVERIFY2(servicio->waitForFinished(Espera), "the service waited for the terminal's timeout");
        QCOMPARE(servicio->exitStatus(), QProcess::NormalExit);
        QCOMPARE(servicio->exitCode(), 0);
        QVERIFY(servicio->readAllStandardOutput().isEmpty()); // no line for an abandoned exchange
    }
};

QTEST_GUILESS_MAIN(TestServicio)
#include "test_servicio.moc"
