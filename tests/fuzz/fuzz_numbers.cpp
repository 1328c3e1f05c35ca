// Numeric text: the store's and the network's numbers, checked against a
// reference reading (a hand-written grammar and strtod in the C locale).
#include "FuzzSupport.h"
#include "platform/Numbers.h"
#include "protocols/RoutingText.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <string>

namespace {

bool Digit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// Blanks and tabs around; optional sign, digits with an optional point and
// digits (or a point and digits), optional exponent.
bool ReferenceNumeric(const QString& text, std::string* core)
{
    qsizetype b = 0, e = text.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    qsizetype i = b;
    if (i < e && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) ++i;
    qsizetype digits = 0;
    while (i < e && Digit(text[i])) ++i, ++digits;
    if (i < e && text[i] == QLatin1Char('.')) {
        ++i;
        while (i < e && Digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < e && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        ++i;
        if (i < e && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) ++i;
        qsizetype exp = 0;
        while (i < e && Digit(text[i])) ++i, ++exp;
        if (exp == 0) return false;
    }
    if (i != e) return false;
    *core = text.mid(b, e - b).toStdString();
    return true;
}

void CheckRounding(double v)
{
    const double r = tsy::Numbers::RoundHalfEven(v);
    FUZZ_CHECK(r == std::floor(r));
    FUZZ_CHECK(std::fabs(r - v) <= 0.5);
    if (std::fabs(r - v) == 0.5) FUZZ_CHECK(std::fmod(r, 2.0) == 0.0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider in(bytes, size);
    qint64 lo = in.ConsumeIntegral<qint64>();
    qint64 hi = in.ConsumeIntegral<qint64>();
    if (lo > hi) std::swap(lo, hi);
    const QByteArray raw = Bytes(in.ConsumeRemainingBytesAsString());
    const QString text = QString::fromUtf8(raw);

    std::string core;
    const bool numeric = ReferenceNumeric(text, &core);
    errno = 0;
    const double ref = numeric ? std::strtod(core.c_str(), nullptr) : 0.0;
    const bool rangeError = errno == ERANGE;

    const auto read = tsy::Numbers::ReadNumber(text);
    const auto parsed = tsy::Numbers::ParseNumeric(text);
    FUZZ_CHECK(read.has_value() == numeric);
    FUZZ_CHECK(tsy::Numbers::IsNumeric(text) == parsed.has_value());
    if (numeric) {
        if (std::isinf(ref)) {
            FUZZ_CHECK(*read == ref && !parsed);
        } else if (rangeError && std::fabs(ref) < DBL_MIN) {
            // Too small to represent: 0 (or the same subnormal value).
            FUZZ_CHECK(parsed && (*parsed == 0.0 || *parsed == ref));
        } else {
            FUZZ_CHECK(parsed && *parsed == ref);
        }
    }

    if (parsed) {
        CheckRounding(*parsed);
        const double r = tsy::Numbers::RoundHalfEven(*parsed);
        const auto whole = tsy::Numbers::WholeInRange(text, lo, hi);
        const bool inside = (long double)r >= (long double)lo && (long double)r <= (long double)hi;
        FUZZ_CHECK(whole.has_value() == inside);
        if (whole) FUZZ_CHECK(*whole >= lo && *whole <= hi && (long double)*whole == (long double)r);
    } else {
        FUZZ_CHECK(!tsy::Numbers::WholeInRange(text, lo, hi));
    }

    const QString rule = tsy::Numbers::BytesPerRowRule(text);
    const int perRow = rule.toInt();
    FUZZ_CHECK(perRow >= 4 && perRow <= 128 && perRow % 4 == 0);

    // The network's variant: line ends around allowed, the result an int.
    int value = 12345, code = 0;
    QString error;
    if (RoutingText::WholeNumber(raw, lo, hi, value, code, error)) {
        FUZZ_CHECK(value >= lo && value <= hi);
    } else {
        const bool isNumber = tsy::Numbers::ReadNumber(QString::fromLatin1(RoutingText::Trimmed(raw))).has_value();
        FUZZ_CHECK(value == 12345 && (code == (isNumber ? 6 : 13)));
    }
    return 0;
}
