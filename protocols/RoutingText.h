#pragma once
// Number reading shared by the POP3 and FTP routing: text that came from the
// network or the settings store is checked before it becomes a port.
#include <QByteArray>
#include <QString>

namespace RoutingText {

// Blanks, tabs, CR and LF around the text removed.
QByteArray Trimmed(const QByteArray& text);

// Numeric text (blanks and line ends around it allowed; optional sign,
// digits with an optional decimal point, optional exponent) rounded to the
// nearest whole number, a half to the even neighbour, and within [lo, hi].
// On failure lngError/strError are 13 "Type mismatch" (not a number) or
// 6 "Overflow" (out of range).
bool WholeNumber(const QByteArray& text, qint64 lo, qint64 hi, int& value, int& lngError, QString& strError);

} // namespace RoutingText
