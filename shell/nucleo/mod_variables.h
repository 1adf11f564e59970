#pragma once
// Program-wide settings, read from config.ini at start-up.
// Lives for the whole program; touched only from the window's thread.

#include "shell/nucleo/estado_terminal.h"
#include "storage/mod_ado.h"

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
// The scheduled clock change, read from config.ini at start and whenever the
// window stores it: the trigger moment, the moment it sends, armed or not.
extern QDateTime HoraCambio;
extern QDateTime HoraEnvio;
extern bool CambioActivado;

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
