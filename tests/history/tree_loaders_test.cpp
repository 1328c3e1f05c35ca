// The lazy loaders of the socket tree and the connection names.
#include "HistoryFixture.h"
#include "common/TestSupport.h"
#include "engine/Listening.h"
#include "platform/Settings.h"

namespace {

class Loaders : public HistoryFixture {
protected:
    void TearDown() override
    {
        tsytest::ClearSettings();
        HistoryFixture::TearDown();
    }
    std::shared_ptr<SocketPairHistory> Add(int n, int port, const QString& client, const QString& server,
                                           int events = 0)
    {
        auto h = std::make_shared<SocketPairHistory>();
        h->mstrSocketPairKey = "KEY" + QString::number(n);
        h->mlngLocalServerPort = port;
        h->mstrRemoteClientIP = client;
        h->mstrRemoteServerIP = server;
        for (int i = 1; i <= events; ++i) {
            auto e = std::make_shared<SocketEvent>();
            e->mobjEventType = SocketEventType::ServerBytesReceived;
            e->mstrDescription = "event " + QString::number(i);
            e->mstrData = "x";
            h->AddEvent(e);
        }
        log->mobjSocketPairHistory.Add(h, h->mstrSocketPairKey);
        return h;
    }
};

TEST_F(Loaders, ProtocolsShowWhetherTheirPortListens)
{
    tsy::Settings::SaveSetting("PortsInUse", "25", "SMTP");
    tsy::Settings::SaveSetting("PortsInUse", "1000", "Pass Through");
    Listening listening;
    tsy::Winsock listener;
    listener.SetLocalPort(0);
    ASSERT_TRUE(listener.Listen());
    tsy::Winsock idle;
    listening.mcolListeningSocket.Add(&listener, "KEY1000");
    listening.mcolListeningSocket.Add(&idle, "KEY25");

    log->LoadAllProtocols(&listening);
    EXPECT_EQ(tree->ChildKeys("ROOT"), QStringList({"PROTO25", "PROTO1000"}));
    EXPECT_EQ(tree->Text("PROTO1000"), "Pass Through (1000)");
    EXPECT_EQ(tree->Text("PROTO25"), "SMTP (25) - Not Listening");
    EXPECT_EQ(tree->Image("PROTO25"), "Protocol");
    EXPECT_EQ(tree->Tag("PROTO25").toString(), "25");
    EXPECT_EQ(tree->SelectedKey(), "ROOT");
    listening.mcolListeningSocket.Clear();
}

TEST_F(Loaders, NoPortsLeavesTheRootAloneAndSelected)
{
    log->LoadAllProtocols(nullptr);
    EXPECT_EQ(tree->Children("ROOT"), 0);
    EXPECT_EQ(tree->SelectedKey(), "ROOT");
}

TEST_F(Loaders, PartnersSharedByConnectionsBetweenTheSameAddresses)
{
    AddPortNode(110);
    AddPortNode(1000);
    Add(1, 110, "10.0.0.5", "10.0.0.9");
    Add(2, 110, "10.0.0.5", "10.0.0.9");
    Add(3, 110, "<Unknown>", "");
    Add(4, 110, "10.0.0.6", "");
    Add(5, 1000, "10.0.0.5", "10.0.0.9");
    Add(6, 110, "10.0.0.7", "<Error>");
    log->LoadAllCommsPartners(110);
    EXPECT_EQ(tree->ChildKeys("PROTO110"),
              QStringList({"CON11010.0.0.510.0.0.9", "CON110<Unknown>", "CON11010.0.0.6", "CON11010.0.0.7<Error>"}));
    EXPECT_EQ(tree->Children("PROTO1000"), 0);
    EXPECT_EQ(tree->Text("CON11010.0.0.510.0.0.9"), "10.0.0.5 to 10.0.0.9");
    EXPECT_EQ(tree->Tag("CON11010.0.0.510.0.0.9").toString(), "10.0.0.5 10.0.0.9");
    EXPECT_EQ(tree->Image("CON11010.0.0.510.0.0.9"), "Connection");
    EXPECT_EQ(tree->Text("CON110<Unknown>"), "<Unknown> to <Rejected>");
    EXPECT_EQ(tree->Text("CON11010.0.0.6"), "10.0.0.6 to <Awaiting>");
    EXPECT_EQ(tree->Tag("CON11010.0.0.6").toString(), "10.0.0.6 ");
    EXPECT_EQ(tree->Text("CON11010.0.0.7<Error>"), "10.0.0.7 to <Error>");

    log->LoadAllConnections("10.0.0.5", "10.0.0.9", 110);
    EXPECT_EQ(tree->ChildKeys("CON11010.0.0.510.0.0.9"), QStringList({"KEY1", "KEY2"}));
    EXPECT_EQ(tree->Text("KEY1"), "Alive");
    EXPECT_EQ(tree->Image("KEY1"), "Socket");
    EXPECT_EQ(tree->Tag("KEY2").toString(), "KEY2");
}

TEST_F(Loaders, SocketTextsByState)
{
    AddPortNode(110);
    auto a = Add(1, 110, "10.0.0.5", "10.0.0.9");
    auto b = Add(2, 110, "10.0.0.5", "10.0.0.9");
    a->mblnDead = b->mblnDead = true;
    a->mstrTimeOfDeath = b->mstrTimeOfDeath = "12:34:56.789";
    b->mlngErrorNumber = 10061;
    log->LoadAllCommsPartners(110);
    log->LoadAllConnections("10.0.0.5", "10.0.0.9", 110);
    EXPECT_EQ(tree->Text("KEY1"), "Dead (12:34:56.789)");
    EXPECT_EQ(tree->Text("KEY2"), "Dead With Error (12:34:56.789)");
    EXPECT_EQ(tree->Image("KEY1"), "SocketDisconnected");
    EXPECT_EQ(tree->Image("KEY2"), "SocketDisconnected");

    // Loading a branch twice is a reported failure; the first nodes stay.
    const int before = ErrorEntries();
    log->LoadAllConnections("10.0.0.5", "10.0.0.9", 110);
    EXPECT_EQ(ErrorEntries(), before + 1);
    EXPECT_TRUE(ErrorLog().contains("An error occurred while attempting to load all of the connections.  The operating system reports: 35602, "));
    EXPECT_EQ(tree->Children("CON11010.0.0.510.0.0.9"), 2);
}

TEST_F(Loaders, EventsNumberedByPosition)
{
    AddPortNode(110);
    auto h = Add(1, 110, "10.0.0.5", "10.0.0.9", 25);
    for (int i = 0; i < 3; ++i) h->mobjSocketPairEvents.Remove(1);
    log->LoadAllCommsPartners(110);
    log->LoadAllConnections("10.0.0.5", "10.0.0.9", 110);
    log->LoadAllEvents("KEY1");
    ASSERT_EQ(tree->Children("KEY1"), 22);
    EXPECT_EQ(tree->ChildKeys("KEY1").first(), "KEY1-1");
    EXPECT_EQ(tree->Text("KEY1-1"), "event 4");
    EXPECT_EQ(tree->Text("KEY1-22"), "event 25");
    EXPECT_EQ(tree->Tag("KEY1-22").toString(), "KEY1-22");
    EXPECT_EQ(tree->Image("KEY1-22"), "Event");

    const int before = ErrorEntries();
    log->LoadAllEvents("KEY99");
    EXPECT_EQ(ErrorEntries(), before + 1);
    EXPECT_TRUE(ErrorLog().contains("An error occurred while attempting to load all of the events."));
}

TEST_F(Loaders, ConnectionNames)
{
    SocketPairHistory h;
    h.mstrRemoteClientIP = "10.0.0.5";
    h.mstrRemoteClientName = "pc";
    h.mstrRemoteServerIP = "10.0.0.9";
    h.mstrRemoteServerName = "mail";
    EXPECT_EQ(log->GetConnectionName(h), "10.0.0.5 (pc) to 10.0.0.9 (mail)");
    h.mstrRemoteServerIP = "<Error>";
    EXPECT_EQ(log->GetConnectionName(h), "10.0.0.5 (pc) to <Error>");
    h.mstrRemoteClientIP = "<Unknown>";
    h.mstrRemoteClientName.clear();
    EXPECT_EQ(log->GetConnectionName(h), "<Unknown> to <Rejected>");
    EXPECT_EQ(Logging::ConnectionKey(110, "10.0.0.5", "10.0.0.9"), "CON11010.0.0.510.0.0.9");
    EXPECT_EQ(Logging::ProtocolKey(110), "PROTO110");
}

} // namespace
