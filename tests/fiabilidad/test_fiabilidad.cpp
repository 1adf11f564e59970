// Reliability under faults and hostile input: the database failing under a download,
// hostile texts, bad configuration and terminal rows (the window in-process, against
// the simulator), and the real program as a process: its file modes and sockets.

#include "destino_base_datos.h"
#include "ciclo.h"
#include "form1.h"
#include "mod_ado.h"
#include "mod_comunicaciones_kora.h"
#include "mod_ini.h"
#include "mod_variables.h"
#include "puerto_serie_qt.h"
#include "sim/simulador.h"
#include "socket_tcp_qt.h"

#include <QtSql>
#include <QtTest>
#include <QtWidgets>
#include <sys/stat.h>
#include <unistd.h>

using namespace MOD_comunicaciones_kora;

namespace {

constexpr int Espera = 30000; // generous for a loaded machine; not a timing assertion
const QDateTime kMomento(QDate(2025, 6, 2), QTime(7, 58, 0));

QString direccionAleatoria()
{
    auto *r = QRandomGenerator::global();
    return QStringLiteral("127.%1.%2.%3").arg(r->bounded(1, 251)).arg(r->bounded(1, 251)).arg(r->bounded(1, 251));
}

// Runs the statements on a connection of its own; the first column of the last one's rows.
QList<int> sqlite(const QString &ruta, const QStringList &sentencias)
{
    QList<int> filas;
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "directa");
        db.setDatabaseName(ruta);
        db.open();
        QSqlQuery q(db);
        for (const QString &s : sentencias)
            if (!q.exec(s))
                qFatal("%s: %s", qPrintable(ruta), qPrintable(s));
        while (q.next())
            filas << q.value(0).toInt();
    }
    QSqlDatabase::removeDatabase("directa");
    return filas;
}

QList<int> tarjetas(const QString &ruta) { return sqlite(ruta, {"SELECT tarjeta FROM marcajes ORDER BY tarjeta"}); }

// terminales_1 as another program may have left it: no CHECKs, any value.
void crearTablaLibre(const QString &ruta, const QStringList &filas)
{
    QStringList s{"CREATE TABLE terminales_1 (ID INTEGER PRIMARY KEY AUTOINCREMENT, codigo, descripcion, IP, Tipo, Com)"};
    for (const QString &f : filas)
        s << "INSERT INTO terminales_1 (codigo, descripcion, IP, Tipo, Com) VALUES (" + f + ")";
    sqlite(ruta, s);
}

void escribir(const QString &ruta, const QByteArray &datos)
{
    QFile f(ruta);
    if (!f.open(QIODevice::WriteOnly) || f.write(datos) != datos.size())
        qFatal("cannot write %s", qPrintable(ruta));
}

// Unwritable even for root (immutable attribute), or by mode otherwise.
bool soloLectura(const QString &ruta, bool si)
{
    if (::geteuid() != 0)
        return QFile::setPermissions(ruta, si ? QFile::ReadOwner : QFile::ReadOwner | QFile::WriteOwner);
    return QProcess::execute("chattr", {si ? "+i" : "-i", ruta}) == 0;
}

} // namespace

