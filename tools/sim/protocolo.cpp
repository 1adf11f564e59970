#include "tools/sim/protocolo.h"

#include <QStringList>

namespace korasim {

QByteArray peticion(quint8 direccion, quint8 codigo, QByteArrayView datos)
{
    QByteArray p;
    p.append(char(direccion));
    p.append(char(cabecera(codigo, longitud(codigo))));
    p.append(datos);
    p.append(char(suma(p)));
    return p;
}

QByteArray respuesta(QByteArrayView peticion, QByteArrayView carga)
{
    QByteArray r(carga.data(), carga.size());
    r.append(char(suma(carga, suma(peticion))));
    return r;
}

bool respuestaValida(QByteArrayView peticion, QByteArrayView resp)
{
    if (resp.isEmpty())
        return false;
    return quint8(resp.back()) == suma(resp.first(resp.size() - 1), suma(peticion));
}

std::optional<Ensamblador::Resultado> Ensamblador::siguiente()
{
    if (pendiente_.size() < 2)
        return std::nullopt;
    const quint8 cab = quint8(pendiente_[1]);
    const int n = bytesDatos(codigoDe(cab));
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
    if (quint8(bytes.back()) != suma(QByteArrayView(bytes).first(total - 1)))
        return Resultado{Tipo::ChecksumErroneo, {}, bytes};
    Trama t;
    t.direccion = quint8(bytes[0]);
    t.codigo = codigoDe(cab);
    t.longitud = longitudDe(cab);
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
    r[registro::Checksum] = suma(QByteArrayView(r.data(), registro::Checksum));
}

bool checksumRegistroCorrecto(const Registro &r)
{
    Registro copia = r;
    corregirChecksum(copia);
    return copia[registro::Checksum] == r[registro::Checksum];
}

Registro conChecksumErroneo(Registro r)
{
    corregirChecksum(r);
    r[registro::Checksum] = quint8(r[registro::Checksum] + 1);
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
    r[registro::Segundo] = quint8(t.second());
    r[registro::Minuto] = quint8(t.minute());
    r[registro::Hora] = quint8(t.hour());
    r[registro::Dia] = quint8(d.day());
    r[registro::Mes] = quint8(d.month());
    r[registro::Anio] = quint8(d.year() % 100);
    r[registro::Banderas] = banderas;
    r[registro::Incidencia] = incidencia;
    ponerBigEndian(r, registro::Tarjeta, tarjeta);
    corregirChecksum(r);
    return r;
}

Registro registroContinuacion(quint32 subcodigo)
{
    Registro r{};
    ponerBigEndian(r, registro::Subcodigo, subcodigo);
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
    r[registro::Segundo] = registro::kMarcaFin;
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
