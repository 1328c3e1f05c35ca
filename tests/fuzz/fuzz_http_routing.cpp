// HTTP and HTTPS routing of a connection's first data.
#include "FuzzSupport.h"
#include "protocols/HttpRouting.h"

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

void CheckDirect(const QByteArray& original, const QByteArray& data, const HttpRouting::RouteResult& r, bool https)
{
    // Everything from the first line end on passes unchanged.
    const qsizetype inEnd = LineEnd(original), outEnd = LineEnd(data);
    FUZZ_CHECK(original.mid(inEnd) == data.mid(outEnd));
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
        // Origin form passes unchanged.
        FUZZ_CHECK(data == original);
        FUZZ_CHECK(r.strServerName.isEmpty());
    }
}

// An absolute-form request built from fuzzed parts routes to its host and
// keeps its path exactly.
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
    const QByteArray rest = "Host: x\r\n\r\n";
    QByteArray data = "GET " + scheme + Bytes(host) + ':' + QByteArray::number(port) + Bytes(path) + " HTTP/1.1\r\n" + rest;
    const HttpRouting::RouteSettings s{"False", HttpRouting::kPlaceholderProxy, "80", "80"};
    const auto r = HttpRouting::RouteRequest(data, s, https ? "https://" : "http://");
    FUZZ_CHECK(!r.blnFailed && r.lngPort == port);
    FUZZ_CHECK(r.strServerName == QString::fromLatin1(Bytes(host)));
    FUZZ_CHECK(data == "GET " + Bytes(path) + " HTTP/1.1\r\n" + rest);
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
