#include "protocols/RoutingText.h"

#include <QRegularExpression>
#include <cmath>

namespace RoutingText {

QByteArray Trimmed(const QByteArray& text)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    qsizetype b = 0, e = text.size();
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    return text.mid(b, e - b);
}

bool WholeNumber(const QByteArray& text, qint64 lo, qint64 hi, int& value, int& lngError, QString& strError)
{
    static const QRegularExpression numeric(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    const QString t = QString::fromLatin1(Trimmed(text));
    if (!numeric.match(t).hasMatch()) {
        lngError = 13;
        strError = QStringLiteral("Type mismatch");
        return false;
    }
    bool ok = false;
    const double d = t.toDouble(&ok);
    // nearbyint rounds to the even neighbour in the default rounding mode.
    const double r = std::nearbyint(d);
    if (!ok || !std::isfinite(r) || r < double(lo) || r > double(hi)) {
        lngError = 6;
        strError = QStringLiteral("Overflow");
        return false;
    }
    value = int(r);
    return true;
}

} // namespace RoutingText
