// The real listening side, socket pairs, Pass Through handler and event
// recorder over loopback sockets, in front of a small server in the test.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "history/Logging.h"
#include "history/SocketEvent.h"
#include "history/SocketPairHistory.h"
#include "platform/ClosingSocket.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolRelay.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>

using tsytest::FreePort;
using tsytest::Pump;
using tsytest::WaitUntil;

namespace {

// The far end of the relay: echoes, or keeps what it gets, per connection.
class PeerServer : public QObject {
public:
    // HeldEcho reads only while less than kHeld of its echo waits to go, as a
    // server blocked sending does; Flood sends mFlood and reads nothing.
    enum Mode { Echo, EchoThenClose, Sink, Silent, HeldEcho, Flood };
    static constexpr qint64 kHeld = 64 * 1024;
    explicit PeerServer(Mode mode) : mMode(mode)
    {
        mServer.listen(QHostAddress::LocalHost, 0);
        connect(&mServer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = mServer.nextPendingConnection()) {
                mConnections.append(s);
                if (mMode == Silent || mMode == Flood) {
                    s->setReadBufferSize(4096);
                    if (mMode == Flood) {
                        connect(s, &QTcpSocket::bytesWritten, this, [this, s] { Fill(s); });
                        Fill(s);
                    }
                    continue;
                }
                if (mMode == HeldEcho) {
                    s->setReadBufferSize(kHeld);
                    connect(s, &QTcpSocket::bytesWritten, this, [this, s] { OnRead(s); });
                    // At the end, what is left unread is taken too, with nobody to echo it to.
                    connect(s, &QTcpSocket::readChannelFinished, this, [this, s] { mReceived += s->readAll(); });
                }
                connect(s, &QTcpSocket::readyRead, this, [this, s] { OnRead(s); });
                connect(s, &QTcpSocket::disconnected, this, [this] { ++mDisconnects; });
            }
        });
    }
    int Port() const { return mServer.serverPort(); }
    void StartReading()
    {
        mMode = Sink;
        for (QTcpSocket* s : mConnections) {
            s->setReadBufferSize(0);
            connect(s, &QTcpSocket::readyRead, this, [this, s] { OnRead(s); });
            OnRead(s);
        }
    }
    // The newest connection can send no more: its peer takes nothing.
    bool Blocked() const { return !mConnections.isEmpty() && mConnections.last()->bytesToWrite() >= kHeld; }
    // The newest connection leaves with data unread: a reset.
    void Leave() { mConnections.last()->abort(); }
    QByteArray mReceived;
    QByteArray mFlood;
    qint64 mSent = 0;
    QList<QPointer<QTcpSocket>> mConnections;
    int mDisconnects = 0;

private:
    void Fill(QTcpSocket* s)
    {
        while (s->state() == QAbstractSocket::ConnectedState && s->bytesToWrite() < kHeld && mSent < mFlood.size()) {
            s->write(mFlood.mid(mSent, 16384));
            mSent = qMin<qint64>(mSent + 16384, mFlood.size());
        }
    }
    void OnRead(QTcpSocket* s)
    {
        if (mMode == HeldEcho) {
            while (s->bytesToWrite() < kHeld && s->bytesAvailable() > 0) {
                const QByteArray data = s->read(kHeld - s->bytesToWrite());
                mReceived += data;
                s->write(data);
            }
            return;
        }
        const QByteArray data = s->readAll();
        mReceived += data;
        if (mMode == Echo || mMode == EchoThenClose) s->write(data);
        if (mMode == EchoThenClose) s->disconnectFromHost();
    }
    Mode mMode;
    QTcpServer mServer;
};

// A plain blocking socket connected to 127.0.0.1:port, or -1. A receive
// buffer of rcvbuf bytes makes a reader's little reads show to its peer:
// its TCP opens the window again after a read of a few KiB.
int RawConnect(int port, int rcvbuf = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 && rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(quint16(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Reads (into got, when given) until the connection ends, then closes fd:
// 0 for an orderly end, -errno for a failure, 1 when neither came in time.
int ReadToTheEnd(int fd, QByteArray* got = nullptr, int timeoutMs = 30000)
{
    int outcome = 1;
    WaitUntil([&] {
        char buf[65536];
        for (;;) {
            const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0 && got) got->append(buf, r);
            else if (r == 0) outcome = 0;
            else if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) outcome = -errno;
            if (r <= 0) return outcome != 1;
        }
    }, timeoutMs);
    ::close(fd);
    return outcome;
}

// What a socket has sent that its peer's kernel has not yet taken.
int Unacknowledged(int fd)
{
    int n = 0;
    return ::ioctl(fd, TIOCOUTQ, &n) == 0 ? n : -1;
}

QByteArray AllByteValues(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    for (qsizetype i = 0; i < size; ++i) data[i] = char(i < 256 ? i : int(rng.bounded(256)));
    return data;
}

class RelayTest : public tsytest::RelayFixture {
protected:
    // A Pass Through port in front of server:port; returns the proxy port.
    int PassThrough(const QString& server, int port)
    {
        const int proxyPort = FreePort();
        tsytest::SavePassThroughPort(proxyPort, server, port, "Test relay");
        General::gobjListening->InitaliseListeningSockets();
        return proxyPort;
    }

    std::unique_ptr<QTcpSocket> Connect(int proxyPort)
    {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, quint16(proxyPort));
        // Blocks on this socket alone: the proxy takes the request afterwards.
        EXPECT_TRUE(client->waitForConnected(5000));
        return client;
    }

    qint64 DataOfType(const QString& key, int type)
    {
        qint64 n = 0;
        if (auto h = History(key))
            for (const auto& e : h->mobjSocketPairEvents)
                if (e->mobjEventType == type) n += e->mstrData.size();
        return n;
    }
    SocketPair* Pair(const QString& key) { return General::gobjListening->mobjSocketPairs.Find(key).data(); }
};

