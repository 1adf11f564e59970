#include "instancia_unica.h"

#include "archivos.h"

#include <QDir>
#include <QFile>
#include <cstdio>

bool InstanciaUnica::Adquirir()
{
    bloqueo_ = std::make_unique<QLockFile>(QDir::tempPath() + QStringLiteral("/kalverostin.lock"));
    // Never stale by age: the program runs for months. A dead owner is still detected.
    bloqueo_->setStaleLockTime(0);
    if (!bloqueo_->tryLock(0))
        return false;
    // Another user able to write it could fake a running instance.
    QFile::setPermissions(QDir::tempPath() + QStringLiteral("/kalverostin.lock"), kPermisosArchivo);
    return true;
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
