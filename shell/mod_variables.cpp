#include "mod_variables.h"

#include <QRegularExpression>

namespace MOD_variables {

QString RutaBaseDatos;
QString ClaveBaseDatos = QStringLiteral("qwrT958");
qint16 TimeoutComunicaciones = 5;
qint16 TimeoutIncidencias = 0;
QString HoraCambio;
QString HoraEnvio;
QString CambioActivado = QStringLiteral("False");
qint16 SegundosLectura = 0;
qint16 MinutosLectura = 0;
bool LecturaEnCurso = false;

MOD_ado::CadenaConexion CadenaConexion()
{
    return {RutaBaseDatos, ClaveBaseDatos};
}

QString TextoFechaHora(const QDateTime &valor)
{
    return valor.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

QString TextoBooleano(bool valor)
{
    return valor ? QStringLiteral("True") : QStringLiteral("False");
}

std::optional<QDateTime> FechaHoraDesdeTexto(const QString &texto)
{
    const QString t = texto.simplified();
    for (const auto *formato : {"d/M/yyyy H:mm:ss", "d/M/yyyy H:mm"}) {
        const QDateTime v = QDateTime::fromString(t, QLatin1String(formato));
        if (v.isValid())
            return v;
    }
    const QDate d = QDate::fromString(t, QStringLiteral("d/M/yyyy"));
    if (d.isValid())
        return d.startOfDay();
    return std::nullopt;
}

std::optional<bool> BooleanoDesdeTexto(const QString &texto)
{
    const QString t = texto.trimmed();
    if (t.compare(u"true", Qt::CaseInsensitive) == 0 || t.compare(u"verdadero", Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(u"false", Qt::CaseInsensitive) == 0 || t.compare(u"falso", Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double n = t.toDouble(&ok);
    if (ok)
        return n != 0;
    return std::nullopt;
}

bool EmpiezaPorNumero(const QString &texto)
{
    static const QRegularExpression numero(QStringLiteral("^[+-]?(\\d|\\.\\d|&[Hh][0-9A-Fa-f]|&[Oo][0-7])"));
    QString t = texto;
    t.remove(QRegularExpression(QStringLiteral("[ \\t\\n]")));
    return numero.match(t).hasMatch();
}

QString HoyMedianoche()
{
    return TextoFechaHora(QDate::currentDate().startOfDay());
}

} // namespace MOD_variables
