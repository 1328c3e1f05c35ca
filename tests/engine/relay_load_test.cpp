// The relay under load, over real loopback sockets: bursts of concurrent
// clients, descriptors reused while closed sockets linger, and large
// transfers cut into bounded data events. The far ends are real peers
// (tests/engine/load_peer.py, asyncio).
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmProblemSimulation.h"
#include "history/Logging.h"
#include "history/SocketEvent.h"
#include "history/SocketPairHistory.h"
#include "platform/Winsock.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using tsytest::FreePort;
using tsytest::WaitUntil;

namespace {

// Socket warnings from Qt (a notifier left on a closed descriptor) are
// faults: they are counted while a test runs.
int gSocketWarnings = 0;
QtMessageHandler gPreviousHandler = nullptr;
void CountSocketWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text.contains(QLatin1String("QSocketNotifier"))) ++gSocketWarnings;
    if (gPreviousHandler) gPreviousHandler(type, context, text);
}

class LoadPeer {
public:
    explicit LoadPeer(const QStringList& args, const char* script = "load_peer.py")
    {
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mProcess.start(QStringLiteral("/usr/bin/python3"),
                       QStringList{QDir(qEnvironmentVariable("TSY_SOURCE_DIR"))
                                       .filePath(QStringLiteral("tests/engine/") + QLatin1String(script))}
                           + args);
    }
    ~LoadPeer()
    {
        mProcess.closeWriteChannel();
        if (!mProcess.waitForFinished(5000)) mProcess.kill();
        mProcess.waitForFinished(2000);
    }
    // The first line it prints, while the proxy goes on serving.
    QByteArray Line(int ms)
    {
        WaitUntil([&] { return mProcess.canReadLine() || mProcess.state() == QProcess::NotRunning; }, ms);
        return mProcess.readLine().trimmed();
    }

private:
    QProcess mProcess;
};

class RelayLoadTest : public tsytest::RelayFixture {
protected:
    void SetUp() override
    {
        RelayFixture::SetUp();
        gSocketWarnings = 0;
        gPreviousHandler = qInstallMessageHandler(CountSocketWarnings);
    }
    void TearDown() override
    {
        qInstallMessageHandler(gPreviousHandler);
        EXPECT_EQ(gSocketWarnings, 0) << "socket warnings on stderr";
        RelayFixture::TearDown();
    }
    int PassThrough(int serverPort)
    {
        const int port = FreePort();
        tsytest::SavePassThroughPort(port, QStringLiteral("127.0.0.1"), serverPort, QStringLiteral("Load"));
        General::gobjListening->InitaliseListeningSockets();
        return port;
    }
};

TEST_F(RelayLoadTest, ABurstOfConcurrentClientsIsAllAcceptedAndEchoedIntact)
{
    LoadPeer echo({"echo"});
    const int echoPort = echo.Line(10000).toInt();
    ASSERT_GT(echoPort, 0);
    const int port = PassThrough(echoPort);

    // All connect at once: more than any default backlog holds.
    {
        LoadPeer clients({"clients", QString::number(port), "500", "65536"});
        EXPECT_EQ(clients.Line(120000), "ok 500");
    }
    // Again with both directions throttled into slices.
    auto* sim = frmProblemSimulation::Instance();
    sim->txtC2SBytes->setText("20000");
    sim->txtC2SPeriod->setText("1");
    sim->txtS2CBytes->setText("20000");
    sim->txtS2CPeriod->setText("1");
    sim->chkThrottleC2SData->setChecked(true);
    sim->chkThrottleS2CData->setChecked(true);
    {
        LoadPeer clients({"clients", QString::number(port), "200", "65536"});
        EXPECT_EQ(clients.Line(120000), "ok 200");
    }
    tsytest::SwitchOffFailureSimulation();
}

