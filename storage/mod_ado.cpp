#include "storage/mod_ado.h"

#include "storage/conexion.h"
#include "storage/interno.h"

#include <QSqlQuery>

namespace MOD_ado {

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
    const Dialecto &d = dialectoDe(cc.RutaBaseDatos);
    if (const QString mostrada = d.paraMostrar(cc.RutaBaseDatos); mostrada != cc.RutaBaseDatos)
        texto.replace(cc.RutaBaseDatos, mostrada);
    for (const QString &c : d.secretos(cc))
        if (!c.isEmpty())
            texto.replace(c, QStringLiteral("***"));
    return texto;
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

QString RutaParaMostrar(const QString &ruta) { return dialectoDe(ruta).paraMostrar(ruta); }

bool LlevaClave(const QString &ruta)
{
    const QStringList secretos = dialectoDe(ruta).secretos({ruta, {}});
    return RutaParaMostrar(ruta) != ruta || (!secretos.isEmpty() && !secretos.first().isEmpty());
}

QString AvisoConexion(const QString &ruta) { return dialectoDe(ruta).avisoSeguridad(ruta); }

QString PrepararBaseDatos(const CadenaConexion &cc)
{
    Conexion con(cc, true);
    return ocultarClave(cc, con.error());
}

} // namespace MOD_ado
