#pragma once
// The terminals' wire format, named once for the program and the simulator:
// command codes, frame sizes, the punch ring and its record, the clock and
// incident records.

#include <QByteArrayView>
#include <QtGlobal>

namespace kora {

constexpr quint16 kPuertoTcp = 10001;

// Command codes (bits 7..5 of the header byte).
enum Comando : quint8 {
    LeerReloj = 1,
    EscribirReloj = 2,
    LeerIncidencia = 3,
    EscribirIncidencia = 4,
    Marcajes = 7,
};

// Sub-functions of the punch command (its one data byte).
enum SubMarcajes : quint8 {
    LeerSiguiente = 0,   // the record at the read pointer, which then advances
    RepetirAnterior = 1, // the record before the read pointer again
    Retroceder = 2,      // the read pointer steps back one slot
    Punteros = 3,        // the ring's pointers instead of a record
};

constexpr int kLongitudMaxima = 31; // five bits of the header byte

// Header byte: addition, not OR, so an oversized length spills into the code
// bits. A code above 7 would lose its high bits and go out as another command.
constexpr quint8 cabecera(int codigo, int longitud)
{
    Q_ASSERT_X(codigo >= 0 && codigo <= 7, "kora::cabecera", "command code out of 0..7");
    return quint8((codigo * 32 + longitud) % 256);
}
constexpr quint8 codigoDe(quint8 cabecera) { return cabecera >> 5; }
constexpr quint8 longitudDe(quint8 cabecera) { return cabecera & 0x1F; }

// Record layouts.
namespace reloj { // BCD fields but the weekday (Monday = 1); two-digit year
constexpr int Segundo = 0, Minuto = 1, Hora = 2, DiaSemana = 3, Dia = 4, Mes = 5, Anio = 6;
constexpr int Bytes = 7;
}

namespace registro { // one punch ring slot; numbers in binary
constexpr int Segundo = 0, Minuto = 1, Hora = 2, Dia = 3, Mes = 4, Anio = 5;
constexpr int Banderas = 6, Incidencia = 7;
constexpr int Tarjeta = 8;   // four bytes, most significant first
constexpr int Subcodigo = 0; // in the continuation slot of a two-slot punch, four bytes
constexpr int Checksum = 13; // sum of the bytes before it
constexpr int Bytes = 14;
constexpr quint8 kMarcaFin = 99; // in byte 0: an empty slot
}

namespace bandera { // bits of registro::Banderas
constexpr quint8 Salida = 0x01;
constexpr quint8 Continua = 0x02; // the punch continues in the next slot
constexpr quint8 Ignorar = 0x04;  // honoured on one-slot punches only
}

namespace punteros { // answer to Punteros: two little-endian ring positions
constexpr int Escritura = 3, Lectura = 5;
}

constexpr int kPosiciones = 4500; // punch ring slots

namespace incidencia {
constexpr int Slots = 99;          // 0..98
constexpr int Bytes = 16;          // text field
constexpr quint8 Marca = 0x80;     // in the field's last byte
constexpr quint8 Asegurar = 255;   // written to this slot: the securing order
}

// Data bytes of a request and payload bytes of its answer; -1 for a code no terminal knows.
constexpr int bytesDatos(int codigo)
{
    switch (codigo) {
    case LeerReloj: return 0;
    case EscribirReloj: return reloj::Bytes;
    case LeerIncidencia: return 1;
    case EscribirIncidencia: return 1 + incidencia::Bytes;
    case Marcajes: return 1;
    default: return -1;
    }
}

constexpr int bytesRespuesta(int codigo)
{
    switch (codigo) {
    case LeerReloj: return reloj::Bytes;
    case LeerIncidencia: return incidencia::Bytes;
    case Marcajes: return registro::Bytes;
    case EscribirReloj:
    case EscribirIncidencia: return 0;
    default: return -1;
    }
}

// The length field: request (data + 3) and answer (payload + 1) bytes together, minus 2.
constexpr quint8 longitud(int codigo) { return quint8(bytesDatos(codigo) + bytesRespuesta(codigo) + 2); }

// Running sum mod 256: the request's checksum, continued over the answer for its own.
constexpr quint8 suma(QByteArrayView bytes, quint8 inicial = 0)
{
    for (char b : bytes)
        inicial = quint8(inicial + quint8(b));
    return inicial;
}

} // namespace kora
