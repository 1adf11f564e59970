#include "shell/nucleo/ciclo.h"

#include "shell/nucleo/destino_base_datos.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/nucleo/trabajador.h"
#include "storage/estado_terminales.h"
#include "storage/mod_ado.h"

#include <QLocale>
#include <algorithm>
#include <cstdio>
#include <atomic>
#include <limits>

using namespace MOD_variables;

namespace {

// A minute as the schedule compares it: seconds dropped, the date kept. On
// the moment itself, so a wall time repeated when clocks go back stays apart.
QDateTime minuto(const QDateTime &momento)
{
    return momento.addMSecs(-(momento.time().msecsSinceStartOfDay() % 60000));
}

// The first clock read comes after the first polling run.
constexpr qint64 kPrimeraComprobacion = 60;
// A transition older than this is not owed to a terminal never given one.
constexpr qint64 kSegundosCambioDebido = 24 * 3600;
constexpr qint64 kSegundosReintento = 60;

} // namespace

Ciclo::Ciclo(std::function<QVector<TerminalRecord>()> terminales, QObject *parent)
    : QObject(parent), terminales_(std::move(terminales))
{
    trabajador_ = new Trabajador(Ajustes().Puertos, Ajustes().Simultaneos, this);
}

Ciclo::~Ciclo()
{
    // The lanes first: what they leave waiting of the terminals' status is then all there is.
    delete trabajador_;
    trabajador_ = nullptr;
    if (const QString e = MOD_ado::EscribirEstadosPendientes(CadenaConexion()); !e.isEmpty())
        std::fprintf(stderr, "%s\n",
                     qPrintable(Ahora() + QStringLiteral(", ERROR al guardar el estado de los terminales al salir: ") + e));
}

void Ciclo::Encolar(const QString &carril, Cuerpo cuerpo, std::function<void()> alTerminar)
{
    Trabajador *w = trabajador_;
    w->encolar(
        carril, Ajustes().TimeoutComunicaciones,
        [w, cuerpo = std::move(cuerpo)](const MOD_comunicaciones_kora::Contexto &ctx) { cuerpo(ctx, *w); },
        std::move(alTerminar));
}

void Ciclo::Encolar(const TerminalRecord &terminal, Cuerpo cuerpo, std::function<void()> alTerminar)
{
    Encolar(Trabajador::Carril(terminal), std::move(cuerpo), std::move(alTerminar));
}

void Ciclo::EncolarRonda(const QVector<TerminalRecord> &terminales, CuerpoRonda cuerpo,
                         std::function<void()> alTerminar)
{
    rondas_.push_back([this, terminales, cuerpo = std::move(cuerpo), alTerminar = std::move(alTerminar)] {
        // The terminals of each lane in table order; the lanes in the order of their first terminal.
        QStringList orden;
        QHash<QString, QVector<TerminalRecord>> porCarril;
        for (const TerminalRecord &t : terminales) {
            const QString c = Trabajador::Carril(t);
            if (!porCarril.contains(c))
                orden << c;
            porCarril[c] << t;
        }
        const auto fin = [this, alTerminar] {
            if (alTerminar)
                alTerminar();
            rondaEnCurso_ = false;
            SiguienteRonda();
        };
        if (orden.isEmpty()) {
            QMetaObject::invokeMethod(this, fin, Qt::QueuedConnection);
            return;
        }
        auto quedan = std::make_shared<qsizetype>(orden.size());
        for (const QString &c : orden)
            Encolar(
                c,
                [grupo = porCarril.value(c), cuerpo](const MOD_comunicaciones_kora::Contexto &ctx,
                                                     Trabajador &salida) { cuerpo(ctx, grupo, salida); },
                [quedan, fin] {
                    if (--*quedan == 0)
                        fin();
                });
    });
    SiguienteRonda();
}

void Ciclo::SiguienteRonda()
{
    if (rondaEnCurso_ || rondas_.empty())
        return;
    rondaEnCurso_ = true;
    const auto arrancar = std::move(rondas_.front());
    rondas_.pop_front();
    arrancar();
}

