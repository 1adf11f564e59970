// Full retrieval (LeerMarcajes, mode 1) of a full ring (4499 valid punches)
// from the simulator over TCP into a fresh SQLite file, against the same
// number of bare record reads (command 7 sub 0 through SendIP, nothing
// stored) in the same run; then where the time goes: the exchanges alone,
// GrabarMarcaje alone, and raw inserts on a connection of the benchmark's own
// with synchronous FULL and OFF, one connection per punch and one for all.
//
//   bench_descarga [punches for the raw insert comparison]     (default 1000)
//   bench_descarga --solo [--marcajes N] [--bd PATH|URL] [--idas FILE]
//
// --solo measures the download and its baseline only, for bench/motor.sh:
// N punches (default 4499: the full ring in mode 1; fewer: N new punches in
// mode 0) into a fresh SQLite file, or into --bd (an SQLite path or a
// postgresql:// URL, whose tables the caller empties). Under
// bench/fsync_lento.c it counts the disk syncs of the download; with --idas
// (the --cuenta file of bench/proxy_retraso) the database round trips.
//
// The ring is full as a terminal keeps it: 4499 punches and the end marker
// under the write pointer. The read pointer starts on the first slot to read,
// so the figure is the download proper. A second run repeats the retrieval into
// the same file from the state a normal download leaves (read pointer = write
// pointer): mode 1 then first walks the read pointer back 4498 verified steps
// (two exchanges each), and every punch is a duplicate.

#include "bench/banco.h"
#include "bench/descarga_en_base.h"
#include "commands/mod_comunicaciones_kora.h"
#include "link/class_rs485.h"
#include "link/socket_tcp_qt.h"
#include "storage/mod_ado.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimeZone>
#include <memory>
#include <vector>

namespace {

constexpr int kAnillo = korasim::kPosiciones;
constexpr int kLleno = kAnillo - 1; // punches in a full ring: one slot holds the end marker

QDateTime momentoGuardado(int i)
{
    // The download composes punch times in UTC; the store keeps the wall-clock text.
    const QDateTime m = banco::momentoMarcaje(i);
    return QDateTime(m.date(), m.time(), QTimeZone::utc());
}

// A full ring, read pointer where asked: slot 0 is the first to read in a
// retrieval, kLleno (the write pointer) is where a complete download left it.
void llenarAnillo(korasim::Terminal &t, int lectura)
{
    t.configurarAnillo(korasim::Relleno::MarcaFin, true);
    std::vector<korasim::Registro> rs;
    rs.reserve(kLleno);
    for (int i = 0; i < kLleno; ++i)
        rs.push_back(korasim::registroMarcaje(banco::momentoMarcaje(i), 1000 + quint32(i), quint8(i % 2)));
    t.agregarRegistros(rs);
    t.fijarPunteros(kLleno, lectura);
}

MOD_ado::CadenaConexion baseNueva(const QTemporaryDir &dir, const QString &nombre)
{
    MOD_ado::CadenaConexion cc{dir.filePath(nombre), {}};
    if (const QString e = MOD_ado::PrepararBaseDatos(cc); !e.isEmpty())
        banco::abortar(e);
    return cc;
}

int exchangesSolos(SocketTcpQt &socket, const QString &ip, int veces)
{
    int fallos = 0;
    for (int i = 0; i < veces; ++i) {
        ClassRS485 e;
        e.WinsockRef = &socket;
        e.RemoteIP = ip;
        e.RemotePort = MOD_comunicaciones_kora::kPuertoTcp;
        e.Direccion = 1;
        e.codigo = 7;
        e.Longitud = 17;
        e.timeout = 5.0f;
        e.datos = Datos::entero16(0);
        e.SendIP();
        fallos += e.CodigoRespuesta != 0;
    }
    return fallos;
}

// The store's statements (duplicate check and insert in one write transaction)
// on a connection of our own, so the journal settings can be varied without
// touching the store.
class InsercionCruda {
public:
    InsercionCruda(const QString &ruta, bool sincrono, bool porConexion, const QString &nombre)
        : ruta_(ruta), nombre_(nombre), sincrono_(sincrono), porConexion_(porConexion)
    {
        if (!porConexion_)
            abrir();
    }
    ~InsercionCruda()
    {
        if (db_.isOpen())
            cerrar();
    }

