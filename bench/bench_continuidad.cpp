// Ordinary downloads (LeerMarcajes, mode 0) against the simulator, counted in
// exchanges from its wire log and timed into fresh SQLite files:
//  - a poll with nothing new and one with one new punch (TCP);
//  - continuity lost after a memory reset: cursor at 4320 after 10 punches,
//    then the reset and 4400 new punches;
//  - the longest walk: the cursor and both pointers at 4320 after a download,
//    then exactly 4500 new punches over the full ring (overwrite), so the
//    pointers look idle and only the slot before the cursor tells;
// the last two over TCP and paced serial lines (57600 baud), each against
// 4499 bare record reads (read-next through ComandoMarcajes) on the same
// transport, half before and half after, so that a drift in the machine's
// load falls on both alike.
//
//   bench_continuidad [--solo-tcp] [--rs485]
//
// --solo-tcp leaves out the serial lines (about two minutes of the run);
// --rs485 adds RS-485 (echo) to RS-232.

#include "bench/banco.h"
#include "bench/descarga_en_base.h"
#include "commands/mod_comunicaciones_kora.h"
#include "link/puerto_serie_qt.h"
#include "link/socket_tcp_qt.h"
#include "storage/mod_ado.h"

#include <vector>

namespace {

constexpr int kAnillo = korasim::kPosiciones;
constexpr int kLleno = kAnillo - 1; // slots a continuity-lost download reads
constexpr int kCursor = 4320;
constexpr int kPrevios = 10;
constexpr int kTrasReinicio = 4400;
const char *const kBanco = "bench_continuidad";

// Requests on the wire, by what they asked for.
struct Cuenta {
    int total = 0;
    int retrocesos = 0;
    int punteros = 0;
    int lecturas = 0; // read-next and repeat-previous
    int otras = 0;
};

Cuenta contar(const korasim::Simulador &sim)
{
    Cuenta c;
    for (const auto &e : sim.registro()) {
        if (e.sentido != korasim::EntradaLog::Sentido::Peticion)
            continue;
        ++c.total;
        const bool marcajes = e.bytes.size() >= 3 && kora::codigoDe(quint8(e.bytes[1])) == kora::Marcajes;
        const quint8 sub = marcajes ? quint8(e.bytes[2]) : 0xFF;
        if (sub == kora::Retroceder)
            ++c.retrocesos;
        else if (sub == kora::Punteros)
            ++c.punteros;
        else if (sub == kora::LeerSiguiente || sub == kora::RepetirAnterior)
            ++c.lecturas;
        else
            ++c.otras;
    }
    return c;
}

MOD_ado::CadenaConexion baseNueva(const QTemporaryDir &dir, const QString &nombre)
{
    MOD_ado::CadenaConexion cc{dir.filePath(nombre), {}};
    if (const QString e = MOD_ado::PrepararBaseDatos(cc); !e.isEmpty())
        banco::abortar(e);
    return cc;
}

std::vector<korasim::Registro> marcajes(int desde, int cuantos)
{
    std::vector<korasim::Registro> rs;
    rs.reserve(size_t(cuantos));
    for (int i = desde; i < desde + cuantos; ++i)
        rs.push_back(korasim::registroMarcaje(banco::momentoMarcaje(i), 1000 + quint32(i), quint8(i % 2)));
    return rs;
}

struct Via {
    const char *nombre;
    MOD_comunicaciones_kora::Contexto ctx;
    TerminalRecord t;
};

struct Descarga {
    double segundos = 0;
    Cuenta cuenta;
    long grabados = 0;
    double alambre = 0; // seconds the bytes take at 57600 baud
    QString motivo;     // why the download read the whole ring
};

// A young ring whose first download leaves the cursor at kCursor, with both
// pointers there, stored into a fresh file.
MOD_ado::CadenaConexion primeraDescarga(korasim::Terminal &terminal, const Via &v, const QTemporaryDir &dir,
                                        const QString &nombre)
{
    terminal.configurarAnillo(korasim::Relleno::MarcaFin, true);
    terminal.fijarDesborde(korasim::Desborde::Sobrescribe);
    terminal.fijarPunteros(kCursor - kPrevios, kCursor - kPrevios);
    terminal.agregarRegistros(marcajes(0, kPrevios));
    const MOD_ado::CadenaConexion cc = baseNueva(dir, nombre);
    long n = 0;
    QString errorBd;
    LeerMarcajesEnBase(v.ctx, v.t, cc, n, 0, &errorBd);
    if (n != kPrevios || !errorBd.isEmpty() || terminal.punteroLectura() != kCursor)
        banco::abortar(QStringLiteral("%1: the first download stored %2 of %3, read pointer %4 %5")
                           .arg(v.nombre)
                           .arg(n)
                           .arg(kPrevios)
                           .arg(terminal.punteroLectura())
                           .arg(errorBd));
    return cc;
}

Descarga descargar(korasim::Simulador &sim, const Via &v, const MOD_ado::CadenaConexion &cc)
{
    Descarga d;
    QString errorBd;
    sim.limpiarRegistro();
    d.segundos = banco::medir([&] {
        LeerMarcajesEnBase(v.ctx, v.t, cc, d.grabados, 0, &errorBd,
                           [&](const MOD_comunicaciones_kora::ProgresoDescarga &p) { d.motivo = p.continuidadPerdida; });
    });
    d.cuenta = contar(sim);
    d.alambre = double(banco::bytesEnLinea(sim)) * banco::kSegundosPorByte;
    if (!errorBd.isEmpty())
        banco::abortar(QStringLiteral("%1: %2").arg(v.nombre, errorBd));
    return d;
}

// Read-next orders alone; the ring holds punches throughout.
double lecturasSolas(korasim::Terminal &terminal, const Via &v, int veces)
{
    terminal.configurarAnillo(korasim::Relleno::MarcaFin, true);
    terminal.agregarRegistros(marcajes(0, kLleno));
    terminal.fijarPunteros(kLleno, 0);
    int fallos = 0;
    QByteArray r(kora::kLongitudMaxima, 0);
    const double s = banco::medir([&] {
        for (int i = 0; i < veces; ++i)
            fallos += MOD_comunicaciones_kora::ComandoMarcajes(v.ctx, v.t, kora::LeerSiguiente, r) != 0;
    });
    if (fallos)
        banco::abortar(QStringLiteral("%1: %2 bare reads failed").arg(v.nombre).arg(fallos));
    return s;
}

QString desglose(const Cuenta &c)
{
    return QStringLiteral("%1 step-backs, %2 pointer reports, %3 record reads%4")
        .arg(c.retrocesos)
        .arg(c.punteros)
        .arg(c.lecturas)
        .arg(c.otras ? QStringLiteral(", %1 other").arg(c.otras) : QString());
}

void resultadoCon(const QString &que, double valor, const char *unidad, const QString &detalle)
{
    std::printf("RESULT %-16s %-40s %9.3f%s  (%s)\n", kBanco, qPrintable(que), valor, unidad, qPrintable(detalle));
}

struct Figuras {
    Descarga reinicio, lleno;
    double base = 0; // kLleno bare reads
};

Figuras medirVia(korasim::Simulador &sim, korasim::Terminal &terminal, const Via &v, const QTemporaryDir &dir)
{
    Figuras f;
    lecturasSolas(terminal, v, 20); // warm-up
    f.base = lecturasSolas(terminal, v, kLleno / 2);

    // Memory reset after the last download, then new punches.
    const QString prefijo = QString::fromLatin1(v.nombre).remove(QLatin1Char('-')).toLower();
    MOD_ado::CadenaConexion cc = primeraDescarga(terminal, v, dir, prefijo + QStringLiteral("_reinicio.db"));
    terminal.reiniciarMemoria();
    terminal.agregarRegistros(marcajes(kPrevios, kTrasReinicio));
    f.reinicio = descargar(sim, v, cc);

    // The whole ring written over since the last download: the pointers are
    // where that download left them.
    cc = primeraDescarga(terminal, v, dir, prefijo + QStringLiteral("_lleno.db"));
    terminal.agregarRegistros(marcajes(kPrevios, kAnillo));
    if (terminal.punteroEscritura() != kCursor || terminal.punteroLectura() != kCursor)
        banco::abortar(QStringLiteral("the full ring's pointers are not both at %1").arg(kCursor));
    f.lleno = descargar(sim, v, cc);

    f.base += lecturasSolas(terminal, v, kLleno - kLleno / 2);
    return f;
}

void imprimir(const Via &v, const Figuras &f, bool serie)
{
    banco::titulo(qPrintable(QStringLiteral("bench_continuidad: continuity lost, %1%2")
                                 .arg(v.nombre, serie ? QStringLiteral(" at 57600 baud (paced)") : QString())));
    banco::fila("bare record reads (ComandoMarcajes): ms each", f.base / kLleno * 1e3, "ms");
    const std::pair<const char *, const Descarga *> casos[] = {{"reset", &f.reinicio}, {"full ring", &f.lleno}};
    for (const auto &[nombre, d] : casos) {
        std::printf(" %s: %s\n", d == &f.reinicio ? "reset, cursor at 4320, then 4400 punches"
                                                  : "full ring, R = W = cursor, then 4500 punches",
                    qPrintable(d->motivo.isEmpty() ? QStringLiteral("(continuity kept)") : d->motivo));
        banco::fila("exchanges", d->cuenta.total, "");
        std::printf("    %s\n", qPrintable(desglose(d->cuenta)));
        banco::fila("punches stored", double(d->grabados), "");
        banco::fila("download time", d->segundos, "s");
        banco::fila("download time / bare reads (4499)", d->segundos / f.base, "x");
        banco::fila("ms per exchange / ms per bare read", (d->segundos / d->cuenta.total) / (f.base / kLleno), "x");
        if (serie)
            banco::fila("download time / wire time", d->segundos / d->alambre, "x");
    }

    for (const auto &[nombre, d] : casos) {
        const QString que = QStringLiteral("%1 %2").arg(v.nombre, nombre);
        resultadoCon(que + QStringLiteral(": exchanges"), d->cuenta.total, "", desglose(d->cuenta));
        banco::resultado(kBanco, qPrintable(que + QStringLiteral(": punches stored")), double(d->grabados), "",
                         d == &f.reinicio ? kTrasReinicio : kLleno, false);
        banco::informe(kBanco, qPrintable(que + QStringLiteral(": download time")), d->segundos, "s");
        banco::informe(kBanco, qPrintable(que + QStringLiteral(": time / 4499 bare reads")), d->segundos / f.base,
                       "x");
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool soloTcp = app.arguments().contains(QStringLiteral("--solo-tcp"));
    const bool rs485 = app.arguments().contains(QStringLiteral("--rs485"));

    korasim::Simulador sim;
    korasim::Terminal &terminal = sim.agregarTerminal(1);
    const QString ip = banco::loopbackPropio(1).toString();
    QString error;
    if (!sim.escucharTcp(1, QHostAddress(ip), MOD_comunicaciones_kora::kPuertoTcp, &error))
        banco::abortar(QStringLiteral("cannot listen on %1:10001: %2").arg(ip, error));
    QHash<int, QString> mapa;
    for (int k = 0; k < 2 && !soloTcp; ++k) {
        const QString pty = sim.abrirPty(k == 0 ? korasim::Modo::RS232 : korasim::Modo::RS485, {1}, &error);
        if (pty.isEmpty())
            banco::abortar(QStringLiteral("cannot open a pseudo-terminal: %1").arg(error));
        mapa.insert(k + 1, pty);
    }
    sim.fijarRitmoSerie(true);

    QTemporaryDir dir = banco::carpetaTemporal();
    if (!dir.isValid())
        banco::abortar(QStringLiteral("no scratch folder"));

    SocketTcpQt socket;
    PuertoSerieQt puerto;
    puerto.setMapaPuertos(mapa);
    auto via = [&](const char *nombre, qint16 tipo) {
        Via v{nombre, {}, {}};
        v.ctx.Winsock1 = &socket;
        v.ctx.MSComm1 = &puerto;
        v.ctx.TimeoutComunicaciones = 5;
        v.t.codigo = 1;
        v.t.Tipo = tipo;
        v.t.Com = tipo == 1 ? 2 : 1;
        v.t.IP = ip;
        return v;
    };
    const Via tcp = via("TCP", 2);

    // 1. Polls with little or nothing new, after a first download.
    const MOD_ado::CadenaConexion ccSondeo = primeraDescarga(terminal, tcp, dir, QStringLiteral("sondeo.db"));
    const Descarga vacio = descargar(sim, tcp, ccSondeo);
    terminal.agregarRegistros(marcajes(kPrevios, 1));
    const Descarga uno = descargar(sim, tcp, ccSondeo);
    if (vacio.grabados != 0 || uno.grabados != 1)
        banco::abortar(QStringLiteral("the polls stored %1 and %2 punches, not 0 and 1").arg(vacio.grabados).arg(uno.grabados));

    // 2. Continuity lost, per transport.
    std::vector<std::pair<Via, Figuras>> vias;
    vias.emplace_back(tcp, medirVia(sim, terminal, tcp, dir));
    if (!soloTcp) {
        const Via rs232 = via("RS-232", 0);
        vias.emplace_back(rs232, medirVia(sim, terminal, rs232, dir));
        if (rs485) {
            const Via v485 = via("RS-485", 1);
            vias.emplace_back(v485, medirVia(sim, terminal, v485, dir));
        }
    }

    banco::titulo("bench_continuidad: polls after a download (TCP)");
    banco::fila("nothing new: exchanges", vacio.cuenta.total, "");
    std::printf("    %s\n", qPrintable(desglose(vacio.cuenta)));
    banco::fila("one new punch: exchanges", uno.cuenta.total, "");
    std::printf("    %s\n", qPrintable(desglose(uno.cuenta)));
    banco::resultado(kBanco, "idle poll: exchanges", vacio.cuenta.total, "", 2);
    banco::resultado(kBanco, "poll with one new punch: exchanges", uno.cuenta.total, "", 3);
    for (const auto &[v, f] : vias)
        imprimir(v, f, v.t.Tipo != 2);

    int mal = 0;
    for (const auto &[v, f] : vias) {
        mal += f.reinicio.grabados != kTrasReinicio || f.reinicio.motivo.isEmpty();
        mal += f.lleno.grabados != kLleno || f.lleno.motivo.isEmpty();
    }
    if (mal)
        banco::abortar(QStringLiteral("%1 downloads did not store every punch of the ring, or kept continuity").arg(mal));
    return 0;
}
