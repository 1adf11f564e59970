#pragma once
// Small helpers shared by the benchmarks: timing, process CPU time, a loopback
// address of our own, a scratch folder for databases, and the output format.
// Every figure that matters is printed as a ratio against a baseline measured
// in the same run, because the machine the benchmarks run on is noisy.

#include "tools/sim/simulador.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>

namespace banco {

// Seconds taken by f().
template <typename F>
double medir(F &&f)
{
    QElapsedTimer t;
    t.start();
    f();
    return double(t.nsecsElapsed()) / 1e9;
}

// CPU seconds used by every thread of this process so far (the simulator's
// thread included, so a busy wait on either side shows).
inline double cpuProceso()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// 127.a.b.n, different for every process, so that a benchmark never collides
// with a test or another benchmark listening on 127.0.0.x:10001 meanwhile.
inline QHostAddress loopbackPropio(int n)
{
    const quint32 pid = quint32(getpid());
    return QHostAddress((127u << 24) | ((100u + pid % 100u) << 16) | ((1u + (pid / 100u) % 250u) << 8) | quint32(n));
}

// Scratch folder for database files: $KALVEROSTIN_BENCH_DIR when set (to
// measure another disk), else the system's temporary folder.
inline QTemporaryDir carpetaTemporal()
{
    const QByteArray base = qgetenv("KALVEROSTIN_BENCH_DIR");
    if (base.isEmpty())
        return QTemporaryDir();
    return QTemporaryDir(QString::fromLocal8Bit(base) + QStringLiteral("/kalverostin-bench-XXXXXX"));
}

// Bytes the simulator put on the line or received, as a real line carries
// them: requests and answers once each; the RS-485 converter's echo is the
// request itself on a half-duplex bus, so it is not counted again.
inline qint64 bytesEnLinea(const korasim::Simulador &sim)
{
    qint64 n = 0;
    for (const auto &e : sim.registro())
        if (e.sentido == korasim::EntradaLog::Sentido::Peticion || e.sentido == korasim::EntradaLog::Sentido::Respuesta)
            n += e.bytes.size();
    return n;
}

inline int respuestasEnLog(const korasim::Simulador &sim)
{
    int n = 0;
    for (const auto &e : sim.registro())
        n += e.sentido == korasim::EntradaLog::Sentido::Respuesta;
    return n;
}

// fsync + fdatasync calls of this process so far when bench/fsync_lento.c is
// preloaded, else -1.
inline long long sincronias()
{
    using Cuenta = unsigned long long (*)();
    static const auto cuenta = reinterpret_cast<Cuenta>(dlsym(RTLD_DEFAULT, "fsync_lento_cuenta"));
    return cuenta ? static_cast<long long>(cuenta()) : -1;
}

// Round trips bench/proxy_retraso has counted so far, from its --cuenta file;
// -1 when the file cannot be read.
inline long long idasProxy(const QString &archivo)
{
    QFile f(archivo);
    if (archivo.isEmpty() || !f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &l : f.readAll().split('\n'))
        if (l.startsWith("ROUNDTRIPS "))
            return l.mid(11).trimmed().toLongLong();
    return -1;
}

// 8N1: ten bits per byte.
constexpr double kSegundosPorByte = 10.0 / 57600.0;

inline void titulo(const char *texto) { std::printf("\n== %s ==\n", texto); }

inline void fila(const char *nombre, double valor, const char *unidad)
{
    std::printf("  %-52s %12.3f %s\n", nombre, valor, unidad);
}

// One line per goal, picked up by run.sh for its summary.
inline void resultado(const char *banco, const char *que, double valor, const char *unidad, double limite,
                      bool menorEsMejor = true)
{
    const bool cumple = menorEsMejor ? valor <= limite : valor >= limite;
    std::printf("RESULT %-16s %-40s %9.3f%s  goal %s %.2f%s  %s\n", banco, que, valor, unidad,
                menorEsMejor ? "<=" : ">=", limite, unidad, cumple ? "met" : "MISSED");
}

inline void informe(const char *banco, const char *que, double valor, const char *unidad)
{
    std::printf("RESULT %-16s %-40s %9.3f%s\n", banco, que, valor, unidad);
}

[[noreturn]] inline void abortar(const QString &motivo)
{
    std::fprintf(stderr, "bench: %s\n", qPrintable(motivo));
    std::exit(2);
}

// Punches one minute apart from a fixed moment, so no two share a second.
inline QDateTime momentoMarcaje(int i)
{
    return QDateTime(QDate(2024, 1, 1), QTime(8, 0)).addSecs(qint64(i) * 60);
}

} // namespace banco
