// Routing of the first request data, as tables: no sockets involved.
#include "common/TestSupport.h"
#include "platform/Settings.h"
#include "protocols/HttpRouting.h"

#include <gtest/gtest.h>

using HttpRouting::RouteSettings;

namespace {

RouteSettings Direct(const QString& specificPort = "80")
{
    return RouteSettings{"False", HttpRouting::kPlaceholderProxy, "80", specificPort};
}

struct Row {
    const char* in;
    const char* server;
    int port;
    const char* out;   // nullptr: data unchanged
};

void CheckRows(const std::vector<Row>& rows, bool https, const RouteSettings& s)
{
    for (const Row& row : rows) {
        QByteArray data(row.in);
        // The target rewrite alone; what HTTP adds to the header is tested below.
        const auto r = https ? HttpRouting::RouteHttpsRequest(data, s) : HttpRouting::RouteRequest(data, s, "http://");
        SCOPED_TRACE(row.in);
        EXPECT_FALSE(r.blnFailed) << r.strError.toStdString();
        EXPECT_EQ(r.strServerName.toStdString(), row.server);
        EXPECT_EQ(r.lngPort, row.port);
        EXPECT_EQ(data.toStdString(), row.out ? row.out : row.in);
    }
}

// Through the whole HTTP routing: target and header.
void CheckHttpRows(const std::vector<Row>& rows, const RouteSettings& s)
{
    for (const Row& row : rows) {
        QByteArray data(row.in);
        const auto r = HttpRouting::RouteHttpRequest(data, s);
        SCOPED_TRACE(row.in);
        EXPECT_FALSE(r.blnFailed) << r.strError.toStdString();
        EXPECT_EQ(r.strServerName.toStdString(), row.server);
        EXPECT_EQ(r.lngPort, row.port);
        EXPECT_EQ(data.toStdString(), row.out ? row.out : row.in);
    }
}

} // namespace

TEST(HttpRouting, DirectModeTable)
{
    const std::vector<Row> rows = {
        {"GET http://server1:8080/docs/a.html HTTP/1.0\r\n\r\n", "server1", 8080, "GET /docs/a.html HTTP/1.0\r\n\r\n"},
        {"GET http://server1 HTTP/1.0\r\n\r\n", "server1", 80, "GET / HTTP/1.0\r\n\r\n"},
        {"GET http://server1:abc/x HTTP/1.0\r\n\r\n", "server1", 80, "GET /x HTTP/1.0\r\n\r\n"},
        {"GET /docs/a.html HTTP/1.0\r\n\r\n", "", 80, nullptr},
        {"GET http://server1/", "", 80, nullptr},                       // split line, no version yet
        {"GETnoblank", "", 80, nullptr},
        {"", "", 80, nullptr},
        // Letter case of prefix and version; server keeps its case.
        {"GET HTTP://MixedCase.Example:81/P HttP/1.1\r\nHost: x\r\n\r\n", "MixedCase.Example", 81,
         "GET /P HttP/1.1\r\nHost: x\r\n\r\n"},
        // Blanks collapse to one on each side of the path.
        {"GET    http://h/p    HTTP/1.1\r\n\r\n", "h", 80, "GET /p HTTP/1.1\r\n\r\n"},
        // The version is the line's last token: "http/" inside the target stays in the path.
        {"GET http://h/a/http/b HTTP/1.1\r\n\r\n", "h", 80, "GET /a/http/b HTTP/1.1\r\n\r\n"},
        {"GET http://h/xhttp/b HTTP/1.1\r\n", "h", 80, "GET /xhttp/b HTTP/1.1\r\n"},
        {"GET http://h/a?q=HTTP/ HTTP/1.1\r\n", "h", 80, "GET /a?q=HTTP/ HTTP/1.1\r\n"},
        {"GET http://h/p HTTP/1.1  \r\nX: HTTP/2\r\n", "h", 80, "GET /p HTTP/1.1  \r\nX: HTTP/2\r\n"},
        // No version on the request line: nothing to rewrite, whatever the later lines hold.
        {"GET http://h/p\r\nX: a HTTP/1.1\r\n", "", 80, nullptr},
        {"GET http://h/p XTTP/1.1\r\n", "", 80, nullptr},
        {"GET\r\nHost: h HTTP/1.1\r\n", "", 80, nullptr},
        // "http://" anywhere in the target drops its first seven characters.
        {"GET /a?u=http://q HTTP/1.1\r\n", "tp", 80, "GET //q HTTP/1.1\r\n"},
        // Headers and body after the line pass unchanged, including NUL and high bytes.
        {"POST http://h:9/u HTTP/1.1\r\nX: \x01\xff\r\n\r\nbody", "h", 9, "POST /u HTTP/1.1\r\nX: \x01\xff\r\n\r\nbody"},
        {"GET http://10.0.0.1:8080 HTTP/1.0\r\n", "10.0.0.1", 8080, "GET / HTTP/1.0\r\n"},
        {"GET http://h: HTTP/1.0\r\n", "h", 80, "GET / HTTP/1.0\r\n"},   // empty port text
        {"GET http://h:443.0/ HTTP/1.0\r\n", "h", 443, "GET / HTTP/1.0\r\n"},
    };
    CheckRows(rows, false, Direct());
}