void Ciclo::AvisarSiSuperaPeriodo(const MOD_ado::CadenaConexion &cc, const QDateTime &inicio, const QDateTime &fin,
                                  double periodo)
{
    // Periods the run overlapped are not polled: said once per run, and kept
    // with the terminals' status so that --estado shows it too.
    const qint64 segundos = inicio.secsTo(fin);
    if (periodo <= 0 || segundos <= periodo * 60)
        return;
    MOD_ado::EstadoTerminal e;
    e.ultimoError = fin;
    e.motivo = QStringLiteral("la lectura de todos los terminales duró %1 s, más que su periodo de %2 min")
                   .arg(segundos)
                   .arg(QLocale(QLocale::Spanish).toString(periodo));
    trabajador_->registrar({{Ahora() + QStringLiteral(", ") + e.motivo}});
    trabajador_->encolar(QString::fromLatin1(MOD_ado::kClaveRonda), 0,
                         [cc, e](const MOD_comunicaciones_kora::Contexto &) {
                             MOD_ado::AlmacenMarcajes(cc).GuardarEstado(QString::fromLatin1(MOD_ado::kClaveRonda), e);
                         });
}

void Ciclo::TickLectura(double periodo)
{
    periodo_ = periodo;
    ++SegundosLectura;
    if (SegundosLectura >= 60) {
        if (periodo > 0 && MinutosLectura < std::numeric_limits<qint16>::max())
            ++MinutosLectura;
        SegundosLectura = 0;
    }
    // "Reached or passed", seconds included: a lowered period must not stop
    // polling, and a fractional one (0.5 = every 30 s) means what it says.
    // For a whole P this first holds on the tick that completes the minute.
    if (periodo > 0 && MinutosLectura + SegundosLectura / 60.0 >= periodo) {
        if (!LecturaEnCurso)
            LecturaMarcajes(true);
        MinutosLectura = 0;
        SegundosLectura = 0;
    }
}

void Ciclo::LecturaMarcajes(bool desdeTemporizador)
{
    if (LecturaEnCurso)
        return;
    LecturaEnCurso = true;
    emit lecturaEmpezada();
    const auto cc = CadenaConexion();
    auto total = std::make_shared<std::atomic<long>>(0); // one count for the whole run
    EncolarRonda(
        terminales_(),
        [cc, total, alertas = Ajustes().Alertas, espera = Ajustes().EsperaMuertos](
            const MOD_comunicaciones_kora::Contexto &ctx, const QVector<TerminalRecord> &terminales, Trabajador &salida) {
            Trabajos::LeerTerminales(ctx, terminales, cc, 0, salida, total.get(), alertas, espera);
        },
        [this, desdeTemporizador, cc, inicio = QDateTime::currentDateTime(), periodo = periodo_] {
            LecturaEnCurso = false;
            if (desdeTemporizador) {
                MinutosLectura = 0;
                AvisarSiSuperaPeriodo(cc, inicio, QDateTime::currentDateTime(), periodo);
            }
            emit lecturaTerminada();
        });
}

void Ciclo::TickCambioHora(const QDateTime &ahora)
{
    if (!Ajustes().CambioActivado)
        return;
    const QDateTime este = minuto(ahora);
    const QDateTime disparo = minuto(Ajustes().HoraCambio);
    if (este == disparo) {
        if (Ajustes().Reloj.cambioAutomatico) {
            const QDateTime transicion =
                Relojes::UltimaTransicion(QTimeZone::systemTimeZone(), disparo.toUTC().addSecs(kSegundosCambioDebido));
            if (transicion.isValid() && qAbs(transicion.secsTo(disparo)) <= kSegundosCambioDebido) {
                trabajador_->registrar(
                    {{Ahora() + QStringLiteral(", cambio de hora programado no enviado: con cambio_automatico=1 en "
                                               "[reloj] los terminales reciben la hora nueva en el cambio de horario "
                                               "del ") +
                      transicion.toLocalTime().toString(kFormatoFechaHora)}});
                DesarmarCambioHora();
                return;
            }
        }
        const auto terminales = terminales_();
        const QDateTime envio = Ajustes().HoraEnvio;
        EncolarRonda(terminales, [envio](const MOD_comunicaciones_kora::Contexto &ctx,
                                         const QVector<TerminalRecord> &grupo, Trabajador &salida) {
            Trabajos::CambioHora(ctx, grupo, envio, salida);
        });
        // Disarmed as soon as the pass is queued, so the next tick cannot queue it again.
        DesarmarCambioHora();
    } else if (este > disparo) {
        DesarmarCambioHora();
    }
}

void Ciclo::DesarmarCambioHora()
{
    if (const QString e = MOD_variables::DesarmarCambioHora(); !e.isEmpty())
        trabajador_->registrar({{Ahora() + QStringLiteral(", ") + e, Gravedad::Error}});
    emit cambioDesarmado();
}

