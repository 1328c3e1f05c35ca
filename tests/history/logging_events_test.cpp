// The event reports: texts, types, totals, the tree nodes they touch, death,
// and the isolation of the fan-out steps.
#include "HistoryFixture.h"
#include "common/TestSupport.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"

#include <QStringList>
#include <stdexcept>

namespace {

using T = HistoryFixture;

TEST_F(T, ConnectionLifecycleRecordsEightEventsAndTotals)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, true, 1000);
    log->GotProtocol(p, "Pass Thru");
    log->ConnectionAttemptToRemoteServer(p, "example.org", 80, false);
    log->ConnectionAttemptSuccessful(p, false, "Comment.");
    log->ServerBytesReceived(p, QByteArray("GET /\r\n"), false);
    log->ClientBytesSendStart(p, QByteArray("GET /\r\n"), false, false);
    log->ClientBytesReceived(p, QByteArray(1000, '\0'), false);
    log->RemoteServerDisconnected(p, false, "Bye.");
    log->LocalClientDisconnected(p, false);
    log->Dead(p);

    SocketPairHistory& h = History(p);
    EXPECT_EQ(h.mobjSocketPairEvents.Count(), 8);
    EXPECT_EQ(log->mlngTotalEvents, 8);
    EXPECT_EQ(log->mlngTotalMemoryAllocated, 7 + 7 + 1000);
    EXPECT_EQ(h.mlngMemoryAllocated, 1014);
    EXPECT_EQ(h.mlngBytesC2S, 7);
    EXPECT_EQ(h.mlngBytesS2C, 1000);
    EXPECT_EQ(h.mstrProtocol, "Pass Thru");
    EXPECT_EQ(h.mlngLocalServerPort, 1000);
    EXPECT_EQ(h.mlngWasListeningOnPort, 1000);
    EXPECT_EQ(h.mstrSocketPairKey, "KEY1");
    EXPECT_TRUE(h.mblnDead);
    EXPECT_TRUE(p->mblnTerminated);

    const QStringList texts = {
        "Remote connection request accepted",
        "A connection request has been made to example.org:80.",
        "The connection request to the remote server has been successful. Comment.",
        "7 bytes of data has been received from the remote client.",
        "7 bytes of data has been sent to the remote server.",
        "1000 bytes of data has been received from the remote server.",
        "The remote server has disconnected. Bye.",
        "TSY has disconnected from the remote server.",
    };
    const int types[] = {0, 2, 4, 16, 17, 9, 5, 8};
    for (int i = 1; i <= 8; ++i) {
        EXPECT_EQ(Event(p, i).mstrDescription, texts[i - 1]);
        EXPECT_EQ(Event(p, i).mobjEventType, types[i - 1]);
        EXPECT_EQ(History(p).mobjSocketPairEvents.KeyAt(i), "KEY" + QString::number(i - 1));
    }
    EXPECT_TRUE(Event(p, 1).mblnNextEventFollowOn);
    EXPECT_EQ(Event(p, 1).mstrEventTime.size(), 12);   // hh:mm:ss.zzz
}

TEST_F(T, DataReportsGiveTheirTypeAndText)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    const QByteArray data("a\0\xff", 3);
    struct Case { std::function<void()> report; int type; const char* text; };
    const Case cases[] = {
        {[&] { log->ClientBytesReceived(p, data, false); }, 9, "3 bytes of data has been received from the remote server."},
        {[&] { log->ClientBytesBuffered(p, data, false, false); }, 10, "3 bytes of data has been buffered. (Previous action still in progress)"},
        {[&] { log->ClientBytesBuffered(p, data, false, true); }, 11, "3 bytes of data has been buffered. (Remote server is being dangled)"},
        {[&] { log->ServerBytesBuffered(p, data, false, false); }, 12, "3 bytes of data has been buffered. (Previous send to remote client is still in progress)"},
        {[&] { log->ServerBytesBuffered(p, data, false, true); }, 13, "3 bytes of data has been buffered. (The remote client is being dangled)"},
        {[&] { log->ServerBytesSendStart(p, data, false, false); }, 14, "3 bytes of data has been sent to the remote client."},
        {[&] { log->ServerBytesSendStart(p, data, false, true); }, 15, "3 bytes of throttled data has been sent to the remote client."},
        {[&] { log->ServerBytesReceived(p, data, false); }, 16, "3 bytes of data has been received from the remote client."},
        {[&] { log->ClientBytesSendStart(p, data, false, false); }, 17, "3 bytes of data has been sent to the remote server."},
        {[&] { log->ClientBytesSendStart(p, data, false, true); }, 18, "3 bytes of throttled data has been sent to the remote server."},
    };
    for (const Case& c : cases) {
        c.report();
        EXPECT_EQ(Last(p).mobjEventType, c.type);
        EXPECT_EQ(Last(p).mstrDescription, c.text);
        EXPECT_EQ(Last(p).mstrData, data);
        // The bytes are shared with the caller's buffer, not copied.
        EXPECT_EQ(Last(p).mstrData.constData(), data.constData());
    }
    log->ServerBytesSendStart(p, QByteArray(), true, false);
    EXPECT_EQ(Last(p).mstrDescription, "0 bytes of data has been sent to the remote client.");
    EXPECT_TRUE(Last(p).mblnNextEventFollowOn);
    EXPECT_EQ(log->mlngTotalEvents, 12);
    EXPECT_EQ(log->mlngTotalMemoryAllocated, 30);
}

