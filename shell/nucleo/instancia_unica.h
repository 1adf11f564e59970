#pragma once
// Detects a second start of the program, window or service: a lock file held
// for the life of the process, in the runtime folder systemd gives the service,
// else in the temporary directory. Any other instance also stands back while
// the installed service runs.

#include <QLockFile>
#include <QString>
#include <memory>

class InstanciaUnica {
public:
    // True when this process is the only instance. A lock left by an instance
    // that died without releasing it does not count.
    bool Adquirir();

private:
    std::unique_ptr<QLockFile> bloqueo_;
};

// The second-instance warning.
QString TextoSegundaInstancia();
// Writes the warning to stderr as one line; the window also shows it in a box.
void AvisarSegundaInstanciaConsola();
