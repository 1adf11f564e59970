#include "shell/nucleo/trabajos.h"

#include "shell/nucleo/destino_base_datos.h"
#include "shell/nucleo/registro.h"
#include "shell/nucleo/trabajador.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QScopeGuard>
#include <mutex>
#include <optional>

using namespace MOD_comunicaciones_kora;

namespace Trabajos {

namespace {

// Another collector holding a terminal this long is worth an error line.
constexpr qint64 kMinutosTomadoPorOtro = 5;

} // namespace

QString Motivo(const Contexto &ctx)
{
    return ctx.motivo.isEmpty() ? QString() : QStringLiteral(" [") + ctx.motivo + QStringLiteral("]");
}

QString NombreEnLineas(const TerminalRecord &t)
{
    return t.Tipo == 2 && !t.IP.trimmed().isEmpty() ? t.IP : t.descripcion;
}

void LeerTerminales(const Contexto &ctx, const QVector<TerminalRecord> &terminales, const MOD_ado::CadenaConexion &cc,
                    quint8 modo, Trabajador &salida, std::atomic<long> *total, const Estado::Alertas &alertas,
                    int esperaMuertos)
{
    // Failed runs in a row, and runs skipped since the last try, by terminal.
    struct Muerto {
        int fallos = 0, saltadas = 0;
    };
    static std::mutex mutexMuertos;
    static QHash<QString, Muerto> muertos;
    const bool espera = esperaMuertos > 0 && modo == 0;
    std::atomic<long> propio{0};
    // Kept by the lane's thread from run to run: its connection (on a server,
    // a login with its prepared statements) serves every terminal and run.
    std::unique_ptr<MOD_ado::AlmacenMarcajes> propioAlmacen;
    std::unique_ptr<MOD_ado::AlmacenMarcajes> &delHilo =
        Trabajador::AlmacenDelHilo() ? *Trabajador::AlmacenDelHilo() : propioAlmacen;
    if (!delHilo || delHilo->cadena().RutaBaseDatos != cc.RutaBaseDatos
        || delHilo->cadena().ClaveBaseDatos != cc.ClaveBaseDatos)
        delHilo = std::make_unique<MOD_ado::AlmacenMarcajes>(cc);
    MOD_ado::AlmacenMarcajes &almacen = *delHilo;
    for (const TerminalRecord &t : terminales) {
        if (ctx.cancelado())
            return;
        const QString clave = ClaveTerminal(t);
        if (espera) {
            const std::lock_guard bloqueo(mutexMuertos);
            Muerto &m = muertos[clave];
            if (m.fallos >= esperaMuertos && ++m.saltadas % esperaMuertos != 0)
                continue;
        }
        const bool responde = LeerTerminal(ctx, t, almacen, modo, total ? *total : propio, salida, alertas);
        if (espera) {
            const std::lock_guard bloqueo(mutexMuertos);
            Muerto &m = muertos[clave];
            if (responde)
                m = {};
            else if (++m.fallos == esperaMuertos)
                salida.registrar({{Ahora() + QStringLiteral(", terminal ") + t.descripcion +
                                   QStringLiteral(" sin respuesta en %1 lecturas seguidas: se intentará en una de "
                                                  "cada %1 hasta que responda")
                                       .arg(esperaMuertos)}},
                                 true);
        }
    }
}

bool LeerTerminal(const Contexto &ctx, const TerminalRecord &t, MOD_ado::AlmacenMarcajes &almacen, quint8 modo,
                  std::atomic<long> &total, Trabajador &salida, const Estado::Alertas &alertas)
{
    const bool completa = modo == 1;
    long contador = 0;
    const auto aviso = [&](const ProgresoDescarga &p) {
        if (p.pasos < p.pasosTotal)
            salida.informar(QStringLiteral("Situando el puntero de lectura de %1").arg(t.descripcion), p.pasos,
                            p.pasosTotal);
        else
            salida.informar(
                QStringLiteral("Leyendo %1: %2 marcajes grabados").arg(t.descripcion).arg(total + contador),
                p.posiciones, completa ? kPosicionesAnillo : 0);
    };
    // Another collector on the same database reading this terminal now would
    // move its read pointer under this download.
    const QString clave = ClaveTerminal(t);
    // Since when another collector has held each terminal, so that one held
    // for long (a collector that vanished with its lock) stands out.
    static std::mutex mutexTomados;
    static QHash<QString, QDateTime> tomadosPorOtro;
    const bool tomado = almacen.TomarTerminal(clave);
    QDateTime desde;
    {
        const std::lock_guard bloqueo(mutexTomados);
        if (tomado)
            tomadosPorOtro.remove(clave);
        else
            desde = tomadosPorOtro.contains(clave) ? tomadosPorOtro.value(clave)
                                                   : *tomadosPorOtro.insert(clave, QDateTime::currentDateTime());
    }
    if (!tomado) {
        const qint64 minutos = desde.secsTo(QDateTime::currentDateTime()) / 60;
        salida.registrar({{Ahora() + QStringLiteral(", terminal ") + t.descripcion +
                               QStringLiteral(" leído ahora por otro programa con la misma base de datos") +
                               (minutos >= kMinutosTomadoPorOtro
                                    ? QStringLiteral(" (desde hace %1 min; si ese programa ya no funciona, el "
                                                     "servidor lo suelta al notar que su conexión se cortó)")
                                          .arg(minutos)
                                    : QString()),
                           minutos >= kMinutosTomadoPorOtro ? Gravedad::Error : Gravedad::Informacion}},
                         !completa);
        return true; // not this collector's to judge
    }
    const auto soltar = qScopeGuard([&] { almacen.SoltarTerminal(clave); });
    const MOD_ado::EstadoTerminal antes = almacen.Estado(clave).value_or(MOD_ado::EstadoTerminal{});
    aviso({});
    QElapsedTimer ultimoAviso;
    ultimoAviso.start();
    QString errorBaseDatos, continuidad;
    int pendientes = -1;
    DestinoBaseDatos destino(almacen, t);
    const quint8 estado = LeerMarcajes(ctx, t, destino, contador, modo, &errorBaseDatos,
                                       [&](const ProgresoDescarga &p) {
                                           pendientes = p.pendientes;
                                           if (continuidad.isEmpty() && !p.continuidadPerdida.isEmpty()) {
                                               // Said at once: reading a whole ring takes a while.
                                               continuidad = p.continuidadPerdida;
                                               salida.registrar(
                                                   {{Ahora() + QStringLiteral(", terminal ") + t.descripcion +
                                                     QStringLiteral(": continuidad perdida (") + continuidad +
                                                     QStringLiteral("), se leen todos los marcajes")}},
                                                   !completa);
                                           }
                                           // Throttled: a fast download must not flood the window.
                                           if (ultimoAviso.elapsed() >= 100) {
                                               ultimoAviso.restart();
                                               aviso(p);
                                           }
                                       });
    Estado::Aviso alerta = Estado::Aviso::Ninguno;
    MOD_ado::EstadoTerminal nuevo =
        Estado::Siguiente(antes, {estado == 0, ctx.motivo, errorBaseDatos, contador, pendientes, continuidad},
                          QDateTime::currentDateTime(), alertas, &alerta);
    if (ctx.cancelado()) {
        total += contador;
        return true; // closing: the punches stored so far are committed, nothing to report
    }
    LineasRegistro lineas;
    for (const QString &a : destino.apartados())
        lineas.append({Ahora() + QStringLiteral(", marcaje rechazado por la base de datos, terminal ") +
                           t.descripcion + QStringLiteral(": ") + a,
                       Gravedad::Error});
    std::optional<LineaRegistro> lineaAlerta;
    if (alerta != Estado::Aviso::Ninguno) {
        const QString e = Estado::EjecutarAlerta(alertas, alerta, t, nuevo.motivo);
        if (!e.isEmpty())
            nuevo.alertado = alerta != Estado::Aviso::Fallo; // not sent: tried again at the next run
        if (!e.isEmpty())
            lineaAlerta = {Ahora() + QStringLiteral(", error al ejecutar la orden de alerta, terminal ") +
                               t.descripcion + QStringLiteral(": ") + e,
                           Gravedad::Error};
        else if (alerta == Estado::Aviso::Fallo)
            lineaAlerta = {Ahora() + QStringLiteral(", alerta enviada, terminal ") + t.descripcion +
                           QStringLiteral(" sin respuesta desde el ") +
                           nuevo.fallandoDesde.toString(kFormatoFechaHora)};
        else
            lineaAlerta = {Ahora() + QStringLiteral(", alerta enviada, terminal ") + t.descripcion +
                           QStringLiteral(" responde de nuevo")};
    }
    {
        // The count is taken and its line sent in one step: across lanes, lines
        // then come in the order of their counts.
        static std::mutex orden;
        const std::lock_guard bloqueo(orden);
        const long hastaAqui = total += contador;
        if (estado != 0)
            lineas.append({Ahora() + QStringLiteral(", error en comunicaciones, terminal ") + t.descripcion +
                               Motivo(ctx),
                           Gravedad::Error});
        else if (!errorBaseDatos.isEmpty())
            lineas.append({Ahora() + QStringLiteral(", error en base de datos, terminal ") + t.descripcion +
                               QStringLiteral(": ") + errorBaseDatos,
                           Gravedad::Error});
        else
            lineas.append({Ahora() + QStringLiteral(", OK, ") + t.descripcion + QStringLiteral(" (marcajes leídos: ") +
                           QString::number(hastaAqui) + QStringLiteral(")")});
        if (lineaAlerta)
            lineas.append(*lineaAlerta);
        salida.registrar(lineas, !completa);
    }
    almacen.GuardarEstado(clave, nuevo);
    salida.informarEstado(clave, nuevo);
    return estado == 0;
}

void CambioHora(const Contexto &ctx, const QVector<TerminalRecord> &terminales, const QDateTime &horaEnvio,
                Trabajador &salida)
{
    for (const TerminalRecord &t : terminales) {
        if (ctx.cancelado())
            return;
        const bool ok = EnviarFechaHora(ctx, t, horaEnvio);
        if (ctx.cancelado())
            return;
        salida.registrar({LineaDeResultado(
            ok, (ok ? QStringLiteral("OK, fecha/hora enviada, ") : QStringLiteral("ERROR al enviar fecha/hora, ")) +
                    Ahora() + QStringLiteral(", ") + t.descripcion + (ok ? QString() : Motivo(ctx)))});
    }
}

void EnviarHora(const Contexto &ctx, const TerminalRecord &terminal, const QString &texto, Trabajador &salida)
{
    // The computer's clock as it is when the command runs, not when it was queued.
    const bool ok = EnviarFechaHora(ctx, terminal, QDateTime::currentDateTime());
    if (ctx.cancelado())
        return;
    salida.registrar({LineaDeResultado(ok, ok ? QStringLiteral("OK, Fecha/Hora enviada al terminal ") + texto
                                              : ErrorComunicaciones + texto + Motivo(ctx))});
}

void LeerHora(const Contexto &ctx, const TerminalRecord &terminal, const QString &texto, Trabajador &salida)
{
    QByteArray respuesta(31, 0);
    const bool ok = LeerFechaHora(ctx, terminal, respuesta) == 0;
    if (ctx.cancelado())
        return;
    salida.registrar(
        {LineaDeResultado(ok, ok ? TextoReloj(texto, respuesta) : ErrorComunicaciones + texto + Motivo(ctx))});
}

void LeerIncidencias(const Contexto &ctx, const TerminalRecord &terminal, int primera, int ultima,
                     Trabajador &salida)
{
    for (int n = primera; n <= ultima; ++n) {
        if (ctx.cancelado())
            return;
        QByteArray respuesta(31, 0);
        const bool ok = LeerIncidencia(ctx, terminal, n, respuesta) == 0;
        if (ctx.cancelado())
            return;
        salida.registrar({LineaDeResultado(
            ok, ok ? QStringLiteral("INCIDENCIA %1: ").arg(n) + TextoIncidencia(respuesta.left(16)).trimmed()
                   : QStringLiteral("ERROR AL LEER INCIDENCIA ") + QString::number(n) + Motivo(ctx))});
    }
}

int Enviar_Incidencias(const Contexto &ctx, const TerminalRecord &terminal,
                       const std::array<QString, 100> &descripciones, int primera, int ultima, int pausaSegundos,
                       Trabajador &salida)
{
    for (int n = primera; n <= ultima; ++n) {
        if (ctx.cancelado())
            return 1;
        // Only a range typed without leaving its box can fall outside the catalogue.
        const QString texto = n >= 0 && n < int(descripciones.size()) ? descripciones[n] : QString();
        const bool ok = EnviarIncidencia(ctx, terminal, n, true, texto) == 0;
        if (ctx.cancelado())
            return 1;
        salida.registrar({LineaDeResultado(
            ok, ok ? QStringLiteral("OK, INCIDENCIA ENVIADA (%1 - ").arg(n) + texto.trimmed() + QStringLiteral(")")
                   : QStringLiteral("ERROR, INCIDENCIA %1: ").arg(n) + texto.trimmed() + Motivo(ctx))});
        // Some terminals need time to store a slot before the next write.
        if (pausaSegundos > 0 && !salida.pausar(pausaSegundos * 1000))
            return 1;
    }
    return AsegurarIncidencias(ctx, terminal, salida);
}

int AsegurarIncidencias(const Contexto &ctx, const TerminalRecord &terminal, Trabajador &salida)
{
    const bool ok = MOD_comunicaciones_kora::AsegurarIncidencias(ctx, terminal) == 0;
    if (ctx.cancelado())
        return 1;
    salida.registrar({LineaDeResultado(ok, ok ? QStringLiteral("OK, INCIDENCIAS ASEGURADAS ")
                                              : QStringLiteral("ERROR, INCIDENCIAS ASEGURADAS ") + Motivo(ctx))});
    return ok ? 0 : 1;
}

QString TextoHora(const QTime &hora)
{
    // The long format may carry a time-zone name ('t'); a terminal's clock has none.
    const QString formato = QLocale::system().timeFormat(QLocale::LongFormat);
    QString sinZona;
    bool citado = false;
    for (const QChar c : formato) {
        if (c == u'\'')
            citado = !citado;
        if (!citado && c == u't')
            continue;
        sinZona += c;
    }
    sinZona.remove(QStringLiteral("()")); // "H:mm:ss (t)"
    sinZona = sinZona.trimmed();
    if (!sinZona.contains(u's'))
        sinZona = QStringLiteral("HH:mm:ss");
    return QLocale::system().toString(hora, sinZona);
}

QString TextoReloj(const QString &texto, const QByteArray &respuesta)
{
    static const char *const dias[] = {"Lunes", "Martes", "Miércoles", "Jueves", "Viernes", "Sábado", "Domingo"};
    const auto campo = [&](int i) { return DesdeBcd(i < respuesta.size() ? quint8(respuesta[i]) : 0); };
    // Out-of-range values roll over into the next unit, as the date does.
    const QTime hora = QTime(0, 0).addSecs(qint64(campo(2)) * 3600 + campo(1) * 60 + campo(0));
    const QDate fecha = ComponerFecha(campo(6), campo(5), campo(4));
    const int diaSemana = respuesta.size() > 3 ? quint8(respuesta[3]) : 0;
    const QString nombre = diaSemana >= 1 && diaSemana <= 7 ? QString::fromUtf8(dias[diaSemana - 1]) : QStringLiteral("?");
    return QStringLiteral("Terminal: ") + texto + QStringLiteral(" ") + QStringLiteral(" ") + TextoHora(hora) +
           QStringLiteral(" ") + nombre + QStringLiteral(", ") + QLocale::system().toString(fecha, QLocale::ShortFormat);
}

} // namespace Trabajos