TEST(HttpRouting, DirectModeAsksForOneResponseAndKeepsProxyHeadersBack)
{
    const std::vector<Row> rows = {
        // As curl sends it to a proxy with -U user:pw.
        {"GET http://h:81/a HTTP/1.1\r\nHost: h:81\r\nProxy-Authorization: Basic dXNlcjpwdw==\r\nUser-Agent: curl/7\r\n"
         "Accept: */*\r\nProxy-Connection: Keep-Alive\r\n\r\n",
         "h", 81, "GET /a HTTP/1.1\r\nConnection: close\r\nHost: h:81\r\nUser-Agent: curl/7\r\nAccept: */*\r\n\r\n"},
        // The client's own wishes, in any letter case and with blanks before the colon.
        {"GET http://h/ HTTP/1.1\r\nCONNECTION:keep-alive\r\nkeep-alive : timeout=5\r\nconnection: close\r\nX: 1\r\n\r\n",
         "h", 80, "GET / HTTP/1.1\r\nConnection: close\r\nX: 1\r\n\r\n"},
        // Names that only begin like them stay.
        {"GET http://h/ HTTP/1.1\r\nConnection-Id: 1\r\nX-Connection: 2\r\nProxy-Authorizationx: 3\r\nKeep-Alives: 4\r\n"
         "Connection\r\n\r\n",
         "h", 80,
         "GET / HTTP/1.1\r\nConnection: close\r\nConnection-Id: 1\r\nX-Connection: 2\r\nProxy-Authorizationx: 3\r\n"
         "Keep-Alives: 4\r\nConnection\r\n\r\n"},
        // A dropped field goes with its continuation lines; another field keeps its own.
        {"GET http://h/ HTTP/1.1\r\nProxy-Authorization: Basic\r\n  dXNlcjpwdw==\r\nX: a\r\n\tb\r\n\r\n", "h", 80,
         "GET / HTTP/1.1\r\nConnection: close\r\nX: a\r\n\tb\r\n\r\n"},
        // The body is the client's, whatever it holds.
        {"POST http://h/u HTTP/1.1\r\nContent-Length: 24\r\n\r\nConnection: keep-alive\r\n", "h", 80,
         "POST /u HTTP/1.1\r\nConnection: close\r\nContent-Length: 24\r\n\r\nConnection: keep-alive\r\n"},
        // Headers split over data events: whole lines go, the unfinished one passes.
        {"GET http://h/ HTTP/1.1\r\nProxy-Connection: Keep-Alive\r\nProxy-Auth", "h", 80,
         "GET / HTTP/1.1\r\nConnection: close\r\nProxy-Auth"},
        {"GET http://h/ HTTP/1.1\r\nConnection: keep-alive\r", "h", 80,
         "GET / HTTP/1.1\r\nConnection: close\r\nConnection: keep-alive\r"},
        // Bare line feeds: the added line ends the same way.
        {"GET http://h/ HTTP/1.0\nConnection: keep-alive\n\n", "h", 80, "GET / HTTP/1.0\nConnection: close\n\n"},
        // A request line whose end has not arrived gets only its target rewritten.
        {"GET http://h/ HTTP/1.1", "h", 80, "GET / HTTP/1.1"},
        {"GET http://h/ HTTP/1.1\r", "h", 80, "GET / HTTP/1.1\r"},
        {"GET http://h/ HTTP/1.1\rConnection: x\r\n", "h", 80, "GET / HTTP/1.1\rConnection: x\r\n"},
        // No request line: nothing to add to.
        {"GET http://h/p\r\nConnection: keep-alive\r\n\r\n", "", 80, nullptr},
        // An upgrade keeps the Connection field that asks for it, and is not closed;
        // the proxy's own fields still go.
        {"GET http://h/ws HTTP/1.1\r\nHost: h\r\nConnection: keep-alive, Upgrade\r\nProxy-Connection: x\r\n"
         "Keep-Alive: 5\r\nupgrade : websocket\r\nSec-WebSocket-Version: 13\r\n\r\n",
         "h", 80,
         "GET /ws HTTP/1.1\r\nHost: h\r\nConnection: keep-alive, Upgrade\r\nupgrade : websocket\r\n"
         "Sec-WebSocket-Version: 13\r\n\r\n"},
        // Half an upgrade is none: "upgrade" without an Upgrade field, an Upgrade field
        // without "upgrade", a field only named like one, or one after the header.
        {"GET http://h/ HTTP/1.1\r\nConnection: upgrade\r\nUpgrade-Insecure-Requests: 1\r\n\r\n", "h", 80,
         "GET / HTTP/1.1\r\nConnection: close\r\nUpgrade-Insecure-Requests: 1\r\n\r\n"},
        {"GET http://h/ HTTP/1.1\r\nConnection: upgraded\r\nUpgrade: h2c\r\n\r\n", "h", 80,
         "GET / HTTP/1.1\r\nConnection: close\r\nUpgrade: h2c\r\n\r\n"},
        {"POST http://h/ HTTP/1.1\r\nConnection: Upgrade\r\n\r\nUpgrade: h2c\r\n", "h", 80,
         "POST / HTTP/1.1\r\nConnection: close\r\n\r\nUpgrade: h2c\r\n"},
    };
    CheckHttpRows(rows, Direct());
}

