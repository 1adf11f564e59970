// Faults of the database under a running download, and hostile texts through
// everything the program stores. Real SQLite files, the simulator over TCP.

#include "mod_ado.h"
#include "mod_comunicaciones_kora.h"
#include "mod_ini.h"
#include "puerto_serie_qt.h"
#include "sim/simulador.h"
#include "socket_tcp_qt.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

using namespace MOD_comunicaciones_kora;

namespace {

const QDateTime kMomento(QDate(2025, 6, 2), QTime(7, 58, 0));

struct Banco {
    korasim::Simulador sim;
    PuertoSerieQt puerto;
    SocketTcpQt socket;
    Cancelacion cancelar{false};
    Contexto ctx;
    QTemporaryDir dir;
    MOD_ado::CadenaConexion cc;
    TerminalRecord t;

    explicit Banco(int marcajes)
    {
        ctx.MSComm1 = &puerto;
        ctx.Winsock1 = &socket;
        ctx.TimeoutComunicaciones = 1;
        ctx.cancelar = &cancelar;
        cc.RutaBaseDatos = dir.filePath("zeb.db");
        if (!MOD_ado::PrepararBaseDatos(cc).isEmpty())
            qFatal("cannot create the database");
        auto *g = QRandomGenerator::global();
        const QString ip = QStringLiteral("127.%1.%2.%3").arg(g->bounded(1, 250)).arg(g->bounded(1, 250)).arg(g->bounded(1, 250));
        auto &term = sim.agregarTerminal(9);
        for (int i = 0; i < marcajes; ++i)
            term.agregarMarcajeDoble(kMomento.addSecs(60 * i), 700 + i, 40 + i, i % 2);
        if (!sim.escucharTcp(9, QHostAddress(ip), kPuertoTcp))
            qFatal("simulator cannot listen on %s", qPrintable(ip));
        t = {1, 9, ip, QStringLiteral("Puerta"), 2, 0};
    }
    // Cards stored, in order, read from `ruta`.
    static QList<int> tarjetas(const QString &ruta)
    {
        QList<int> r;
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "lectura");
            db.setDatabaseName(ruta);
            db.open();
            QSqlQuery q("SELECT tarjeta FROM marcajes ORDER BY tarjeta", db);
            while (q.next())
                r << q.value(0).toInt();
        }
        QSqlDatabase::removeDatabase("lectura");
        return r;
    }
    QList<int> tarjetas() const { return tarjetas(cc.RutaBaseDatos); }
};

QList<int> desde(int primera, int n)
{
    QList<int> l;
    for (int i = 0; i < n; ++i)
        l << primera + i;
    return l;
}

// Makes a file unwritable even for root (immutable attribute), or by mode for others.
bool soloLectura(const QString &ruta, bool si)
{
    if (::geteuid() != 0)
        return QFile::setPermissions(ruta, si ? QFile::ReadOwner : QFile::ReadOwner | QFile::WriteOwner);
    return QProcess::execute("chattr", {si ? "+i" : "-i", ruta}) == 0;
}

// A second connection holding SQLite's write lock, as another program would.
struct Bloqueo {
    QString nombre = QStringLiteral("ajena");
    explicit Bloqueo(const QString &ruta)
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", nombre);
        db.setDatabaseName(ruta);
        if (!db.open() || !QSqlQuery(db).exec("BEGIN IMMEDIATE"))
            qFatal("cannot lock the database");
    }
    ~Bloqueo()
    {
        {
            auto db = QSqlDatabase::database(nombre);
            QSqlQuery(db).exec("COMMIT");
            db.close();
        }
        QSqlDatabase::removeDatabase(nombre);
    }
};

} // namespace

class TestFiabilidad : public QObject {
    Q_OBJECT
private slots:
    void baseInutilizableNoPierdeMarcajes_data();
    void baseInutilizableNoPierdeMarcajes();
    void bloqueoBreveSoloEspera();
    void baseBorradaDuranteDescarga();
    void textosHostiles_data();
    void textosHostiles();
    void rutaConComillas();
    void archivosNuevosSinEscrituraAjena();
};

