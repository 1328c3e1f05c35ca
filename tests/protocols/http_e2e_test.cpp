// HTTP and HTTPS ports with real peers over loopback: curl as the browser,
// Python's http.server and small capture/echo servers of the test behind
// the proxy.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "history/Logging.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolHTTPS.h"
#include "protocols/ProtocolRelay.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

using tsytest::Pump;
using tsytest::WaitUntil;
using tsytest::EventTypes;
using tsytest::LastHistory;
using tsytest::ListenWithProtocol;

namespace {

// Unlike the shared raw client, sends without flushing: these tests write
// their first request before the socket has connected.
struct RawClient {
    QTcpSocket sock;
    QByteArray got;
    bool closed = false;
    explicit RawClient(int port)
    {
        QObject::connect(&sock, &QTcpSocket::readyRead, [this] { got += sock.readAll(); });
        QObject::connect(&sock, &QTcpSocket::disconnected, [this] { closed = true; });
        sock.connectToHost(QHostAddress::LocalHost, quint16(port));
    }
    void Send(const QByteArray& d) { sock.write(d); }
    bool WaitFor(const QByteArray& text, int ms = 30000)
    {
        return WaitUntil([&] { return got.contains(text); }, ms);
    }
};

QByteArray RandomBytes(qsizetype n)
{
    QByteArray b(n, '\0');
    auto* gen = QRandomGenerator::global();
    for (qsizetype i = 0; i < n; ++i) b[i] = char(gen->bounded(256));
    return b;
}

// A web server that records every byte of every connection and answers each
// request (a header block; no request bodies) with a small keep-alive
// response naming the connection and the request's number on it. In echo
// mode it sends back whatever arrives instead. In upgrade mode it answers
// 101 only to a request whose Connection field names "upgrade" beside an
// Upgrade field, 426 to any other, and echoes what follows a 101.
class CaptureServer : public QObject {
public:
    struct Conn {
        QPointer<QTcpSocket> sock;
        QByteArray received;
        qsizetype parsed = 0;
        int requests = 0;
    };
    std::vector<std::unique_ptr<Conn>> conns;
    bool echo = false;
    bool upgrade = false;

    CaptureServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                conns.push_back(std::make_unique<Conn>());
                Conn* c = conns.back().get();
                c->sock = s;
                connect(s, &QTcpSocket::readyRead, this, [this, c] { OnData(c); });
            }
        });
    }
    int Port() const { return server.serverPort(); }
    qsizetype TotalReceived() const
    {
        qsizetype n = 0;
        for (const auto& c : conns) n += c->received.size();
        return n;
    }

private:
    void OnData(Conn* c)
    {
        const QByteArray d = c->sock->readAll();
        c->received += d;
        if (echo || c->requests < 0) {
            c->sock->write(d);
            return;
        }
        qsizetype end;
        while (upgrade && (end = c->received.indexOf("\r\n\r\n")) >= 0) {
            const QByteArray head = c->received.left(end + 2).toLower();
            const QRegularExpression connection("\r\nconnection:[^\r]*\\bupgrade\\b"), field("\r\nupgrade:");
            if (!connection.match(QString::fromLatin1(head)).hasMatch() || !field.match(QString::fromLatin1(head)).hasMatch()) {
                c->sock->write("HTTP/1.1 426 Upgrade Required\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                c->sock->disconnectFromHost();
                return;
            }
            c->requests = -1;
            c->sock->write("HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: echo\r\n\r\n"
                           + c->received.mid(end + 4));
            return;
        }
        while ((end = c->received.indexOf("\r\n\r\n", c->parsed)) >= 0) {
            c->parsed = end + 4;
            ++c->requests;
            const QByteArray body = "conn " + QByteArray::number(qsizetype(conns.size())) + " request "
                + QByteArray::number(c->requests) + "\n";
            c->sock->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
                           + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        }
    }

    QTcpServer server;
};

// A raw client that collects everything it receives.
// curl run on the event loop, so the proxy in this process keeps working.
struct CurlResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

