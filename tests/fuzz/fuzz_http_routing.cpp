// HTTP and HTTPS routing of a connection's first data.
#include "FuzzSupport.h"
#include "protocols/HttpRouting.h"

#include <iterator>

namespace {

bool Visible(char c) { return c > ' ' && c < 127; }

// METHOD SP TARGET SP HTTP/d.d: tokens of visible characters.
bool WellFormedLine(const QByteArray& line, QByteArray* method, QByteArray* target, QByteArray* version)
{
    const QList<QByteArray> tokens = line.split(' ');
    if (tokens.size() != 3) return false;
    for (const QByteArray& t : tokens) {
        if (t.isEmpty()) return false;
        for (char c : t)
            if (!Visible(c)) return false;
    }
    const QByteArray& v = tokens[2];
    if (v.size() != 8 || v.left(5).toUpper() != "HTTP/" || v[5] < '0' || v[5] > '9' || v[6] != '.' || v[7] < '0'
        || v[7] > '9')
        return false;
    *method = tokens[0];
    *target = tokens[1];
    *version = v;
    return true;
}

qsizetype LineEnd(const QByteArray& data)
{
    for (qsizetype i = 0; i < data.size(); ++i)
        if (data[i] == '\r' || data[i] == '\n') return i;
    return data.size();
}

QByteArray FieldName(const QByteArray& line)
{
    const qsizetype colon = line.indexOf(':');
    if (colon < 0) return {};
    QByteArray name = line.left(colon).toLower();
    while (name.endsWith(' ') || name.endsWith('\t')) name.chop(1);
    return name;
}

// A header line meant for the proxy, not the server: its name (blanks before
// the colon aside) is one of these, in any letter case.
bool ProxyOnlyLine(const QByteArray& line)
{
    const QByteArray name = FieldName(line);
    return name == "connection" || name == "proxy-connection" || name == "keep-alive" || name == "proxy-authorization";
}

// The whole header lines after the request line, each with whether it
// continues the field before it.
QList<QByteArray> HeaderLines(const QByteArray& original, qsizetype in, qsizetype* end)
{
    QList<QByteArray> lines;
    for (;;) {
        const qsizetype lf = original.indexOf('\n', in);
        if (lf < 0) break;
        const QByteArray line = original.mid(in, lf + 1 - in);
        if (line == "\n" || line == "\r\n") break;
        lines.append(line);
        in = lf + 1;
    }
    *end = in;
    return lines;
}

bool Continues(const QByteArray& line) { return line[0] == ' ' || line[0] == '\t'; }

// An upgrade request: a Connection line (or one of its continuations) lists
// "upgrade", and an Upgrade field is there.
bool Upgrades(const QList<QByteArray>& lines)
{
    bool listed = false, field = false;
    QByteArray name;
    for (const QByteArray& line : lines) {
        if (!Continues(line)) name = FieldName(line);
        field = field || name == "upgrade";
        if (name != "connection") continue;
        const QByteArray value = Continues(line) ? line : line.mid(line.indexOf(':') + 1);
        for (const QByteArray& item : value.split(','))
            listed = listed || item.trimmed().toLower() == "upgrade";
    }
    return listed && field;
}

// What follows the request line. With that line's end (LF or CR LF) in the
// data, exactly one "Connection: close" line ended the same way is added
// right after it; then come the original lines in order, less the whole
// header lines meant for the proxy (with their continuation lines); from the
// header's blank line, or a line not yet whole, everything is as it came.
// An upgrade request gets no added line and keeps its Connection lines.
// Without the line's end, nothing after it changes.
void CheckAfterRequestLine(const QByteArray& original, qsizetype inEnd, const QByteArray& data, qsizetype outEnd)
{
    QByteArray term;
    if (original.mid(inEnd, 1) == "\n") term = "\n";
    else if (original.mid(inEnd, 2) == "\r\n") term = "\r\n";
    if (term.isEmpty()) {
        FUZZ_CHECK(original.mid(inEnd) == data.mid(outEnd));
        return;
    }
    qsizetype in = 0;
    const QList<QByteArray> lines = HeaderLines(original, inEnd + term.size(), &in);
    const bool upgrade = Upgrades(lines);
    const QByteArray added = term + (upgrade ? "" : "Connection: close" + term);
    FUZZ_CHECK(data.mid(outEnd, added.size()) == added);
    qsizetype out = outEnd + added.size();
    bool dropping = false;
    for (const QByteArray& line : lines) {
        dropping = Continues(line) ? dropping : ProxyOnlyLine(line) && !(upgrade && FieldName(line) == "connection");
        if (!dropping) {
            FUZZ_CHECK(data.mid(out, line.size()) == line);
            out += line.size();
        }
    }
    FUZZ_CHECK(data.mid(out) == original.mid(in));
}

void CheckDirect(const QByteArray& original, const QByteArray& data, const HttpRouting::RouteResult& r, bool https)
{
    const qsizetype inEnd = LineEnd(original), outEnd = LineEnd(data);
    if (!r.blnRewritten) {
        FUZZ_CHECK(data == original);
    } else if (https) {
        // The CONNECT request is dropped by the handler: only the line changes.
        FUZZ_CHECK(original.mid(inEnd) == data.mid(outEnd));
    } else {
        CheckAfterRequestLine(original, inEnd, data, outEnd);
    }
    FUZZ_CHECK(!r.blnFailed);   // the stored port is a valid number
    FUZZ_CHECK(r.lngPort >= 1 && r.lngPort <= 65535);

    QByteArray method, target, version;
    if (!WellFormedLine(original.left(inEnd), &method, &target, &version)) return;
    // A well-formed request line stays well formed: same method and version,
    // the path one token that starts with "/".
    QByteArray m2, path, v2;
    FUZZ_CHECK(WellFormedLine(data.left(outEnd), &m2, &path, &v2));
    FUZZ_CHECK(m2 == method && v2 == version && path.startsWith('/'));
    const QByteArray prefix = https ? "https://" : "http://";
    if (target.startsWith('/') && !target.toLower().contains(prefix)) {
        // Origin form: the line passes unchanged.
        FUZZ_CHECK(data.left(outEnd) == original.left(inEnd));
        FUZZ_CHECK(r.strServerName.isEmpty());
    }
}

// Header lines a built request may carry: those meant for the proxy go (with
// their continuation), the others stay; an upgrade request keeps its
// Connection lines.
struct HeaderChoice {
    const char* line;
    bool kept;
    bool connection;
};
constexpr HeaderChoice kHeaders[] = {
    {"Host: x\r\n", true, false},
    {"Proxy-Authorization: Basic dXNlcjpwdw==\r\n", false, false},
    {"Proxy-Connection: Keep-Alive\r\n", false, false},
    {"connection : keep-alive\r\n", false, true},
    {"Keep-Alive: timeout=5\r\n", false, false},
    {"Connection-Id: 7\r\n", true, false},
    {"X-Proxy-Authorization: y\r\n", true, false},
    {"Connection: keep-alive, Upgrade\r\n", false, true},
    {"Upgrade: websocket\r\n", true, false},
    {"Upgrade-Insecure-Requests: 1\r\n", true, false},
};

// An absolute-form request built from fuzzed parts routes to its host, keeps
// its path exactly, and loses exactly the header lines meant for the proxy.
void CheckBuilt(FuzzedDataProvider& in, bool https)
{
    std::string host = in.ConsumeRandomLengthString(40);
    for (char& c : host)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = 'a';
    if (host.empty()) host = "h";
    const int port = in.ConsumeIntegralInRange<int>(1, 65535);
    std::string path = "/" + in.ConsumeRandomLengthString(200);
    for (char& c : path)
        if (!Visible(c)) c = '_';
    const QByteArray scheme = https ? "HTTPS://" : "http://";
    QByteArray headers, keptHeaders, upgradeHeaders;
    bool listed = false, field = false;
    const int count = in.ConsumeIntegralInRange<int>(0, 8);
    for (int i = 0; i < count; ++i) {
        const size_t k = in.ConsumeIntegralInRange<size_t>(0, std::size(kHeaders) - 1);
        const HeaderChoice& h = kHeaders[k];
        const QByteArray line = QByteArray(h.line) + (in.ConsumeBool() ? " folded\r\n" : "");
        headers += line;
        if (h.kept) keptHeaders += line;
        if (h.kept || h.connection) upgradeHeaders += line;
        listed = listed || k == 7;
        field = field || k == 8;
    }
    const QByteArray body = "\r\nConnection: keep-alive\r\n";   // after the blank line: the body's own
    QByteArray data = "GET " + scheme + Bytes(host) + ':' + QByteArray::number(port) + Bytes(path) + " HTTP/1.1\r\n"
        + headers + body;
    const HttpRouting::RouteSettings s{"False", HttpRouting::kPlaceholderProxy, "80", "80"};
    const auto r = https ? HttpRouting::RouteHttpsRequest(data, s) : HttpRouting::RouteHttpRequest(data, s);
    FUZZ_CHECK(!r.blnFailed && r.lngPort == port);
    FUZZ_CHECK(r.strServerName == QString::fromLatin1(Bytes(host)));
    const QByteArray line = "GET " + Bytes(path) + " HTTP/1.1\r\n";
    if (https) FUZZ_CHECK(data == line + headers + body);
    else if (listed && field) FUZZ_CHECK(data == line + upgradeHeaders + body);
    else FUZZ_CHECK(data == line + "Connection: close\r\n" + keptHeaders + body);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider in(bytes, size);
    const uint8_t opts = in.ConsumeIntegral<uint8_t>();
    const bool https = opts & 1;
    if (opts & 8) {
        CheckBuilt(in, https);
        return 0;
    }
    HttpRouting::RouteSettings s{"False", "upstream.example", "3128", "80"};
    if (opts & 2) s.strConnectToProxy = "True";
    const bool fuzzedSettings = opts & 4;
    if (fuzzedSettings) {
        s.strConnectToProxy = QString::fromLatin1(Bytes(in.ConsumeRandomLengthString(12)));
        s.strPort = QString::fromLatin1(Bytes(in.ConsumeRandomLengthString(24)));
        s.strSpecificPort = QString::fromLatin1(Bytes(in.ConsumeRandomLengthString(24)));
    }
    const QByteArray original = Bytes(in.ConsumeRemainingBytesAsString());
    QByteArray data = original;
    const auto r = https ? HttpRouting::RouteHttpsRequest(data, s) : HttpRouting::RouteHttpRequest(data, s);
    if (r.blnFailed) FUZZ_CHECK(r.lngError == 6 || r.lngError == 13);
    bool proxy = false;
    if (HttpRouting::ParseTruth(s.strConnectToProxy, &proxy) && proxy) {
        // The upstream proxy gets the request exactly as sent.
        FUZZ_CHECK(data == original);
        FUZZ_CHECK(r.strServerName == s.strProxy);
    } else if (!fuzzedSettings) {
        CheckDirect(original, data, r, https);
    }
    return 0;
}