class TestFiabilidad : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;
    QString ruta(const QString &r) const { return dir_->filePath(r); }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", ruta("xdg").toLocal8Bit());
        MOD_ini::FijarDirectorioPrograma(dir_->path());
    }

    void baseInutilizableNoPierdeMarcajes_data()
    {
        QTest::addColumn<QString>("fallo");
        for (const char *f : {"carpeta", "ajeno", "solo lectura", "borrada"})
            QTest::newRow(f) << QString(f);
    }
    // The database path is a folder / a file that is no database / read-only /
    // removed while a batch is read: the download stops on the punch it cannot
    // store, saying why, overwrites nothing foreign, and the next download
    // stores every punch once (into a new file with its tables if removed).
    void baseInutilizableNoPierdeMarcajes()
    {
        QFETCH(QString, fallo);
        korasim::Simulador sim;
        auto &term = sim.agregarTerminal(9);
        for (int i = 0; i < 6; ++i)
            term.agregarMarcajeDoble(kMomento.addSecs(60 * i), 700 + i, 40 + i, i % 2);
        const TerminalRecord t{1, 9, direccionAleatoria(), "Puerta", 2, 0};
        QVERIFY(sim.escucharTcp(9, QHostAddress(t.IP), kPuertoTcp));
        PuertoSerieQt puerto;
        SocketTcpQt socket;
        Cancelacion cancelar{false};
        const Contexto ctx{&puerto, &socket, 1, &cancelar, {}};
        const MOD_ado::CadenaConexion cc{ruta("zeb.db"), {}};
        QCOMPARE(MOD_ado::PrepararBaseDatos(cc), QString());
        MOD_ado::CadenaConexion rota = cc;
        std::function<void(const ProgresoDescarga &)> durante;
        const QByteArray ajeno = QByteArray("no es una base de datos\n").repeated(50);
        if (fallo == "carpeta") {
            rota.RutaBaseDatos = ruta("carpeta");
            QVERIFY(QDir().mkpath(rota.RutaBaseDatos));
        } else if (fallo == "ajeno") {
            rota.RutaBaseDatos = ruta("notas.txt");
            escribir(rota.RutaBaseDatos, ajeno);
        } else if (fallo == "solo lectura" && !soloLectura(cc.RutaBaseDatos, true)) {
            QSKIP("cannot make a file read-only here");
        } else if (fallo == "borrada") {
            durante = [&](const ProgresoDescarga &p) {
                if (p.posiciones == 3) // read, not yet stored: the batch goes to a new file
                    for (const char *sufijo : {"", "-wal", "-shm"})
                        QFile::remove(cc.RutaBaseDatos + sufijo);
            };
        }
        long contador = 0;
        QString error;
        QCOMPARE(LeerMarcajesEnBase(ctx, t, rota, contador, 0, &error, durante), quint8(0));
        if (fallo != "borrada") // a removed file may also stop the run; it must not lose punches
            QVERIFY2(contador == 0 && !error.isEmpty(), qPrintable(error));
        if (fallo == "solo lectura")
            QVERIFY(soloLectura(cc.RutaBaseDatos, false));
        QFile foraneo(rota.RutaBaseDatos);
        if (fallo == "ajeno")
            QVERIFY(foraneo.open(QIODevice::ReadOnly) && foraneo.readAll() == ajeno);
        error.clear();
        QCOMPARE(LeerMarcajesEnBase(ctx, t, cc, contador, 0, &error), quint8(0));
        QCOMPARE(error, QString());
        QCOMPARE(contador, 6L);
        const QList<int> todas{700, 701, 702, 703, 704, 705};
        QCOMPARE(tarjetas(cc.RutaBaseDatos), todas);
    }

    void textosHostiles_data()
    {
        QTest::addColumn<QString>("texto");
        QTest::newRow("quote") << "O'Brien";
        QTest::newRow("closing and dropping") << "x'); DROP TABLE marcajes; --";
        QTest::newRow("double quote and comment") << "\"; DELETE FROM terminales_1; /*";
        QTest::newRow("always true") << "' OR '1'='1";
        QTest::newRow("identifier quote") << "`]);\\ \t%_*";
    }
    // Names, IP fields, incident texts and the database path are used as typed;
    // no text changes the statements.
    void textosHostiles()
    {
        QFETCH(QString, texto);
        const MOD_ado::CadenaConexion cc{ruta(texto + "/zeb" + texto + ".db"), {}};
        QCOMPARE(MOD_ado::PrepararBaseDatos(cc), QString());
        QCOMPARE(MOD_ado::InsertarTerminal(cc, "1", "Fija", "127.0.0.9", "2", "1"), QString());
        QCOMPARE(MOD_ado::InsertarTerminal(cc, "2", texto, texto, "2", "1"), QString());
        QCOMPARE(MOD_ado::ModificarTerminal(cc, "2", "3", texto + texto, texto, "1", "2"), QString());
        QCOMPARE(MOD_ado::GrabarIncidencia(cc, 5, texto), MOD_ado::ResultadoGrabacion::Insertado);
        QCOMPARE(MOD_ado::GrabarMarcaje(cc, 3, kMomento, 0, 0, 1, 0), MOD_ado::ResultadoGrabacion::Insertado);
        QCOMPARE(MOD_ado::GrabarMarcaje(cc, 3, kMomento, 0, 0, 1, 0), MOD_ado::ResultadoGrabacion::Duplicado);
        QVector<TerminalRecord> t;
        QCOMPARE(MOD_ado::CargarTerminales(cc, t), QString());
        QCOMPARE(t.size(), 2);
        QCOMPARE(t[0].descripcion, QString("Fija"));
        QCOMPARE(t[1].descripcion, texto + texto);
        QCOMPARE(t[1].IP, texto);
        MOD_ado::Incidencias incidencias;
        QCOMPARE(MOD_ado::CargarIncidencias(cc, incidencias), QString());
        QCOMPARE(incidencias[0], texto);
        QCOMPARE(tarjetas(cc.RutaBaseDatos), QList<int>{1});
    }

    void terminalesRaros_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("ilegible"); // a row the loader cannot read, after the others
        QTest::newRow("binary config, text code") << QByteArray("\x01\x02[[[datos\n=\n]]]\n\xff\xfe garbage \x7f\n")
                                                  << "'abc', 'X', '', 2, '1'";
        QTest::newRow("overflowing numbers, NULL code")
            << QByteArray("[comunicaciones]\ntimeout=99999999999999999999999\nlectura=1e308\n[Incidencias]\n"
                          "timeout=-40000\n[inicio]\nautoarranque=-1\n[cambiohora]\nhora1=99/99/9999 99:99:99\n"
                          "hora2=\nactivada=quiz\xe1\n")
            << "NULL, 'X', '', 2, '1'";
        QTest::newRow("negative numbers, code beyond 16 bits")
            << QByteArray("[comunicaciones]\ntimeout=-5\nlectura=-7\n[Incidencias]\ntimeout=&HFFFFFFFF\n[cambiohora]\n"
                          "activada=1\nhora1=01/01/1900 00:00:00\n[puertos]\ncom1=/nonexistent\ncom99=/dev/null\n")
            << "70000, 'X', '', 2, '1'";
        QTest::newRow("long numbers, port beyond 16 bits")
            << "[comunicaciones]\ntimeout=32768\nlectura=0.0001" + QByteArray(300, '9') + "\n[cambiohora]\nhora2=" +
                   QByteArray(300, '9') + "\n"
            << "5, 'X', '', 1, '99999'";
    }
    // Under a garbage config.ini, rows with odd but readable values load and
    // each fails alone with its error line; a row that cannot be read stops the
    // load with one message box (at start, not during unattended work) and what
    // was loaded still works.
    void terminalesRaros()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, ilegible);
        korasim::Simulador sim;
        auto &buena = sim.agregarTerminal(7);
        for (int i = 0; i < 3; ++i)
            buena.agregarMarcaje(QDateTime::currentDateTime().addSecs(-60 * (i + 1)), 500 + i);
        const QString ip = direccionAleatoria();
        QVERIFY(sim.escucharTcp(7, QHostAddress(ip)));
        QStringList filas;
        for (const char *f : {"7, 'Buena'", "7, 'Duplicada'", "300, 'Codigo300'", "-5, 'Negativo'"})
            filas << QStringLiteral("%1, '%2', 2, '1'").arg(f, ip);
        crearTablaLibre(ruta("zeb.db"), filas << "9, 'Puerto99', '', 1, '99'" << "10, 'Tipo7', '', 7, '1'"
                                              << "11, 'Nombre', 'no-existe.invalid', 2, '1'" << "12, 'ComTexto', '', 0, 'COM3'"
                                              << "13, 'Real', '', 2.5, '-1'" << ilegible);
        const QString ini = ruta("config.ini");
        escribir(ini, config);
        MOD_ini::EscribirIni(ini, "datos", "bd", ruta("zeb.db"));
        MOD_ini::EscribirIni(ini, "comunicaciones", "timeout", "1"); // terminals that never answer
        MOD_ini::EscribirIni(ini, "comunicaciones", "lectura", "0");
        QStringList cajas; // every message box answered with its default button
        QTimer sondeo;
        connect(&sondeo, &QTimer::timeout, [&] {
            if (auto *caja = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                cajas << caja->text();
                caja->done(QMessageBox::Ok);
            }
        });
        sondeo.start(20);
        Form1 form;
        form.show();
        QTRY_COMPARE(cajas.size(), 1);
        QCOMPARE(form.findChild<QListWidget *>("List2")->count(), 9);
        auto *log = form.findChild<QListWidget *>("List1");
        form.findChild<QPushButton *>("Command1")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!form.ciclo()->LecturaEnCurso && log->count() == 9, Espera);
        QStringList lineas; // lanes end in any order; one lane's terminals in table order
        for (int i = 0; i < log->count(); ++i)
            lineas << log->item(i)->text();
        const QStringList ok = lineas.filter(", OK, ");
        QVERIFY2(ok.size() == 2 && ok[0].endsWith(", OK, Buena (marcajes leídos: 3)") &&
                     ok[1].endsWith(", OK, Duplicada (marcajes leídos: 3)"),
                 qPrintable(lineas.join('\n')));
        QCOMPARE(lineas.filter(", error en comunicaciones, terminal ").size(), 7);
        QCOMPARE(cajas.size(), 1);
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
        MOD_ini::EscribirIni(ruta("config.ini"), "datos", "bd", bd);
        MOD_ini::EscribirIni(ruta("config.ini"), "comunicaciones", "lectura", "0.05");
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

    void programaComoProceso_data()
    {
        terminalesRaros_data();
        QTest::newRow("empty folder") << QByteArray() << QString();
    }
    // The real program under umask 000, on an empty folder or on the garbage
    // files above: it comes up (takes its lock) and stays up, what it creates is
    // not writable by others, and it listens on no socket.
    void programaComoProceso()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, ilegible);
        QStringList creados{ruta("tmp/kalverostin.lock")};
        if (config.isNull()) {
            creados << ruta("p/config.ini") << ruta("p/datos") << ruta("p/datos/zeb.db")
                    << ruta("xdg/autostart/KLAVEROSTIN.desktop");
        } else {
            QVERIFY(QDir().mkpath(ruta("p/datos")));
            escribir(ruta("p/config.ini"), config);
            crearTablaLibre(ruta("p/datos/zeb.db"), {"300, NULL, 'no-existe.invalid', 2, NULL", "-1, 'x', '', 9, '17'",
                                                     "1, 'y', '', 1, 'COM1'", ilegible});
        }
        // A copy of the real program in folder p, offscreen.
        QVERIFY(QDir().mkpath(ruta("p")) && QDir().mkpath(ruta("tmp")) && QFile::copy(KALVEROSTIN_PROGRAMA, ruta("p/kalverostin")));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TMPDIR", ruta("tmp"));
        env.insert("XDG_CONFIG_HOME", ruta("xdg"));
        env.insert("HOME", dir_->path());
        QProcess prog;
        prog.setProcessEnvironment(env);
        prog.setWorkingDirectory(ruta("p"));
        prog.setChildProcessModifier([] { ::umask(0); });
        prog.start(ruta("p/kalverostin"));
        QVERIFY(prog.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(creados.begin(), creados.end(), [](auto &r) { return QFileInfo::exists(r); }),
                                 Espera);
        QTest::qWait(1000); // the window has settled
        QCOMPARE(prog.state(), QProcess::Running);
        for (const QString &r : creados)
            QVERIFY2(!(QFileInfo(r).permissions() & (QFile::WriteOther | QFile::WriteGroup)), qPrintable(r));

        // Sockets of the process, then the listening ones of the system.
        QSet<QString> nodos;
        const QString fd = QStringLiteral("/proc/%1/fd/").arg(prog.processId());
        for (const QString &n : QDir(fd).entryList(QDir::System | QDir::NoDotAndDotDot))
            if (const QString destino = QFile::symLinkTarget(fd + n); destino.contains("socket:["))
                nodos << destino.section('[', 1).chopped(1);
        for (const QString &tabla : QStringList{"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp", "/proc/net/udp6"}) {
            QFile f(tabla);
            const QStringList lineas = f.open(QIODevice::ReadOnly) ? QString(f.readAll()).split('\n').mid(1) : QStringList();
            for (const QString &l : lineas) {
                const QStringList c = l.simplified().split(' ');
                QVERIFY2(!((tabla.contains("udp") || c.value(3) == "0A") && nodos.contains(c.value(9))), qPrintable(tabla));
            }
        } // the process is killed with its QProcess
    }
};

QTEST_MAIN(TestFiabilidad)
#include "test_fiabilidad.moc"
