#include "instancia_unica.h"

#include "mod_variables.h"

#include <QDir>
#include <QMessageBox>
#include <cstdio>

bool InstanciaUnica::Adquirir()
{
    bloqueo_ = std::make_unique<QLockFile>(QDir::tempPath() + QStringLiteral("/kalverostin.lock"));
    // Never stale by age: the program runs for months. A dead owner is still detected.
    bloqueo_->setStaleLockTime(0);
    return bloqueo_->tryLock(0);
}

void AvisarSegundaInstancia()
{
    const QString texto = QStringLiteral("¡ATENCIÓN!, este programa ya se está ejecutando, es preferible tener "
                                         "sólo una instancia ejecutándose.");
    std::fprintf(stderr, "%s\n", texto.toUtf8().constData());
    std::fflush(stderr);
    QMessageBox::critical(nullptr, MOD_variables::TituloAplicacion, texto);
}
