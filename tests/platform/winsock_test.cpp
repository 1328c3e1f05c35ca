// The socket control over real loopback sockets: ports chosen by the OS,
// every wait bounded.
#include "common/TestSupport.h"
#include "platform/ClosingSocket.h"
#include "platform/Winsock.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using tsy::SocketError;
using tsy::Winsock;
using tsytest::Pump;
using tsytest::WaitUntil;

namespace {

// Records every event of one socket; collects arriving data when asked to.
struct Probe {
    explicit Probe(Winsock* w) : sock(w)
    {
        QObject::connect(w, &Winsock::Connected, w, [this] { ++connected; });
        QObject::connect(w, &Winsock::DataArrival, w, [this](qint64 n) {
            ++arrivals;
            EXPECT_GT(n, 0);
            if (collect) data += sock->GetData();
        });
        QObject::connect(w, &Winsock::SendComplete, w, [this] { ++sendCompletes; });
        QObject::connect(w, &Winsock::Closed, w, [this] { ++closes; });
        QObject::connect(w, &Winsock::Error, w, [this](int n, const QString& d) {
            ++errors;
            errorNumber = n;
            errorText = d;
        });
    }
    int events() const { return connected + arrivals + sendCompletes + closes + errors; }

    Winsock* sock;
    bool collect = true;
    int connected = 0, arrivals = 0, sendCompletes = 0, closes = 0, errors = 0;
    int errorNumber = 0;
    QString errorText;
    QByteArray data;
};

// A listening socket on an OS-chosen port that accepts every request on a
// new Winsock (unless accepting is switched off).
struct Server {
    Server()
    {
        listener.SetLocalPort(0);
        SocketError err;
        EXPECT_TRUE(listener.Listen(&err)) << err.number << " " << err.description.toStdString();
        QObject::connect(&listener, &Winsock::ConnectionRequest, &listener, [this](qint64 id) {
            pendingSeenInSlot = tsy::PendingConnectionRequests();
            ++requests;
            if (!accepting) return;
            auto w = std::make_unique<Winsock>();
            EXPECT_TRUE(w->Accept(id));
            probes.push_back(std::make_unique<Probe>(w.get()));
            accepted.push_back(std::move(w));
        });
    }
    int port() const { return listener.LocalPort(); }

    Winsock listener;
    bool accepting = true;
    int requests = 0;
    int pendingSeenInSlot = -1;
    std::vector<std::unique_ptr<Winsock>> accepted;
    std::vector<std::unique_ptr<Probe>> probes;
};

QByteArray everyByte(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i) b[i] = char((i + i / 256) & 0xff);
    return b;
}

} // namespace

