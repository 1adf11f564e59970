// The clock watch and the automatic daylight-saving change (the unattended
// core, no window) over TCP terminals on the simulator, on a clock of the
// benchmark's own so that hours pass in seconds:
//  - the exchanges the drift watch spends per terminal and hour, over six
//    simulated hours with the default [reloj] settings, against those of an
//    hour of polling with nothing new (one idle run measured, times 60);
//  - the delay from a transition of the terminals' zone to the last
//    terminal that answers set, some terminals silent, with idle lanes and
//    with a polling run under way, against the communications timeout (the
//    program ticks once a second: up to one second more in the field);
//  - the window thread's time for one tick of the watch with the automatic
//    change on, against the tick's period.
//
//   bench_relojes [terminals] [silent] [timeout s]     (default 40 5 5)

#include "bench/banco.h"
#include "shell/nucleo/ciclo.h"
#include "shell/nucleo/destino_base_datos.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/nucleo/trabajador.h"
#include "storage/estado_terminales.h"
#include "storage/mod_ado.h"
#include "storage/mod_ini.h"

#include <QEventLoop>
#include <QTimeZone>
#include <QTimer>
#include <atomic>
#include <memory>

namespace {

const char *const kBanco = "bench_relojes";
const QByteArray kZona = "Europe/Madrid";

std::atomic<qint64> ahoraMs{0}; // the benchmark's clock, UTC milliseconds

int peticiones(const korasim::Simulador &sim, int comando = -1)
{
    int n = 0;
    for (const auto &e : sim.registro())
        n += e.sentido == korasim::EntradaLog::Sentido::Peticion
             && (comando < 0 || (e.bytes.size() > 1 && kora::codigoDe(quint8(e.bytes[1])) == comando));
    return n;
}

// Runs the event loop until hecho() or `segundos` pass; false on the latter.
bool esperar(const std::function<bool()> &hecho, int segundos)
{
    QElapsedTimer t;
    t.start();
    while (!hecho()) {
        if (t.elapsed() > segundos * 1000LL)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

std::unique_ptr<Ciclo> nuevoCiclo(const QVector<TerminalRecord> &terminales)
{
    auto c = std::make_unique<Ciclo>([terminales] { return terminales; });
    c->Reloj = [] { return QDateTime::fromMSecsSinceEpoch(ahoraMs, QTimeZone::utc()); };
    return c;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 250) : 40;
    const int mudos = argc > 2 ? std::clamp(std::atoi(argv[2]), 0, n - 1) : 5;
    const int timeout = argc > 3 ? std::clamp(std::atoi(argv[3]), 1, 60) : 5;
    constexpr int kHoras = 6;

    QTemporaryDir dir = banco::carpetaTemporal();
    if (!dir.isValid())
        banco::abortar(QStringLiteral("no scratch folder"));
    MOD_ini::FijarDirectorioPrograma(dir.path());
    MOD_ini::EscribirConfig(QStringLiteral("comunicaciones"), QStringLiteral("timeout"), QString::number(timeout));
    const auto leer = [](const QString &comprobar, const QString &automatico) {
        MOD_ini::EscribirConfig(QStringLiteral("reloj"), QStringLiteral("comprobar"), comprobar);
        MOD_ini::EscribirConfig(QStringLiteral("reloj"), QStringLiteral("cambio_automatico"), automatico);
        QString error;
        Arranque::LeerConfiguracion(&error);
        if (!error.isEmpty())
            banco::abortar(error);
    };
    leer(QStringLiteral("60"), QStringLiteral("0")); // the defaults
    const auto cc = MOD_variables::CadenaConexion();

    korasim::Simulador sim;
    QVector<TerminalRecord> terminales, vivos;
    const int paso = mudos > 0 ? n / mudos : 0;
    for (int i = 1; i <= n; ++i) {
        sim.agregarTerminal(quint8(i));
        const QHostAddress ip = banco::loopbackPropio(i);
        if (sim.escucharTcp(quint8(i), ip) == 0)
            banco::abortar(QStringLiteral("cannot listen on %1").arg(ip.toString()));
        const TerminalRecord t{qint16(i), qint16(i), ip.toString(), QStringLiteral("T%1").arg(i), 2, 0};
        terminales << t;
        if (const QString e = MOD_ado::GuardarZona(cc, ClaveTerminal(t), QString::fromLatin1(kZona)); !e.isEmpty())
            banco::abortar(e);
    }
    const auto silenciar = [&](bool si) {
        for (int i = 1; i <= n; ++i)
            if (paso > 0 && i % paso == 0 && i / paso <= mudos)
                sim.terminal(i)->fijarFallos({.silencioso = si});
    };
    vivos = terminales;

    // 1. The drift watch over six hours, every terminal answering.
    const QTimeZone zona(kZona);
    const QDateTime inicio(QDate(2026, 1, 12), QTime(8, 0), QTimeZone::utc());
    ahoraMs = inicio.toMSecsSinceEpoch();
    int leidas = 0;
    {
        auto c = nuevoCiclo(terminales);
        QObject::connect(c->trabajador(), &Trabajador::estadoTerminal, c.get(), [&] { ++leidas; });
        for (qint64 s = 0; s < kHoras * 3600; ++s) {
            ahoraMs = inicio.addSecs(s).toMSecsSinceEpoch();
            c->TickRelojes();
            if (!esperar([&] { return c->TrabajosDeReloj() == 0; }, 10 * timeout))
                banco::abortar(QStringLiteral("clock reads did not finish"));
        }
    }
    const double porHoraReloj = double(peticiones(sim, kora::LeerReloj) + peticiones(sim, kora::EscribirReloj)) / n / kHoras;
    sim.limpiarRegistro();

    // An idle poll (after a first one that finds the terminals new) for the baseline.
    double porHoraLectura = 0;
    {
        auto c = nuevoCiclo(terminales);
        for (int i = 0; i < 2; ++i) {
            sim.limpiarRegistro();
            bool fin = false;
            QObject::connect(c.get(), &Ciclo::lecturaTerminada, c.get(), [&] { fin = true; });
            c->LecturaMarcajes(false);
            if (!esperar([&] { return fin; }, 60 + 10 * timeout))
                banco::abortar(QStringLiteral("polling run did not finish"));
        }
        porHoraLectura = 60.0 * peticiones(sim) / n;
    }

    // 2. A transition: the delay to the last answering terminal set.
    leer(QStringLiteral("0"), QStringLiteral("1"));
    silenciar(true);
    const auto transicionTras = [&](const QDateTime &m) { return zona.nextTransition(m).atUtc; };
    const auto medirCambio = [&](const QDateTime &transicion, bool conLectura) {
        ahoraMs = transicion.addSecs(-10).toMSecsSinceEpoch();
        auto c = nuevoCiclo(terminales); // a restart across the transition, as it may be
        int puestos = 0;
        QObject::connect(c->trabajador(), &Trabajador::lineas, c.get(), [&](const LineasRegistro &l) {
            for (const LineaRegistro &x : l)
                puestos += x.texto.contains(QStringLiteral("cambio de horario enviado"));
        });
        c->TickRelojes();
        if (conLectura) {
            for (int i = 1; i <= n; ++i)
                for (int m = 0; m < 200; ++m)
                    sim.terminal(i)->agregarMarcaje(banco::momentoMarcaje(i * 1000 + m), 1000 + quint32(m));
            c->LecturaMarcajes(false);
            QCoreApplication::processEvents();
        }
        ahoraMs = transicion.toMSecsSinceEpoch();
        QElapsedTimer t;
        t.start();
        while (puestos < n - mudos) {
            c->TickRelojes();
            if (!esperar([&] { return puestos >= n - mudos; }, 1) && t.elapsed() > 120000LL + 20000LL * timeout)
                banco::abortar(QStringLiteral("only %1 terminals set").arg(puestos));
        }
        return double(t.nsecsElapsed()) / 1e9;
    };
    // Every terminal's first transition noted without sending: none was owed.
    const QDateTime primavera = transicionTras(inicio), otono = transicionTras(primavera);
    const double libre = medirCambio(primavera, false);
    const double ocupado = medirCambio(otono, true);

    // 3. One tick with nothing due.
    double porTick = 0;
    {
        auto c = nuevoCiclo(terminales);
        ahoraMs = otono.addSecs(7200).toMSecsSinceEpoch();
        c->TickRelojes();
        constexpr int kTicks = 2000;
        porTick = banco::medir([&] {
                      for (int i = 0; i < kTicks; ++i)
                          c->TickRelojes();
                  }) / kTicks;
    }

    banco::titulo(qPrintable(QStringLiteral("%1: %2 TCP terminals (%3 silent at the transitions), timeout %4 s, "
                                            "zone %5")
                                 .arg(QLatin1String(kBanco)).arg(n).arg(mudos).arg(timeout)
                                 .arg(QString::fromLatin1(kZona))));
    banco::fila("drift watch: exchanges / terminal / hour", porHoraReloj, "");
    banco::fila("polling, nothing new: exchanges / terminal / hour", porHoraLectura, "");
    banco::fila("drift watch / polling", porHoraReloj / porHoraLectura, "x");
    banco::fila("transition -> last terminal set, lanes idle", libre, "s");
    banco::fila("transition -> last terminal set, polling run under way", ocupado, "s");
    banco::fila("  ... / timeout", ocupado / timeout, "x");
    banco::fila("one tick of the watch (window thread)", porTick * 1e6, "us");
    banco::fila("  ... / tick period", porTick * 100, "%");
    banco::resultado(kBanco, "drift watch exchanges/terminal/hour", porHoraReloj, "", 1.0);
    banco::resultado(kBanco, "transition to last set, idle (s)", libre, "s", 60.0);
    banco::resultado(kBanco, "transition to last set, polling (s)", ocupado, "s", 60.0);
    banco::informe(kBanco, "tick of the watch (us)", porTick * 1e6, "us");
    return 0;
}
