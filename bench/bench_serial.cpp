// Serial record reads (command 7 sub 0) against the simulator pacing every
// byte at 57600 baud on a pseudo-terminal, over RS-232 and RS-485 (echo).
// Each way is timed against the wire time of the bytes it put on the line
// (request and answer once each, echo not counted again) and against a
// minimal QSerialPort client doing the same exchange, in the same run.
//
//   bench_serial [exchanges per way]     (default 300)
//
// A pseudo-terminal has no baud rate: the simulator paces what it sends (the
// echo and the answer), but the request the host writes arrives at once. Over
// RS-232 the floor is therefore the answer's bytes alone (15 of 19 on the
// line), so a ratio below 1 is possible there; over RS-485 the echo paces the
// request too.

#include "bench/banco.h"
#include "commands/mod_comunicaciones_kora.h"
#include "link/class_rs485.h"
#include "link/puerto_serie_qt.h"

#include <QSerialPort>

namespace {

using korasim::Modo;

constexpr int kPeticion = 4;
constexpr int kRespuesta = 15;

struct Medida {
    double segundos = 0;
    qint64 bytes = 0;
    int exchanges = 0;
    int fallos = 0;
};

// Times f(veces), counting the bytes on the line from the simulator's log.
template <typename F>
void medir(korasim::Simulador &sim, Medida &m, int veces, F &&f)
{
    sim.limpiarRegistro();
    m.segundos += banco::medir([&] { m.fallos += f(veces); });
    m.bytes += banco::bytesEnLinea(sim);
    m.exchanges += banco::respuestasEnLog(sim);
}

int crudo(QSerialPort &p, Modo modo, const QByteArray &peticion, int veces)
{
    const int esperados = kRespuesta + (modo == Modo::RS485 ? kPeticion : 0);
    int fallos = 0;
    for (int i = 0; i < veces; ++i) {
        p.clear(QSerialPort::Input);
        p.write(peticion);
        while (p.bytesToWrite() > 0 && p.waitForBytesWritten(1000)) {
        }
        while (p.bytesAvailable() < esperados && p.waitForReadyRead(1000)) {
        }
        fallos += p.readAll().size() != esperados;
    }
    return fallos;
}

// The link object alone, on a port opened once.
int enlace(PuertoSerieQt &puerto, Modo modo, int veces)
{
    int fallos = 0;
    for (int i = 0; i < veces; ++i) {
        ClassRS485 e;
        e.MSComm = &puerto;
        e.Direccion = 1;
        e.codigo = 7;
        e.Longitud = 17;
        e.Reintentos = 1;
        e.timeout = 1.0f;
        e.datos = Datos::entero16(0);
        modo == Modo::RS232 ? e.Send232() : e.Send485();
        fallos += e.CodigoRespuesta != 0;
    }
    return fallos;
}

// The command procedure, which reopens the shared port for every command as the program does.
int comando(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &t, int veces)
{
    int fallos = 0;
    QByteArray r(31, 0);
    for (int i = 0; i < veces; ++i)
        fallos += MOD_comunicaciones_kora::ComandoMarcajes(ctx, t, 0, r) != 0;
    return fallos;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int total = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    constexpr int kRondas = 6;
    const int porRonda = std::max(1, total / kRondas);

    korasim::Simulador sim;
    auto &terminal = sim.agregarTerminal(1);
    for (int i = 0; i < 4000; ++i)
        terminal.agregarMarcaje(banco::momentoMarcaje(i), 1000 + quint32(i));
    sim.fijarRitmoSerie(true);

    const Modo modos[] = {Modo::RS232, Modo::RS485};
    const char *nombres[] = {"RS-232", "RS-485"};
    QString dispositivos[2];
    for (int k = 0; k < 2; ++k) {
        QString error;
        dispositivos[k] = sim.abrirPty(modos[k], {1}, &error);
        if (dispositivos[k].isEmpty())
            banco::abortar(QStringLiteral("cannot open a pseudo-terminal: %1").arg(error));
    }

    PuertoSerieQt puerto;
    puerto.setMapaPuertos({{1, dispositivos[0]}, {2, dispositivos[1]}});
    MOD_comunicaciones_kora::Contexto ctx;
    ctx.MSComm1 = &puerto;
    ctx.TimeoutComunicaciones = 1;
    const QByteArray peticion = ClassRS485::construirPeticion(1, 7, 17, QByteArray(1, char(0)));

    Medida crudas[2], enlaces[2], comandos[2];
    double reaperturas[2] = {0, 0};
    int fallos = 0;
    for (int k = 0; k < 2; ++k) {
        TerminalRecord t;
        t.codigo = 1;
        t.Tipo = qint16(k);
        t.Com = qint16(k + 1);
        QSerialPort raw;
        raw.setPortName(dispositivos[k]);
        if (!raw.open(QIODevice::ReadWrite))
            banco::abortar(raw.errorString());
        raw.setBaudRate(57600);
        crudo(raw, modos[k], peticion, 5); // warm-up
        for (int r = 0; r < kRondas; ++r) {
            // Each way opens the device itself; the others keep it closed meanwhile.
            medir(sim, crudas[k], porRonda, [&](int n) { return crudo(raw, modos[k], peticion, n); });
            raw.close();
            if (!puerto.abrir(k + 1))
                banco::abortar(puerto.descripcionError());
            medir(sim, enlaces[k], porRonda, [&](int n) { return enlace(puerto, modos[k], n); });
            medir(sim, comandos[k], porRonda, [&](int n) { return comando(ctx, t, n); });
            // What the command procedure adds: closing and reopening the port.
            reaperturas[k] += banco::medir([&] {
                for (int i = 0; i < porRonda; ++i) {
                    puerto.cerrar();
                    fallos += !puerto.abrir(k + 1);
                }
            });
            puerto.cerrar();
            if (!raw.open(QIODevice::ReadWrite))
                banco::abortar(raw.errorString());
        }
    }

    for (int k = 0; k < 2; ++k)
        fallos += crudas[k].fallos + enlaces[k].fallos + comandos[k].fallos;
    if (fallos)
        banco::abortar(QStringLiteral("%1 exchanges failed").arg(fallos));

    banco::titulo(qPrintable(QStringLiteral("bench_serial: %1 record reads per way and link, paced at 57600 baud")
                                 .arg(porRonda * kRondas)));
    for (int k = 0; k < 2; ++k) {
        const double hilo = double(crudas[k].bytes) * banco::kSegundosPorByte; // wire time of the raw runs
        const double porExchange = hilo / crudas[k].exchanges;
        std::printf(" %s (%s)\n", nombres[k], qPrintable(dispositivos[k]));
        banco::fila("wire time per exchange (request + answer, 10 bits/byte)", porExchange * 1e3, "ms");
        const Medida *ms[] = {&crudas[k], &enlaces[k], &comandos[k]};
        const char *quien[] = {"raw QSerialPort client", "ClassRS485 (port open)", "ComandoMarcajes (port reopened)"};
        for (int i = 0; i < 3; ++i) {
            const Medida &m = *ms[i];
            const double alambre = double(m.bytes) * banco::kSegundosPorByte;
            banco::fila(qPrintable(QStringLiteral("%1: ms per exchange").arg(quien[i])),
                        m.segundos / m.exchanges * 1e3, "ms");
            banco::fila(qPrintable(QStringLiteral("%1: time / wire time").arg(quien[i])), m.segundos / alambre, "x");
        }
        banco::fila("port close + reopen alone (QSerialPort): ms each", reaperturas[k] / (porRonda * kRondas) * 1e3,
                    "ms");
        banco::fila("ComandoMarcajes time / raw client time", (comandos[k].segundos / comandos[k].exchanges)
                                                                  / (crudas[k].segundos / crudas[k].exchanges), "x");
    }
    for (int k = 0; k < 2; ++k) {
        const Medida &m = comandos[k];
        banco::resultado("bench_serial",
                         qPrintable(QStringLiteral("%1 command time / wire time").arg(nombres[k])),
                         m.segundos / (double(m.bytes) * banco::kSegundosPorByte), "x", 1.15);
        const Medida &e = enlaces[k];
        banco::resultado("bench_serial",
                         qPrintable(QStringLiteral("%1 link (port open) / wire time").arg(nombres[k])),
                         e.segundos / (double(e.bytes) * banco::kSegundosPorByte), "x", 1.15);
        banco::informe("bench_serial", qPrintable(QStringLiteral("%1 raw client time / wire time").arg(nombres[k])),
                       crudas[k].segundos / (double(crudas[k].bytes) * banco::kSegundosPorByte), "x");
    }
    return 0;
}