TEST(Winsock, AcceptAndConnectReportAddressesAndStates)
{
    Server server;
    ASSERT_EQ(server.listener.State(), Winsock::sckListening);
    ASSERT_GT(server.port(), 0);

    Winsock client;
    Probe cp(&client);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    EXPECT_EQ(client.State(), Winsock::sckConnecting);
    EXPECT_EQ(cp.events(), 0) << "nothing is raised inside Connect";
    ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1 && server.accepted.size() == 1; }));

    Winsock& srv = *server.accepted[0];
    EXPECT_EQ(server.pendingSeenInSlot, 1);
    EXPECT_EQ(tsy::PendingConnectionRequests(), 0);
    EXPECT_EQ(client.State(), Winsock::sckConnected);
    EXPECT_EQ(srv.State(), Winsock::sckConnected);
    EXPECT_EQ(server.listener.State(), Winsock::sckListening);
    EXPECT_EQ(client.RemoteHost(), "127.0.0.1");
    EXPECT_EQ(client.RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(client.RemotePort(), server.port());
    EXPECT_EQ(client.LocalIP(), "127.0.0.1");
    EXPECT_EQ(srv.RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(srv.RemoteHost(), "") << "no reverse lookup for accepted sockets";
    EXPECT_EQ(srv.RemotePort(), client.LocalPort());
    EXPECT_EQ(srv.LocalPort(), server.port());
    EXPECT_FALSE(Winsock::LocalHostName().isEmpty());

    // A name resolves (state 6 meanwhile) and is kept as given.
    Winsock named;
    Probe np(&named);
    ASSERT_TRUE(named.Connect("localhost", server.port()));
    EXPECT_EQ(named.State(), Winsock::sckConnecting);
    ASSERT_TRUE(WaitUntil([&] { return np.connected == 1; })) << np.errorNumber;
    EXPECT_EQ(named.RemoteHost(), "localhost");
    EXPECT_EQ(named.RemoteHostIP(), "127.0.0.1");
    EXPECT_FALSE(named.RemoteHostIP().startsWith("::"));
}

TEST(Winsock, BadArgumentsFailAtOnceWithoutEvents)
{
    Winsock w;
    Probe p(&w);
    SocketError err;
    for (int port : {0, -1, 65536, 65536 + 80}) {
        err = {};
        EXPECT_FALSE(w.Connect("127.0.0.1", port, &err)) << port;
        EXPECT_EQ(err.number, tsy::SockErr::InvalidArgument);
        EXPECT_FALSE(err.description.isEmpty());
    }
    err = {};
    EXPECT_FALSE(w.Connect("", 80, &err));
    EXPECT_EQ(err.number, tsy::SockErr::InvalidArgument);
    EXPECT_FALSE(w.SendData("x", &err));
    EXPECT_EQ(w.State(), Winsock::sckClosed);
    w.SetLocalPort(70000);
    EXPECT_FALSE(w.Listen(&err));
    EXPECT_FALSE(w.Accept(123456789, &err));
    Pump(50);
    EXPECT_EQ(p.events(), 0);
}

TEST(Winsock, OneMegabyteOfEveryByteValueBothWays)
{
    Server server;
    Winsock client;
    Probe cp(&client);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1 && server.accepted.size() == 1; }));
    Winsock& srv = *server.accepted[0];
    Probe& sp = *server.probes[0];

    const QByteArray up = everyByte(1 << 20);
    QByteArray down = up;
    std::reverse(down.begin(), down.end());
    ASSERT_TRUE(client.SendData(up));
    ASSERT_TRUE(srv.SendData(down));
    ASSERT_TRUE(WaitUntil([&] { return sp.data.size() >= up.size() && cp.data.size() >= down.size(); }));
    EXPECT_TRUE(sp.data == up);
    EXPECT_TRUE(cp.data == down);
    ASSERT_TRUE(WaitUntil([&] { return cp.sendCompletes == 1 && sp.sendCompletes == 1; }));
    Pump(50);
    EXPECT_EQ(cp.sendCompletes, 1);
    EXPECT_EQ(sp.sendCompletes, 1);
    EXPECT_EQ(cp.errors + sp.errors + cp.closes + sp.closes, 0);
}

TEST(Winsock, OneSendCompletePerSendNeverInsideSendData)
{
    Server server;
    Winsock client;
    Probe cp(&client);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1 && server.accepted.size() == 1; }));

    ASSERT_TRUE(client.SendData(""));   // empty: accepted, nothing raised
    Pump(50);
    EXPECT_EQ(cp.sendCompletes, 0);

    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(client.SendData(QByteArray(1000 * i, 'a')));
        EXPECT_EQ(cp.sendCompletes, i - 1) << "raised inside SendData";
        ASSERT_TRUE(WaitUntil([&] { return cp.sendCompletes == i; }));
        EXPECT_EQ(client.BytesToWrite(), 0);
    }
    Pump(50);
    EXPECT_EQ(cp.sendCompletes, 3);
    ASSERT_TRUE(WaitUntil([&] { return server.probes[0]->data.size() == 6000; }));
}

// A relay sends its next chunk from inside SendComplete; every such send must
// complete too, small or large, or the relay stalls.
TEST(Winsock, SendsStartedFromSendCompleteAlsoComplete)
{
    Server server;
    Winsock client;
    Probe cp(&client);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1 && server.accepted.size() == 1; }));

    // The first send is far larger than the socket buffers can take while the
    // peer is not reading, so its completion comes from the write
    // notification (how much the kernel absorbs is not asserted).
    server.accepted[0]->SetReadingPaused(true);
    const QList<int> sizes = {10, 1, 300000, 7, 2000000, 3};
    int next = 0;
    qint64 total = 0;
    QObject::connect(&client, &Winsock::SendComplete, &client, [&] {
        if (next < sizes.size()) {
            total += sizes[next];
            EXPECT_TRUE(client.SendData(QByteArray(sizes[next++], 'x')));
        }
    });
    total += 32 * 1024 * 1024;
    ASSERT_TRUE(client.SendData(QByteArray(32 * 1024 * 1024, 'f')));
    Pump(100);
    server.accepted[0]->SetReadingPaused(false);
    ASSERT_TRUE(WaitUntil([&] { return cp.sendCompletes == sizes.size() + 1; }))
        << "completions seen: " << cp.sendCompletes;
    ASSERT_TRUE(WaitUntil([&] { return server.probes[0]->data.size() == total; }));
}