TEST_F(T, RefusedRequestHistoryAndNode)
{
    AddPortNode(1000);
    SocketPair* p = NewPair(7);
    log->LocalServerRejectedConnection(p, true, 1000);
    SocketPairHistory& h = History(p);
    EXPECT_EQ(h.mstrRemoteClientIP, "<Unknown>");
    EXPECT_EQ(h.mlngRemoteClientPort, -1);
    EXPECT_EQ(h.mlngLocalServerPort, 1000);
    EXPECT_TRUE(h.mstrRemoteServerIP.isEmpty());
    EXPECT_EQ(Event(p, 1).mobjEventType, 1);
    EXPECT_EQ(Event(p, 1).mstrDescription, "Remote connection request was scheduled for rejection");
    EXPECT_FALSE(Event(p, 1).mblnNextEventFollowOn);
    ASSERT_TRUE(tree->Exists("CON1000<Unknown>"));
    EXPECT_EQ(tree->Text("CON1000<Unknown>"), "<Unknown> to <Rejected>");
    EXPECT_EQ(tree->Image("CON1000<Unknown>"), "Connection");
    EXPECT_EQ(tree->Tag("CON1000<Unknown>").toString(), "<Unknown> ");
    EXPECT_FALSE(tree->Exists("KEY7"));   // the new partners' node is collapsed

    // A second request of the same client under the expanded node shows its socket.
    tree->SetExpanded("CON1000<Unknown>", true);
    SocketPair* q = NewPair(8);
    log->LocalServerRejectedConnection(q, false, 1000);
    ASSERT_TRUE(tree->Exists("KEY8"));
    EXPECT_EQ(tree->ParentKey("KEY8"), "CON1000<Unknown>");
    EXPECT_EQ(tree->Text("KEY8"), "Alive");
    EXPECT_EQ(tree->Image("KEY8"), "Socket");
    EXPECT_EQ(tree->Tag("KEY8").toString(), "KEY8");
}

TEST_F(T, SecondReportOfTheSameKeyIsAnErrorAndRecordsNothing)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    const int before = ErrorEntries();
    log->LocalServerAcceptedConnection(p, false, 1000);
    EXPECT_EQ(ErrorEntries(), before + 1);
    EXPECT_TRUE(ErrorLog().contains("An error occurred while attempting to accept the remote client connection request.  The operating system reports: 457, "));
    EXPECT_EQ(History(p).mobjSocketPairEvents.Count(), 1);
    EXPECT_EQ(log->mlngTotalEvents, 1);
}

TEST_F(T, MissingPortNodeIsReportedButTheEventStands)
{
    SocketPair* p = NewPair(1, 4321);
    const int before = ErrorEntries();
    log->LocalServerAcceptedConnection(p, false, 4321);
    EXPECT_EQ(ErrorEntries(), before + 1);
    EXPECT_EQ(History(p).mobjSocketPairEvents.Count(), 1);
}