void TestFiabilidad::baseInutilizableNoPierdeMarcajes_data()
{
    QTest::addColumn<QString>("fallo");
    QTest::newRow("path is a folder") << "carpeta";
    QTest::newRow("path is not a database") << "ajeno";
    QTest::newRow("file made read-only") << "solo lectura";
    QTest::newRow("write lock held by another program") << "bloqueada";
}

// While the database cannot take a punch the download stops on it, reports
// why, and the next download after the repair stores every punch once.
// Nothing foreign is overwritten.
void TestFiabilidad::baseInutilizableNoPierdeMarcajes()
{
    QFETCH(QString, fallo);
    Banco b(6);
    MOD_ado::CadenaConexion rota = b.cc;
    const QByteArray ajeno = QByteArray("no es una base de datos\n").repeated(50);
    std::unique_ptr<Bloqueo> bloqueo;
    if (fallo == "carpeta") {
        rota.RutaBaseDatos = b.dir.filePath("carpeta");
        QVERIFY(QDir().mkpath(rota.RutaBaseDatos));
    } else if (fallo == "ajeno") {
        rota.RutaBaseDatos = b.dir.filePath("notas.txt");
        QFile f(rota.RutaBaseDatos);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(ajeno) == ajeno.size());
    } else if (fallo == "solo lectura") {
        if (!soloLectura(b.cc.RutaBaseDatos, true))
            QSKIP("cannot make a file read-only here");
    } else {
        bloqueo = std::make_unique<Bloqueo>(b.cc.RutaBaseDatos);
    }

    long contador = 0;
    QString error;
    QCOMPARE(LeerMarcajes(b.ctx, b.t, rota, contador, 0, &error), quint8(0));
    QCOMPARE(contador, 0L);
    QVERIFY(!error.isEmpty());
    // The same again: the terminal still holds them all.
    error.clear();
    QCOMPARE(LeerMarcajes(b.ctx, b.t, rota, contador, 0, &error), quint8(0));
    QCOMPARE(contador, 0L);
    QVERIFY(!error.isEmpty());

    bloqueo.reset();
    if (fallo == "solo lectura")
        QVERIFY(soloLectura(b.cc.RutaBaseDatos, false));
    if (fallo == "ajeno") {
        QFile f(rota.RutaBaseDatos);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), ajeno);
    }
    error.clear();
    QCOMPARE(LeerMarcajes(b.ctx, b.t, b.cc, contador, 0, &error), quint8(0));
    QCOMPARE(error, QString());
    QCOMPARE(contador, 6L);
    QCOMPARE(b.tarjetas(), desde(700, 6));
}

// A writer that lets go within the busy timeout only delays the download.
void TestFiabilidad::bloqueoBreveSoloEspera()
{
    Banco b(4);
    QSemaphore tomado;
    std::thread ajeno([&] {
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "breve");
            db.setDatabaseName(b.cc.RutaBaseDatos);
            db.open();
            QSqlQuery(db).exec("BEGIN IMMEDIATE");
            tomado.release();
            QThread::msleep(1500);
            QSqlQuery(db).exec("COMMIT");
            db.close();
        }
        QSqlDatabase::removeDatabase("breve");
    });
    tomado.acquire();
    long contador = 0;
    QString error;
    const quint8 estado = LeerMarcajes(b.ctx, b.t, b.cc, contador, 0, &error);
    ajeno.join();
    QCOMPARE(estado, quint8(0));
    QCOMPARE(error, QString());
    QCOMPARE(b.tarjetas(), desde(700, 4));
}

// The file removed between two punches: the rest go into a new database with
// its tables, none twice, and the download goes on.
void TestFiabilidad::baseBorradaDuranteDescarga()
{
    Banco b(6);
    long contador = 0;
    QString error;
    const auto borrar = [&](const ProgresoDescarga &p) {
        if (p.contador == 3)
            for (const char *sufijo : {"", "-wal", "-shm"})
                QFile::remove(b.cc.RutaBaseDatos + sufijo);
    };
    QCOMPARE(LeerMarcajes(b.ctx, b.t, b.cc, contador, 0, &error, borrar), quint8(0));
    if (!error.isEmpty()) // a stop on the missing file is fine; the next run goes on
        QCOMPARE(LeerMarcajes(b.ctx, b.t, b.cc, contador, 0, &error), quint8(0));
    QCOMPARE(contador, 6L);
    QCOMPARE(b.tarjetas(), desde(703, 3));
}

