#pragma once
// config.ini: our own INI reader and writer (Windows-1252 text, case-insensitive
// section and key names, values cut to 254 characters, an empty value reads as
// the default). No cache: every call reads or rewrites the file.

#include <QString>

namespace MOD_ini {

QString LeerIni(const QString &archivo, const QString &seccion, const QString &clave,
                const QString &porDefecto = QString());
// Returns false when the file could not be written (callers may ignore it).
bool EscribirIni(const QString &archivo, const QString &seccion, const QString &clave,
                 const QString &texto);

// The directory that holds the executable (tests may point it elsewhere).
QString DirectorioPrograma();
void FijarDirectorioPrograma(const QString &directorio);

// config.ini beside the executable, or in the per-user configuration
// directory when the program's directory is not writable.
QString RutaConfig();

} // namespace MOD_ini
