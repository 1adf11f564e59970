// The program facing bad configuration and bad terminal rows (its window
// in-process, against the simulator), and the real program as a process: it
// stays up on garbage files, creates no world-writable file even under umask
// 000, and listens on no socket.

#include "form1.h"
#include "mod_ado.h"
#include "mod_ini.h"
#include "mod_variables.h"
#include "sim/simulador.h"

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>

namespace {

constexpr int Espera = 30000; // generous for a loaded machine; not a timing assertion

QString direccionAleatoria()
{
    auto *r = QRandomGenerator::global();
    return QStringLiteral("127.%1.%2.%3").arg(r->bounded(1, 251)).arg(r->bounded(1, 251)).arg(r->bounded(1, 251));
}

// terminales_1 as another program may have left it: no CHECKs, any value.
void crearTablaLibre(const QString &ruta, const QStringList &filas)
{
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "libre");
        db.setDatabaseName(ruta);
        if (!db.open())
            qFatal("cannot create %s", qPrintable(ruta));
        QSqlQuery q(db);
        q.exec("CREATE TABLE terminales_1 (ID INTEGER PRIMARY KEY AUTOINCREMENT, codigo, descripcion, IP, Tipo, Com)");
        for (const QString &f : filas)
            if (!q.exec("INSERT INTO terminales_1 (codigo, descripcion, IP, Tipo, Com) VALUES (" + f + ")"))
                qFatal("bad test row %s", qPrintable(f));
    }
    QSqlDatabase::removeDatabase("libre");
}

// Answers every message box with its default button, keeping the texts.
struct Cajas {
    QStringList textos;
    QTimer sondeo;
    Cajas()
    {
        QObject::connect(&sondeo, &QTimer::timeout, [this] {
            if (auto *caja = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                textos << caja->text();
                caja->done(QMessageBox::Ok);
            }
        });
        sondeo.start(20);
    }
};

const QStringList kConfigBasura = {
    QStringLiteral("\x01\x02[[[datos\n=\n]]]\n\xff\xfe garbage \x7f\n"),
    QStringLiteral("[comunicaciones]\ntimeout=99999999999999999999999\nlectura=1e308\n[Incidencias]\ntimeout=-40000\n"
                   "[inicio]\nautoarranque=-1\n[cambiohora]\nhora1=99/99/9999 99:99:99\nhora2=\nactivada=quizá\n"),
    QStringLiteral("[comunicaciones]\ntimeout=-5\nlectura=-7\n[Incidencias]\ntimeout=&HFFFFFFFF\n[cambiohora]\n"
                   "activada=1\nhora1=01/01/1900 00:00:00\n[puertos]\ncom1=/nonexistent\ncom99=/dev/null\n"),
    QStringLiteral("[comunicaciones]\ntimeout=32768\nlectura=0.0001%1\n[cambiohora]\nhora2=%1\n").arg(QString(300, u'9')),
};

} // namespace

