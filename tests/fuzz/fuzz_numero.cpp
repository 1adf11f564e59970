// The numeric value of a text, rounding and the Windows-1252 conversions.
// The input is read as Windows-1252 text, as UTF-8 text and as raw doubles.

#include "comprobar.h"

#include "texto.h"

#include <QRegularExpression>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void redondeo(double x)
{
    const double r = redondearPar(x);
    if (!std::isfinite(x)) {
        COMPROBAR(std::isnan(x) ? std::isnan(r) : r == x);
    } else {
        COMPROBAR(r == std::floor(r));
        const double d = std::fabs(r - x);
        COMPROBAR(d <= 0.5);
        if (d == 0.5)
            COMPROBAR(std::fmod(r, 2.0) == 0.0);
    }
    const auto e16 = aEntero16(x);
    const auto e32 = aEntero32(x);
    const bool cabe16 = std::isfinite(x) && r >= -32768.0 && r <= 32767.0;
    const bool cabe32 = std::isfinite(x) && r >= -2147483648.0 && r <= 2147483647.0;
    COMPROBAR(e16.has_value() == cabe16);
    COMPROBAR(e32.has_value() == cabe32);
    if (e16)
        COMPROBAR(double(*e16) == r);
    if (e32)
        COMPROBAR(double(*e32) == r);
}

void texto(const QString &t)
{
    const double v = valorNumerico(t);
    COMPROBAR(!std::isnan(v));
    redondeo(v);
    if (const auto e = textoAEntero16(t))
        COMPROBAR(double(*e) == redondearPar(v));

    // A plain decimal number is worth what the C library reads.
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+(\\.[0-9]*)?([eE][+-]?[0-9]+)?$"));
    if (decimal.match(t).hasMatch()) {
        const std::string s = t.toStdString();
        COMPROBAR(v == std::strtod(s.c_str(), nullptr));
    }
    // Hexadecimal and octal, small enough to be exact.
    static const QRegularExpression hex(QStringLiteral("^&[Hh]([0-9A-Fa-f]{1,13})$"));
    static const QRegularExpression oct(QStringLiteral("^&[Oo]([0-7]{1,17})$"));
    if (const auto m = hex.match(t); m.hasMatch())
        COMPROBAR(v == double(std::strtoull(m.captured(1).toStdString().c_str(), nullptr, 16)));
    if (const auto m = oct.match(t); m.hasMatch())
        COMPROBAR(v == double(std::strtoull(m.captured(1).toStdString().c_str(), nullptr, 8)));
    // A text that does not start with a digit, a sign, a point, a blank or '&' is worth 0.
    if (!t.isEmpty() && !t[0].isDigit() && !QStringLiteral("+-.&\t\n ").contains(t[0]))
        COMPROBAR(v == 0);

    // Every character has one byte; characters outside Windows-1252 become '?'.
    const QByteArray ansi = aAnsi(t);
    COMPROBAR(ansi.size() == t.size());
    const QString vuelta = desdeAnsi(ansi);
    COMPROBAR(vuelta.size() == t.size());
    for (qsizetype i = 0; i < t.size(); ++i)
        COMPROBAR(vuelta[i] == t[i] || vuelta[i] == u'?');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(datos), qsizetype(tamano));
    const QString ansi = desdeAnsi(bytes);
    COMPROBAR(ansi.size() == bytes.size());
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