void Ciclo::RecargarRelojes()
{
    relojes_ = MOD_ado::LeerRelojes(CadenaConexion());
    relojesLeidos_ = true;
}

QTimeZone Ciclo::ZonaDe(const QString &clave) const
{
    const QString id = relojes_.value(clave).zona;
    const QTimeZone zona(id.toUtf8());
    return !id.isEmpty() && zona.isValid() ? zona : QTimeZone::systemTimeZone();
}

Relojes::Opciones Ciclo::OpcionesReloj(const QString &clave) const
{
    return {Ajustes().Reloj, ZonaDe(clave), Reloj, Sincronizado, CadenaConexion(), sinSincroniaDicho_};
}

void Ciclo::EncolarReloj(const TerminalRecord &t, Cuerpo cuerpo, std::function<void()> alTerminar)
{
    const QString clave = ClaveTerminal(t);
    if (conTrabajoReloj_.contains(clave))
        return;
    conTrabajoReloj_.insert(clave);
    Encolar(t, std::move(cuerpo), [this, clave, alTerminar = std::move(alTerminar)] {
        conTrabajoReloj_.remove(clave);
        if (alTerminar)
            alTerminar();
    });
}

void Ciclo::TickRelojes()
{
    const auto &a = Ajustes().Reloj;
    if (a.comprobar <= 0 && !a.cambioAutomatico)
        return;
    const QDateTime ahora = Reloj();
    if (!relojesLeidos_)
        RecargarRelojes();
    const QVector<TerminalRecord> terminales = terminales_();
    if (a.cambioAutomatico)
        CambiosHorarios(terminales, ahora);
    if (a.comprobar <= 0)
        return;
    const qint64 periodo = qint64(a.comprobar) * 60;
    // A computer clock set back must not hold the reads off for as long.
    if (!proximaComprobacion_.isValid() || ahora.secsTo(proximaComprobacion_) > std::max(periodo, kPrimeraComprobacion))
        proximaComprobacion_ = ahora.addSecs(kPrimeraComprobacion);
    if (ahora < proximaComprobacion_)
        return;
    proximaComprobacion_ = ahora.addSecs(periodo);
    for (const TerminalRecord &t : terminales) {
        const QString clave = ClaveTerminal(t);
        const bool pendiente = a.cambioAutomatico && CambioDebido(clave, ahora).isValid();
        EncolarReloj(t, [t, pendiente, o = OpcionesReloj(clave)](const MOD_comunicaciones_kora::Contexto &ctx,
                                                                  Trabajador &salida) {
            Relojes::Comprobar(ctx, t, o, pendiente, salida);
        });
    }
}

QDateTime Ciclo::CambioDebido(const QString &clave, const QDateTime &ahora) const
{
    const QDateTime transicion = Relojes::UltimaTransicion(ZonaDe(clave), ahora);
    const QDateTime dado = relojes_.value(clave).cambioHorario;
    if (!transicion.isValid() || (dado.isValid() && dado >= transicion))
        return {};
    return transicion;
}

void Ciclo::CambiosHorarios(const QVector<TerminalRecord> &terminales, const QDateTime &ahora)
{
    for (const TerminalRecord &t : terminales) {
        const QString clave = ClaveTerminal(t);
        const QDateTime transicion = CambioDebido(clave, ahora);
        if (!transicion.isValid() || conTrabajoReloj_.contains(clave)
            || (reintento_.contains(clave) && ahora < reintento_.value(clave)))
            continue;
        if (!relojes_.value(clave).cambioHorario.isValid() && transicion.secsTo(ahora) > kSegundosCambioDebido) {
            relojes_[clave].cambioHorario = transicion;
            MOD_ado::AnotarCambioHorario(CadenaConexion(), clave, transicion);
            continue;
        }
        const bool avisar = falloDicho_.value(clave) != transicion;
        auto ok = std::make_shared<bool>(false);
        EncolarReloj(
            t,
            [t, transicion, avisar, ok, o = OpcionesReloj(clave)](const MOD_comunicaciones_kora::Contexto &ctx,
                                                                   Trabajador &salida) {
                *ok = Relojes::CambiarHorario(ctx, t, o, transicion, avisar, salida);
            },
            [this, clave, transicion, ok] {
                if (*ok) {
                    relojes_[clave].cambioHorario = transicion;
                    reintento_.remove(clave);
                } else {
                    falloDicho_.insert(clave, transicion);
                    reintento_.insert(clave, Reloj().addSecs(kSegundosReintento));
                }
            });
    }
}
