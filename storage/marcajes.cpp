#include "storage/mod_ado.h"

#include "storage/conexion.h"
#include "storage/interno.h"

#include <QSqlQuery>
#include <set>

namespace MOD_ado {

namespace {

const QString &kColumnas = kColumnasMarcajes;

// Rows per insert into the session table: a full batch in one round trip.
constexpr qsizetype kFilasPorSentencia = 256;

QString fechaNoValida() { return QStringLiteral("La fecha y hora del marcaje no son válidas."); }

// A punch is a duplicate only when it is the same ring record read again:
// two cards, or one card in and out, in the same second are two punches, and
// so are the seconds a clock set back goes through twice. Rows written by
// other software or by the importer may hold NULLs, which match NULLs.
// Terminal and second stay plain equalities so that the index is used.
QString consultaDuplicado(const Dialecto &d, const Marcaje &m, const QVariant &fecha, QVariantList &valores)
{
    QString sql = QStringLiteral("SELECT count(*) FROM marcajes WHERE numero_terminal = ? AND fechahora = ?");
    valores = {m.numeroTerminal, fecha};
    const std::pair<const char *, const QVariant &> resto[] = {{"tarjeta", m.tarjeta},
                                                               {"entrada_salida", m.entradaSalida},
                                                               {"codigo_incidencia", m.codigoIncidencia},
                                                               {"subcodigo", m.subcodigo}};
    for (const auto &[columna, valor] : resto) {
        sql += QStringLiteral(" AND ") + QLatin1String(d.igualONulo).arg(QLatin1String(columna));
        for (int i = 0; i < d.vecesValorNulo; ++i)
            valores << valor;
    }
    return sql;
}

} // namespace

ResultadoGrabacion grabarEn(Conexion &con, const Marcaje &m, QString &error, QSqlError *falloInsercion)
{
    if (!m.fechaHora.isValid()) {
        error = fechaNoValida();
        return ResultadoGrabacion::ErrorBaseDatos;
    }
    if (error = con.bloquearMarcajes(m.numeroTerminal); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    const QVariant fecha = con.dialecto().valorFecha(m.fechaHora);
    QVariantList valores;
    const QString consulta = consultaDuplicado(con.dialecto(), m, fecha, valores);
    QSqlQuery *q = ejecutarPreparada(con, consulta, valores, error);
    if (error.isEmpty() && !q->next())
        error = textoError(q->lastError());
    const bool hay = error.isEmpty() && q->value(0).toLongLong() > 0;
    if (q)
        q->finish(); // a statement left open would keep its read going
    if (!error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    if (hay)
        return ResultadoGrabacion::Duplicado;
    q = ejecutarPreparada(con, QStringLiteral("INSERT INTO marcajes (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?)").arg(kColumnas),
                          {fecha, m.numeroTerminal, m.codigoIncidencia, m.entradaSalida, m.tarjeta, m.subcodigo, m.tipo,
                           m.habilitado},
                          error);
    if (!error.isEmpty() && q && falloInsercion)
        *falloInsercion = q->lastError();
    if (q)
        q->finish();
    return error.isEmpty() ? ResultadoGrabacion::Insertado : ResultadoGrabacion::ErrorBaseDatos;
}

bool loteEnServidor(Conexion &con)
{
    return !con.dialecto().tablaLote.isEmpty() && con.unaVez(con.dialecto().tablaLote).isEmpty();
}

EnTransaccion grabarLoteEn(Conexion &con, const QVector<Marcaje> &lote, bool enServidor)
{
    EnTransaccion r;
    if (!enServidor) {
        for (const Marcaje &m : lote) {
            const ResultadoGrabacion g = grabarEn(con, m, r.error, &r.fallo);
            if (g == ResultadoGrabacion::ErrorBaseDatos)
                return r;
            r.insertados += g == ResultadoGrabacion::Insertado;
        }
        return r;
    }
    std::set<int> terminales;
    for (const Marcaje &m : lote) {
        if (!m.fechaHora.isValid()) {
            r.error = fechaNoValida();
            return r;
        }
        terminales.insert(m.numeroTerminal);
    }
    // In one order, so that batches of several terminals cannot deadlock.
    for (int t : terminales)
        if (r.error = con.bloquearMarcajes(t); !r.error.isEmpty())
            return r;
    for (qsizetype desde = 0; desde < lote.size(); desde += kFilasPorSentencia) {
        const qsizetype n = std::min(kFilasPorSentencia, lote.size() - desde);
        QString sql = QStringLiteral("INSERT INTO kalverostin_lote (%1, orden) VALUES ").arg(kColumnas);
        for (qsizetype i = 0; i < n; ++i)
            sql += i ? QStringLiteral(", (?, ?, ?, ?, ?, ?, ?, ?, ?)") : QStringLiteral("(?, ?, ?, ?, ?, ?, ?, ?, ?)");
        // Every size is kept for the next batch: a few new punches, the
        // common case, then cost one round trip instead of three.
        QSqlQuery *q = con.preparada(sql, r.error);
        if (!q)
            return r;
        int p = 0;
        for (qsizetype i = desde; i < desde + n; ++i) {
            const Marcaje &m = lote[i];
            for (const QVariant &v : {con.dialecto().valorFecha(m.fechaHora), QVariant(m.numeroTerminal),
                                      m.codigoIncidencia, m.entradaSalida, m.tarjeta, m.subcodigo, m.tipo,
                                      m.habilitado, QVariant(int(i))})
                q->bindValue(p++, v);
        }
        if (!q->exec()) {
            r.fallo = q->lastError();
            r.error = textoError(r.fallo);
        }
        q->finish();
        if (!r.error.isEmpty())
            return r;
    }
    QSqlQuery *q = con.preparada(con.dialecto().moverLote, r.error);
    if (!q)
        return r;
    if (q->exec()) {
        r.insertados = q->numRowsAffected();
    } else {
        r.fallo = q->lastError();
        r.error = textoError(r.fallo);
    }
    q->finish();
    return r;
}

ResultadoGrabacion grabarEnTransaccion(Conexion &con, const Marcaje &m, QString &error)
{
    // The duplicate check and the insert share one transaction that holds the
    // write lock (SQLite) or this terminal's lock (PostgreSQL) from the start,
    // so no other writer can slip in between.
    if (error = con.empezarEscritura(); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    return terminarEscritura(con, grabarEn(con, m, error), error);
}

ResultadoGrabacion terminarEscritura(Conexion &con, ResultadoGrabacion r, QString &error)
{
    if (r == ResultadoGrabacion::ErrorBaseDatos) {
        con.deshacer();
        return r;
    }
    if (error = con.confirmar(); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    return r;
}

namespace {

ResultadoGrabacion grabarMarcaje(const CadenaConexion &cc, const Marcaje &m, QString &error)
{
    Conexion con(cc);
    if (error = con.error(); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    return grabarEnTransaccion(con, m, error);
}

ResumenGrabacion grabarMarcajes(const CadenaConexion &cc, const QVector<Marcaje> &marcajes)
{
    constexpr qsizetype kPorTransaccion = 2 * kFilasPorSentencia;
    ResumenGrabacion resumen;
    if (marcajes.isEmpty())
        return resumen;
    Conexion con(cc);
    if (resumen.error = con.error(); !resumen.error.isEmpty())
        return resumen;
    const bool enServidor = loteEnServidor(con);
    for (qsizetype desde = 0; desde < marcajes.size(); desde += kPorTransaccion) {
        const QVector<Marcaje> parte = marcajes.mid(desde, kPorTransaccion);
        if (resumen.error = con.empezarEscritura(); !resumen.error.isEmpty())
            return resumen;
        const EnTransaccion t = grabarLoteEn(con, parte, enServidor);
        if (!t.error.isEmpty()) {
            con.deshacer();
            resumen.error = t.error;
            return resumen;
        }
        if (resumen.error = con.confirmar(); !resumen.error.isEmpty())
            return resumen;
        resumen.insertados += t.insertados;
        resumen.duplicados += int(parte.size()) - t.insertados;
    }
    return resumen;
}

} // namespace

ResultadoGrabacion GrabarMarcaje(const CadenaConexion &cc, const Marcaje &m, QString *error)
{
    QString e;
    const ResultadoGrabacion r = grabarMarcaje(cc, m, e);
    if (error && r == ResultadoGrabacion::ErrorBaseDatos)
        *error = ocultarClave(cc, e);
    return r;
}

ResultadoGrabacion GrabarMarcaje(const CadenaConexion &cc, int numeroTerminal, const QDateTime &fechaHora,
                                 int entradaSalida, int codigoIncidencia, quint32 tarjeta, quint32 subcodigo,
                                 QString *error)
{
    Marcaje m;
    m.numeroTerminal = numeroTerminal;
    m.fechaHora = fechaHora;
    m.entradaSalida = entradaSalida;
    m.codigoIncidencia = codigoIncidencia;
    m.tarjeta = qint64(tarjeta);
    m.subcodigo = qint64(subcodigo);
    return GrabarMarcaje(cc, m, error);
}

ResumenGrabacion GrabarMarcajes(const CadenaConexion &cc, const QVector<Marcaje> &marcajes)
{
    ResumenGrabacion r = grabarMarcajes(cc, marcajes);
    r.error = ocultarClave(cc, r.error);
    return r;
}

} // namespace MOD_ado
