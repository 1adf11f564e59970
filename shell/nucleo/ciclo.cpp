#include "shell/nucleo/ciclo.h"

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
