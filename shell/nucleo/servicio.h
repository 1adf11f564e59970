#pragma once
// Unattended mode without a window (kalverostin --servicio): the polling
// cycle and the scheduled clock change with the window's configuration,
// database and log texts. Log lines go to standard output, one per line;
// errors to standard error. Nothing ever waits for an operator.

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include "common/terminal.h"

class Ciclo;

class Servicio : public QObject {
    Q_OBJECT
public:
    explicit Servicio(QObject *parent = nullptr);

    // Reads the configuration and the tables as the window's start-up does
    // (the log-on start entry is the window's business) and starts ticking.
    void Arrancar();
    // Stops ticking and the worker at its next checkpoint (see
    // Trabajador::detenerOSalir).
    void Detener(int ms);

    // The whole program in this mode: single instance, start, run until
    // SIGTERM or SIGINT. Returns the exit code.
    static int Ejecutar(int argc, char *argv[]);

private:
    void Tick();
    // Loads the terminal table; a failure is reported (unless it is yaDicho)
    // and retried before the next run.
    void CargarTerminales(const QString &yaDicho = QString());

    Ciclo *ciclo_ = nullptr;
    QVector<TerminalRecord> terminales_;
    QTimer reloj_;
    QString lectura_; // polling period text, read at start
    QString errorTerminales_; // the last failure to load it, said once
};
