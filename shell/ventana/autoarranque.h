#pragma once
// The log-on start entry "KLAVEROSTIN": an XDG autostart file on Linux, the
// Run registry value on Windows. Failures are silent.

#include <QString>

namespace Autoarranque {

// Where the entry lives on this platform (the .desktop file on Linux).
QString RutaEntrada();
// Writes the entry pointing at the program in DirectorioPrograma() when
// activo, clears it otherwise.
void EscribirEntrada(bool activo);

} // namespace Autoarranque
