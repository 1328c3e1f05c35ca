// The real-time pane over a real Pass Through relay with the main window
// loaded: which events reach it and how their blocks are headed and
// coloured, the scope of the tree's highlighted branch, the pane's bound and bursts,
// plain-text drawing, a missing formatter, and the show switches.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "export/frmRealTimeData.h"
#include "history/Logging.h"
#include "history/SocketEvent.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/frmMain.h"
#include "platform/FormatLibrary.h"
#include "platform/KeyedTree.h"
#include "platform/Settings.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTextBlock>
#include <QTextDocument>
#include <QPlainTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <functional>
#include <gtest/gtest.h>

namespace {

using namespace tsytest;

const QString kFromServer = QStringLiteral("From: Remote server, To: TSY's internal socket client");
const QString kToServer = QStringLiteral("From: TSY's internal socket client, To: Remote server");
const QString kToClient = QStringLiteral("From: TSY's internal socket server, To: Remote client");
const QString kFromClient = QStringLiteral("From: Remote client, To: TSY's internal socket server");

// The pane's text as CR LF pairs read back (one line break each).
QString AsPane(const QByteArray& text) { return QString::fromLatin1(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

class RealTimePane : public RelayFixture {
protected:
    void SetUp() override
    {
        frmRealTimeData::Unload();
        RelayFixture::SetUp();
        ASSERT_TRUE(ListenAsEcho(echo));
        port = FreePort();
        do otherPort = FreePort(); while (otherPort == port);
        SavePassThroughPort(port, "127.0.0.1", echo.serverPort(), "Echo");
        SavePassThroughPort(otherPort, "127.0.0.1", echo.serverPort(), "Other");
        frmMain::SetEndProgramHook([] {});
        General::gobjListening->InitaliseListeningSockets();
        main = frmMain::Instance();
        rt = frmRealTimeData::Instance();
        errorsBefore = Errors();
    }
    void TearDown() override
    {
        frmMain::Unload();
        frmRealTimeData::Unload();
        tsy::FormatLibrary::SetLibraryPath(QString());
        if (!General::gobjListening) General::gobjListening = new Listening;
        RelayFixture::TearDown();
        frmMain::SetEndProgramHook({});
        ClearSettings();
    }

    static Logging& Log() { return *General::gobjLogging; }
    static int Errors() { return frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0; }
    QString Pane() const { return main->txtRealTime->toPlainText(); }
    qint64 PaneChars() const { return main->txtRealTime->document()->characterCount() - 1; }
    static int Queued() { return int(Log().gstrData.size()); }
    static void ClearQueues()
    {
        Log().gstrData.clear();
        Log().gstrPreamble.clear();
        Log().gcolColour.clear();
    }
    // Raw characters and no header lines: a block reads CR LF and its data.
    void Bare()
    {
        rt->optDisplayAs(0)->click();
        for (QCheckBox* box : {rt->chkIncludeDateTimeStamp, rt->chkIncludeDataDirection, rt->chkIncludeDescription})
            box->setChecked(false);
    }
    static bool Opened(RawClient& client) { return client.sock.waitForConnected(5000); }
    // One connection whose first bytes have come back; its pair.
    SocketPair* Connect(RawClient& client)
    {
        EXPECT_TRUE(Opened(client));
        client.Send("hi");
        EXPECT_TRUE(client.WaitFor("hi"));
        auto h = LastHistory();
        EXPECT_TRUE(h);
        SocketPair* pair = h ? General::gobjListening->mobjSocketPairs.Item(h->mstrSocketPairKey).data() : nullptr;
        EXPECT_TRUE(WaitUntil([] { return Queued() == 0; }));
        return pair;
    }
    // The foreground of the pane's text fragment that holds the text; invalid when none is set.
    QColor ColourOf(const QString& text) const
    {
        for (QTextBlock b = main->txtRealTime->document()->begin(); b.isValid(); b = b.next())
            for (auto it = b.begin(); !it.atEnd(); ++it)
                if (it.fragment().text().contains(text)) {
                    const QTextCharFormat f = it.fragment().charFormat();
                    return f.hasProperty(QTextFormat::ForegroundBrush) ? f.foreground().color() : QColor();
                }
        return QColor(1, 2, 3);   // not found
    }
    bool AnyColoured() const
    {
        for (QTextBlock b = main->txtRealTime->document()->begin(); b.isValid(); b = b.next())
            for (auto it = b.begin(); !it.atEnd(); ++it) {
                const QTextCharFormat f = it.fragment().charFormat();
                if (f.hasProperty(QTextFormat::ForegroundBrush) && f.foreground().color() != QColor(Qt::black)) return true;
            }
        return false;
    }
    std::shared_ptr<SocketEvent> LastOfType(const QList<int>& types) const
    {
        auto h = LastHistory();
        for (int i = h->mobjSocketPairEvents.Count(); i >= 1; --i)
            if (types.contains(h->mobjSocketPairEvents.Item(i)->mobjEventType)) return h->mobjSocketPairEvents.Item(i);
        return nullptr;
    }
    QToolButton* ToolButton(const char* key) const { return main->barToolbar->findChild<QToolButton*>(QString::fromLatin1(key)); }

    QTcpServer echo;
    int port = 0, otherPort = 0, errorsBefore = 0;
    frmMain* main = nullptr;
    frmRealTimeData* rt = nullptr;
};

TEST_F(RealTimePane, BlocksOfRealTrafficAreHeadedByTheChosenLines)
{
    Bare();
    RawClient client(port);
    ASSERT_TRUE(Opened(client));
    client.Send("ping");
    ASSERT_TRUE(client.WaitFor("ping"));
    // Client to TSY and TSY to client are the default directions; with no
    // header line a block's preamble is CR LF alone, after the CR LF that
    // opens every block.
    ASSERT_TRUE(WaitUntil([&] { return Pane().count("ping") == 2; }));
    EXPECT_EQ(Pane(), QStringLiteral("\n\nping\n\nping"));

    // The stamp alone: the event time and CR LF, no leading empty line.
    rt->chkIncludeDateTimeStamp->setChecked(true);
    main->txtRealTime->clear();
    client.Send("pong");
    ASSERT_TRUE(client.WaitFor("pong"));
    ASSERT_TRUE(WaitUntil([&] { return Pane().count("pong") == 2; }));
    const auto received = LastOfType({SocketEventType::ServerBytesReceived});
    const auto sent = LastOfType({SocketEventType::ServerBytesSendStart});
    EXPECT_EQ(Pane(), "\n" + received->mstrEventTime + "\npong\n" + sent->mstrEventTime + "\npong");

    // Every line on: time, direction and the event's own description.
    rt->chkIncludeDataDirection->setChecked(true);
    rt->chkIncludeDescription->setChecked(true);
    main->txtRealTime->clear();
    client.Send("pang");
    ASSERT_TRUE(WaitUntil([&] { return Pane().count("pang") == 2; }));
    const auto e = LastOfType({SocketEventType::ServerBytesReceived});
    EXPECT_TRUE(Pane().startsWith("\n" + e->mstrEventTime + "\n" + kFromClient + "\n" + e->mstrDescription + "\npang\n"));
}

TEST_F(RealTimePane, DirectionBoxesChooseTheEventsAndTheirColours)
{
    RawClient client(port);
    SocketPair* pair = Connect(client);
    ASSERT_TRUE(pair);
    rt->chkIncludeDataDirection->setChecked(true);
    rt->chkIncludeDateTimeStamp->setChecked(false);
    rt->chkIncludeDescription->setChecked(false);
    enum { S2T = 1, C2T = 2, T2S = 4, T2C = 8, BUF = 16, ALL = 31 };
    struct Row {
        const char* what;
        std::function<void()> report;
        int boxes;
        bool queued;
        QString direction;
        int label;
    };
    Logging& log = Log();
    const QByteArray d("data");
    const Row rows[] = {
        {"9 received from server", [&] { log.ClientBytesReceived(pair, d, false); }, S2T, true, kFromServer, 3},
        {"9 needs its box", [&] { log.ClientBytesReceived(pair, d, false); }, ALL & ~S2T, false, {}, 0},
        {"10 buffered for server", [&] { log.ClientBytesBuffered(pair, d, false, false); }, S2T | BUF, true, kToServer, 1},
        {"10 without buffered data", [&] { log.ClientBytesBuffered(pair, d, false, false); }, S2T, false, {}, 0},
        // Type 10 follows the server-to-TSY box, not the TSY-to-server one.
        {"10 follows server to TSY", [&] { log.ClientBytesBuffered(pair, d, false, false); }, T2S | BUF, false, {}, 0},
        {"11 dangled", [&] { log.ClientBytesBuffered(pair, d, false, true); }, ALL, false, {}, 0},
        {"12 buffered for client", [&] { log.ServerBytesBuffered(pair, d, false, false); }, C2T | BUF, true, kToClient, 2},
        {"12 follows client to TSY", [&] { log.ServerBytesBuffered(pair, d, false, false); }, T2C | BUF, false, {}, 0},
        {"13 dangled", [&] { log.ServerBytesBuffered(pair, d, false, true); }, ALL, false, {}, 0},
        {"14 sent to client", [&] { log.ServerBytesSendStart(pair, d, false, false); }, T2C, true, kToClient, 2},
        {"15 throttled", [&] { log.ServerBytesSendStart(pair, d, false, true); }, ALL, false, {}, 0},
        {"16 received from client", [&] { log.ServerBytesReceived(pair, d, false); }, C2T, true, kFromClient, 0},
        {"17 sent to server", [&] { log.ClientBytesSendStart(pair, d, false, false); }, T2S, true, kToServer, 1},
        {"18 throttled", [&] { log.ClientBytesSendStart(pair, d, false, true); }, ALL, false, {}, 0},
    };
    for (const Row& row : rows) {
        rt->chkServerToTSY->setChecked(row.boxes & S2T);
        rt->chkClientToTSY->setChecked(row.boxes & C2T);
        rt->chkTSYToServer->setChecked(row.boxes & T2S);
        rt->chkTSYToClient->setChecked(row.boxes & T2C);
        rt->chkIncludeBufferedData->setChecked(row.boxes & BUF);
        ClearQueues();
        row.report();   // queued at once; drawn later
        ASSERT_EQ(Queued(), row.queued ? 1 : 0) << row.what;
        if (!row.queued) continue;
        EXPECT_EQ(log.gstrPreamble.last(), "\r\n" + row.direction + "\r\n") << row.what;
        EXPECT_EQ(log.gcolColour.last(), rt->ColourValue(row.label)) << row.what;
        EXPECT_EQ(log.gstrData.last(), d);
    }
    // Without colour coding a block is plain.
    rt->chkColourCode->setChecked(false);
    ClearQueues();
    log.ServerBytesReceived(pair, d, false);
    ASSERT_EQ(Queued(), 1);
    EXPECT_EQ(log.gcolColour.last(), 0);
    ClearQueues();
}

TEST_F(RealTimePane, ThrottledSendsNeverReachThePane)
{
    frmProblemSimulation* sim = frmProblemSimulation::Instance();
    for (auto [chk, opt, bytes, period] : {std::tuple{sim->chkThrottleC2SData, &sim->optC2SThrottle, sim->txtC2SBytes, sim->txtC2SPeriod},
                                           std::tuple{sim->chkThrottleS2CData, &sim->optS2CThrottle, sim->txtS2CBytes, sim->txtS2CPeriod}}) {
        opt->SetValue(0, true);
        bytes->setText("4");
        period->setText("1");
        chk->setChecked(true);
    }
    for (QCheckBox* box : {rt->chkServerToTSY, rt->chkClientToTSY, rt->chkTSYToServer, rt->chkTSYToClient, rt->chkIncludeBufferedData})
        box->setChecked(true);
    rt->txtRealTimeDataSize->setText("1000");
    RawClient client(port);
    ASSERT_TRUE(Opened(client));
    client.Send("0123456789abcdef");
    ASSERT_TRUE(client.WaitFor("0123456789abcdef", 10000));
    ASSERT_TRUE(WaitUntil([] { return Queued() == 0; }));
    const QList<int> types = EventTypes(*LastHistory());
    ASSERT_GT(types.count(SocketEventType::ServerBytesSendStartThrottled), 0);
    ASSERT_GT(types.count(SocketEventType::ClientBytesSendStartThrottled), 0);
    // One block per event of a shown type, none for the throttled slices.
    EXPECT_EQ(Pane().count(kToClient), types.count(SocketEventType::ServerBytesBuffered) + types.count(SocketEventType::ServerBytesSendStart));
    EXPECT_EQ(Pane().count(kToServer), types.count(SocketEventType::ClientBytesBuffered) + types.count(SocketEventType::ClientBytesSendStart));
    EXPECT_EQ(Pane().count(kFromClient), types.count(SocketEventType::ServerBytesReceived));
}

TEST_F(RealTimePane, SelectedBranchScopeFollowsTheHighlightedNode)
{
    RawClient client(port);
    SocketPair* pair = Connect(client);
    ASSERT_TRUE(pair);
    const auto h = LastHistory();
    tsy::KeyedTree* tree = main->tvwSockets;
    const QString portKey = Logging::ProtocolKey(port);
    const QString partners = Logging::ConnectionKey(*h);
    main->tvwSockets_NodeClick(portKey);
    main->tvwSockets_NodeClick(partners);
    main->tvwSockets_NodeClick(h->mstrSocketPairKey);
    ASSERT_TRUE(tree->Exists(h->mstrSocketPairKey + "-1"));

    const std::pair<QString, bool> scope[] = {
        {Logging::ProtocolKey(otherPort), false}, {QStringLiteral("ROOT"), true}, {portKey, true},
        {partners, true}, {h->mstrSocketPairKey, true}, {h->mstrSocketPairKey + "-1", false}};
    rt->optRealTimeDisplay(1)->click();
    for (const auto& [key, queued] : scope) {
        tree->Select(key);
        ClearQueues();
        Log().ServerBytesReceived(pair, "x", false);
        EXPECT_EQ(Queued(), queued ? 1 : 0) << key.toStdString();
    }
    // All connections: another port's node does not matter.
    rt->optRealTimeDisplay(0)->click();
    tree->Select(Logging::ProtocolKey(otherPort));
    ClearQueues();
    Log().ServerBytesReceived(pair, "x", false);
    EXPECT_EQ(Queued(), 1);
    ClearQueues();
}

TEST_F(RealTimePane, ABlockThatWouldPassTheBoundEmptiesThePaneFirst)
{
    RawClient client(port);
    SocketPair* pair = Connect(client);
    ASSERT_TRUE(pair);
    Bare();
    main->txtRealTime->setPlainText(QString(51000, 'a'));
    Log().ServerBytesReceived(pair, QByteArray(300, 'b'), false);
    Log().RunRealTimeWriter();
    EXPECT_EQ(Pane(), "\n\n" + QString(300, 'b'));

    // 50,000 + 300 stays within 50 KB: appended.
    main->txtRealTime->setPlainText(QString(50000, 'a'));
    Log().ServerBytesReceived(pair, QByteArray(300, 'c'), false);
    Log().RunRealTimeWriter();
    EXPECT_EQ(Pane(), QString(50000, 'a') + "\n\n" + QString(300, 'c'));

    // A size that is not a number, or not above 0, keeps the pane within the
    // default 50 KB, and shows the data.
    for (const char* size : {"abc", "0", "-5"}) {
        rt->txtRealTimeDataSize->setText(QString::fromLatin1(size));
        main->txtRealTime->clear();
        qint64 largest = 0;
        for (int i = 0; i < 40; ++i) {
            Log().ServerBytesReceived(pair, QByteArray(4000, char('d' + i % 10)), false);
            Log().RunRealTimeWriter();
            ASSERT_TRUE(Pane().endsWith(QString(4000, QChar('d' + i % 10)))) << size;
            largest = std::max(largest, PaneChars());
        }
        EXPECT_LE(largest, 50 * 1024) << size;
        EXPECT_GT(largest, 40000) << size;
    }
}

TEST_F(RealTimePane, ABurstOfSmallMessagesReachesThePaneWholeAndInOrder)
{
    Bare();
    RawClient client(port);
    ASSERT_TRUE(Opened(client));
    // Each message after the echo of the one before, so that each is read
    // and recorded on its own; all of them come well within one redraw.
    QByteArray sent;
    for (int i = 0; i < 30; ++i) {
        const QByteArray message = "m" + QByteArray::number(i).rightJustified(2, '0') + ";";
        client.Send(message);
        ASSERT_TRUE(client.WaitFor(message));
        sent += message;
    }
    ASSERT_TRUE(WaitUntil([] { return Queued() == 0; }));
    // One block per shown data event of the history, in the history's order.
    QString expected;
    QByteArray fromClient;
    const auto h = LastHistory();
    for (int i = 1; i <= h->mobjSocketPairEvents.Count(); ++i) {
        const auto& e = h->mobjSocketPairEvents.Item(i);
        if (e->mobjEventType != SocketEventType::ServerBytesReceived && e->mobjEventType != SocketEventType::ServerBytesSendStart)
            continue;
        expected += "\n\n" + QString::fromLatin1(e->mstrData);
        if (e->mobjEventType == SocketEventType::ServerBytesReceived) fromClient += e->mstrData;
    }
    EXPECT_EQ(fromClient, sent);
    EXPECT_EQ(Pane(), expected);

    // Thirty blocks queued before the writer's next run are all drawn.
    SocketPair* pair = General::gobjListening->mobjSocketPairs.Item(h->mstrSocketPairKey).data();
    ASSERT_TRUE(pair);
    main->txtRealTime->clear();
    expected.clear();
    for (int i = 0; i < 30; ++i) {
        const QByteArray block = "b" + QByteArray::number(i) + ";";
        Log().ServerBytesReceived(pair, block, false);
        expected += "\n\n" + QString::fromLatin1(block);
    }
    EXPECT_EQ(Queued(), 30);
    ASSERT_TRUE(WaitUntil([] { return Queued() == 0; }));
    EXPECT_EQ(Pane(), expected);
}

TEST_F(RealTimePane, BlocksDroppedFromTheQueueAreOnlyOnesThePaneWouldNotShow)
{
    RawClient client(port);
    SocketPair* pair = Connect(client);
    ASSERT_TRUE(pair);
    Bare();
    quint32 seed = 7;
    const auto next = [&seed](int below) { seed = seed * 1103515245u + 12345u; return int((seed >> 8) % quint32(below)); };
    // Raw characters (a block as long as its bytes) and hex rows (several
    // times longer).
    for (auto [format, size, longest] : {std::tuple{0, "1", 300}, std::tuple{0, "50", 6000}, std::tuple{0, "4", 9000},
                                         std::tuple{1, "1", 300}, std::tuple{1, "50", 6000}}) {
        rt->optDisplayAs(format)->click();
        rt->txtRealTimeDataSize->setText(QString::fromLatin1(size));
        QList<QByteArray> blocks;
        for (int i = 0; i < 150; ++i) blocks.append(QByteArray(1 + next(longest), char('A' + i % 26)));
        // Drawn one at a time...
        main->txtRealTime->clear();
        for (const QByteArray& block : blocks) {
            Log().ServerBytesReceived(pair, block, false);
            Log().RunRealTimeWriter();
        }
        const QString oneByOne = Pane();
        // ...and all queued before one run.
        main->txtRealTime->clear();
        for (const QByteArray& block : blocks) Log().ServerBytesReceived(pair, block, false);
        EXPECT_LT(Queued(), 150) << size;
        Log().RunRealTimeWriter();
        EXPECT_EQ(Queued(), 0);
        EXPECT_EQ(Pane().size(), oneByOne.size()) << size;
        EXPECT_TRUE(Pane() == oneByOne) << size;
    }
}

TEST_F(RealTimePane, AKilobytePaneOfLineBreaksKeepsToItsBound)
{
    Bare();
    rt->txtRealTimeDataSize->setText("1");
    // The pane's count as its blocks were added: the document keeps each
    // CR LF as one line break.
    const auto added = [this] { const QString text = Pane(); return text.size() + text.count('\n'); };
    QByteArray lines;
    for (int i = 0; i < 25; ++i) lines += "ab\r\n";   // 100 bytes
    const qint64 block = 4 + lines.size();            // CR LF, the CR LF preamble, the data
    RawClient client(port);
    ASSERT_TRUE(Opened(client));
    qint64 largest = 0;
    for (int i = 0; i < 30; ++i) {
        const QByteArray message = lines + QByteArray::number(i).rightJustified(2, '0');
        client.Send(message);
        ASSERT_TRUE(client.WaitFor(message));
        Log().RunRealTimeWriter();
        ASSERT_EQ(Queued(), 0);
        ASSERT_TRUE(Pane().endsWith(QString::fromLatin1(message).replace("\r\n", "\n")));
        largest = std::max<qint64>(largest, added());
        ASSERT_LE(added(), 1024 + block) << i;
    }
    EXPECT_GT(largest, 1024 - block);
}

TEST_F(RealTimePane, AHugeBurstInHexEndsWithTheLastRowsWithinTheBound)
{
    QByteArray burst(4 * 1024 * 1024, '\0');
    for (int i = 0; i < burst.size(); ++i) burst[i] = char((i * 7 + i / 4096) & 0xFF);
    RawClient client(port);
    ASSERT_TRUE(Opened(client));
    client.Send(burst);
    ASSERT_TRUE(WaitUntil([&] { return client.got.size() >= burst.size(); }, 60000));
    ASSERT_TRUE(WaitUntil([] { return Queued() == 0; }));
    // The bound, allowing for the one header that is not counted against it.
    EXPECT_LE(PaneChars(), 50 * 1024 + 300);
    const auto last = LastOfType({SocketEventType::ServerBytesReceived, SocketEventType::ServerBytesSendStart});
    ASSERT_TRUE(last);
    const auto whole = tsy::FormatLibrary::Format(last->mstrData, 'h', 16);
    ASSERT_TRUE(whole.ok);
    const QString expected = AsPane(whole.text);
    const QString pane = Pane();
    const QString tail = expected.right(20000);
    EXPECT_TRUE(pane.endsWith(tail)) << pane.right(200).toStdString() << "\n--- expected ---\n" << tail.right(200).toStdString();
}

TEST_F(RealTimePane, NetworkTextIsDrawnAsPlainText)
{
    Bare();
    const QByteArray payload("<b>x</b>&amp;<script>");
    RawClient client(port);
    ASSERT_TRUE(Opened(client));
    client.Send(payload);
    ASSERT_TRUE(client.WaitFor(payload));
    ASSERT_TRUE(WaitUntil([&] { return Pane().contains(QString::fromLatin1(payload)); }));
    for (QTextBlock b = main->txtRealTime->document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it) EXPECT_NE(it.fragment().charFormat().fontWeight(), QFont::Bold);
    EXPECT_TRUE(main->txtRealTime->document()->toHtml().contains("&lt;b&gt;x&lt;/b&gt;&amp;amp;&lt;script&gt;"));
}

TEST_F(RealTimePane, BlocksAreDrawnInTheirDirectionsColours)
{
    RawClient client(port);
    SocketPair* pair = Connect(client);
    ASSERT_TRUE(pair);
    Bare();
    rt->chkServerToTSY->setChecked(true);
    rt->chkIncludeDescription->setChecked(true);
    Log().ServerBytesReceived(pair, "from-the-client", false);
    Log().ClientBytesReceived(pair, "from-the-server", false);
    Log().RunRealTimeWriter();
    EXPECT_EQ(ColourOf("from-the-client"), QColor(0, 0, 255));        // Color1 16711680 is blue
    EXPECT_EQ(ColourOf("from-the-server"), QColor(0xFF, 0x97, 0x97));  // Color4 light red
    // The header lines are black.
    const auto e = LastOfType({SocketEventType::ServerBytesReceived});
    EXPECT_EQ(ColourOf(e->mstrDescription), QColor(0, 0, 0));
}

TEST_F(RealTimePane, AReplayedPlainBlockStripsTheColoursAndTheNextIsColouredAgain)
{
    RawClient client(port);
    SocketPair* pair = Connect(client);
    ASSERT_TRUE(pair);
    Bare();
    Logging& log = Log();
    log.ServerBytesReceived(pair, "coloured-one", false);
    log.ServerBytesSendStart(pair, "throttled-one", false, true);   // replayed with colour 0
    ASSERT_TRUE(WaitUntil([] { return Queued() == 0; }));
    ASSERT_TRUE(AnyColoured());
    const auto h = LastHistory();
    main->tvwSockets_NodeClick(Logging::ProtocolKey(port));
    main->tvwSockets_NodeClick(Logging::ConnectionKey(*h));
    main->tvwSockets_NodeClick(h->mstrSocketPairKey);   // clears the pane and replays
    EXPECT_TRUE(Pane().contains("coloured-one"));
    EXPECT_TRUE(Pane().endsWith("throttled-one"));
    EXPECT_FALSE(AnyColoured());

    log.ServerBytesReceived(pair, "coloured-two", false);
    log.RunRealTimeWriter();
    EXPECT_EQ(ColourOf("coloured-two"), QColor(0, 0, 255));
    EXPECT_FALSE(ColourOf("coloured-one").isValid());
}

TEST_F(RealTimePane, OpeningASocketReplaysItsNewestTwentyBlocksWhole)
{
    RawClient client(port);
    SocketPair* pair = Connect(client);
    ASSERT_TRUE(pair);
    Bare();
    for (int i = 1; i <= 25; ++i) Log().ServerBytesReceived(pair, QStringLiteral("r%1;").arg(i, 2, 10, QChar('0')).toLatin1(), false);
    ASSERT_TRUE(WaitUntil([] { return Queued() == 0; }));
    const auto h = LastHistory();
    main->tvwSockets_NodeClick(Logging::ProtocolKey(port));
    main->tvwSockets_NodeClick(Logging::ConnectionKey(*h));
    main->tvwSockets_NodeClick(h->mstrSocketPairKey);
    // Twenty blocks, none dropped on the way.
    QString expected;
    for (int i = 6; i <= 25; ++i) expected += QStringLiteral("\n\nr%1;").arg(i, 2, 10, QChar('0'));
    EXPECT_EQ(Pane(), expected);
}

TEST_F(RealTimePane, AMissingFormatterIsReportedOncePerRunAndItsBlocksWaitWithinTheBound)
{
    RawClient client(port);
    SocketPair* pair = Connect(client);
    ASSERT_TRUE(pair);
    main->txtRealTime->clear();
    tsy::FormatLibrary::SetLibraryPath("/nonexistent/libTSYFMT10.so");
    const int before = Errors();
    for (int i = 0; i < 15; ++i) Log().ServerBytesReceived(pair, "old-block-" + QByteArray::number(i), false);
    EXPECT_EQ(Queued(), 15);   // together far below the pane's bound
    ASSERT_TRUE(WaitUntil([&] { return Errors() > before; }));
    Pump(120);   // the pending run has come and gone
    EXPECT_EQ(Errors(), before + 1);
    EXPECT_TRUE(frmError::Loaded()->LogText().contains(
        "An error occurred while attempting to display the real time data.  The operating system reports: 53, "));
    Log().RunRealTimeWriter();
    EXPECT_EQ(Errors(), before + 2);
    EXPECT_EQ(Queued(), 15);
    EXPECT_TRUE(Pane().isEmpty());

    // Once it is back, every waiting block is drawn, in order.
    tsy::FormatLibrary::SetLibraryPath(QString());
    Log().ServerBytesReceived(pair, "newest-block", false);
    ASSERT_TRUE(WaitUntil([] { return Queued() == 0; }));
    EXPECT_EQ(Errors(), before + 2);
    const auto newest = tsy::FormatLibrary::Format("newest-block", 'h', 16);
    EXPECT_TRUE(Pane().endsWith(AsPane(newest.text)));
    qsizetype at = 0;
    for (int i = 0; i < 15; ++i) {
        const auto rows = tsy::FormatLibrary::Format("old-block-" + QByteArray::number(i), 'h', 16);
        at = Pane().indexOf(AsPane(rows.text), at);
        ASSERT_GE(at, 0) << i;
    }

    // While it stays missing, what waits is what a 1 KB pane would show.
    Bare();
    rt->optDisplayAs(1)->click();
    rt->txtRealTimeDataSize->setText("1");
    tsy::FormatLibrary::SetLibraryPath("/nonexistent/libTSYFMT10.so");
    for (int i = 0; i < 40; ++i) Log().ServerBytesReceived(pair, QByteArray(100, char('a' + i % 26)), false);
    EXPECT_LE(Queued(), 11);
    EXPECT_EQ(Log().gstrData.last(), QByteArray(100, char('a' + 39 % 26)));
    ClearQueues();
}

TEST_F(RealTimePane, ShowSwitchesHideAndShowThePaneAtOnce)
{
    main->show();
    Pump(30);
    ASSERT_TRUE(main->txtRealTime->isVisible());
    // Loading this window with the main window lays it out no differently:
    // the pane sits at the bottom, level with the tree.
    EXPECT_GT(main->txtRealTime->height(), 20);
    EXPECT_NEAR(main->txtRealTime->geometry().bottom(), main->tvwSockets->geometry().bottom(), 3);
    // Unticking the show box hides the pane before any OK; Cancel brings it back.
    rt->chkShowRealTimeData->click();
    EXPECT_FALSE(main->txtRealTime->isVisible());
    rt->cmdCancel->click();
    EXPECT_TRUE(main->txtRealTime->isVisible());

    // The pane's close box and the toolbar's Hide untick the box.
    main->chkCloseRealTime->click();
    EXPECT_FALSE(rt->chkShowRealTimeData->isChecked());
    EXPECT_FALSE(main->txtRealTime->isVisible());
    EXPECT_FALSE(main->chkCloseRealTime->isChecked());
    QMenu* menu = ToolButton("Realtime")->menu();
    menu->actions().at(0)->trigger();
    EXPECT_TRUE(rt->chkShowRealTimeData->isChecked());
    EXPECT_TRUE(main->txtRealTime->isVisible());
    menu->actions().at(1)->trigger();
    EXPECT_FALSE(rt->chkShowRealTimeData->isChecked());
    EXPECT_FALSE(main->txtRealTime->isVisible());

    // Switched off, nothing is queued.
    RawClient client(port);
    ASSERT_TRUE(Opened(client));
    client.Send("quiet");
    ASSERT_TRUE(client.WaitFor("quiet"));
    EXPECT_EQ(Queued(), 0);

    // The View menu and the toolbar button open the window.
    QAction* item = main->menuBar()->findChild<QAction*>(QStringLiteral("mnuRealTimeData"));
    ASSERT_TRUE(item);
    item->trigger();
    EXPECT_TRUE(rt->isVisible());
    rt->hide();
    ToolButton("Realtime")->click();
    EXPECT_TRUE(rt->isVisible());
}

TEST_F(RealTimePane, ShutdownStoresAndTheRecorderNeverLoadsTheMainWindow)
{
    rt->chkServerToTSY->setChecked(true);
    rt->optDisplayAs(3)->click();
    main->Terminate();
    EXPECT_FALSE(frmRealTimeData::IsLoaded());
    EXPECT_EQ(tsy::Settings::GetSetting("RealTime", "ServerToTSY", "?"), "1");
    EXPECT_EQ(tsy::Settings::GetSetting("RealTime", "DisplayAs", "?"), "3");
    Pump(20);
    ASSERT_FALSE(frmMain::IsLoaded());

    // The next run reads them; data events now load only this window.
    General::gobjListening = new Listening;
    General::gobjListening->InitaliseListeningSockets();
    RawClient client(port);
    ASSERT_TRUE(Opened(client));
    client.Send("after");
    ASSERT_TRUE(client.WaitFor("after"));
    EXPECT_TRUE(frmRealTimeData::IsLoaded());
    EXPECT_TRUE(frmRealTimeData::Instance()->chkServerToTSY->isChecked());
    EXPECT_EQ(frmRealTimeData::Instance()->optDisplayAs.Chosen(), 3);
    EXPECT_FALSE(frmMain::IsLoaded());
    EXPECT_GT(Queued(), 0);
}

// The formatter's exact lengths and its last rows, against the whole text.
TEST(RealTimeFormatting, LengthsAndLastRowsMatchTheWholeText)
{
    QByteArray data(1000, '\0');
    for (int i = 0; i < data.size(); ++i) data[i] = char(i * 37);
    for (char format : {'h', 'o', 'd', 'b'})
        for (int perRow : {4, 8, 12, 16, 128})
            for (int length : {0, 1, 7, 8, 9, perRow, perRow + 1, 999}) {
                const auto whole = tsy::FormatLibrary::Format(data.left(length), format, perRow);
                ASSERT_TRUE(whole.ok);
                EXPECT_EQ(tsy::FormatLibrary::FormattedLength(length, format, perRow), whole.text.size())
                    << format << " " << perRow << " " << length;
            }
    // Offsets past 1,000,000 overlap the blanks as the whole text does.
    QByteArray big(1000100, 'z');
    const auto whole = tsy::FormatLibrary::Format(big, 'h', 16);
    // Full rows are 78 characters, the last one (4 bytes) 40.
    const std::pair<qint64, qsizetype> limits[] = {{0, 0}, {39, 0}, {77, 40}, {118, 118}, {500, 430}, {51200, 51130}};
    for (const auto& [limit, kept] : limits) {
        const auto tail = tsy::FormatLibrary::FormatLastRows(big, 'h', 16, limit);
        ASSERT_TRUE(tail.ok);
        EXPECT_EQ(tail.text.size(), kept) << limit;
        EXPECT_TRUE(whole.text.endsWith(tail.text)) << limit;
    }
}

} // namespace
