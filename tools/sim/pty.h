#pragma once
// Pseudo-terminal access, the only platform-specific part of the simulator.
// The simulator serves the master side; programs under test open the slave
// path as an ordinary serial port.

#include <QString>
#include <QtGlobal>
#include <optional>

namespace korasim::pty {

struct Par {
    int maestro = -1;  // non-blocking, raw
    int esclavo = -1;  // kept open by the simulator so the master never sees a hang-up
    QString ruta;      // slave device path
};

std::optional<Par> abrir(QString *error);
// Bytes read (0 when none are waiting), or -1 on a fault.
qint64 leer(int fd, char *destino, qint64 maximo);
// Bytes written, or -1 on a fault.
qint64 escribir(int fd, const char *datos, qint64 cuantos);
void cerrar(Par &par);

}  // namespace korasim::pty
