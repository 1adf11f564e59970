/* An emulated slow disk for the benchmarks, loaded with LD_PRELOAD: every
 * fsync and fdatasync does the real call and then waits FSYNC_MS milliseconds
 * (default 2; 0 only counts). The calls are counted: the total goes to the
 * file named by FSYNC_CUENTA at exit (else to stderr), and a benchmark in the
 * process can read the running count through fsync_lento_cuenta().
 *
 *   LD_PRELOAD=build/bench/libfsync_lento.so FSYNC_MS=2 build/bench/bench_descarga
 *
 * Calls made straight through syscall(2) are not seen; SQLite and Qt go
 * through the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static unsigned long long cuenta_fsync;
static unsigned long long cuenta_fdatasync;
static long espera_ns = 2000000L;
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);

__attribute__((constructor)) static void iniciar(void)
{
    const char *ms = getenv("FSYNC_MS");
    if (ms && *ms) {
        const double v = atof(ms);
        espera_ns = v > 0 ? (long)(v * 1e6) : 0;
    }
    real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    real_fdatasync = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
}

__attribute__((destructor)) static void terminar(void)
{
    const char *ruta = getenv("FSYNC_CUENTA");
    FILE *f = ruta && *ruta ? fopen(ruta, "a") : NULL;
    fprintf(f ? f : stderr, "fsync_lento: fsync %llu fdatasync %llu total %llu\n",
            __atomic_load_n(&cuenta_fsync, __ATOMIC_RELAXED), __atomic_load_n(&cuenta_fdatasync, __ATOMIC_RELAXED),
            __atomic_load_n(&cuenta_fsync, __ATOMIC_RELAXED) + __atomic_load_n(&cuenta_fdatasync, __ATOMIC_RELAXED));
    if (f)
        fclose(f);
}

/* The delay is taken after the real sync, as a disk would: the data is
 * durable only when the call returns. An interrupted sleep is resumed. */
static void esperar(void)
{
    if (espera_ns <= 0)
        return;
    struct timespec t = {espera_ns / 1000000000L, espera_ns % 1000000000L};
    const int guardado = errno;
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
    errno = guardado;
}

int fsync(int fd)
{
    if (!real_fsync)
        real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    const int r = real_fsync(fd);
    __atomic_add_fetch(&cuenta_fsync, 1, __ATOMIC_RELAXED);
    esperar();
    return r;
}

int fdatasync(int fd)
{
    if (!real_fdatasync)
        real_fdatasync = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    const int r = real_fdatasync(fd);
    __atomic_add_fetch(&cuenta_fdatasync, 1, __ATOMIC_RELAXED);
    esperar();
    return r;
}

/* fsync and fdatasync calls so far, for a benchmark that finds this with
 * dlsym(RTLD_DEFAULT, "fsync_lento_cuenta"). */
unsigned long long fsync_lento_cuenta(void)
{
    return __atomic_load_n(&cuenta_fsync, __ATOMIC_RELAXED) + __atomic_load_n(&cuenta_fdatasync, __ATOMIC_RELAXED);
}