CurlResult RunCurl(const QStringList& args, int timeoutMs = 30000)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy",
                          "no_proxy", "NO_PROXY"})
        env.remove(QString::fromLatin1(v));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("curl"), QStringList{"-s", "-S", "--max-time", "20"} + args);
    CurlResult r;
    if (!p.waitForStarted(5000)) return r;
    WaitUntil([&] { return p.state() == QProcess::NotRunning; }, timeoutMs);
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(2000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// python3 -m http.server serving dir on a port of its own choice; its port
// (0 when it did not start), with what it printed so far in log. Speaking
// HTTP/1.1 it keeps each connection open until the client asks it to close.
int StartPythonWebServer(QProcess& web, const QString& dir, QByteArray& log, const QString& protocol = "HTTP/1.0")
{
    web.setProcessChannelMode(QProcess::MergedChannels);
    web.start(QStringLiteral("python3"),
              {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", dir, "--protocol", protocol});
    if (!web.waitForStarted(5000)) return 0;
    int webPort = 0;
    const QRegularExpression re(QStringLiteral("port (\\d+)"));
    WaitUntil([&] {
        log += web.readAll();
        const auto m = re.match(QString::fromLatin1(log));
        if (m.hasMatch()) webPort = m.captured(1).toInt();
        return webPort != 0;
    }, 10000);
    return webPort;
}

// http_capture_server.py: a raw Python web server that records every request
// header block exactly as it arrived, with the number of its connection.
class PyCaptureServer {
public:
    struct Request {
        int conn = 0;
        QByteArray head;
    };
    QList<Request> requests;
    int port = 0;

    PyCaptureServer()
    {
        const QString script = QDir(qEnvironmentVariable("TSY_SOURCE_DIR")).filePath("tests/protocols/http_capture_server.py");
        proc.start(QStringLiteral("/usr/bin/python3"), {script});
        if (!proc.waitForStarted(10000)) return;
        WaitUntil([&] { return proc.canReadLine() || proc.state() == QProcess::NotRunning; }, 10000);
        port = proc.readLine().trimmed().toInt();
    }
    ~PyCaptureServer()
    {
        proc.kill();
        proc.waitForFinished(3000);
    }
    bool WaitForRequests(int n)
    {
        return WaitUntil([&] {
            while (proc.canReadLine()) {
                const QList<QByteArray> f = proc.readLine().trimmed().split(' ');
                if (f.size() == 2) requests.append({f[0].toInt(), QByteArray::fromHex(f[1])});
            }
            return requests.size() >= n;
        });
    }
    QString Url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path); }

private:
    QProcess proc;
};

// The header lines of a request whose name is the given one (any letter case).
QList<QByteArray> HeaderLines(const QByteArray& head, const QByteArray& name)
{
    QList<QByteArray> found;
    for (const QByteArray& line : head.split('\n'))
        if (line.toLower().startsWith(name.toLower() + ':')) found << line;
    return found;
}

// The histories added since `before` was the count.
QList<std::shared_ptr<SocketPairHistory>> HistoriesSince(int before)
{
    QList<std::shared_ptr<SocketPairHistory>> list;
    const auto& col = General::gobjLogging->mobjSocketPairHistory;
    for (int i = before + 1; i <= col.Count(); ++i) list << col.Item(i);
    return list;
}

QByteArray FirstEventData(const SocketPairHistory& h, int type)
{
    for (const auto& e : h.mobjSocketPairEvents)
        if (e->mobjEventType == type) return e->mstrData;
    return {};
}

int CountEvents(const SocketPairHistory& h, int type)
{
    int n = 0;
    for (const auto& e : h.mobjSocketPairEvents) n += e->mobjEventType == type;
    return n;
}

// The engine objects a connection needs, with a private port table.
class HttpProxyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        General::gblnLoggingEnabled = true;   // record the histories
        tsytest::StartEngine();
    }

    void TearDown() override
    {
        tsytest::StopEngine();
        General::gblnLoggingEnabled = false;
    }

    static QString Proxy(int port) { return QStringLiteral("http://127.0.0.1:%1").arg(port); }
};

// ---- HTTP ---------------------------------------------------------------------------

