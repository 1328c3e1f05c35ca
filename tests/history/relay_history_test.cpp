// A real Pass Through relay over loopback, as the history and the tree record it.
#include "HistoryFixture.h"
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/Listening.h"
#include "platform/Settings.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <memory>
#include <vector>

namespace {

class RelayHistory : public HistoryFixture {
protected:
    void SetUp() override
    {
        HistoryFixture::SetUp();
        ASSERT_TRUE(tsytest::ListenAsEcho(echo));
        port = tsytest::FreePort();
        tsytest::SavePassThroughPort(port, "127.0.0.1", echo.serverPort(), "Echo");
        General::gobjLogging = log.get();
        listening = new Listening;
        General::gobjListening = listening;
        listening->InitaliseListeningSockets();
        log->LoadAllProtocols(listening);
    }
    void TearDown() override
    {
        listening->DeInitaliseListeningSockets();
        tsytest::Pump(50);
        General::gobjListening = nullptr;
        General::gobjLogging = nullptr;
        delete listening;
        tsytest::ClearSettings();
        HistoryFixture::TearDown();
    }

    QTcpServer echo;
    Listening* listening = nullptr;
    int port = 0;
};

TEST_F(RelayHistory, ClientClosesFirst)
{
    const QString p = QString::number(port);
    EXPECT_EQ(tree->Text("PROTO" + p), "Echo (" + p + ")");

    QByteArray payload;
    for (int i = 0; i < 4096; ++i) payload.append(char(i % 256));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write(payload);
    QByteArray back;
    ASSERT_TRUE(tsytest::WaitUntil([&] { back += client.readAll(); return back.size() >= payload.size(); }));
    EXPECT_EQ(back, payload);
    const int clientPort = client.localPort();
    client.disconnectFromHost();

    ASSERT_TRUE(tsytest::WaitUntil([&] {
        return log->mobjSocketPairHistory.Count() == 1 && log->mobjSocketPairHistory.Item(1)->mblnDead;
    }));
    const SocketPairHistory& h = *log->mobjSocketPairHistory.Item(1);
    EXPECT_EQ(h.mstrRemoteClientIP, "127.0.0.1");
    EXPECT_EQ(h.mstrRemoteServerIP, "127.0.0.1");
    EXPECT_EQ(h.mlngRemoteServerPort, echo.serverPort());
    EXPECT_EQ(h.mlngLocalServerPort, port);
    EXPECT_EQ(h.mlngRemoteClientPort, clientPort);
    EXPECT_EQ(h.mlngBytesC2S, payload.size());
    EXPECT_EQ(h.mlngBytesS2C, payload.size());
    EXPECT_EQ(h.mlngErrorNumber, 0);

    const auto& events = h.mobjSocketPairEvents;
    ASSERT_GE(events.Count(), 4);
    EXPECT_EQ(events.Item(1)->mobjEventType, SocketEventType::LocalServerAcceptedConnection);
    EXPECT_EQ(events.Item(2)->mobjEventType, SocketEventType::ConnectionAttemptToRemoteServer);
    EXPECT_EQ(events.Item(2)->mstrDescription,
              "A connection request has been made to 127.0.0.1:" + QString::number(echo.serverPort()) + ".");
    int successes = 0;
    for (const auto& e : events) successes += e->mobjEventType == SocketEventType::ConnectionAttemptSuccessful;
    EXPECT_EQ(successes, 1);
    qint64 memory = 0;
    for (const auto& e : events) memory += e->mstrData.size();
    EXPECT_EQ(h.mlngMemoryAllocated, memory);
    EXPECT_EQ(log->mlngTotalMemoryAllocated, memory);
    EXPECT_EQ(log->mlngTotalEvents, events.Count());
    EXPECT_EQ(events.Item(events.Count())->mobjEventType, SocketEventType::LocalClientDisconnected);

    // The branch as a click loads it.
    log->LoadAllCommsPartners(port);
    const QString partners = "CON" + p + "127.0.0.1127.0.0.1";
    ASSERT_TRUE(tree->Exists(partners));
    EXPECT_EQ(tree->Text(partners), log->GetConnectionName(h));
    EXPECT_TRUE(tree->Text(partners).startsWith("127.0.0.1")) << tree->Text(partners).toStdString();
    log->LoadAllConnections("127.0.0.1", "127.0.0.1", port);
    ASSERT_TRUE(tree->Exists("KEY1"));
    EXPECT_EQ(tree->Text("KEY1"), "Dead (" + h.mstrTimeOfDeath + ")");
    EXPECT_EQ(tree->Image("KEY1"), "SocketDisconnected");
}

TEST_F(RelayHistory, OpenBranchFollowsTheConnection)
{
    const QString p = QString::number(port);
    tree->SetExpanded("PROTO" + p, true);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    ASSERT_TRUE(client.waitForConnected(5000));
    ASSERT_TRUE(tsytest::WaitUntil([&] { return log->mobjSocketPairHistory.Count() == 1; }));
    // Accepted: the provisional partners' node; connected: the final one.
    ASSERT_TRUE(tsytest::WaitUntil([&] { return tree->Exists("CON" + p + "127.0.0.1127.0.0.1"); }));
    EXPECT_FALSE(tree->Exists("CON" + p + "127.0.0.1"));
    tree->SetExpanded("CON" + p + "127.0.0.1127.0.0.1", true);
    log->LoadAllConnections("127.0.0.1", "127.0.0.1", port);
    ASSERT_TRUE(tree->Exists("KEY1"));
    EXPECT_EQ(tree->Text("KEY1"), "Alive");
    log->LoadAllEvents("KEY1");
    tree->SetExpanded("KEY1", true);
    const int before = tree->Children("KEY1");

    client.write("ping");
    QByteArray back;
    ASSERT_TRUE(tsytest::WaitUntil([&] { back += client.readAll(); return back == "ping"; }));
    ASSERT_TRUE(tsytest::WaitUntil([&] { return tree->Children("KEY1") >= before + 4; }));
    EXPECT_EQ(tree->Text("KEY1-" + QString::number(before + 1)), "4 bytes of data has been received from the remote client.");

    client.disconnectFromHost();
    ASSERT_TRUE(tsytest::WaitUntil([&] { return tree->Text("KEY1").startsWith("Dead ("); }));
    EXPECT_EQ(tree->Children("KEY1"), log->mobjSocketPairHistory.Item(1)->mobjSocketPairEvents.Count());
}

// Two clients wait under their provisional node, which nobody has opened,
// so it holds no children; routed one after the other to two servers, each
// gets its partners' node, and the provisional node goes with the last.
TEST_F(RelayHistory, RequestsRoutedWhileAnotherWaitsEachGetTheirPartnersNode)
{
    QTcpServer one, two;
    ASSERT_TRUE(one.listen(QHostAddress("127.0.0.1"), 0));
    ASSERT_TRUE(two.listen(QHostAddress("127.0.0.2"), 0));
    const int http = tsytest::ListenWithProtocol("HTTP");
    AddPortNode(http);
    const QString con = "CON" + QString::number(http) + "127.0.0.1";
    QTcpSocket a, b;
    for (QTcpSocket* c : {&a, &b}) {
        c->connectToHost(QHostAddress::LocalHost, quint16(http));
        ASSERT_TRUE(c->waitForConnected(5000));
    }
    ASSERT_TRUE(tsytest::WaitUntil([&] { return log->mobjSocketPairHistory.Count() == 2; }));
    ASSERT_TRUE(tree->Exists(con));
    ASSERT_EQ(tree->Children(con), 0);

    a.write("GET http://127.0.0.2:" + QByteArray::number(two.serverPort()) + "/ HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(tsytest::WaitUntil([&] { return tree->Exists(con + "127.0.0.2"); }));
    EXPECT_TRUE(tree->Exists(con));
    b.write("GET http://127.0.0.1:" + QByteArray::number(one.serverPort()) + "/ HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(tsytest::WaitUntil([&] { return tree->Exists(con + "127.0.0.1"); }));
    EXPECT_FALSE(tree->Exists(con));
}

// The default limits over many short real connections: the purge that runs
// with every 21st event keeps the history bounded and its totals exact.
TEST_F(RelayHistory, ManyShortConnectionsStayWithinTheDefaultLimits)
{
    const int errors = ErrorEntries();
    const QByteArray payload(100, 'p');
    constexpr int kBatch = 25;
    for (int done = 0; done < 2000; done += kBatch) {
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < kBatch; ++i) {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost(QHostAddress::LocalHost, quint16(port));
            clients.back()->write(payload);
        }
        std::vector<QByteArray> back(kBatch);
        ASSERT_TRUE(tsytest::WaitUntil([&] {
            bool all = true;
            for (int i = 0; i < kBatch; ++i) {
                back[i] += clients[i]->readAll();
                all = all && back[i].size() >= payload.size();
            }
            return all;
        })) << "batch from " << done;
        for (auto& c : clients) c->disconnectFromHost();
        ASSERT_TRUE(tsytest::WaitUntil([&] {
            for (const auto& h : log->mobjSocketPairHistory)
                if (!h->mblnDead) return false;
            return true;
        })) << "batch from " << done;
    }
    // The main window's timer pass, which would follow within 500 ms.
    log->KillDeadSocketConnections();

    EXPECT_LE(log->mobjSocketPairHistory.Count(), 100);
    EXPECT_GT(log->mobjSocketPairHistory.Count(), 0);
    EXPECT_EQ(log->mobjSocketPairHistory.KeyAt(log->mobjSocketPairHistory.Count()), "KEY2000");
    EXPECT_LE(log->mlngTotalMemoryAllocated, 400 * 1024);
    qint64 events = 0, bytes = 0;
    for (const auto& h : log->mobjSocketPairHistory) {
        EXPECT_LE(h->mobjSocketPairEvents.Count(), 200);
        qint64 held = 0;
        for (const auto& e : h->mobjSocketPairEvents) held += e->mstrData.size();
        EXPECT_EQ(h->mlngMemoryAllocated, held);
        events += h->mobjSocketPairEvents.Count();
        bytes += held;
    }
    EXPECT_EQ(log->mlngTotalEvents, events);
    EXPECT_EQ(log->mlngTotalMemoryAllocated, bytes);
    EXPECT_EQ(ErrorEntries(), errors) << ErrorLog().toStdString();
}

} // namespace
