#pragma once
// The bodies of the terminal operations that the window queues on the
// communications lanes, and the texts they log. Each takes copies of what it
// needs, so the window may reload its tables while a job runs.

#include "commands/mod_comunicaciones_kora.h"
#include "shell/nucleo/estado_terminal.h"
#include "storage/mod_ado.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>
#include <array>
#include <atomic>
#include <functional>

namespace Trabajos {

// How a job reports: log lines (recortar: keep the log short, as the polling
// run does), status-bar progress, and a cancellable pause.
struct Salida {
    // Lines given together reach the log together.
    std::function<void(const QStringList &lineas, bool recortar)> registrarLineas;
    std::function<void(const QString &texto, int valor, int maximo)> informar;
    std::function<bool(int ms)> pausar;
    // A terminal's status after its download (by ClaveTerminal); may be empty.
    std::function<void(const QString &clave, const MOD_ado::EstadoTerminal &estado)> estado;

    void registrar(const QString &linea, bool recortar) const { registrarLineas({linea}, recortar); }
};

// Polling run (modo 0, log trimmed) or full retrieval (modo 1) over the
// terminals of one lane. One line per terminal; the count in it runs on
// across terminals, in `total` across the lanes of one run when given.
void LeerTerminales(const MOD_comunicaciones_kora::Contexto &ctx, const QVector<TerminalRecord> &terminales,
                    const MOD_ado::CadenaConexion &cc, quint8 modo, const Salida &salida,
                    std::atomic<long> *total = nullptr, const Estado::Alertas &alertas = {});
// One terminal's download into `almacen`, then its status, its alert when
// one is due, and its lines.
void LeerTerminal(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &t,
                  MOD_ado::AlmacenMarcajes &almacen, quint8 modo, std::atomic<long> &total, const Salida &salida,
                  const Estado::Alertas &alertas = {});

// How a terminal is named in the lines of manual commands: its address when
// it is on the network, its description otherwise.
QString NombreEnLineas(const TerminalRecord &t);

// Scheduled clock change: the same moment to every terminal.
void CambioHora(const MOD_comunicaciones_kora::Contexto &ctx, const QVector<TerminalRecord> &terminales,
                const QDateTime &horaEnvio, const Salida &salida);

// Manual commands on one terminal; `texto` is the terminal text of the lines.
void EnviarHora(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal, const QString &texto,
                const Salida &salida);
void LeerHora(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal, const QString &texto,
              const Salida &salida);
void LeerIncidencias(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal, int primera,
                     int ultima, const Salida &salida);
// Sends the range, pausing pausaSegundos between sends, then secures it.
// 0 when the securing succeeded, 1 otherwise.
int Enviar_Incidencias(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal,
                       const std::array<QString, 100> &descripciones, int primera, int ultima, int pausaSegundos,
                       const Salida &salida);
// 0 when the terminal secured them, 1 otherwise.
int AsegurarIncidencias(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal,
                        const Salida &salida);

// "Terminal: <texto>  <time> <weekday>, <date>" from a clock answer: BCD
// bytes seconds, minutes, hours, weekday (1 = Monday), day, month, year.
QString TextoReloj(const QString &texto, const QByteArray &respuesta);
// The system's time format with seconds, without a time-zone name.
QString TextoHora(const QTime &hora);

} // namespace Trabajos
