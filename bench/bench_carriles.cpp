// One polling run (the unattended core, no window) over many TCP terminals on
// the simulator, some of them silent, against the communications timeout.
// Silent terminals are waited for in parallel, so the run should take about
// one timeout, not one per silent terminal.
//
//   bench_carriles [terminals] [silent] [timeout s]     (default 40 5 5)

#include "bench/banco.h"
#include "shell/nucleo/ciclo.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/nucleo/trabajador.h"
#include "storage/mod_ado.h"
#include "storage/mod_ini.h"

#include <QEventLoop>
#include <QTimer>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 250) : 40;
    const int mudos = argc > 2 ? std::clamp(std::atoi(argv[2]), 0, n) : 5;
    const int timeout = argc > 3 ? std::clamp(std::atoi(argv[3]), 1, 60) : 5;
    constexpr int kMarcajes = 5;

    QTemporaryDir dir = banco::carpetaTemporal();
    if (!dir.isValid())
        banco::abortar(QStringLiteral("no scratch folder"));
    MOD_ini::FijarDirectorioPrograma(dir.path());
    MOD_ini::EscribirConfig(QStringLiteral("comunicaciones"), QStringLiteral("timeout"), QString::number(timeout));
    QString error;
    Arranque::LeerConfiguracion(&error);
    if (!error.isEmpty())
        banco::abortar(error);
    const auto cc = MOD_variables::CadenaConexion();

    korasim::Simulador sim;
    const int paso = mudos > 0 ? n / mudos : 0;
    for (int i = 1; i <= n; ++i) {
        auto &t = sim.agregarTerminal(quint8(i));
        for (int m = 0; m < kMarcajes; ++m)
            t.agregarMarcaje(banco::momentoMarcaje(i * 100 + m), 1000 + quint32(m));
        // The silent ones spread over the table, not all at its end.
        if (paso > 0 && i % paso == 0 && i / paso <= mudos)
            t.fijarFallos({.silencioso = true});
        const QHostAddress ip = banco::loopbackPropio(i);
        if (sim.escucharTcp(quint8(i), ip) == 0)
            banco::abortar(QStringLiteral("cannot listen on %1").arg(ip.toString()));
        if (const QString e = MOD_ado::InsertarTerminal(cc, QString::number(i), QStringLiteral("T%1").arg(i),
                                                        ip.toString(), QStringLiteral("2"), QStringLiteral("1"));
            !e.isEmpty())
            banco::abortar(e);
    }
    QVector<TerminalRecord> terminales;
    if (const QString e = MOD_ado::CargarTerminales(cc, terminales); !e.isEmpty())
        banco::abortar(e);

    Ciclo ciclo([&] { return terminales; });
    int ok = 0, errores = 0;
    QObject::connect(ciclo.trabajador(), &Trabajador::lineas, [&](const LineasRegistro &lineas) {
        for (const LineaRegistro &linea : lineas)
            ++(linea.gravedad == Gravedad::Error ? errores : ok);
    });
    QEventLoop bucle;
    QObject::connect(&ciclo, &Ciclo::lecturaTerminada, &bucle, &QEventLoop::quit);
    QTimer::singleShot(0, &ciclo, [&] { ciclo.LecturaMarcajes(false); });
    const double t = banco::medir([&] { bucle.exec(); });
    if (ok != n - mudos || errores != mudos)
        banco::abortar(QStringLiteral("%1 OK lines and %2 error lines, expected %3 and %4")
                           .arg(ok).arg(errores).arg(n - mudos).arg(mudos));

    banco::titulo(qPrintable(QStringLiteral("bench_carriles: one polling run, %1 TCP terminals, %2 silent, "
                                            "timeout %3 s")
                                 .arg(n)
                                 .arg(mudos)
                                 .arg(timeout)));
    banco::fila("run time", t, "s");
    banco::fila("run time / timeout", t / timeout, "x");
    banco::resultado("bench_carriles", "run time / timeout", t / timeout, "x", (2.0 * timeout + 5.0) / timeout);
    return 0;
}