TEST_F(T, SendCompletionStampsTheNewestSendOfItsDirection)
{
    int tick = 0;
    tsy::Runtime::SetClock([&] { return QTime(10, 0, 0).addMSecs(++tick); });
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);

    log->ServerBytesSendStop(p);   // nothing sent yet: no change, no report
    log->ServerBytesSendStart(p, "one", false, false);   // 2
    log->ClientBytesSendStart(p, "up", false, false);    // 3
    log->ServerBytesSendStop(p);
    const QString firstEnd = Event(p, 2).mstrEventEndTime;
    EXPECT_FALSE(firstEnd.isEmpty());
    EXPECT_TRUE(Event(p, 3).mstrEventEndTime.isEmpty());

    log->ServerBytesSendStart(p, "two", false, false);   // 4
    log->ServerBytesSendStop(p);
    EXPECT_EQ(Event(p, 2).mstrEventEndTime, firstEnd);
    EXPECT_FALSE(Event(p, 4).mstrEventEndTime.isEmpty());
    EXPECT_NE(Event(p, 4).mstrEventEndTime, firstEnd);

    // A throttled send is closed by its own completion, not an older plain one.
    log->ClientBytesSendStart(p, "slow", false, true);   // 5
    log->ClientBytesSendStop(p);
    EXPECT_FALSE(Event(p, 5).mstrEventEndTime.isEmpty());
    EXPECT_TRUE(Event(p, 3).mstrEventEndTime.isEmpty());
    EXPECT_EQ(History(p).mobjSocketPairEvents.Count(), 5);
    tsy::Runtime::SetClock({});
}

TEST_F(T, BadStateIsRecordedAndMakesTheDeathAnError)
{
    AddPortNode(1000);
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    tree->SetExpanded("CON1000", true);
    log->LoadAllConnections("", "", 1000);
    ASSERT_TRUE(tree->Exists("KEY1"));

    log->ServerInBadState(p, 5, "Access denied", true);
    EXPECT_EQ(Last(p).mobjEventType, 19);
    EXPECT_EQ(Last(p).mstrDescription, "The local server socket is in a error state: 5, Access denied");
    EXPECT_EQ(Last(p).mlngErrorNumber, 0);
    EXPECT_EQ(History(p).mlngErrorNumber, 5);
    EXPECT_EQ(History(p).mstrErrorString, "Access denied");
    log->ClientInBadState(p, 10054, "Reset", false);
    EXPECT_EQ(Last(p).mobjEventType, 20);
    EXPECT_EQ(Last(p).mstrDescription, "The local client socket is in a error state: 10054, Reset");

    log->Dead(p);
    EXPECT_TRUE(tree->Text("KEY1").startsWith("Dead With Error ("));
    EXPECT_EQ(tree->Text("KEY1"), "Dead With Error (" + History(p).mstrTimeOfDeath + ")");
    EXPECT_EQ(tree->Image("KEY1"), "SocketDisconnected");
}

TEST_F(T, DeadShowsTheTimeOnTheSocketNodeAndTerminates)
{
    AddPortNode(1000);
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    tree->SetExpanded("CON1000", true);
    log->LoadAllConnections("", "", 1000);
    log->Dead(p);
    const QString death = History(p).mstrTimeOfDeath;
    EXPECT_EQ(death.size(), 12);
    EXPECT_EQ(tree->Text("KEY1"), "Dead (" + death + ")");
    EXPECT_EQ(tree->Image("KEY1"), "SocketDisconnected");
    EXPECT_TRUE(p->mblnTerminated);
    EXPECT_EQ(log->mlngTotalEvents, 1);

    // Again: no harm, still terminated.
    log->Dead(p);
    EXPECT_TRUE(p->mblnTerminated);
    EXPECT_EQ(log->mlngTotalEvents, 1);
}

TEST_F(T, DeadTerminatesWhateverHappenedBefore)
{
    SocketPair* a = NewPair(1);
    log->LocalServerAcceptedConnection(a, false, 1000);
    log->mfnBeforeStep = [](const char* step) {
        if (QByteArray(step) == "Dead.History") throw std::runtime_error("broken");
    };
    const int before = ErrorEntries();
    log->Dead(a);
    EXPECT_TRUE(a->mblnTerminated);
    EXPECT_EQ(ErrorEntries(), before + 1);
    EXPECT_TRUE(ErrorLog().contains("An error occurred while attempting to indicate that the socket connection pair is dead.  The operating system reports: "));
    log->mfnBeforeStep = nullptr;

    SocketPair* noHistory = NewPair(2);
    log->Dead(noHistory);
    EXPECT_TRUE(noHistory->mblnTerminated);

    SocketPair* disabled = NewPair(3);
    log->LocalServerAcceptedConnection(disabled, false, 1000);
    General::gblnLoggingEnabled = false;
    log->Dead(disabled);
    EXPECT_TRUE(disabled->mblnTerminated);
    EXPECT_FALSE(History(disabled).mblnDead);
}

