#include "instancia_unica.h"

#include <QDir>
#include <cstdio>

bool InstanciaUnica::Adquirir()
{
    bloqueo_ = std::make_unique<QLockFile>(QDir::tempPath() + QStringLiteral("/kalverostin.lock"));
    // Never stale by age: the program runs for months. A dead owner is still detected.
    bloqueo_->setStaleLockTime(0);
    return bloqueo_->tryLock(0);
}

QString TextoSegundaInstancia()
{
    return QStringLiteral("¡ATENCIÓN!, este programa ya se está ejecutando, es preferible tener "
                          "sólo una instancia ejecutándose.");
}

void AvisarSegundaInstanciaConsola()
{
    std::fprintf(stderr, "%s\n", TextoSegundaInstancia().toUtf8().constData());
    std::fflush(stderr);
}