TEST(HttpRouting, RequestPortOutsideTcpRangeFallsBackToSpecificPort)
{
    const std::vector<Row> rows = {
        {"GET http://h:0/ HTTP/1.0\r\n", "h", 8000, "GET / HTTP/1.0\r\n"},
        {"GET http://h:65536/ HTTP/1.0\r\n", "h", 8000, "GET / HTTP/1.0\r\n"},
        {"GET http://h:-80/ HTTP/1.0\r\n", "h", 8000, "GET / HTTP/1.0\r\n"},
        {"GET http://h:99999999999999/ HTTP/1.0\r\n", "h", 8000, "GET / HTTP/1.0\r\n"},
        {"GET http://h:65535/ HTTP/1.0\r\n", "h", 65535, "GET / HTTP/1.0\r\n"},
        {"GET http://h:1/ HTTP/1.0\r\n", "h", 1, "GET / HTTP/1.0\r\n"},
    };
    CheckRows(rows, false, Direct("8000"));
}

TEST(HttpRouting, HttpsTable)
{
    const std::vector<Row> rows = {
        {"CONNECT www.example.com:443 HTTP/1.1\r\nHost: www.example.com:443\r\n\r\n", "www.example.com", 443,
         "CONNECT / HTTP/1.1\r\nHost: www.example.com:443\r\n\r\n"},
        {"CONNECT host HTTP/1.0\r\n\r\n", "host", 80, "CONNECT / HTTP/1.0\r\n\r\n"},
        {"CONNECT host:notaport HTTP/1.0\r\n\r\n", "host", 80, "CONNECT / HTTP/1.0\r\n\r\n"},
        {"CONNECT host:70000 HTTP/1.0\r\n\r\n", "host", 80, "CONNECT / HTTP/1.0\r\n\r\n"},
        {"CONNECT HTTPS://h:8443/p HTTP/1.0\r\n\r\n", "h", 8443, "CONNECT /p HTTP/1.0\r\n\r\n"},
        // The HTTPS variant does not strip "http://".
        {"GET http://h/ HTTP/1.0\r\n", "http", 80, "GET //h/ HTTP/1.0\r\n"},
        {"CONNECT host:443", "", 80, nullptr},   // first piece without the version
    };
    CheckRows(rows, true, Direct());
}