TEST_F(T, AFailingFanOutStepDoesNotSkipTheLaterOnes)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    QStringList steps;
    log->mfnBeforeStep = [&](const char* step) {
        steps << step;
        if (QByteArray(step) == "Tree" || QByteArray(step) == "Diagram") throw std::runtime_error("broken");
    };
    const int before = ErrorEntries();
    log->ServerBytesReceived(p, "x", false);
    EXPECT_EQ(steps, QStringList({"History", "Tree", "RealTimeData", "Diagram", "Purge", "RealTimeLog", "Tray"}));
    EXPECT_EQ(ErrorEntries(), before + 2);
    EXPECT_TRUE(ErrorLog().contains("An error occurred while attempting to log an event.  The operating system reports: 5, broken"));
    EXPECT_EQ(History(p).mobjSocketPairEvents.Count(), 2);

    // Without its history entry the event goes nowhere else.
    steps.clear();
    log->mfnBeforeStep = [&](const char* step) {
        steps << step;
        if (QByteArray(step) == "History") throw std::runtime_error("broken");
    };
    log->ServerBytesReceived(p, "y", false);
    EXPECT_EQ(steps, QStringList({"History"}));
    log->mfnBeforeStep = nullptr;
}

TEST_F(T, PurgeRunsOnEveryTwentyFirstEvent)
{
    tsy::Settings::SaveSetting("Options", "NumberToKeep", "0");
    SocketPair* dead = NewPair(1);
    log->LocalServerAcceptedConnection(dead, false, 1000);   // event 1
    log->Dead(dead);
    SocketPair* live = NewPair(2);
    log->LocalServerAcceptedConnection(live, false, 1000);   // event 2
    for (int i = 3; i <= 20; ++i) log->ServerBytesReceived(live, "x", false);
    EXPECT_TRUE(log->mobjSocketPairHistory.Exists("KEY1"));
    log->ServerBytesReceived(live, "x", false);              // event 21
    EXPECT_FALSE(log->mobjSocketPairHistory.Exists("KEY1"));
    EXPECT_TRUE(log->mobjSocketPairHistory.Exists("KEY2"));
    EXPECT_EQ(log->mlngTotalEvents, 20);
    EXPECT_EQ(log->mlngTotalMemoryAllocated, 19);
    tsytest::ClearSettings();
}

TEST_F(T, DanglingEventsClientSideFirst)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    log->DanglingStatusChanged(p, true, 2, 3000);
    ASSERT_EQ(History(p).mobjSocketPairEvents.Count(), 3);
    EXPECT_EQ(Event(p, 2).mobjEventType, 22);
    EXPECT_EQ(Event(p, 2).mstrDescription, "Remote client side dangling has started. No more data will be sent to the remote client for 3000 mSecs.");
    EXPECT_TRUE(Event(p, 2).mblnNextEventFollowOn);
    EXPECT_EQ(Event(p, 3).mobjEventType, 21);
    EXPECT_EQ(Event(p, 3).mstrDescription, "Remote server side dangling has started. No more data will be sent to the remote server for 3000 mSecs.");
    EXPECT_FALSE(Event(p, 3).mblnNextEventFollowOn);

    log->DanglingStatusChanged(p, false, 0, 3000);
    EXPECT_EQ(Last(p).mobjEventType, 23);
    EXPECT_EQ(Last(p).mstrDescription, "Remote server side dangling has stopped.");
    log->DanglingStatusChanged(p, false, 1, 3000);
    EXPECT_EQ(Last(p).mobjEventType, 24);
    EXPECT_EQ(Last(p).mstrDescription, "Remote client side dangling has stopped.");
    EXPECT_FALSE(Last(p).mblnNextEventFollowOn);
    log->DanglingStatusChanged(p, true, 5, 3000);
    EXPECT_EQ(History(p).mobjSocketPairEvents.Count(), 5);
}

