#pragma once
// Log lines that report a failure: the service marks them for the journal
// and the window may set them apart.

#include <QString>

// Communications and database failures, refused punches, and every
// "ERROR"/"Error" message of the cycle.
bool EsLineaDeError(const QString &linea);
