#include "shell/nucleo/relojes.h"

#include "shell/nucleo/destino_base_datos.h"
#include "shell/nucleo/registro.h"
#include "shell/nucleo/trabajador.h"
#include "shell/nucleo/trabajos.h"
#include "storage/estado_terminales.h"

#include <limits>

using namespace MOD_comunicaciones_kora;

namespace Relojes {

namespace {

// After a transition the site may still be setting its clocks its own way.
constexpr qint64 kSegundosTrasCambio = 3600;

// Sends the zone's time at the next whole second, waiting for it: a clock
// takes whole seconds, so the terminal starts that second on time.
bool enviarHora(const Contexto &ctx, const TerminalRecord &t, const Opciones &o, Trabajador &salida,
                QDateTime &enviada)
{
    const QDateTime ahora = o.ahora();
    const int resto = ahora.time().msec();
    if (resto > 0 && !salida.pausar(1000 - resto))
        return false;
    enviada = HoraDePared(o.zona, ahora.addMSecs(resto > 0 ? 1000 - resto : 0));
    return EnviarFechaHora(ctx, t, enviada);
}

} // namespace

QDateTime HoraDePared(const QTimeZone &zona, const QDateTime &utc)
{
    const QDateTime local = utc.toTimeZone(zona);
    return QDateTime(local.date(), local.time(), QTimeZone::utc());
}

QDateTime UltimaTransicion(const QTimeZone &zona, const QDateTime &utc)
{
    if (!zona.hasTransitions())
        return {};
    return zona.previousTransition(utc.addMSecs(1)).atUtc; // strictly before its argument
}

QString TextoDesfase(qint64 segundos, bool pasado)
{
    if (segundos == 0)
        return QStringLiteral("en hora");
    const QString verbo = segundos > 0 ? QStringLiteral("adelanta") : QStringLiteral("atrasa");
    return verbo + (pasado ? QStringLiteral("ba") : QString()) + QStringLiteral(" %1 s").arg(qAbs(segundos));
}

void Comprobar(const Contexto &ctx, const TerminalRecord &t, const Opciones &o, bool cambioPendiente,
               Trabajador &salida)
{
    QByteArray respuesta(31, 0);
    if (LeerFechaHora(ctx, t, respuesta) != 0 || ctx.cancelado())
        return;
    const QDateTime ahora = o.ahora();
    const QDateTime suya = HoraDelReloj(respuesta);
    if (!suya.isValid())
        return;
    // Whole seconds on both sides, as each clock shows them.
    const QDateTime nuestra = HoraDePared(o.zona, ahora);
    const qint64 desfase = nuestra.addMSecs(-nuestra.time().msec()).secsTo(suya);
    const QString cabeza = Ahora() + QStringLiteral(", ");

    LineasRegistro lineas;
    bool corregido = false;
    const qint64 margen = qAbs(desfase);
    const auto &a = o.ajustes;
    if (a.corregir > 0 && margen > a.corregir && !cambioPendiente) {
        const QDateTime transicion = UltimaTransicion(o.zona, ahora);
        const std::optional<bool> sincronizado = a.soloSincronizado ? o.sincronizado() : std::optional(true);
        if (sincronizado != true) {
            if (!o.sinSincroniaDicho->exchange(true))
                lineas.append({cabeza + (sincronizado ? QStringLiteral("el reloj de este equipo no está sincronizado")
                                                      : QStringLiteral("no se puede saber si el reloj de este equipo "
                                                                       "está sincronizado")) +
                                   QStringLiteral(": no se corrigen los relojes de los terminales (con "
                                                  "solo_sincronizado=0 en [reloj] de config.ini se corrigen "
                                                  "igualmente)"),
                               Gravedad::Error});
        } else if (margen > qint64(a.maximo) * 60) {
            lineas.append({cabeza + QStringLiteral("reloj no corregido, terminal %1 (%2, más de %3 min): corríjalo "
                                                   "con «Enviar...»")
                                        .arg(t.descripcion, TextoDesfase(desfase))
                                        .arg(a.maximo),
                           Gravedad::Error});
        } else if (!a.cambioAutomatico && transicion.isValid() && transicion.secsTo(ahora) < kSegundosTrasCambio) {
            lineas.append({cabeza + QStringLiteral("reloj no corregido, terminal %1 (%2): el horario acaba de cambiar")
                                        .arg(t.descripcion, TextoDesfase(desfase))});
        } else {
            QDateTime enviada;
            corregido = enviarHora(ctx, t, o, salida, enviada);
            if (ctx.cancelado())
                return;
            lineas.append(LineaDeResultado(
                corregido, cabeza +
                               (corregido ? QStringLiteral("reloj corregido, terminal ")
                                          : QStringLiteral("error al corregir el reloj, terminal ")) +
                               t.descripcion + QStringLiteral(" (") + TextoDesfase(desfase, true) + u')' +
                               (corregido ? QString() : Trabajos::Motivo(ctx))));
        }
        if (sincronizado == true)
            o.sinSincroniaDicho->store(false); // a later loss is said again
    }

    // Kept only where the status is: a database without the program's
    // tables would give a status with nothing else in it.
    MOD_ado::AlmacenMarcajes almacen(o.cc);
    const QString clave = ClaveTerminal(t);
    MOD_ado::EstadoTerminal e = almacen.Estado(clave).value_or(MOD_ado::EstadoTerminal{});
    e.relojLeido = ahora.toLocalTime();
    e.desfase = int(std::clamp<qint64>(desfase, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    if (corregido)
        e.relojCorregido = e.relojLeido;
    const bool guardado = almacen.GuardarEstado(clave, e);
    if (!lineas.isEmpty())
        salida.registrar(lineas);
    if (guardado)
        salida.informarEstado(clave, e);
}

bool CambiarHorario(const Contexto &ctx, const TerminalRecord &t, const Opciones &o, const QDateTime &transicion,
                    bool avisarFallo, Trabajador &salida)
{
    QDateTime enviada;
    const bool ok = enviarHora(ctx, t, o, salida, enviada);
    if (ctx.cancelado())
        return false;
    if (ok) {
        // Where it cannot be noted (Access) the cycle remembers it until the program ends.
        MOD_ado::AnotarCambioHorario(o.cc, ClaveTerminal(t), transicion);
        salida.registrar({{Ahora() + QStringLiteral(", cambio de horario enviado, terminal ") + t.descripcion +
                           QStringLiteral(" (") + enviada.toString(kFormatoFechaHora) + u')'}});
    } else if (avisarFallo) {
        salida.registrar({{Ahora() + QStringLiteral(", error al enviar el cambio de horario, terminal ") +
                               t.descripcion + Trabajos::Motivo(ctx) + QStringLiteral(": se envía en cuanto responda"),
                           Gravedad::Error}});
    }
    return ok;
}

} // namespace Relojes