// Sends data in random chunks while collecting what comes back.
QByteArray EchoThrough(QTcpSocket& client, const QByteArray& data, quint32 seed)
{
    QByteArray back;
    QObject::connect(&client, &QTcpSocket::readyRead, &client, [&] { back += client.readAll(); });
    QRandomGenerator rng(seed);
    qsizetype pos = 0;
    while (pos < data.size()) {
        const qsizetype n = qMin<qsizetype>(data.size() - pos, 1 + rng.bounded(200000));
        client.write(data.constData() + pos, n);
        pos += n;
        if (rng.bounded(3) == 0) Pump(1);
        // Keep the client's own buffer small, so arrivals interleave.
        WaitUntil([&] { return client.bytesToWrite() < 1 << 20; }, 10000);
    }
    WaitUntil([&] { return back.size() >= data.size(); }, 60000);
    QObject::disconnect(&client, &QTcpSocket::readyRead, &client, nullptr);
    return back;
}

} // namespace

TEST_F(RelayTest, NormalRelayRecordsEveryStepAndClientCloses)
{
    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("127.0.0.1", echo.Port());
    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY1", SocketEventType::ConnectionAttemptSuccessful); }));

    client->write("hello");
    QByteArray back;
    ASSERT_TRUE(WaitUntil([&] { back += client->readAll(); return back.size() >= 5; }));
    EXPECT_EQ(back, QByteArray("hello"));
    client->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));

    using namespace SocketEventType;
    EXPECT_EQ(Types("KEY1"),
              (QList<int>{LocalServerAcceptedConnection, ConnectionAttemptToRemoteServer, ConnectionAttemptSuccessful,
                          ServerBytesReceived, ClientBytesSendStart, ClientBytesReceived, ServerBytesSendStart,
                          RemoteClientDisconnected, LocalClientDisconnected}));
    const QStringList d = Descriptions("KEY1");
    ASSERT_EQ(d.size(), 9);
    EXPECT_EQ(d[0], "Remote connection request accepted");
    EXPECT_EQ(d[1], QString("A connection request has been made to 127.0.0.1:%1.").arg(echo.Port()));
    EXPECT_EQ(d[2], "The connection request to the remote server has been successful.  ");
    EXPECT_EQ(d[3], "5 bytes of data has been received from the remote client.");
    EXPECT_EQ(d[4], "5 bytes of data has been sent to the remote server.");
    EXPECT_EQ(d[5], "5 bytes of data has been received from the remote server.");
    EXPECT_EQ(d[6], "5 bytes of data has been sent to the remote client.");
    EXPECT_EQ(d[7], "The remote client has disconnected.");
    EXPECT_EQ(d[8], "TSY has disconnected from the remote server.");

    auto h = History("KEY1");
    EXPECT_EQ(h->mstrProtocol, "Pass Thru");
    EXPECT_EQ(h->mlngWasListeningOnPort, port);
    SocketPair* pair = Pair("KEY1");
    ASSERT_NE(pair, nullptr);
    EXPECT_TRUE(pair->Dead());
    EXPECT_TRUE(pair->mblnTerminated);
    EXPECT_EQ(pair->mobjProtocolHandler->GetProtocolName(), "Pass Through");
    EXPECT_EQ(pair->mobjProtocolHandler->mlngWasListeningOnPort, port);
    ASSERT_TRUE(WaitUntil([&] { return echo.mDisconnects == 1; }));
}

TEST_F(RelayTest, ServerClosesFirst)
{
    PeerServer echo(PeerServer::EchoThenClose);
    const int port = PassThrough("127.0.0.1", echo.Port());
    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY1", SocketEventType::ConnectionAttemptSuccessful); }));
    client->write("ping");
    QByteArray back;
    ASSERT_TRUE(WaitUntil([&] { back += client->readAll(); return client->state() == QAbstractSocket::UnconnectedState; }));
    back += client->readAll();
    EXPECT_EQ(back, QByteArray("ping"));
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));

    using namespace SocketEventType;
    const QList<int> types = Types("KEY1");
    ASSERT_GE(types.size(), 4);
    EXPECT_EQ(types.mid(types.size() - 4),
              (QList<int>{ClientBytesReceived, ServerBytesSendStart, RemoteServerDisconnected, LocalServerDisconnected}));
    const QStringList d = Descriptions("KEY1");
    EXPECT_EQ(d[d.size() - 2], "The remote server has disconnected. ");
    EXPECT_EQ(d.last(), "TSY has disconnected from the remote client.");
}

TEST_F(RelayTest, ServerRefusesTheConnection)
{
    const int closedPort = FreePort();
    const int port = PassThrough("127.0.0.1", closedPort);
    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));
    ASSERT_TRUE(WaitUntil([&] { return client->state() == QAbstractSocket::UnconnectedState; }));

    using namespace SocketEventType;
    EXPECT_EQ(Types("KEY1"), (QList<int>{LocalServerAcceptedConnection, ConnectionAttemptToRemoteServer,
                                         ClientInBadState, LocalServerDisconnected}));
    EXPECT_TRUE(Descriptions("KEY1")[2].startsWith("The local client socket is in a error state: 10061, "));
    EXPECT_EQ(History("KEY1")->mlngErrorNumber, 10061);
}

