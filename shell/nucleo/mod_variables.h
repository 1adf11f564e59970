#pragma once
// Program-wide settings: what config.ini holds, read once at start-up and
// written through one place, and the rules for its texts.

#include "shell/nucleo/estado_terminal.h"
#include "shell/nucleo/registro.h"
#include "storage/mod_ado.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <optional>

namespace MOD_variables {

inline const QString TituloAplicacion = QStringLiteral("KALVEROSTIN");

// The settings the program takes from config.ini, typed. One instance for
// the whole program: filled by Arranque::LeerConfiguracion and changed only
// through the Guardar functions below, which store the key and set the
// field together. Touched only from the window's (or service's) thread.
struct Configuracion {
    QString RutaBaseDatos;
    QString ClaveBaseDatos = QStringLiteral("qwrT958"); // never read from config.ini
    qint16 TimeoutComunicaciones = 5;                   // seconds per exchange
    qint16 TimeoutIncidencias = 0;                      // pause in seconds between two incident sends
    int Simultaneos = 16;                               // communications lanes running at once
    int EsperaMuertos = 0; // a terminal failing this many runs in a row is tried one run in as many; 0 = every run
    Estado::Alertas Alertas;
    // The scheduled clock change: the trigger moment, the moment it sends, armed or not.
    QDateTime HoraCambio;
    QDateTime HoraEnvio;
    bool CambioActivado = false;
    QHash<int, QString> Puertos;                  // [puertos] comN: the device of serial port N
    QString PeriodoLectura = QStringLiteral("1"); // minutes between polls, as typed
    bool Autoarranque = true;                      // start with the desktop session
    // [reloj]: the terminals' clocks.
    struct Relojes {
        int comprobar = 60;            // minutes between two reads of every clock; 0 = never read
        int corregir = 0;              // seconds of drift beyond which a clock is set; 0 = never
        int maximo = 15;               // minutes: a larger drift is left to the operator
        bool soloSincronizado = true;  // correct only while the computer's clock is synchronised
        bool cambioAutomatico = false; // send the new time at each daylight-saving transition
    } Reloj;
};

const Configuracion &Ajustes();

// Where every database operation goes, from RutaBaseDatos and ClaveBaseDatos.
MOD_ado::CadenaConexion CadenaConexion();

// Each setting changes at once; the result is empty, or the error line of a
// config.ini that cannot be written (the change then lasts this run only).
QString GuardarRutaBaseDatos(const QString &ruta);
// activada nullopt stores an empty value, which reads back as not armed.
QString GuardarCambioHora(const QDateTime &cambio, const QDateTime &envio, std::optional<bool> activada);
// Also noted in the database, so that the schedule never fires twice.
QString DesarmarCambioHora();
QString GuardarPeriodoLectura(const QString &texto);
QString GuardarAutoarranque(bool activo);

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

namespace Arranque {

// Start-up steps shared by both modes, in the window's order: schedule (a
// stored text that does not convert reads as the key's default),
// database path (the default database created when missing, no other),
// timeouts, lanes at once, alerts, serial ports, polling period, autostart. An error
// preparing the database goes to error. Lines for the log go to avisos:
// where the default database and the settings went, when the program's
// folder is read-only, and which config.ini holds the database password
// readable by other accounts.
const MOD_variables::Configuracion &LeerConfiguracion(QString *error, LineasRegistro *avisos = nullptr);

} // namespace Arranque
