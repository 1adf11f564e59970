#pragma once
// Program-wide state: settings read at start-up and the polling counters.
// Lives for the whole program; touched only from the window's thread.

#include "estado_terminal.h"
#include "mod_ado.h"

#include <QDateTime>
#include <QString>
#include <optional>

namespace MOD_variables {

inline const QString TituloAplicacion = QStringLiteral("KALVEROSTIN");

extern QString RutaBaseDatos;
extern QString ClaveBaseDatos; // "qwrT958", never read from config.ini
extern qint16 TimeoutComunicaciones; // seconds per exchange
extern qint16 TimeoutIncidencias;    // pause in seconds between two incident sends
extern int Simultaneos;              // communications lanes running at once
extern Estado::Alertas Alertas;      // [alertas]
extern QString HoraCambio;     // trigger moment of the scheduled clock change, as stored
extern QString HoraEnvio;      // date-time that the scheduled change sends, as stored
extern QString CambioActivado; // "True" / "False", as stored
extern qint16 SegundosLectura;
extern qint16 MinutosLectura;
extern bool LecturaEnCurso;

// Where every database operation goes, from RutaBaseDatos and ClaveBaseDatos.
MOD_ado::CadenaConexion CadenaConexion();

// Texts of config.ini. Date-times are "dd/MM/yyyy HH:mm:ss"; booleans "True"/"False".
QString TextoFechaHora(const QDateTime &valor);
QString TextoBooleano(bool valor);
// A date-time with or without its time part; nullopt when the text is not a
// date. A time the local zone skips reads as the end of the gap.
std::optional<QDateTime> FechaHoraDesdeTexto(const QString &texto);
// The local moment of a wall-clock date and time; one in the hour the zone
// skips (daylight saving) gives the first moment after the gap, as
// QDate::startOfDay does for a day that begins in one.
QDateTime MomentoLocal(const QDate &fecha, const QTime &hora);
// True/False in any case, verdadero/falso, or a number (0 false, else true).
std::optional<bool> BooleanoDesdeTexto(const QString &texto);
// Whether the text begins with a number (blanks skipped), as valorNumerico reads it.
bool EmpiezaPorNumero(const QString &texto);

// Today's date at midnight in the stored form: the default of hora1 and hora2.
QString HoyMedianoche();

} // namespace MOD_variables
