// Platforms without pseudo-terminals: the simulator offers TCP only.
#include "tools/sim/pty.h"

namespace korasim::pty {

std::optional<Par> abrir(QString *error)
{
    if (error)
        *error = QStringLiteral("pseudo-terminals are not available on this platform");
    return std::nullopt;
}

qint64 leer(int, char *, qint64) { return -1; }
qint64 escribir(int, const char *, qint64) { return -1; }
void cerrar(Par &par) { par = Par{}; }

}  // namespace korasim::pty