TEST(Winsock, PeerCloseIsCloseAndOwnCloseRaisesNothing)
{
    Server server;
    auto* client = new Winsock;
    Probe cp(client);
    ASSERT_TRUE(client->Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1 && server.accepted.size() == 1; }));
    Winsock& srv = *server.accepted[0];
    Probe& sp = *server.probes[0];

    // The receiver may delete the socket from inside its Close handler.
    QObject::connect(client, &Winsock::Closed, client, [client] {
        EXPECT_EQ(client->State(), Winsock::sckClosing);
        client->deleteLater();
    });
    QPointer<Winsock> alive(client);
    ASSERT_TRUE(srv.SendData("bye"));
    srv.Close();
    EXPECT_EQ(srv.State(), Winsock::sckClosed);
    ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));
    EXPECT_EQ(cp.data, "bye");
    EXPECT_EQ(cp.closes, 1);
    EXPECT_EQ(cp.errors, 0);
    Pump(100);
    EXPECT_EQ(sp.events(), 0) << "our own close raised an event";
}

TEST(Winsock, ClosingRightAfterALargeSendStillDeliversIt)
{
    Server server;
    Winsock client;
    Probe cp(&client);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1 && server.accepted.size() == 1; }));

    // Peer data left unread at our close must not turn the close into a reset.
    ASSERT_TRUE(client.SendData("unread by the server"));
    Pump(50);
    const QByteArray big = everyByte(8 << 20);
    ASSERT_TRUE(server.accepted[0]->SendData(big));
    server.accepted[0]->Close();
    server.accepted.clear();   // deleted while still flushing
    ASSERT_TRUE(WaitUntil([&] { return cp.closes + cp.errors > 0; }, 30000));
    EXPECT_EQ(cp.errors, 0) << cp.errorNumber;
    EXPECT_EQ(cp.data.size(), big.size());
    EXPECT_TRUE(cp.data == big);
}

TEST(Winsock, ConnectFailuresCarryClassicNumbers)
{
    int closedPort = 0;
    {
        Winsock probe;
        probe.SetLocalPort(0);
        ASSERT_TRUE(probe.Listen());
        closedPort = probe.LocalPort();
    }
    Winsock refused;
    Probe rp(&refused);
    ASSERT_TRUE(refused.Connect("127.0.0.1", closedPort));
    ASSERT_TRUE(WaitUntil([&] { return rp.errors == 1; }));
    EXPECT_EQ(rp.errorNumber, tsy::SockErr::ConnectionRefused);
    EXPECT_EQ(rp.errorText, "Connection is forcefully rejected");
    EXPECT_EQ(refused.State(), Winsock::sckError);
    refused.Close();
    EXPECT_EQ(refused.State(), Winsock::sckClosed);

    // Closing while the name is still being resolved: nothing arrives later.
    Winsock cancelled;
    Probe xp(&cancelled);
    ASSERT_TRUE(cancelled.Connect("nosuchhost.invalid", 80));
    SocketError busy;
    EXPECT_FALSE(cancelled.Connect("127.0.0.1", closedPort, &busy)) << "already connecting";
    EXPECT_EQ(busy.number, tsy::SockErr::InvalidArgument);
    cancelled.Close();
    ASSERT_TRUE(cancelled.Connect("127.0.0.1", closedPort));
    cancelled.Close();
    // Deleted while resolving: the answer, due no later than the one awaited
    // below (same name, same lookup queue), must touch nothing and free its
    // callback (the sanitizer build reports a leak otherwise).
    auto doomed = std::make_unique<Winsock>();
    ASSERT_TRUE(doomed->Connect("nosuchhost.invalid", 80));
    doomed.reset();
    Pump(300);
    EXPECT_EQ(xp.events(), 0);

    Winsock unknown;
    Probe up(&unknown);
    ASSERT_TRUE(unknown.Connect("nosuchhost.invalid", 80));
    EXPECT_EQ(unknown.State(), Winsock::sckConnecting);
    ASSERT_TRUE(WaitUntil([&] { return up.errors == 1; }, 30000));
    if (up.errorNumber == tsy::SockErr::TryAgain)
        GTEST_SKIP() << "no name server answered; cannot tell an unknown host here";
    EXPECT_EQ(up.errorNumber, tsy::SockErr::HostNotFound);
    EXPECT_EQ(up.errorText, "Authoritative answer: Host not found");
    EXPECT_EQ(up.connected, 0);
}

