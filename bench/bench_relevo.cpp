// How long a collector whose machine vanishes keeps its terminal from the
// other collector on the same PostgreSQL server. Collector A takes a
// terminal and sits idle; then every packet of its connection is dropped on
// loopback (an iptables DROP rule, as a pulled cable: no FIN, no reset, the
// peer's kernel silent), and collector B tries to take the terminal once a second. The
// baseline is the operating system's own keepalive (tcp_keepalive_time +
// probes x interval, from /proc), which is what held a terminal before every
// connection asked for keepalives.
//
//   scripts/pg-test.sh build/bench/bench_relevo      (as root, with iptables)

#include "bench/banco.h"
#include "storage/conexion.h"
#include "storage/mod_ado.h"

#include <QProcess>
#include <QSqlQuery>
#include <QThread>

namespace {

int ejecutar(const QString &orden)
{
    return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), orden + QStringLiteral(" 2>/dev/null")});
}

long leerProc(const char *archivo)
{
    QFile f(QString::fromLatin1(archivo));
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLong() : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString url = qEnvironmentVariable("KALVEROSTIN_PG_URL");
    // The legacy tables where the kernel has no nf_tables.
    const QString iptables = ejecutar(QStringLiteral("iptables-legacy -L OUTPUT -n >/dev/null")) == 0
                                 ? QStringLiteral("iptables-legacy")
                                 : QStringLiteral("iptables");
    if (url.isEmpty() || getuid() != 0 || ejecutar(iptables + QStringLiteral(" -L OUTPUT -n >/dev/null")) != 0) {
        std::fputs("bench_relevo: needs KALVEROSTIN_PG_URL (scripts/pg-test.sh), root and iptables\n", stderr);
        return 2;
    }
    const MOD_ado::CadenaConexion cc{url, {}};
    if (const QString e = MOD_ado::PrepararBaseDatos(cc); !e.isEmpty()) {
        std::fprintf(stderr, "bench_relevo: %s\n", qPrintable(e));
        return 1;
    }
    const QString clave = QStringLiteral("IP 10.9.9.9 #1");
    MOD_ado::AlmacenMarcajes a(cc), b(cc);
    a.fijarColector(QStringLiteral("A"));
    b.fijarColector(QStringLiteral("B"));
    if (!a.TomarTerminal(clave) || b.TomarTerminal(clave)) {
        std::fputs("bench_relevo: A could not take the terminal, or B took it too\n", stderr);
        return 1;
    }
    // A's end of its connection, as the server sees it.
    int puerto = 0;
    {
        MOD_ado::Conexion con(cc);
        QSqlQuery q(con.db());
        if (q.exec(QStringLiteral("SELECT a.client_port FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid "
                                  "WHERE l.locktype = 'advisory' AND l.objid = hashtext('%1')::oid").arg(clave))
            && q.next())
            puerto = q.value(0).toInt();
    }
    if (puerto <= 0) {
        std::fputs("bench_relevo: A's connection not found on the server\n", stderr);
        return 1;
    }
    const QString regla = QStringLiteral(" OUTPUT -o lo -p tcp --%1 %2 -j DROP");
    const auto reglas = [&](const char *accion) {
        return ejecutar(iptables + QLatin1String(accion) + regla.arg(QStringLiteral("sport")).arg(puerto)) == 0
            && ejecutar(iptables + QLatin1String(accion) + regla.arg(QStringLiteral("dport")).arg(puerto)) == 0;
    };
    if (!reglas(" -A")) {
        reglas(" -D");
        std::fputs("bench_relevo: iptables could not cut the connection\n", stderr);
        return 1;
    }
    QElapsedTimer reloj;
    reloj.start();
    bool tomado = false;
    while (!(tomado = b.TomarTerminal(clave)) && reloj.elapsed() < 600'000)
        QThread::sleep(1);
    const double segundos = double(reloj.elapsed()) / 1000.0;
    reglas(" -D");

    const long inactivo = leerProc("/proc/sys/net/ipv4/tcp_keepalive_time"),
               intervalo = leerProc("/proc/sys/net/ipv4/tcp_keepalive_intvl"),
               sondas = leerProc("/proc/sys/net/ipv4/tcp_keepalive_probes");
    const double base = double(inactivo + sondas * intervalo);
    banco::titulo("A collector vanishes: until the other takes its terminal");
    banco::fila("seconds, with the program's keepalives", tomado ? segundos : -1, "s");
    banco::fila("seconds, operating system's keepalive (baseline)", base, "s");
    banco::fila("ratio", tomado ? segundos / base : -1, "");
    banco::resultado("bench_relevo", "takeover after a vanished collector", tomado ? segundos : 9999, "s", 90);
    return tomado ? 0 : 1;
}
