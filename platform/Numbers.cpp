#include "platform/Numbers.h"

#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <cmath>

namespace tsy::Numbers {

namespace {
QString Blanks(const QString& text)
{
    // Blanks around the number are ignored: spaces and tabs.
    qsizetype b = 0, e = text.size();
    while (b < e && (text[b] == QLatin1Char(' ') || text[b] == QLatin1Char('\t'))) ++b;
    while (e > b && (text[e - 1] == QLatin1Char(' ') || text[e - 1] == QLatin1Char('\t'))) --e;
    return text.mid(b, e - b);
}
} // namespace

namespace {
std::optional<double> Read(const QString& text)
{
    // \z, not $: $ would also match before a final line feed.
    static const QRegularExpression re(
        QStringLiteral("\\A[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?\\z"));
    const QString t = Blanks(text);
    if (!re.match(t).hasMatch()) return std::nullopt;
    bool ok = false;
    const double v = QLocale::c().toDouble(t, &ok);
    // The text is a number; a failed conversion is a magnitude a double cannot
    // hold: infinity beyond the largest, 0 below the smallest.
    if (!ok) return std::isinf(v) ? v : 0.0;
    return v;
}
} // namespace

std::optional<double> ReadNumber(const QString& text)
{
    // The same few texts are read many times a second (the purge reads its
    // limits every 21 events, each connection the simulation's rules and its
    // server's address): their answers are kept, a bounded number of them.
    constexpr qsizetype kKept = 256;
    thread_local QHash<QString, std::optional<double>> answers;
    if (const auto found = answers.constFind(text); found != answers.constEnd()) return *found;
    if (answers.size() >= kKept) answers.clear();
    const auto value = Read(text);
    answers.insert(text, value);
    return value;
}

std::optional<double> ParseNumeric(const QString& text)
{
    const auto v = ReadNumber(text);
    if (!v || !std::isfinite(*v)) return std::nullopt;
    return v;
}

bool IsNumeric(const QString& text) { return ParseNumeric(text).has_value(); }

double RoundHalfEven(double value)
{
    if (!std::isfinite(value)) return value;
    const double fl = std::floor(value);
    const double diff = value - fl;
    if (diff < 0.5) return fl;
    if (diff > 0.5) return fl + 1.0;
    return std::fmod(fl, 2.0) == 0.0 ? fl : fl + 1.0;
}

std::optional<qint64> WholeWithin(double whole, qint64 lo, qint64 hi)
{
    // 2^63 is the first double past qint64; NaN fails both comparisons.
    constexpr double kLimit = 9223372036854775808.0;
    if (!(whole >= -kLimit && whole < kLimit)) return std::nullopt;
    const auto w = qint64(whole);
    if (w < lo || w > hi) return std::nullopt;
    return w;
}

std::optional<qint64> WholeInRange(const QString& text, qint64 lo, qint64 hi)
{
    const auto v = ParseNumeric(text);
    if (!v) return std::nullopt;
    return WholeWithin(RoundHalfEven(*v), lo, hi);
}

QString BytesPerRowRule(const QString& text)
{
    const auto v = ParseNumeric(text);
    if (!v) return QStringLiteral("8");
    const double clamped = *v < 4.0 ? 4.0 : (*v > 128.0 ? 128.0 : *v);
    const auto whole = qint64(RoundHalfEven(clamped));
    return QString::number(whole / 4 * 4);
}

} // namespace tsy::Numbers
