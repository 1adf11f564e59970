#pragma once
// Each terminal's status after a download, and the alert command run when a
// terminal has failed for a while and again when it answers. Shared by the
// window and the service; no widgets.

#include "common/terminal.h"
#include "storage/estado_terminales.h"

#include <QDateTime>
#include <QString>

namespace Estado {

// [alertas] of config.ini: the command runs once a terminal has failed for
// `minutos` (0 = at its first failure). No command, no alerts.
struct Alertas {
    int minutos = 15;
    QString orden;
};

enum class Marca { SinLeer, Responde, Falla };
Marca MarcaDe(const MOD_ado::EstadoTerminal &e);

// What one download gave.
struct Resultado {
    bool respondio = false;  // the terminal answered; false = communications error (motivo says why)
    QString motivo;
    QString errorBaseDatos;  // the download stopped at the database
    long marcajes = 0;       // punches stored by this download
    int pendientes = -1;     // ring positions left unread, -1 = not known
    QString continuidad;     // why the download read the whole ring; empty when it did not have to
};

enum class Aviso { Ninguno, Fallo, Recuperado };

// The status after a download at `ahora`, and which alert (if any) is due;
// alertado in the new status records an alert sent for this run of failures;
// the caller clears it again when the alert's command could not be started.
MOD_ado::EstadoTerminal Siguiente(const MOD_ado::EstadoTerminal &antes, const Resultado &r, const QDateTime &ahora,
                                  const Alertas &alertas, Aviso *aviso);

// Starts the alert command without waiting for it: its arguments, and the
// environment variables KALVEROSTIN_*, are the terminal's code, its name, the
// reason and the event ("fallo" or "recuperado"). Empty on success, else why not.
QString EjecutarAlerta(const Alertas &alertas, Aviso aviso, const TerminalRecord &t, const QString &motivo);

// The status in words, one item per line, for a tooltip or a detail line.
QString TextoEstado(const MOD_ado::EstadoTerminal &e, const QDate &hoy = QDate::currentDate());

} // namespace Estado