TEST(HttpRouting, UpstreamProxyModeForwardsUnchanged)
{
    const RouteSettings s{"True", "upstream.local", "3128", "80"};
    for (bool https : {false, true}) {
        for (const char* in : {"GET http://h:9/x HTTP/1.1\r\n\r\n", "GET /relative HTTP/1.1\r\n\r\n",
                               "CONNECT h:443 HTTP/1.0\r\n\r\n", "junk",
                               "GET http://h/ HTTP/1.1\r\nProxy-Authorization: Basic eA==\r\n"
                               "Proxy-Connection: Keep-Alive\r\nConnection: keep-alive\r\n\r\n"}) {
            QByteArray data(in);
            const auto r = https ? HttpRouting::RouteHttpsRequest(data, s) : HttpRouting::RouteHttpRequest(data, s);
            EXPECT_FALSE(r.blnFailed);
            EXPECT_EQ(r.strServerName, "upstream.local");
            EXPECT_EQ(r.lngPort, 3128);
            EXPECT_EQ(data, QByteArray(in));
        }
    }
    // Truth values as the store may hold them.
    for (const char* t : {"true", "TRUE", "1", "-1"}) {
        QByteArray data("GET http://h/ HTTP/1.0\r\n");
        const auto r = HttpRouting::RouteHttpRequest(data, RouteSettings{t, "p", "81", "80"});
        EXPECT_EQ(r.strServerName, "p") << t;
        EXPECT_EQ(r.lngPort, 81) << t;
    }
    QByteArray data("GET http://h/ HTTP/1.0\r\n");
    EXPECT_EQ(HttpRouting::RouteHttpRequest(data, RouteSettings{"0", "p", "81", "80"}).strServerName, "h");
}

