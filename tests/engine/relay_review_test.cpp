// Listening ports brought in line with the port table, one-shot data ports,
// Pass Through destinations and continuation pieces, over loopback sockets.
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
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolRelay.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <memory>

using tsytest::FreePort;
using tsytest::Pump;
using tsytest::WaitUntil;

namespace {

// Keeps everything it receives.
class Sink : public QObject {
public:
    Sink()
    {
        mServer.listen(QHostAddress::LocalHost, 0);
        connect(&mServer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = mServer.nextPendingConnection())
                connect(s, &QTcpSocket::readyRead, this, [this, s] { mReceived += s->readAll(); });
        });
    }
    int Port() const { return mServer.serverPort(); }
    QByteArray mReceived;

private:
    QTcpServer mServer;
};

QString LastError()
{
    frmError* w = frmError::Loaded();
    return w ? w->LogText() : QString();
}

class RelayReviewTest : public tsytest::RelayFixture {
protected:
    void SetUp() override
    {
        RelayFixture::SetUp();
        frmError::Instance();
    }

    Listening& L() { return *General::gobjListening; }
    tsy::Winsock* PortSocket(int port)
    {
        const QString key = "KEY" + QString::number(port);
        return L().mcolListeningSocket.Exists(key) ? L().mcolListeningSocket.Item(key).data() : nullptr;
    }
    int PortState(int port)
    {
        tsy::Winsock* s = PortSocket(port);
        return s ? s->State() : -1;
    }
};

} // namespace

TEST_F(RelayReviewTest, PortsFollowThePortTable)
{
    const int httpPort = FreePort();
    const int unusedPort = FreePort();
    // Another program holds this one at start-up.
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::Any, 0));
    const int takenPort = other.serverPort();
    tsy::Settings::SaveSetting("Protocols", QString::number(httpPort), "HTTP");
    tsy::Settings::SaveSetting("Protocols", QString::number(unusedPort), "<Don't use>");
    tsy::Settings::SaveSetting("Protocols", QString::number(takenPort), "Pass Through");

    L().InitaliseListeningSockets();
    EXPECT_EQ(PortState(httpPort), tsy::Winsock::sckListening);
    EXPECT_EQ(PortState(unusedPort), tsy::Winsock::sckClosed);
    EXPECT_EQ(PortState(takenPort), tsy::Winsock::sckClosed);
    EXPECT_TRUE(LastError().contains("A problem occurred while attempting to listen on port " + QString::number(takenPort)
                                     + ". This generally indicates that another application is already listening on "
                                       "this port. Terminate this other application and then attempt to resume "
                                       "listening on this port. The operating system reports: 0x2740 (10048), "))
        << LastError().toStdString();

    // Once the other program has gone the port can be started again.
    other.close();
    L().CheckListeningStatus(takenPort);
    EXPECT_EQ(PortState(takenPort), tsy::Winsock::sckListening);

    // A listening port is left as it is.
    tsy::Winsock* before = PortSocket(httpPort);
    L().CheckListeningStatus(httpPort);
    EXPECT_EQ(PortSocket(httpPort), before);
    EXPECT_EQ(PortState(httpPort), tsy::Winsock::sckListening);

    // "<Don't use>": a fresh idle socket under the same key.
    tsy::Settings::SaveSetting("Protocols", QString::number(httpPort), "<Don't use>");
    L().CheckListeningStatus(httpPort);
    EXPECT_NE(PortSocket(httpPort), before);
    EXPECT_EQ(PortState(httpPort), tsy::Winsock::sckClosed);
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, quint16(httpPort));
    EXPECT_FALSE(probe.waitForConnected(2000));

    // Deleted from the table: no socket under its key any more.
    tsy::Settings::DeleteSetting("Protocols", QString::number(httpPort));
    L().CheckListeningStatus(httpPort);
    EXPECT_EQ(PortSocket(httpPort), nullptr);

    // A new port gets an idle socket; a second one under the same key is refused.
    const int newPort = FreePort();
    L().CreateNewSocket(newPort, "New");
    EXPECT_EQ(PortState(newPort), tsy::Winsock::sckClosed);
    const int entries = frmError::Instance()->EntryCount();
    L().CreateNewSocket(newPort, "New");
    EXPECT_EQ(frmError::Instance()->EntryCount(), entries + 1);
    EXPECT_TRUE(LastError().contains("An error occurred while attempting to create a new socket.  The operating "
                                     "system reports: "));
}

TEST_F(RelayReviewTest, BadPortKeysLeaveOtherIdlePortsAlone)
{
    // Idle sockets have no port; a listen request for port 0 must not take them.
    const int unusedPort = FreePort();
    tsy::Settings::SaveSetting("Protocols", QString::number(unusedPort), "<Don't use>");
    tsy::Settings::SaveSetting("Protocols", "zzz", "Pass Through");
    L().InitaliseListeningSockets();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_NE(PortSocket(unusedPort), nullptr);
    EXPECT_EQ(PortState(unusedPort), tsy::Winsock::sckClosed);

    // The idle port can still be started later.
    tsy::Settings::SaveSetting("Protocols", QString::number(unusedPort), "Pass Through");
    L().CheckListeningStatus(unusedPort);
    EXPECT_EQ(PortState(unusedPort), tsy::Winsock::sckListening);
}

