#pragma once
// A punch on its way from a terminal's ring to the attendance database: one
// type from the decoded record to the bound row.

#include <QByteArray>
#include <QDateTime>
#include <QVariant>

// One punch with every column of marcajes; a null value is stored as NULL
// (rows from other software may lack one). The download writes tipo 0 and
// habilitado true.
struct Marcaje {
    int numeroTerminal = 0;
    QDateTime fechaHora;
    QVariant entradaSalida, codigoIncidencia, tarjeta, subcodigo;
    QVariant tipo = 0;
    QVariant habilitado = true;
};

// Where a terminal's next download resumes: the ring position, and the 14
// bytes of the slot before it as they were read (empty when not known). The
// bytes tell whether the ring is still the one the position belongs to.
struct CursorTerminal {
    int posicion = 0;
    QByteArray anterior;
    bool operator==(const CursorTerminal &) const = default;
};

// A punch read from a ring, with where it lies there.
struct MarcajeLeido {
    Marcaje marcaje;
    int inicio = 0;     // ring position of its first slot
    int siguiente = 0;  // ring position after it
    QByteArray ultimo;  // bytes of its last slot (the continuation of a two-slot punch)

    CursorTerminal tras() const { return {siguiente, ultimo}; }
};
