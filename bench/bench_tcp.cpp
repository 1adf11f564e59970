// TCP exchanges per second: the link object's SendIP against a minimal
// blocking QTcpSocket client doing the same connect / write / read / close,
// both against the simulator on loopback, interleaved in rounds so that the
// machine's noise falls on both alike.
//
//   bench_tcp [exchanges]     (default 2000, pointer reads: command 7 sub 3)

#include "bench/banco.h"
#include "link/class_rs485.h"
#include "link/socket_tcp_qt.h"

#include <QTcpSocket>
#include <algorithm>
#include <vector>

namespace {

constexpr int kRespuesta = 15; // 14 payload bytes and the checksum

struct Destino {
    QString ip;
    quint16 puerto = 0;
};

// One exchange per iteration as a command makes it: a fresh link object, the shared socket.
int porEnlace(SocketTcpQt &socket, const Destino &d, int veces)
{
    int fallos = 0;
    for (int i = 0; i < veces; ++i) {
        ClassRS485 e;
        e.WinsockRef = &socket;
        e.RemoteIP = d.ip;
        e.RemotePort = d.puerto;
        e.Direccion = 1;
        e.codigo = 7;
        e.Longitud = 17;
        e.timeout = 5.0f;
        e.datos = Datos::entero16(3);
        e.SendIP();
        fallos += e.CodigoRespuesta != 0;
    }
    return fallos;
}

int porClienteCrudo(QTcpSocket &s, const Destino &d, const QByteArray &peticion, int veces)
{
    int fallos = 0;
    for (int i = 0; i < veces; ++i) {
        s.connectToHost(d.ip, d.puerto);
        if (!s.waitForConnected(5000)) {
            ++fallos;
            s.abort();
            continue;
        }
        s.write(peticion);
        while (s.bytesAvailable() < kRespuesta && s.waitForReadyRead(5000)) {
        }
        fallos += s.readAll().size() != kRespuesta;
        s.abort();
    }
    return fallos;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int total = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    constexpr int kRondas = 20;
    const int porRonda = std::max(1, total / kRondas);

    korasim::Simulador sim;
    sim.agregarTerminal(1);
    const Destino d{banco::loopbackPropio(1).toString(), 0};
    QString error;
    const quint16 puerto = sim.escucharTcp(1, QHostAddress(d.ip), 0, &error);
    if (!puerto)
        banco::abortar(QStringLiteral("cannot listen on %1: %2").arg(d.ip, error));
    const Destino destino{d.ip, puerto};

    const QByteArray peticion = ClassRS485::construirPeticion(1, 7, 17, QByteArray(1, char(3)));
    SocketTcpQt socket;
    QTcpSocket crudo;

    // Warm-up: first connections, lazy initialisation on both sides.
    int fallos = porEnlace(socket, destino, 50) + porClienteCrudo(crudo, destino, peticion, 50);

    double tEnlace = 0, tCrudo = 0;
    std::vector<double> ratios;
    for (int r = 0; r < kRondas; ++r) {
        sim.limpiarRegistro(); // keeps the simulator's log, and its cost, small
        double a = 0, b = 0;
        // Alternate which one goes first, so neither always follows the other's cleanup.
        if (r % 2 == 0) {
            a = banco::medir([&] { fallos += porEnlace(socket, destino, porRonda); });
            b = banco::medir([&] { fallos += porClienteCrudo(crudo, destino, peticion, porRonda); });
        } else {
            b = banco::medir([&] { fallos += porClienteCrudo(crudo, destino, peticion, porRonda); });
            a = banco::medir([&] { fallos += porEnlace(socket, destino, porRonda); });
        }
        tEnlace += a;
        tCrudo += b;
        ratios.push_back(a / b);
    }
    if (fallos)
        banco::abortar(QStringLiteral("%1 exchanges failed").arg(fallos));

    const int hechos = porRonda * kRondas;
    std::sort(ratios.begin(), ratios.end());
    banco::titulo(qPrintable(QStringLiteral("bench_tcp: %1 pointer reads each way, %2:%3, %4 rounds")
                                 .arg(hechos).arg(destino.ip).arg(destino.puerto).arg(kRondas)));
    banco::fila("raw QTcpSocket client: exchanges/s", hechos / tCrudo, "/s");
    banco::fila("ClassRS485::SendIP:    exchanges/s", hechos / tEnlace, "/s");
    banco::fila("raw QTcpSocket client: time per exchange", tCrudo / hechos * 1e6, "us");
    banco::fila("ClassRS485::SendIP:    time per exchange", tEnlace / hechos * 1e6, "us");
    banco::fila("ratio SendIP / raw, per round: lowest", ratios.front(), "x");
    banco::fila("ratio SendIP / raw, per round: median", ratios[ratios.size() / 2], "x");
    banco::fila("ratio SendIP / raw, per round: highest", ratios.back(), "x");
    banco::fila("ratio SendIP / raw, all rounds together", tEnlace / tCrudo, "x");
    banco::informe("bench_tcp", "SendIP exchanges per second", hechos / tEnlace, "/s");
    banco::informe("bench_tcp", "raw client exchanges per second", hechos / tCrudo, "/s");
    // The median of the rounds: one round hit by another process's burst does not move it.
    banco::resultado("bench_tcp", "SendIP time / raw client time (median)", ratios[ratios.size() / 2], "x", 1.25);
    return 0;
}
