#pragma once
// Wire format of the terminals: request frames, answer checksums, the punch
// record, the clock record. Shared by the simulated terminals and the tests
// that talk to them.

#include <QByteArray>
#include <QDateTime>
#include <array>
#include <optional>

namespace korasim {

constexpr int kPosiciones = 4500;     // punch ring slots
constexpr int kBytesRegistro = 14;    // bytes per slot
constexpr quint8 kMarcaFin = 99;      // byte 0 of an empty slot
constexpr int kIncidencias = 99;      // incident slots 0..98
constexpr int kBytesIncidencia = 16;
constexpr quint8 kSlotAsegurar = 255; // incident write to this slot = securing order

// Command codes (bits 7..5 of the header byte).
enum Comando : quint8 {
    LeerReloj = 1,
    EscribirReloj = 2,
    LeerIncidencia = 3,
    EscribirIncidencia = 4,
    Marcajes = 7,
};

// Sub-functions of command 7.
enum SubMarcajes : quint8 {
    LeerSiguiente = 0,
    RepetirAnterior = 1,
    Retroceder = 2,
    Punteros = 3,
};

using Registro = std::array<quint8, kBytesRegistro>;
using RegistroReloj = std::array<quint8, 7>;

quint8 sumaBytes(QByteArrayView bytes, quint8 inicial = 0);

// Data bytes a request of this command carries; -1 for a command no terminal knows.
int bytesDatos(int codigo);
// Payload bytes of the answer (before its checksum); -1 for an unknown command.
int bytesRespuesta(int codigo);
// The length field the host sends: request and answer bytes together, minus 2.
quint8 longitudCampo(int codigo);

// A complete request as the host writes it: address, header, data, checksum.
QByteArray peticion(quint8 direccion, quint8 codigo, QByteArrayView datos = {});
// Payload followed by the checksum that continues the running sum of the request.
QByteArray respuesta(QByteArrayView peticion, QByteArrayView carga);
// True when the answer's last byte continues the request's running sum.
bool respuestaValida(QByteArrayView peticion, QByteArrayView respuesta);

struct Trama {
    quint8 direccion = 0;
    quint8 codigo = 0;
    quint8 longitud = 0;
    QByteArray datos;
    QByteArray bytes;  // the whole frame as received
};

// Cuts frames out of a byte stream. There is no start marker, so the frame
// length comes from the command code; an unknown code drops one byte and a
// bad checksum drops the whole candidate frame, which resynchronises on the
// next request.
class Ensamblador {
public:
    enum class Tipo { Completa, ChecksumErroneo, Descartado };
    struct Resultado {
        Tipo tipo;
        Trama trama;       // Completa
        QByteArray bytes;  // ChecksumErroneo / Descartado: the bytes dropped
    };
    void agregar(QByteArrayView bytes) { pendiente_.append(bytes); }
    std::optional<Resultado> siguiente();
    void vaciar() { pendiente_.clear(); }
    bool vacio() const { return pendiente_.isEmpty(); }
    QByteArrayView pendiente() const { return pendiente_; }

private:
    QByteArray pendiente_;
};

quint8 aBcd(int valor);
int desdeBcd(quint8 bcd);
RegistroReloj registroReloj(const QDateTime &momento);
// Invalid (default) when a field is out of range.
QDateTime fechaDeRegistroReloj(const RegistroReloj &r);

// Punch records. Flags: bit 0 entry/exit, bit 1 continues in the next slot,
// bit 2 ignore. Byte 13 is the sum of bytes 0..12.
namespace bandera {
constexpr quint8 Salida = 0x01;
constexpr quint8 Continua = 0x02;
constexpr quint8 Ignorar = 0x04;
}

Registro registroMarcaje(const QDateTime &momento, quint32 tarjeta, quint8 banderas = 0,
                         quint8 incidencia = 0);
// First slot (with the continue flag set) and continuation slot of a two-slot punch.
std::array<Registro, 2> registrosMarcajeDoble(const QDateTime &momento, quint32 tarjeta,
                                              quint32 subcodigo, quint8 banderas = 0,
                                              quint8 incidencia = 0);
Registro registroContinuacion(quint32 subcodigo);
Registro registroFin();
Registro registroCeros();
void corregirChecksum(Registro &r);
Registro conChecksumErroneo(Registro r);
bool checksumRegistroCorrecto(const Registro &r);
QByteArray aBytes(const Registro &r);

int siguientePosicion(int p);
int posicionAnterior(int p);

QString hex(QByteArrayView bytes);

}  // namespace korasim