    // Seconds taken to store punches [desde, desde + cuantos).
    double ronda(int desde, int cuantos)
    {
        return banco::medir([&] {
            for (int i = desde; i < desde + cuantos; ++i) {
                if (porConexion_)
                    abrir();
                insertar(i);
                if (porConexion_)
                    cerrar();
            }
        });
    }

private:
    void abrir()
    {
        db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), nombre_);
        db_.setDatabaseName(ruta_);
        db_.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db_.open())
            banco::abortar(db_.lastError().text());
        QSqlQuery q(db_);
        q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        q.exec(sincrono_ ? QStringLiteral("PRAGMA synchronous=FULL") : QStringLiteral("PRAGMA synchronous=OFF"));
    }
    void cerrar()
    {
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(nombre_);
    }
    void insertar(int i)
    {
        const QString fecha = momentoGuardado(i).toString(u"yyyy-MM-dd HH:mm:ss");
        QSqlQuery q(db_);
        bool ok = q.exec(QStringLiteral("BEGIN IMMEDIATE"));
        ok = ok && q.prepare(QStringLiteral("SELECT count(*) FROM marcajes WHERE numero_terminal = ? AND fechahora = ?"));
        q.addBindValue(1);
        q.addBindValue(fecha);
        ok = ok && q.exec() && q.next() && q.value(0).toInt() == 0;
        q.finish();
        ok = ok && q.prepare(QStringLiteral("INSERT INTO marcajes (fechahora, numero_terminal, codigo_incidencia, "
                                            "entrada_salida, tarjeta, subcodigo, tipo, habilitado) "
                                            "VALUES (?, ?, 0, ?, ?, 0, 0, 1)"));
        q.addBindValue(fecha);
        q.addBindValue(1);
        q.addBindValue(i % 2);
        q.addBindValue(1000 + i);
        ok = ok && q.exec() && q.exec(QStringLiteral("COMMIT"));
        if (!ok)
            banco::abortar(q.lastError().text());
    }

    QString ruta_;
    QString nombre_;
    bool sincrono_;
    bool porConexion_;
    QSqlDatabase db_;
};

// The download alone against its baseline, the same number of bare record
// reads, taken half before and half after it so that a drift in the machine's
// load falls on both alike.
// One simulated TCP terminal (code 1, on a loopback address of its own), a
// scratch folder, and the socket and record that reach the terminal.
struct Puesto {
    korasim::Simulador sim;
    korasim::Terminal &terminal = sim.agregarTerminal(1);
    const QString ip = banco::loopbackPropio(1).toString();
    QTemporaryDir dir = banco::carpetaTemporal();
    SocketTcpQt socket;
    MOD_comunicaciones_kora::Contexto ctx;
    TerminalRecord t;

    Puesto()
    {
        QString error;
        if (!sim.escucharTcp(1, QHostAddress(ip), MOD_comunicaciones_kora::kPuertoTcp, &error))
            banco::abortar(QStringLiteral("cannot listen on %1:10001: %2").arg(ip, error));
        if (!dir.isValid())
            banco::abortar(QStringLiteral("no scratch folder"));
        ctx.Winsock1 = &socket;
        ctx.TimeoutComunicaciones = 5;
        t.codigo = 1;
        t.Tipo = 2;
        t.IP = ip;
    }
};

