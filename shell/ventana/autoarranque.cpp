#include "shell/ventana/autoarranque.h"

#include "common/archivos.h"
#include "storage/mod_ini.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

#ifdef Q_OS_WIN
#include <QSettings>
#endif

namespace {
const QString NombreEntrada = QStringLiteral("KLAVEROSTIN");
#ifdef Q_OS_WIN
const QString ClaveRun = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
#else
// Exec= needs quoting when the path holds blanks or reserved characters.
QString argumentoExec(const QString &ruta)
{
    static const QString reservados = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString texto = ruta;
    texto.replace(u'%', QStringLiteral("%%")); // '%' starts a field code
    if (std::none_of(texto.begin(), texto.end(), [](QChar c) { return reservados.contains(c); }))
        return texto;
    QString escapada;
    for (QChar c : texto) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            escapada += u'\\';
        escapada += c;
    }
    // The .desktop format itself also unescapes backslashes once.
    escapada.replace(u'\\', QStringLiteral("\\\\"));
    return u'"' + escapada + u'"';
}
#endif
} // namespace

namespace Autoarranque {

QString RutaEntrada()
{
#ifdef Q_OS_WIN
    return ClaveRun + u'\\' + NombreEntrada;
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/")
         + NombreEntrada + QStringLiteral(".desktop");
#endif
}

void EscribirEntrada(bool activo)
{
#ifdef Q_OS_WIN
    QSettings run(ClaveRun, QSettings::NativeFormat);
    run.setValue(NombreEntrada,
                 activo ? QDir::toNativeSeparators(MOD_ini::DirectorioPrograma() + QStringLiteral("/kalverostin.exe"))
                        : QString());
#else
    const QString ruta = RutaEntrada();
    if (!activo) {
        QFile::remove(ruta);
        return;
    }
    crearCarpetas(QFileInfo(ruta).absolutePath());
    QSaveFile archivo(ruta);
    if (!archivo.open(QIODevice::WriteOnly))
        return;
    archivo.setPermissions(kPermisosArchivo); // what runs at log-on is the owner's business only
    const QString programa = MOD_ini::DirectorioPrograma() + QStringLiteral("/kalverostin");
    const QString contenido = QStringLiteral("[Desktop Entry]\nType=Application\nName=") + NombreEntrada
                            + QStringLiteral("\nExec=") + argumentoExec(programa)
                            + QStringLiteral("\nX-GNOME-Autostart-enabled=true\n");
    archivo.write(contenido.toUtf8());
    archivo.commit();
#endif
}

} // namespace Autoarranque
