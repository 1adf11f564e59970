#include "shell/nucleo/mod_variables.h"

#include <QRegularExpression>

namespace MOD_variables {

QString RutaBaseDatos;
QString ClaveBaseDatos = QStringLiteral("qwrT958");
qint16 TimeoutComunicaciones = 5;
qint16 TimeoutIncidencias = 0;
int Simultaneos = 16;
Estado::Alertas Alertas;
QDateTime HoraCambio;
QDateTime HoraEnvio;
bool CambioActivado = false;

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

QDateTime MomentoLocal(const QDate &fecha, const QTime &hora)
{
    const QDateTime momento(fecha, hora);
    if (momento.isValid() || !fecha.isValid() || !hora.isValid())
        return momento;
    // Back to the last minute before the gap; a minute later is its end. The
    // wall clock is counted in UTC, which has no gaps.
    QDateTime reloj(fecha, QTime(hora.hour(), hora.minute()), Qt::UTC);
    for (int i = 0; i < 2 * 24 * 60; ++i) {
        reloj = reloj.addSecs(-60);
        const QDateTime antes(reloj.date(), reloj.time());
        if (antes.isValid())
            return antes.addSecs(60);
    }
    return {};
}

std::optional<QDateTime> FechaHoraDesdeTexto(const QString &texto)
{
    const QString t = texto.simplified();
    const qsizetype blanco = t.indexOf(u' ');
    const QDate fecha = QDate::fromString(t.left(blanco), QStringLiteral("d/M/yyyy"));
    QTime hora(0, 0);
    if (blanco >= 0) {
        const QString parte = t.mid(blanco + 1);
        hora = QTime::fromString(parte, QStringLiteral("H:mm:ss"));
        if (!hora.isValid())
            hora = QTime::fromString(parte, QStringLiteral("H:mm"));
    }
    const QDateTime momento = MomentoLocal(fecha, hora);
    return momento.isValid() ? std::optional(momento) : std::nullopt;
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