TEST(Winsock, ListenFailuresAreSynchronous)
{
    Server server;
    Winsock second;
    second.SetLocalPort(server.port());
    SocketError err;
    EXPECT_FALSE(second.Listen(&err));
    EXPECT_EQ(err.number, tsy::SockErr::AddressInUse);
    EXPECT_EQ(err.description, "Address in use");
    EXPECT_EQ(second.State(), Winsock::sckClosed);

    // Closed, the port is free again for a new listener.
    const int port = server.port();
    server.listener.Close();
    EXPECT_EQ(server.listener.State(), Winsock::sckClosed);
    EXPECT_TRUE(second.Listen(&err)) << err.number;
    EXPECT_EQ(second.LocalPort(), port);
}

TEST(Winsock, UnacceptedRequestsAreResetWithoutStallingThePort)
{
    Server server;
    server.accepting = false;

    Winsock client;
    Probe cp(&client);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(WaitUntil([&] { return cp.errors + cp.closes > 0; })) << server.requests;
    EXPECT_EQ(cp.errorNumber, tsy::SockErr::ConnectionReset);
    EXPECT_EQ(tsy::PendingConnectionRequests(), 0);

    // More refused requests than any backlog holds; each client hears of it
    // and the port still answers afterwards.
    std::vector<std::unique_ptr<Winsock>> many;
    std::vector<std::unique_ptr<Probe>> manyProbes;
    for (int i = 0; i < 80; ++i) {
        many.push_back(std::make_unique<Winsock>());
        manyProbes.push_back(std::make_unique<Probe>(many.back().get()));
        ASSERT_TRUE(many.back()->Connect("127.0.0.1", server.port()));
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (auto& p : manyProbes)
            if (p->errors == 0) return false;
        return true;
    }, 10000));
    EXPECT_EQ(server.requests, 81);
    for (auto& p : manyProbes) EXPECT_EQ(p->errorNumber, tsy::SockErr::ConnectionReset);

    server.accepting = true;
    Winsock late;
    Probe lp(&late);
    ASSERT_TRUE(late.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(WaitUntil([&] { return lp.connected == 1 && server.accepted.size() == 1; }));
}

TEST(Winsock, PausedReadingStaysBoundedAndResumesEverything)
{
    Server server;
    Winsock client;
    Probe cp(&client);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1 && server.accepted.size() == 1; }));
    Winsock& srv = *server.accepted[0];
    Probe& sp = *server.probes[0];

    srv.SetReadingPaused(true);
    const QByteArray big = everyByte(24 << 20);
    ASSERT_TRUE(client.SendData(big));

    // Wait until the sender stalls: its own buffer stops shrinking.
    qint64 last = -1;
    for (int i = 0; i < 100; ++i) {
        Pump(50);
        if (client.BytesToWrite() == last) break;
        last = client.BytesToWrite();
    }
    EXPECT_GT(client.BytesToWrite(), 0) << "TCP did not push back on the sender";
    EXPECT_EQ(sp.arrivals, 0);
    EXPECT_LE(srv.BytesAvailable(), 128 * 1024);
    EXPECT_EQ(cp.sendCompletes, 0);

    srv.SetReadingPaused(false);
    ASSERT_TRUE(WaitUntil([&] { return sp.data.size() >= big.size(); }, 30000)) << sp.data.size();
    EXPECT_TRUE(sp.data == big);
    ASSERT_TRUE(WaitUntil([&] { return cp.sendCompletes == 1; }));

    // Data already held when reading resumes is announced without new data.
    srv.SetReadingPaused(true);
    ASSERT_TRUE(client.SendData("tail"));
    ASSERT_TRUE(WaitUntil([&] { return srv.BytesAvailable() == 4; }));
    EXPECT_EQ(sp.data.size(), big.size());
    srv.SetReadingPaused(false);
    EXPECT_EQ(sp.data.size(), big.size()) << "raised inside SetReadingPaused";
    ASSERT_TRUE(WaitUntil([&] { return sp.data.endsWith("tail"); }));
}