TEST_F(RelayTest, UnresolvableServer)
{
    const int port = PassThrough("no-such-host.invalid", 80);
    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));
    ASSERT_TRUE(WaitUntil([&] { return client->state() == QAbstractSocket::UnconnectedState; }));

    using namespace SocketEventType;
    EXPECT_EQ(Types("KEY1"), (QList<int>{LocalServerAcceptedConnection, ConnectionAttemptToRemoteServer,
                                         ConnectionAttemptFailed, LocalServerDisconnected}));
    EXPECT_TRUE(Descriptions("KEY1")[2].startsWith("The connection request failed - "));
    EXPECT_EQ(History("KEY1")->mlngErrorNumber, 11001);
    EXPECT_EQ(Descriptions("KEY1")[1], "A connection request has been made to no-such-host.invalid:80.");
}

TEST_F(RelayTest, ClientLeavesBeforeTheConnect)
{
    // A name to look up keeps the outgoing connection pending for a while.
    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("localhost", echo.Port());
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress::LocalHost, quint16(port));
    ASSERT_TRUE(client->waitForConnected(5000));
    client->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));

    using namespace SocketEventType;
    EXPECT_EQ(Types("KEY1"), (QList<int>{LocalServerAcceptedConnection, ConnectionAttemptToRemoteServer,
                                         RemoteClientDisconnected, ConnectionAttemptSuccessful,
                                         LocalClientDisconnected}));
    EXPECT_TRUE(WaitUntil([&] { return echo.mDisconnects == 1; }));
}

TEST_F(RelayTest, DataSentBeforeTheConnectIsHeldAndSentInOnePiece)
{
    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("localhost", echo.Port());
    // Connect and send without letting the proxy run in between.
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress::LocalHost, quint16(port));
    ASSERT_TRUE(client->waitForConnected(5000));
    client->write("early bytes");
    ASSERT_TRUE(client->waitForBytesWritten(5000));
    QByteArray back;
    ASSERT_TRUE(WaitUntil([&] { back += client->readAll(); return back.size() >= 11; }));
    EXPECT_EQ(back, QByteArray("early bytes"));
    using namespace SocketEventType;
    const QList<int> types = Types("KEY1");
    const int buffered = int(types.indexOf(ClientBytesBuffered));
    const int connected = int(types.indexOf(ConnectionAttemptSuccessful));
    ASSERT_GE(buffered, 0);
    EXPECT_LT(buffered, connected);
    EXPECT_EQ(types.value(connected + 1), ClientBytesSendStart);
    EXPECT_EQ(Descriptions("KEY1")[buffered],
              "11 bytes of data has been buffered. (Previous action still in progress)");
}

TEST_F(RelayTest, BytesArriveIntactBothWays)
{
    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("127.0.0.1", echo.Port());
    const QList<qsizetype> sizes = {1, 255, 256, 8191, 8192, 8193, 20000, 3 * 1024 * 1024 + 17};
    int n = 0;
    for (qsizetype size : sizes) {
        ++n;
        const QString key = QStringLiteral("KEY%1").arg(n);
        auto client = Connect(port);
        ASSERT_TRUE(WaitUntil([&] { return HasEvent(key, SocketEventType::ConnectionAttemptSuccessful); }));
        const QByteArray data = AllByteValues(size, quint32(size));
        echo.mReceived.clear();
        const QByteArray back = EchoThrough(*client, data, quint32(n));
        ASSERT_EQ(back.size(), data.size()) << "size " << size;
        EXPECT_TRUE(back == data) << "size " << size;
        EXPECT_TRUE(echo.mReceived == data) << "size " << size;
        client->disconnectFromHost();
        ASSERT_TRUE(WaitUntil([&] { return IsDead(key); }));
        // Every byte is recorded once as received and once as sent, each way.
        using namespace SocketEventType;
        EXPECT_EQ(DataOfType(key, ServerBytesReceived), size);
        EXPECT_EQ(DataOfType(key, ClientBytesSendStart), size);
        EXPECT_EQ(DataOfType(key, ClientBytesReceived), size);
        EXPECT_EQ(DataOfType(key, ServerBytesSendStart), size);
    }
}

TEST_F(RelayTest, ZeroBytesConnectionJustOpensAndCloses)
{
    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("127.0.0.1", echo.Port());
    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY1", SocketEventType::ConnectionAttemptSuccessful); }));
    client->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));
    EXPECT_EQ(DataOfType("KEY1", SocketEventType::ClientBytesSendStart), 0);
    EXPECT_FALSE(HasEvent("KEY1", SocketEventType::ClientBytesSendStart));
}

TEST_F(RelayTest, PairKeysSkipKeysStillHeldAndWrap)
{
    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("127.0.0.1", echo.Port());
    Listening* listening = General::gobjListening;
    listening->mintSocketPairCount = 32766;
    // KEY32767 is still held by a kept pair, KEY-32768 by a kept history.
    listening->mobjSocketPairs.Add(QPointer<SocketPair>(), "KEY32767");
    General::gobjLogging->mobjSocketPairHistory.Add(std::make_shared<SocketPairHistory>(), "KEY-32768");

    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY-32767", SocketEventType::ConnectionAttemptSuccessful); }));
    EXPECT_EQ(listening->mintSocketPairCount, -32767);
    ASSERT_NE(Pair("KEY-32767"), nullptr);
    EXPECT_EQ(Pair("KEY-32767")->SocketPairKey(), "KEY-32767");
}

