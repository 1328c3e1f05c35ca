#include "protocols/HttpRouting.h"

#include "platform/Numbers.h"
#include "platform/Settings.h"

#include <cmath>
#include <limits>

namespace HttpRouting {

namespace {

// Classic run-time error numbers for a failed conversion.
constexpr int kErrOverflow = 6;
constexpr int kErrTypeMismatch = 13;

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Position (0-based) of needle in hay at or after from, ASCII letters compared
// without regard to case; -1 when absent. needle must be lower case.
qsizetype FindNoCase(const QByteArray& hay, const QByteArray& needle, qsizetype from)
{
    const qsizetype n = needle.size();
    if (from < 0) from = 0;
    for (qsizetype i = from; i + n <= hay.size(); ++i) {
        qsizetype k = 0;
        while (k < n && AsciiLower(hay[i + k]) == needle[k]) ++k;
        if (k == n) return i;
    }
    return -1;
}

// Start of the version: the request line's last blank-separated token when
// it begins with "HTTP/" in any case; -1 when there is none after the first
// blank b on that line. Taking the last token keeps a target that contains "http/" whole.
qsizetype VersionStart(const QByteArray& data, qsizetype b)
{
    // A first blank beyond the request line leaves no target on it.
    for (qsizetype i = 0; i < b; ++i)
        if (data[i] == '\r' || data[i] == '\n') return -1;
    qsizetype end = b;
    while (end < data.size() && data[end] != '\r' && data[end] != '\n') ++end;
    while (end > b && data[end - 1] == ' ') --end;
    qsizetype v = end;
    while (v > b && data[v - 1] != ' ') --v;
    static const char kVersion[] = "http/";
    if (v <= b || end - v < 5) return -1;
    for (int k = 0; k < 5; ++k)
        if (AsciiLower(data[v + k]) != kVersion[k]) return -1;
    return v;
}

// Blanks are the space character only.
QByteArray TrimBlanks(const QByteArray& s)
{
    qsizetype a = 0, e = s.size();
    while (a < e && s[a] == ' ') ++a;
    while (e > a && s[e - 1] == ' ') --e;
    return s.mid(a, e - a);
}

// A stored setting converted to a whole number; false with the error filled
// when it is not numeric or does not fit.
bool StoredWhole(const QString& text, int* value, RouteResult* r)
{
    const auto d = tsy::Numbers::ParseNumeric(text);
    if (!d || !std::isfinite(*d)) {
        r->blnFailed = true;
        r->lngError = kErrTypeMismatch;
        r->strError = QStringLiteral("Type mismatch");
        return false;
    }
    const double w = tsy::Numbers::RoundHalfEven(*d);
    if (w < double(std::numeric_limits<int>::min()) || w > double(std::numeric_limits<int>::max())) {
        r->blnFailed = true;
        r->lngError = kErrOverflow;
        r->strError = QStringLiteral("Overflow");
        return false;
    }
    *value = int(w);
    return true;
}

// A port named in the request: usable only when numeric and a real TCP port.
bool RequestPort(const QByteArray& text, int* value)
{
    if (text.isEmpty()) return false;
    const auto d = tsy::Numbers::ParseNumeric(QString::fromLatin1(text));
    if (!d || !std::isfinite(*d)) return false;
    const double w = tsy::Numbers::RoundHalfEven(*d);
    if (w < 1.0 || w > 65535.0) return false;
    *value = int(w);
    return true;
}

enum class Field { Other, Connection, ProxyConnection, KeepAlive, ProxyAuthorization, Upgrade };

// The field a header line of len bytes at pos starts, with where its value
// begins.
Field FieldOf(const QByteArray& data, qsizetype pos, qsizetype len, qsizetype* value)
{
    static const struct {
        QByteArrayView name;
        Field field;
    } kNames[] = {{"connection", Field::Connection},
                  {"proxy-connection", Field::ProxyConnection},
                  {"keep-alive", Field::KeepAlive},
                  {"proxy-authorization", Field::ProxyAuthorization},
                  {"upgrade", Field::Upgrade}};
    const char* line = data.constData() + pos;
    for (const auto& [name, field] : kNames) {
        if (len <= name.size()) continue;
        qsizetype i = 0;
        while (i < name.size() && AsciiLower(line[i]) == name[i]) ++i;
        if (i < name.size()) continue;
        // Blanks before the colon are malformed, but a lenient server would
        // still read the field.
        while (i < len && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i < len && line[i] == ':') {
            *value = pos + i + 1;
            return field;
        }
    }
    return Field::Other;
}

bool SpeaksToProxy(Field f)
{
    return f == Field::Connection || f == Field::ProxyConnection || f == Field::KeepAlive
           || f == Field::ProxyAuthorization;
}

// Whether a comma-separated list holds the token, in any letter case.
bool ListHolds(QByteArrayView list, QByteArrayView token)
{
    for (qsizetype a = 0; a <= list.size();) {
        qsizetype e = list.indexOf(',', a);
        if (e < 0) e = list.size();
        QByteArrayView item = list.sliced(a, e - a).trimmed();
        if (item.compare(token, Qt::CaseInsensitive) == 0) return true;
        a = e + 1;
    }
    return false;
}

// Calls visit(pos, len, field, value) for each whole header line from pos to
// the blank line that ends the header; a continuation line carries its
// field's kind. Returns where the walk stopped.
template <typename Visit>
qsizetype WalkHeader(const QByteArray& data, qsizetype pos, Visit visit)
{
    Field current = Field::Other;
    while (pos < data.size()) {
        const qsizetype lf = data.indexOf('\n', pos);
        if (lf < 0) break;   // a line that is not whole yet
        const qsizetype len = lf + 1 - pos;
        if (len == 1 || (len == 2 && data[pos] == '\r')) break;   // end of the header
        qsizetype value = pos;
        if (data[pos] != ' ' && data[pos] != '\t') current = FieldOf(data, pos, len, &value);
        visit(pos, len, current, value);
        pos = lf + 1;
    }
    return pos;
}

// A request that asks to switch protocols (a WebSocket handshake, say): its
// Connection field names "upgrade" and an Upgrade field says to what.
bool AsksToUpgrade(const QByteArray& data, qsizetype pos)
{
    bool blnConnectionUpgrade = false, blnUpgradeField = false;
    WalkHeader(data, pos, [&](qsizetype at, qsizetype len, Field field, qsizetype value) {
        if (field == Field::Upgrade) blnUpgradeField = true;
        if (field == Field::Connection && ListHolds(QByteArrayView(data).sliced(value, at + len - value), "upgrade"))
            blnConnectionUpgrade = true;
    });
    return blnConnectionUpgrade && blnUpgradeField;
}

} // namespace

bool ParseTruth(const QString& text, bool* value)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) { *value = true; return true; }
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) { *value = false; return true; }
    const auto d = tsy::Numbers::ParseNumeric(t);
    if (!d || std::isnan(*d)) return false;
    *value = (*d != 0.0);
    return true;
}

