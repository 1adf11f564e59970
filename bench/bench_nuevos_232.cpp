// Download of new punches (LeerMarcajes, mode 0) over RS-232 from the
// simulator pacing every byte at 57600 baud on a pseudo-terminal, storing into
// a fresh SQLite file. Its time is set against the wire time of the exchanges
// it made (bytes counted from the simulator's log, 10 bits each), and split
// into the parts measured alone in the same run: the same exchanges on a port
// kept open, the port's reopening per command, and the store. Under
// bench/fsync_lento.c (an emulated disk) it counts the download's disk syncs.
//
//   bench_nuevos_232 [punches]     (default 500)

#include "bench/banco.h"
#include "bench/descarga_en_base.h"
#include "commands/mod_comunicaciones_kora.h"
#include "link/class_rs485.h"
#include "link/puerto_serie_qt.h"
#include "storage/mod_ado.h"

#include <QTimeZone>

namespace {

QDateTime momentoGuardado(int i)
{
    const QDateTime m = banco::momentoMarcaje(i);
    return QDateTime(m.date(), m.time(), QTimeZone::utc());
}

MOD_ado::CadenaConexion baseNueva(const QTemporaryDir &dir, const QString &nombre)
{
    MOD_ado::CadenaConexion cc{dir.filePath(nombre), {}};
    if (const QString e = MOD_ado::PrepararBaseDatos(cc); !e.isEmpty())
        banco::abortar(e);
    return cc;
}

// A ring holding `n` new punches after the end marker of an emptied ring.
void cargarNuevos(korasim::Terminal &t, int n)
{
    t.configurarAnillo(korasim::Relleno::MarcaFin, true);
    for (int i = 0; i < n; ++i)
        t.agregarMarcaje(banco::momentoMarcaje(i), 1000 + quint32(i), quint8(i % 2));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::clamp(std::atoi(argv[1]), 10, 4000) : 500;

    korasim::Simulador sim;
    korasim::Terminal &terminal = sim.agregarTerminal(1);
    QString error;
    const QString pty = sim.abrirPty(korasim::Modo::RS232, {1}, &error);
    if (pty.isEmpty())
        banco::abortar(QStringLiteral("cannot open a pseudo-terminal: %1").arg(error));
    sim.fijarRitmoSerie(true);

    QTemporaryDir dir = banco::carpetaTemporal();
    if (!dir.isValid())
        banco::abortar(QStringLiteral("no scratch folder"));

    PuertoSerieQt puerto;
    puerto.setMapaPuertos({{1, pty}});
    MOD_comunicaciones_kora::Contexto ctx;
    ctx.MSComm1 = &puerto;
    ctx.TimeoutComunicaciones = 5;
    TerminalRecord t;
    t.codigo = 1;
    t.Tipo = 0;
    t.Com = 1;

    // The parts measured alone, half before the download and half after it,
    // so that a drift in the machine's load falls on both alike.
    const MOD_ado::CadenaConexion ccSolo = baseNueva(dir, QStringLiteral("grabar.db"));
    double tEnlace = 0, alambreEnlace = 0, tReabrir = 0, tGrabar = 0;
    int fallos = 0;
    auto partes = [&](int exchanges, int desde, int hasta) {
        // Record reads on a port kept open: the link's own share.
        cargarNuevos(terminal, n);
        if (!puerto.abrir(1))
            banco::abortar(puerto.descripcionError());
        sim.limpiarRegistro();
        tEnlace += banco::medir([&] {
            for (int i = 0; i < exchanges; ++i) {
                ClassRS485 e;
                e.MSComm = &puerto;
                e.Direccion = 1;
                e.codigo = 7;
                e.Longitud = 17;
                e.Reintentos = 1;
                e.timeout = 5.0f;
                e.datos = Datos::entero16(0);
                e.Send232();
                fallos += e.CodigoRespuesta != 0;
            }
        });
        alambreEnlace += double(banco::bytesEnLinea(sim)) * banco::kSegundosPorByte;
        // Reopening the port, as every command does.
        tReabrir += banco::medir([&] {
            for (int i = 0; i < exchanges; ++i) {
                puerto.cerrar();
                fallos += !puerto.abrir(1);
            }
        });
        puerto.cerrar();
        // The store alone.
        tGrabar += banco::medir([&] {
            for (int i = desde; i < hasta; ++i)
                fallos += MOD_ado::GrabarMarcaje(ccSolo, 1, momentoGuardado(i), i % 2, 0, 1000 + quint32(i), 0)
                          != MOD_ado::ResultadoGrabacion::Insertado;
        });
    };
    // A mode-0 download of n new punches makes n + 4 exchanges: pointers, step
    // back, the guard re-read, n records and the end marker.
    const int previstos = n + 4;
    partes(previstos / 2, 0, n / 2);

    // The download.
    cargarNuevos(terminal, n);
    const MOD_ado::CadenaConexion cc = baseNueva(dir, QStringLiteral("nuevos.db"));
    sim.limpiarRegistro();
    long contador = 0;
    QString errorBd;
    const long long syncsAntes = banco::sincronias();
    const double tDescarga = banco::medir([&] {
        LeerMarcajesEnBase(ctx, t, cc, contador, 0, &errorBd);
    });
    const long long syncs = syncsAntes < 0 ? -1 : banco::sincronias() - syncsAntes;
    const qint64 bytes = banco::bytesEnLinea(sim);
    const int exchanges = banco::respuestasEnLog(sim);
    if (contador != n || !errorBd.isEmpty())
        banco::abortar(QStringLiteral("the download stored %1 punches of %2 %3").arg(contador).arg(n).arg(errorBd));
    const double alambre = double(bytes) * banco::kSegundosPorByte;

    partes(previstos - previstos / 2, n / 2, n);
    if (fallos)
        banco::abortar(QStringLiteral("%1 operations failed").arg(fallos));
    if (exchanges != previstos)
        std::printf(" note: the download made %d exchanges, the parts were measured for %d\n", exchanges, previstos);

    banco::titulo(qPrintable(QStringLiteral("bench_nuevos_232: new-punch download of %1 punches, RS-232 at 57600 baud")
                                 .arg(n)));
    banco::fila("exchanges made", exchanges, "");
    banco::fila("bytes on the line (requests + answers)", double(bytes), "");
    banco::fila("wire time", alambre, "s");
    banco::fila("download time", tDescarga, "s");
    banco::fila("download time / wire time", tDescarga / alambre, "x");
    banco::fila("punches per second", n / tDescarga, "/s");
    if (syncs >= 0)
        banco::fila("disk syncs (fsync + fdatasync) in the download", double(syncs), "");
    std::printf(" the same parts measured alone\n");
    banco::fila("exchanges on a port kept open", tEnlace, "s");
    banco::fila("  / their wire time", tEnlace / alambreEnlace, "x");
    banco::fila("port close + reopen, once per exchange", tReabrir, "s");
    banco::fila("GrabarMarcaje for every punch (fresh file, fsync)", tGrabar, "s");
    banco::fila("sum of the parts / download time", (tEnlace + tReabrir + tGrabar) / tDescarga, "x");
    banco::fila("download time without reopen and store, est. / wire",
                (tDescarga - tReabrir - tGrabar) / alambre, "x");

    banco::resultado("bench_nuevos_232", "download time / wire time", tDescarga / alambre, "x", 1.15);
    if (syncs >= 0)
        banco::informe("bench_nuevos_232", "disk syncs per stored punch", double(syncs) / n, "");
    banco::informe("bench_nuevos_232", "exchanges alone / wire time", tEnlace / alambreEnlace, "x");
    banco::informe("bench_nuevos_232", "port reopening / wire time", tReabrir / alambre, "x");
    banco::informe("bench_nuevos_232", "GrabarMarcaje / wire time", tGrabar / alambre, "x");
    return 0;
}
