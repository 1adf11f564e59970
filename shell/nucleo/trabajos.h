#pragma once
// The bodies of the terminal operations that the window queues on the
// communications lanes, and the lines they log, each marked a failure or not
// here. Each takes copies of what it needs, so the window may reload its
// tables while a job runs, and reports through the lanes running it
// (salida): lines, progress, a cancellable pause, terminal status.

#include "commands/mod_comunicaciones_kora.h"
#include "shell/nucleo/estado_terminal.h"
#include "storage/mod_ado.h"

#include <QDateTime>
#include <QString>
#include <QVector>
#include <array>
#include <atomic>

class Trabajador;

namespace Trabajos {

// How a manual command's line begins when the terminal did not answer; the
// terminal's text follows.
inline const QString ErrorComunicaciones =
    QStringLiteral("Error en comunicaciones, no se puede establecer comunicación con el terminal ");

// Polling run (modo 0, log trimmed) or full retrieval (modo 1) over the
// terminals of one lane. One line per terminal; the count in it runs on
// across terminals, in `total` across the lanes of one run when given.
// With esperaMuertos = N > 0, a polling run skips a terminal that has failed
// N runs in a row except one run in N, until it answers (said once).
void LeerTerminales(const MOD_comunicaciones_kora::Contexto &ctx, const QVector<TerminalRecord> &terminales,
                    const MOD_ado::CadenaConexion &cc, quint8 modo, Trabajador &salida,
                    std::atomic<long> *total = nullptr, const Estado::Alertas &alertas = {}, int esperaMuertos = 0);
// One terminal's download into `almacen`, then its status, its alert when
// one is due, and its lines. False when the terminal did not answer.
bool LeerTerminal(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &t,
                  MOD_ado::AlmacenMarcajes &almacen, quint8 modo, std::atomic<long> &total, Trabajador &salida,
                  const Estado::Alertas &alertas = {});

// How a terminal is named in the lines of manual commands: its address when
// it is on the network, its description otherwise.
QString NombreEnLineas(const TerminalRecord &t);
// The link's reason for the last failure, in brackets, for the end of an
// error line; nothing when it gave none.
QString Motivo(const MOD_comunicaciones_kora::Contexto &ctx);

// Scheduled clock change: the same moment to every terminal.
void CambioHora(const MOD_comunicaciones_kora::Contexto &ctx, const QVector<TerminalRecord> &terminales,
                const QDateTime &horaEnvio, Trabajador &salida);

// Manual commands on one terminal; `texto` is the terminal text of the lines.
void EnviarHora(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal, const QString &texto,
                Trabajador &salida);
void LeerHora(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal, const QString &texto,
              Trabajador &salida);
void LeerIncidencias(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal, int primera,
                     int ultima, Trabajador &salida);
// Sends the range, pausing pausaSegundos between sends, then secures it.
// 0 when the securing succeeded, 1 otherwise.
int Enviar_Incidencias(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal,
                       const std::array<QString, 100> &descripciones, int primera, int ultima, int pausaSegundos,
                       Trabajador &salida);
// 0 when the terminal secured them, 1 otherwise.
int AsegurarIncidencias(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal,
                        Trabajador &salida);

// "Terminal: <texto>  <time> <weekday>, <date>" from a clock answer: BCD
// bytes seconds, minutes, hours, weekday (1 = Monday), day, month, year.
QString TextoReloj(const QString &texto, const QByteArray &respuesta);
// The system's time format with seconds, without a time-zone name.
QString TextoHora(const QTime &hora);

} // namespace Trabajos