RouteSettings ReadRouteSettings(const QString& strProtocolName, int lngLocalPort)
{
    const QString section = QStringLiteral("Protocols\\") + strProtocolName + QStringLiteral("\\Port ") + QString::number(lngLocalPort);
    RouteSettings s;
    s.strConnectToProxy = tsy::Settings::GetSetting(section, QStringLiteral("ConnectToProxy"), QStringLiteral("False"));
    s.strProxy = tsy::Settings::GetSetting(section, QStringLiteral("Proxy"), QString::fromLatin1(kPlaceholderProxy));
    s.strPort = tsy::Settings::GetSetting(section, QStringLiteral("Port"), QStringLiteral("80"));
    s.strSpecificPort = tsy::Settings::GetSetting(section, QStringLiteral("SpecificPort"), QStringLiteral("80"));
    return s;
}

RouteResult RouteRequest(QByteArray& strData, const RouteSettings& settings, const QByteArray& strPrefix)
{
    RouteResult r;

    bool blnProxy = false;
    if (!ParseTruth(settings.strConnectToProxy, &blnProxy)) {
        r.blnFailed = true;
        r.lngError = kErrTypeMismatch;
        r.strError = QStringLiteral("Type mismatch");
        return r;
    }
    if (blnProxy) {
        // The upstream proxy gets the request exactly as the client sent it.
        r.strServerName = settings.strProxy;
        int port = 0;
        if (StoredWhole(settings.strPort, &port, &r)) r.lngPort = port;
        return r;
    }

    // Direct mode: the target lies between the first blank and the version.
    QByteArray portText;
    const qsizetype b = strData.indexOf(' ');
    const qsizetype v = (b < 0) ? -1 : VersionStart(strData, b);
    if (b >= 0 && v >= 0) {
        QByteArray target = TrimBlanks(strData.mid(b, v - b));
        if (FindNoCase(target, strPrefix, 0) >= 0) target.remove(0, strPrefix.size());

        QByteArray path = QByteArrayLiteral("/");
        const qsizetype slash = target.indexOf('/');
        if (slash >= 0) {
            path = target.mid(slash);
            target.truncate(slash);
        }
        const qsizetype colon = target.indexOf(':');
        if (colon >= 0) {
            portText = target.mid(colon + 1);
            target.truncate(colon);
        }

        // Method and its blank, the path, one blank, then the version and
        // everything after it as sent.
        QByteArray rewritten;
        rewritten.reserve(b + 1 + path.size() + 1 + (strData.size() - v));
        rewritten.append(strData.constData(), b + 1);
        rewritten.append(path);
        rewritten.append(' ');
        rewritten.append(strData.constData() + v, strData.size() - v);
        strData = std::move(rewritten);

        r.strServerName = QString::fromLatin1(target);
        r.blnRewritten = true;
    }

    int port = 0;
    if (RequestPort(portText, &port)) {
        r.lngPort = port;
    } else if (StoredWhole(settings.strSpecificPort, &port, &r)) {
        r.lngPort = port;
    }
    return r;
}

