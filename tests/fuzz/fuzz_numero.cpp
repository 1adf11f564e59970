// The numeric value of a text, rounding and the Windows-1252 conversions.
// The input is read as Windows-1252 text, as UTF-8 text and as raw doubles.

#include "tests/fuzz/comprobar.h"

#include "common/texto.h"

#include <QRegularExpression>
#include <cmath>
#include <cstring>
#include <string>

namespace {

void redondeo(double x)
{
    const double r = redondearPar(x);
    if (!std::isfinite(x)) {
        COMPROBAR(std::isnan(x) ? std::isnan(r) : r == x);
    } else {
        const double d = std::fabs(r - x);
        COMPROBAR(r == std::floor(r) && d <= 0.5);
        COMPROBAR(d < 0.5 || std::fmod(r, 2.0) == 0.0); // halves go to the even neighbour
    }
    const auto e16 = aEntero16(x);
    const auto e32 = aEntero32(x);
    COMPROBAR(e16.has_value() == (std::isfinite(x) && r >= -32768.0 && r <= 32767.0));
    COMPROBAR(e32.has_value() == (std::isfinite(x) && r >= -2147483648.0 && r <= 2147483647.0));
    COMPROBAR(!e16 || double(*e16) == r);
    COMPROBAR(!e32 || double(*e32) == r);
}

void texto(const QString &t)
{
    const double v = valorNumerico(t);
    COMPROBAR(!std::isnan(v));
    redondeo(v);
    COMPROBAR(textoAEntero16(t) == aEntero16(v));

    // A plain decimal number is worth what the C library reads.
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+(\\.[0-9]*)?([eE][+-]?[0-9]+)?$"));
    if (decimal.match(t).hasMatch())
        COMPROBAR(v == std::strtod(t.toStdString().c_str(), nullptr));

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
    const QString ansi = desdeAnsi(bytes);
    COMPROBAR(aAnsi(ansi) == bytes); // every byte string survives the round trip
    texto(ansi);
    texto(QString::fromUtf8(bytes));
    for (size_t i = 0; i + sizeof(double) <= tamano; i += sizeof(double)) {
        double x;
        std::memcpy(&x, datos + i, sizeof x);
        redondeo(x);
    }
    return 0;
}
