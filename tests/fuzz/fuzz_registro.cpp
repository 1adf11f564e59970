// Punch records and incident text fields.
//
// Layout: [0..13] a ring record, [14..17] the slot after it, [18..23] not used,
// [24] flag and text kind, then a 16-byte text field read back, then the rest
// as a description.

#include "tests/fuzz/comprobar.h"

#include "commands/mod_comunicaciones_kora.h"
#include "common/texto.h"

#include <QtEndian>
#include <algorithm>
#include <numeric>

using namespace MOD_comunicaciones_kora;
using namespace kora;

namespace {

void unRegistro(const QByteArray &r, const QByteArray &cont)
{
    // The code gets the record as it came (it may be short); missing bytes count as 0.
    const QByteArray c = r.leftJustified(registro::Bytes, '\0', true), s = cont.leftJustified(4, '\0', true);
    const quint32 tarjeta = qFromBigEndian<quint32>(c.constData() + registro::Tarjeta);
    const quint8 marcas = byteEn(c, registro::Banderas);
    const bool valido = tarjeta != 0 && quint8(std::accumulate(c.begin(), c.begin() + registro::Checksum, 0))
                                            == byteEn(c, registro::Checksum);
    const ClaseRegistro clase = ClasificarRegistro(r);
    if (byteEn(c, registro::Segundo) == registro::kMarcaFin)
        COMPROBAR(clase == ClaseRegistro::Fin);
    else // the ignore flag does not apply to two-slot punches
        COMPROBAR(clase == (!valido ? ClaseRegistro::Invalido : (marcas & bandera::Continua) ? ClaseRegistro::Doble
                                                                : (marcas & bandera::Ignorar) ? ClaseRegistro::Invalido
                                                                               : ClaseRegistro::Simple));

    // Fields carry forward, so only year 100 stepping back (month or day 0) leaves the valid range.
    const QDateTime fh = ComponerFechaHora(r);
    if (fh.isValid())
        COMPROBAR(fh.date().year() >= 100 && fh.date().year() <= 9999);
    else
        COMPROBAR(byteEn(c, registro::Anio) == 100 && (byteEn(c, registro::Mes) == 0 || byteEn(c, registro::Dia) == 0));

    const Marcaje m = DecodificarMarcaje(r, cont);
    COMPROBAR(m.fechaHora == fh && m.tarjeta == tarjeta && m.codigoIncidencia == byteEn(c, registro::Incidencia));
    if (marcas & bandera::Continua) // two slots: the next slot starts with the subcode
        COMPROBAR(m.entradaSalida == (marcas & bandera::Salida) && m.subcodigo == qFromBigEndian<quint32>(s.constData()));
    else
        COMPROBAR(m.entradaSalida == marcas && m.subcodigo == 0);
}

void unaIncidencia(const QByteArray &campo, const QString &descripcion, bool marca)
{
    // Reading a field stops at the first byte with bit 7 set (the flag) and skips zeros.
    QByteArray visible = campo.left(16);
    visible.truncate(std::find_if(visible.begin(), visible.end(), [](char x) { return x & 0x80; }) - visible.begin());
    COMPROBAR(TextoIncidencia(campo) == QString::fromLatin1(visible.replace('\0', QByteArray())));

    const QByteArray enviado = CampoIncidencia(descripcion, marca);
    COMPROBAR(enviado.size() == 16 && (!marca || (byteEn(enviado, 15) & 0x80)));
    // A plain ASCII description without zeros comes back whole, up to the flag's byte.
    if (std::all_of(descripcion.begin(), descripcion.end(), [](QChar x) { return x.unicode() - 1u < 0x7Fu; }))
        COMPROBAR(TextoIncidencia(enviado) == descripcion.left(marca && descripcion.size() >= 16 ? 15 : 16));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano)
{
    const QByteArray e(reinterpret_cast<const char *>(datos), qsizetype(tamano));
    unRegistro(e.mid(0, 14), e.mid(14, 4));
    const quint8 modo = byteEn(e, 24);
    const qsizetype largo = modo & 2 ? 20 : 16; // a field may also be longer than 16 bytes
    const QByteArray resto = e.mid(25 + largo);
    unaIncidencia(e.mid(25, largo), (modo & 4) ? QString::fromUtf8(resto) : desdeAnsi(resto), modo & 1);
    return 0;
}
