#pragma once
// Detects a second start of the program: a lock file in the temporary
// directory, held for the life of the process.

#include <QLockFile>
#include <memory>

class InstanciaUnica {
public:
    // True when this process is the only instance. A lock left by an instance
    // that died without releasing it does not count.
    bool Adquirir();

private:
    std::unique_ptr<QLockFile> bloqueo_;
};

// Shows the second-instance warning (stderr and a critical box) and returns
// once the operator has closed the box.
void AvisarSegundaInstancia();