TEST_F(RelayTest, EveryKeyHeldRefusesAtOnceLogsOnceAndKeysComeBackOnlyOnceFreed)
{
    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("127.0.0.1", echo.Port());
    Listening* listening = General::gobjListening;
    Logging* log = General::gobjLogging;
    const auto errorEntries = [] { return frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0; };

    // KEY0 goes to a connection that ends; its pair stays loaded, as it
    // does until the main window's sweep unloads it.
    listening->mintSocketPairCount = -1;
    auto first = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY0", SocketEventType::ConnectionAttemptSuccessful); }));
    first->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY0"); }));
    const QPointer<SocketPair> ended = Pair("KEY0");
    ASSERT_TRUE(ended && ended->IsLoadedWindow());

    // Every other key but KEY-1 kept by a dead history, oldest first in
    // running order, the way a full key space with the purge off looks.
    for (int bit = 1; bit < 65535; ++bit) {
        auto h = std::make_shared<SocketPairHistory>();
        h->mstrSocketPairKey = "KEY" + QString::number(qint16(quint16(bit)));
        h->mblnDead = true;
        log->mobjSocketPairHistory.Add(h, h->mstrSocketPairKey);
    }
    listening->mintSocketPairCount = 0;
    auto last = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY-1", SocketEventType::ConnectionAttemptSuccessful); }));
    EXPECT_EQ(listening->mintSocketPairCount, -1);

    {
        SCOPED_TRACE("no key free: reset at once, nothing kept, one error entry for the spell");
        const int pairs = listening->mobjSocketPairs.Count();
        const int histories = log->mobjSocketPairHistory.Count();
        const int entries = errorEntries();
        for (int i = 0; i < 3; ++i) {
            const int fd = RawConnect(port);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(ReadToTheEnd(fd, nullptr, 5000), -ECONNRESET);
        }
        EXPECT_EQ(listening->mintSocketPairCount, -1);
        EXPECT_EQ(listening->mobjSocketPairs.Count(), pairs);
        EXPECT_EQ(log->mobjSocketPairHistory.Count(), histories);
        EXPECT_EQ(errorEntries(), entries + 1);
        EXPECT_TRUE(tsytest::WholeErrorLog().contains("all 65536 socket pair keys are held"));
    }
    {
        SCOPED_TRACE("Clear All Data frees the dead keys, but not one whose pair is still loaded; the spell's end counts the refused");
        log->ClearAllData();
        ASSERT_FALSE(log->mobjSocketPairHistory.Exists("KEY0"));
        auto next = Connect(port);
        ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY1", SocketEventType::ConnectionAttemptSuccessful); }));
        EXPECT_TRUE(tsytest::WholeErrorLog().contains("3 connection requests were refused while every key was held"));
        EXPECT_FALSE(log->mobjSocketPairHistory.Exists("KEY0"));
        EXPECT_EQ(listening->mintSocketPairCount, 1);
    }
    {
        SCOPED_TRACE("once that pair is unloaded, its key is handed out again");
        ended->Unload();
        listening->mintSocketPairCount = -1;
        auto again = Connect(port);
        ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY0", SocketEventType::ConnectionAttemptSuccessful); }));
        EXPECT_EQ(listening->mintSocketPairCount, 0);
    }
}

TEST_F(RelayTest, PortWithoutProtocolGetsNoPairAndTheRequestIsReset)
{
    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("127.0.0.1", echo.Port());
    // The port table changes while the socket still listens.
    tsy::Settings::SaveSetting("Protocols", QString::number(port), "HTTP-not-built");

    // A plain socket: the handshake completes in the kernel, then the
    // request must be reset rather than left hanging.
    const int fd = RawConnect(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadToTheEnd(fd, nullptr, 5000), -ECONNRESET);
    EXPECT_EQ(General::gobjListening->mobjSocketPairs.Count(), 0);
    EXPECT_EQ(General::gobjListening->mintSocketPairCount, 0);
}

TEST_F(RelayTest, FastSenderSlowReceiverIsBoundedAndLosesNothing)
{
    PeerServer sink(PeerServer::Silent);
    const int port = PassThrough("127.0.0.1", sink.Port());
    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY1", SocketEventType::ConnectionAttemptSuccessful); }));
    SocketPair* pair = Pair("KEY1");
    ASSERT_NE(pair, nullptr);
    auto relay = std::dynamic_pointer_cast<ProtocolRelay>(pair->mobjProtocolHandler);
    ASSERT_NE(relay, nullptr);

    const QByteArray data = AllByteValues(48 * 1024 * 1024, 7);
    qint64 written = 0;
    qint64 peak = 0;
    // Write as long as the relay keeps taking bytes; then it must be holding back.
    QElapsedTimer t;
    t.start();
    QElapsedTimer stalled;
    stalled.start();
    while (written < data.size() && t.elapsed() < 8000 && stalled.elapsed() < 500) {
        if (client->bytesToWrite() < 4 * 1024 * 1024) {
            stalled.restart();
            const qint64 n = qMin<qint64>(256 * 1024, data.size() - written);
            client->write(data.constData() + written, n);
            written += n;
        }
        Pump(2);
        peak = qMax(peak, relay->C2SBufferedBytes() + pair->sckServer->BytesAvailable());
    }
    // A pause in the writer's progress may come from a loaded machine rather
    // than the relay: what the kernel still holds is read until the bound stops it.
    EXPECT_TRUE(WaitUntil([&] {
        peak = qMax(peak, relay->C2SBufferedBytes() + pair->sckServer->BytesAvailable());
        return pair->sckServer->ReadingPaused();
    }));
    // One read beyond the bound at most; the kernel holds the rest.
    EXPECT_LT(peak, ProtocolRelay::kBackPressureBytes + 16 * 1024 * 1024);
    EXPECT_LT(relay->C2SBufferedBytes(), 16 * 1024 * 1024);

    sink.StartReading();
    while (written < data.size()) {
        if (client->bytesToWrite() < 4 * 1024 * 1024) {
            const qint64 n = qMin<qint64>(256 * 1024, data.size() - written);
            client->write(data.constData() + written, n);
            written += n;
        }
        Pump(2);
    }
    ASSERT_TRUE(WaitUntil([&] { return sink.mReceived.size() >= data.size(); }, 60000));
    EXPECT_TRUE(sink.mReceived == data);
    EXPECT_FALSE(pair->sckServer->ReadingPaused());
}

