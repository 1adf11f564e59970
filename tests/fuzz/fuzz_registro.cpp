// Punch records, clock records and incident text fields.
//
// Layout: [0..13] a ring record, [14..17] the slot after it, [18..23] a moment
// for the clock record (day number and milliseconds), [24] flag and text kind,
// then a 16-byte text field read back, then the rest as a description.

#include "comprobar.h"

#include "mod_comunicaciones_kora.h"
#include "texto.h"

#include <QTimeZone>

using namespace MOD_comunicaciones_kora;

namespace {

quint8 en(const QByteArray &b, int i) { return i < b.size() ? quint8(b[i]) : 0; }

// Days from 1970-01-01 to a proleptic Gregorian date (month 1..12).
qint64 diasCiviles(qint64 y, int m, int d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const qint64 yoe = y - era * 400;
    const qint64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const qint64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Seconds since 1970 of the wall-clock moment a record's bytes 0..5 describe,
// every field carried into the next larger unit, and the year of that moment.
qint64 segundosEsperados(const QByteArray &r, qint64 &anio)
{
    qint64 y = en(r, 5);
    y += y <= 29 ? 2000 : y <= 99 ? 1900 : 0;
    const qint64 meses = y * 12 + en(r, 4) - 1; // month 0 is December of the year before
    const qint64 dias = diasCiviles(meses / 12, int(meses % 12) + 1, 1) + en(r, 3) - 1;
    const qint64 s = dias * 86400 + en(r, 2) * 3600 + en(r, 1) * 60 + en(r, 0);
    // Year of the result, by walking from the month's year (at most a couple of years away).
    anio = meses / 12;
    while (diasCiviles(anio + 1, 1, 1) * 86400 <= s)
        ++anio;
    while (diasCiviles(anio, 1, 1) * 86400 > s)
        --anio;
    return s;
}

void registro(const QByteArray &r, const QByteArray &cont)
{
    const ClaseRegistro clase = ClasificarRegistro(r);
    const quint32 tarjeta = quint32(en(r, 8)) << 24 | quint32(en(r, 9)) << 16 | quint32(en(r, 10)) << 8 | en(r, 11);
    quint8 suma = 0;
    for (int i = 0; i < 13; ++i)
        suma = quint8(suma + en(r, i));
    const quint8 marcas = en(r, 6);
    if (en(r, 0) == 99)
        COMPROBAR(clase == ClaseRegistro::Fin);
    else if (tarjeta == 0 || suma != en(r, 13))
        COMPROBAR(clase == ClaseRegistro::Invalido);
    else if (marcas & 2)
        COMPROBAR(clase == ClaseRegistro::Doble); // the ignore flag does not apply to two-slot punches
    else
        COMPROBAR(clase == ((marcas & 4) ? ClaseRegistro::Invalido : ClaseRegistro::Simple));

    qint64 anio = 0;
    const qint64 segundos = segundosEsperados(r, anio);
    const QDateTime fh = ComponerFechaHora(r);
    if (anio < 100 || anio > 9999) {
        COMPROBAR(!fh.isValid());
    } else {
        COMPROBAR(fh.isValid());
        COMPROBAR(fh.date().year() >= 100 && fh.date().year() <= 9999);
        COMPROBAR(fh.toSecsSinceEpoch() + fh.offsetFromUtc() == segundos);
        const bool enRango = en(r, 0) < 60 && en(r, 1) < 60 && en(r, 2) < 24 && en(r, 4) >= 1 && en(r, 4) <= 12
                             && en(r, 3) >= 1;
        if (enRango && QDate::isValid(int(anio), en(r, 4), en(r, 3)))
            COMPROBAR(fh.date() == QDate(int(anio), en(r, 4), en(r, 3))
                      && fh.time() == QTime(en(r, 2), en(r, 1), en(r, 0)));
    }

    const bool doble = clase == ClaseRegistro::Doble;
    const Marcaje m = DecodificarMarcaje(r, doble ? cont : QByteArray());
    COMPROBAR(m.fechaHora == fh);
    COMPROBAR(m.tarjeta == tarjeta);
    COMPROBAR(m.codigoIncidencia == en(r, 7));
    if (clase == ClaseRegistro::Simple) {
        COMPROBAR(m.entradaSalida == marcas); // byte 6 whole
        COMPROBAR(m.subcodigo == 0);
    } else if (doble) {
        COMPROBAR(m.entradaSalida == (marcas & 1));
        COMPROBAR(m.subcodigo
                  == (quint32(en(cont, 0)) << 24 | quint32(en(cont, 1)) << 16 | quint32(en(cont, 2)) << 8 | en(cont, 3)));
    }
}

void reloj(const QByteArray &b)
{
    // A day between 1 January of year 1 and 31 December 9999, and a time of day.
    const qint64 primero = QDate(1, 1, 1).toJulianDay(), ultimo = QDate(9999, 12, 31).toJulianDay();
    const quint32 dia = quint32(en(b, 0)) | quint32(en(b, 1)) << 8 | quint32(en(b, 2)) << 16;
    const quint32 ms = quint32(en(b, 3)) | quint32(en(b, 4)) << 8 | quint32(en(b, 5)) << 16;
    const QDate fecha = QDate::fromJulianDay(primero + qint64(dia) % (ultimo - primero + 1));
    const QTime hora = QTime::fromMSecsSinceStartOfDay(int((ms * 10007u) % 86400000u));
    const QDateTime momento(fecha, hora, QTimeZone::utc());

    const QByteArray rr = RegistroReloj(momento);
    COMPROBAR(rr.size() == 7);
    for (int i : {0, 1, 2, 4, 5, 6}) // packed BCD: both nibbles are decimal digits
        COMPROBAR((quint8(rr[i]) >> 4) <= 9 && (quint8(rr[i]) & 15) <= 9);
    COMPROBAR(DesdeBcd(quint8(rr[0])) == hora.second());
    COMPROBAR(DesdeBcd(quint8(rr[1])) == hora.minute());
    COMPROBAR(DesdeBcd(quint8(rr[2])) == hora.hour());
    COMPROBAR(quint8(rr[3]) == fecha.dayOfWeek());
    COMPROBAR(DesdeBcd(quint8(rr[4])) == fecha.day());
    COMPROBAR(DesdeBcd(quint8(rr[5])) == fecha.month());
    COMPROBAR(DesdeBcd(quint8(rr[6])) == fecha.year() % 100);
}

void incidencia(const QByteArray &campo, const QString &descripcion, bool marca)
{
    // Reading a field: stops before the first byte with bit 7 set, skips zeros.
    const QString leido = TextoIncidencia(campo);
    COMPROBAR(leido.size() <= 16);
    QString esperado;
    for (int i = 0; i < campo.size() && i < 16 && !(quint8(campo[i]) & 0x80); ++i)
        if (campo[i] != 0)
            esperado += QChar(quint8(campo[i]));
    COMPROBAR(leido == esperado);

    // Writing a description and reading it back.
    const QByteArray enviado = CampoIncidencia(descripcion, marca);
    COMPROBAR(enviado.size() == 16);
    const QByteArray ansi = aAnsi(descripcion);
    for (int i = 0; i < 15; ++i)
        COMPROBAR(enviado[i] == (i < ansi.size() ? ansi[i] : char(0)));
    const quint8 ultimo = ansi.size() >= 16 ? quint8(ansi[15]) : 0;
    COMPROBAR(quint8(enviado[15]) == (marca ? (ultimo | 0x80) : ultimo));
    const QString vuelta = TextoIncidencia(enviado);
    COMPROBAR(vuelta.size() <= 16);
    for (QChar c : vuelta)
        COMPROBAR(c.unicode() > 0 && c.unicode() < 0x80);
    // A plain ASCII description without zeros comes back whole, up to the flag's byte.
    bool ascii = true;
    for (QChar c : descripcion)
        ascii = ascii && c.unicode() > 0 && c.unicode() < 0x80;
    if (ascii)
        COMPROBAR(vuelta == descripcion.left(marca && descripcion.size() >= 16 ? 15 : 16));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano)
{
    Lector lector(datos, tamano);
    size_t n = 0;
    const uint8_t *p = lector.tomar(14, n);
    const QByteArray r(reinterpret_cast<const char *>(p), qsizetype(n)); // may be short: missing bytes read as 0
    p = lector.tomar(4, n);
    const QByteArray cont(reinterpret_cast<const char *>(p), qsizetype(n));
    registro(r, cont);

    p = lector.tomar(6, n);
    reloj(QByteArray(reinterpret_cast<const char *>(p), qsizetype(n)));

    const quint8 modo = lector.byte();
    p = lector.tomar(modo & 2 ? 20 : 16, n); // a field may also be longer than 16 bytes
    const QByteArray campo(reinterpret_cast<const char *>(p), qsizetype(n));
    p = lector.resto(n);
    const QByteArray resto(reinterpret_cast<const char *>(p), qsizetype(n));
    const QString descripcion = (modo & 4) ? QString::fromUtf8(resto) : desdeAnsi(resto);
    incidencia(campo, descripcion, modo & 1);
    return 0;
}