TEST_F(HttpProxyTest, CurlRequestReachesTheServerRewrittenForOneResponse)
{
    CaptureServer server;
    const QString url = QStringLiteral("http://127.0.0.1:%1/docs/a.html?q=1").arg(server.Port());
    const QStringList args{"-H", "X-Probe: \x7f value", "-x", "", url};

    // What curl sends to a proxy, captured by pointing it at the server itself.
    QStringList direct = args;
    direct[3] = Proxy(server.Port());
    ASSERT_EQ(RunCurl(direct).exitCode, 0);
    ASSERT_EQ(server.conns.size(), 1u);
    const QByteArray asSentToProxy = server.conns[0]->received;
    ASSERT_TRUE(asSentToProxy.startsWith("GET " + url.toLatin1() + " HTTP/1.1\r\n"));

    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    QStringList viaProxy = args;
    viaProxy[3] = Proxy(port);
    const CurlResult r = RunCurl(viaProxy);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "conn 2 request 1\n");
    ASSERT_EQ(server.conns.size(), 2u);
    // The target becomes its path, the server is asked to close after its
    // answer, and the line meant for the proxy stays here; nothing else changes.
    ASSERT_TRUE(asSentToProxy.contains("\r\nProxy-Connection: Keep-Alive\r\n"));
    QByteArray expected = asSentToProxy;
    expected.replace("GET " + url.toLatin1() + " HTTP/1.1\r\n", "GET /docs/a.html?q=1 HTTP/1.1\r\nConnection: close\r\n");
    expected.replace("\r\nProxy-Connection: Keep-Alive\r\n", "\r\n");
    EXPECT_EQ(server.conns[1]->received, expected);
}

