#include "storage/estado_terminales.h"

#include "storage/conexion.h"
#include "storage/interno.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <mutex>

namespace MOD_ado {

namespace {

constexpr const char *kColumnas =
    "ultima_lectura, ultimo_error, motivo, fallando_desde, dia, marcajes_dia, pendientes, alertado, "
    "continuidad_perdida, motivo_continuidad, reloj_leido, desfase, reloj_corregido";

// Moments in UTC, so that a change of the local zone or of daylight saving
// leaves them right.
QVariant texto(const QDateTime &m)
{
    return m.isValid() ? QVariant(m.toUTC().toString(Qt::ISODate)) : QVariant(QMetaType(QMetaType::QString));
}

QDateTime momento(const QVariant &v)
{
    return v.isNull() ? QDateTime() : QDateTime::fromString(v.toString(), Qt::ISODate).toLocalTime();
}

EstadoTerminal leerFila(const QSqlQuery &q, int desde)
{
    EstadoTerminal e;
    e.ultimaLectura = momento(q.value(desde));
    e.ultimoError = momento(q.value(desde + 1));
    e.motivo = q.value(desde + 2).toString();
    e.fallandoDesde = momento(q.value(desde + 3));
    e.dia = QDate::fromString(q.value(desde + 4).toString(), Qt::ISODate);
    e.marcajesDia = q.value(desde + 5).toInt();
    e.pendientes = q.value(desde + 6).isNull() ? -1 : q.value(desde + 6).toInt();
    e.alertado = q.value(desde + 7).toInt() != 0;
    e.continuidadPerdida = momento(q.value(desde + 8));
    e.motivoContinuidad = q.value(desde + 9).toString();
    e.relojLeido = momento(q.value(desde + 10));
    e.desfase = q.value(desde + 11).toInt();
    e.relojCorregido = momento(q.value(desde + 12));
    return e;
}

// The table, created when missing; false where it cannot be kept.
bool prepararTabla(Conexion &con) { return con.prepararTablasPropias().isEmpty(); }

// Why the connection cannot be used with the program's tables; empty when it can.
QString conTablasPropias(Conexion &con)
{
    const QString e = con.error();
    return e.isEmpty() ? con.prepararTablasPropias() : e;
}

// One row of a program table written by its key: valores are the key's and the column's.
QString guardarFila(const CadenaConexion &cc, const QString &tabla, const QString &clave, const QString &columna,
                    const QVariantList &valores)
{
    Conexion con(cc);
    QString e = conTablasPropias(con);
    if (e.isEmpty()) {
        QSqlQuery q(con.db());
        e = ejecutar(q,
                     con.dialecto().upsert(tabla, clave + QStringLiteral(", ") + columna, QStringLiteral("?, ?"), clave,
                                           columna + QStringLiteral(" = {nuevo.") + columna + u'}'),
                     valores);
    }
    return ocultarClave(cc, e);
}

} // namespace

QHash<QString, EstadoTerminal> LeerEstados(const CadenaConexion &cc, QString *error)
{
    QHash<QString, EstadoTerminal> estados;
    Conexion con(cc);
    if (!con.error().isEmpty()) {
        if (error)
            *error = con.error();
        return estados;
    }
    if (!prepararTabla(con))
        return estados;
    QSqlQuery q(con.db());
    if (q.exec(QStringLiteral("SELECT clave, %1 FROM kalverostin_estado").arg(QLatin1String(kColumnas))))
        while (q.next())
            estados.insert(q.value(0).toString(), leerFila(q, 1));
    return estados;
}

namespace {

// What each terminal's row holds, or will once the moments below are
// written: per database, by terminal. A run where nothing happens changes
// only when the terminal was last read or last failed; those wait and go
// to the table together, in one transaction, every few minutes and at the
// end, instead of one disk sync per terminal and run.
struct Recuerdo {
    EstadoTerminal escrito;
    std::optional<EstadoTerminal> pendiente;
};
std::mutex mutexEstados;
QHash<QString, QHash<QString, Recuerdo>> recuerdos; // guarded by mutexEstados
QElapsedTimer desdePendientes;                       // guarded by mutexEstados
constexpr qint64 kMsPendientes = 5 * 60 * 1000;

bool soloMomentos(const EstadoTerminal &a, const EstadoTerminal &b)
{
    return a.motivo == b.motivo && a.fallandoDesde == b.fallandoDesde && a.dia == b.dia
        && a.marcajesDia == b.marcajesDia && a.pendientes == b.pendientes && a.alertado == b.alertado
        && a.continuidadPerdida == b.continuidadPerdida && a.motivoContinuidad == b.motivoContinuidad
        && a.ultimoError.isValid() == b.ultimoError.isValid() && a.relojLeido == b.relojLeido
        && a.desfase == b.desfase && a.relojCorregido == b.relojCorregido;
}

// Every row in one transaction; false (and nothing written) on a fault.
bool escribirEstados(Conexion &con, const QHash<QString, EstadoTerminal> &filas)
{
    if (filas.isEmpty())
        return true;
    // One row is one statement, a transaction of its own: no round trips
    // for BEGIN and COMMIT.
    const bool transaccion = filas.size() > 1;
    if (transaccion && !con.empezarEscritura().isEmpty())
        return false;
    QStringList asignaciones;
    for (const QString &c : QString::fromLatin1(kColumnas).split(QStringLiteral(", ")))
        asignaciones << c + QStringLiteral(" = {nuevo.") + c + u'}';
    const QString columnas = QStringLiteral("clave, ") + QLatin1String(kColumnas);
    const QString sql = con.dialecto().upsert(QStringLiteral("kalverostin_estado"), columnas,
                                              QStringList(columnas.count(u',') + 1, QStringLiteral("?")).join(u", "),
                                              QStringLiteral("clave"), asignaciones.join(QStringLiteral(", ")));
    for (auto f = filas.cbegin(); f != filas.cend(); ++f) {
        const EstadoTerminal &e = f.value();
        QString error;
        QSqlQuery *q = ejecutarPreparada(
            con, sql,
            {QVariant(f.key()), texto(e.ultimaLectura), texto(e.ultimoError), QVariant(e.motivo), texto(e.fallandoDesde),
             e.dia.isValid() ? QVariant(e.dia.toString(Qt::ISODate)) : QVariant(QMetaType(QMetaType::QString)),
             QVariant(e.marcajesDia), e.pendientes < 0 ? QVariant(QMetaType(QMetaType::Int)) : QVariant(e.pendientes),
             QVariant(e.alertado ? 1 : 0), texto(e.continuidadPerdida), QVariant(e.motivoContinuidad),
             texto(e.relojLeido), QVariant(e.desfase), texto(e.relojCorregido)},
            error);
        if (q)
            q->finish();
        if (!error.isEmpty()) {
            if (transaccion)
                con.deshacer();
            return false;
        }
    }
    return !transaccion || con.confirmar().isEmpty();
}

// After a successful write: what the table now holds.
void anotarEscritos(const QString &ruta, const QHash<QString, EstadoTerminal> &filas)
{
    const std::lock_guard bloqueo(mutexEstados);
    auto &deLaBase = recuerdos[ruta];
    for (auto f = filas.cbegin(); f != filas.cend(); ++f) {
        deLaBase[f.key()].escrito = f.value(); // what waits was taken by pendientes(), or is newer
    }
}

// The rows waiting to be written, all of them or only when they have waited long enough.
QHash<QString, EstadoTerminal> pendientes(const QString &ruta, bool todos)
{
    QHash<QString, EstadoTerminal> filas;
    const std::lock_guard bloqueo(mutexEstados);
    if (!desdePendientes.isValid())
        desdePendientes.start();
    if (!todos && desdePendientes.elapsed() < kMsPendientes)
        return filas;
    desdePendientes.restart();
    // Taken: another lane writing meanwhile must not write them again.
    for (auto r = recuerdos[ruta].begin(); r != recuerdos[ruta].end(); ++r)
        if (r->pendiente) {
            filas.insert(r.key(), *r->pendiente);
            r->pendiente.reset();
        }
    return filas;
}

// Rows taken but not written wait again, unless a newer status took their place.
void devolver(const QString &ruta, const QHash<QString, EstadoTerminal> &filas)
{
    const std::lock_guard bloqueo(mutexEstados);
    auto &deLaBase = recuerdos[ruta];
    for (auto f = filas.cbegin(); f != filas.cend(); ++f)
        if (auto r = deLaBase.find(f.key()); r != deLaBase.end() && !r->pendiente)
            r->pendiente = f.value();
}

} // namespace

std::optional<EstadoTerminal> AlmacenMarcajes::Estado(const QString &clave)
{
    {
        const std::lock_guard bloqueo(mutexEstados);
        const auto &deLaBase = recuerdos[cc_.RutaBaseDatos];
        if (const auto r = deLaBase.constFind(clave); r != deLaBase.cend())
            return r->pendiente ? *r->pendiente : r->escrito;
    }
    QString e;
    if (!abrir(e) || !prepararTabla(*con_))
        return std::nullopt;
    QSqlQuery *q = ejecutarPreparada(
        *con_, QStringLiteral("SELECT %1 FROM kalverostin_estado WHERE clave = ?").arg(QLatin1String(kColumnas)), {clave}, e);
    std::optional<EstadoTerminal> estado;
    if (e.isEmpty() && q->next())
        estado = leerFila(*q, 0);
    if (q)
        q->finish();
    if (estado)
        anotarEscritos(cc_.RutaBaseDatos, {{clave, *estado}});
    return estado;
}

bool AlmacenMarcajes::GuardarEstado(const QString &clave, const EstadoTerminal &e)
{
    bool ahora; // a change that is written at once
    {
        const std::lock_guard bloqueo(mutexEstados);
        auto &deLaBase = recuerdos[cc_.RutaBaseDatos];
        const auto r = deLaBase.find(clave);
        ahora = r == deLaBase.end() || !soloMomentos(r->escrito, e);
        if (!ahora)
            r->pendiente = e;
    }
    // Rows waiting go with any write, or on their own once they have waited long enough.
    QHash<QString, EstadoTerminal> filas = pendientes(cc_.RutaBaseDatos, ahora);
    if (ahora)
        filas.insert(clave, e);
    if (filas.isEmpty())
        return true;
    QString error;
    if (!abrir(error) || !prepararTabla(*con_) || !escribirEstados(*con_, filas)) {
        if (ahora) // reported; the next status is compared with what is stored
            filas.remove(clave);
        devolver(cc_.RutaBaseDatos, filas);
        return false;
    }
    anotarEscritos(cc_.RutaBaseDatos, filas);
    return true;
}

QString EscribirEstadosPendientes(const CadenaConexion &cc)
{
    const QHash<QString, EstadoTerminal> filas = pendientes(cc.RutaBaseDatos, true);
    if (filas.isEmpty())
        return {};
    Conexion con(cc);
    QString e = conTablasPropias(con);
    if (e.isEmpty() && !escribirEstados(con, filas))
        e = QStringLiteral("no se pudo guardar el estado de los terminales");
    if (e.isEmpty())
        anotarEscritos(cc.RutaBaseDatos, filas);
    else
        devolver(cc.RutaBaseDatos, filas);
    return ocultarClave(cc, e);
}

QString AnotarCambioHecho(const CadenaConexion &cc, const QString &programa)
{
    return guardarFila(cc, QStringLiteral("kalverostin_cambios"), QStringLiteral("programa"), QStringLiteral("hecho"),
                       {programa, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)});
}

