#include "common/texto.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

bool esBlanco(QChar c) { return c == u' ' || c == u'\t' || c == u'\n'; }

// Digits in the given base, skipping blanks; the value saturates to infinity.
double leerEnBase(QStringView t, qsizetype i, int base)
{
    double valor = 0;
    for (; i < t.size(); ++i) {
        const QChar c = t[i];
        if (esBlanco(c))
            continue;
        const int d = c.isDigit() ? c.digitValue()
                    : (c.toUpper() >= u'A' && c.toUpper() <= u'F') ? 10 + (c.toUpper().unicode() - u'A')
                    : 99;
        if (d >= base)
            break;
        valor = valor * base + d;
    }
    return valor;
}

} // namespace

double valorNumerico(QStringView t)
{
    qsizetype i = 0;
    while (i < t.size() && esBlanco(t[i]))
        ++i;
    if (i + 1 < t.size() && t[i] == u'&') {
        const QChar p = t[i + 1].toUpper();
        if (p == u'H')
            return leerEnBase(t, i + 2, 16);
        if (p == u'O')
            return leerEnBase(t, i + 2, 8);
        return 0;
    }
    // Collect the decimal number without blanks, then let strtod convert it.
    std::string limpio;
    bool signo = false, digitos = false, punto = false, exponente = false, signoExp = false;
    for (; i < t.size(); ++i) {
        const QChar c = t[i];
        if (esBlanco(c))
            continue;
        if ((c == u'+' || c == u'-') && !signo && !digitos && !punto && !exponente) {
            signo = true;
        } else if (c.isDigit() && c.unicode() < 128) {
            digitos = true;
        } else if (c == u'.' && !punto && !exponente) {
            punto = true;
        } else if ((c == u'E' || c == u'e' || c == u'D' || c == u'd') && digitos && !exponente) {
            exponente = true;
            limpio += 'e';
            continue;
        } else if ((c == u'+' || c == u'-') && exponente && !signoExp && limpio.back() == 'e') {
            signoExp = true;
        } else {
            break;
        }
        limpio += char(c.unicode());
    }
    if (!digitos)
        return 0;
    // An exponent marker without digits adds nothing.
    while (!limpio.empty() && (limpio.back() == 'e' || limpio.back() == '+' || limpio.back() == '-'))
        limpio.pop_back();
    return std::strtod(limpio.c_str(), nullptr);
}

double redondearPar(double valor)
{
    return std::nearbyint(valor); // the default rounding mode rounds halves to even
}

template <typename T>
static std::optional<T> aEntero(double valor)
{
    if (!std::isfinite(valor))
        return std::nullopt;
    const double r = redondearPar(valor);
    if (r < double(std::numeric_limits<T>::min()) || r > double(std::numeric_limits<T>::max()))
        return std::nullopt;
    return T(r);
}

std::optional<qint16> aEntero16(double valor) { return aEntero<qint16>(valor); }
std::optional<qint32> aEntero32(double valor) { return aEntero<qint32>(valor); }
std::optional<qint16> textoAEntero16(QStringView texto) { return aEntero16(valorNumerico(texto)); }

namespace {
// Code points of bytes 0x80..0x9F; the five unassigned bytes keep their C1 value.
constexpr std::array<char16_t, 32> kAlto = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
} // namespace

QByteArray aAnsi(QStringView texto)
{
    QByteArray salida;
    salida.reserve(texto.size());
    for (QChar c : texto) {
        const char16_t u = c.unicode();
        char b = '?';
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            b = char(u);
        } else {
            for (int k = 0; k < 32; ++k)
                if (kAlto[k] == u) {
                    b = char(0x80 + k);
                    break;
                }
        }
        salida.append(b);
    }
    return salida;
}

QString desdeAnsi(QByteArrayView bytes)
{
    QString salida;
    salida.reserve(bytes.size());
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        salida.append(b >= 0x80 && b < 0xA0 ? QChar(kAlto[b - 0x80]) : QChar(b));
    }
    return salida;
}
