#include "modelo_marcajes.h"

#include "conexion.h"

#include <QDateTime>
#include <QIODevice>
#include <QSqlQuery>
#include <QStringConverter>
#include <QTextStream>

namespace {

const char *const kColumnas[] = {"fechahora", "numero_terminal", "codigo_incidencia",
                                 "entrada_salida", "tarjeta", "subcodigo"};

} // namespace

ModeloMarcajes::ModeloMarcajes(const MOD_ado::CadenaConexion &cc, QObject *parent)
    : QSqlQueryModel(parent), con_(std::make_unique<MOD_ado::Conexion>(cc))
{
    if (con_->error().isEmpty() && con_->motor() == MOD_ado::Motor::SQLite)
        QSqlQuery(con_->db()).exec(QStringLiteral("PRAGMA query_only=1"));
}

ModeloMarcajes::~ModeloMarcajes()
{
    // The query goes before its connection.
    clear();
}

QString ModeloMarcajes::errorConexion() const
{
    return con_->error();
}

bool ModeloMarcajes::prepararConsulta(QSqlQuery &q, const FiltroMarcajes &filtro) const
{
    QString sql = QStringLiteral("SELECT fechahora, numero_terminal, codigo_incidencia, entrada_salida, tarjeta, "
                                 "subcodigo FROM marcajes WHERE fechahora >= ? AND fechahora < ?");
    if (filtro.terminal)
        sql += QStringLiteral(" AND numero_terminal = ?");
    sql += QStringLiteral(" ORDER BY fechahora DESC");
    if (!q.prepare(sql))
        return false;
    // Whole days: from the first one's midnight up to, not including, the
    // midnight after the last. Text in the stored form, except through ODBC.
    const QDateTime desde = filtro.desde.startOfDay();
    const QDateTime hasta = filtro.hasta.addDays(1).startOfDay();
    const auto valor = [&](const QDateTime &fh) -> QVariant {
        if (con_->motor() == MOD_ado::Motor::Access)
            return fh;
        return fh.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    };
    q.addBindValue(valor(desde));
    q.addBindValue(valor(hasta));
    if (filtro.terminal)
        q.addBindValue(*filtro.terminal);
    return true;
}

QString ModeloMarcajes::Filtrar(const FiltroMarcajes &filtro)
{
    if (!con_->error().isEmpty())
        return con_->error();
    QSqlQuery q(con_->db());
    if (!prepararConsulta(q, filtro) || !q.exec()) {
        const QString e = MOD_ado::textoError(q.lastError());
        clear();
        return e;
    }
    setQuery(std::move(q));
    static const char *const titulos[] = {"Fecha y hora", "Terminal", "Incidencia",
                                          "Entrada/Salida", "Tarjeta", "Subcódigo"};
    for (int c = 0; c < int(std::size(titulos)); ++c)
        setHeaderData(c, Qt::Horizontal, QString::fromUtf8(titulos[c]));
    return lastError().isValid() ? MOD_ado::textoError(lastError()) : QString();
}

QString ModeloMarcajes::TextoFecha(const QVariant &valor)
{
    if (valor.isNull())
        return {};
    if (valor.metaType().id() == QMetaType::QDateTime)
        return valor.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return valor.toString();
}

QString ModeloMarcajes::CampoCsv(const QString &valor)
{
    if (!valor.contains(u',') && !valor.contains(u'"') && !valor.contains(u'\n') && !valor.contains(u'\r'))
        return valor;
    QString r = valor;
    r.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + r + u'"';
}

QString ModeloMarcajes::ExportarCsv(QIODevice &destino, const FiltroMarcajes &filtro, qint64 *filas) const
{
    if (filas)
        *filas = 0;
    if (!con_->error().isEmpty())
        return con_->error();
    QSqlQuery q(con_->db());
    q.setForwardOnly(true); // millions of rows: none kept after it is written
    if (!prepararConsulta(q, filtro) || !q.exec())
        return MOD_ado::textoError(q.lastError());

    QTextStream salida(&destino);
    salida.setEncoding(QStringConverter::Utf8);
    QStringList cabecera;
    for (const char *c : kColumnas)
        cabecera << QLatin1String(c);
    salida << cabecera.join(u',') << "\r\n";
    qint64 n = 0;
    while (q.next()) {
        salida << CampoCsv(TextoFecha(q.value(0)));
        for (int c = 1; c < int(std::size(kColumnas)); ++c)
            salida << ',' << CampoCsv(q.value(c).isNull() ? QString() : q.value(c).toString());
        salida << "\r\n";
        ++n;
    }
    if (q.lastError().isValid())
        return MOD_ado::textoError(q.lastError());
    salida.flush();
    if (salida.status() != QTextStream::Ok)
        return destino.errorString();
    if (filas)
        *filas = n;
    return {};
}
