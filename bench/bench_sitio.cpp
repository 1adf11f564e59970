// What a large site costs while nothing happens: many TCP terminals on the
// simulator, some dead, polled run after run through the unattended core. A
// first poll downloads everything, idle polls find nothing new, a last one
// finds 3 new punches in every live terminal. Connections and statements are
// counted by bench/cuenta_sql.c, disk syncs by bench/fsync_lento.c (counting
// only); the benchmark starts itself again with both preloaded.
//
//   bench_sitio [terminals] [dead] [idle polls] [lanes] [timeout s] [--pg] [--proxy N] [--texto]
//
// Default 500 50 3 16 2, into an SQLite file. --pg (or KALVEROSTIN_BENCH_PG=1):
// into $KALVEROSTIN_PG_URL, an empty database (run it under scripts/pg-test.sh),
// then round trips counted at bench/proxy_retraso for N live terminals
// (default 40, 0 = none). --texto: the first idle poll's statements by text.

#include "bench/banco.h"
#include "shell/nucleo/ciclo.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/nucleo/trabajador.h"
#include "storage/mod_ado.h"
#include "storage/mod_ini.h"

#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>
#include <array>
#include <filesystem>
#include <map>

namespace {

double cuenta(const char *simbolo)
{
    const auto f = reinterpret_cast<unsigned long long (*)()>(dlsym(RTLD_DEFAULT, simbolo));
    return f ? double(f()) : -1;
}

void precargar(char **argv)
{
    if (cuenta("cuenta_sql_sentencias") >= 0 && banco::sincronias() >= 0)
        return;
    if (qEnvironmentVariableIsSet("BENCH_SITIO_PRECARGADO"))
        banco::abortar(QStringLiteral("the shims did not load"));
    const auto dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    std::string precarga = qgetenv("LD_PRELOAD").toStdString();
    for (const char *so : {"libcuenta_sql.so", "libfsync_lento.so"}) {
        if (!std::filesystem::exists(dir / so))
            banco::abortar(QStringLiteral("%1 is missing (targets cuenta_sql and fsync_lento; not built with the "
                                          "sanitizers)").arg(QLatin1String(so)));
        precarga = (dir / so).string() + ' ' + precarga;
    }
    setenv("LD_PRELOAD", precarga.c_str(), 1);
    setenv("FSYNC_MS", "0", 0); // syncs counted, not slowed
    setenv("FSYNC_CUENTA", "/dev/null", 0);
    setenv("BENCH_SITIO_PRECARGADO", "1", 1);
    execv("/proc/self/exe", argv);
    banco::abortar(QStringLiteral("cannot start itself again"));
}

// 127.s.t.u with s in 200..249 (banco::loopbackPropio's are in 100..199): up to 2000 a process.
QHostAddress direccion(int i)
{
    const quint32 pid = quint32(getpid()), n = quint32(i);
    return QHostAddress((127u << 24) | ((200u + pid % 50u) << 16) | ((pid / 50u % 32u * 8u + n / 250u) << 8)
                        | (1u + n % 250u));
}

// CPU seconds of the simulators' threads, which the process's CPU includes.
double cpuSimuladores()
{
    double s = 0;
    const QDir tareas(QStringLiteral("/proc/self/task"));
    for (const QString &h : tareas.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tareas.filePath(h + QStringLiteral("/comm"))), stat(tareas.filePath(h + QStringLiteral("/stat")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "kora-sim"
            && stat.open(QIODevice::ReadOnly)) {
            const QByteArray t = stat.readAll();
            const QList<QByteArray> c = t.mid(t.lastIndexOf(')') + 2).split(' '); // from field 3
            s += double(c.value(11).toLongLong() + c.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
        }
    }
    return s;
}

enum Cifra { Tiempo, Alcanzados, Peticiones, Respuestas, Conexiones, Sentencias, Sincronias, Cpu, CpuSim, Grabados,
             Idas, kCifras };
const char *const kNombres[] = {"wall time, s", "terminals reached (a request)", "exchanges (requests)",
                                "answers from terminals", "database connections opened", "statements executed",
                                "disk syncs (fsync + fdatasync)", "program CPU, s", "simulators' CPU, s",
                                "punches stored"};
using Pasada = std::array<double, kCifras>;

} // namespace

int main(int argc, char **argv)
{
    precargar(argv);
    QCoreApplication app(argc, argv);
    QList<int> num;
    bool pg = qgetenv("KALVEROSTIN_BENCH_PG") == "1", texto = false;
    int enProxy = 40;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        pg = pg || args[i] == u"--pg";
        texto = texto || args[i] == u"--texto";
        if (args[i] == u"--proxy" && i + 1 < args.size())
            enProxy = args[++i].toInt();
        else if (!args[i].startsWith(u"--"))
            num << args[i].toInt();
    }
    const int n = std::clamp(num.value(0, 500), 1, 2000), muertos = std::clamp(num.value(1, 50), 0, n);
    const int ociosas = std::clamp(num.value(2, 3), 1, 100), carriles = std::clamp(num.value(3, 16), 1, 256);
    const int timeout = std::clamp(num.value(4, 2), 1, 60);
    const QString url = qEnvironmentVariable("KALVEROSTIN_PG_URL");
    if (pg && url.isEmpty())
        banco::abortar(QStringLiteral("--pg needs KALVEROSTIN_PG_URL (run it under scripts/pg-test.sh)"));