TEST_F(RelayReviewTest, OneShotDataPortServesOneConnection)
{
    Sink sink;
    const int port = FreePort();
    const QString p = QString::number(port);
    tsy::Settings::SaveSetting("Protocols", p, "FTP Data - Dynamically allocated");
    tsy::Settings::SaveSetting("PortsInUse", p, "Data");
    tsy::Settings::SaveSetting("Protocols\\Pass Through\\Port " + p, "Server", "127.0.0.1");
    tsy::Settings::SaveSetting("Protocols\\Pass Through\\Port " + p, "Port", QString::number(sink.Port()));
    tsy::Winsock* socket = nullptr;
    int lngError = 0;
    QString strError;
    ASSERT_TRUE(L().StartListeningOnSocket(socket, port, lngError, strError));
    socket->SetTag("Ephemeral");

    // A refused request leaves it listening.
    auto* sim = frmProblemSimulation::Instance();
    sim->optRefuse(0)->setChecked(true);
    sim->txtRefuseNthConnection->setText("0");
    sim->chkRefuseConnections->setChecked(true);
    {
        QTcpSocket refused;
        refused.connectToHost(QHostAddress::LocalHost, quint16(port));
        refused.waitForConnected(2000);
        ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));
    }
    sim->chkRefuseConnections->setChecked(false);
    using namespace SocketEventType;
    EXPECT_EQ(Types("KEY1"), QList<int>{LocalServerRejectedConnection});
    EXPECT_EQ(PortState(port), tsy::Winsock::sckListening);
    SocketPair* refusedPair = L().mobjSocketPairs.Find("KEY1").data();
    if (refusedPair) {
        EXPECT_FALSE(refusedPair->Dead());
    }

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    ASSERT_TRUE(client.waitForConnected(2000));
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY2", ConnectionAttemptSuccessful); }));
    client.write("RETR data");
    ASSERT_TRUE(WaitUntil([&] { return sink.mReceived == "RETR data"; }));
    EXPECT_EQ(History("KEY2")->mstrProtocol, "Pass Thru");
    EXPECT_EQ(PortSocket(port), nullptr);

    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, quint16(port));
    EXPECT_FALSE(second.waitForConnected(2000));
    EXPECT_EQ(L().mobjSocketPairs.Count(), 2);
}

TEST_F(RelayReviewTest, PassThroughDestinationSettings)
{
    // No section of its own: the placeholder host on port 80.
    const int port = FreePort();
    tsy::Settings::SaveSetting("Protocols", QString::number(port), "Pass Through");
    L().InitaliseListeningSockets();
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, quint16(port));
        ASSERT_TRUE(client.waitForConnected(2000));
        ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY1"); }));
    }
    EXPECT_EQ(Descriptions("KEY1").value(1), "A connection request has been made to no-server-configured.invalid:80.");

    // A port that is not a number: reported, then an empty server on port 0 fails.
    tsy::Settings::SaveSetting("Protocols\\Pass Through\\Port " + QString::number(port), "Port", "abc");
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, quint16(port));
        ASSERT_TRUE(client.waitForConnected(2000));
        ASSERT_TRUE(WaitUntil([&] { return IsDead("KEY2"); }));
        EXPECT_TRUE(WaitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
    }
    EXPECT_TRUE(LastError().contains("An error occurred while attempting to get the destination server and port "
                                     "(Pass Through).  The operating system reports: 13, Type mismatch"))
        << LastError().toStdString();
    using namespace SocketEventType;
    EXPECT_EQ(Types("KEY2").mid(0, 3),
              (QList<int>{LocalServerAcceptedConnection, ConnectionAttemptToRemoteServer, ConnectionAttemptFailed}));
    EXPECT_EQ(Descriptions("KEY2").value(1), "A connection request has been made to :0.");
    EXPECT_TRUE(L().mobjSocketPairs.Find("KEY2").isNull() || L().mobjSocketPairs.Find("KEY2")->Dead());
}

TEST_F(RelayReviewTest, ContinuationSendsAreAtMost8192Bytes)
{
    Sink sink;
    const int port = FreePort();
    tsytest::SavePassThroughPort(port, "127.0.0.1", sink.Port());
    L().InitaliseListeningSockets();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    ASSERT_TRUE(client.waitForConnected(2000));
    ASSERT_TRUE(WaitUntil([&] { return HasEvent("KEY1", SocketEventType::ConnectionAttemptSuccessful); }));
    SocketPair* pair = L().mobjSocketPairs.Find("KEY1").data();
    ASSERT_NE(pair, nullptr);
    std::shared_ptr<ProtocolHandler> handler = pair->mobjProtocolHandler;

    // Arrivals while the first send is outstanding queue up; each completion
    // hands the socket the next piece.
    qsizetype expected = 0;
    for (int queued : {20000, 8192, 8191}) {
        handler->ServerBytesReceived(QByteArray(5, 'a'));
        handler->ServerBytesReceived(QByteArray(queued, 'b'));
        expected += 5 + queued;
        ASSERT_TRUE(WaitUntil([&] { return sink.mReceived.size() == expected; }));
    }
    QList<qsizetype> sizes;
    for (const auto& e : History("KEY1")->mobjSocketPairEvents)
        if (e->mobjEventType == SocketEventType::ClientBytesSendStart) sizes.append(e->mstrData.size());
    EXPECT_EQ(sizes, (QList<qsizetype>{5, 8192, 8192, 3616, 5, 8192, 5, 8191}));
}