TEST(Winsock, ResetOfAnEstablishedConnectionIsAnErrorNotAClose)
{
    QTcpServer raw;
    ASSERT_TRUE(raw.listen(QHostAddress::LocalHost, 0));
    Winsock client;
    Probe cp(&client);
    ASSERT_TRUE(client.Connect("127.0.0.1", raw.serverPort()));
    ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1 && raw.hasPendingConnections(); }));
    QTcpSocket* peer = raw.nextPendingConnection();
    ASSERT_TRUE(peer->write("last words") > 0);
    ASSERT_TRUE(peer->waitForBytesWritten(2000) || peer->bytesToWrite() == 0);
    ASSERT_TRUE(WaitUntil([&] { return cp.data == "last words"; }));

    linger l{1, 0};
    ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    peer->abort();
    ASSERT_TRUE(WaitUntil([&] { return cp.errors + cp.closes > 0; }));
    EXPECT_EQ(cp.closes, 0);
    EXPECT_EQ(cp.errorNumber, tsy::SockErr::ConnectionReset);
    EXPECT_EQ(cp.errorText, "The connection is reset by remote side");
    EXPECT_EQ(client.State(), Winsock::sckError);
    EXPECT_FALSE(client.SendData("x"));
}

// A reset that a send finds first, while reading is paused: what the peer
// sent before it is still handed on once reading resumes, and only then
// comes the error.
TEST(Winsock, BytesSentBeforeAResetArriveBeforeItsError)
{
    int port = 0;
    const int lfd = tsytest::RawListen(&port);
    ASSERT_GE(lfd, 0);
    Winsock client;
    Probe cp(&client);
    qint64 arrivedBeforeError = -1;
    QObject::connect(&client, &Winsock::Error, &client, [&] { arrivedBeforeError = cp.data.size(); });
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1; }));
    const int fd = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    client.SetReadingPaused(true);

    // More than one read takes: part is held, the rest stays in the kernel.
    const QByteArray block = everyByte(100000);
    qint64 sent = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const ssize_t n = ::send(fd, block.constData() + sent, size_t(block.size() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent += n;
        int unsent = 0;
        ::ioctl(fd, TIOCOUTQ, &unsent);
        return sent == block.size() && unsent == 0;
    }));
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
    ASSERT_TRUE(client.SendData("x"));   // finds the reset; its failure is handled from the loop
    Pump(20);

    client.SetReadingPaused(false);
    ASSERT_TRUE(WaitUntil([&] { return cp.errors > 0; }));
    EXPECT_TRUE(cp.data == block) << cp.data.size() << " of " << block.size();
    EXPECT_EQ(arrivedBeforeError, block.size());
    EXPECT_EQ(cp.errorNumber, tsy::SockErr::ConnectionReset);
    EXPECT_EQ(cp.closes, 0);
    EXPECT_EQ(client.State(), Winsock::sckError);
    ::close(lfd);
}

// A peer that accepts, writes and resets before our connect is looked at:
// the connection was made, so it is reported connected, then what the peer
// wrote, then the reset (a direct client also reads those bytes).
TEST(Winsock, APeerResetBeforeTheConnectIsSeenStillDeliversItsBytes)
{
    int port = 0;
    const int lfd = tsytest::RawListen(&port);
    ASSERT_GE(lfd, 0);
    Winsock client;
    Probe cp(&client);
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    // Starts the connect; the outcome is looked at on a later turn. The
    // handshake itself completes in the kernel meanwhile.
    QCoreApplication::processEvents();
    const int fd = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    const QByteArray banner = everyByte(1000);
    ASSERT_EQ(::send(fd, banner.constData(), size_t(banner.size()), MSG_NOSIGNAL), banner.size());
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);

    ASSERT_TRUE(WaitUntil([&] { return cp.errors > 0; }));
    EXPECT_EQ(cp.connected, 1);
    EXPECT_TRUE(cp.data == banner) << cp.data.size();
    EXPECT_EQ(cp.errorNumber, tsy::SockErr::ConnectionReset);
    ::close(lfd);
}