    QTemporaryDir dir = banco::carpetaTemporal();
    if (!dir.isValid())
        banco::abortar(QStringLiteral("no scratch folder"));
    MOD_ini::FijarDirectorioPrograma(dir.path()); // the SQLite file goes to datos/ there
    MOD_ini::EscribirConfig(QStringLiteral("comunicaciones"), QStringLiteral("timeout"), QString::number(timeout));
    MOD_ini::EscribirConfig(QStringLiteral("comunicaciones"), QStringLiteral("simultaneos"), QString::number(carriles));
    if (pg)
        MOD_ini::EscribirConfig(QStringLiteral("datos"), QStringLiteral("bd"), url);
    QString error;
    Arranque::LeerConfiguracion(&error);
    const auto cc = MOD_variables::CadenaConexion();
    QVector<TerminalRecord> terminales;
    if (error.isEmpty())
        error = MOD_ado::CargarTerminales(cc, terminales);
    if (!error.isEmpty() || !terminales.isEmpty())
        banco::abortar(error.isEmpty() ? QStringLiteral("the database already holds terminals") : error);

    // Terminal codes are one byte: a simulator serves 250. The dead ones are
    // spread over the table, every other one silent after it accepts; the
    // rest have an address nobody listens on, which loopback refuses at once
    // (a reset), where a terminal switched off on a network would keep the
    // connect waiting.
    std::vector<std::unique_ptr<korasim::Simulador>> sims;
    std::vector<std::pair<int, korasim::Terminal *>> vivos; // table index, terminal
    const int paso = muertos > 0 ? n / muertos : 0;
    int mudos = 0;
    for (int i = 1; i <= n; ++i) {
        const quint8 codigo = quint8((i - 1) % 250 + 1);
        if (codigo == 1)
            sims.push_back(std::make_unique<korasim::Simulador>());
        const bool muerto = paso > 0 && i % paso == 0 && i / paso <= muertos;
        if (!muerto || i / paso % 2 == 1) {
            auto &t = sims.back()->agregarTerminal(codigo);
            for (int m = 0; m < 5; ++m)
                t.agregarMarcaje(banco::momentoMarcaje(i * 100 + m), 1000 + quint32(m));
            if (muerto) {
                t.fijarFallos({.silencioso = true});
                ++mudos;
            } else {
                vivos.emplace_back(i, &t);
            }
            if (sims.back()->escucharTcp(codigo, direccion(i)) == 0)
                banco::abortar(QStringLiteral("cannot listen on %1").arg(direccion(i).toString()));
        }
        if (const QString e = MOD_ado::InsertarTerminal(cc, QString::number(codigo), QStringLiteral("T%1").arg(i),
                                                        direccion(i).toString(), QStringLiteral("2"),
                                                        QStringLiteral("1"));
            !e.isEmpty())
            banco::abortar(e);
    }
    if (const QString e = MOD_ado::CargarTerminales(cc, terminales); !e.isEmpty())
        banco::abortar(e);
    const int nVivos = int(vivos.size());

