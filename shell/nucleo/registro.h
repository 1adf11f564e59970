#pragma once
// Log lines that report a failure: the service marks them for the journal
// and the window may set them apart.

#include <QString>

// The one format of dates and times in the window and its log.
inline const QString kFormatoFechaHora = QStringLiteral("dd/MM/yy HH:mm:ss");
// Now, in that format: how a log line begins.
QString Ahora();

// Communications and database failures, refused punches, and every
// "ERROR"/"Error" message of the cycle.
bool EsLineaDeError(const QString &linea);
