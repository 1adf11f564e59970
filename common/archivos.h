#pragma once
// Files and folders the program creates must not be writable by other users,
// whatever the umask it was started with (config.ini decides which database
// is written; the autostart entry decides what runs at log-on).

#include <QFile>
#include <QFileDevice>
#include <QString>

// rw-r--r--
constexpr QFileDevice::Permissions kPermisosArchivo =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;

// rw-------: files that may hold a password (config.ini with a database URL)
constexpr QFileDevice::Permissions kPermisosPrivados = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// Creates the folder and its missing parents as rwxr-xr-x; true when it exists afterwards.
bool crearCarpetas(const QString &ruta);

// Flushes an open file's written bytes to the disk itself (not only to the system's cache).
bool sincronizarArchivo(QFile &archivo);
