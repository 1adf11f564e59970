#pragma once
// The unattended work shared by the window and the service: it owns the
// communications lanes, counts the polling period and checks the scheduled
// clock change. Both callers tick it once a second; neither needs a widget.

#include "shell/nucleo/trabajos.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <deque>
#include <functional>

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
    void TickCambioHora(const QDateTime &ahora);

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

    std::function<QVector<TerminalRecord>()> terminales_;
    Trabajador *trabajador_ = nullptr;
    bool rondaEnCurso_ = false;
    double periodo_ = 0; // minutes, as the last tick had it
    std::deque<std::function<void()>> rondas_; // runs waiting for the one in progress
};