    QVector<TerminalRecord> lista = terminales;
    Ciclo ciclo([&] { return lista; });
    int ok = 0, errores = 0;
    long grabados = 0;
    QString otroError;
    static const QRegularExpression leidos(QStringLiteral("marcajes leídos: (\\d+)"));
    QObject::connect(ciclo.trabajador(), &Trabajador::lineas, [&](const LineasRegistro &lineas) {
        for (const LineaRegistro &l : lineas) {
            ++(l.gravedad == Gravedad::Error ? errores : ok);
            if (l.gravedad == Gravedad::Error && !l.texto.contains(u"error en comunicaciones"))
                otroError = l.texto;
            grabados = std::max(grabados, leidos.match(l.texto).captured(1).toLong()); // a running count
        }
    });
    QEventLoop bucle;
    QObject::connect(&ciclo, &Ciclo::lecturaTerminada, &bucle, &QEventLoop::quit);
    const QString archivoIdas = dir.filePath(QStringLiteral("idas.txt"));
    const auto contadores = [&] {
        return Pasada{0, 0, 0, 0, cuenta("cuenta_sql_conexiones"), cuenta("cuenta_sql_sentencias"),
                      double(banco::sincronias()), banco::cpuProceso(), cpuSimuladores(), 0,
                      double(banco::idasProxy(archivoIdas))};
    };
    // One poll: every terminal must give its line, the punches expected stored.
    const auto pasada = [&](int okEsperados, int erroresEsperados, long grabadosEsperados) {
        for (auto &s : sims)
            s->limpiarRegistro();
        ok = errores = 0;
        grabados = 0;
        Pasada p = contadores();
        QTimer::singleShot(0, &ciclo, [&] { ciclo.LecturaMarcajes(false); });
        p[Tiempo] = banco::medir([&] { bucle.exec(); });
        const Pasada despues = contadores();
        for (int c = Conexiones; c < kCifras; ++c)
            p[c] = despues[c] - p[c];
        p[Cpu] -= p[CpuSim];
        p[Grabados] = double(grabados);
        QSet<QString> canales;
        for (auto &s : sims)
            for (const auto &e : s->registro()) {
                const bool peticion = e.sentido == korasim::EntradaLog::Sentido::Peticion;
                if (peticion)
                    canales.insert(e.canal);
                p[Peticiones] += peticion;
                p[Respuestas] += e.sentido == korasim::EntradaLog::Sentido::Respuesta;
            }
        p[Alcanzados] = double(canales.size());
        if (ok != okEsperados || errores != erroresEsperados || grabados != grabadosEsperados)
            banco::abortar(QStringLiteral("%1 OK lines, %2 error lines, %3 punches stored; expected %4, %5, %6. %7")
                               .arg(ok).arg(errores).arg(grabados).arg(okEsperados).arg(erroresEsperados)
                               .arg(grabadosEsperados).arg(otroError));
        return p;
    };
    int lote = 0;
    const auto nuevos = [&](int cuantos) {
        ++lote;
        for (int k = 0; k < cuantos; ++k)
            for (int m = 0; m < 3; ++m)
                vivos[size_t(k)].second->agregarMarcaje(
                    banco::momentoMarcaje(vivos[size_t(k)].first * 100 + lote * 10 + m), 2000 + quint32(m));
    };

    std::vector<Pasada> pasadas{pasada(nVivos, muertos, 5L * nVivos)};
    if (pasadas[0][Conexiones] <= 0 || pasadas[0][Sentencias] <= 0 || (!pg && pasadas[0][Sincronias] <= 0))
        banco::abortar(QStringLiteral("the shims saw no connection, statement or sync: calls not interposed"));
    const auto traza = reinterpret_cast<void (*)(const char *)>(dlsym(RTLD_DEFAULT, "cuenta_sql_traza"));
    const QString archivoTraza = dir.filePath(QStringLiteral("sentencias.txt"));
    Pasada ociosa{};
    for (int k = 0; k < ociosas; ++k) {
        if (texto && k == 0)
            traza(archivoTraza.toLocal8Bit().constData());
        pasadas.push_back(pasada(nVivos, muertos, 0));
        traza(nullptr);
        for (int c = 0; c < kCifras; ++c)
            ociosa[c] += pasadas.back()[c] / ociosas;
    }
    nuevos(nVivos);
    pasadas.push_back(pasada(nVivos, muertos, 3L * nVivos));

