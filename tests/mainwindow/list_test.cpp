// The main window's details list over a real Pass Through relay: the rows of
// each layout follow the clicked node and the live traffic, header clicks
// sort, and a double-click drills down through the tree.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "export/frmEventDetails.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/KeyedList.h"
#include "platform/KeyedTree.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>

namespace {

using tsytest::FreePort;
using tsytest::WaitUntil;

class ListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        ASSERT_TRUE(tsytest::ListenAsEcho(echo));
        port = FreePort();
        do idlePort = FreePort(); while (idlePort == port);
        do namedPort = FreePort(); while (namedPort == port || namedPort == idlePort);
        tsytest::SavePassThroughPort(port, "127.0.0.1", echo.serverPort(), "Echo");
        tsytest::SavePassThroughPort(namedPort, "localhost", echo.serverPort(), "Named");
        tsy::Settings::SaveSetting("Protocols", QString::number(idlePort), "<Don't use>");
        tsy::Settings::SaveSetting("PortsInUse", QString::number(idlePort), "Idle");
        Start();
    }

    void Start()
    {
        frmMain::SetEndProgramHook([] {});
        General::gblnLoggingEnabled = true;
        General::gblnApplicationClosing = false;
        General::gblnConnectionDiagramView = false;
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
        General::gobjListening->InitaliseListeningSockets();
        tsytest::SwitchOffFailureSimulation();
        frmOptions::Unload();
        main = frmMain::Instance();
        tree = main->tvwSockets;
        list = main->lvwDetails;
        portKey = "PROTO" + QString::number(port);
        idleKey = "PROTO" + QString::number(idlePort);
        errorsBefore = Errors();
    }

    void TearDown() override
    {
        General::gobjLogging->mfnBeforeStep = nullptr;
        General::gblnConnectionDiagramView = true;
        tsytest::UnloadMainWindowAndEngine();
        tsytest::ClearSettings();
    }

    static int Errors() { return frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0; }
    static QString ErrorLog() { return tsytest::WholeErrorLog(); }
    static Logging& Log() { return *General::gobjLogging; }
    static std::shared_ptr<SocketPairHistory> History(const QString& key) { return Log().mobjSocketPairHistory.Item(key); }

    // The purge reads its limits from the options window's next load.
    static void SetMaxEventCount(const QString& limit)
    {
        tsy::Settings::SaveSetting("Options", "MaxEventCount", limit);
        frmOptions::Unload();
    }

    // A user's click: the node is highlighted, then clicked.
    void Click(const QString& key)
    {
        tree->Select(key);
        main->tvwSockets_NodeClick(key);
    }

    // The view as it shows once the rows waiting for it have arrived.
    QStringList Column(int column) const
    {
        list->Flush();
        QStringList texts;
        for (int i = 0; i < list->topLevelItemCount(); ++i) texts << list->topLevelItem(i)->text(column);
        return texts;
    }
    QStringList Keys() const
    {
        list->Flush();
        QStringList keys;
        for (int i = 0; i < list->topLevelItemCount(); ++i) keys << tsy::KeyedList::KeyOf(list->topLevelItem(i));
        return keys;
    }
    // The value of an event layout's item.
    QString Value(const QString& item) const
    {
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(0) == item) return list->topLevelItem(i)->text(1);
        return "<missing>";
    }
    void SelectRow(const QString& key)
    {
        list->clearSelection();
        list->Row(key)->setSelected(true);
    }

    // A connection through the relay that has echoed data back; returns its pair key.
    QString Connect(QTcpSocket& client, const QByteArray& data = "hello")
    {
        const int before = Log().mobjSocketPairHistory.Count();
        client.connectToHost(QHostAddress::LocalHost, quint16(port));
        EXPECT_TRUE(client.waitForConnected(5000));
        Exchange(client, data);
        EXPECT_EQ(Log().mobjSocketPairHistory.Count(), before + 1);
        return Log().mobjSocketPairHistory.KeyAt(before + 1);
    }
    // Sends data and waits for all of it to come back.
    static void Exchange(QTcpSocket& client, const QByteArray& data)
    {
        client.write(data);
        QByteArray back;
        EXPECT_TRUE(WaitUntil([&] { back += client.readAll(); return back.size() >= data.size(); }));
        EXPECT_EQ(back, data);
    }
    QString ConKey() const { return "CON" + QString::number(port) + "127.0.0.1127.0.0.1"; }
    void OpenSocket(const QString& pairKey)
    {
        Click(portKey);
        Click(ConKey());
        Click(pairKey);
    }

    QTcpServer echo;
    int port = 0;
    int idlePort = 0;
    int namedPort = 0;   // relays to the echo server by its name
    frmMain* main = nullptr;
    tsy::KeyedTree* tree = nullptr;
    tsy::KeyedList* list = nullptr;
    QString portKey, idleKey;
    int errorsBefore = 0;
};

