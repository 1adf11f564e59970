// kora-sim: simulated terminals for trying the communications server without
// hardware. Runs until SIGINT or SIGTERM.

#include "tools/sim/simulador.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>

using namespace korasim;

namespace {

volatile std::sig_atomic_t senalRecibida = 0;
extern "C" void alRecibirSenal(int) { senalRecibida = 1; }

[[noreturn]] void fallar(const QString &texto)
{
    std::fprintf(stderr, "kora-sim: %s\n", qPrintable(texto));
    std::exit(2);
}

int leerCodigo(const QString &texto)
{
    bool ok = false;
    const int c = texto.toInt(&ok);
    if (!ok || c < 0 || c > 255)
        fallar(QStringLiteral("terminal code must be 0..255: %1").arg(texto));
    return c;
}

int leerEntero(const QCommandLineParser &p, const QString &opcion, int minimo)
{
    bool ok = false;
    const int v = p.value(opcion).toInt(&ok);
    if (!ok || v < minimo)
        fallar(QStringLiteral("--%1 needs a whole number of at least %2").arg(opcion).arg(minimo));
    return v;
}

void salida(const QString &linea)
{
    std::fprintf(stdout, "%s\n", qPrintable(linea));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kora-sim"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulates KORA time-and-attendance terminals over TCP and pseudo-terminals.\n"
        "Prints 'TCP <code> <address>:<port>' per listener, 'PTY <device>' for the\n"
        "serial bus and 'READY' when serving; runs until SIGINT or SIGTERM."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("tcp"),
         QStringLiteral("Terminal <code> listening on <address>:<port> (port 10001 when left out, "
                        "0 = any free port). Repeatable."),
         QStringLiteral("code@address[:port]")},
        {QStringLiteral("pty"),
         QStringLiteral("Open a pseudo-terminal bus in mode rs232 or rs485 (the converter echoes "
                        "every byte). Serves the --terminal codes, or terminal 1."),
         QStringLiteral("mode")},
        {QStringLiteral("terminal"), QStringLiteral("Terminal code on the pseudo-terminal bus. Repeatable."),
         QStringLiteral("code")},
        {QStringLiteral("punches"), QStringLiteral("Preload <n> punches into every terminal."),
         QStringLiteral("n"), QStringLiteral("0")},
        {QStringLiteral("two-slot"), QStringLiteral("Preloaded and generated punches use two slots (with a subcode).")},
        {QStringLiteral("date"),
         QStringLiteral("Time of the first preloaded punch, yyyy-MM-dd[ HH:mm:ss]; one minute apart "
                        "after that. Default: <n> minutes ago."),
         QStringLiteral("date")},
        {QStringLiteral("generate"), QStringLiteral("Add one punch to every terminal every <s> seconds."),
         QStringLiteral("s")},
        {QStringLiteral("fault"),
         QStringLiteral("Inject faults into terminal <code> (or 'all'); comma-separated list of: silent, "
                        "drop=N (every Nth answer), corrupt[=N] (wrong checksum, every Nth, default all), "
                        "extra[=N] (one byte too many), delay=MS, noecho (rs485 converter does not echo), "
                        "nostepback (step-back order ignored), loseread=N (every Nth read-next answer lost "
                        "after the pointer advanced), late=N (every Nth answer comes latems late), latems=MS (default 1500), "
                        "none. Repeatable."),
         QStringLiteral("code:fault[,fault]")},
        {QStringLiteral("paced"), QStringLiteral("Send serial bytes at the 57600-baud byte time (about 174 us each).")},
        {QStringLiteral("zero-fill"), QStringLiteral("Never-written ring slots hold zeros instead of the end marker.")},
        {QStringLiteral("no-end-marker"), QStringLiteral("Keep no end marker under the write pointer.")},
        {QStringLiteral("hold-at-end"),
         QStringLiteral("Read-next under the write pointer leaves the read pointer there (by default it advances "
                        "past the end marker like past any slot).")},
        {QStringLiteral("wrapped"),
         QStringLiteral("Start with a ring that has gone round once: every slot holds an old punch, already read.")},
        {QStringLiteral("clock"),
         QStringLiteral("Answer every clock read with this fixed record, seven hex bytes "
                        "(seconds minutes hours weekday day month year, BCD), e.g. \"07 05 09 05 04 12 26\"."),
         QStringLiteral("bytes")},
        {QStringLiteral("clock-offset"),
         QStringLiteral("Every terminal's clock starts <s> seconds ahead of the computer's (negative: behind)."),
         QStringLiteral("s")},
        {QStringLiteral("clock-drift"),
         QStringLiteral("Every terminal's clock gains <s> seconds a day (negative: loses), also after it is set."),
         QStringLiteral("s")},
        {QStringLiteral("log"), QStringLiteral("Append the wire log (every request and answer) to <file>."),
         QStringLiteral("file")},
        {QStringLiteral("record"),
         QStringLiteral("Append every punch put into a ring (preloaded and generated) to <file>, one line "
                        "each: code;yyyy-MM-dd HH:mm:ss;card;subcode;flags."),
         QStringLiteral("file")},
        {QStringLiteral("generate-for"), QStringLiteral("Stop generating punches <s> seconds after READY."),
         QStringLiteral("s")},
        {QStringLiteral("fault-at"),
         QStringLiteral("Set the faults of terminal <code> (or 'all') to <list> <s> seconds after READY, "
                        "e.g. 120@4:silent then 420@4:none. Repeatable."),
         QStringLiteral("s@code:fault[,fault]")},
        {QStringLiteral("overflow"),
         QStringLiteral("What a write does to a full ring (4499 unread): keep (writes over unread slots, "
                        "the default), push (pushes the read pointer ahead, losing the oldest unread punch) "
                        "or refuse (the punch is not stored)."),
         QStringLiteral("keep|push|refuse"), QStringLiteral("keep")},
        {QStringLiteral("reset-at"),
         QStringLiteral("Reset the memory of terminal <code> (or 'all') <s> seconds after READY: every slot "
                        "as never written, both pointers to 0. Repeatable."),
         QStringLiteral("s@code")},
        {QStringLiteral("read-by-other"),
         QStringLiteral("<s> seconds after READY, another program reads <n> slots from terminal <code> "
                        "(or 'all'): its read pointer moves as for <n> read-next orders. Repeatable."),
         QStringLiteral("s@code:n")},
        {{QStringLiteral("v"), QStringLiteral("verbose")}, QStringLiteral("Print the wire log on stderr.")},
    });
    p.process(app);

    // Terminals and their transports.
    struct Escucha { int codigo; QHostAddress direccion; quint16 puerto; };
    QList<Escucha> escuchas;
    static const QRegularExpression formaTcp(QStringLiteral("^(\\d+)@([^:]+)(?::(\\d+))?$"));
    for (const QString &t : p.values(QStringLiteral("tcp"))) {
        const auto m = formaTcp.match(t);
        QHostAddress dir;
        if (!m.hasMatch() || !dir.setAddress(m.captured(2)))
            fallar(QStringLiteral("--tcp expects code@address[:port]: %1").arg(t));
        const int puerto = m.captured(3).isEmpty() ? kPuertoTcp : m.captured(3).toInt();
        if (puerto > 65535)
            fallar(QStringLiteral("bad port in --tcp %1").arg(t));
        escuchas.append({leerCodigo(m.captured(1)), dir, quint16(puerto)});
    }
    std::optional<Modo> modoPty;
    if (p.isSet(QStringLiteral("pty"))) {
        const QString m = p.value(QStringLiteral("pty")).toLower();
        if (m == u"rs232")
            modoPty = Modo::RS232;
        else if (m == u"rs485")
            modoPty = Modo::RS485;
        else
            fallar(QStringLiteral("--pty expects rs232 or rs485"));
    }
    QList<int> enBus;
    for (const QString &c : p.values(QStringLiteral("terminal")))
        enBus.append(leerCodigo(c));
    if (modoPty && enBus.isEmpty())
        enBus.append(1);
    if (!modoPty && !enBus.isEmpty())
        fallar(QStringLiteral("--terminal needs --pty"));
    if (escuchas.isEmpty() && !modoPty)
        fallar(QStringLiteral("nothing to serve: give --tcp and/or --pty (see --help)"));

    // Options that shape every terminal.
    std::optional<RegistroReloj> reloj;
    if (p.isSet(QStringLiteral("clock"))) {
        const QByteArray b = QByteArray::fromHex(p.value(QStringLiteral("clock")).toLatin1());
        RegistroReloj r{};
        if (b.size() != qsizetype(r.size()))
            fallar(QStringLiteral("--clock needs seven hex bytes"));
        std::copy_n(b.begin(), r.size(), r.begin());
        reloj = r;
    }
    const auto segundos = [&](const char *opcion) {
        bool ok = true;
        const double v = p.isSet(QLatin1String(opcion)) ? p.value(QLatin1String(opcion)).toDouble(&ok) : 0;
        if (!ok)
            fallar(QStringLiteral("--%1 needs a number of seconds").arg(QLatin1String(opcion)));
        return v;
    };
    const double adelanto = segundos("clock-offset"), deriva = segundos("clock-drift");
    const QString textoDesborde = p.value(QStringLiteral("overflow"));
    Desborde desborde = Desborde::Sobrescribe;
    if (textoDesborde == u"push")
        desborde = Desborde::Empuja;
    else if (textoDesborde == u"refuse")
        desborde = Desborde::Rechaza;
    else if (textoDesborde != u"keep")
        fallar(QStringLiteral("--overflow expects keep, push or refuse"));
    const bool dosSlots = p.isSet(QStringLiteral("two-slot"));
    const int marcajes = leerEntero(p, QStringLiteral("punches"), 0);
    if (marcajes * (dosSlots ? 2 : 1) >= kPosiciones)
        fallar(QStringLiteral("--punches: the ring holds %1 slots, one kept for the end marker").arg(kPosiciones));
    QDateTime primera = QDateTime::currentDateTime().addSecs(-60LL * marcajes);
    if (p.isSet(QStringLiteral("date"))) {
        const QString f = p.value(QStringLiteral("date"));
        primera = QDateTime::fromString(f, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (!primera.isValid())
            primera = QDateTime(QDate::fromString(f, QStringLiteral("yyyy-MM-dd")), QTime(0, 0));
        if (!primera.isValid())
            fallar(QStringLiteral("--date expects yyyy-MM-dd[ HH:mm:ss]"));
    }

    Simulador sim;
    std::map<int, Fallos> fallos;
    for (const Escucha &e : escuchas)
        sim.agregarTerminal(quint8(e.codigo));
    for (int c : enBus)
        sim.agregarTerminal(quint8(c));
    // "code" or "all" -> the simulated terminals it names.
    const auto destinos = [&sim](const QString &quien, const QString &opcion) {
        const QList<int> res = quien == u"all" ? sim.codigos() : QList<int>{leerCodigo(quien)};
        for (int c : res)
            if (!sim.terminal(c))
                fallar(QStringLiteral("--%1 for terminal %2, which is not simulated").arg(opcion).arg(c));
        return res;
    };
    // "s@rest" -> s and rest.
    const auto leerMomento = [](const QString &texto, const QString &opcion, const QString &forma) {
        const qsizetype arroba = texto.indexOf(u'@');
        bool ok = false;
        const int s = texto.left(arroba).toInt(&ok);
        if (arroba < 0 || !ok || s < 0)
            fallar(QStringLiteral("--%1 expects %2: %3").arg(opcion, forma, texto));
        return std::pair{s, texto.mid(arroba + 1)};
    };
    // "code:fault[,fault]" -> the faults it gives each terminal named, starting from `base`.
    const auto leerFallos = [&destinos](const QString &f, const std::map<int, Fallos> &base) {
        std::map<int, Fallos> res;
        const qsizetype dosPuntos = f.indexOf(u':');
        if (dosPuntos < 0)
            fallar(QStringLiteral("--fault expects code:fault[,fault]: %1").arg(f));
        for (int c : destinos(f.left(dosPuntos), QStringLiteral("fault"))) {
            const auto b = base.find(c);
            Fallos nuevo = b == base.end() ? Fallos{} : b->second;
            for (const QString &uno : f.mid(dosPuntos + 1).split(u','))
                if (!aplicarFallo(nuevo, uno))
                    fallar(QStringLiteral("unknown fault: %1").arg(uno));
            res[c] = nuevo;
        }
        return res;
    };
    for (const QString &f : p.values(QStringLiteral("fault")))
        for (const auto &[c, nuevo] : leerFallos(f, fallos))
            fallos[c] = nuevo;
    struct CambioFallos { int segundos; std::map<int, Fallos> fallos; };
    QList<CambioFallos> cambios;
    for (const QString &f : p.values(QStringLiteral("fault-at"))) {
        const auto [s, resto] = leerMomento(f, QStringLiteral("fault-at"), QStringLiteral("s@code:fault[,fault]"));
        cambios.append({s, leerFallos(resto, {})});
    }
    // Things done to the rings while the program runs: a memory reset, or
    // another program reading (lectores > 0 slots).
    struct Suceso { int segundos; QList<int> codigos; int lectores; };
    QList<Suceso> sucesos;
    for (const QString &f : p.values(QStringLiteral("reset-at"))) {
        const auto [s, quien] = leerMomento(f, QStringLiteral("reset-at"), QStringLiteral("s@code"));
        sucesos.append({s, destinos(quien, QStringLiteral("reset-at")), 0});
    }
    for (const QString &f : p.values(QStringLiteral("read-by-other"))) {
        const QString forma = QStringLiteral("s@code:n");
        const auto [s, resto] = leerMomento(f, QStringLiteral("read-by-other"), forma);
        const qsizetype dosPuntos = resto.indexOf(u':');
        bool ok = false;
        const int n = resto.mid(dosPuntos + 1).toInt(&ok);
        if (dosPuntos < 0 || !ok || n < 1)
            fallar(QStringLiteral("--read-by-other expects %1 with n at least 1: %2").arg(forma, f));
        sucesos.append({s, destinos(resto.left(dosPuntos), QStringLiteral("read-by-other")), n});
    }

    // Every punch put into a ring, for checking a run against the database.
    QFile archivoPunches;
    if (p.isSet(QStringLiteral("record"))) {
        archivoPunches.setFileName(p.value(QStringLiteral("record")));
        if (!archivoPunches.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
            fallar(QStringLiteral("cannot open %1: %2").arg(archivoPunches.fileName(), archivoPunches.errorString()));
    }
    std::map<int, qint64> generados, rechazados;
    const auto agregar = [&](Terminal &t, const QDateTime &momento, quint32 tarj, quint32 sub, quint8 banderas) {
        const int slot = dosSlots ? t.agregarMarcajeDoble(momento, tarj, sub, banderas)
                                  : t.agregarMarcaje(momento, tarj, banderas);
        if (slot < 0) {
            ++rechazados[t.codigo()];
            return;
        }
        ++generados[t.codigo()];
        if (archivoPunches.isOpen()) {
            archivoPunches.write(QStringLiteral("%1;%2;%3;%4;%5\n")
                                     .arg(t.codigo())
                                     .arg(momento.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                                     .arg(tarj)
                                     .arg(dosSlots ? sub : 0)
                                     .arg(banderas)
                                     .toUtf8());
            archivoPunches.flush();
        }
    };

    const Relleno relleno = p.isSet(QStringLiteral("zero-fill")) ? Relleno::Ceros : Relleno::MarcaFin;
    const bool marca = !p.isSet(QStringLiteral("no-end-marker"));
    quint32 tarjeta = 1000;
    for (int c : sim.codigos()) {
        Terminal &t = *sim.terminal(c);
        t.configurarAnillo(relleno, marca);
        t.fijarAlFinal(p.isSet(QStringLiteral("hold-at-end")) ? AlFinal::Retiene : AlFinal::Avanza);
        if (p.isSet(QStringLiteral("wrapped"))) {
            std::vector<Registro> viejos;
            for (int i = 0; i < kPosiciones; ++i)
                viejos.push_back(registroMarcaje(primera.addDays(-30).addSecs(60LL * i), 1, 0));
            t.agregarRegistros(viejos);
            t.fijarPunteros(t.punteroEscritura(), t.punteroEscritura());
        }
        t.fijarDesborde(desborde); // after the old punches, which are no overflow
        t.fijarRespuestaReloj(reloj);
        t.fijarFechaHora(QDateTime::currentDateTime().addMSecs(qint64(adelanto * 1000)));
        t.fijarDeriva(deriva);
        t.fijarFallos(fallos[c]);
        for (int i = 0; i < marcajes; ++i) {
            const QDateTime momento = primera.addSecs(60LL * i);
            agregar(t, momento, tarjeta + quint32(i), quint32(i + 1), i % 2 ? bandera::Salida : 0);
        }
    }
    tarjeta += quint32(marcajes);

    // Wire log, written on the simulator's thread.
    QFile archivoLog;
    if (p.isSet(QStringLiteral("log"))) {
        archivoLog.setFileName(p.value(QStringLiteral("log")));
        if (!archivoLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
            fallar(QStringLiteral("cannot open %1: %2").arg(archivoLog.fileName(), archivoLog.errorString()));
    }
    const bool verboso = p.isSet(QStringLiteral("verbose"));
    if (archivoLog.isOpen() || verboso) {
        sim.fijarObservador([&archivoLog, verboso](const EntradaLog &e) {
            const QByteArray linea = e.texto().toUtf8() + '\n';
            if (archivoLog.isOpen()) {
                archivoLog.write(linea);
                archivoLog.flush();
            }
            if (verboso)
                std::fputs(linea.constData(), stderr);
        });
    }
    sim.fijarRitmoSerie(p.isSet(QStringLiteral("paced")));

    for (const Escucha &e : escuchas) {
        QString error;
        const quint16 puerto = sim.escucharTcp(quint8(e.codigo), e.direccion, e.puerto, &error);
        if (!puerto)
            fallar(QStringLiteral("cannot listen on %1:%2: %3").arg(e.direccion.toString()).arg(e.puerto).arg(error));
        salida(QStringLiteral("TCP %1 %2:%3").arg(e.codigo).arg(e.direccion.toString()).arg(puerto));
    }
    if (modoPty) {
        QString error;
        const QString ruta = sim.abrirPty(*modoPty, enBus, &error);
        if (ruta.isEmpty())
            fallar(QStringLiteral("cannot open a pseudo-terminal: %1").arg(error));
        salida(QStringLiteral("PTY %1").arg(ruta));
    }

    QTimer generador;
    if (p.isSet(QStringLiteral("generate"))) {
        const int segundos = leerEntero(p, QStringLiteral("generate"), 1);
        QObject::connect(&generador, &QTimer::timeout, [&sim, &tarjeta, &agregar] {
            for (int c : sim.codigos()) {
                Terminal &t = *sim.terminal(c);
                agregar(t, t.fechaHora(), tarjeta, tarjeta % 1000 + 1, tarjeta % 2 ? bandera::Salida : 0);
                ++tarjeta;
            }
        });
        generador.start(segundos * 1000);
        if (p.isSet(QStringLiteral("generate-for")))
            QTimer::singleShot(leerEntero(p, QStringLiteral("generate-for"), 0) * 1000, &generador, &QTimer::stop);
    }
    for (const CambioFallos &cambio : cambios)
        QTimer::singleShot(cambio.segundos * 1000, &app, [&sim, f = cambio.fallos] {
            for (const auto &[c, nuevo] : f)
                sim.terminal(c)->fijarFallos(nuevo);
        });
    for (const Suceso &suceso : sucesos)
        QTimer::singleShot(suceso.segundos * 1000, &app, [&sim, suceso] {
            for (int c : suceso.codigos) {
                if (suceso.lectores > 0)
                    sim.terminal(c)->leerComoOtroPrograma(suceso.lectores);
                else
                    sim.terminal(c)->reiniciarMemoria();
            }
        });

    std::signal(SIGINT, alRecibirSenal);
    std::signal(SIGTERM, alRecibirSenal);
    QTimer vigia;
    QObject::connect(&vigia, &QTimer::timeout, [] {
        if (senalRecibida)
            QCoreApplication::quit();
    });
    vigia.start(100);

    salida(QStringLiteral("READY"));
    const int codigo = app.exec();
    sim.detener();
    // Per-terminal totals, so a run can be checked against what was stored.
    for (int c : sim.codigos()) {
        const Terminal &t = *sim.terminal(c);
        salida(QStringLiteral("GENERATED %1 %2").arg(c).arg(generados[c]));
        if (rechazados[c] > 0)
            salida(QStringLiteral("REFUSED %1 %2").arg(c).arg(rechazados[c]));
        salida(QStringLiteral("UNREAD %1 %2").arg(c).arg(
            (t.punteroEscritura() - t.punteroLectura() + kPosiciones) % kPosiciones));
    }
    return codigo;
}
