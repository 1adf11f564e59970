#pragma once
// Wire format of the terminals: request frames, answer checksums, the punch
// record, the clock record. Shared by the simulated terminals and the tests
// that talk to them.

#include "link/kora.h"

#include <QByteArray>
#include <QDateTime>
#include <array>
#include <optional>

namespace korasim {

// The simulated terminals speak the program's protocol: kPosiciones, Marcajes, bandera::... are kora's.
using namespace kora;

using Registro = std::array<quint8, registro::Bytes>;
using RegistroReloj = std::array<quint8, reloj::Bytes>;

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

// Punch records.
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
