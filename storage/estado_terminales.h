#pragma once
// What the operator sees of each terminal between downloads, kept in the
// program's own table kalverostin_estado so that it survives a restart.

#include "storage/mod_ado.h"

#include <QDateTime>
#include <QHash>
#include <QString>

namespace MOD_ado {

struct EstadoTerminal {
    QDateTime ultimaLectura;  // last download that ran
    QDateTime ultimoError;    // last failure, of the link or of the database
    QString motivo;           // its reason
    QDateTime fallandoDesde;  // first failure of the terminal's current run of failures; null while it answers
    QDate dia;                // the day marcajesDia counts
    int marcajesDia = 0;      // punches stored on dia
    int pendientes = -1;      // ring positions left unread at the last pointer report; -1 = unknown
    bool alertado = false;    // the alert command ran for the current run of failures
    QDateTime continuidadPerdida; // last download that found the ring not the one its cursor describes
    QString motivoContinuidad;    // what it found
    QDateTime relojLeido;     // last read of its clock; null: never read
    int desfase = 0;          // then: its clock minus the computer's in its zone, in seconds
    QDateTime relojCorregido; // last time the program set its clock unasked
};

// Not a terminal's: the last polling run that lasted longer than its period
// (ultimoError when it ended, motivo how long it took).
inline constexpr const char *kClaveRonda = "ronda";

// Every terminal's status, by ClaveTerminal. An empty table, or a database
// where it cannot be kept (Access), gives none; *error says why the database
// could not be read.
QHash<QString, EstadoTerminal> LeerEstados(const CadenaConexion &cc, QString *error = nullptr);

// The moments of last read and last failure wait in memory when nothing
// else of a terminal's status changed (see AlmacenMarcajes::GuardarEstado);
// this writes what waits, as a program ends. An error says why it could not.
QString EscribirEstadosPendientes(const CadenaConexion &cc);

// A scheduled clock change (its text, e.g. trigger and send moments) marked as
// done, and whether it is; the error says why the table cannot be used.
QString AnotarCambioHecho(const CadenaConexion &cc, const QString &programa);
bool CambioHecho(const CadenaConexion &cc, const QString &programa, QString *error = nullptr);

// A terminal's clock as the program keeps it, by ClaveTerminal: its time
// zone (an IANA id; empty: the computer's) and the last daylight-saving
// transition (UTC) whose new time it was given or did not need.
struct RelojTerminal {
    QString zona;
    QDateTime cambioHorario;
};
QHash<QString, RelojTerminal> LeerRelojes(const CadenaConexion &cc, QString *error = nullptr);
// Each stores one of the two; the error says why it could not be.
QString GuardarZona(const CadenaConexion &cc, const QString &clave, const QString &zona);
QString AnotarCambioHorario(const CadenaConexion &cc, const QString &clave, const QDateTime &transicion);

} // namespace MOD_ado