// A peer that leaves while neither direction can move ends its connection:
// what the far peer still sends is read and dropped, so that it can go on to
// read what is still delivered to it, and then its side closes too. The
// client leaves by a reset and by a half-close, in front of an echo server
// blocked sending to the proxy; a server that then reads nothing is given up
// on; a server leaves while its client is blocked sending.
TEST_F(RelayTest, APeerThatLeavesWhileTheRelayIsHeldUpEndsTheConnection)
{
    using namespace SocketEventType;
    const QByteArray data = AllByteValues(64 * 1024 * 1024, 11);
    PeerServer echo(PeerServer::HeldEcho);
    PeerServer silent(PeerServer::Silent);
    PeerServer flood(PeerServer::Flood);
    flood.mFlood = data;
    const int echoPort = FreePort(), silentPort = FreePort(), floodPort = FreePort();
    tsytest::SavePassThroughPort(echoPort, "127.0.0.1", echo.Port(), "Test relay");
    tsytest::SavePassThroughPort(silentPort, "127.0.0.1", silent.Port(), "Test relay");
    tsytest::SavePassThroughPort(floodPort, "127.0.0.1", flood.Port(), "Test relay");
    General::gobjListening->InitaliseListeningSockets();

    int n = 0;
    QString key;
    int fd = -1;
    SocketPair* pair = nullptr;
    ProtocolRelay* relay = nullptr;
    qint64 written = 0;
    const auto open = [&](int port) {
        key = QStringLiteral("KEY%1").arg(++n);
        fd = RawConnect(port);
        if (fd < 0 || !WaitUntil([&] { return HasEvent(key, ConnectionAttemptSuccessful); })) return false;
        pair = Pair(key);
        relay = dynamic_cast<ProtocolRelay*>(pair->mobjProtocolHandler.get());
        written = 0;
        return relay != nullptr;
    };
    // Sends (never reading) until `until` holds, or until `more` bytes more
    // have gone; false if neither within a minute.
    const auto sendUntil = [&](const std::function<bool()>& until, qint64 more = 0) {
        QElapsedTimer t;
        t.start();
        const qint64 target = written + more;
        while (more ? written < target : !until()) {
            if (t.elapsed() > 60000) return false;
            const qint64 at = written % data.size();
            const ssize_t w = ::send(fd, data.constData() + at, size_t(qMin<qint64>(16384, data.size() - at)),
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (w > 0) written += w;
            QCoreApplication::processEvents(QEventLoop::AllEvents, w > 0 ? 0 : 5);
        }
        return true;
    };
    const auto resetAndClose = [](int s) {
        const linger l{1, 0};
        ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(s);
    };
    // What had nowhere to go is recorded once, as that side's bad state.
    const auto droppedAfterTheClose = [&](const char* side) {
        return Descriptions(key).filter(QStringLiteral("local %1 socket is in a error state: -1,").arg(side)).size();
    };

    for (const bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "the client resets" : "the client half-closes");
        ASSERT_TRUE(open(echoPort));
        echo.mReceived.clear();
        // The echo server is blocked sending to the proxy, which no longer
        // reads it, and data for it waits in the proxy (past the bound before
        // the reset, so the proxy no longer reads the client either).
        ASSERT_TRUE(sendUntil([&] {
            return echo.Blocked() && pair->sckClient->ReadingPaused() && relay->C2SBufferedBytes() > 0
                   && (!reset || pair->sckServer->ReadingPaused());
        }));
        if (reset) {
            resetAndClose(fd);
        } else {
            // Not held back: the proxy takes all of it, then sees the end.
            ASSERT_TRUE(WaitUntil([&] { return DataOfType(key, ServerBytesReceived) == written; }));
            ::shutdown(fd, SHUT_WR);
        }
        ASSERT_TRUE(WaitUntil([&] { return IsDead(key); }));
        EXPECT_TRUE(WaitUntil([&] { return echo.mDisconnects == n; }));
        const qint64 taken = DataOfType(key, ServerBytesReceived);
        EXPECT_EQ(echo.mReceived.size(), taken);
        EXPECT_TRUE(echo.mReceived == data.left(taken));
        EXPECT_EQ(droppedAfterTheClose("server"), 1);
        if (!reset) {
            QByteArray got;
            EXPECT_EQ(ReadToTheEnd(fd, &got), 0);
            EXPECT_TRUE(got == data.left(got.size()));
        }
    }

    // Both bounds shortened for a case: after a reset, and after an orderly close.
    struct ShortBounds {
        ShortBounds(int afterReset, int afterOrderlyClose)
        {
            ProtocolRelay::gFlushWithoutProgressMs = afterReset;
            ProtocolRelay::gFlushAfterOrderlyCloseMs = afterOrderlyClose;
            tsy::StalledDelivery::gGiveUpAfterMs = afterReset;
        }
        ~ShortBounds()
        {
            ProtocolRelay::gFlushWithoutProgressMs = 30000;
            ProtocolRelay::gFlushAfterOrderlyCloseMs = 300000;
            tsy::StalledDelivery::gGiveUpAfterMs = 10000;
        }
    };

    // The proxy no longer reads the client, nor writes to it, when it
    // leaves: it is seen to leave all the same. The server reads nothing
    // more and is given up on: soon after a reset, after the long bound
    // after a half-close, or at once when a new connection wants the room.
    // Its socket goes with the reset that says so: it does not linger on
    // after its close.
    for (const int how : {0, 1, 2}) {
        const bool reset = how == 0, forRoom = how == 2;
        SCOPED_TRACE(reset ? "a reset unread, to a server that reads nothing"
                           : forRoom ? "a half-close unread, given up for room" : "a half-close unread, to a server that reads nothing");
        const ShortBounds bounds(200, forRoom ? 60000 : 400);
        ASSERT_TRUE(open(silentPort));
        // In small pieces, each taken by the proxy's kernel before the next,
        // so that the half-close reaches it behind the last; past the pause
        // by more than the proxy reads ahead, so that it no longer watches.
        QElapsedTimer t;
        t.start();
        qint64 atThePause = -1;
        while (atThePause < 0 || written - atThePause < 96 * 1024 || Unacknowledged(fd) > 0) {
            ASSERT_LT(t.elapsed(), 60000);
            if (atThePause < 0 && pair->sckServer->ReadingPaused()) atThePause = written;
            if (Unacknowledged(fd) == 0 && (atThePause < 0 || written - atThePause < 96 * 1024)) {
                ASSERT_TRUE(sendUntil({}, 4096));
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        const int lingers = tsy::detail::LingersStarted();
        if (reset) {
            resetAndClose(fd);
        } else {
            ::shutdown(fd, SHUT_WR);
        }
        if (forRoom) {
            // Not before its peer has taken nothing for the minimum; then the
            // oldest stalled delivery goes first, and the pair ends from the
            // event loop, not inside the request that wanted the room.
            ASSERT_TRUE(WaitUntil([&] { return HasEvent(key, RemoteClientDisconnected); }));
            ASSERT_TRUE(WaitUntil([&] {
                tsy::StalledDelivery::MakeRoom(1);
                return pair->sckClient->State() != tsy::Winsock::sckConnected;
            }));
            EXPECT_FALSE(IsDead(key));
            EXPECT_EQ(Pair(key), pair);
        }
        ASSERT_TRUE(WaitUntil([&] { return IsDead(key); }));
        EXPECT_EQ(Descriptions(key)
                      .filter(reset   ? "Timed out: the remote server took nothing for 0.2 s"
                              : forRoom ? "Given up to make room for new connections"
                                        : "Timed out: the remote server took nothing for 0.4 s")
                      .size(),
                  1);
        // Only the socket to a client that closed in order lingers.
        EXPECT_EQ(tsy::detail::LingersStarted() - lingers, reset ? 0 : 1);
        if (!reset) {
            EXPECT_EQ(DataOfType(key, ServerBytesReceived), written);
            QByteArray got;
            EXPECT_EQ(ReadToTheEnd(fd, &got), 0);
        }
    }

    {
        SCOPED_TRACE("the server leaves while the client is blocked sending");
        ASSERT_TRUE(open(floodPort));
        ASSERT_TRUE(sendUntil([&] {
            return flood.Blocked() && pair->sckClient->ReadingPaused() && pair->sckServer->ReadingPaused();
        }));
        flood.Leave();
        // The client's sending goes on (dropped by the proxy), then it reads
        // all of the server's that reached the proxy, and the end.
        ASSERT_TRUE(sendUntil({}, 8 * 1024 * 1024));
        QByteArray got;
        EXPECT_EQ(ReadToTheEnd(fd, &got), 0);
        EXPECT_EQ(got.size(), DataOfType(key, ClientBytesReceived));
        EXPECT_TRUE(got == data.left(got.size()));
        EXPECT_TRUE(IsDead(key));
        EXPECT_EQ(droppedAfterTheClose("client"), 1);
    }
    {
        SCOPED_TRACE("a slow, pausing or silent reader after its peer has left");
        constexpr int kBuffer = 32 * 1024;
        int serverPort = 0;
        const int listener = tsytest::RawListen(&serverPort, SOCK_NONBLOCK, kBuffer);
        ASSERT_GE(listener, 0);
        const int slowPort = FreePort();
        tsytest::SavePassThroughPort(slowPort, "127.0.0.1", serverPort, "Test relay");
        General::gobjListening->InitaliseListeningSockets();
        const QByteArray sent = data.left(6 * 1024 * 1024);
        for (const bool pause : {false, true}) {
            // Slow: each read is a little of what the proxy holds for it,
            // many times within the guard; a piece handed to the socket
            // takes longer. Pausing: once its peer has left in order, the
            // reader reads nothing for longer than the bound after a reset
            // (as curl does to keep its rate), and is kept, as a direct
            // connection keeps it.
            const ShortBounds bounds(pause ? 200 : 500, pause ? 60000 : 500);
            for (const bool toTheClient : {true, false}) {
                SCOPED_TRACE(toTheClient ? "the server sends and leaves" : "the client sends and half-closes");
                SCOPED_TRACE(pause ? "the reader pauses" : "the reader is slow");
                key = QStringLiteral("KEY%1").arg(++n);
                const int client = RawConnect(slowPort, kBuffer);
                ASSERT_GE(client, 0);
                int server = -1;
                ASSERT_TRUE(WaitUntil([&] { return (server = ::accept(listener, nullptr, nullptr)) >= 0; }));
                const int writer = toTheClient ? server : client, reader = toTheClient ? client : server;
                qint64 at = 0;
                QByteArray got;
                // What the writer sent now, 0 when it had nothing left or was held up.
                const auto writeSome = [&]() -> ssize_t {
                    if (at == sent.size()) return 0;
                    const ssize_t w = ::send(writer, sent.constData() + at, size_t(qMin<qint64>(65536, sent.size() - at)),
                                             MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (w > 0 && (at += w) == sent.size()) ::shutdown(writer, SHUT_WR);
                    return w;
                };
                // True at the end of the stream.
                const auto readSome = [&] {
                    char buf[8192];
                    const ssize_t r = ::recv(reader, buf, sizeof buf, MSG_DONTWAIT);
                    if (r > 0) got.append(buf, r);
                    return r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
                };
                QElapsedTimer t;
                t.start();
                if (!pause) {
                    for (bool end = false; !end;) {
                        ASSERT_LT(t.elapsed(), 60000);
                        writeSome();
                        end = readSome();
                        tsytest::Pump(8);
                    }
                } else {
                    // The reader makes room only while the writer, or its
                    // half-close, is held up, until the proxy has seen the
                    // writer leave: what fills the way between them is still
                    // to come.
                    const int left = toTheClient ? RemoteServerDisconnected : RemoteClientDisconnected;
                    while (at < sent.size() || !HasEvent(key, left)) {
                        ASSERT_LT(t.elapsed(), 60000);
                        if (writeSome() <= 0) {
                            ASSERT_FALSE(readSome());
                        }
                        tsytest::Pump(2);
                    }
                    ASSERT_LT(got.size(), sent.size());
                    // Ten times the short bound without a read.
                    t.restart();
                    while (t.elapsed() < 2000) tsytest::Pump(20);
                    t.restart();
                    for (bool end = false; !end; end = readSome()) {
                        ASSERT_LT(t.elapsed(), 60000);
                        tsytest::Pump(1);
                    }
                }
                EXPECT_EQ(got.size(), sent.size());
                EXPECT_TRUE(got == sent);
                EXPECT_TRUE(WaitUntil([&] { return IsDead(key); }));
                EXPECT_EQ(Descriptions(key).filter("Timed out").size(), 0);
                ::close(client);
                ::close(server);
            }
        }
        // A server half-closes, reading nothing, while its client reads
        // nothing: both sides are kept for the long bound, until a reset.
        // The server's, seen by the socket closed towards it, lets that
        // socket go at its next look and shortens the client's bound; the
        // client's, seen by the relay, shortens the bound of the socket
        // closed towards the server. A server that reads it all and closes
        // in order after all is no reset: the client keeps the long bound.
        const auto tcpState = [](int s) {
            tcp_info info{};
            socklen_t len = sizeof info;
            return ::getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 ? int(info.tcpi_state) : -1;
        };
        const ShortBounds bounds(200, 60000);
        for (const int end : {0, 1, 2}) {
            const bool serverResets = end == 0, clientResets = end == 1;
            SCOPED_TRACE(serverResets ? "the server resets" : clientResets ? "the client resets" : "the server reads it all");
            ASSERT_TRUE(open(slowPort));
            int server = -1;
            ASSERT_TRUE(WaitUntil([&] { return (server = ::accept(listener, nullptr, nullptr)) >= 0; }));
            // The client sends what the server will never read, and reads
            // nothing. The server sends in small pieces, each taken by the
            // proxy's kernel before the next, until the proxy holds more
            // than its bound for the client and reads it no more; its
            // half-close then follows the last piece.
            qint64 down = 0;
            bool halfClosed = false;
            QElapsedTimer t;
            t.start();
            while (!HasEvent(key, RemoteServerDisconnected)) {
                ASSERT_LT(t.elapsed(), 60000);
                if (written < 512 * 1024) {
                    const ssize_t w = ::send(fd, data.constData() + written, 16384, MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (w > 0) written += w;
                }
                if (!halfClosed && Unacknowledged(server) == 0) {
                    if (pair->sckClient->ReadingPaused() && written >= 512 * 1024) {
                        ::shutdown(server, SHUT_WR);
                        halfClosed = true;
                    } else {
                        const ssize_t w = ::send(server, data.constData() + down, 16384, MSG_DONTWAIT | MSG_NOSIGNAL);
                        if (w > 0) down += w;
                    }
                }
                tsytest::Pump(2);
            }
            ASSERT_GT(relay->S2CBufferedBytes(), 0);
            ASSERT_FALSE(IsDead(key));
            // Ten times the short bound: nobody is given up.
            t.restart();
            while (t.elapsed() < 2000) tsytest::Pump(20);
            ASSERT_NE(tcpState(fd), TCP_CLOSE);
            ASSERT_NE(tcpState(server), TCP_CLOSE);
            if (serverResets) {
                const int before = tsytest::OpenDescriptors();
                resetAndClose(server);
                // Far sooner than the long bound: the socket's next look.
                EXPECT_TRUE(WaitUntil([&] { return tsytest::OpenDescriptors() < before - 1; }, 2000));
                EXPECT_TRUE(WaitUntil([&] { return tcpState(fd) == TCP_CLOSE; }, 10000));
                EXPECT_EQ(Descriptions(key).filter("Timed out: the remote client took nothing for 0.2 s").size(), 1);
                ::close(fd);
            } else if (clientResets) {
                resetAndClose(fd);
                EXPECT_TRUE(WaitUntil([&] { return tcpState(server) == TCP_CLOSE; }, 10000));
                ::close(server);
            } else {
                EXPECT_EQ(ReadToTheEnd(server), 0);
                t.restart();
                while (t.elapsed() < 2000) tsytest::Pump(20);
                EXPECT_NE(tcpState(fd), TCP_CLOSE);
                EXPECT_EQ(Descriptions(key).filter("Timed out").size(), 0);
                resetAndClose(fd);
            }
            EXPECT_TRUE(WaitUntil([&] { return IsDead(key); }));
        }
        ::close(listener);
    }
}


TEST_F(RelayTest, ThrottledSlicesArriveIntactBothWays)
{
    auto* sim = frmProblemSimulation::Instance();
    sim->optC2SThrottle.SetValue(0, true);
    sim->optS2CThrottle.SetValue(0, true);
    sim->txtC2SBytes->setText("3000");
    sim->txtS2CBytes->setText("5000");
    sim->txtC2SPeriod->setText("2");
    sim->txtS2CPeriod->setText("3");
    sim->chkThrottleC2SData->setChecked(true);
    sim->chkThrottleS2CData->setChecked(true);

    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("127.0.0.1", echo.Port());
    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY1", SocketEventType::ConnectionAttemptSuccessful); }));
    const QByteArray data = AllByteValues(100000, 3);
    const QByteArray back = EchoThrough(*client, data, 5);
    EXPECT_TRUE(back == data);
    client->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));

    using namespace SocketEventType;
    EXPECT_EQ(DataOfType("KEY1", ClientBytesSendStartThrottled), data.size());
    EXPECT_EQ(DataOfType("KEY1", ServerBytesSendStartThrottled), data.size());
    auto h = History("KEY1");
    for (const auto& e : h->mobjSocketPairEvents) {
        if (e->mobjEventType == ClientBytesSendStartThrottled) {
            EXPECT_LE(e->mstrData.size(), 3000);
        }
        if (e->mobjEventType == ServerBytesSendStartThrottled) {
            EXPECT_LE(e->mstrData.size(), 5000);
        }
        EXPECT_NE(e->mobjEventType, ClientBytesSendStart);
    }
    sim->chkThrottleC2SData->setChecked(false);
    sim->chkThrottleS2CData->setChecked(false);
}

TEST_F(RelayTest, DangledDataIsHeldThenSentAndACloseDuringTheDangleEndsThePair)
{
    auto* sim = frmProblemSimulation::Instance();
    sim->txtDangleStopTime->setText("300");
    sim->optDangleStopTime.SetValue(0, true);
    sim->optDangleDirections.SetValue(0, true);   // client to server only
    sim->optDangleClose.SetValue(1, true);        // transmit what was held

    PeerServer echo(PeerServer::Echo);
    const int port = PassThrough("127.0.0.1", echo.Port());
    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY1", SocketEventType::ConnectionAttemptSuccessful); }));
    SocketPair* pair = Pair("KEY1");
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->mlngTimeDuringDangle, 300);
    EXPECT_EQ(pair->mintDataToDangle, 0);

    QElapsedTimer t;
    t.start();
    sim->cmdDangleAll_Click();
    EXPECT_TRUE(pair->IsDanglingCurrentlyOn(true));
    EXPECT_FALSE(pair->IsDanglingCurrentlyOn(false));
    client->write("held");
    QByteArray back;
    ASSERT_TRUE(WaitUntil([&] { back += client->readAll(); return back.size() >= 4; }));
    EXPECT_GE(t.elapsed(), 250);
    EXPECT_EQ(back, QByteArray("held"));
    using namespace SocketEventType;
    EXPECT_TRUE(HasEvent("KEY1", ClientBytesBufferedDangling));
    EXPECT_TRUE(HasEvent("KEY1", ServerDanglingStarted));
    EXPECT_TRUE(HasEvent("KEY1", ServerDanglingStopped));
    EXPECT_FALSE(HasEvent("KEY1", ClientDanglingStarted));

    // A second connection: the client leaves during the dangle; the pair
    // dies when the dangle ends instead of waiting for the peers.
    auto second = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY2", SocketEventType::ConnectionAttemptSuccessful); }));
    Pair("KEY2")->tmrDangleStartTimer_Timer();
    second->write("lost");
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY2", ClientBytesBufferedDangling); }));
    second->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY2", RemoteClientDisconnected); }));
    EXPECT_FALSE(IsDead("KEY2"));
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY2"); }));
    EXPECT_TRUE(HasEvent("KEY2", LocalClientDisconnected));
    EXPECT_TRUE(WaitUntil([&] { return echo.mDisconnects == 1; }));

    // A third: the server resets while what it sent is held by a dangle; that
    // still reaches the client when the dangle ends, then the end.
    sim->optDangleDirections.SetValue(1, true);   // server to client only
    auto third = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY3", SocketEventType::ConnectionAttemptSuccessful); }));
    Pair("KEY3")->tmrDangleStartTimer_Timer();
    third->write("kept");
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY3", ServerBytesBufferedDangling); }));
    const linger hard{1, 0};
    ::setsockopt(int(echo.mConnections.last()->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    echo.Leave();
    QByteArray kept;
    ASSERT_TRUE(WaitUntil([&] {
        kept += third->readAll();
        return third->state() == QAbstractSocket::UnconnectedState;
    }));
    EXPECT_EQ(kept, QByteArray("kept"));
    EXPECT_TRUE(IsDead("KEY3"));
}
