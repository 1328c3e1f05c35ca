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

} // namespace tsy::Numbers
