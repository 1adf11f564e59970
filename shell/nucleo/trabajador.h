#pragma once
// The communications lanes. A lane is one serial port with every terminal on
// its bus, or one Ethernet terminal; its jobs run one at a time, in the order
// queued, on a thread that owns the lane's serial port and TCP socket. Lanes
// run in parallel, at most `simultaneos` at once. The window queues jobs and
// hears back through queued signals, so it never waits on a terminal.

#include "commands/mod_comunicaciones_kora.h"
#include "shell/nucleo/registro.h"
#include "storage/estado_terminales.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class Trabajador : public QObject {
    Q_OBJECT
public:
    // Runs on a lane's thread; gets the lane's transports and the timeout
    // given when it was queued. Everything else it needs is captured by copy.
    using Trabajo = std::function<void(const MOD_comunicaciones_kora::Contexto &)>;

    // mapaPuertos: port number -> device ([puertos] comN of config.ini).
    Trabajador(const QHash<int, QString> &mapaPuertos, int simultaneos, QObject *parent = nullptr);
    // Stops every lane (see detener); a job that cannot be stopped in time ends the process.
    ~Trabajador() override;

    // The lane a terminal's exchanges go through.
    static QString Carril(const TerminalRecord &t);

    // From the window's thread. alTerminar runs on the window's thread after
    // every line of the job has been delivered.
    void encolar(const QString &carril, qint16 timeoutComunicaciones, Trabajo trabajo,
                 std::function<void()> alTerminar = {});

    // For jobs, from a lane's thread: log lines (recortarLog: keep the log
    // short, as the polling run does), status-bar progress, a terminal's
    // status after its download (by ClaveTerminal).
    void registrar(const LineasRegistro &nuevas, bool recortarLog = false);
    void informar(const QString &texto, int valor = 0, int maximo = 0);
    void informarEstado(const QString &clave, const MOD_ado::EstadoTerminal &estado);
    // Sleeps up to ms; returns false at once when the lanes are being stopped.
    bool pausar(int ms);
    bool cancelado() const { return cancelar_.load(); }

    // For a job, on a lane thread: the punch store that thread keeps from run
    // to run, with its database connection; destroyed on that thread before
    // it ends (a connection must be). It holds null until a job puts one
    // there; nullptr outside a lane thread.
    static std::unique_ptr<MOD_ado::AlmacenMarcajes> *AlmacenDelHilo();

    // Sets the cancel flag and waits up to ms for every lane to end. True
    // when they ended; afterwards no job runs any more.
    bool detener(int ms);
    // The program's way out: stops the lanes and, when a job is stuck where
    // it cannot see the flag (a TCP connect), ends the process at once with
    // kSalidaForzada. Nothing is lost: every punch stored so far is committed.
    void detenerOSalir(int ms);
    // Not a clean end, a job was abandoned: a test that ends this way fails.
    static constexpr int kSalidaForzada = 3;

signals:
    // Log lines for List1, in order; with recortarLog the oldest line goes
    // first, for each of them, when the log holds more than 100.
    void lineas(const LineasRegistro &lineas, bool recortarLog);
    // Progress for the status bar: maximo 0 means no bar; an empty text clears it.
    void progreso(const QString &texto, int valor, int maximo);
    // A terminal's status after a download (by ClaveTerminal), after its lines.
    void estadoTerminal(const QString &clave, const MOD_ado::EstadoTerminal &estado);

private:
    struct Pendiente {
        qint16 timeout;
        Trabajo trabajo;
        std::function<void()> alTerminar;
    };
    // A lane thread: serves ready lanes one after the other, waits for more
    // until the lanes are stopped.
    void bucle();
    void servir(const QString &carril);

    const QHash<int, QString> mapa_;
    const int simultaneos_;
    Cancelacion cancelar_{false};
    std::mutex mutex_;
    std::condition_variable aviso_;
    std::condition_variable hayTrabajo_; // a lane in listos_, or cancelar_
    // Lanes with work: served by a thread, or waiting for one in listos_.
    QHash<QString, std::deque<Pendiente>> carriles_;
    std::deque<QString> listos_;
    int hilosVivos_ = 0;
    int hilosLibres_ = 0; // waiting in bucle() for a lane
    std::vector<QThread *> hilos_; // window's thread only
};
