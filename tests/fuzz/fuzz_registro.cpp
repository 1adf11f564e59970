// Punch records and incident text fields: nothing crashes on any record, short
// ones included, and what the fields say agrees with itself. The exact rules
// (classes, flags, dates, texts) are the commands tests'.
//
// Layout: [0..13] a ring record, [14..17] the slot after it, [18..23] not used,
// [24] flag and text kind, then a 16-byte text field read back, then the rest
// as a description.

#include "tests/fuzz/comprobar.h"

#include "commands/mod_comunicaciones_kora.h"
#include "common/texto.h"

#include <algorithm>

using namespace MOD_comunicaciones_kora;

namespace {

void unRegistro(const QByteArray &r, const QByteArray &cont)
{
    const ClaseRegistro clase = ClasificarRegistro(r);
    const Marcaje m = DecodificarMarcaje(r, cont);
    COMPROBAR(m.fechaHora == ComponerFechaHora(r));
    if (m.fechaHora.isValid())
        COMPROBAR(m.fechaHora.date().year() >= 100 && m.fechaHora.date().year() <= 9999);
    COMPROBAR(clase == ClaseRegistro::Fin || clase == ClaseRegistro::Invalido || m.tarjeta.toLongLong() != 0);
    COMPROBAR(clase != ClaseRegistro::Simple || m.subcodigo.toLongLong() == 0);
}

void unaIncidencia(const QByteArray &campo, const QString &descripcion, bool marca)
{
    COMPROBAR(TextoIncidencia(campo).size() <= 16);
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