// Requests that come while the program is busy wait in the backlog: 300
// connects complete before it runs its event loop once, and each is then
// served. (With a small backlog the later ones would hang in connect.)
TEST_F(RelayLoadTest, RequestsWaitingInTheBacklogAreAllServed)
{
    LoadPeer echo({"echo"});
    const int echoPort = echo.Line(10000).toInt();
    ASSERT_GT(echoPort, 0);
    const int port = PassThrough(echoPort);

    std::vector<int> fds;
    for (int i = 0; i < 300; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        timeval limit{10, 0};   // only a failure waits this long
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fds.push_back(fd);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "request " << i << " was not queued";
        ASSERT_EQ(::send(fd, "x", 1, MSG_NOSIGNAL), 1);
    }
    int echoed = 0;
    ASSERT_TRUE(WaitUntil([&] {
        for (int& fd : fds) {
            char b = 0;
            if (fd >= 0 && ::recv(fd, &b, 1, MSG_DONTWAIT) == 1 && b == 'x') {
                ++echoed;
                ::close(fd);
                fd = -1;
            }
        }
        return echoed == int(fds.size());
    }, 60000)) << echoed << " of " << fds.size() << " echoed";
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
}

// Sockets closed by the relay linger on their own while new connections
// take descriptor numbers just freed: nothing of a closed socket may reach
// the new one (a stray half-close would silence one of its directions).
TEST_F(RelayLoadTest, ConnectionsOpenedWhileOthersCloseKeepBothDirections)
{
    LoadPeer echo({"echo"});
    const int echoPort = echo.Line(10000).toInt();
    ASSERT_GT(echoPort, 0);
    const int port = PassThrough(echoPort);
    LoadPeer churn({"churn", QString::number(port), "150"});
    EXPECT_EQ(churn.Line(120000), "ok");
}

// A server that resets right after its last write: what it wrote is already
// in the relay's socket and reaches the client before the relay closes,
// whether the reset is seen first by the connect, a read or a send.
TEST_F(RelayLoadTest, BytesAServerWroteBeforeItsResetAllReachTheClient)
{
    int pairs = 0;
    for (const char* mode : {"banner", "upload"}) {
        const int serverPort = FreePort();
        const int port = PassThrough(serverPort);
        LoadPeer trials({mode, QString::number(serverPort), QString::number(port), "20"}, "reset_peer.py");
        EXPECT_EQ(trials.Line(240000).toStdString(), "ok") << mode;
        pairs += 20;
    }
    // Every pair ends, and each banner is recorded as received from the server, whole.
    for (int i = 1; i <= pairs; ++i) {
        const QString key = QStringLiteral("KEY%1").arg(i);
        ASSERT_TRUE(WaitUntil([&] { return IsDead(key); })) << qPrintable(key);
        if (i > 20) continue;
        qint64 received = 0;
        for (const auto& e : History(key)->mobjSocketPairEvents)
            if (e->mobjEventType == SocketEventType::ClientBytesReceived) received += e->mstrData.size();
        EXPECT_EQ(received, 1000) << qPrintable(key);
    }
}

TEST_F(RelayLoadTest, ALargeTransferIsCutIntoBoundedDataEventsThatAddUp)
{
    QTcpServer sink;
    ASSERT_TRUE(sink.listen(QHostAddress::LocalHost, 0));
    QByteArray received;
    QObject::connect(&sink, &QTcpServer::newConnection, &sink, [&] {
        while (QTcpSocket* s = sink.nextPendingConnection())
            QObject::connect(s, &QTcpSocket::readyRead, s, [&, s] { received += s->readAll(); });
    });
    const int port = PassThrough(sink.serverPort());

    QByteArray data(32 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < data.size(); ++i) data[i] = char((i * 7 + i / 65536) & 0xff);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write(data);
    ASSERT_TRUE(WaitUntil([&] { return received.size() >= data.size(); }, 60000)) << received.size();
    EXPECT_TRUE(received == data);
    client.disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));

    const auto h = History("KEY1");
    ASSERT_TRUE(h);
    qint64 arrived = 0, sent = 0, largest = 0;
    for (const auto& e : h->mobjSocketPairEvents) {
        if (e->mobjEventType == SocketEventType::ServerBytesReceived) {
            arrived += e->mstrData.size();
            largest = std::max<qint64>(largest, e->mstrData.size());
        } else if (e->mobjEventType == SocketEventType::ClientBytesSendStart) {
            sent += e->mstrData.size();
        }
    }
    EXPECT_LE(largest, tsy::Winsock::kMaxChunk);
    EXPECT_EQ(arrived, data.size());
    EXPECT_EQ(sent, data.size());
}

} // namespace
