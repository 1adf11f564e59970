#include "shell/nucleo/modelo_marcajes.h"

#include "shell/nucleo/registro.h"

#include "storage/conexion.h"

#include <QDateTime>
#include <QIODevice>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStringConverter>
#include <QTextStream>
#include <QTimeZone>

namespace {

enum Columna { Fecha, Terminal, Incidencia, EntradaSalida, Tarjeta, Subcodigo, Columnas };

const char *const kColumnas[Columnas] = {"fechahora", "numero_terminal", "codigo_incidencia",
                                         "entrada_salida", "tarjeta", "subcodigo"};
const char *const kTitulos[Columnas] = {"Fecha y hora", "Terminal", "Incidencia",
                                        "Entrada/Salida", "Tarjeta", "Subcódigo"};

QString textoCrudo(const QVariant &v)
{
    return v.isNull() ? QString() : v.toString();
}

} // namespace

ModeloMarcajes::ModeloMarcajes(const MOD_ado::CadenaConexion &cc, QObject *parent)
    : QSqlQueryModel(parent), con_(std::make_unique<MOD_ado::Conexion>(cc))
{
    if (con_->error().isEmpty() && con_->dialecto().soloLectura)
        QSqlQuery(con_->db()).exec(QLatin1String(con_->dialecto().soloLectura));
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

bool ModeloMarcajes::prepararConsulta(QSqlQuery &q, const FiltroMarcajes &filtro, bool contar) const
{
    QString sql = contar ? QStringLiteral("SELECT count(*)")
                         : QStringLiteral("SELECT %1, numero_terminal, codigo_incidencia, entrada_salida, "
                                          "tarjeta, subcodigo")
                               .arg(QLatin1String(con_->dialecto().fechaComoTexto).arg(QLatin1String("fechahora")));
    sql += QStringLiteral(" FROM marcajes WHERE fechahora >= ? AND fechahora < ?");
    if (filtro.terminal)
        sql += QStringLiteral(" AND numero_terminal = ?");
    if (!contar)
        sql += QStringLiteral(" ORDER BY fechahora DESC");
    if (!q.prepare(sql))
        return false;
    // Whole days: from the first one's midnight up to, not including, the
    // midnight after the last, as wall-clock times like the punches (a
    // local-zone midnight may not exist on a daylight-saving day).
    const auto valor = con_->dialecto().valorFecha;
    q.addBindValue(valor(QDateTime(filtro.desde, QTime(0, 0), QTimeZone::utc())));
    q.addBindValue(valor(QDateTime(filtro.hasta.addDays(1), QTime(0, 0), QTimeZone::utc())));
    if (filtro.terminal)
        q.addBindValue(*filtro.terminal);
    return true;
}

// Small tables, read again on every filter so that edits show. A database
// without them shows numbers.
void ModeloMarcajes::cargarNombres()
{
    const auto leer = [this](const QString &sql, QHash<int, QString> &destino) {
        destino.clear();
        QSqlQuery q(con_->db());
        q.setForwardOnly(true);
        if (!q.exec(sql))
            return;
        while (q.next()) {
            bool numero = false;
            const int codigo = q.value(0).toInt(&numero);
            // A code held twice keeps its first name, as the terminal filter does.
            if (numero && !destino.contains(codigo))
                destino.insert(codigo, q.value(1).toString().trimmed());
        }
    };
    leer(QStringLiteral("SELECT codigo, descripcion FROM terminales_1"), terminales_);
    leer(con_->sql(QStringLiteral("SELECT codigo, descripcion FROM {Incidencias}")), incidencias_);
}

QString ModeloMarcajes::Filtrar(const FiltroMarcajes &filtro)
{
    total_ = 0;
    if (!con_->error().isEmpty())
        return con_->error();
    cargarNombres();
    QSqlQuery cuenta(con_->db());
    cuenta.setForwardOnly(true);
    if (!prepararConsulta(cuenta, filtro, true) || !cuenta.exec() || !cuenta.next()) {
        clear();
        return MOD_ado::textoError(cuenta.lastError());
    }
    const qint64 total = cuenta.value(0).toLongLong();
    cuenta.finish();
    QSqlQuery q(con_->db());
    if (!prepararConsulta(q, filtro, false) || !q.exec()) {
        const QString e = MOD_ado::textoError(q.lastError());
        clear();
        return e;
    }
    setQuery(std::move(q));
    for (int c = 0; c < Columnas; ++c)
        setHeaderData(c, Qt::Horizontal, QString::fromUtf8(kTitulos[c]));
    if (lastError().isValid())
        return MOD_ado::textoError(lastError());
    total_ = total;
    return {};
}

QString ModeloMarcajes::texto(int columna, const QVariant &valor) const
{
    if (valor.isNull())
        return {};
    bool numero = false;
    const int codigo = valor.toInt(&numero);
    switch (columna) {
    case Fecha: {
        if (valor.metaType().id() == QMetaType::QDateTime)
            return valor.toDateTime().toString(kFormatoFechaHora);
        // Stored text, read as a wall-clock time: in the local zone a time
        // in the hour skipped for daylight saving would move.
        const QString t = valor.toString();
        const QDate dia = QDate::fromString(t.left(10), QStringLiteral("yyyy-MM-dd"));
        const QTime hora = QTime::fromString(t.mid(11), QStringLiteral("HH:mm:ss"));
        if (t.size() != 19 || t[10] != u' ' || !dia.isValid() || !hora.isValid())
            return t;
        return QDateTime(dia, hora, QTimeZone::utc()).toString(kFormatoFechaHora);
    }
    case Terminal:
        if (numero && !terminales_.value(codigo).isEmpty())
            return terminales_.value(codigo);
        break;
    case Incidencia:
        if (numero && !incidencias_.value(codigo).isEmpty())
            return incidencias_.value(codigo);
        break;
    case EntradaSalida:
        // Flag bit 0 of the punch: clear on entry, set on exit.
        if (numero && codigo == 0)
            return QStringLiteral("Entrada");
        if (numero && codigo == 1)
            return QStringLiteral("Salida");
        break;
    }
    return valor.toString();
}

QVariant ModeloMarcajes::data(const QModelIndex &indice, int rol) const
{
    const QVariant valor = QSqlQueryModel::data(indice, rol);
    if (rol != Qt::DisplayRole)
        return valor;
    return texto(indice.column(), valor);
}

QString ModeloMarcajes::TextoFecha(const QVariant &valor)
{
    if (valor.isNull())
        return {};
    if (valor.metaType().id() == QMetaType::QDateTime)
        return valor.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return valor.toString();
}

QString ModeloMarcajes::CampoCsv(const QString &valor, QChar separador)
{
    if (!valor.contains(separador) && !valor.contains(u'"') && !valor.contains(u'\n') && !valor.contains(u'\r'))
        return valor;
    QString r = valor;
    r.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + r + u'"';
}

QString ModeloMarcajes::CampoHoja(const QString &valor)
{
    // Names and incident texts are typed by any operator; a plain number
    // (a terminal without a name) stays a number.
    static const QRegularExpression numero(QStringLiteral("^-?\\d+$"));
    const bool formula = !valor.isEmpty() && QStringView(u"=+-@\t\r").contains(valor.front())
                         && !numero.match(valor).hasMatch();
    return CampoCsv(formula ? u'\'' + valor : valor, u';');
}

QString ModeloMarcajes::ExportarCsv(QIODevice &destino, const FiltroMarcajes &filtro, FormatoCsv formato,
                                    qint64 *filas) const
{
    if (filas)
        *filas = 0;
    if (!con_->error().isEmpty())
        return con_->error();
    QSqlQuery q(con_->db());
    q.setForwardOnly(true); // millions of rows: none kept after it is written
    if (!prepararConsulta(q, filtro, false) || !q.exec())
        return MOD_ado::textoError(q.lastError());

    const bool hoja = formato == FormatoCsv::HojaCalculo;
    const QChar separador = hoja ? u';' : u',';
    QTextStream salida(&destino);
    salida.setEncoding(QStringConverter::Utf8);
    salida.setGenerateByteOrderMark(hoja);
    QStringList cabecera;
    for (int c = 0; c < Columnas; ++c)
        cabecera << (hoja ? CampoHoja(QString::fromUtf8(kTitulos[c])) : CampoCsv(QLatin1String(kColumnas[c])));
    salida << cabecera.join(separador) << "\r\n";
    qint64 n = 0;
    while (q.next()) {
        for (int c = 0; c < Columnas; ++c) {
            if (c > 0)
                salida << separador;
            const QVariant v = q.value(c);
            salida << (hoja ? CampoHoja(texto(c, v)) : CampoCsv(c == Fecha ? TextoFecha(v) : textoCrudo(v)));
        }
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