int soloDescarga(const QStringList &args)
{
    auto opcion = [&](const char *nombre) {
        const qsizetype i = args.indexOf(QLatin1String(nombre));
        return i >= 0 && i + 1 < args.size() ? args[i + 1] : QString();
    };
    const int n = opcion("--marcajes").isEmpty() ? kLleno : std::clamp(opcion("--marcajes").toInt(), 10, kLleno);
    const quint8 modo = n == kLleno ? 1 : 0;
    const QString archivoIdas = opcion("--idas");

    Puesto puesto;
    korasim::Simulador &sim = puesto.sim;
    korasim::Terminal &terminal = puesto.terminal;
    const QString &ip = puesto.ip;
    QTemporaryDir &dir = puesto.dir;
    const MOD_ado::CadenaConexion cc =
        opcion("--bd").isEmpty() ? baseNueva(dir, QStringLiteral("descarga.db")) : MOD_ado::CadenaConexion{opcion("--bd"), {}};
    if (const QString e = MOD_ado::PrepararBaseDatos(cc); !e.isEmpty())
        banco::abortar(e);

    SocketTcpQt &socket = puesto.socket;
    const MOD_comunicaciones_kora::Contexto &ctx = puesto.ctx;
    const TerminalRecord &t = puesto.t;
    auto cargar = [&] {
        if (modo == 1) {
            llenarAnillo(terminal, 0);
            return;
        }
        // n new punches in a young ring, read pointer on the first of them.
        terminal.configurarAnillo(korasim::Relleno::MarcaFin, true);
        std::vector<korasim::Registro> rs;
        for (int i = 0; i < n; ++i)
            rs.push_back(korasim::registroMarcaje(banco::momentoMarcaje(i), 1000 + quint32(i), quint8(i % 2)));
        terminal.agregarRegistros(rs);
    };

    cargar();
    exchangesSolos(socket, ip, 50); // warm-up
    int fallos = 0;
    double tExchanges = banco::medir([&] { fallos += exchangesSolos(socket, ip, n / 2); });

    cargar();
    sim.limpiarRegistro();
    long guardados = 0;
    QString errorBd;
    const long long syncsAntes = banco::sincronias();
    if (!archivoIdas.isEmpty())
        QThread::msleep(100); // the proxy has seen the last request before the mark
    const long long idasAntes = banco::idasProxy(archivoIdas);
    const double tDescarga = banco::medir([&] { LeerMarcajesEnBase(ctx, t, cc, guardados, modo, &errorBd); });
    if (!archivoIdas.isEmpty())
        QThread::msleep(100);
    const long long idas = archivoIdas.isEmpty() ? -1 : banco::idasProxy(archivoIdas) - idasAntes;
    const long long syncs = syncsAntes < 0 ? -1 : banco::sincronias() - syncsAntes;
    const int exchanges = banco::respuestasEnLog(sim);
    if (!errorBd.isEmpty())
        banco::abortar(errorBd);
    if (guardados != n)
        banco::abortar(QStringLiteral("the download stored %1 punches of %2").arg(guardados).arg(n));

    cargar();
    tExchanges += banco::medir([&] { fallos += exchangesSolos(socket, ip, n - n / 2); });
    if (fallos)
        banco::abortar(QStringLiteral("%1 bare exchanges failed").arg(fallos));

    const bool postgres = cc.RutaBaseDatos.startsWith(QStringLiteral("postgres"));
    banco::titulo(qPrintable(QStringLiteral("bench_descarga --solo: %1 of %2 punches over TCP into %3")
                                 .arg(modo == 1 ? QStringLiteral("full retrieval (mode 1)")
                                                : QStringLiteral("new-punch download (mode 0)"))
                                 .arg(n)
                                 .arg(postgres ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite"))));
    banco::fila("bare exchanges: ms per punch", tExchanges * 1e3 / n, "ms");
    banco::fila("download: ms per punch", tDescarga * 1e3 / n, "ms");
    banco::fila("download: exchanges made", exchanges, "");
    banco::fila("download: exchanges per stored punch", double(exchanges) / n, "");
    banco::fila("download time / bare exchange time", tDescarga / tExchanges, "x");
    if (syncs >= 0)
        banco::fila("disk syncs (fsync + fdatasync) in the download", double(syncs), "");
    if (idas >= 0)
        banco::fila("database round trips in the download", double(idas), "");

    banco::informe("bench_descarga", "download, punches per second", n / tDescarga, "/s");
    banco::informe("bench_descarga", "bare exchanges per second", n / tExchanges, "/s");
    banco::resultado("bench_descarga", "download time / bare exchange time", tDescarga / tExchanges, "x", 1.2);
    if (syncs >= 0)
        banco::resultado("bench_descarga", "disk syncs per stored punch", double(syncs) / n, "", 0.02);
    if (idas >= 0)
        banco::resultado("bench_descarga", "database round trips per stored punch", double(idas) / n, "", 0.2);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--solo")))
        return soloDescarga(app.arguments());
    const int nCrudas = argc > 1 ? std::clamp(std::atoi(argv[1]), 10, kAnillo) : 1000;

    Puesto puesto;
    korasim::Simulador &sim = puesto.sim;
    korasim::Terminal &terminal = puesto.terminal;
    const QString &ip = puesto.ip;
    QTemporaryDir &dir = puesto.dir;

    SocketTcpQt &socket = puesto.socket;
    const MOD_comunicaciones_kora::Contexto &ctx = puesto.ctx;
    const TerminalRecord &t = puesto.t;

    llenarAnillo(terminal, 0);
    exchangesSolos(socket, ip, 50); // warm-up

    // 1. Bare exchanges: the baseline.
    llenarAnillo(terminal, 0);
    sim.limpiarRegistro();
    int fallos = 0;
    const double tExchanges = banco::medir([&] { fallos += exchangesSolos(socket, ip, kLleno); });
    if (fallos)
        banco::abortar(QStringLiteral("%1 bare exchanges failed").arg(fallos));

    // 2. The store alone, same punches, fresh file: half before the download and
    // half after it, so that a drift in the disk's speed falls on both alike.
    const MOD_ado::CadenaConexion ccGrabar = baseNueva(dir, QStringLiteral("grabar.db"));
    auto grabar = [&](int desde, int hasta) {
        return banco::medir([&] {
            for (int i = desde; i < hasta; ++i)
                fallos += MOD_ado::GrabarMarcaje(ccGrabar, 1, momentoGuardado(i), i % 2, 0, 1000 + quint32(i), 0)
                          != MOD_ado::ResultadoGrabacion::Insertado;
        });
    };
    double tGrabar = grabar(0, kLleno / 2);

    // 3. The download, read pointer on the first slot to read.
    auto descargar = [&](int lectura, const MOD_ado::CadenaConexion &cc, long &contador, int &exchanges) {
        llenarAnillo(terminal, lectura);
        sim.limpiarRegistro();
        QString errorBd;
        const double s = banco::medir([&] {
            LeerMarcajesEnBase(ctx, t, cc, contador, 1, &errorBd);
        });
        exchanges = banco::respuestasEnLog(sim);
        if (!errorBd.isEmpty())
            banco::abortar(errorBd);
        return s;
    };
    const MOD_ado::CadenaConexion ccDescarga = baseNueva(dir, QStringLiteral("descarga.db"));
    long guardados = 0, repetidos = 0;
    int exchangesA = 0, exchangesB = 0;
    const double tDescarga = descargar(0, ccDescarga, guardados, exchangesA);
    if (guardados != kLleno)
        banco::abortar(QStringLiteral("the download stored %1 punches of %2").arg(guardados).arg(kLleno));
    tGrabar += grabar(kLleno / 2, kLleno);
    if (fallos)
        banco::abortar(QStringLiteral("%1 punches not stored").arg(fallos));
    // 4. "Recover all" again on the same terminal, as an operator would after a
    // normal download: read pointer = write pointer, so mode 1 first walks the
    // pointer back, and every punch is a duplicate.
    const double tConPaseo = descargar(kLleno, ccDescarga, repetidos, exchangesB);
    if (repetidos != 0)
        banco::abortar(QStringLiteral("%1 punches stored twice").arg(repetidos));

    // 5. Raw inserts: where the store's time goes. The four ways take turns in
    // rounds, each on a fresh file of its own.
    struct Cruda {
        const char *nombre;
        bool sincrono;
        bool porConexion;
        double segundos = 0;
    } crudas[] = {{"connection per punch, synchronous=FULL", true, true},
                  {"connection per punch, synchronous=OFF", false, true},
                  {"one connection,       synchronous=FULL", true, false},
                  {"one connection,       synchronous=OFF", false, false}};
    {
        std::vector<std::unique_ptr<InsercionCruda>> vias;
        for (int k = 0; k < 4; ++k) {
            const MOD_ado::CadenaConexion cc = baseNueva(dir, QStringLiteral("crudo%1.db").arg(k));
            vias.push_back(std::make_unique<InsercionCruda>(cc.RutaBaseDatos, crudas[k].sincrono,
                                                            crudas[k].porConexion, QStringLiteral("crudo%1").arg(k)));
        }
        constexpr int kRonda = 50;
        for (int desde = 0; desde < nCrudas; desde += kRonda) {
            const int cuantos = std::min(kRonda, nCrudas - desde);
            for (int k = 0; k < 4; ++k)
                crudas[k].segundos += vias[k]->ronda(desde, cuantos);
        }
    }

    const double msPorPunch = 1e3 / kLleno;
    banco::titulo("bench_descarga: full retrieval of 4499 punches (a full ring) over TCP into a fresh SQLite file");
    banco::fila("bare exchanges (cmd 7 sub 0, SendIP): ms per punch", tExchanges * msPorPunch, "ms");
    banco::fila("GrabarMarcaje alone (fresh file, fsync): ms per punch", tGrabar * msPorPunch, "ms");
    banco::fila("LeerMarcajes mode 1, no walk: ms per punch", tDescarga * msPorPunch, "ms");
    banco::fila("LeerMarcajes mode 1, no walk: exchanges made", exchangesA, "");
    banco::fila("LeerMarcajes mode 1, no walk: punches per second", kLleno / tDescarga, "/s");
    banco::fila("  of which exchanges (bare-exchange time)", tExchanges / tDescarga * 100, "%");
    banco::fila("  of which GrabarMarcaje (store-alone time)", tGrabar / tDescarga * 100, "%");
    banco::fila("  rest (decoding, LeerRegistro, progress)", (tDescarga - tExchanges - tGrabar) / tDescarga * 100,
                "%");
    banco::fila("mode 1 again, walk first, all duplicates: seconds", tConPaseo, "s");
    banco::fila("  exchanges made", exchangesB, "");
    banco::fila("  time / bare exchange time (4499 exchanges)", tConPaseo / tExchanges, "x");
    std::printf(" raw inserts, %d punches each, fresh file each (ms per punch)\n", nCrudas);
    for (const Cruda &c : crudas)
        banco::fila(c.nombre, c.segundos * 1e3 / nCrudas, "ms");
    const double full1 = crudas[0].segundos, off1 = crudas[1].segundos, fullN = crudas[2].segundos,
                 offN = crudas[3].segundos;
    banco::fila("connection per punch: FULL / OFF", full1 / off1, "x");
    banco::fila("one connection: FULL / OFF", fullN / offN, "x");
    banco::fila("synchronous=FULL: per punch / one connection", full1 / fullN, "x");

    banco::informe("bench_descarga", "full retrieval, punches per second", kLleno / tDescarga, "/s");
    banco::informe("bench_descarga", "bare exchanges per second", kLleno / tExchanges, "/s");
    banco::informe("bench_descarga", "download time / bare exchange time", tDescarga / tExchanges, "x");
    banco::informe("bench_descarga", "GrabarMarcaje time / bare exchange time", tGrabar / tExchanges, "x");
    banco::informe("bench_descarga", "repeat (walk, duplicates) / bare exch.", tConPaseo / tExchanges, "x");
    banco::informe("bench_descarga", "raw insert FULL/OFF, conn per punch", full1 / off1, "x");
    banco::informe("bench_descarga", "raw insert per-punch conn / one conn", full1 / fullN, "x");
    return 0;
}
