#include "shell/nucleo/instancia_unica.h"

#include "common/archivos.h"

#include <QDir>
#include <QFile>
#include <cstdio>
#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#endif

namespace {

const QString kNombre = QStringLiteral("kalverostin.lock");
// The unit's RuntimeDirectory, readable by everyone: windows and manual starts
// see the service there, while the service, with a temp folder of its own,
// cannot see theirs.
const QString kBloqueoServicio = QStringLiteral("/run/kalverostin/kalverostin.lock");

// The service in the runtime folder systemd gives it; anything else in the
// temp folder every user shares, so two users' windows exclude each other.
QString rutaBloqueo()
{
    const QString servicio = qEnvironmentVariable("RUNTIME_DIRECTORY").section(u':', 0, 0);
    return QDir(servicio.isEmpty() ? QDir::tempPath() : servicio).filePath(kNombre);
}

bool vivo(qint64 pid)
{
#ifdef Q_OS_UNIX
    // EPERM: alive, but another user's (the service's).
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
#else
    return pid > 0;
#endif
}

bool servicioEnMarcha()
{
    qint64 pid = 0;
    return QLockFile(kBloqueoServicio).getLockInfo(&pid, nullptr, nullptr) && vivo(pid);
}

} // namespace

bool InstanciaUnica::Adquirir()
{
    const QString ruta = rutaBloqueo();
    if (ruta != kBloqueoServicio && servicioEnMarcha())
        return false;
    bloqueo_ = std::make_unique<QLockFile>(ruta);
    // Never stale by age: the program runs for months. A dead owner is still detected.
    bloqueo_->setStaleLockTime(0);
    if (!bloqueo_->tryLock(0))
        return false;
    // Another user able to write it could fake a running instance.
    QFile::setPermissions(ruta, kPermisosArchivo);
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