    banco::titulo(qPrintable(QStringLiteral("bench_sitio: %1 TCP terminals (%2 silent, %3 refusing), %4 lanes, "
                                            "timeout %5 s, %6")
                                 .arg(n).arg(mudos).arg(muertos - mudos).arg(carriles).arg(timeout)
                                 .arg(QLatin1String(pg ? "PostgreSQL" : "SQLite"))));
    std::printf("  %-32s %9s", "poll", "first");
    for (int k = 1; k <= ociosas; ++k)
        std::printf("   idle %-2d", k);
    std::printf(" %9s\n", "3 new");
    for (int c = 0; c < Idas; ++c) {
        std::printf("  %-32s", kNombres[c]);
        for (const Pasada &p : pasadas)
            std::printf(c == Tiempo || c == Cpu || c == CpuSim ? " %9.2f" : " %9.0f", p[c]);
        std::printf("\n");
    }
    banco::fila("idle poll: statements per terminal", ociosa[Sentencias] / n, "");
    banco::fila("idle poll: statements per exchange", ociosa[Sentencias] / ociosa[Peticiones], "");
    banco::fila("idle poll: time / timeout", ociosa[Tiempo] / timeout, "x");
    if (texto) {
        // Literals and numbers (prepared statements' names too) left out.
        QFile f(archivoTraza);
        std::map<QString, int> veces;
        static const QRegularExpression cita(QStringLiteral("'([^']|'')*'")),
            numero(QStringLiteral("\\b(qpsqlpstmt_)?[0-9a-f]*\\d[0-9a-f]*\\b"));
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray &l : f.readAll().split('\n'))
                if (!l.isEmpty())
                    ++veces[QString::fromUtf8(l).replace(cita, QStringLiteral("?")).replace(numero, QStringLiteral("N"))
                                .left(100)];
        std::multimap<int, QString, std::greater<>> orden;
        for (const auto &[t, v] : veces)
            orden.emplace(v, t);
        std::printf("  statements of the first idle poll by text, per terminal:\n");
        for (const auto &[v, t] : orden)
            std::printf("  %8.3f  %s\n", double(v) / n, qPrintable(t));
    }

    char que[64];
    const auto etiqueta = [&](const char *t) {
        std::snprintf(que, sizeof que, "%s %s", pg ? "PG" : "SQLite", t);
        return que;
    };
    double conexionesDespues = 0;
    for (size_t k = 1; k < pasadas.size(); ++k)
        conexionesDespues = std::max(conexionesDespues, pasadas[k][Conexiones]);
    banco::informe("bench_sitio", etiqueta("exchanges per idle poll"), ociosa[Peticiones], "");
    if (!pg)
        banco::resultado("bench_sitio", etiqueta("disk syncs per idle poll"), ociosa[Sincronias], "", 20);
    banco::resultado("bench_sitio", etiqueta("connections per later poll"), conexionesDespues, "", 0);
    banco::resultado("bench_sitio", etiqueta("statements per idle terminal"), ociosa[Sentencias] / n, "", 3);
    if (!pg) {
        banco::informe("bench_sitio", etiqueta("CPU per idle poll"), ociosa[Cpu], " s");
        return 0;
    }
    banco::resultado("bench_sitio", etiqueta("CPU per idle poll"), ociosa[Cpu], " s", 0.8);
    if (enProxy <= 0)
        return 0;

    // Round trips at a proxy before the server for m live terminals: a poll
    // that sets up its connections anew (another address), an idle one, one
    // with 3 new punches each.
    const int m = std::min(enProxy, nVivos);
    QProcess proxy;
    QUrl porProxy(url);
    proxy.start(QCoreApplication::applicationDirPath() + QStringLiteral("/proxy_retraso"),
                {QStringLiteral("0"), QStringLiteral("%1:%2").arg(porProxy.host()).arg(porProxy.port(5432)),
                 QStringLiteral("0"), QStringLiteral("--cuenta"), archivoIdas});
    QByteArray salida;
    while (!salida.contains("READY") && proxy.waitForReadyRead(5000))
        salida += proxy.readAllStandardOutput();
    static const QRegularExpression escucha(QStringLiteral("LISTEN (\\d+)"));
    porProxy.setPort(escucha.match(QString::fromLatin1(salida)).captured(1).toInt());
    if (porProxy.port() <= 0)
        banco::abortar(QStringLiteral("proxy_retraso did not start: %1").arg(proxy.errorString()));
    MOD_variables::GuardarRutaBaseDatos(porProxy.toString());
    lista.clear();
    for (int k = 0; k < m; ++k)
        lista << terminales[vivos[size_t(k)].first - 1];
    pasada(m, 0, 0);
    const double idasOciosa = pasada(m, 0, 0)[Idas];
    nuevos(m);
    const double idasNuevos = pasada(m, 0, 3L * m)[Idas];
    proxy.terminate();
    proxy.waitForFinished(3000);
    banco::resultado("bench_sitio", "PG round trips per idle terminal", idasOciosa / m, "", 2);
    banco::resultado("bench_sitio", "PG round trips per terminal, 3 new", idasNuevos / m, "", 12);
    return 0;
}
