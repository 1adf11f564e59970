#pragma once
// The unattended work shared by the window and the service: it owns the
// communications lanes, counts the polling period and checks the scheduled
// clock change. Both callers tick it once a second; neither needs a widget.

#include "shell/nucleo/relojes.h"
#include "shell/nucleo/sincronia.h"
#include "shell/nucleo/trabajos.h"
#include "storage/estado_terminales.h"

#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>

class Trabajador;

class Ciclo : public QObject {
    Q_OBJECT
public:
    // A job's body: its lane's transports, and the lanes, which take its
    // lines, progress and terminal status.
    using Cuerpo = std::function<void(const MOD_comunicaciones_kora::Contexto &, Trabajador &)>;
    // The part of a run that falls to one lane: its terminals, in table order.
    using CuerpoRonda = std::function<void(const MOD_comunicaciones_kora::Contexto &, const QVector<TerminalRecord> &,
                                           Trabajador &)>;

    // terminales gives the terminal table as its owner (the window or the
    // service) holds it now; each run works on a copy.
    explicit Ciclo(std::function<QVector<TerminalRecord>()> terminales, QObject *parent = nullptr);
    ~Ciclo() override;

    // One second of the polling clock with period P minutes (may be
    // fractional; not positive = no automatic run). The run starts once the
    // time counted reaches or passes P.
    void TickLectura(double periodo);
    // One second of the schedule clock: at the trigger minute the pass over
    // every terminal is queued and the schedule disarmed; a trigger already
    // passed disarms it without sending.
    // With the automatic change on ([reloj] cambio_automatico), a trigger
    // within a day of a transition of the computer's zone disarms without
    // sending: the automatic change sets the clocks at that transition.
    void TickCambioHora(const QDateTime &ahora);

    // One second of the clock watch, on the clock below: every [reloj]
    // comprobar minutes (the first a minute after start, after the first
    // polling run) each terminal's clock is read, as a job of its own on its
    // lane; with cambio_automatico, each terminal not yet given the last
    // transition of its zone gets the new time, and one that did not take it
    // is tried again a minute later. A terminal never given one is owed only
    // a transition of the last day: an older one is noted as given.
    void TickRelojes();
    // The terminals' zones read again (after the editor stored one).
    void RecargarRelojes();
    // The computer's clock (UTC) and whether it is synchronised, for the
    // clock watch and the automatic change; tests replace them.
    std::function<QDateTime()> Reloj = [] { return QDateTime::currentDateTimeUtc(); };
    std::function<std::optional<bool>()> Sincronizado = Sincronia::RelojDelEquipo;
    // Terminals with a clock job queued or running.
    qsizetype TrabajosDeReloj() const { return conTrabajoReloj_.size(); }

    // The polling run over every terminal, unless one is in progress. From the
    // timer, its end restarts the minute counter.
    void LecturaMarcajes(bool desdeTemporizador);

    // Queues a job on a terminal's lane with a copy of the communications timeout.
    void Encolar(const TerminalRecord &terminal, Cuerpo cuerpo, std::function<void()> alTerminar = {});
    // A run over terminales, split by lane; alTerminar runs once every lane
    // has done its part. Runs never overlap: a run waits for the one before.
    void EncolarRonda(const QVector<TerminalRecord> &terminales, CuerpoRonda cuerpo,
                      std::function<void()> alTerminar = {});


    // Log lines, progress and each terminal's status come from here.
    Trabajador *trabajador() const { return trabajador_; }

    // The polling clock: seconds and whole minutes counted towards the
    // period, and whether a polling run is in progress (it guards the run
    // against itself only).
    qint16 SegundosLectura = 0;
    qint16 MinutosLectura = 0;
    bool LecturaEnCurso = false;

signals:
    void lecturaEmpezada();
    void lecturaTerminada();
    // lecturaEmpezada comes before the run copies the terminal table, so a
    // listener may reload it.
    // The schedule was disarmed and activada stored as False.
    void cambioDesarmado();

private:
    void Encolar(const QString &carril, Cuerpo cuerpo, std::function<void()> alTerminar);
    void SiguienteRonda();
    void DesarmarCambioHora();
    void AvisarSiSuperaPeriodo(const MOD_ado::CadenaConexion &cc, const QDateTime &inicio, const QDateTime &fin,
                               double periodo);
    void CambiosHorarios(const QVector<TerminalRecord> &terminales, const QDateTime &ahora);
    // The transition owed to the terminal now, or null.
    QDateTime CambioDebido(const QString &clave, const QDateTime &ahora) const;
    // The terminal's zone: its own, or the computer's.
    QTimeZone ZonaDe(const QString &clave) const;
    Relojes::Opciones OpcionesReloj(const QString &clave) const;
    // Queues a clock job unless one is waiting for this terminal already.
    void EncolarReloj(const TerminalRecord &t, Cuerpo cuerpo, std::function<void()> alTerminar = {});

    std::function<QVector<TerminalRecord>()> terminales_;
    Trabajador *trabajador_ = nullptr;
    bool rondaEnCurso_ = false;
    double periodo_ = 0; // minutes, as the last tick had it
    std::deque<std::function<void()>> rondas_; // runs waiting for the one in progress

    // The clock watch, by ClaveTerminal.
    QHash<QString, MOD_ado::RelojTerminal> relojes_;
    bool relojesLeidos_ = false;
    QSet<QString> conTrabajoReloj_;              // a clock job is queued or running
    QHash<QString, QDateTime> reintento_;        // a change not taken: not before then
    QHash<QString, QDateTime> falloDicho_;       // the transition whose failure was logged
    QDateTime proximaComprobacion_;
    std::shared_ptr<std::atomic<bool>> sinSincroniaDicho_ = std::make_shared<std::atomic<bool>>(false);
};
