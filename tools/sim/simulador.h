#pragma once
// A fleet of simulated terminals served from a thread of its own, over TCP
// (one listening address per terminal) and over pseudo-terminals (RS-232, or
// RS-485 with the converter's echo and several terminals on one bus).
//
//   korasim::Simulador sim;
//   auto &t = sim.agregarTerminal(3);
//   t.agregarMarcaje(QDateTime::currentDateTime(), 1234);
//   QString dev = sim.abrirPty(korasim::Modo::RS485);   // e.g. /dev/pts/7
//   sim.escucharTcp(3, QHostAddress("127.0.0.5"), 10001);
//
// Every member may be called from any thread except the simulator's own.

#include "tools/sim/terminal.h"

#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

namespace korasim {

enum class Modo { RS232, RS485 };

struct EntradaLog {
    enum class Sentido { Peticion, Respuesta, Eco, Descartado };
    QDateTime momento;
    int terminal = -1;  // address byte of the request; -1 when unknown
    Sentido sentido = Sentido::Peticion;
    QString canal;      // "pty /dev/pts/7", "tcp 127.0.0.2:10001"
    QByteArray bytes;
    QString nota;       // why nothing was answered, or which fault was applied
    // One line: time, terminal, direction, hex bytes, channel, note.
    QString texto() const;
};

class Simulador {
public:
    Simulador();
    ~Simulador();
    Simulador(const Simulador &) = delete;
    Simulador &operator=(const Simulador &) = delete;

    // Returns the existing terminal when the code is already simulated. The
    // reference stays valid for the simulator's life.
    Terminal &agregarTerminal(quint8 codigo);
    Terminal *terminal(int codigo) const;
    QList<int> codigos() const;

    // Opens a pseudo-terminal serving the given terminal codes (empty: every
    // terminal of the simulator, also those added later). Returns the slave
    // device path, empty on failure.
    QString abrirPty(Modo modo, const QList<int> &codigos = {}, QString *error = nullptr);
    // Listens for terminal `codigo` (created when missing). Port 0 picks a free
    // port. Returns the port listened on, 0 on failure.
    quint16 escucharTcp(quint8 codigo, const QHostAddress &direccion, quint16 puerto = kPuertoTcp,
                        QString *error = nullptr);

    // Sends every serial byte (echo and answer) at the 57600-baud byte time.
    void fijarRitmoSerie(bool pausado);

    QList<EntradaLog> registro() const;
    void limpiarRegistro();
    // Called on the simulator's thread for every new log entry, in order,
    // with the log locked: it must not call back into the simulator's log.
    void fijarObservador(std::function<void(const EntradaLog &)> observador);

    // Closes every port and ends the thread. The terminals stay readable.
    void detener();

    struct Nucleo;

private:
    std::unique_ptr<Nucleo> d;
};

}  // namespace korasim
