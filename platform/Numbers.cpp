#include "platform/Numbers.h"

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

std::optional<double> ParseNumeric(const QString& text)
{
    static const QRegularExpression re(
        QStringLiteral("^[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?$"));
    const QString t = Blanks(text);
    if (!re.match(t).hasMatch()) return std::nullopt;
    bool ok = false;
    const double v = QLocale::c().toDouble(t, &ok);
    if (!ok || !std::isfinite(v)) return std::nullopt;
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

std::optional<qint64> WholeInRange(const QString& text, qint64 lo, qint64 hi)
{
    const auto v = ParseNumeric(text);
    if (!v) return std::nullopt;
    const double r = RoundHalfEven(*v);
    if (r < double(lo) || r > double(hi)) return std::nullopt;
    return qint64(r);
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
