/* Counts what the program asks of its database, loaded with LD_PRELOAD:
 * connections opened (sqlite3_open_v2; libpq's PQconnectdb*, PQconnectStart*,
 * PQsetdbLogin) and statements executed. On SQLite that is a first
 * sqlite3_step (the statement was not under way): prepares would miss
 * statements kept and run again, steps would count rows. On libpq it is every
 * PQexec, PQexecParams, PQprepare, PQexecPrepared and PQsend* call, so the
 * Qt driver's PREPARE and DEALLOCATE around a statement count too. A library's
 * calls to itself (sqlite3_exec reading the schema, PQexec through
 * PQsendQuery) are left out. Read by the benchmark in the process:
 * cuenta_sql_conexiones(), cuenta_sql_sentencias(); cuenta_sql_traza(path)
 * appends each statement's text to a file from then on (NULL stops).
 *
 *   LD_PRELOAD=build/bench/libcuenta_sql.so build/bench/bench_sitio
 *
 * The Qt drivers are plugins that load libsqlite3 and libpq in their own
 * scope, where RTLD_NEXT does not look: the real function is then found by
 * soname. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned long long conexiones, sentencias;
static int traza = -1;

static void *real(const char *nombre, const char *soname)
{
    void *p = dlsym(RTLD_NEXT, nombre);
    if (!p) {
        void *h = dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
        p = h ? dlsym(h, nombre) : NULL;
    }
    if (!p) {
        fprintf(stderr, "cuenta_sql: %s not found in %s\n", nombre, soname);
        abort();
    }
    return p;
}

/* Whether the call comes from outside the library that defines f. */
static int ajena(const void *llamador, const void *f)
{
    Dl_info a, b;
    return !(dladdr(llamador, &a) && dladdr(f, &b) && a.dli_fbase == b.dli_fbase);
}

static void anotar(const void *llamador, const void *f, unsigned long long *cuenta, const char *texto)
{
    if (!ajena(llamador, f))
        return;
    __atomic_add_fetch(cuenta, 1, __ATOMIC_RELAXED);
    const int fd = __atomic_load_n(&traza, __ATOMIC_RELAXED);
    if (fd < 0 || cuenta != &sentencias)
        return;
    char linea[240];
    const int n = snprintf(linea, sizeof linea, "%.238s", texto ? texto : "?");
    for (int i = 0; i < n; ++i)
        if (linea[i] == '\n' || linea[i] == '\r' || linea[i] == '\t')
            linea[i] = ' ';
    linea[n] = '\n';
    if (write(fd, linea, (size_t)n + 1) < 0) { /* a lost trace line only loses detail */
    }
}

/* A wrapper: counts the call when it comes from outside the library, then
 * calls the library's own function (looked up once, of the wrapper's type). */
#define ENVOLVER(tipo, nombre, so, cuenta, texto, parametros, argumentos)                                          \
    tipo nombre parametros                                                                                         \
    {                                                                                                              \
        static __typeof__(nombre) *f;                                                                              \
        if (!f)                                                                                                    \
            f = (__typeof__(nombre) *)real(#nombre, so);                                                           \
        anotar(__builtin_return_address(0), (const void *)f, &cuenta, texto);                                      \
        return f argumentos;                                                                                       \
    }
#define SQ "libsqlite3.so.0"
#define PQ "libpq.so.5"
typedef const void *P; /* the handles and arrays, never looked into */
typedef const char *T;

ENVOLVER(int, sqlite3_open_v2, SQ, conexiones, a, (T a, void **b, int c, T d), (a, b, c, d))
ENVOLVER(P, PQconnectdb, PQ, conexiones, NULL, (T a), (a))
ENVOLVER(P, PQconnectStart, PQ, conexiones, NULL, (T a), (a))
ENVOLVER(P, PQconnectdbParams, PQ, conexiones, NULL, (P a, P b, int c), (a, b, c))
ENVOLVER(P, PQconnectStartParams, PQ, conexiones, NULL, (P a, P b, int c), (a, b, c))
ENVOLVER(P, PQsetdbLogin, PQ, conexiones, NULL, (T a, T b, T c, T d, T e, T g, T h), (a, b, c, d, e, g, h))
/* Traced with the statement's text, or the prepared statement's name. */
ENVOLVER(P, PQexec, PQ, sentencias, q, (P c, T q), (c, q))
ENVOLVER(int, PQsendQuery, PQ, sentencias, q, (P c, T q), (c, q))
ENVOLVER(P, PQprepare, PQ, sentencias, q, (P c, T n, T q, int k, P t), (c, n, q, k, t))
ENVOLVER(int, PQsendPrepare, PQ, sentencias, q, (P c, T n, T q, int k, P t), (c, n, q, k, t))
ENVOLVER(P, PQexecParams, PQ, sentencias, q, (P c, T q, int k, P t, P v, P l, P m, int r), (c, q, k, t, v, l, m, r))
ENVOLVER(int, PQsendQueryParams, PQ, sentencias, q, (P c, T q, int k, P t, P v, P l, P m, int r),
         (c, q, k, t, v, l, m, r))
ENVOLVER(P, PQexecPrepared, PQ, sentencias, n, (P c, T n, int k, P v, P l, P m, int r), (c, n, k, v, l, m, r))
ENVOLVER(int, PQsendQueryPrepared, PQ, sentencias, n, (P c, T n, int k, P v, P l, P m, int r), (c, n, k, v, l, m, r))

/* Only the first step of an execution counts. */
int sqlite3_step(void *stmt)
{
    static int (*paso)(void *), (*ocupada)(void *);
    static const char *(*texto)(void *);
    int (*f)(void *) = __atomic_load_n(&paso, __ATOMIC_ACQUIRE);
    if (!f) {
        texto = (const char *(*)(void *))real("sqlite3_sql", SQ);
        ocupada = (int (*)(void *))real("sqlite3_stmt_busy", SQ);
        f = (int (*)(void *))real("sqlite3_step", SQ);
        __atomic_store_n(&paso, f, __ATOMIC_RELEASE);
    }
    if (!ocupada(stmt))
        anotar(__builtin_return_address(0), (const void *)f, &sentencias, texto(stmt));
    return f(stmt);
}

unsigned long long cuenta_sql_conexiones(void) { return __atomic_load_n(&conexiones, __ATOMIC_RELAXED); }
unsigned long long cuenta_sql_sentencias(void) { return __atomic_load_n(&sentencias, __ATOMIC_RELAXED); }

void cuenta_sql_traza(const char *ruta)
{
    const int nuevo = ruta ? open(ruta, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600) : -1;
    const int viejo = __atomic_exchange_n(&traza, nuevo, __ATOMIC_RELAXED);
    if (viejo >= 0)
        close(viejo);
}
