#pragma once
// Text helpers shared by every subsystem: the numeric value of a text, rounding
// to integers, and the Windows-1252 ("ANSI") encoding of config.ini and of the
// incident texts sent to terminals.

#include <QByteArray>
#include <QString>
#include <optional>

// The number a text begins with. Blanks, tabs and line feeds are ignored
// wherever they stand; an optional sign, digits, a decimal point and an
// exponent (E or D) are read; "&H" and "&O" prefixes read hexadecimal and
// octal digits. Reading stops at the first other character. A text that does
// not begin with a number is worth 0. Overlong numbers give +/-infinity.
double valorNumerico(QStringView texto);

// Round to the nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
double redondearPar(double valor);

// Rounded (halves to even) conversions that refuse values outside the range.
std::optional<qint16> aEntero16(double valor);
std::optional<qint32> aEntero32(double valor);

// Shorthand for the common "numeric value of a text, as a 16-bit integer".
std::optional<qint16> textoAEntero16(QStringView texto);

// Windows-1252 conversions. Characters without a Windows-1252 code become '?'.
QByteArray aAnsi(QStringView texto);
QString desdeAnsi(QByteArrayView bytes);
