#pragma once
// config.ini: our own INI reader and writer (case-insensitive section and key
// names, values cut to 254 characters, an empty value reads as the default).
// The text is Windows-1252, or UTF-8 when the file is valid UTF-8 with some
// non-ASCII byte; a write keeps the file's encoding. No cache: every call
// reads or rewrites the file.

#include <QString>

namespace MOD_ini {

QString LeerIni(const QString &archivo, const QString &seccion, const QString &clave,
                const QString &porDefecto = QString());
// Returns false when the file could not be written (callers may ignore it).
// Characters the file's encoding lacks are written as '?'.
bool EscribirIni(const QString &archivo, const QString &seccion, const QString &clave,
                 const QString &texto);
// Whether the file, in its encoding, holds the text as it is.
bool PuedeGuardar(const QString &archivo, const QString &texto);

// The directory that holds the executable. Tests may point it elsewhere and
// declare it read-only (root writes anywhere). A system folder (/usr/..., as
// installed) is never written, whoever runs the program.
QString DirectorioPrograma();
void FijarDirectorioPrograma(const QString &directorio, bool soloLectura = false);
bool CarpetaProgramaEscribible();

// Where settings are written: config.ini beside the executable, or in the
// per-user configuration directory when the program's directory is not writable.
QString RutaConfig();

// The program's settings. With a read-only program directory, a key of the
// per-user copy wins and every other key comes from config.ini beside the
// executable (the administrator's).
// Values are cut at 254 characters, as the original files expect; `entero`
// reads a value whole, for one a cut would change (a server's address).
QString LeerConfig(const QString &seccion, const QString &clave, const QString &porDefecto = QString(),
                   bool entero = false);
bool EscribirConfig(const QString &seccion, const QString &clave, const QString &texto);

} // namespace MOD_ini
