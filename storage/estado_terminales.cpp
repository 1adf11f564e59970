#include "storage/estado_terminales.h"

#include "storage/conexion.h"
#include "storage/interno.h"

#include <QSqlQuery>

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

std::optional<EstadoTerminal> AlmacenMarcajes::Estado(const QString &clave)
{
    QString e;
    if (!abrir(e) || !prepararTabla(*con_))
        return std::nullopt;
    QSqlQuery q(con_->db());
    q.prepare(QStringLiteral("SELECT %1 FROM kalverostin_estado WHERE clave = ?").arg(QLatin1String(kColumnas)));
    q.addBindValue(clave);
    if (!q.exec() || !q.next())
        return std::nullopt;
    return leerFila(q, 0);
}

bool AlmacenMarcajes::GuardarEstado(const QString &clave, const EstadoTerminal &e)
{
    QString error;
    if (!abrir(error) || !prepararTabla(*con_))
        return false;
    QSqlQuery q(con_->db());
    QStringList asignaciones;
    for (const QString &c : QString::fromLatin1(kColumnas).split(QStringLiteral(", ")))
        asignaciones << c + QStringLiteral(" = {nuevo.") + c + u'}';
    const QString columnas = QStringLiteral("clave, ") + QLatin1String(kColumnas);
    q.prepare(con_->dialecto().upsert(QStringLiteral("kalverostin_estado"), columnas,
                                      QStringList(columnas.count(u',') + 1, QStringLiteral("?")).join(u", "),
                                      QStringLiteral("clave"),
                                      asignaciones.join(QStringLiteral(", "))));
    for (const QVariant &v :
         {QVariant(clave), texto(e.ultimaLectura), texto(e.ultimoError), QVariant(e.motivo), texto(e.fallandoDesde),
          e.dia.isValid() ? QVariant(e.dia.toString(Qt::ISODate)) : QVariant(QMetaType(QMetaType::QString)),
          QVariant(e.marcajesDia), e.pendientes < 0 ? QVariant(QMetaType(QMetaType::Int)) : QVariant(e.pendientes),
          QVariant(e.alertado ? 1 : 0), texto(e.continuidadPerdida), QVariant(e.motivoContinuidad),
          texto(e.relojLeido), QVariant(e.desfase), texto(e.relojCorregido)})
        q.addBindValue(v);
    return q.exec();
}

QString AnotarCambioHecho(const CadenaConexion &cc, const QString &programa)
{
    Conexion con(cc);
    QString e = con.error();
    if (e.isEmpty())
        e = con.prepararTablasPropias();
    if (e.isEmpty()) {
        QSqlQuery q(con.db());
        e = ejecutar(q,
                     con.dialecto().upsert(QStringLiteral("kalverostin_cambios"), QStringLiteral("programa, hecho"),
                                           QStringLiteral("?, ?"), QStringLiteral("programa"),
                                           QStringLiteral("hecho = {nuevo.hecho}")),
                     {programa, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)});
    }
    return ocultarClave(cc, e);
}

bool CambioHecho(const CadenaConexion &cc, const QString &programa, QString *error)
{
    Conexion con(cc);
    QString e = con.error();
    if (e.isEmpty())
        e = con.prepararTablasPropias();
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

namespace {

QString guardarReloj(const CadenaConexion &cc, const QString &clave, const QString &columna, const QVariant &valor)
{
    Conexion con(cc);
    QString e = con.error();
    if (e.isEmpty())
        e = con.prepararTablasPropias();
    if (e.isEmpty()) {
        QSqlQuery q(con.db());
        e = ejecutar(q,
                     con.dialecto().upsert(QStringLiteral("kalverostin_relojes"), QStringLiteral("clave, ") + columna,
                                           QStringLiteral("?, ?"), QStringLiteral("clave"),
                                           columna + QStringLiteral(" = {nuevo.") + columna + u'}'),
                     {clave, valor});
    }
    return ocultarClave(cc, e);
}

} // namespace

QHash<QString, RelojTerminal> LeerRelojes(const CadenaConexion &cc, QString *error)
{
    QHash<QString, RelojTerminal> relojes;
    Conexion con(cc);
    QString e = con.error();
    if (e.isEmpty())
        e = con.prepararTablasPropias();
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
    return guardarReloj(cc, clave, QStringLiteral("zona"), zona);
}

QString AnotarCambioHorario(const CadenaConexion &cc, const QString &clave, const QDateTime &transicion)
{
    return guardarReloj(cc, clave, QStringLiteral("cambio_horario"), transicion.toUTC().toString(Qt::ISODate));
}

} // namespace MOD_ado