RouteResult RouteHttpRequest(QByteArray& strData, const RouteSettings& settings)
{
    RouteResult r = RouteRequest(strData, settings, QByteArrayLiteral("http://"));
    if (r.blnRewritten) CloseAfterOneResponse(strData);
    return r;
}

bool CloseAfterOneResponse(QByteArray& strData)
{
    qsizetype e = 0;
    while (e < strData.size() && strData[e] != '\r' && strData[e] != '\n') ++e;
    if (e == strData.size()) return false;
    // The added line ends as the request line does.
    QByteArray term;
    if (strData[e] == '\n') term = "\n";
    else if (e + 1 < strData.size() && strData[e + 1] == '\n') term = "\r\n";
    else return false;

    qsizetype pos = e + term.size();
    // An upgraded connection stays with its one server: it keeps the
    // Connection field that asks for the upgrade, and is not asked to close.
    const bool blnUpgrade = AsksToUpgrade(strData, pos);
    QByteArray out;
    out.reserve(strData.size() + 19);
    out.append(strData.constData(), pos);
    if (!blnUpgrade) {
        out.append("Connection: close");
        out.append(term);
    }
    pos = WalkHeader(strData, pos, [&](qsizetype at, qsizetype len, Field field, qsizetype) {
        const bool blnDrop = SpeaksToProxy(field) && !(blnUpgrade && field == Field::Connection);
        if (!blnDrop) out.append(strData.constData() + at, len);
    });
    out.append(strData.constData() + pos, strData.size() - pos);
    strData = std::move(out);
    return true;
}

RouteResult RouteHttpsRequest(QByteArray& strData, const RouteSettings& settings)
{
    return RouteRequest(strData, settings, QByteArrayLiteral("https://"));
}

} // namespace HttpRouting