bool CambioHecho(const CadenaConexion &cc, const QString &programa, QString *error)
{
    Conexion con(cc);
    QString e = conTablasPropias(con);
    bool hecho = false;
    if (e.isEmpty()) {
        QSqlQuery q(con.db());
        e = ejecutar(q, QStringLiteral("SELECT 1 FROM kalverostin_cambios WHERE programa = ?"), {programa});
        hecho = e.isEmpty() && q.next();
    }
    if (error)
        *error = ocultarClave(cc, e);
    return hecho;
}

QHash<QString, RelojTerminal> LeerRelojes(const CadenaConexion &cc, QString *error)
{
    QHash<QString, RelojTerminal> relojes;
    Conexion con(cc);
    QString e = conTablasPropias(con);
    if (e.isEmpty()) {
        QSqlQuery q(con.db());
        e = ejecutar(q, QStringLiteral("SELECT clave, zona, cambio_horario FROM kalverostin_relojes"), {});
        while (e.isEmpty() && q.next())
            relojes.insert(q.value(0).toString(),
                           {q.value(1).toString(), QDateTime::fromString(q.value(2).toString(), Qt::ISODate)});
    }
    if (error)
        *error = ocultarClave(cc, e);
    return relojes;
}

QString GuardarZona(const CadenaConexion &cc, const QString &clave, const QString &zona)
{
    return guardarFila(cc, QStringLiteral("kalverostin_relojes"), QStringLiteral("clave"), QStringLiteral("zona"),
                       {clave, zona});
}

QString AnotarCambioHorario(const CadenaConexion &cc, const QString &clave, const QDateTime &transicion)
{
    return guardarFila(cc, QStringLiteral("kalverostin_relojes"), QStringLiteral("clave"),
                       QStringLiteral("cambio_horario"), {clave, transicion.toUTC().toString(Qt::ISODate)});
}

} // namespace MOD_ado
