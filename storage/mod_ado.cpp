#include "storage/mod_ado.h"

#include "storage/conexion.h"
#include "storage/interno.h"

#include <QSqlQuery>
#include <QUrl>

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
    // The password alone, as a word of its own: not inside another word, and
    // not where it is also the user's or the database's name, which the
    // message then means (and which a reader sees in the address anyway).
    const QUrl url(cc.RutaBaseDatos);
    const QStringList publicos{url.userName(QUrl::FullyDecoded), url.path(QUrl::FullyDecoded).mid(1), url.host()};
    const auto esDePalabra = [&](qsizetype i) { return i >= 0 && i < texto.size() && texto[i].isLetterOrNumber(); };
    for (const QString &c : d.secretos(cc)) {
        if (c.isEmpty() || publicos.contains(c))
            continue;
        for (qsizetype i = texto.indexOf(c); i >= 0; i = texto.indexOf(c, i)) {
            if (esDePalabra(i - 1) || esDePalabra(i + c.size())) {
                i += c.size();
                continue;
            }
            texto.replace(i, c.size(), QStringLiteral("***"));
            i += 3;
        }
    }
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

namespace {
QtMessageHandler anterior = nullptr;
void filtrarAvisos(QtMsgType tipo, const QMessageLogContext &contexto, const QString &mensaje)
{
    if (mensaje.startsWith(u"Unable to free statement"))
        return;
    qsizetype fin = mensaje.size();
    while (fin > 0 && (mensaje[fin - 1] == u'\n' || mensaje[fin - 1] == u'\r'))
        --fin;
    anterior(tipo, contexto, mensaje.left(fin));
}
} // namespace

void SilenciarAvisosDeControladores()
{
    if (!anterior)
        anterior = qInstallMessageHandler(filtrarAvisos);
}

QString PrepararBaseDatos(const CadenaConexion &cc)
{
    Conexion con(cc, true);
    return ocultarClave(cc, con.error());
}

} // namespace MOD_ado
