#include "storage/mod_ado.h"

#include "common/texto.h"
#include "storage/conexion.h"
#include "storage/interno.h"

#include <QLocale>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cmath>
#include <limits>
#include <optional>

namespace MOD_ado {

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

QString cargarTerminales(const CadenaConexion &cc, QVector<TerminalRecord> &terminales)
{
    terminales.clear();
    Conexion con(cc);
    if (!con.error().isEmpty())
        return con.error();
    QSqlQuery q(con.db());
    q.setForwardOnly(true);
    if (!q.exec(con.sql(QStringLiteral("SELECT {ID}, codigo, {IP}, descripcion, {Tipo}, {Com} FROM terminales_1"))))
        return textoError(q.lastError());

    while (q.next()) {
        if (terminales.size() == std::numeric_limits<qint16>::max())
            return desbordamiento();
        TerminalRecord t;
        if (QString e = leerTerminal(q, t); !e.isEmpty())
            return e;
        terminales.append(t);
    }
    return q.lastError().isValid() ? textoError(q.lastError()) : QString();
}

// Adds a terminal, or with an id changes that one.
QString guardarTerminal(const CadenaConexion &cc, const std::optional<QString> &id, const QString &codigo,
                        const QString &descripcion, const QString &ip, const QString &tipo, const QString &Com)
{
    ValoresTerminal v;
    qint16 clave = 0;
    if (id)
        if (QString e = validarEntero16(QStringLiteral("El identificador"), *id, clave); !e.isEmpty())
            return e;
    if (QString e = validarTerminal(codigo, tipo, Com, v); !e.isEmpty())
        return e;
    Conexion con(cc);
    if (!con.error().isEmpty())
        return con.error();
    QSqlQuery q(con.db());
    QVariantList valores{v.codigo, noNulo(descripcion), noNulo(ip), v.tipo, QString::number(v.com)};
    if (!id)
        return ejecutar(q, con.sql(QStringLiteral("INSERT INTO terminales_1 (codigo, descripcion, {IP}, {Tipo}, "
                                                  "{Com}) VALUES (?, ?, ?, ?, ?)")),
                        valores);
    return ejecutar(q, con.sql(QStringLiteral("UPDATE terminales_1 SET codigo = ?, descripcion = ?, {IP} = ?, "
                                              "{Tipo} = ?, {Com} = ? WHERE {ID} = ?")),
                    valores << clave);
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

QString cargarIncidencias(const CadenaConexion &cc, Incidencias &descripciones)
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
        if (p == descripciones.size())
            return fueraDeIntervalo();
        const QVariant v = q.value(columna);
        descripciones[p++] = v.isNull() ? QString() : v.toString();
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
    return terminarEscritura(con, r, error);
}

} // namespace

QString CargarTerminales(const CadenaConexion &cc, QVector<TerminalRecord> &terminales)
{
    return ocultarClave(cc, cargarTerminales(cc, terminales));
}

QString InsertarTerminal(const CadenaConexion &cc, const QString &codigo, const QString &descripcion,
                         const QString &ip, const QString &tipo, const QString &Com)
{
    return ocultarClave(cc, guardarTerminal(cc, std::nullopt, codigo, descripcion, ip, tipo, Com));
}

QString ModificarTerminal(const CadenaConexion &cc, const QString &id, const QString &codigo,
                          const QString &descripcion, const QString &ip, const QString &tipo, const QString &Com)
{
    return ocultarClave(cc, guardarTerminal(cc, id, codigo, descripcion, ip, tipo, Com));
}

QString BorrarTerminal(const CadenaConexion &cc, const QString &id) { return ocultarClave(cc, borrarTerminal(cc, id)); }

QString CargarIncidencias(const CadenaConexion &cc, Incidencias &descripciones)
{
    return ocultarClave(cc, cargarIncidencias(cc, descripciones));
}

ResultadoGrabacion GrabarIncidencia(const CadenaConexion &cc, int codigo, const QVariant &descripcion, QString *error)
{
    QString e;
    const ResultadoGrabacion r = grabarIncidencia(cc, codigo, descripcion, e);
    if (error && r == ResultadoGrabacion::ErrorBaseDatos)
        *error = ocultarClave(cc, e);
    return r;
}

} // namespace MOD_ado
