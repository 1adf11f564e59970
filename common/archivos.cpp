#include "common/archivos.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

bool crearCarpetas(const QString &ruta)
{
    const QDir dir(ruta);
    if (dir.exists())
        return true;
    const QString padre = QFileInfo(dir.absolutePath()).absolutePath();
    if (padre != dir.absolutePath() && !crearCarpetas(padre))
        return false;
    return QDir().mkdir(dir.absolutePath(), kPermisosArchivo | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                                                | QFileDevice::ExeOther)
        || dir.exists();
}

bool sincronizarArchivo(QFile &archivo)
{
    if (!archivo.flush())
        return false;
#ifdef Q_OS_WIN
    return _commit(archivo.handle()) == 0;
#else
    return ::fsync(archivo.handle()) == 0;
#endif
}
