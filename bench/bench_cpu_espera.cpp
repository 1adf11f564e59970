// CPU used while an exchange waits for a terminal that never answers: the
// simulator's silent fault over RS-232 (Send232, one attempt), RS-485 (the
// converter still echoes, then silence) and TCP (connected, no answer), each
// with a 5-second timeout. Reported as process CPU seconds per wall second,
// in percent of one core, next to the same process sitting idle as baseline.
//
//   bench_cpu_espera [timeout seconds]     (default 5)

#include "bench/banco.h"
#include "link/class_rs485.h"
#include "link/puerto_serie_qt.h"
#include "link/socket_tcp_qt.h"

#include <thread>

namespace {

struct Espera {
    double pared = 0;
    double cpu = 0;
    int codigo = -1;
    double porcentaje() const { return pared > 0 ? cpu / pared * 100.0 : 0; }
};

template <typename F>
Espera medirEspera(F &&f)
{
    Espera e;
    const double cpu0 = banco::cpuProceso();
    e.pared = banco::medir([&] { e.codigo = f(); });
    e.cpu = banco::cpuProceso() - cpu0;
    return e;
}

ClassRS485 lecturaPunteros(float timeout)
{
    ClassRS485 e;
    e.Direccion = 1;
    e.codigo = 7;
    e.Longitud = 17;
    e.Reintentos = 1;
    e.timeout = timeout;
    e.datos = Datos::entero16(3);
    return e;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const float timeout = argc > 1 ? float(std::max(1, std::atoi(argv[1]))) : 5.0f;

    korasim::Simulador sim;
    korasim::Fallos silencio;
    silencio.silencioso = true;
    sim.agregarTerminal(1).fijarFallos(silencio);
    QString error;
    const QString pty232 = sim.abrirPty(korasim::Modo::RS232, {1}, &error);
    const QString pty485 = sim.abrirPty(korasim::Modo::RS485, {1}, &error);
    const QHostAddress ip = banco::loopbackPropio(1);
    const quint16 puertoTcp = sim.escucharTcp(1, ip, 0, &error);
    if (pty232.isEmpty() || pty485.isEmpty() || !puertoTcp)
        banco::abortar(QStringLiteral("simulator: %1").arg(error));

    PuertoSerieQt puerto;
    puerto.setMapaPuertos({{1, pty232}, {2, pty485}});
    SocketTcpQt socket;

    const Espera reposo = medirEspera([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(qint64(timeout * 1000)));
        return 0;
    });
    if (!puerto.abrir(1))
        banco::abortar(puerto.descripcionError());
    const Espera rs232 = medirEspera([&] {
        ClassRS485 e = lecturaPunteros(timeout);
        e.MSComm = &puerto;
        e.Send232();
        return int(e.CodigoRespuesta);
    });
    if (!puerto.abrir(2))
        banco::abortar(puerto.descripcionError());
    const Espera rs485 = medirEspera([&] {
        ClassRS485 e = lecturaPunteros(timeout);
        e.MSComm = &puerto;
        e.Send485();
        return int(e.CodigoRespuesta);
    });
    puerto.cerrar();
    const Espera tcp = medirEspera([&] {
        ClassRS485 e = lecturaPunteros(timeout);
        e.WinsockRef = &socket;
        e.RemoteIP = ip.toString();
        e.RemotePort = puertoTcp;
        e.SendIP();
        return int(e.CodigoRespuesta);
    });

    // A wait that ended early did not measure a wait: the silent terminal gives
    // code 4 (nothing at all), 1 over RS-485 (the echo alone) and 4 over TCP.
    if (rs232.codigo != 4 || rs485.codigo != 1 || tcp.codigo != 4)
        banco::abortar(QStringLiteral("unexpected result codes %1 %2 %3").arg(rs232.codigo).arg(rs485.codigo).arg(tcp.codigo));

    banco::titulo(qPrintable(QStringLiteral("bench_cpu_espera: one %1 s wait on a silent terminal").arg(timeout)));
    const std::pair<const char *, const Espera *> filas[] = {
        {"idle process (baseline)", &reposo}, {"Send232, silent terminal", &rs232},
        {"Send485, echo then silence", &rs485}, {"SendIP, connected, no answer", &tcp}};
    for (const auto &[nombre, e] : filas) {
        std::printf(" %s\n", nombre);
        banco::fila("wall time", e->pared, "s");
        banco::fila("process CPU time", e->cpu * 1e3, "ms");
        banco::fila("CPU / wall, % of one core", e->porcentaje(), "%");
    }
    banco::informe("bench_cpu_espera", "idle baseline CPU", reposo.porcentaje(), "%");
    banco::resultado("bench_cpu_espera", "RS-232 silent wait CPU", rs232.porcentaje(), "%", 2.0);
    banco::resultado("bench_cpu_espera", "RS-485 silent wait CPU", rs485.porcentaje(), "%", 2.0);
    banco::resultado("bench_cpu_espera", "TCP silent wait CPU", tcp.porcentaje(), "%", 2.0);
    return 0;
}
