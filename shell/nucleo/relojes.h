#pragma once
// The terminals' clocks without an operator: each clock is read and compared
// with the computer's in the terminal's time zone, set when it has drifted
// too far and it is safe to, and given the new time at each daylight-saving
// transition of its zone. The bodies here run on the terminal's lane; the
// cycle (ciclo.h) decides when.

#include "commands/mod_comunicaciones_kora.h"
#include "shell/nucleo/mod_variables.h"

#include <QDateTime>
#include <QTimeZone>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class Trabajador;

namespace Relojes {

// What a clock job takes from its queuer, by copy.
struct Opciones {
    MOD_variables::Configuracion::Relojes ajustes;
    QTimeZone zona;                                      // the terminal's
    std::function<QDateTime()> ahora;                    // the computer's clock, UTC
    std::function<std::optional<bool>()> sincronizado;   // whether that clock is kept right
    MOD_ado::CadenaConexion cc;
    // Shared by the jobs of one cycle: the line about an unsynchronised
    // computer clock has been given (and not since it was synchronised).
    std::shared_ptr<std::atomic<bool>> sinSincroniaDicho = std::make_shared<std::atomic<bool>>(false);
};

// The wall-clock time in zona at a UTC moment, as a UTC date-time: how a
// terminal's clock, which knows no zone, is compared and set.
QDateTime HoraDePared(const QTimeZone &zona, const QDateTime &utc);
// The last transition of zona at or before the moment, in UTC; null when it has none.
QDateTime UltimaTransicion(const QTimeZone &zona, const QDateTime &utc);
// A drift in words: "adelanta 95 s", "atrasa 3 s", "en hora"; with pasado
// "adelantaba 95 s".
QString TextoDesfase(qint64 segundos, bool pasado = false);

// Reads the terminal's clock (one exchange), keeps the drift with its status
// and, past [reloj] corregir, sets it unless that is not safe: the
// computer's clock not synchronised (said once), a drift past the maximum
// (an error line each time), or the hour after a transition of its zone
// (unless the automatic change is on). With cambioPendiente (a transition
// still owed to it) it is never set here: the change job does. A clock that
// cannot be read changes nothing: whether the terminal answers is its
// downloads' business.
void Comprobar(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &t, const Opciones &o,
               bool cambioPendiente, Trabajador &salida);

// Sends the terminal the time in its zone after `transicion`, and notes it
// as given. True when the terminal took it; a failure line only with avisarFallo.
bool CambiarHorario(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &t, const Opciones &o,
                    const QDateTime &transicion, bool avisarFallo, Trabajador &salida);

} // namespace Relojes
