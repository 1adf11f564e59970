#pragma once
// kalverostin --estado [--json]: the terminals' status as the database keeps
// it, for an administrator of the service (who has no window) and for
// monitoring tools. Reads only; runs beside a running service or window.

// Prints the table (or JSON) on standard output. Exit status: 0 when no
// terminal is failing, 1 when any is, 2 when the database cannot be read.
int MostrarEstado(int argc, char *argv[], bool json);
