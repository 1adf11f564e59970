#include "mod_ado.h"

#include "archivos.h"
#include "conexion.h"
#include "texto.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QLocale>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTimeZone>
#include <QUrl>
#include <cmath>
#include <limits>
#include <set>

namespace MOD_ado {

QVector<TerminalRecord> Terminales;
qint16 NumTerminales = 0;
std::array<QString, 100> DescripcionesIncidencias;
qint16 ModoEdicion = 0;

namespace {

// The runtime's words for the conversions that fail while loading.
QString usoNull() { return QStringLiteral("Uso no válido de Null"); }
QString tiposDistintos() { return QStringLiteral("No coinciden los tipos"); }
QString desbordamiento() { return QStringLiteral("Desbordamiento"); }
QString fueraDeIntervalo() { return QStringLiteral("El subíndice está fuera del intervalo"); }

double numeroDeTexto(const QString &texto, bool *ok)
{
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator);
    const double d = c.toDouble(texto.trimmed(), ok);
    *ok = *ok && std::isfinite(d);
    return d;
}

// A column value as a 16-bit integer, rounding halves to even.
QString leerEntero16(const QVariant &v, qint16 &destino)
{
    if (v.isNull())
        return usoNull();
    bool ok = false;
    double d = 0;
    if (v.typeId() == QMetaType::QString)
        d = numeroDeTexto(v.toString(), &ok);
    else if (v.typeId() != QMetaType::QByteArray)
        d = v.toDouble(&ok);
    if (!ok)
        return tiposDistintos();
    const auto r = aEntero16(d);
    if (!r)
        return desbordamiento();
    destino = *r;
    return {};
}

QString leerTexto(const QVariant &v, QString &destino)
{
    if (v.isNull())
        return usoNull();
    destino = v.toString();
    return {};
}

// Fills the record in the order ID, codigo, IP, descripcion, Tipo, Com and
// stops at the first value that does not convert.
QString leerTerminal(const QSqlQuery &q, TerminalRecord &t)
{
    QString e;
    if (!(e = leerEntero16(q.value(0), t.ID)).isEmpty() || !(e = leerEntero16(q.value(1), t.codigo)).isEmpty()
        || !(e = leerTexto(q.value(2), t.IP)).isEmpty() || !(e = leerTexto(q.value(3), t.descripcion)).isEmpty()
        || !(e = leerEntero16(q.value(4), t.Tipo)).isEmpty())
        return e;
    // Com is read as text, then the number that text begins with ("COM3" is 0).
    QString com;
    if (!(e = leerTexto(q.value(5), com)).isEmpty())
        return e;
    const auto n = textoAEntero16(com);
    if (!n)
        return desbordamiento();
    t.Com = *n;
    return {};
}

// The editor's number boxes must hold whole numbers that the loader can read
// back; anything else is refused before the database is touched, on every
// backend and on files made before the tables carried their CHECKs.
QString validarEntero16(const QString &campo, const QString &texto, qint16 &valor)
{
    bool ok = false;
    const double d = numeroDeTexto(texto, &ok);
    if (!ok || d != std::trunc(d) || d < -32768 || d > 32767)
        return QStringLiteral("%1 debe ser un número entero entre -32768 y 32767 (valor recibido: \"%2\").")
            .arg(campo, texto);
    valor = qint16(d);
    return {};
}

// A null QString would be bound as NULL, which the loader cannot read back.
QString noNulo(const QString &s) { return s.isNull() ? QStringLiteral("") : s; }

struct ValoresTerminal {
    qint16 codigo = 0, tipo = 0, com = 0;
};

QString validarTerminal(const QString &codigo, const QString &tipo, const QString &Com, ValoresTerminal &v)
{
    QString e;
    if (!(e = validarEntero16(QStringLiteral("El código"), codigo, v.codigo)).isEmpty()
        || !(e = validarEntero16(QStringLiteral("El tipo"), tipo, v.tipo)).isEmpty()
        || !(e = validarEntero16(QStringLiteral("El puerto"), Com, v.com)).isEmpty())
        return e;
    return {};
}

// Prepares, binds and runs one statement; the error of a failed prepare is kept
// (a later exec would replace it with a less useful one).
QString ejecutar(QSqlQuery &q, const QString &sql, const QVariantList &valores)
{
    if (!q.prepare(sql))
        return textoError(q.lastError());
    for (const QVariant &v : valores)
        q.addBindValue(v);
    return q.exec() ? QString() : textoError(q.lastError());
}

// Where the password of a PostgreSQL URL lies in its text: after the first
// colon of the user part, up to the last @ before the query (a parameter may
// hold an @; a password may hold a raw ?, and then the last @ of all).
struct Tramo {
    qsizetype desde = -1, hasta = -1;
};
Tramo tramoClave(const QString &ruta)
{
    if (motorDe(ruta) != Motor::PostgreSQL)
        return {};
    const qsizetype inicio = ruta.indexOf(u"://") + 3;
    const qsizetype consulta = ruta.indexOf(u'?', inicio);
    qsizetype arroba = consulta < 0 ? -1 : ruta.lastIndexOf(u'@', consulta);
    if (arroba < inicio)
        arroba = ruta.lastIndexOf(u'@');
    const qsizetype dosPuntos = ruta.indexOf(u':', inicio);
    if (arroba < inicio || dosPuntos < 0 || dosPuntos > arroba)
        return {};
    return {dosPuntos + 1, arroba};
}

// Error texts leave this module without the password, whoever wrote them.
QString ocultarClave(const CadenaConexion &cc, QString texto)
{
    if (texto.isEmpty())
        return texto;
    QStringList claves;
    switch (motorDe(cc.RutaBaseDatos)) {
    case Motor::PostgreSQL: {
        texto.replace(cc.RutaBaseDatos, RutaParaMostrar(cc.RutaBaseDatos));
        const Tramo t = tramoClave(cc.RutaBaseDatos);
        if (t.desde >= 0)
            claves << cc.RutaBaseDatos.mid(t.desde, t.hasta - t.desde)
                   << QUrl::fromPercentEncoding(cc.RutaBaseDatos.mid(t.desde, t.hasta - t.desde).toUtf8());
        break;
    }
    case Motor::Access:
        claves << cc.ClaveBaseDatos;
        break;
    case Motor::SQLite:
        break;
    }
    for (const QString &c : std::as_const(claves))
        if (!c.isEmpty())
            texto.replace(c, QStringLiteral("***"));
    return texto;
}

// The date-time as each backend compares it: text on SQLite (the schema's
// format), a typed parameter inferred from the column on PostgreSQL, a
// timestamp structure through ODBC. Milliseconds never take part.
// The terminal's wall-clock time is taken field by field and never goes
// through the local time zone: in the hour a daylight-saving change skips,
// such a conversion gives no valid time at all.
QVariant valorFecha(Motor motor, const QDateTime &fh)
{
    const QDate d = fh.date();
    const QTime t(fh.time().hour(), fh.time().minute(), fh.time().second());
    if (motor == Motor::Access)
        return QDateTime(d, t, QTimeZone::utc()); // the driver sends the fields as they are
    return d.toString(u"yyyy-MM-dd") + u' ' + t.toString(u"HH:mm:ss");
}

// The program's own table: per terminal, where its next download resumes and
// how many times in a row the database has refused its next punch.
constexpr const char *kTablaCursores =
    "CREATE TABLE IF NOT EXISTS kalverostin_terminales ("
    "clave TEXT PRIMARY KEY, posicion INTEGER, rechazos INTEGER NOT NULL DEFAULT 0)";

// An error that belongs to the row (a constraint, a type, a trigger's veto)
// rather than to the database: a locked, missing or read-only database, or a
// server gone, fails every write alike.
bool esRechazoDeFila(Motor motor, const QSqlError &e)
{
    const QString codigo = e.nativeErrorCode();
    switch (motor) {
    case Motor::SQLite: { // extended codes: the primary one is the low byte
        const int primario = codigo.toInt() & 0xFF;
        return primario == 19 || primario == 20; // constraint (triggers too), datatype mismatch
    }
    case Motor::PostgreSQL:
        return codigo.startsWith(u"22") || codigo.startsWith(u"23") || codigo == u"P0001";
    case Motor::Access:
        break;
    }
    return false;
}

// Runs the connection's reused statement with these values; the caller reads
// its rows, if any, and finishes it. On failure error is set and the
// statement (when it was prepared) still holds the database's error.
QSqlQuery *ejecutarPreparada(Conexion &con, const QString &sql, const QVariantList &valores, QString &error)
{
    QSqlQuery *q = con.preparada(sql, error);
    if (!q)
        return nullptr;
    for (int i = 0; i < valores.size(); ++i)
        q->bindValue(i, valores[i]);
    if (!q->exec())
        error = textoError(q->lastError());
    return q;
}

const QString kColumnas = QStringLiteral(
    "fechahora, numero_terminal, codigo_incidencia, entrada_salida, tarjeta, subcodigo, tipo, habilitado");

// The duplicate check and the insert of one punch, inside the caller's transaction.
ResultadoGrabacion grabarEn(Conexion &con, const Marcaje &m, QString &error, QSqlError *falloInsercion = nullptr)
{
    if (!m.fechaHora.isValid()) {
        error = QStringLiteral("La fecha y hora del marcaje no son válidas.");
        return ResultadoGrabacion::ErrorBaseDatos;
    }
    if (error = con.bloquearMarcajes(m.numeroTerminal); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    const QVariant fecha = valorFecha(con.motor(), m.fechaHora);
    QSqlQuery *q = ejecutarPreparada(
        con, QStringLiteral("SELECT count(*) FROM marcajes WHERE numero_terminal = ? AND fechahora = ?"),
        {m.numeroTerminal, fecha}, error);
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

// On PostgreSQL a batch passes through a session table with the columns of
// marcajes as that table has them (other software may have made it, with
// fechahora as text or as a timestamp), plus each punch's place in the batch.
const QString kTablaLote = QStringLiteral("CREATE TEMP TABLE kalverostin_lote ON COMMIT DELETE ROWS AS "
                                          "SELECT %1, 0 AS orden FROM marcajes WITH NO DATA")
                               .arg(kColumnas);
// Then one statement stores the first punch of each terminal and second that
// the table lacks, in batch order.
const QString kMoverLote = QStringLiteral(
    "INSERT INTO marcajes (%1) SELECT %1 FROM ("
    "SELECT DISTINCT ON (numero_terminal, fechahora) * FROM kalverostin_lote l WHERE NOT EXISTS ("
    "SELECT 1 FROM marcajes m WHERE m.numero_terminal = l.numero_terminal AND m.fechahora = l.fechahora) "
    "ORDER BY numero_terminal, fechahora, orden) n ORDER BY orden").arg(kColumnas);
// Rows per insert into the session table: a full batch in one round trip.
constexpr qsizetype kFilasPorSentencia = 256;

// Whether batches go through the session table on this connection; call it
// outside a transaction. Elsewhere (or without the right to make the table)
// they go punch by punch, inside one transaction all the same.
bool loteEnServidor(Conexion &con)
{
    return con.motor() == Motor::PostgreSQL && con.unaVez(kTablaLote).isEmpty();
}

struct EnTransaccion {
    int insertados = 0;
    QString error;   // empty when every punch was dealt with
    QSqlError fallo; // the error of the statement that wrote rows, when that failed
};

// A batch with the duplicate rule (against the table and within the batch),
// inside the caller's transaction.
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
            r.error = QStringLiteral("La fecha y hora del marcaje no son válidas.");
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
        // Only the full-size statement is kept for the next batch: tails vary.
        QSqlQuery suelta(con.db());
        QSqlQuery *q = &suelta;
        if (n == kFilasPorSentencia)
            q = con.preparada(sql, r.error);
        else if (!suelta.prepare(sql))
            r.error = textoError(suelta.lastError());
        if (!r.error.isEmpty())
            return r;
        int p = 0;
        for (qsizetype i = desde; i < desde + n; ++i) {
            const Marcaje &m = lote[i];
            for (const QVariant &v : {valorFecha(con.motor(), m.fechaHora), QVariant(m.numeroTerminal),
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
    QSqlQuery *q = con.preparada(kMoverLote, r.error);
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

QString cargarTerminales(const CadenaConexion &cc)
{
    Conexion con(cc);
    if (!con.error().isEmpty())
        return con.error();
    QSqlQuery q(con.db());
    q.setForwardOnly(true);
    if (!q.exec(con.sql(QStringLiteral("SELECT {ID}, codigo, {IP}, descripcion, {Tipo}, {Com} FROM terminales_1"))))
        return textoError(q.lastError());

    NumTerminales = 0;
    while (q.next()) {
        if (NumTerminales == std::numeric_limits<qint16>::max())
            return desbordamiento();
        // The array grows before the row is read; a row that fails is not counted.
        Terminales.resize(NumTerminales + 1);
        if (QString e = leerTerminal(q, Terminales[NumTerminales]); !e.isEmpty())
            return e;
        ++NumTerminales;
    }
    return q.lastError().isValid() ? textoError(q.lastError()) : QString();
}

QString insertarTerminal(const CadenaConexion &cc, const QString &codigo, const QString &descripcion,
                         const QString &ip, const QString &tipo, const QString &Com)
{
    ValoresTerminal v;
    if (QString e = validarTerminal(codigo, tipo, Com, v); !e.isEmpty())
        return e;
    Conexion con(cc);
    if (!con.error().isEmpty())
        return con.error();
    QSqlQuery q(con.db());
    return ejecutar(q, con.sql(QStringLiteral("INSERT INTO terminales_1 (codigo, descripcion, {IP}, {Tipo}, {Com}) "
                                              "VALUES (?, ?, ?, ?, ?)")),
                    {v.codigo, noNulo(descripcion), noNulo(ip), v.tipo, QString::number(v.com)});
}

QString modificarTerminal(const CadenaConexion &cc, const QString &id, const QString &codigo,
                          const QString &descripcion, const QString &ip, const QString &tipo, const QString &Com)
{
    ValoresTerminal v;
    qint16 clave = 0;
    if (QString e = validarEntero16(QStringLiteral("El identificador"), id, clave); !e.isEmpty())
        return e;
    if (QString e = validarTerminal(codigo, tipo, Com, v); !e.isEmpty())
        return e;
    Conexion con(cc);
    if (!con.error().isEmpty())
        return con.error();
    QSqlQuery q(con.db());
    return ejecutar(q, con.sql(QStringLiteral("UPDATE terminales_1 SET codigo = ?, descripcion = ?, {IP} = ?, "
                                              "{Tipo} = ?, {Com} = ? WHERE {ID} = ?")),
                    {v.codigo, noNulo(descripcion), noNulo(ip), v.tipo, QString::number(v.com), clave});
}

QString borrarTerminal(const CadenaConexion &cc, const QString &id)
{
    qint16 clave = 0;
    if (QString e = validarEntero16(QStringLiteral("El identificador"), id, clave); !e.isEmpty())
        return e;
    Conexion con(cc);
    if (!con.error().isEmpty())
        return con.error();
    QSqlQuery q(con.db());
    return ejecutar(q, con.sql(QStringLiteral("DELETE FROM terminales_1 WHERE {ID} = ?")), {clave});
}

ResultadoGrabacion grabarEnTransaccion(Conexion &con, const Marcaje &m, QString &error)
{
    // The duplicate check and the insert share one transaction that holds the
    // write lock (SQLite) or this terminal's lock (PostgreSQL) from the start,
    // so no other writer can slip in between.
    if (error = con.empezarEscritura(); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    const ResultadoGrabacion r = grabarEn(con, m, error);
    if (r == ResultadoGrabacion::ErrorBaseDatos) {
        con.deshacer();
        return r;
    }
    if (error = con.confirmar(); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    return r;
}

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

QString cargarIncidencias(const CadenaConexion &cc)
{
    Conexion con(cc);
    if (!con.error().isEmpty())
        return con.error();
    QSqlQuery q(con.db());
    q.setForwardOnly(true);
    if (!q.exec(con.sql(QStringLiteral("SELECT * FROM {Incidencias} ORDER BY codigo"))))
        return textoError(q.lastError());
    const int columna = q.record().indexOf(QStringLiteral("descripcion"));
    if (columna < 0)
        return QStringLiteral("No se encontró el elemento en la colección que corresponde con el nombre o el "
                              "ordinal pedido.");
    // Entries beyond the rows read keep what an earlier load put there.
    std::size_t p = 0;
    while (q.next()) {
        if (p == DescripcionesIncidencias.size())
            return fueraDeIntervalo();
        const QVariant v = q.value(columna);
        DescripcionesIncidencias[p++] = v.isNull() ? QString() : v.toString();
    }
    return q.lastError().isValid() ? textoError(q.lastError()) : QString();
}

ResultadoGrabacion grabarIncidencia(const CadenaConexion &cc, int codigo, const QVariant &descripcion, QString &error)
{
    Conexion con(cc);
    if (error = con.error(); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    if (error = con.empezarEscritura(); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    ResultadoGrabacion r = ResultadoGrabacion::ErrorBaseDatos;
    {
        QSqlQuery q(con.db());
        error = ejecutar(q, con.sql(QStringLiteral("SELECT count(*) FROM {Incidencias} WHERE codigo = ?")), {codigo});
        if (error.isEmpty() && !q.next())
            error = textoError(q.lastError());
        if (error.isEmpty() && q.value(0).toLongLong() > 0) {
            r = ResultadoGrabacion::Duplicado;
        } else if (error.isEmpty()) {
            q.finish();
            const QVariant texto = descripcion.isNull() ? QVariant(QMetaType::fromType<QString>()) : descripcion.toString();
            error = ejecutar(q, con.sql(QStringLiteral("INSERT INTO {Incidencias} (codigo, descripcion) VALUES (?, ?)")),
                             {codigo, texto});
            if (error.isEmpty())
                r = ResultadoGrabacion::Insertado;
        }
    }
    if (r == ResultadoGrabacion::ErrorBaseDatos) {
        con.deshacer();
        return r;
    }
    if (error = con.confirmar(); !error.isEmpty())
        return ResultadoGrabacion::ErrorBaseDatos;
    return r;
}

} // namespace

QString RutaParaMostrar(const QString &ruta)
{
    const Tramo t = tramoClave(ruta);
    QString r = t.desde < 0 ? ruta : ruta.left(t.desde) + QStringLiteral("***") + ruta.mid(t.hasta);
    // A password given as a parameter is refused, and named in that message.
    if (motorDe(ruta) == Motor::PostgreSQL) {
        static const QRegularExpression parametroClave(QStringLiteral("([?&](?:ssl)?password=)[^&#]*"),
                                                       QRegularExpression::CaseInsensitiveOption);
        r.replace(parametroClave, QStringLiteral("\\1***"));
    }
    return r;
}

bool LlevaClave(const QString &ruta)
{
    const Tramo t = tramoClave(ruta);
    return t.hasta > t.desde || RutaParaMostrar(ruta) != ruta;
}

// Each public operation hands back its error without the password.

QString PrepararBaseDatos(const CadenaConexion &cc)
{
    Conexion con(cc, true);
    return ocultarClave(cc, con.error());
}

QString CargarTerminales(const CadenaConexion &cc) { return ocultarClave(cc, cargarTerminales(cc)); }

QString InsertarTerminal(const CadenaConexion &cc, const QString &codigo, const QString &descripcion,
                         const QString &ip, const QString &tipo, const QString &Com)
{
    return ocultarClave(cc, insertarTerminal(cc, codigo, descripcion, ip, tipo, Com));
}

QString ModificarTerminal(const CadenaConexion &cc, const QString &id, const QString &codigo,
                          const QString &descripcion, const QString &ip, const QString &tipo, const QString &Com)
{
    return ocultarClave(cc, modificarTerminal(cc, id, codigo, descripcion, ip, tipo, Com));
}

QString BorrarTerminal(const CadenaConexion &cc, const QString &id) { return ocultarClave(cc, borrarTerminal(cc, id)); }

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

AlmacenMarcajes::AlmacenMarcajes(const CadenaConexion &cc) : cc_(cc) {}
AlmacenMarcajes::~AlmacenMarcajes() = default;

bool AlmacenMarcajes::abrir(QString &error)
{
    // A removed or replaced-by-a-folder file must not swallow punches through
    // a connection still holding the old one.
    const bool sigue = con_ && cc_.RutaBaseDatos == rutaAbierta_
        && (motorDe(rutaAbierta_) != Motor::SQLite || QFileInfo(rutaAbierta_).isFile());
    if (!sigue) {
        con_.reset();
        con_ = std::make_unique<Conexion>(cc_);
        rutaAbierta_ = cc_.RutaBaseDatos;
        cursores_ = false;
        if (con_->error().isEmpty() && con_->motor() != Motor::Access) {
            // Older databases lack the table; a server account without the right
            // to create it still stores punches, only without a cursor.
            QSqlQuery q(con_->db());
            cursores_ = q.exec(QString::fromLatin1(kTablaCursores))
                && q.exec(QStringLiteral("SELECT count(*) FROM kalverostin_terminales"));
        }
    }
    error = con_->error();
    return error.isEmpty();
}

ResultadoGrabacion AlmacenMarcajes::Grabar(const Marcaje &m, QString *error)
{
    QString e;
    const ResultadoGrabacion r = abrir(e) ? grabarEnTransaccion(*con_, m, e) : ResultadoGrabacion::ErrorBaseDatos;
    if (r == ResultadoGrabacion::ErrorBaseDatos) {
        con_.reset(); // start afresh next time
        if (error)
            *error = ocultarClave(cc_, e);
    }
    return r;
}

std::optional<int> AlmacenMarcajes::cursorEn(const QString &clave)
{
    if (!cursores_)
        return std::nullopt;
    QSqlQuery q(con_->db());
    if (!ejecutar(q, QStringLiteral("SELECT posicion FROM kalverostin_terminales WHERE clave = ?"), {clave}).isEmpty()
        || !q.next() || q.value(0).isNull())
        return std::nullopt;
    return q.value(0).toInt();
}

std::optional<int> AlmacenMarcajes::Cursor(const QString &clave, QString *error)
{
    QString e;
    if (!abrir(e)) {
        if (error)
            *error = ocultarClave(cc_, e);
        con_.reset();
        return std::nullopt;
    }
    return cursorEn(clave);
}

AlmacenMarcajes::ResultadoLote AlmacenMarcajes::GrabarLote(const QString &clave, const QVector<EnLote> &lote)
{
    ResultadoLote r;
    if (lote.isEmpty())
        return r;
    QVector<Marcaje> marcajes;
    marcajes.reserve(lote.size());
    for (const EnLote &x : lote)
        marcajes << x.marcaje;
    QString e;
    EnTransaccion t;
    if (abrir(e)) {
        const bool enServidor = loteEnServidor(*con_);
        if (e = con_->empezarEscritura(); e.isEmpty()) {
            t = grabarLoteEn(*con_, marcajes, enServidor);
            e = t.error;
            if (e.isEmpty() && cursores_)
                e = escribirCursor(clave, lote.last().siguiente);
            if (!e.isEmpty())
                con_->deshacer();
            else
                e = con_->confirmar();
        }
    }
    if (e.isEmpty()) {
        r.insertados = t.insertados;
        r.duplicados = int(lote.size()) - t.insertados;
        r.hechos = int(lote.size());
        return r;
    }
    if (!t.fallo.isValid() || !esRechazoDeFila(con_->motor(), t.fallo)) {
        con_.reset(); // start afresh next time
        r.parada = ResultadoGrabacion::ErrorBaseDatos;
        r.error = ocultarClave(cc_, e);
        return r;
    }
    // A row refused: punch by punch, which stores those before it and counts
    // (or sets aside) the refused one.
    for (const EnLote &x : lote) {
        QString error;
        const ResultadoGrabacion resultado = Grabar(x.marcaje, clave, x.siguiente, &error);
        switch (resultado) {
        case ResultadoGrabacion::Insertado:
            ++r.insertados;
            break;
        case ResultadoGrabacion::Duplicado:
            ++r.duplicados;
            break;
        case ResultadoGrabacion::Apartado:
            ++r.apartados;
            r.apartadosTexto << QStringLiteral("%1 tarjeta %2 (%3)")
                                    .arg(valorFecha(Motor::SQLite, x.marcaje.fechaHora).toString(),
                                         x.marcaje.tarjeta.toString(), error);
            break;
        case ResultadoGrabacion::ErrorBaseDatos:
        case ResultadoGrabacion::Rechazado:
            r.parada = resultado;
            r.error = error;
            return r;
        }
        ++r.hechos;
    }
    // Duplicates after the last stored punch left the cursor behind; were this
    // to fail, they would only be read again.
    FijarCursor(clave, lote.last().siguiente);
    return r;
}

// First key of the download locks, beside the table locks' key.
constexpr int kClaveDescarga = 0x4B4F5244;

bool AlmacenMarcajes::TomarTerminal(const QString &clave)
{
    QString e;
    if (!abrir(e) || con_->motor() != Motor::PostgreSQL)
        return true;
    QSqlQuery q(con_->db());
    if (!ejecutar(q, QStringLiteral("SELECT pg_try_advisory_lock(%1, hashtext(?))").arg(kClaveDescarga), {clave})
             .isEmpty()
        || !q.next())
        return true; // the download itself will meet and report the fault
    return q.value(0).toBool();
}

void AlmacenMarcajes::SoltarTerminal(const QString &clave)
{
    if (!con_ || !con_->error().isEmpty() || con_->motor() != Motor::PostgreSQL)
        return;
    QSqlQuery q(con_->db());
    ejecutar(q, QStringLiteral("SELECT pg_advisory_unlock(%1, hashtext(?))").arg(kClaveDescarga), {clave});
}

int AlmacenMarcajes::Rechazos(const QString &clave)
{
    QString e;
    if (!abrir(e) || !cursores_)
        return 0;
    QSqlQuery q(con_->db());
    if (!ejecutar(q, QStringLiteral("SELECT rechazos FROM kalverostin_terminales WHERE clave = ?"), {clave}).isEmpty()
        || !q.next())
        return 0;
    return q.value(0).toInt();
}

QString AlmacenMarcajes::escribirCursor(const QString &clave, int posicion)
{
    // An unchanged position writes nothing and keeps the refusals of the
    // punch there.
    QString e;
    if (QSqlQuery *q = ejecutarPreparada(
            *con_,
            QStringLiteral("INSERT INTO kalverostin_terminales (clave, posicion, rechazos) VALUES (?, ?, 0) "
                           "ON CONFLICT (clave) DO UPDATE SET posicion = excluded.posicion, rechazos = 0 "
                           "WHERE kalverostin_terminales.posicion IS NULL "
                           "OR kalverostin_terminales.posicion <> excluded.posicion"),
            {clave, posicion}, e))
        q->finish();
    return e;
}

QString AlmacenMarcajes::FijarCursor(const QString &clave, int posicion)
{
    QString e;
    if (!abrir(e))
        return ocultarClave(cc_, e);
    if (!cursores_ || cursorEn(clave) == posicion)
        return {};
    if (e = con_->empezarEscritura(); e.isEmpty()) {
        e = escribirCursor(clave, posicion);
        if (e.isEmpty())
            e = con_->confirmar();
        else
            con_->deshacer();
    }
    if (!e.isEmpty())
        con_.reset();
    return ocultarClave(cc_, e);
}

QString AlmacenMarcajes::ArchivoRechazados() const
{
    const QString nombre = QStringLiteral("rechazados.csv");
    if (motorDe(cc_.RutaBaseDatos) == Motor::PostgreSQL)
        return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath(nombre);
    return QFileInfo(cc_.RutaBaseDatos).absoluteDir().filePath(nombre);
}

QString AlmacenMarcajes::apartar(const Marcaje &m, const QString &motivo)
{
    const QString ruta = ArchivoRechazados();
    crearCarpetas(QFileInfo(ruta).absolutePath());
    QFile f(ruta);
    const bool nuevo = !f.exists();
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
        return QStringLiteral("No se puede escribir %1: %2").arg(QDir::toNativeSeparators(ruta), f.errorString());
    if (nuevo)
        f.setPermissions(kPermisosArchivo);
    QString linea = nuevo ? QStringLiteral("numero_terminal;fechahora;codigo_incidencia;entrada_salida;tarjeta;"
                                           "subcodigo;motivo\n")
                          : QString();
    QString texto = motivo;
    texto.replace(u'"', QStringLiteral("\"\""));
    linea += QStringLiteral("%1;%2;%3;%4;%5;%6;\"%7\"\n")
                 .arg(m.numeroTerminal)
                 .arg(valorFecha(Motor::SQLite, m.fechaHora).toString(), m.codigoIncidencia.toString(),
                      m.entradaSalida.toString(), m.tarjeta.toString(), m.subcodigo.toString(), texto.simplified());
    // The punch leaves the terminal's queue only once it is safely in the file.
    if (f.write(linea.toUtf8()) < 0 || !f.flush() || !sincronizarArchivo(f))
        return QStringLiteral("No se puede escribir %1: %2").arg(QDir::toNativeSeparators(ruta), f.errorString());
    return {};
}

ResultadoGrabacion AlmacenMarcajes::Grabar(const Marcaje &m, const QString &clave, int siguiente, QString *error)
{
    QString e;
    QSqlError fallo;
    ResultadoGrabacion r = ResultadoGrabacion::ErrorBaseDatos;
    if (abrir(e) && (e = con_->empezarEscritura()).isEmpty()) {
        r = grabarEn(*con_, m, e, &fallo);
        if (r == ResultadoGrabacion::Insertado && cursores_)
            e = escribirCursor(clave, siguiente);
        if (!e.isEmpty()) {
            con_->deshacer();
            r = ResultadoGrabacion::ErrorBaseDatos;
        } else if (e = con_->confirmar(); !e.isEmpty()) {
            r = ResultadoGrabacion::ErrorBaseDatos;
        }
    }
    if (r == ResultadoGrabacion::ErrorBaseDatos && fallo.isValid() && esRechazoDeFila(con_->motor(), fallo)
        && cursores_) {
        // Count the refusal; the count is written only if the database still
        // takes writes, which tells a refused row from a database at fault.
        const QString motivo = e;
        QSqlQuery q(con_->db());
        QString p = con_->empezarEscritura();
        if (p.isEmpty())
            p = ejecutar(q,
                         QStringLiteral("INSERT INTO kalverostin_terminales (clave, posicion, rechazos) VALUES (?, NULL, 1) "
                                        "ON CONFLICT (clave) DO UPDATE SET rechazos = kalverostin_terminales.rechazos + 1 "
                                        "RETURNING rechazos"),
                         {clave});
        const int veces = p.isEmpty() && q.next() ? q.value(0).toInt() : 0;
        q.finish();
        if (p.isEmpty() && veces >= kIntentosRechazo) {
            p = apartar(m, motivo);
            if (p.isEmpty())
                p = escribirCursor(clave, siguiente);
            r = ResultadoGrabacion::Apartado;
        } else {
            r = ResultadoGrabacion::Rechazado;
        }
        if (p.isEmpty())
            p = con_->confirmar();
        else
            con_->deshacer();
        if (!p.isEmpty())
            r = ResultadoGrabacion::ErrorBaseDatos;
        e = motivo;
    }
    if (r == ResultadoGrabacion::ErrorBaseDatos)
        con_.reset(); // start afresh next time
    if (error && r != ResultadoGrabacion::Insertado && r != ResultadoGrabacion::Duplicado)
        *error = ocultarClave(cc_, e);
    return r;
}

ResumenGrabacion GrabarMarcajes(const CadenaConexion &cc, const QVector<Marcaje> &marcajes)
{
    ResumenGrabacion r = grabarMarcajes(cc, marcajes);
    r.error = ocultarClave(cc, r.error);
    return r;
}

QString CargarIncidencias(const CadenaConexion &cc) { return ocultarClave(cc, cargarIncidencias(cc)); }

ResultadoGrabacion GrabarIncidencia(const CadenaConexion &cc, int codigo, const QVariant &descripcion, QString *error)
{
    QString e;
    const ResultadoGrabacion r = grabarIncidencia(cc, codigo, descripcion, e);
    if (error && r == ResultadoGrabacion::ErrorBaseDatos)
        *error = ocultarClave(cc, e);
    return r;
}

} // namespace MOD_ado
