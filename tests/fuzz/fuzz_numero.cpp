// The numeric value of a text, rounding and the Windows-1252 conversions: no
// crash, no NaN, conversions that agree with the rounding. The input is read
// as Windows-1252 text, as UTF-8 text and as raw doubles. The exact rules are
// test_texto's.

#include "tests/fuzz/comprobar.h"

#include "common/texto.h"

#include <cmath>
#include <cstring>

namespace {

void redondeo(double x)
{
    const double r = redondearPar(x);
    COMPROBAR(std::isfinite(x) ? r == std::floor(r) && std::fabs(r - x) <= 0.5 : r == x || (std::isnan(x) && std::isnan(r)));
    const auto e16 = aEntero16(x);
    const auto e32 = aEntero32(x);
    COMPROBAR(e16.has_value() == (std::isfinite(x) && r >= -32768.0 && r <= 32767.0) && (!e16 || *e16 == r));
    COMPROBAR(e32.has_value() == (std::isfinite(x) && r >= -2147483648.0 && r <= 2147483647.0) && (!e32 || *e32 == r));
}

void texto(const QString &t)
{
    const double v = valorNumerico(t);
    COMPROBAR(!std::isnan(v));
    redondeo(v);
    // One byte per character; characters outside Windows-1252 become '?'.
    const QString vuelta = desdeAnsi(aAnsi(t));
    COMPROBAR(vuelta.size() == t.size());
    for (qsizetype i = 0; i < t.size(); ++i)
        COMPROBAR(vuelta[i] == t[i] || vuelta[i] == u'?');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(datos), qsizetype(tamano));
    texto(desdeAnsi(bytes));
    texto(QString::fromUtf8(bytes));
    for (size_t i = 0; i + sizeof(double) <= tamano; i += sizeof(double)) {
        double x;
        std::memcpy(&x, datos + i, sizeof x);
        redondeo(x);
    }
    return 0;
}
