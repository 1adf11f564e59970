#include "archivos.h"

#include <QDir>
#include <QFileInfo>

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
