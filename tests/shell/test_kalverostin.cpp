// The real program, copied into temporary folders so its config.ini and
// database land there: first start, second instance, stale lock.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

const QByteArray Aviso = QStringLiteral("¡ATENCIÓN!, este programa ya se está ejecutando, es preferible tener sólo "
                                        "una instancia ejecutándose.")
                             .toUtf8();
constexpr int Espera = 30000; // generous for a loaded machine; not a timing assertion

} // namespace

class TestKalverostin : public QObject {
    Q_OBJECT

    QTemporaryDir temporal_; // lock directory and per-user configuration
    std::vector<std::unique_ptr<QProcess>> procesos_;

    // A folder holding a copy of the program.
    QString copiaDelPrograma(const QString &nombre)
    {
        const QString dir = temporal_.filePath(nombre);
        if (!QDir().mkpath(dir))
            qFatal("cannot create %s", qPrintable(dir));
        const QString destino = dir + QStringLiteral("/kalverostin");
        QFile::remove(destino);
        if (!QFile::copy(QStringLiteral(KALVEROSTIN_PROGRAMA), destino))
            qFatal("cannot copy the program");
        return dir;
    }

    QProcess *arrancar(const QString &dir)
    {
        auto proceso = std::make_unique<QProcess>();
        QProcessEnvironment entorno = QProcessEnvironment::systemEnvironment();
        entorno.insert(QStringLiteral("TMPDIR"), temporal_.filePath(QStringLiteral("tmp")));
        entorno.insert(QStringLiteral("XDG_CONFIG_HOME"), temporal_.filePath(QStringLiteral("xdg")));
        entorno.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        proceso->setProcessEnvironment(entorno);
        proceso->setWorkingDirectory(temporal_.path()); // not the program's folder
        proceso->start(dir + QStringLiteral("/kalverostin"), {});
        if (!proceso->waitForStarted(Espera))
            qFatal("the program did not start");
        procesos_.push_back(std::move(proceso));
        return procesos_.back().get();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temporal_.isValid());
        QVERIFY(QDir().mkpath(temporal_.filePath(QStringLiteral("tmp"))));
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
    }

    void instanciaUnica()
    {
        const QString dir = copiaDelPrograma(QStringLiteral("primera"));
        QProcess *primera = arrancar(dir);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir + "/datos/zeb.db") && QFile::exists(dir + "/config.ini"), Espera);
        QTRY_VERIFY_WITH_TIMEOUT(QFile(dir + "/config.ini").size() > 0, Espera);
        QVERIFY(QFile::exists(temporal_.filePath(QStringLiteral("xdg/autostart/KLAVEROSTIN.desktop"))));
        QCOMPARE(primera->state(), QProcess::Running);

        // A second start, from another folder, warns and touches nothing.
        const QString otro = copiaDelPrograma(QStringLiteral("segunda"));
        QProcess *segunda = arrancar(otro);
        QByteArray errores;
        QTRY_VERIFY_WITH_TIMEOUT((errores += segunda->readAllStandardError()).contains(Aviso), Espera);
        QCOMPARE(segunda->state(), QProcess::Running); // its message box waits for the operator
        QVERIFY(!QFile::exists(otro + "/config.ini"));
        QVERIFY(!QFile::exists(otro + "/datos"));
        segunda->kill();
        QVERIFY(segunda->waitForFinished(Espera));
        QCOMPARE(primera->state(), QProcess::Running);

        // A lock left by a killed instance does not block the next start.
        primera->kill();
        QVERIFY(primera->waitForFinished(Espera));
        QVERIFY(QFile::remove(dir + "/config.ini"));
        QProcess *tercera = arrancar(dir);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir + "/config.ini"), Espera);
        QCOMPARE(tercera->state(), QProcess::Running);
        QVERIFY(!tercera->readAllStandardError().contains(Aviso));
    }
};

QTEST_GUILESS_MAIN(TestKalverostin)
#include "test_kalverostin.moc"
