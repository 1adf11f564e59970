#pragma once
// The communications worker: one thread that owns the serial port and the TCP
// socket and runs every terminal operation, one at a time, in the order queued.
// The window queues jobs and hears back through queued signals, so it never
// waits on a terminal and two exchanges never overlap.

#include "mod_comunicaciones_kora.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class Trabajador : public QObject {
    Q_OBJECT
public:
    // Runs on the worker thread; gets the shared transports and the timeout
    // given when it was queued. Everything else it needs is captured by copy.
    using Trabajo = std::function<void(const MOD_comunicaciones_kora::Contexto &)>;

    // mapaPuertos: port number -> device ([puertos] comN of config.ini).
    explicit Trabajador(const QHash<int, QString> &mapaPuertos, QObject *parent = nullptr);
    // Stops the thread (see detener); a job that cannot be stopped in time ends the process.
    ~Trabajador() override;

    // From the window's thread. alTerminar runs on the window's thread after
    // every line of the job has been delivered.
    void encolar(qint16 timeoutComunicaciones, Trabajo trabajo, std::function<void()> alTerminar = {});

    // For jobs, from the worker thread.
    void registrar(const QString &linea, bool recortarLog = false);
    void informar(const QString &texto, int valor = 0, int maximo = 0);
    // Sleeps up to ms; returns false at once when the worker is being stopped.
    bool pausar(int ms);
    bool cancelado() const { return cancelar_.load(); }

    // Sets the cancel flag and waits up to ms for the thread to end. True when
    // it ended; afterwards no job runs any more.
    bool detener(int ms);

    // [puertos] comN of the program's settings.
    static QHash<int, QString> LeerMapaPuertos();

signals:
    // A log line for List1; with recortarLog the oldest line goes first when
    // the log holds more than 100.
    void linea(const QString &texto, bool recortarLog);
    // Progress for the status bar: maximo 0 means no bar; an empty text clears it.
    void progreso(const QString &texto, int valor, int maximo);

private:
    struct Pendiente {
        qint16 timeout;
        Trabajo trabajo;
        std::function<void()> alTerminar;
    };
    void bucle();

    const QHash<int, QString> mapa_;
    QThread *hilo_ = nullptr;
    Cancelacion cancelar_{false};
    std::mutex mutex_;
    std::condition_variable aviso_;
    std::deque<Pendiente> cola_;
};
