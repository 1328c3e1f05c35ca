#pragma once
// The numeric-text rule: blanks around ignored; optional sign, digits with an
// optional decimal point and digits, optional exponent; C locale.
#include <QString>
#include <optional>

namespace tsy::Numbers {

bool IsNumeric(const QString& text);
// The value of numeric text; nullopt when the text is not numeric or its
// magnitude is beyond a double's. A magnitude too small to represent is 0.
std::optional<double> ParseNumeric(const QString& text);
// The same, but numeric text beyond a double's range gives +-infinity, so a
// caller can tell "too large" from "not a number".
std::optional<double> ReadNumber(const QString& text);
// Nearest whole number, a half to the even neighbour.
double RoundHalfEven(double value);
// A value already rounded to a whole number, converted only when it lies in
// [lo, hi] (never a conversion out of qint64's range); nullopt otherwise.
std::optional<qint64> WholeWithin(double whole, qint64 lo, qint64 hi);
// Numeric text rounded half to even into [lo, hi]; nullopt when not numeric or out of range.
std::optional<qint64> WholeInRange(const QString& text, qint64 lo, qint64 hi);
// What a bytes-per-row box holds after the user's edit: "8" for non-numeric
// text, otherwise 4..128 rounded half to even and cut down to a multiple of 4,
// so the formatting library only ever sees 4, 8, ..., 128.
QString BytesPerRowRule(const QString& text);

} // namespace tsy::Numbers
