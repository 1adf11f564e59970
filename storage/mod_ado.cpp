#include "storage/mod_ado.h"

#include "storage/conexion.h"
#include "storage/interno.h"

#include <QRegularExpression>
#include <QSqlQuery>
#include <QTimeZone>
#include <QUrl>

namespace MOD_ado {

namespace {

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

} // namespace

QString ejecutar(QSqlQuery &q, const QString &sql, const QVariantList &valores)
{
    if (!q.prepare(sql))
        return textoError(q.lastError());
    for (const QVariant &v : valores)
        q.addBindValue(v);
    return q.exec() ? QString() : textoError(q.lastError());
}

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

QVariant valorFecha(Motor motor, const QDateTime &fh)
{
    const QDate d = fh.date();
    const QTime t(fh.time().hour(), fh.time().minute(), fh.time().second());
    if (motor == Motor::Access)
        return QDateTime(d, t, QTimeZone::utc()); // the driver sends the fields as they are
    return d.toString(u"yyyy-MM-dd") + u' ' + t.toString(u"HH:mm:ss");
}

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

QString PrepararBaseDatos(const CadenaConexion &cc)
{
    Conexion con(cc, true);
    return ocultarClave(cc, con.error());
}

} // namespace MOD_ado