TEST_F(ListTest, ConnectionRowsFollowTheTreeAndTheTraffic)
{
    Click("ROOT");
    ASSERT_EQ(list->columnCount(), 9);
    EXPECT_EQ(list->Count(), 0);

    // Live: the row appears with the connection and follows 100,000 bytes each way.
    QTcpSocket a;
    const QString keyA = Connect(a);
    const QByteArray bulk(100000, 'x');
    Exchange(a, bulk);
    const auto h = History(keyA);
    ASSERT_TRUE(list->Exists(keyA));
    const QString total = QString::number(bulk.size() + 5);
    // Data events refresh the row together, shortly after: it catches up
    // with the whole history, not just with some of the events.
    const auto& events = h->mobjSocketPairEvents;
    EXPECT_TRUE(WaitUntil([&] { return list->Text(keyA, 8) == QString::number(h->mlngEventCount); }));
    EXPECT_EQ(list->Text(keyA, 6), total);
    EXPECT_EQ(list->Text(keyA, 7), total);
    EXPECT_EQ(list->Text(keyA, 6), QString::number(h->mlngBytesC2S));
    EXPECT_EQ(list->Text(keyA, 7), QString::number(h->mlngBytesS2C));
    EXPECT_EQ(list->Text(keyA, 5), events.Item(events.Count())->mstrDescription);
    EXPECT_EQ(list->Text(keyA, 4), events.Item(events.Count())->mstrEventTime);
    EXPECT_EQ(list->Text(keyA, 8), QString::number(h->mlngEventCount));
    EXPECT_EQ(list->Text(keyA, 0), "127.0.0.1:" + QString::number(a.localPort()));
    EXPECT_EQ(list->Text(keyA, 1), "127.0.0.1:" + QString::number(echo.serverPort()));
    EXPECT_EQ(list->Text(keyA, 2), h->mstrProtocol);
    EXPECT_EQ(list->Image(keyA), "Socket");

    // A second connection that ends; the refill lists both, oldest first.
    QString keyB;
    {
        QTcpSocket b;
        keyB = Connect(b);
        b.disconnectFromHost();
        ASSERT_TRUE(WaitUntil([&] { return History(keyB)->mblnDead; }));
    }
    EXPECT_EQ(list->Image(keyB), "SocketDisconnected");   // live, from the death report
    Click("ROOT");
    EXPECT_EQ(Keys(), (QStringList{keyA, keyB}));
    EXPECT_EQ(list->Image(keyA), "Socket");
    EXPECT_EQ(list->Image(keyB), "SocketDisconnected");
    EXPECT_EQ(list->Text(keyA, 3), events.Item(1)->mstrEventTime);
    EXPECT_EQ(list->Text(keyA, 8), QString::number(events.Count()));
    EXPECT_EQ(list->Text(keyB, 6), "5");

    // A port lists its own connections, another port none, partners theirs.
    Click(portKey);
    EXPECT_EQ(Keys(), (QStringList{keyA, keyB}));
    Click(idleKey);
    EXPECT_EQ(list->columnCount(), 9);
    EXPECT_EQ(list->Count(), 0);
    Click(portKey);
    Click(ConKey());
    EXPECT_EQ(Keys(), (QStringList{keyA, keyB}));

    // New connections get rows only under the node clicked: a port's node
    // takes its own, a partners' node a connection once it reaches them.
    const auto connectNamed = [&](QTcpSocket& client) {
        client.connectToHost(QHostAddress::LocalHost, quint16(namedPort));
        EXPECT_TRUE(client.waitForConnected(5000));
        Exchange(client, "named");
        return Log().mobjSocketPairHistory.KeyAt(Log().mobjSocketPairHistory.Count());
    };
    QTcpSocket c, d, e, f;
    Click(portKey);
    EXPECT_FALSE(list->Exists(connectNamed(c)));
    const QString keyD = Connect(d);
    EXPECT_TRUE(list->Exists(keyD));
    Click(ConKey());
    EXPECT_FALSE(list->Exists(connectNamed(e)));
    const QString keyF = Connect(f);
    const QStringList live = Keys();
    const QStringList to = Column(1);
    Click(ConKey());
    EXPECT_EQ(live, (QStringList{keyA, keyB, keyD, keyF}));
    EXPECT_EQ(live, Keys());
    EXPECT_EQ(to, Column(1));

    // The highlight moved off the node clicked: rows still follow that node.
    Click(portKey);
    tree->Select(idleKey);
    QTcpSocket g;
    const QString keyG = Connect(g);
    EXPECT_TRUE(list->Exists(keyG));
    EXPECT_EQ(main->mnodSelectedNode, portKey);
    Click(ConKey());

    // The purge takes the dead socket last clicked: its partners stand in,
    // in the list too, though the highlight has moved on.
    OpenSocket(keyB);
    tree->Select(idleKey);
    frmOptions::Instance()->txtNumberToKeep->setText(QString::number(Log().mobjSocketPairHistory.Count() - 2));
    Log().KillDeadSocketConnections();
    ASSERT_FALSE(Log().mobjSocketPairHistory.Exists(keyB));
    EXPECT_EQ(main->mnodSelectedNode, ConKey());
    EXPECT_EQ(list->columnCount(), 9);
    EXPECT_EQ(Keys(), (QStringList{keyA, keyD, keyF, keyG}));
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(ListTest, RefusedRequestReadsUnknownAndDrillsDownToItsProvisionalNode)
{
    Click("ROOT");
    auto* sim = frmProblemSimulation::Instance();
    sim->optRefuse(0)->setChecked(true);
    sim->txtRefuseNthConnection->setText("0");
    sim->chkRefuseConnections->setChecked(true);
    {
        QTcpSocket refused;
        refused.connectToHost(QHostAddress::LocalHost, quint16(port));
        refused.waitForConnected(2000);
        ASSERT_TRUE(WaitUntil([&] {
            return Log().mobjSocketPairHistory.Count() == 1 && Log().mobjSocketPairHistory.Item(1)->mblnDead;
        }));
    }
    sim->chkRefuseConnections->setChecked(false);
    const QString key = Log().mobjSocketPairHistory.KeyAt(1);
    for (int refill = 0; refill < 2; ++refill) {   // live, then refilled
        ASSERT_TRUE(list->Exists(key));
        EXPECT_EQ(list->Text(key, 0), "<Unknown>:-1");
        EXPECT_EQ(list->Text(key, 1), "<NA>");
        EXPECT_FALSE(list->Text(key, 2).isEmpty());
        EXPECT_EQ(list->Text(key, 2), History(key)->mstrProtocol);
        EXPECT_EQ(list->Image(key), "SocketDisconnected");
        Click("ROOT");
    }

    SelectRow(key);
    main->lvwDetails_DblClick();
    const QString provisional = "CON" + QString::number(port) + "<Unknown>";
    EXPECT_EQ(main->mnodSelectedNode, key);
    EXPECT_TRUE(tree->Expanded(provisional));
    EXPECT_EQ(tree->ParentKey(key), provisional);
    EXPECT_EQ(list->columnCount(), 3);
    EXPECT_EQ(Column(1), QStringList{"Remote connection request was scheduled for rejection"});
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(ListTest, ToColumnGoesFromNotKnownToTheServerAndItsName)
{
    Click("ROOT");

    // Every state the row's "To" passes through, seen before each logged step.
    QMap<QString, QStringList> seen;
    Log().mfnBeforeStep = [&](const char*) {
        for (const QString& key : Keys()) {
            QStringList& states = seen[key];
            const QString to = list->Text(key, 1);
            if (states.isEmpty() || states.last() != to) states << to;
        }
    };
    QTcpSocket byAddress;
    const QString keyAddress = Connect(byAddress);
    QTcpSocket byName;
    byName.connectToHost(QHostAddress::LocalHost, quint16(namedPort));
    ASSERT_TRUE(byName.waitForConnected(5000));
    Exchange(byName, "by name");
    Log().mfnBeforeStep = nullptr;
    const QString keyName = Log().mobjSocketPairHistory.KeyAt(2);

    const QString server = "127.0.0.1:" + QString::number(echo.serverPort());
    EXPECT_EQ(seen[keyAddress], (QStringList{"<NA>", server}));
    EXPECT_EQ(seen[keyName], (QStringList{"<NA>", server + " (localhost)"}));
    Click("ROOT");
    EXPECT_EQ(list->Text(keyName, 1), server + " (localhost)");
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(ListTest, TrimmedHistoryCountsHeldEventsAndItsRowsOpenTheEventsTheyShow)
{
    SetMaxEventCount("10");
    Click("ROOT");
    QTcpSocket client;
    const QString key = Connect(client, "a");
    const auto h = History(key);
    // Messages of different lengths, so every event's description is its own.
    QByteArray message = "b";
    for (int i = 0; i < 8; ++i) Exchange(client, message += 'b');
    ASSERT_TRUE(WaitUntil([&] { return h->mobjSocketPairEvents.Count() == 10; }));
    ASSERT_GT(h->mlngEventCount, 30);

    // A refilled row counts the events held; the next event shows the running number.
    Click("ROOT");
    EXPECT_EQ(list->Text(key, 8), "10");
    Exchange(client, message += 'b');
    EXPECT_TRUE(WaitUntil([&] { return list->Text(key, 8) == QString::number(h->mlngEventCount); }));

    // The socket's rows are keyed by position and stay so across trims made
    // while it is listed.
    OpenSocket(key);
    ASSERT_EQ(list->columnCount(), 3);
    for (int i = 0; i < 6; ++i) Exchange(client, message += 'b');
    ASSERT_TRUE(WaitUntil([&] { return h->mobjSocketPairEvents.Count() == 10 && list->Count() == 10; }));
    QStringList positions;
    for (int i = 1; i <= 10; ++i) positions << key + "-" + QString::number(i);
    EXPECT_EQ(Keys(), positions);
    EXPECT_EQ(Column(1).last(), h->mobjSocketPairEvents.Item(10)->mstrDescription);

    const QString third = key + "-3";
    const QString description = list->Text(third, 1);
    const QString time = list->Text(third, 0);
    SelectRow(third);
    main->lvwDetails_DblClick();
    EXPECT_EQ(main->mnodSelectedNode, third);
    EXPECT_EQ(tree->SelectedKey(), key);   // a direct click leaves the highlight
    ASSERT_EQ(list->Count(), 18);
    EXPECT_EQ(Value("Description"), description);
    EXPECT_EQ(Value("Event Time"), time);
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

// The purge renumbers a trimmed socket's event nodes: the selected event is
// followed as itself, and one that is gone is never replaced by whichever
// event now stands at its old position.
TEST_F(ListTest, SelectedEventIsFollowedThroughATrim)
{
    SetMaxEventCount("10");
    QTcpSocket client;
    const QString key = Connect(client, "a");
    const auto h = History(key);
    const auto& events = h->mobjSocketPairEvents;
    // Messages of different lengths, so every event's data is its own.
    QByteArray message = "a";
    for (int i = 0; i < 3; ++i) Exchange(client, message += 'b');
    ASSERT_TRUE(WaitUntil([&] { return events.Count() == 10; }));
    OpenSocket(key);
    const auto positionOf = [&](const std::shared_ptr<SocketEvent>& ev) {
        for (int i = 1; i <= events.Count(); ++i)
            if (events.Item(i) == ev) return i;
        return 0;
    };
    auto* details = frmEventDetails::Instance();
    const QString purged = "Since this data was displayed to the screen, it has been unloaded from memory";

    // An event that survives the trim at a lower position.
    Click(key + "-8");
    const auto kept = events.Item(8);
    ASSERT_EQ(Value("Data").toLatin1(), kept->mstrData);
    Exchange(client, message += 'b');
    Log().KillDeadSocketConnections();
    ASSERT_EQ(events.Count(), 10);
    const int now = positionOf(kept);
    ASSERT_GT(now, 0);
    ASSERT_LT(now, 8);
    EXPECT_EQ(main->mnodSelectedNode, key + "-" + QString::number(now));
    main->lvwDetails_DblClick();
    EXPECT_EQ(details->EventIndex(), now);
    EXPECT_EQ(details->windowTitle(), "Event Details - #" + QString::number(now) + "  " + kept->mstrDescription);
    main->mnuEventHistory->trigger();
    ASSERT_EQ(list->Count(), 18);
    EXPECT_EQ(Value("Description"), kept->mstrDescription);
    EXPECT_EQ(Value("Data").toLatin1(), kept->mstrData);

    // An event the trim dropped: the purge message, and no other event in its
    // place (the window is hidden, so that the click only empties it).
    details->hide();
    Click(key + "-2");
    ASSERT_EQ(details->EventIndex(), 0);
    const std::weak_ptr<SocketEvent> dropped = events.Item(2);
    Exchange(client, message += 'b');
    Log().KillDeadSocketConnections();
    ASSERT_EQ(positionOf(dropped.lock()), 0);
    ASSERT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
    main->lvwDetails_DblClick();
    EXPECT_EQ(details->EventIndex(), 0);
    EXPECT_EQ(Errors(), errorsBefore + 1);
    EXPECT_TRUE(ErrorLog().contains(purged)) << ErrorLog().toStdString();
    main->mnuEventHistory->trigger();
    EXPECT_EQ(list->Count(), 0);
    frmEventDetails::Unload();
}

TEST_F(ListTest, HistoryWithoutEventsLeavesItsTimesEmptyAndLogsNothing)
{
    SetMaxEventCount("0");
    QTcpSocket client;
    const QString key = Connect(client);
    ASSERT_TRUE(WaitUntil([&] { return History(key)->mobjSocketPairEvents.Count() == 0; }));
    Click("ROOT");
    ASSERT_TRUE(list->Exists(key));
    EXPECT_EQ(list->Text(key, 1), "127.0.0.1:" + QString::number(echo.serverPort()));
    for (int column : {3, 4, 5}) EXPECT_EQ(list->Text(key, column), "");
    EXPECT_EQ(list->Text(key, 6), "5");
    EXPECT_EQ(list->Text(key, 8), "0");
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(ListTest, SocketAndEventLayouts)
{
    QTcpSocket client;
    const QString key = Connect(client);
    const auto h = History(key);
    const int before = h->mobjSocketPairEvents.Count();
    QByteArray every(256, '\0');
    for (int i = 0; i < 256; ++i) every[i] = char(i);
    Exchange(client, every);

    // The diagram view lists no events.
    General::gblnConnectionDiagramView = true;
    OpenSocket(key);
    EXPECT_EQ(list->columnCount(), 3);
    EXPECT_EQ(list->headerItem()->text(1), "Description");
    EXPECT_EQ(list->Count(), 0);

    // The event history: a row per event, "Bytes" empty without data, and
    // new events added live by position.
    General::gblnConnectionDiagramView = false;
    Click(key);
    const auto& events = h->mobjSocketPairEvents;
    ASSERT_EQ(list->Count(), events.Count());
    QList<int> received;   // the events holding the 256 bytes from the client
    for (int i = 1; i <= events.Count(); ++i) {
        const QString row = key + "-" + QString::number(i);
        const auto& ev = events.Item(i);
        EXPECT_EQ(list->Text(row, 0), ev->mstrEventTime);
        EXPECT_EQ(list->Text(row, 1), ev->mstrDescription);
        EXPECT_EQ(list->Text(row, 2), ev->mstrData.isEmpty() ? QString() : QString::number(ev->mstrData.size()));
        EXPECT_EQ(list->Image(row), "Event");
        if (ev->mobjEventType == SocketEventType::ServerBytesReceived && i > before) received << i;
    }
    EXPECT_EQ(list->Text(key + "-1", 2), "");
    ASSERT_FALSE(received.isEmpty());
    Exchange(client, "more");
    EXPECT_EQ(list->Count(), events.Count());
    EXPECT_TRUE(list->Exists(key + "-" + QString::number(events.Count())));

    // An event: eighteen items in order; its data comes back byte for byte.
    QByteArray shown;
    for (int i : received) {
        Click(key + "-" + QString::number(i));
        EXPECT_EQ(Value("Data").toLatin1(), events.Item(i)->mstrData);
        shown += Value("Data").toLatin1();
    }
    EXPECT_EQ(shown, every);
    const int withData = received.first();
    Click(key + "-" + QString::number(withData));
    ASSERT_EQ(list->columnCount(), 2);
    EXPECT_EQ(Column(0), (QStringList{"Event Time", "Event End Time", "Error Number", "Error Description",
                                      "Description", "Data", "Remote Client Address", "Remote Client Name",
                                      "Remote Client Port", "Remote Server Address", "Remote Server Name",
                                      "Remote Server Port", "Local Server Port", "Local Client Port",
                                      "Originally Listening on Port", "Socket Status", "Time Of Socket Pair Death",
                                      "Protocol"}));
    EXPECT_EQ(Value("Remote Client Port"), QString::number(client.localPort()));
    EXPECT_EQ(Value("Remote Server Port"), QString::number(echo.serverPort()));
    EXPECT_EQ(Value("Originally Listening on Port"), QString::number(port));
    EXPECT_EQ(Value("Socket Status"), "Alive");
    EXPECT_EQ(Value("Error Number"), "0");
    EXPECT_EQ(Keys(), QStringList(18, QString()));

    // The event double-click stays put; an event node past the history's end lists nothing.
    main->lvwDetails_DblClick();
    EXPECT_EQ(main->mnodSelectedNode, key + "-" + QString::number(withData));
    tree->Add(key, key + "-999", "gone", "Event");
    Click(key + "-999");
    EXPECT_EQ(list->Count(), 0);
    main->lvwDetails_DblClick();

    // Nor does the diagram view add events to the list live.
    General::gblnConnectionDiagramView = true;
    Click(key);
    Exchange(client, "live");
    EXPECT_EQ(list->Count(), 0);
    General::gblnConnectionDiagramView = false;
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(ListTest, ConnectionRowDrillsDownToTheConnectionsEvents)
{
    QTcpSocket client;
    const QString key = Connect(client);
    Click("ROOT");
    main->lvwDetails_DblClick();   // no row selected: nothing
    EXPECT_EQ(main->mnodSelectedNode, "ROOT");

    SelectRow(key);
    main->lvwDetails_DblClick();
    EXPECT_EQ(main->mnodSelectedNode, key);
    EXPECT_TRUE(tree->Expanded(portKey));
    EXPECT_TRUE(tree->Expanded(ConKey()));
    EXPECT_TRUE(tree->Expanded(key));
    EXPECT_EQ(tree->SelectedKey(), "ROOT");
    EXPECT_EQ(list->Count(), History(key)->mobjSocketPairEvents.Count());

    // Through the list's own signal: an event row opens that event.
    SelectRow(key + "-2");
    emit list->itemDoubleClicked(list->Row(key + "-2"), 0);
    EXPECT_EQ(main->mnodSelectedNode, key + "-2");
    EXPECT_EQ(list->Count(), 18);
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(ListTest, HeaderClicksSortAsText)
{
    // Three connections with different event counts (one, three and two
    // exchanges), one of them of two digits.
    QTcpSocket a, b, c;
    const QString ka = Connect(a);
    const QString kb = Connect(b);
    Exchange(b, "x");
    Exchange(b, "y");
    const QString kc = Connect(c);
    Exchange(c, "z");
    Click("ROOT");
    ASSERT_EQ(Keys(), (QStringList{ka, kb, kc}));
    QList<std::pair<QString, QString>> byCount;   // (count, key)
    for (const QString& key : Keys()) byCount.append({list->Text(key, 8), key});
    std::sort(byCount.begin(), byCount.end(), [](const auto& x, const auto& y) {
        return x.first.toInt() < y.first.toInt();
    });
    ASSERT_EQ(byCount.first().first.size(), 1);
    ASSERT_EQ(byCount.last().first.size(), 2);   // so text order differs from number order
    const QStringList asText{byCount[1].second, byCount[2].second, byCount[0].second};
    QStringList reversed = asText;
    std::reverse(reversed.begin(), reversed.end());

    // The first click on "From" reverses its order.
    main->lvwDetails_ColumnClick(0);
    const QStringList from = Column(0);
    EXPECT_TRUE(std::is_sorted(from.rbegin(), from.rend())) << from.join(' ').toStdString();
    EXPECT_EQ(list->SortOrder(), Qt::DescendingOrder);

    // Another column: ascending as text; again: descending.
    main->lvwDetails_ColumnClick(8);
    EXPECT_EQ(Keys(), asText);
    main->lvwDetails_ColumnClick(8);
    EXPECT_EQ(Keys(), reversed);

    // The order holds through a refill, and a new row goes to its place.
    Click("ROOT");
    EXPECT_EQ(Keys(), reversed);
    QTcpSocket d;
    const QString kd = Connect(d);
    EXPECT_EQ(Keys().last(), kd);   // added with one event: "1" sorts last, descending

    // A header click by mouse reaches the handler.
    main->show();
    ASSERT_TRUE(WaitUntil([&] { return main->isVisible(); }));
    QHeaderView* header = list->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(2) + 5, header->height() / 2));
    EXPECT_EQ(list->SortKey(), 2);
    EXPECT_EQ(list->SortOrder(), Qt::AscendingOrder);
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(ListTest, ColumnWidthsAreReadAtEveryRefill)
{
    QTcpSocket client;
    const QString key = Connect(client);
    Click("ROOT");
    EXPECT_EQ(list->columnWidth(0), tsy::Runtime::TwipsToPixels(1964));
    tsy::Settings::SaveSetting("MainForm", "AA1", "3000");
    Click("ROOT");
    EXPECT_EQ(list->columnWidth(0), tsy::Runtime::TwipsToPixels(3000));
    // Not a number: that column's default, and the rows are still listed.
    tsy::Settings::SaveSetting("MainForm", "AA1", "abc");
    Click("ROOT");
    EXPECT_EQ(list->columnWidth(0), tsy::Runtime::TwipsToPixels(1964));
    EXPECT_EQ(Keys(), QStringList{key});
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST(KeyedListTest, KeysStayIndexedThroughAddsRemovesAndSorting)
{
    tsy::KeyedList list;
    list.SetColumns({"A"});
    list.Add("k1", "b");
    EXPECT_THROW(list.Add("k1", "x"), tsy::CollectionError);
    EXPECT_THROW(list.AddRows({list.NewRow("k9", "x"), list.NewRow("k1", "y")}), tsy::CollectionError);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_FALSE(list.Exists("k9"));
    list.AddRows({list.NewRow("k2", "D"), list.NewRow("k3", "c")});
    list.Remove("k1");
    EXPECT_THROW(list.Row("k1"), tsy::CollectionError);
    list.Add("k1", "a");

    list.SetSorting(true, 0, Qt::AscendingOrder);   // text, case ignored
    EXPECT_EQ(list.topLevelItem(0)->text(0), "a");
    EXPECT_EQ(list.topLevelItem(2)->text(0), "D");
    list.Add("k4", "C");   // ties go after their equals
    EXPECT_EQ(tsy::KeyedList::KeyOf(list.topLevelItem(1)), "k3");
    EXPECT_EQ(tsy::KeyedList::KeyOf(list.topLevelItem(2)), "k4");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    list.Add("k4", "again");
    EXPECT_EQ(list.Text("k4"), "again");
}

TEST(KeyedListTest, LaterChangesAreKeyedAtOnceAndReachTheViewInOrder)
{
    tsy::KeyedList list;
    list.SetColumns({"A"});
    list.Add("k1", "one");
    list.AddLater(list.NewRow("k2", "two"));
    list.AddLater(list.NewRow("k3", "three"));
    EXPECT_THROW(list.AddLater(list.NewRow("k2", "again")), tsy::CollectionError);
    list.RemoveLater("k1");
    list.RemoveLater("k3");   // never shown: gone without reaching the view
    EXPECT_FALSE(list.Exists("k1"));
    EXPECT_THROW(list.RemoveLater("k1"), tsy::CollectionError);
    list.SetText("k2", 0, "2");   // found by key before the view has it
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.topLevelItemCount(), 1);   // the view still shows k1 alone

    // Any immediate change goes after what waits.
    list.Add("k4", "four");
    ASSERT_EQ(list.topLevelItemCount(), 2);
    EXPECT_EQ(tsy::KeyedList::KeyOf(list.topLevelItem(0)), "k2");
    EXPECT_EQ(list.topLevelItem(0)->text(0), "2");
    EXPECT_EQ(tsy::KeyedList::KeyOf(list.topLevelItem(1)), "k4");

    // A sorted list takes waiting rows at their sorted places; the timer flushes.
    list.SetSorting(true, 0, Qt::AscendingOrder);
    list.AddLater(list.NewRow("k5", "3"));
    list.AddLater(list.NewRow("k6", "1"));
    ASSERT_TRUE(tsytest::WaitUntil([&] { return list.topLevelItemCount() == 4; }));
    QStringList texts;
    for (int i = 0; i < list.topLevelItemCount(); ++i) texts << list.topLevelItem(i)->text(0);
    EXPECT_EQ(texts, (QStringList{"1", "2", "3", "four"}));

    // Clear drops what waits too; nothing is left to reach the view later.
    list.AddLater(list.NewRow("k7", "x"));
    list.RemoveLater("k2");
    list.Clear();
    list.Flush();
    EXPECT_EQ(list.topLevelItemCount(), 0);
    EXPECT_EQ(list.Count(), 0);
}

} // namespace