TEST_F(T, FailedAttemptMovesTheSocketUnderTheErrorNode)
{
    AddPortNode(1000);
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    tree->SetExpanded("CON1000", true);
    log->LoadAllConnections("", "", 1000);
    log->ConnectionAttemptToRemoteServer(p, "nowhere.invalid", 25, false);
    EXPECT_EQ(Last(p).mstrDescription, "A connection request has been made to nowhere.invalid:25.");

    log->ConnectionAttemptFailed(p, false, "Host not found", 11001);
    SocketPairHistory& h = History(p);
    EXPECT_EQ(h.mstrRemoteServerIP, "<Error>");
    EXPECT_EQ(h.mlngErrorNumber, 11001);
    EXPECT_EQ(h.mstrErrorString, "Host not found");
    EXPECT_EQ(Last(p).mobjEventType, 3);
    EXPECT_EQ(Last(p).mstrDescription, "The connection request failed - Host not found");
    EXPECT_EQ(Last(p).mlngErrorNumber, 11001);
    EXPECT_EQ(Last(p).mstrErrorString, "Host not found");

    ASSERT_TRUE(tree->Exists("CON1000<Error>"));
    EXPECT_EQ(tree->Text("CON1000<Error>"), " to <Error>");
    EXPECT_EQ(tree->Tag("CON1000<Error>").toString(), " <Error>");
    EXPECT_FALSE(tree->Exists("KEY1"));      // the error node is collapsed
    EXPECT_FALSE(tree->Exists("CON1000"));   // the provisional node was left empty

    // With the error node open, the next failure shows its socket there.
    tree->SetExpanded("CON1000<Error>", true);
    SocketPair* q = NewPair(2);
    log->LocalServerAcceptedConnection(q, false, 1000);
    log->ConnectionAttemptFailed(q, false, "Connection refused", 10061);
    ASSERT_TRUE(tree->Exists("KEY2"));
    EXPECT_EQ(tree->ParentKey("KEY2"), "CON1000<Error>");
    EXPECT_EQ(tree->Text("KEY2"), "Dead With Error");
    log->Dead(q);
    EXPECT_EQ(tree->Text("KEY2"), "Dead With Error (" + History(q).mstrTimeOfDeath + ")");

    // Collapsed, the provisional node holds no children, yet it stays while
    // another request of its client still has no server.
    SocketPair* a = NewPair(3);
    SocketPair* b = NewPair(4);
    log->LocalServerAcceptedConnection(a, false, 1000);
    log->LocalServerAcceptedConnection(b, false, 1000);
    ASSERT_TRUE(tree->Exists("CON1000"));
    ASSERT_EQ(tree->Children("CON1000"), 0);
    log->ConnectionAttemptFailed(a, false, "Connection refused", 10061);
    EXPECT_TRUE(tree->Exists("CON1000"));
    log->ConnectionAttemptFailed(b, false, "Connection refused", 10061);
    EXPECT_FALSE(tree->Exists("CON1000"));
}

TEST_F(T, EventNodesOnlyUnderAnExpandedSocket)
{
    AddPortNode(1000);
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    tree->SetExpanded("CON1000", true);
    log->LoadAllConnections("", "", 1000);
    log->ServerBytesReceived(p, "abc", false);
    EXPECT_EQ(tree->Children("KEY1"), 0);

    log->LoadAllEvents("KEY1");
    tree->SetExpanded("KEY1", true);
    EXPECT_EQ(tree->Children("KEY1"), 2);
    log->ClientBytesReceived(p, "defg", false);
    ASSERT_TRUE(tree->Exists("KEY1-3"));
    EXPECT_EQ(tree->Text("KEY1-3"), "4 bytes of data has been received from the remote server.");
    EXPECT_EQ(tree->Image("KEY1-3"), "Event");
    EXPECT_EQ(tree->Tag("KEY1-3").toString(), "KEY1-3");
}

TEST_F(T, NothingIsRecordedWhileLoggingIsOffOrTheHistoryIsGone)
{
    SocketPair* p = NewPair(1);
    General::gblnLoggingEnabled = false;
    log->LocalServerAcceptedConnection(p, false, 1000);
    EXPECT_EQ(log->mobjSocketPairHistory.Count(), 0);
    General::gblnLoggingEnabled = true;

    const int before = ErrorEntries();
    log->ServerBytesReceived(p, "x", false);
    log->ClientBytesSendStop(p);
    log->RemoteClientDisconnected(p, false);
    log->DanglingStatusChanged(p, true, 2, 10);
    log->GotNameOfRemoteClient(p, "client");
    EXPECT_EQ(ErrorEntries(), before);
    EXPECT_EQ(log->mlngTotalEvents, 0);
}

TEST_F(T, NamesRenameThePartnersNode)
{
    AddPortNode(1000);
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    ASSERT_TRUE(tree->Exists("CON1000"));
    EXPECT_EQ(tree->Text("CON1000"), " to <Awaiting>");
    log->GotNameOfRemoteClient(p, "client.lan");
    EXPECT_EQ(History(p).mstrRemoteClientName, "client.lan");
    EXPECT_EQ(tree->Text("CON1000"), " (client.lan) to <Awaiting>");
    log->GotNameOfRemoteServer(p, "server.lan");
    EXPECT_EQ(tree->Text("CON1000"), " (client.lan) to <Awaiting> (server.lan)");
    EXPECT_EQ(log->mlngTotalEvents, 1);
}

} // namespace
