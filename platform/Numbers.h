#pragma once
// The numeric-text rule: blanks around ignored; optional sign, digits with an
// optional decimal point and digits, optional exponent; C locale.
#include <QString>
#include <optional>

namespace tsy::Numbers {

bool IsNumeric(const QString& text);
std::optional<double> ParseNumeric(const QString& text);
// Nearest whole number, a half to the even neighbour.
double RoundHalfEven(double value);
// Numeric text rounded half to even into [lo, hi]; nullopt when not numeric or out of range.
std::optional<qint64> WholeInRange(const QString& text, qint64 lo, qint64 hi);
// What a bytes-per-row box holds after the user's edit: "8" for non-numeric
// text, otherwise 4..128 rounded half to even and cut down to a multiple of 4,
// so the formatting library only ever sees 4, 8, ..., 128.
QString BytesPerRowRule(const QString& text);

} // namespace tsy::Numbers
