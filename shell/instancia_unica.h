#pragma once
// Detects a second start of the program, window or service: a lock file in
// the temporary directory, held for the life of the process.

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