TEST_F(HttpProxyTest, BinaryDownloadFromPythonServerIsByteExact)
{
    QTemporaryDir root;
    const QByteArray blob = RandomBytes(5 * 1024 * 1024 + 123);
    {
        QFile f(QDir(root.path()).filePath("blob.bin"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(blob);
    }
    QProcess web;
    QByteArray banner;
    const int webPort = StartPythonWebServer(web, root.path(), banner);
    ASSERT_NE(webPort, 0) << banner.toStdString();

    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    const QString out = QDir(root.path()).filePath("got.bin");
    const CurlResult r = RunCurl({"-x", Proxy(port), "-o", out, QStringLiteral("http://127.0.0.1:%1/blob.bin").arg(webPort)});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QFile got(out);
    ASSERT_TRUE(got.open(QIODevice::ReadOnly));
    const QByteArray data = got.readAll();
    EXPECT_EQ(data.size(), blob.size());
    EXPECT_TRUE(data == blob);

    web.kill();
    web.waitForFinished(3000);
}

TEST_F(HttpProxyTest, APathHoldingHttpSlashReachesTheServerWhole)
{
    QTemporaryDir root;
    QProcess web;
    QByteArray log;
    const int webPort = StartPythonWebServer(web, root.path(), log);
    ASSERT_NE(webPort, 0) << log.toStdString();

    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    const CurlResult r = RunCurl({"-x", Proxy(port), QStringLiteral("http://127.0.0.1:%1/http/x?v=HTTP/1").arg(webPort)});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    // The server's log line for the request: the path exactly as asked, and a
    // well-formed request (a malformed one would be answered 400).
    const QByteArray line = "\"GET /http/x?v=HTTP/1 HTTP/1.1\" 404";
    EXPECT_TRUE(WaitUntil([&] { log += web.readAll(); return log.contains(line); })) << log.toStdString();
    web.kill();
    web.waitForFinished(3000);
}

TEST_F(HttpProxyTest, EachUrlOfOneCurlCommandReachesItsOwnServer)
{
    // Two servers that would keep a connection open for the next request.
    QTemporaryDir rootA, rootB;
    const QByteArray blobA = RandomBytes(300 * 1024 + 1), blobB = RandomBytes(200 * 1024 + 7);
    for (const auto& [dir, blob] : {std::pair{rootA.path(), blobA}, std::pair{rootB.path(), blobB}}) {
        QFile f(QDir(dir).filePath("f.bin"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(blob);
    }
    QProcess webA, webB;
    QByteArray logA, logB;
    const int portA = StartPythonWebServer(webA, rootA.path(), logA, "HTTP/1.1");
    const int portB = StartPythonWebServer(webB, rootB.path(), logB, "HTTP/1.1");
    ASSERT_TRUE(portA && portB) << logA.toStdString() << logB.toStdString();

    tsytest::KeepAllEvents();
    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    const int before = General::gobjLogging->mobjSocketPairHistory.Count();
    QTemporaryDir out;
    const QString outA = QDir(out.path()).filePath("a"), outB = QDir(out.path()).filePath("b");
    const CurlResult r = RunCurl({"-x", Proxy(port), QStringLiteral("http://127.0.0.1:%1/f.bin").arg(portA), "-o", outA,
                                  QStringLiteral("http://127.0.0.1:%1/f.bin").arg(portB), "-o", outB});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    for (const auto& [path, blob] : {std::pair{outA, blobA}, std::pair{outB, blobB}}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_TRUE(f.readAll() == blob) << path.toStdString();
    }

    // Two connections, each routed to its own server.
    const auto histories = HistoriesSince(before);
    ASSERT_EQ(histories.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QString to = QStringLiteral("A connection request has been made to 127.0.0.1:%1.").arg(i == 0 ? portA : portB);
        const auto& h = *histories[i];
        EXPECT_EQ(CountEvents(h, SocketEventType::ConnectionAttemptToRemoteServer), 1);
        bool named = false;
        for (const auto& e : h.mobjSocketPairEvents) named = named || e->mstrDescription == to;
        EXPECT_TRUE(named) << to.toStdString();
    }
    for (QProcess* web : {&webA, &webB}) {
        web->kill();
        web->waitForFinished(3000);
    }
}

TEST_F(HttpProxyTest, ProxyCredentialsStopAtTheProxyUnlessAnUpstreamProxyTakesThem)
{
    PyCaptureServer server;
    ASSERT_NE(server.port, 0);
    const QString url = server.Url("/private");

    // What curl sends to a proxy, captured by pointing it at the server itself.
    ASSERT_EQ(RunCurl({"-U", "user:pw", "-x", Proxy(server.port), url}).exitCode, 0);
    ASSERT_TRUE(server.WaitForRequests(1));
    const QByteArray asSentToProxy = server.requests[0].head;
    ASSERT_TRUE(asSentToProxy.contains("\r\nProxy-Authorization: Basic dXNlcjpwdw==\r\n")) << asSentToProxy.toStdString();

    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    CurlResult r = RunCurl({"-U", "user:pw", "-x", Proxy(port), url});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_TRUE(server.WaitForRequests(2));
    const QByteArray atServer = server.requests[1].head;
    EXPECT_TRUE(HeaderLines(atServer, "Proxy-Authorization").isEmpty()) << atServer.toStdString();
    EXPECT_TRUE(HeaderLines(atServer, "Proxy-Connection").isEmpty()) << atServer.toStdString();
    EXPECT_EQ(HeaderLines(atServer, "Connection"), QList<QByteArray>{"Connection: close\r"});
    EXPECT_TRUE(atServer.startsWith("GET /private HTTP/1.1\r\nConnection: close\r\nHost: ")) << atServer.toStdString();

    // The history shows the request as the client sent it, and the rewritten
    // form where it was sent.
    const auto h = LastHistory();
    ASSERT_TRUE(h);
    EXPECT_EQ(FirstEventData(*h, SocketEventType::ServerBytesReceived), asSentToProxy);
    EXPECT_EQ(FirstEventData(*h, SocketEventType::ClientBytesSendStart), atServer);

    // An upstream proxy gets everything byte for byte: its credentials too.
    const QString section = QStringLiteral("Protocols\\HTTP\\Port %1").arg(port);
    tsy::Settings::SaveSetting(section, "ConnectToProxy", "True");
    tsy::Settings::SaveSetting(section, "Proxy", "127.0.0.1");
    tsy::Settings::SaveSetting(section, "Port", QString::number(server.port));
    r = RunCurl({"-U", "user:pw", "-x", Proxy(port), url});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_TRUE(server.WaitForRequests(3));
    EXPECT_EQ(server.requests[2].head, asSentToProxy);
}

TEST_F(HttpProxyTest, HeadersSplitOverSeveralDataEventsAreRoutedAndDeliveredWhole)
{
    PyCaptureServer server;
    ASSERT_NE(server.port, 0);
    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    const int before = General::gobjLogging->mobjSocketPairHistory.Count();
    const QList<QByteArray> pieces = {
        "GET " + server.Url("/split").toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nProxy-Authorization: Basic eA==\r\nAcc",
        "ept: */*\r\nProxy-Connection: keep-alive\r\n",
        "User-Agent: raw\r\n\r\n",
    };
    RawClient client(port);
    std::shared_ptr<SocketPairHistory> h;
    for (int i = 0; i < pieces.size(); ++i) {
        client.Send(pieces[i]);
        // Each piece is its own data event at the proxy before the next is sent.
        ASSERT_TRUE(WaitUntil([&] {
            const auto list = HistoriesSince(before);
            h = list.isEmpty() ? nullptr : list.first();
            return h && CountEvents(*h, SocketEventType::ServerBytesReceived) == i + 1;
        }));
    }
    ASSERT_TRUE(server.WaitForRequests(1));
    // Whole lines of the first event are read; the rest passes as it came.
    EXPECT_EQ(server.requests[0].head, "GET /split HTTP/1.1\r\nConnection: close\r\nHost: 127.0.0.1\r\nAccept: */*\r\n"
                                       "Proxy-Connection: keep-alive\r\nUser-Agent: raw\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return client.closed; }));
    EXPECT_TRUE(client.got.endsWith("\r\n\r\nconn 1 request 1\n")) << client.got.toStdString();
}

TEST_F(HttpProxyTest, AClientAskingToKeepAliveGetsAServerThatCloses)
{
    QTemporaryDir root;
    {
        QFile f(QDir(root.path()).filePath("page.txt"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("the page\n");
    }
    QProcess web;
    QByteArray log;
    const int webPort = StartPythonWebServer(web, root.path(), log, "HTTP/1.1");
    ASSERT_NE(webPort, 0) << log.toStdString();
    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    RawClient client(port);
    client.Send("GET http://127.0.0.1:" + QByteArray::number(webPort)
                + "/page.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return client.closed; })) << client.got.toStdString();
    EXPECT_TRUE(client.got.startsWith("HTTP/1.1 200 ")) << client.got.toStdString();
    EXPECT_TRUE(client.got.endsWith("\r\n\r\nthe page\n"));
    web.kill();
    web.waitForFinished(3000);
}

TEST_F(HttpProxyTest, AnUpgradeRequestKeepsItsUpgradeAndTheStreamEchoes)
{
    CaptureServer server;
    server.upgrade = true;
    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    RawClient client(port);
    client.Send("GET http://127.0.0.1:" + QByteArray::number(server.Port())
                + "/chat HTTP/1.1\r\nHost: h\r\nConnection: Upgrade\r\nProxy-Connection: keep-alive\r\n"
                  "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n\r\n");
    ASSERT_TRUE(client.WaitFor("\r\n\r\n")) << client.got.toStdString();
    ASSERT_TRUE(client.got.startsWith("HTTP/1.1 101 ")) << client.got.toStdString();
    ASSERT_EQ(server.conns.size(), 1u);
    EXPECT_EQ(server.conns[0]->received, "GET /chat HTTP/1.1\r\nHost: h\r\nConnection: Upgrade\r\n"
                                         "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n\r\n");
    // The upgraded stream carries bytes both ways, through the one routed connection.
    const QByteArray frame("frame one\0\xff", 11);
    client.Send(frame);
    EXPECT_TRUE(client.WaitFor(frame)) << client.got.toStdString();
    EXPECT_FALSE(client.closed);
}

TEST_F(HttpProxyTest, LongRequestLineIsRewrittenWhole)
{
    CaptureServer server;
    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    // Past any 16-bit position, yet within one data event (at most 64 KiB).
    const QByteArray path = "/" + QByteArray(60000, 'p');
    RawClient client(port);
    client.Send("GET http://127.0.0.1:" + QByteArray::number(server.Port()) + path + " HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(client.WaitFor("request 1\n"));
    ASSERT_EQ(server.conns.size(), 1u);
    EXPECT_EQ(server.conns[0]->received, "GET " + path + " HTTP/1.1\r\nConnection: close\r\nHost: h\r\n\r\n");
}

TEST_F(HttpProxyTest, UpstreamProxyModeForwardsByteForByte)
{
    CaptureServer upstream;
    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    const QString section = QStringLiteral("Protocols\\HTTP\\Port %1").arg(port);
    tsy::Settings::SaveSetting(section, "ConnectToProxy", "True");
    tsy::Settings::SaveSetting(section, "Proxy", "127.0.0.1");
    tsy::Settings::SaveSetting(section, "Port", QString::number(upstream.Port()));

    const CurlResult r = RunCurl({"-x", Proxy(port), "http://203.0.113.9:81/far/away"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "conn 1 request 1\n");
    ASSERT_EQ(upstream.conns.size(), 1u);
    EXPECT_TRUE(upstream.conns[0]->received.startsWith("GET http://203.0.113.9:81/far/away HTTP/1.1\r\n"));

    // Through a second, direct HTTP port as the upstream: the whole chain works.
    CaptureServer web;
    const int directPort = ListenWithProtocol(QStringLiteral("HTTP"));
    tsy::Settings::SaveSetting(section, "Port", QString::number(directPort));
    const CurlResult chained = RunCurl({"-x", Proxy(port), QStringLiteral("http://127.0.0.1:%1/x").arg(web.Port())});
    ASSERT_EQ(chained.exitCode, 0) << chained.err.toStdString();
    EXPECT_EQ(chained.out, "conn 1 request 1\n");
    ASSERT_EQ(web.conns.size(), 1u);
    EXPECT_TRUE(web.conns[0]->received.startsWith("GET /x HTTP/1.1\r\n"));
}

TEST_F(HttpProxyTest, UnresolvableHostGetsNoSiteErrorThenClose)
{
    for (const QString& protocol : {QStringLiteral("HTTP"), QStringLiteral("HTTPS")}) {
        SCOPED_TRACE(protocol.toStdString());
        const QByteArray text = "<html>No such site (" + protocol.toLatin1() + ")</html>\r\n";
        tsy::Settings::SaveSetting(QStringLiteral("Protocols\\") + protocol, "NoSiteError", QString::fromLatin1(text));
        const int port = ListenWithProtocol(protocol);
        RawClient client(port);
        client.Send(protocol == "HTTP" ? "GET http://nosuchhost.invalid/ HTTP/1.0\r\n\r\n"
                                       : "CONNECT nosuchhost.invalid:443 HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(WaitUntil([&] { return client.closed; }));
        EXPECT_EQ(client.got, text);   // no reply of the proxy's own

        const auto h = LastHistory();
        ASSERT_TRUE(h);
        EXPECT_TRUE(WaitUntil([&] { return h->mblnDead; }));
        EXPECT_EQ(h->mstrProtocol, protocol);
        const QList<int> types = EventTypes(*h);
        EXPECT_TRUE(types.contains(SocketEventType::ConnectionAttemptFailed));
        EXPECT_FALSE(types.contains(SocketEventType::ConnectionAttemptSuccessful));
        for (const auto& e : h->mobjSocketPairEvents)
            if (e->mobjEventType == SocketEventType::ConnectionAttemptFailed) {
                EXPECT_TRUE(e->mlngErrorNumber == 11001 || e->mlngErrorNumber == 11002) << e->mlngErrorNumber;
            }
    }
}

// ---- HTTPS --------------------------------------------------------------------------

TEST_F(HttpProxyTest, ConnectGetsTheReplyAndThenTunnelsBothWays)
{
    CaptureServer server;
    server.echo = true;
    const int port = ListenWithProtocol(QStringLiteral("HTTPS"));
    RawClient client(port);
    client.Send("CONNECT 127.0.0.1:" + QByteArray::number(server.Port()) + " HTTP/1.1\r\nHost: x\r\n\r\n");
    const QByteArray& reply = ProtocolHTTPS::ConnectionEstablishedReply();
    ASSERT_EQ(reply.size(), 76);
    ASSERT_TRUE(WaitUntil([&] { return client.got.size() >= 76; }));
    // The proxy's connection may be established before the server's loop
    // has taken it.
    ASSERT_TRUE(WaitUntil([&] { return server.conns.size() == 1; }));
    EXPECT_EQ(client.got, reply);
    EXPECT_TRUE(server.conns[0]->received.isEmpty());   // the CONNECT request never arrives

    const QByteArray payload = RandomBytes(3 * 1024 * 1024);
    client.Send(payload);
    ASSERT_TRUE(WaitUntil([&] { return client.got.size() >= 76 + payload.size(); }, 30000));
    EXPECT_TRUE(server.conns[0]->received == payload);
    EXPECT_TRUE(client.got.mid(76) == payload);
}

TEST_F(HttpProxyTest, CurlTunnelsThroughTheHttpsPort)
{
    CaptureServer server;
    const int port = ListenWithProtocol(QStringLiteral("HTTPS"));
    const CurlResult r = RunCurl({"-p", "-x", Proxy(port), QStringLiteral("http://127.0.0.1:%1/inside").arg(server.Port())});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "conn 1 request 1\n");
    ASSERT_EQ(server.conns.size(), 1u);
    const QByteArray& seen = server.conns[0]->received;
    EXPECT_TRUE(seen.startsWith("GET /inside HTTP/1.1\r\n")) << seen.toStdString();
    EXPECT_FALSE(seen.contains("CONNECT"));
}

TEST_F(HttpProxyTest, UpstreamModeDropsTheConnectRequest)
{
    CaptureServer upstream;
    upstream.echo = true;
    const int port = ListenWithProtocol(QStringLiteral("HTTPS"));
    const QString section = QStringLiteral("Protocols\\HTTPS\\Port %1").arg(port);
    tsy::Settings::SaveSetting(section, "ConnectToProxy", "True");
    tsy::Settings::SaveSetting(section, "Proxy", "127.0.0.1");
    tsy::Settings::SaveSetting(section, "Port", QString::number(upstream.Port()));

    RawClient client(port);
    client.Send("CONNECT secure.example:443 HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return client.got.size() >= 76; }));
    EXPECT_EQ(client.got, ProtocolHTTPS::ConnectionEstablishedReply());
    client.Send("after the reply");
    ASSERT_TRUE(client.WaitFor("after the reply"));
    ASSERT_EQ(upstream.conns.size(), 1u);
    EXPECT_EQ(upstream.conns[0]->received, "after the reply");
}

// ---- back-pressure while the outgoing connection is pending -------------------------

// A listener whose backlog is full: further connection attempts stay pending
// (their SYNs go unanswered) until the queued ones are taken.
struct StalledListener {
    int fd = -1;
    int port = 0;
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    StalledListener()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 0) != 0) return;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        for (int i = 0; i < 2; ++i) {
            fillers.push_back(std::make_unique<QTcpSocket>());
            fillers.back()->connectToHost(QHostAddress::LocalHost, quint16(port));
        }
        Pump(200);
    }
    ~StalledListener()
    {
        for (int c : accepted) ::close(c);
        if (fd >= 0) ::close(fd);
    }
    // The fillers still trying would compete with the proxy's next attempt
    // for the single place in the queue: they give up before it is freed.
    void DropFillers() { fillers.clear(); }
    // Takes every queued connection (without blocking) and reads them all
    // until one has delivered `want` bytes; returns what that one sent.
    QByteArray ReadUntil(qsizetype want, int timeoutMs)
    {
        DropFillers();
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        std::vector<QByteArray> got;
        qsizetype best = -1;
        WaitUntil([&] {
            int c;
            while ((c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                accepted.push_back(c);
                got.emplace_back();
            }
            for (size_t i = 0; i < accepted.size(); ++i) {
                char buf[65536];
                ssize_t n;
                while ((n = ::read(accepted[i], buf, sizeof buf)) > 0) got[i].append(buf, n);
                if (got[i].size() >= want) best = qsizetype(i);
            }
            return best >= 0;
        }, timeoutMs);
        if (best >= 0) return got[size_t(best)];
        QByteArray most;
        for (const QByteArray& g : got) if (g.size() > most.size()) most = g;
        return most;
    }
    // Takes whatever is queued, without blocking.
    void Drain()
    {
        DropFillers();
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        int c;
        while ((c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) accepted.push_back(c);
    }
    std::vector<int> accepted;
};

TEST_F(HttpProxyTest, DataWhileConnectingIsBoundedByBackPressure)
{
    StalledListener stalled;
    ASSERT_NE(stalled.port, 0);
    const int port = ListenWithProtocol(QStringLiteral("HTTP"));
    RawClient client(port);
    const QByteArray head = "POST http://127.0.0.1:" + QByteArray::number(stalled.port) + "/up HTTP/1.1\r\n\r\n";
    const QByteArray body = RandomBytes(24 * 1024 * 1024);
    client.Send(head);
    ASSERT_TRUE(WaitUntil([&] { return General::gobjListening->mobjSocketPairs.Count() == 1; }));
    Pump(200);
    client.Send(body);

    const QPointer<SocketPair> pair = General::gobjListening->mobjSocketPairs.Item(1);
    ASSERT_TRUE(pair);
    auto relay = std::dynamic_pointer_cast<ProtocolRelay>(pair->mobjProtocolHandler);
    ASSERT_TRUE(relay);
    qint64 largest = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 1500) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        largest = std::max(largest, relay->C2SBufferedBytes());
    }
    EXPECT_FALSE(pair->ClientInitialised());            // still connecting
    // What the relay holds is bounded; how much of the rest the kernels'
    // buffers absorb (up to tens of MiB) is theirs, so it is not asserted.
    EXPECT_LT(largest, 4 * ProtocolRelay::kBackPressureBytes);

    // Let the attempt through: take the queued fillers, then the proxy's
    // connection when its next try gets in; everything arrives, in order.
    const QByteArray rewritten = "POST /up HTTP/1.1\r\nConnection: close\r\n\r\n";
    const QByteArray atServer = stalled.ReadUntil(rewritten.size() + body.size(), 60000);
    ASSERT_EQ(atServer.size(), rewritten.size() + body.size());
    EXPECT_TRUE(atServer.startsWith(rewritten));
    EXPECT_TRUE(atServer.mid(rewritten.size()) == body);
}


// ---- clients that leave early ---------------------------------------------------------

TEST_F(HttpProxyTest, ClientLeavingEarlyEndsTheConnectionOnce)
{
    int deaths = 0;
    General::gobjLogging->mfnBeforeStep = [&](const char* step) { deaths += QByteArray(step) == "Dead.History"; };

    {   // Connects and leaves without a word: dead at once, nothing attempted.
        const int port = ListenWithProtocol(QStringLiteral("HTTP"));
        auto client = std::make_unique<RawClient>(port);
        ASSERT_TRUE(WaitUntil([&] { return client->sock.state() == QAbstractSocket::ConnectedState; }));
        ASSERT_TRUE(WaitUntil([&] { return LastHistory() != nullptr; }));
        client.reset();
        const auto h = LastHistory();
        ASSERT_TRUE(WaitUntil([&] { return h->mblnDead; }));
        EXPECT_FALSE(EventTypes(*h).contains(SocketEventType::ConnectionAttemptToRemoteServer));
        EXPECT_EQ(deaths, 1);
    }
    {   // Sends its request and leaves at once: the request is still delivered.
        CaptureServer server;
        const int port = ListenWithProtocol(QStringLiteral("HTTP"));
        auto client = std::make_unique<RawClient>(port);
        client->Send("GET http://127.0.0.1:" + QByteArray::number(server.Port()) + "/bye HTTP/1.0\r\n\r\n");
        client->sock.disconnectFromHost();
        ASSERT_TRUE(WaitUntil([&] { return !server.conns.empty() && server.conns[0]->requests == 1; }));
        EXPECT_EQ(server.conns[0]->received, "GET /bye HTTP/1.0\r\nConnection: close\r\n\r\n");
        ASSERT_TRUE(WaitUntil([&] { return server.conns[0]->sock->state() != QAbstractSocket::ConnectedState; }));
        EXPECT_TRUE(WaitUntil([&] { return LastHistory()->mblnDead; }));
        EXPECT_EQ(deaths, 2);
    }
    {   // HTTPS client gone before the connection is made: the reply finds no
        // client, which ends the connection, reported dead exactly once.
        StalledListener stalled;
        ASSERT_NE(stalled.port, 0);
        const int port = ListenWithProtocol(QStringLiteral("HTTPS"));
        const int before = General::gobjLogging->mobjSocketPairHistory.Count();
        auto client = std::make_unique<RawClient>(port);
        client->Send("CONNECT 127.0.0.1:" + QByteArray::number(stalled.port) + " HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(WaitUntil([&] {
            const auto h = LastHistory();
            return General::gobjLogging->mobjSocketPairHistory.Count() == before + 1
                && EventTypes(*h).contains(SocketEventType::ConnectionAttemptToRemoteServer);
        }));
        const auto h = LastHistory();
        client.reset();
        ASSERT_TRUE(WaitUntil([&] { return EventTypes(*h).contains(SocketEventType::RemoteClientDisconnected); }));
        // Let the attempt through.
        ASSERT_TRUE(WaitUntil([&] { stalled.Drain(); return h->mblnDead; }, 60000));
        Pump(200);
        EXPECT_EQ(h->mstrProtocol, "HTTPS");
        EXPECT_TRUE(EventTypes(*h).contains(SocketEventType::ConnectionAttemptSuccessful));
        EXPECT_TRUE(EventTypes(*h).contains(SocketEventType::ServerInBadState));
        EXPECT_FALSE(EventTypes(*h).contains(SocketEventType::ClientBytesSendStart));   // CONNECT never forwarded
        EXPECT_EQ(deaths, 3);
    }
    {   // Client gone before the name lookup fails: the NoSiteError reply finds
        // no client, which ends the connection; reported dead exactly once.
        tsy::Settings::SaveSetting(QStringLiteral("Protocols\\HTTP"), "NoSiteError", "no site");
        const int port = ListenWithProtocol(QStringLiteral("HTTP"));
        auto client = std::make_unique<RawClient>(port);
        client->Send("GET http://nosuchhost.invalid/ HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(WaitUntil([&] {
            const auto h = LastHistory();
            return h && EventTypes(*h).contains(SocketEventType::ConnectionAttemptToRemoteServer);
        }));
        const auto h = LastHistory();
        client.reset();
        ASSERT_TRUE(WaitUntil([&] { return h->mblnDead; }));
        Pump(300);
        EXPECT_EQ(deaths, 4);
    }
    General::gobjLogging->mfnBeforeStep = nullptr;
}

} // namespace