// A socket we closed gives up on its peer with a reset. One that keeps
// sending is cut off after a bounded amount and its sends fail, instead of
// the program reading and discarding for as long as the peer goes on. One
// that takes nothing for the bound gets a reset, so that it cannot take
// what it got for the whole. Progress is what the peer's TCP acknowledges:
// a queue kept full by our writes, as a relay keeps it for a slow reader,
// says nothing.
TEST(Winsock, ClosedSocketGivesUpWithAResetOnAPeerThatKeepsSendingOrTakesNothing)
{
    EXPECT_TRUE(tsy::detail::PeerProgress::Took(1000, 4096, 5000, 4096, true));
    EXPECT_TRUE(tsy::detail::PeerProgress::Took(0, 4096, 0, 1024, true));
    EXPECT_TRUE(tsy::detail::PeerProgress::Took(1000, 0, 1000, 0, false));
    EXPECT_FALSE(tsy::detail::PeerProgress::Took(1000, 4096, 1000, 4096, false));
    EXPECT_FALSE(tsy::detail::PeerProgress::Took(1000, 0, 1000, 0, true));

    for (const bool talks : {true, false}) {
        SCOPED_TRACE(talks ? "a peer that keeps sending" : "a peer that takes nothing");
        // A plain descriptor as the peer: nothing closes it behind our back.
        int port = 0;
        const int lfd = tsytest::RawListen(&port);
        ASSERT_GE(lfd, 0);
        Winsock client;
        Probe cp(&client);
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
        ASSERT_TRUE(WaitUntil([&] { return cp.connected == 1; }));
        const int fd = ::accept(lfd, nullptr, nullptr);
        ASSERT_GE(fd, 0);
        if (talks) {
            ASSERT_TRUE(client.SendData("last words"));
            client.Close();
            const QByteArray block(64 * 1024, 'z');
            qint64 pushed = 0;
            bool cutOff = false;
            // Far more than any bound or buffer: a peer never cut off gets all of it through.
            while (!cutOff && pushed < 512LL * 1024 * 1024) {
                const ssize_t n = ::send(fd, block.constData(), size_t(block.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) pushed += n;
                else if (errno == EAGAIN || errno == EWOULDBLOCK) Pump(5);
                else cutOff = true;
            }
            EXPECT_TRUE(cutOff) << pushed << " bytes taken";
            EXPECT_EQ(cp.events(), 1) << "our own close raised an event";
        } else {
            struct ShortBound {
                ShortBound() { Winsock::gPeerTakesNothingMs = 200; }
                ~ShortBound() { Winsock::gPeerTakesNothingMs = 30000; }
            } shortBound;
            // Far more than the kernels hold between us: most waits in our queue.
            ASSERT_TRUE(client.SendData(QByteArray(64 * 1024 * 1024, 'q')));
            client.Close();
            ASSERT_TRUE(WaitUntil([&] {
                tcp_info info{};
                socklen_t len = sizeof info;
                return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state != TCP_ESTABLISHED;
            }, 20000));
            char buf[65536];
            ssize_t r = 0;
            qint64 got = 0;
            while ((r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) got += r;
            EXPECT_EQ(r, -1) << got << " bytes, then the end";
            EXPECT_EQ(errno, ECONNRESET);
        }
        ::close(fd);
        ::close(lfd);
    }
}

namespace {

// The program's relay in miniature: a source pushes through `in` to the
// socket accepted there, whose arrivals are sent on from inside DataArrival
// (as the relay does) through `forward` to a collecting sink at `out`.
// Sends made inside a full read's arrival are gathered and written at the
// end of the read round.
struct MiniRelay {
    Server in, out;
    Winsock source;
    Probe sourceProbe{&source};
    Winsock forward;
    Probe forwardProbe{&forward};
    QByteArray sent;   // what went to forward.SendData, in order

    bool start()
    {
        if (!source.Connect("127.0.0.1", in.port()) || !forward.Connect("127.0.0.1", out.port())) return false;
        if (!WaitUntil([&] {
                return sourceProbe.connected == 1 && forwardProbe.connected == 1 && in.accepted.size() == 1
                       && out.accepted.size() == 1;
            }))
            return false;
        in.probes[0]->collect = false;
        return true;
    }
    Winsock& reader() { return *in.accepted[0]; }
    const QByteArray& received() { return out.probes[0]->data; }
    void relay(const QByteArray& data)
    {
        sent += data;
        EXPECT_TRUE(forward.SendData(data));
    }
};

} // namespace

// Every byte arrives, in order, whether a send was gathered, written at once
// (a short read's), or started from SendComplete behind a gathered batch;
// and the completions come as for sends written at once.
TEST(Winsock, SendsMadeInsideArrivalsArriveWholeAndInOrder)
{
    MiniRelay r;
    ASSERT_TRUE(r.start());
    QObject::connect(&r.reader(), &Winsock::DataArrival, &r.reader(), [&](qint64) { r.relay(r.reader().GetData()); });
    int marker = 0;
    QObject::connect(&r.forward, &Winsock::SendComplete, &r.forward, [&] {
        if (marker < 40) r.relay(QByteArray("<") + QByteArray::number(marker++) + ">");
    });

    const QByteArray big = everyByte(16 << 20);
    ASSERT_TRUE(r.source.SendData(big));
    ASSERT_TRUE(WaitUntil([&] { return r.sourceProbe.sendCompletes == 1; }));
    ASSERT_TRUE(r.source.SendData("short"));
    ASSERT_TRUE(WaitUntil([&] { return r.received().size() >= r.sent.size() && r.sent.endsWith("short"); }))
        << r.received().size() << " of " << r.sent.size();
    ASSERT_TRUE(WaitUntil([&] { return r.forward.BytesToWrite() == 0 && r.received().size() == r.sent.size(); }));
    EXPECT_TRUE(r.received() == r.sent);
    EXPECT_GT(r.forwardProbe.sendCompletes, 0);
    EXPECT_EQ(r.forwardProbe.errors + r.sourceProbe.errors, 0);
}

// A handler may close the socket it just sent on, or delete the socket whose
// arrival it is handling, in the middle of a read round: what was gathered
// is still delivered.
TEST(Winsock, GatheredSendsOutliveACloseOrTheReadersDeletion)
{
    for (const bool deleteReader : {false, true}) {
        SCOPED_TRACE(deleteReader ? "reader deleted" : "forward closed");
        MiniRelay r;
        ASSERT_TRUE(r.start());
        constexpr qsizetype kStop = 3 << 20;
        QObject::connect(&r.reader(), &Winsock::DataArrival, &r.reader(), [&](qint64) {
            r.relay(r.reader().GetData());
            if (r.sent.size() < kStop) return;
            if (deleteReader) {
                r.in.accepted.clear();   // the reader, from inside its own arrival
            } else {
                r.forward.Close();
                r.reader().SetReadingPaused(true);
            }
        });
        ASSERT_TRUE(r.source.SendData(everyByte(8 << 20)));
        ASSERT_TRUE(WaitUntil([&] { return r.sent.size() >= kStop; }));
        const QByteArray expected = r.sent;
        if (deleteReader) {
            // Nothing else is sent: the gathered rest must go out by itself.
            ASSERT_TRUE(WaitUntil([&] { return r.received().size() == expected.size(); }, 10000)) << r.received().size();
            r.forward.Close();
        }
        ASSERT_TRUE(WaitUntil([&] { return r.out.probes[0]->closes + r.out.probes[0]->errors > 0; }));
        EXPECT_EQ(r.out.probes[0]->errors, 0);
        EXPECT_EQ(r.received().size(), expected.size());
        EXPECT_TRUE(r.received() == expected);
    }
}

namespace {

// A client socket made now and connected later, when no descriptor may be left.
int ClientTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(quint16(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return fd;
}

} // namespace

// With few descriptors left, a client waits in the listen queue. When the
// shortage comes from files held outside the socket layer, it ends as they
// close, with no socket traffic to tell us. A port opened with descriptors set
// aside takes its one connection while the gate is shut, and whatever is set
// aside goes back on every path.
TEST(Winsock, ShortagesEndWhenOutsideFilesCloseAndSetAsidePortsBypassTheGate)
{
    namespace D = tsy::Descriptors;
    const int setAsideBefore = D::SetAsideCount();
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    struct Restore {
        rlimit r;
        ~Restore() { ::setrlimit(RLIMIT_NOFILE, &r); }
    } restore{old};
    int shortages = 0;
    D::SetShortageHandler([&](int) { ++shortages; });

    Server server;
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const rlimit low{rlim_t(tsytest::OpenDescriptors() + D::kReserve + 32), old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> files;
    for (int f; files.size() < low.rlim_cur && (f = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) files.push_back(f);
    ASSERT_FALSE(files.empty());
    ::close(files.back());   // one left, for counting
    files.pop_back();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(quint16(server.port()));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(client, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    ASSERT_TRUE(WaitUntil([] { return D::WaitingListenerCount() == 1; }, 5000));
    EXPECT_EQ(shortages, 1);
    EXPECT_EQ(server.requests, 0);
    for (int f : files) ::close(f);
    files.clear();
    EXPECT_TRUE(WaitUntil([&] { return server.requests == 1; }, 5000)) << "still waiting after the files closed";
    EXPECT_EQ(D::WaitingListenerCount(), 0);

    // The gate shut by what is set aside elsewhere: a port with a claim of
    // its own still takes its connection, and an ordinary one waits.
    tsy::DescriptorClaim portClaim = D::SetAside(3);
    ASSERT_TRUE(portClaim);
    Winsock oneShot;
    oneShot.SetLocalPort(0);
    ASSERT_TRUE(oneShot.Listen(nullptr, &portClaim));
    EXPECT_FALSE(portClaim);
    std::vector<tsy::DescriptorClaim> hog;
    while (tsy::DescriptorClaim c = D::SetAside(1)) hog.push_back(std::move(c));
    Winsock refused;
    refused.SetLocalPort(0);
    SocketError err;
    EXPECT_FALSE(refused.Listen(&err));
    EXPECT_EQ(err.number, tsy::SockErr::TooManySockets);
    qint64 oneShotRequest = 0;
    Winsock dataSide;
    QObject::connect(&oneShot, &Winsock::ConnectionRequest, &oneShot, [&](qint64 id) {
        oneShotRequest = id;
        EXPECT_TRUE(dataSide.Accept(id));
    });
    const int waitingClient = ClientTo(server.port());
    EXPECT_TRUE(WaitUntil([] { return D::WaitingListenerCount() == 1; }, 5000));
    const int dataClient = ClientTo(oneShot.LocalPort());
    EXPECT_TRUE(WaitUntil([&] { return oneShotRequest != 0; }, 5000));
    EXPECT_EQ(server.requests, 1);
    // Closed, the port waits no more; whatever was set aside goes back.
    oneShot.Close();
    dataSide.Close();
    hog.clear();
    EXPECT_TRUE(WaitUntil([&] { return server.requests == 2; }, 5000));
    server.accepted.clear();
    EXPECT_EQ(D::SetAsideCount(), setAsideBefore);
    for (int fd : {client, waitingClient, dataClient}) ::close(fd);
    D::SetShortageHandler(nullptr);
}

// Only deliveries whose peer has taken nothing for the minimum are given up
// for room, the one idle longest first (the older among equals), and none
// when those together cannot free what is asked.
TEST(StalledDelivery, OnlyThosePastTheMinimumAreGivenUpTheLongestIdleFirst)
{
    using tsy::StalledDelivery;
    // Far above what any real socket of this process has been idle.
    constexpr qint64 kMin = 1000000000;
    struct Restore {
        int ms = StalledDelivery::gGiveUpAfterMs;
        ~Restore() { StalledDelivery::gGiveUpAfterMs = ms; }
    } restore;
    StalledDelivery::gGiveUpAfterMs = int(kMin);
    QString gone;
    qint64 idle[] = {kMin - 1, kMin + 5, kMin + 10, -1, kMin + 20, kMin + 20};
    std::vector<std::unique_ptr<StalledDelivery>> entries;
    for (int i = 0; i < 6; ++i)
        entries.push_back(std::make_unique<StalledDelivery>([&idle, i] { return idle[i]; },
                                                            [&gone, i] { gone += QChar(u'A' + i); }));
    EXPECT_EQ(StalledDelivery::MakeRoom(5), 0) << "four past the minimum cannot free five";
    EXPECT_EQ(gone, QString());
    EXPECT_EQ(StalledDelivery::MakeRoom(1), 1);
    EXPECT_EQ(StalledDelivery::MakeRoom(2), 2);
    EXPECT_EQ(gone, QStringLiteral("EFC"));
    EXPECT_EQ(StalledDelivery::MakeRoom(1), 1);
    EXPECT_EQ(StalledDelivery::MakeRoom(1), 0) << "one under the minimum, one not to be given up";
    idle[0] = kMin;
    EXPECT_EQ(StalledDelivery::MakeRoom(1), 1);
    EXPECT_EQ(gone, QStringLiteral("EFCBA"));
}
