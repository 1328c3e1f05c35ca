#include "protocols/RoutingText.h"

#include "platform/Numbers.h"

#include <algorithm>
#include <climits>

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
    const auto d = tsy::Numbers::ReadNumber(QString::fromLatin1(Trimmed(text)));
    if (!d) {
        lngError = 13;
        strError = QStringLiteral("Type mismatch");
        return false;
    }
    const auto w = tsy::Numbers::WholeWithin(tsy::Numbers::RoundHalfEven(*d), std::max<qint64>(lo, INT_MIN),
                                             std::min<qint64>(hi, INT_MAX));
    if (!w) {
        lngError = 6;
        strError = QStringLiteral("Overflow");
        return false;
    }
    value = int(*w);
    return true;
}

BeforeLogin TakeCommandBeforeLogin(QByteArray& pending, QByteArray& line, const QByteArray& loginWord)
{
    line.clear();
    qsizetype wordEnd = 0;
    auto wordEnds = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (wordEnd < pending.size() && !wordEnds(pending[wordEnd])) ++wordEnd;
    const QByteArray word = pending.left(wordEnd).toUpper();
    const bool wordWhole = wordEnd < pending.size();
    if (wordWhole && word == loginWord) return BeforeLogin::Login;
    qsizetype lineEnd = pending.indexOf('\n') + 1;
    if (lineEnd == 0) {
        if (pending.size() < kMaxLineBeforeLogin) return BeforeLogin::Wait;
        lineEnd = pending.size();
    }
    line = pending.left(lineEnd);
    pending.remove(0, lineEnd);
    return wordWhole && word == "QUIT" ? BeforeLogin::Quit : BeforeLogin::Answer;
}

} // namespace RoutingText