class TestPrograma : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;
    QString ini() const { return dir_->filePath("config.ini"); }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", dir_->filePath("xdg").toLocal8Bit());
        MOD_ini::FijarDirectorioPrograma(dir_->path());
    }

    void configuracionBasura_data()
    {
        QTest::addColumn<QString>("texto");
        for (int i = 0; i < kConfigBasura.size(); ++i)
            QTest::newRow(qPrintable(QString::number(i))) << kConfigBasura[i];
    }
    // Any config.ini: the window comes up and a polling run ends with a line.
    void configuracionBasura()
    {
        QFETCH(QString, texto);
        QFile f(ini());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(texto.toLatin1());
        f.close();
        MOD_ini::EscribirIni(ini(), "datos", "bd", dir_->filePath("zeb.db"));
        QCOMPARE(MOD_ado::InsertarTerminal({dir_->filePath("zeb.db"), {}}, "1", "Muerto", direccionAleatoria(), "2", "1"),
                 QString());
        Cajas cajas;
        Form1 form;
        form.show();
        QVERIFY(MOD_variables::TimeoutComunicaciones >= -32768); // read, whatever it holds
        auto *log = form.findChild<QListWidget *>("List1");
        form.findChild<QPushButton *>("Command1")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!MOD_variables::LecturaEnCurso && log->count() == 1, Espera);
        QVERIFY(log->item(0)->text().endsWith("error en comunicaciones, terminal Muerto"));
        QCOMPARE(cajas.textos, QStringList());
    }

    void terminalesRaros_data()
    {
        QTest::addColumn<QString>("ilegible"); // a row the loader cannot read, after the others
        QTest::newRow("text code") << "'abc', 'X', '', 2, '1'";
        QTest::newRow("NULL code") << "NULL, 'X', '', 2, '1'";
        QTest::newRow("code beyond 16 bits") << "70000, 'X', '', 2, '1'";
        QTest::newRow("port beyond 16 bits") << "5, 'X', '', 1, '99999'";
    }
    // Rows with odd but readable values load and each fails alone with its
    // error line; a row that cannot be read stops the load with one message
    // box (at start, not during unattended work) and what was loaded still works.
    void terminalesRaros()
    {
        QFETCH(QString, ilegible);
        korasim::Simulador sim;
        auto &buena = sim.agregarTerminal(7);
        for (int i = 0; i < 3; ++i)
            buena.agregarMarcaje(QDateTime::currentDateTime().addSecs(-60 * (i + 1)), 500 + i);
        const QString ip = direccionAleatoria();
        QVERIFY(sim.escucharTcp(7, QHostAddress(ip)));
        const QString bd = dir_->filePath("zeb.db");
        crearTablaLibre(bd, {
            QStringLiteral("7, 'Buena', '%1', 2, '1'").arg(ip),
            QStringLiteral("7, 'Duplicada', '%1', 2, '1'").arg(ip),
            QStringLiteral("300, 'Codigo300', '%1', 2, '1'").arg(ip),
            QStringLiteral("-5, 'Negativo', '%1', 2, '1'").arg(ip),
            "9, 'Puerto99', '', 1, '99'",
            "10, 'Tipo7', '', 7, '1'",
            "11, 'Nombre', 'no-existe.invalid', 2, '1'",
            "12, 'ComTexto', '', 0, 'COM3'",
            "13, 'Real', '', 2.5, '-1'",
            ilegible,
        });
        MOD_ini::EscribirIni(ini(), "datos", "bd", bd);
        MOD_ini::EscribirIni(ini(), "comunicaciones", "timeout", "1");
        MOD_ini::EscribirIni(ini(), "comunicaciones", "lectura", "0");
        Cajas cajas;
        Form1 form;
        form.show();
        QTRY_COMPARE(cajas.textos.size(), 1);
        QCOMPARE(form.findChild<QListWidget *>("List2")->count(), 9);

        auto *log = form.findChild<QListWidget *>("List1");
        form.findChild<QPushButton *>("Command1")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!MOD_variables::LecturaEnCurso && log->count() == 9, Espera);
        QVERIFY2(log->item(0)->text().endsWith(", OK, Buena (marcajes leídos: 3)"), qPrintable(log->item(0)->text()));
        QVERIFY(log->item(1)->text().endsWith(", OK, Duplicada (marcajes leídos: 3)"));
        for (int i = 2; i < 9; ++i)
            QVERIFY2(log->item(i)->text().contains(", error en comunicaciones, terminal "), qPrintable(log->item(i)->text()));
        QCOMPARE(cajas.textos.size(), 1);
    }

    // A loader's box left open at start-up (nobody at the desk) must not stop
    // the polling of the terminals that did load.
    void cajaDeArranqueNoDetieneLaLectura()
    {
        korasim::Simulador sim;
        sim.agregarTerminal(7).agregarMarcaje(QDateTime::currentDateTime().addSecs(-60), 501);
        const QString ip = direccionAleatoria();
        QVERIFY(sim.escucharTcp(7, QHostAddress(ip)));
        const QString bd = dir_->filePath("zeb.db");
        crearTablaLibre(bd, {QStringLiteral("7, 'Buena', '%1', 2, '1'").arg(ip), "'abc', 'X', '', 2, '1'"});
        MOD_ini::EscribirIni(ini(), "datos", "bd", bd);
        MOD_ini::EscribirIni(ini(), "comunicaciones", "lectura", "0.05");
        // The box runs its own event loop: watch the log from a timer and close
        // the box only once the polling run has logged through it.
        QListWidget *log = nullptr;
        QString leida;
        QTimer sondeo;
        connect(&sondeo, &QTimer::timeout, [&] {
            auto *caja = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (caja && log && log->count() > 0) {
                leida = log->item(0)->text();
                caja->done(QMessageBox::Ok);
            }
        });
        sondeo.start(50);
        Form1 form;
        log = form.findChild<QListWidget *>("List1");
        form.show();
        QTRY_VERIFY_WITH_TIMEOUT(!leida.isEmpty(), Espera);
        QVERIFY2(leida.endsWith(", OK, Buena (marcajes leídos: 1)"), qPrintable(leida));
    }

    void baseRotaSinCajas_data()
    {
        QTest::addColumn<bool>("bloqueo");
        QTest::newRow("path turned into a folder") << false;
        QTest::newRow("write lock held by another program") << true;
    }
    // The database fails during a polling run: an error line per terminal, no
    // message box, and the next run after the repair stores every punch once.
    void baseRotaSinCajas()
    {
        QFETCH(bool, bloqueo);
        korasim::Simulador sim;
        auto &t = sim.agregarTerminal(4);
        for (int i = 0; i < 5; ++i)
            t.agregarMarcaje(QDateTime::currentDateTime().addSecs(-60 * (i + 1)), 800 + i);
        const QString ip = direccionAleatoria();
        QVERIFY(sim.escucharTcp(4, QHostAddress(ip)));
        const QString bd = dir_->filePath("zeb.db");
        QCOMPARE(MOD_ado::InsertarTerminal({bd, {}}, "4", "Puerta", ip, "2", "1"), QString());
        MOD_ini::EscribirIni(ini(), "datos", "bd", bd);
        MOD_ini::EscribirIni(ini(), "comunicaciones", "timeout", "1");
        MOD_ini::EscribirIni(ini(), "comunicaciones", "lectura", "0");
        Cajas cajas;
        Form1 form;
        form.show();
        auto *log = form.findChild<QListWidget *>("List1");
        auto *leer = form.findChild<QPushButton *>("Command1");

        auto ajena = QSqlDatabase::addDatabase("QSQLITE", "ajena");
        if (bloqueo) {
            ajena.setDatabaseName(bd);
            QVERIFY(ajena.open() && QSqlQuery(ajena).exec("BEGIN IMMEDIATE"));
        } else {
            QVERIFY(QDir().mkpath(dir_->filePath("carpeta")));
            MOD_variables::RutaBaseDatos = dir_->filePath("carpeta");
        }
        leer->click();
        QTRY_VERIFY_WITH_TIMEOUT(!MOD_variables::LecturaEnCurso && log->count() == 1, Espera);
        QVERIFY2(log->item(0)->text().contains(", error en base de datos, terminal Puerta: "), qPrintable(log->item(0)->text()));

        if (bloqueo) {
            QSqlQuery(ajena).exec("COMMIT");
            ajena.close();
        }
        ajena = {};
        QSqlDatabase::removeDatabase("ajena");
        MOD_variables::RutaBaseDatos = bd;
        leer->click();
        QTRY_VERIFY_WITH_TIMEOUT(!MOD_variables::LecturaEnCurso && log->count() == 2, Espera);
        QVERIFY2(log->item(1)->text().endsWith(", OK, Puerta (marcajes leídos: 5)"), qPrintable(log->item(1)->text()));
        QCOMPARE(cajas.textos, QStringList());
    }

    // A copy of the real program in folder p, started offscreen under umask 000.
    QString arrancar(QProcess &prog)
    {
        const QString p = dir_->filePath("p");
        if (!QDir().mkpath(p) || !QDir().mkpath(dir_->filePath("tmp")) ||
            !QFile::copy(KALVEROSTIN_PROGRAMA, p + "/kalverostin"))
            qFatal("cannot install the program");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TMPDIR", dir_->filePath("tmp"));
        env.insert("XDG_CONFIG_HOME", dir_->filePath("xdg"));
        env.insert("HOME", dir_->path());
        prog.setProcessEnvironment(env);
        prog.setWorkingDirectory(p);
        prog.setChildProcessModifier([] { ::umask(0); });
        prog.start(p + "/kalverostin");
        return p;
    }

    void programaConArchivosBasura_data() { configuracionBasura_data(); }
    // Garbage config.ini and a terminal table with odd rows: the process comes
    // up (it takes its lock) and stays up.
    void programaConArchivosBasura()
    {
        QFETCH(QString, texto);
        const QString p = dir_->filePath("p");
        QVERIFY(QDir().mkpath(p + "/datos"));
        QFile f(p + "/config.ini");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(texto.toLatin1());
        f.close();
        crearTablaLibre(p + "/datos/zeb.db", {"300, NULL, 'no-existe.invalid', 2, NULL", "-1, 'x', '', 9, '17'",
                                              "1, 'y', '', 1, 'COM1'", "'abc', 1, 2, 3, 4"});
        QProcess prog;
        arrancar(prog);
        QVERIFY(prog.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir_->filePath("tmp/kalverostin.lock")), Espera);
        QTest::qWait(1000);
        QCOMPARE(prog.state(), QProcess::Running);
        prog.kill();
        prog.waitForFinished();
    }

    // The real program under umask 000: the files it makes are not writable by
    // others, and it has no listening socket.
    void programaModosYSockets()
    {
        QProcess prog;
        const QString p = arrancar(prog);
        QVERIFY(prog.waitForStarted());
        const QString autoarranque = dir_->filePath("xdg/autostart/KLAVEROSTIN.desktop");
        const QStringList creados = {p + "/config.ini", p + "/datos", p + "/datos/zeb.db",
                                     dir_->filePath("tmp/kalverostin.lock"), autoarranque};
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(creados.begin(), creados.end(), [](auto &r) { return QFileInfo::exists(r); }),
                                 Espera);
        QTest::qWait(500); // the window has settled
        QCOMPARE(prog.state(), QProcess::Running);
        for (const QString &r : creados)
            QVERIFY2(!(QFileInfo(r).permissions() & QFile::WriteOther), qPrintable(r));

        // Sockets of the process, then the listening ones of the system.
        QSet<QString> nodos;
        const QString fd = QStringLiteral("/proc/%1/fd").arg(prog.processId());
        for (const QString &n : QDir(fd).entryList(QDir::System | QDir::NoDotAndDotDot)) {
            const QString destino = QFile::symLinkTarget(fd + '/' + n);
            if (destino.contains("socket:["))
                nodos << destino.section('[', 1).chopped(1);
        }
        for (const char *tabla : {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp", "/proc/net/udp6"}) {
            QFile f(tabla);
            if (!f.open(QIODevice::ReadOnly))
                continue;
            f.readLine();
            while (!f.atEnd()) {
                const QStringList c = QString(f.readLine()).simplified().split(' ');
                const bool escucha = QString(tabla).contains("udp") || c.value(3) == "0A";
                QVERIFY2(!(escucha && nodos.contains(c.value(9))), tabla);
            }
        }
        prog.kill();
        prog.waitForFinished();
    }
};

QTEST_MAIN(TestPrograma)
#include "test_programa.moc"
