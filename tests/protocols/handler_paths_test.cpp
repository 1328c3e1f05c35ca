// The handlers' own paths over loopback, read back from the event history and
// the error log: what each handler records on accept, and how a first block
// that cannot be routed is reported and still leads to one connection
// attempt that ends the pair.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "history/Logging.h"
#include "history/SocketEvent.h"
#include "history/SocketPairHistory.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

using tsytest::Pump;
using tsytest::WaitUntil;
using tsytest::EventTypes;
using tsytest::LastHistory;
using tsytest::ListenWithProtocol;
using tsytest::RawClient;
using tsytest::WholeErrorLog;

namespace {

class HandlerPathsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        baseline = WholeErrorLog();
        General::gblnLoggingEnabled = true;
        tsytest::StartEngine();
    }

    void TearDown() override
    {
        tsytest::StopEngine();
        General::gblnLoggingEnabled = false;
    }

    // New entries go in front of the shared log.
    QString NewErrors() const
    {
        const QString all = WholeErrorLog();
        return all.left(all.size() - baseline.size());
    }

    static std::shared_ptr<SocketEvent> FirstOf(const SocketPairHistory& h, int type)
    {
        for (const auto& e : h.mobjSocketPairEvents)
            if (e->mobjEventType == type) return e;
        return nullptr;
    }

    QString baseline;
};

// POP3 and FTP greet the client themselves on accept; HTTP waits silently.
TEST_F(HandlerPathsTest, AcceptRecordsTheOpeningAndTheOwnGreeting)
{
    struct Case {
        const char* protocol;
        QByteArray greeting;
    };
    for (const Case& c : {Case{"POP3", "+OK\r\n"}, Case{"FTP", "220 Tessaly FTP Server\r\n"}, Case{"HTTP", ""}}) {
        SCOPED_TRACE(c.protocol);
        const int port = ListenWithProtocol(QString::fromLatin1(c.protocol));
        const int before = General::gobjLogging->mobjSocketPairHistory.Count();
        RawClient client(port);
        ASSERT_TRUE(WaitUntil([&] { return General::gobjLogging->mobjSocketPairHistory.Count() == before + 1; }));
        if (!c.greeting.isEmpty()) {
            ASSERT_TRUE(WaitUntil([&] { return client.got == c.greeting; }));
        }
        Pump(100);
        EXPECT_EQ(client.got, c.greeting);
        const auto h = LastHistory();
        EXPECT_EQ(h->mstrProtocol, QString::fromLatin1(c.protocol));
        const QList<int> types = EventTypes(*h);
        ASSERT_GE(types.size(), 1);
        EXPECT_EQ(types.first(), SocketEventType::LocalServerAcceptedConnection);
        EXPECT_FALSE(FirstOf(*h, SocketEventType::LocalServerAcceptedConnection)->mblnNextEventFollowOn);
        EXPECT_FALSE(types.contains(SocketEventType::ConnectionAttemptToRemoteServer));
        const auto sent = FirstOf(*h, SocketEventType::ServerBytesSendStart);
        if (c.greeting.isEmpty()) {
            EXPECT_FALSE(sent);
        } else {
            ASSERT_TRUE(sent);
            EXPECT_EQ(sent->mstrData, c.greeting);
            EXPECT_FALSE(types.contains(SocketEventType::ServerBytesReceived));
        }
    }
}

// A first block that cannot be routed is reported with the handler's routing
// sentence; the attempt is still made, with what routing had found, and fails.
TEST_F(HandlerPathsTest, UnroutableFirstBlocksAreReportedAndTheAttemptFails)
{
    struct Case {
        const char* protocol;
        const char* key;      // setting of the port's section made unreadable
        const char* value;
        QByteArray block;
        const char* sentence;
        QString attempt;      // the attempt's description
    };
    const QList<Case> cases = {
        {"HTTP", "ConnectToProxy", "perhaps", "GET http://127.0.0.1/ HTTP/1.0\r\n\r\n",
         "An error occurred while attempting to route the HTTP request (HTTP).  The operating system reports: 13, ",
         QStringLiteral("A connection request has been made to :0.")},
        {"HTTPS", "SpecificPort", "abc", "CONNECT 127.0.0.1 HTTP/1.0\r\n\r\n",
         "An error occurred while attempting to route the HTTPS request (HTTPS).  The operating system reports: 13, ",
         QStringLiteral("A connection request has been made to 127.0.0.1:0.")},
        {"POP3", "Port", "abc", "USER bob#127.0.0.1\r\n",
         "An error occurred while attempting to route the POP3 request (POP3).  The operating system reports: 13, ",
         QStringLiteral("A connection request has been made to :0.")},
        {"FTP", nullptr, nullptr, "USER bob 127.0.0.1\r\n",
         "An error occurred while attempting to route the FTP request (FTP).  The operating system reports: ",
         QStringLiteral("A connection request has been made to USER bob 127.0.0.1:21.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protocol);
        baseline = WholeErrorLog();
        const int port = ListenWithProtocol(QString::fromLatin1(c.protocol));
        if (c.key)
            tsy::Settings::SaveSetting(QStringLiteral("Protocols\\%1\\Port %2").arg(QLatin1String(c.protocol)).arg(port),
                                       QString::fromLatin1(c.key), QString::fromLatin1(c.value));
        const int before = General::gobjLogging->mobjSocketPairHistory.Count();
        RawClient client(port);
        ASSERT_TRUE(WaitUntil([&] { return General::gobjLogging->mobjSocketPairHistory.Count() == before + 1; }));
        const auto h = LastHistory();
        client.Send(c.block);
        ASSERT_TRUE(WaitUntil([&] { return h->mblnDead; }));
        ASSERT_TRUE(WaitUntil([&] { return client.closed; }));
        EXPECT_TRUE(NewErrors().contains(QString::fromLatin1(c.sentence))) << NewErrors().toStdString();
        const auto attempt = FirstOf(*h, SocketEventType::ConnectionAttemptToRemoteServer);
        ASSERT_TRUE(attempt);
        EXPECT_EQ(attempt->mstrDescription, c.attempt);
        EXPECT_FALSE(EventTypes(*h).contains(SocketEventType::ConnectionAttemptSuccessful));
        EXPECT_FALSE(EventTypes(*h).contains(SocketEventType::ClientBytesSendStart));
    }
}

} // namespace