TEST(HttpRouting, UnreadableSettingsFailWithWhatWasFound)
{
    {   // ConnectToProxy not a truth value: nothing set, data untouched.
        QByteArray data("GET http://h:9/x HTTP/1.0\r\n");
        const auto r = HttpRouting::RouteHttpRequest(data, RouteSettings{"maybe", "p", "81", "80"});
        EXPECT_TRUE(r.blnFailed);
        EXPECT_EQ(r.lngError, 13);
        EXPECT_EQ(r.strServerName, "");
        EXPECT_EQ(r.lngPort, 0);
        EXPECT_EQ(data, "GET http://h:9/x HTTP/1.0\r\n");
    }
    {   // Proxy port not numeric: the proxy name stands, port 0.
        QByteArray data("GET / HTTP/1.0\r\n");
        const auto r = HttpRouting::RouteHttpRequest(data, RouteSettings{"True", "p", "", "80"});
        EXPECT_TRUE(r.blnFailed);
        EXPECT_EQ(r.strServerName, "p");
        EXPECT_EQ(r.lngPort, 0);
    }
    {   // SpecificPort overflowing: server found and data rewritten, port 0.
        QByteArray data("GET http://h/x HTTP/1.0\r\n");
        const auto r = HttpRouting::RouteHttpRequest(data, RouteSettings{"False", "p", "80", "1e12"});
        EXPECT_TRUE(r.blnFailed);
        EXPECT_EQ(r.lngError, 6);
        EXPECT_EQ(r.strServerName, "h");
        EXPECT_EQ(r.lngPort, 0);
        EXPECT_EQ(data, "GET /x HTTP/1.0\r\nConnection: close\r\n");
    }
    {   // A usable port in the request never reads SpecificPort.
        QByteArray data("GET http://h:81/x HTTP/1.0\r\n");
        const auto r = HttpRouting::RouteHttpRequest(data, RouteSettings{"False", "p", "80", "junk"});
        EXPECT_FALSE(r.blnFailed);
        EXPECT_EQ(r.lngPort, 81);
    }
}

TEST(HttpRouting, LongRequestLinesRouteWithoutWrapping)
{
    // Version far beyond any 16-bit position, and a path longer than 64 KiB.
    for (qsizetype len : {qsizetype(32767), qsizetype(40000), qsizetype(70000), qsizetype(1) << 21}) {
        const QByteArray path = "/" + QByteArray(len, 'a');
        QByteArray data = "GET http://far.example:8080" + path + " HTTP/1.1\r\nHost: far\r\n\r\n";
        const auto r = HttpRouting::RouteHttpRequest(data, Direct());
        EXPECT_FALSE(r.blnFailed);
        EXPECT_EQ(r.strServerName, "far.example");
        EXPECT_EQ(r.lngPort, 8080);
        EXPECT_EQ(data, "GET " + path + " HTTP/1.1\r\nConnection: close\r\nHost: far\r\n\r\n");
    }
    // Many blanks before the target: still one blank after the method.
    QByteArray data = "GET" + QByteArray(100000, ' ') + "http://h/ HTTP/1.0\r\n";
    const auto r = HttpRouting::RouteHttpRequest(data, Direct());
    EXPECT_EQ(r.strServerName, "h");
    EXPECT_EQ(data, "GET / HTTP/1.0\r\nConnection: close\r\n");
}

TEST(HttpRouting, SettingsAreReadPerProtocolAndPort)
{
    tsytest::ClearSettings();
    auto d = HttpRouting::ReadRouteSettings("HTTP", 8080);
    EXPECT_EQ(d.strConnectToProxy, "False");
    EXPECT_EQ(d.strProxy, HttpRouting::kPlaceholderProxy);
    EXPECT_EQ(d.strPort, "80");
    EXPECT_EQ(d.strSpecificPort, "80");

    tsy::Settings::SaveSetting("Protocols\\HTTPS\\Port 443", "ConnectToProxy", "True");
    tsy::Settings::SaveSetting("Protocols\\HTTPS\\Port 443", "Proxy", "corp-proxy");
    tsy::Settings::SaveSetting("Protocols\\HTTPS\\Port 443", "Port", "3128");
    tsy::Settings::SaveSetting("Protocols\\HTTP\\Port 8080", "SpecificPort", "8081");
    const auto s = HttpRouting::ReadRouteSettings("HTTPS", 443);
    EXPECT_EQ(s.strConnectToProxy, "True");
    EXPECT_EQ(s.strProxy, "corp-proxy");
    EXPECT_EQ(s.strPort, "3128");
    EXPECT_EQ(HttpRouting::ReadRouteSettings("HTTP", 8080).strSpecificPort, "8081");
    EXPECT_EQ(HttpRouting::ReadRouteSettings("HTTP", 8081).strSpecificPort, "80");
    tsytest::ClearSettings();
}