void TestFiabilidad::textosHostiles_data()
{
    QTest::addColumn<QString>("texto");
    QTest::newRow("quote") << "O'Brien";
    QTest::newRow("closing and dropping") << "x'); DROP TABLE marcajes; --";
    QTest::newRow("double quote and comment") << "\"; DELETE FROM terminales_1; /*";
    QTest::newRow("always true") << "' OR '1'='1";
    QTest::newRow("identifier quote") << "`]);\\ \t%_*";
}

// Names, IP fields and incident descriptions are stored and read back as typed;
// no text changes the statements.
void TestFiabilidad::textosHostiles()
{
    QFETCH(QString, texto);
    QTemporaryDir dir;
    const MOD_ado::CadenaConexion cc{dir.filePath("zeb.db"), {}};
    QCOMPARE(MOD_ado::PrepararBaseDatos(cc), QString());
    QCOMPARE(MOD_ado::InsertarTerminal(cc, "1", "Fija", "127.0.0.9", "2", "1"), QString());
    QCOMPARE(MOD_ado::InsertarTerminal(cc, "2", texto, texto, "2", "1"), QString());
    QCOMPARE(MOD_ado::ModificarTerminal(cc, "2", "3", texto + texto, texto, "1", "2"), QString());
    MOD_ado::BorrarTerminal(cc, "9 OR 1=1"); // the id is the number the text begins with: nothing to delete
    QCOMPARE(MOD_ado::GrabarIncidencia(cc, 5, texto), MOD_ado::ResultadoGrabacion::Insertado);
    QCOMPARE(MOD_ado::GrabarMarcaje(cc, 3, kMomento, 0, 0, 1, 0), MOD_ado::ResultadoGrabacion::Insertado);

    QCOMPARE(MOD_ado::CargarTerminales(cc), QString());
    QCOMPARE(MOD_ado::NumTerminales, qint16(2));
    QCOMPARE(MOD_ado::Terminales[0].descripcion, QString("Fija"));
    QCOMPARE(MOD_ado::Terminales[1].descripcion, texto + texto);
    QCOMPARE(MOD_ado::Terminales[1].IP, texto);
    QCOMPARE(MOD_ado::CargarIncidencias(cc), QString());
    QCOMPARE(MOD_ado::DescripcionesIncidencias[0], texto);
    QCOMPARE(Banco::tarjetas(cc.RutaBaseDatos), QList<int>{1});
}

// Quotes, semicolons and comment markers in the database path.
void TestFiabilidad::rutaConComillas()
{
    QTemporaryDir dir;
    const MOD_ado::CadenaConexion cc{dir.filePath("o'brien; --\"x/zeb'; DROP TABLE marcajes;--.db"), {}};
    QCOMPARE(MOD_ado::PrepararBaseDatos(cc), QString());
    QCOMPARE(MOD_ado::GrabarMarcaje(cc, 3, kMomento, 0, 0, 77, 0), MOD_ado::ResultadoGrabacion::Insertado);
    QCOMPARE(MOD_ado::GrabarMarcaje(cc, 3, kMomento, 0, 0, 77, 0), MOD_ado::ResultadoGrabacion::Duplicado);
    QCOMPARE(Banco::tarjetas(cc.RutaBaseDatos), QList<int>{77});
}

// Under umask 000 the configuration file and the database folders are still
// not writable by others: the file names the database the punches go to.
void TestFiabilidad::archivosNuevosSinEscrituraAjena()
{
    QTemporaryDir dir;
    const mode_t anterior = ::umask(0);
    const QString ini = dir.filePath("config.ini");
    const bool escrito = MOD_ini::EscribirIni(ini, "datos", "bd", "x");
    const QString error = MOD_ado::PrepararBaseDatos({dir.filePath("a/b/zeb.db"), {}});
    ::umask(anterior);
    QVERIFY(escrito);
    QCOMPARE(error, QString());
    for (const QString &r : {ini, dir.filePath("a"), dir.filePath("a/b"), dir.filePath("a/b/zeb.db")})
        QVERIFY2(!(QFileInfo(r).permissions() & (QFile::WriteOther | QFile::WriteGroup)), qPrintable(r));
}

QTEST_GUILESS_MAIN(TestFiabilidad)
#include "test_fiabilidad.moc"
