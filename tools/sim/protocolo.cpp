#include "protocolo.h"

#include <QStringList>

namespace korasim {

quint8 sumaBytes(QByteArrayView bytes, quint8 inicial)
{
    unsigned suma = inicial;
    for (char b : bytes)
        suma += quint8(b);
    return quint8(suma);
}

int bytesDatos(int codigo)
{
    switch (codigo) {
    case LeerReloj: return 0;
    case EscribirReloj: return 7;
    case LeerIncidencia: return 1;
    case EscribirIncidencia: return 17;
    case Marcajes: return 1;
    default: return -1;
    }
}

int bytesRespuesta(int codigo)
{
    switch (codigo) {
    case LeerReloj: return 7;
    case EscribirReloj: return 0;
    case LeerIncidencia: return kBytesIncidencia;
    case EscribirIncidencia: return 0;
    case Marcajes: return kBytesRegistro;
    default: return -1;
    }
}

quint8 longitudCampo(int codigo)
{
    // request (n + 3) + answer (payload + 1) - 2
    return quint8(bytesDatos(codigo) + bytesRespuesta(codigo) + 2);
}

QByteArray peticion(quint8 direccion, quint8 codigo, QByteArrayView datos)
{
    QByteArray p;
    p.append(char(direccion));
    p.append(char(quint8(codigo * 32 + longitudCampo(codigo))));
    p.append(datos);
    p.append(char(sumaBytes(p)));
    return p;
}

QByteArray respuesta(QByteArrayView peticion, QByteArrayView carga)
{
    QByteArray r(carga.data(), carga.size());
    r.append(char(sumaBytes(carga, sumaBytes(peticion))));
    return r;
}

bool respuestaValida(QByteArrayView peticion, QByteArrayView resp)
{
    if (resp.isEmpty())
        return false;
    return quint8(resp.back()) == sumaBytes(resp.first(resp.size() - 1), sumaBytes(peticion));
}

std::optional<Ensamblador::Resultado> Ensamblador::siguiente()
{
    if (pendiente_.size() < 2)
        return std::nullopt;
    const quint8 cabecera = quint8(pendiente_[1]);
    const int n = bytesDatos(cabecera >> 5);
    if (n < 0) {
        Resultado r{Tipo::Descartado, {}, pendiente_.left(1)};
        pendiente_.remove(0, 1);
        return r;
    }
    const int total = n + 3;
    if (pendiente_.size() < total)
        return std::nullopt;
    QByteArray bytes = pendiente_.left(total);
    pendiente_.remove(0, total);
    if (quint8(bytes.back()) != sumaBytes(QByteArrayView(bytes).first(total - 1)))
        return Resultado{Tipo::ChecksumErroneo, {}, bytes};
    Trama t;
    t.direccion = quint8(bytes[0]);
    t.codigo = cabecera >> 5;
    t.longitud = cabecera & 0x1F;
    t.datos = bytes.mid(2, n);
    t.bytes = bytes;
    return Resultado{Tipo::Completa, t, {}};
}

quint8 aBcd(int valor)
{
    valor %= 100;
    return quint8((valor / 10) * 16 + valor % 10);
}

int desdeBcd(quint8 bcd)
{
    return (bcd >> 4) * 10 + (bcd & 0x0F);
}

RegistroReloj registroReloj(const QDateTime &momento)
{
    const QDate d = momento.date();
    const QTime t = momento.time();
    return {aBcd(t.second()), aBcd(t.minute()), aBcd(t.hour()), quint8(d.dayOfWeek()),
            aBcd(d.day()), aBcd(d.month()), aBcd(d.year() % 100)};
}

QDateTime fechaDeRegistroReloj(const RegistroReloj &r)
{
    // A terminal keeps two-digit years; it lives in this century.
    const QDate d(2000 + desdeBcd(r[6]), desdeBcd(r[5]), desdeBcd(r[4]));
    const QTime t(desdeBcd(r[2]), desdeBcd(r[1]), desdeBcd(r[0]));
    if (!d.isValid() || !t.isValid())
        return {};
    return QDateTime(d, t);
}

void corregirChecksum(Registro &r)
{
    unsigned suma = 0;
    for (int i = 0; i < 13; ++i)
        suma += r[i];
    r[13] = quint8(suma);
}

bool checksumRegistroCorrecto(const Registro &r)
{
    Registro copia = r;
    corregirChecksum(copia);
    return copia[13] == r[13];
}

Registro conChecksumErroneo(Registro r)
{
    corregirChecksum(r);
    r[13] = quint8(r[13] + 1);
    return r;
}

static void ponerBigEndian(Registro &r, int desde, quint32 valor)
{
    r[desde] = quint8(valor >> 24);
    r[desde + 1] = quint8(valor >> 16);
    r[desde + 2] = quint8(valor >> 8);
    r[desde + 3] = quint8(valor);
}

Registro registroMarcaje(const QDateTime &momento, quint32 tarjeta, quint8 banderas, quint8 incidencia)
{
    Registro r{};
    const QDate d = momento.date();
    const QTime t = momento.time();
    r[0] = quint8(t.second());
    r[1] = quint8(t.minute());
    r[2] = quint8(t.hour());
    r[3] = quint8(d.day());
    r[4] = quint8(d.month());
    r[5] = quint8(d.year() % 100);
    r[6] = banderas;
    r[7] = incidencia;
    ponerBigEndian(r, 8, tarjeta);
    corregirChecksum(r);
    return r;
}

Registro registroContinuacion(quint32 subcodigo)
{
    Registro r{};
    ponerBigEndian(r, 0, subcodigo);
    corregirChecksum(r);
    return r;
}

std::array<Registro, 2> registrosMarcajeDoble(const QDateTime &momento, quint32 tarjeta,
                                              quint32 subcodigo, quint8 banderas, quint8 incidencia)
{
    return {registroMarcaje(momento, tarjeta, quint8(banderas | bandera::Continua), incidencia),
            registroContinuacion(subcodigo)};
}

Registro registroFin()
{
    Registro r{};
    r[0] = kMarcaFin;
    return r;
}

Registro registroCeros()
{
    return Registro{};
}

QByteArray aBytes(const Registro &r)
{
    return QByteArray(reinterpret_cast<const char *>(r.data()), int(r.size()));
}

int siguientePosicion(int p)
{
    return p + 1 < kPosiciones ? p + 1 : 0;
}

int posicionAnterior(int p)
{
    return p >= 1 ? p - 1 : kPosiciones - 1;
}

QString hex(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.toByteArray().toHex(' ').toUpper());
}

}  // namespace korasim
