// The connection diagram on a real main window: where each event type puts
// its elements, paging and the navigation panels, the highlight's scrolling,
// live additions, and the purge trimming a shown history under real traffic.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "export/SavingHTML.h"
#include "export/frmEventDetails.h"
#include "history/Logging.h"
#include "mainwindow/DiagramArrow.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/AnimationControl.h"
#include "platform/KeyedTree.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"

#include <QAction>
#include <QDir>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <gtest/gtest.h>

namespace {

using namespace SocketEventType;

const char* kPurged = "Since this data was displayed to the screen, it has been unloaded from memory";

double Tw(int px) { return tsy::Runtime::PixelsToTwips(px); }
int Px(double twips) { return tsy::Runtime::TwipsToPixels(qRound(twips)); }

// Twips read back from pixels match within one pixel.
#define EXPECT_TWIPS(px, twips) EXPECT_NEAR(Tw(px), (twips), tsy::Runtime::TwipsPerPixel())

int Errors() { return frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0; }
QString ErrorLog() { return frmError::Loaded() ? frmError::Loaded()->LogText() : QString(); }

struct Ev {
    int type;
    bool followOn = false;
};

class DiagramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        frmMain::SetEndProgramHook([] {});
        General::gblnLoggingEnabled = true;
        General::gblnApplicationClosing = false;
        General::gblnConnectionDiagramView = true;
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
        main = frmMain::Instance();
        main->show();
        errorsBefore = Errors();
    }

    void TearDown() override
    {
        for (SocketPair* p : pairs) delete p;
        tsytest::UnloadMainWindowAndEngine();
        General::gblnConnectionDiagramView = false;
        tsytest::ClearSettings();
    }

    // A history held under key, with a socket node in the tree, made the
    // selected node; its events are numbered in their descriptions.
    std::shared_ptr<SocketPairHistory> Hold(const QString& key, const QList<Ev>& events)
    {
        auto h = std::make_shared<SocketPairHistory>();
        h->mstrSocketPairKey = key;
        h->mstrRemoteClientIP = "127.0.0.1";
        h->mlngRemoteClientPort = 50000;
        h->mstrRemoteServerIP = "10.0.0.2";
        h->mlngRemoteServerPort = 80;
        h->mlngLocalServerPort = 1000;
        for (const Ev& e : events) Append(*h, e);
        General::gobjLogging->mobjSocketPairHistory.Add(h, key);
        main->tvwSockets->Add("ROOT", key, "Alive", "Socket");
        main->tvwSockets->SetTag(key, key);
        main->mnodSelectedNode = key;
        return h;
    }
    static void Append(SocketPairHistory& h, const Ev& e)
    {
        auto ev = std::make_shared<SocketEvent>();
        ev->mobjEventType = e.type;
        ev->mblnNextEventFollowOn = e.followOn;
        ev->mstrDescription = "Event " + QString::number(h.mlngEventCount + 1);
        ev->mstrEventTime = QString("12:00:%1.000").arg(h.mlngEventCount % 60, 2, 10, QChar('0'));
        h.AddEvent(ev);
    }
    static QList<Ev> Same(int type, int n) { return QList<Ev>(n, Ev{type}); }

    QString Panel(int i) { return main->lblDetails->PanelText(i); }
    bool Enabled(const char* name) { return main->barNavigation->findChild<QAction*>(name)->isEnabled(); }
    QList<bool> Buttons() { return {Enabled("First"), Enabled("Previous"), Enabled("Next"), Enabled("Last")}; }
    int Elements()
    {
        int n = 0;
        for (auto* a : {&main->aniClient, &main->aniTSY, &main->aniServer}) n += int(a->size());
        for (auto* a : {&main->aniClient2TSY, &main->aniTSY2Server}) n += int(a->size());
        for (auto* a : {&main->pctInternet, &main->lblClient, &main->lblTSY, &main->lblServer, &main->lblClient2TSY,
                        &main->lblTSY2Server})
            n += int(a->size());
        return n;
    }
    // The viewport made H twips high, as the layout would leave it.
    void ViewportHeight(double H)
    {
        QFrame* v = main->panDiagramOuter;
        v->resize(v->width(), Px(H));
        main->UpdateDiagramScrollBars();
    }

    frmMain* main = nullptr;
    std::vector<SocketPair*> pairs;
    int errorsBefore = 0;
};

TEST_F(DiagramTest, EachEventTypePlacesItsElementsInTheirColumns)
{
    const auto h = Hold("KEY1", {{LocalServerAcceptedConnection},   // row 1
                                 {ConnectionAttemptToRemoteServer},  // 2: cloud
                                 {ConnectionAttemptFailed},          // 3: error server
                                 {ServerInBadState},                 // 4: bare client arrow, error client
                                 {ClientInBadState},                 // 5: bare server arrow, error server
                                 {ServerBytesReceived, true},        // 6: client, arrow, proxy...
                                 {ClientBytesSendStart},             //    ...then server arrow and server
                                 {ServerBytesReceived, true},        // 7
                                 {ServerBytesSendStart},             // 8: its arrow's side is taken
                                 {99}});                             // 9: nothing at all
    h->mstrRemoteClientName = "client.example";
    main->ShowDetailsView();
    EXPECT_FALSE(main->panDiagramOuter->isHidden());
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();

    // Row 1: the layout's columns and tops.
    auto* client = main->aniClient.value(1).data();
    auto* proxy = main->aniTSY.value(1).data();
    auto* arrow = main->aniClient2TSY.value(1).data();
    ASSERT_TRUE(client && proxy && arrow);
    EXPECT_TWIPS(client->x(), 800);
    EXPECT_TWIPS(proxy->x(), 4655);
    EXPECT_TWIPS(arrow->x(), 2167.5);
    EXPECT_TWIPS(client->y(), 1200);
    EXPECT_TWIPS(arrow->y(), 1200);
    EXPECT_EQ(client->size(), QSize(57, 49));
    EXPECT_EQ(arrow->size(), QSize(128, 48));
    EXPECT_TRUE(client->IsOpen());
    EXPECT_EQ(main->lblClient.value(1)->text(), "client.example\n(127.0.0.1:50000)");
    EXPECT_EQ(main->lblTSY.value(1)->text(), "127.0.0.1:1000");
    EXPECT_EQ(main->lblClient2TSY.value(1)->text(), "Event 1\n12:00:00.000");
    EXPECT_EQ(main->lblClient2TSY.value(1)->textFormat(), Qt::PlainText);
    EXPECT_EQ(client->property("Tag").toString(), "1");
    EXPECT_EQ(h->mobjSocketPairEvents.Item(1)->mobjUIObject.data(), arrow);
    EXPECT_EQ(arrow->cursor().shape(), Qt::PointingHandCursor);

    // Row 2: the cloud 520 twips above a computer, in the server column.
    ASSERT_TRUE(main->pctInternet.value(2));
    EXPECT_TWIPS(main->pctInternet.value(2)->x(), 8510);
    EXPECT_TWIPS(main->pctInternet.value(2)->y(), 2 * 1600 - 920);
    EXPECT_EQ(main->pctInternet.value(2)->size(), QSize(128, 107));
    EXPECT_TWIPS(main->aniTSY2Server.value(2)->x(), 6022.5);

    // Rows 3 to 5: error computers are 1200 high with an empty caption; the
    // bad-state arrows have no clip but keep their caption.
    EXPECT_TWIPS(main->aniServer.value(3)->x(), 8510);
    EXPECT_TWIPS(main->aniServer.value(3)->height(), 1200);
    EXPECT_EQ(main->lblServer.value(3)->text(), "");
    EXPECT_TWIPS(main->lblServer.value(3)->y(), 3 * 1600 - 400 + 1200 + 80);
    EXPECT_FALSE(main->aniClient2TSY.value(4)->IsOpen());
    EXPECT_EQ(main->lblClient2TSY.value(4)->text(), "Event 4\n12:00:03.000");
    EXPECT_TWIPS(main->aniClient.value(4)->height(), 1200);
    EXPECT_FALSE(main->aniTSY2Server.value(5)->IsOpen());
    EXPECT_TWIPS(main->aniServer.value(5)->height(), 1200);

    // Row 6: a received block and its follow-on send share one row.
    EXPECT_TRUE(main->aniClient.value(6) && main->aniTSY.value(6) && main->aniServer.value(6));
    EXPECT_TRUE(main->aniClient2TSY.value(6) && main->aniTSY2Server.value(6));
    EXPECT_EQ(main->aniTSY2Server.value(6)->property("Tag").toString(), "7");
    EXPECT_EQ(main->aniTSY.value(6)->property("Tag").toString(), "6");

    // Rows 7 and 8: a follow-on whose arrow falls on the side already drawn
    // gets a row of its own, proxy included; both arrows stay.
    EXPECT_EQ(main->aniClient2TSY.value(7)->property("Tag").toString(), "8");
    EXPECT_EQ(h->mobjSocketPairEvents.Item(8)->mobjUIObject.data(), main->aniClient2TSY.value(7).data());
    EXPECT_EQ(main->aniClient2TSY.value(8)->property("Tag").toString(), "9");
    EXPECT_EQ(main->aniClient.value(8)->property("Tag").toString(), "9");
    EXPECT_EQ(main->aniTSY.value(8)->property("Tag").toString(), "9");

    // Event 10's type draws nothing; nothing stands beyond row 8.
    EXPECT_EQ(main->aniTSY.lastKey(), 8);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(int(main->fraConnectionPanel->findChildren<tsy::AnimationControl*>(Qt::FindDirectChildrenOnly).size()),
              int(main->aniClient.size() + main->aniTSY.size() + main->aniServer.size() + main->aniClient2TSY.size()
                  + main->aniTSY2Server.size()));
    EXPECT_EQ(Panel(2), "Events: 10  ");
    EXPECT_EQ(Panel(3), "Page 1 of 1  ");
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

// An arrow's caption box has room for a few lines: a long description wraps
// at its blanks, each line centred, every line inside the box, and the lines
// drawn are the lines laid out.
TEST_F(DiagramTest, LongArrowCaptionsWrapCentredWithinTheirBox)
{
    const QStringList descriptions = {
        "27 bytes of data has been received from the remote client.",
        "An error occurred while connecting: Connection refused (10061)",
        "1024 bytes of data has been sent to the remote server.",
    };
    const auto h = Hold("KEY1", {{ServerBytesReceived}, {ServerInBadState}, {ClientBytesSendStart}});
    for (int i = 0; i < 3; ++i) h->mobjSocketPairEvents.Item(i + 1)->mstrDescription = descriptions[i];
    // Far longer than the box holds at any size.
    h->mobjSocketPairEvents.Item(3)->mstrDescription = QString("very long words ").repeated(30).trimmed();
    main->ShowDetailsView();
    QCoreApplication::processEvents();

    const auto words = [](const QString& text) { return text.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts); };
    for (int row = 1; row <= 3; ++row) {
        SCOPED_TRACE(row);
        auto* caption = qobject_cast<DiagramCaption*>((row == 3 ? main->lblTSY2Server : main->lblClient2TSY).value(row));
        ASSERT_TRUE(caption);
        EXPECT_TWIPS(caption->width(), 2000);
        EXPECT_TWIPS(caption->height(), 800);
        const auto& layout = caption->Lines();
        ASSERT_GE(layout.lines.size(), 2);
        const QRectF box(QPointF(0, 0), QSizeF(caption->size()));
        double bottom = 0;
        QStringList drawn;
        for (const auto& line : layout.lines) {
            EXPECT_TRUE(box.adjusted(-0.01, -0.01, 0.01, 0.01).contains(line.rect)) << line.text.toStdString();
            EXPECT_NEAR(line.rect.center().x(), box.width() / 2, 1.0) << line.text.toStdString();
            EXPECT_GE(line.rect.top(), bottom - 0.01);
            bottom = line.rect.bottom();
            drawn << line.text;
        }
        if (row < 3) {
            // The description over more than one line, the time on its own.
            EXPECT_TRUE(layout.whole);
            EXPECT_GE(layout.lines.size(), 3);
            EXPECT_EQ(words(drawn.join(' ')), words(caption->text()));
            EXPECT_EQ(drawn.last(), h->mobjSocketPairEvents.Item(row)->mstrEventTime);
        } else {
            EXPECT_FALSE(layout.whole);
            EXPECT_TRUE(drawn.last().endsWith(QChar(0x2026))) << drawn.last().toStdString();
        }

        // Ink only where a line is, and on every line.
        QImage image(caption->size(), QImage::Format_RGB32);
        image.fill(Qt::white);
        caption->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        QList<int> inked(layout.lines.size(), 0);
        int stray = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixel(x, y) == qRgb(255, 255, 255)) continue;
                int on = -1;
                for (int i = 0; i < layout.lines.size() && on < 0; ++i)
                    if (layout.lines[i].rect.adjusted(-1, -1, 1, 1).contains(QPointF(x + 0.5, y + 0.5))) on = i;
                if (on < 0) ++stray;
                else ++inked[on];
            }
        }
        EXPECT_EQ(stray, 0);
        for (int i = 0; i < inked.size(); ++i) EXPECT_GT(inked[i], 0) << layout.lines[i].text.toStdString();
    }
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(DiagramTest, TwentyRowsFillAPageAndGrowTheCanvas)
{
    const auto h = Hold("KEY1", Same(ClientBytesReceived, 20));
    main->ShowDetailsView();
    ASSERT_TRUE(main->aniTSY.value(20));
    EXPECT_TWIPS(main->aniTSY.value(20)->y(), 31600);
    EXPECT_TWIPS(main->fraConnectionPanel->height(), 31600 + 2100);
    EXPECT_EQ(Buttons(), QList<bool>({false, false, false, false}));
    EXPECT_EQ(Panel(3), "Page 1 of 1  ");
    EXPECT_TRUE(main->scrConnectionPanelVert->isEnabled());

    // The 21st event, arriving live, makes a second page and is not drawn.
    Append(*h, {ClientBytesReceived});
    main->AddConnectionDiagramEvent(h);
    EXPECT_EQ(main->mintPageCount, 2);
    EXPECT_EQ(main->aniTSY.lastKey(), 20);
    EXPECT_TRUE(h->mobjSocketPairEvents.Item(21)->mobjUIObject.isNull());
    EXPECT_EQ(Buttons(), QList<bool>({false, false, true, true}));
    EXPECT_EQ(Panel(3), "Page 1 of 2  ");
    EXPECT_EQ(Panel(2), "Events: 21  ");

    // Next: the second page starts at row 1 even though event 20 announced a follow-on.
    h->mobjSocketPairEvents.Item(20)->mblnNextEventFollowOn = true;
    main->barNavigation->findChild<QAction*>("Next")->trigger();
    EXPECT_EQ(main->mintCurrentPage, 1);
    ASSERT_TRUE(main->aniTSY.value(1));
    EXPECT_EQ(main->aniTSY.size(), 1);
    EXPECT_EQ(main->aniTSY.value(1)->property("Tag").toString(), "21");
    EXPECT_EQ(Buttons(), QList<bool>({true, true, false, false}));

    // Back on the first page, more events on the same two pages: not drawn,
    // and the count in the title follows within the panel's cadence.
    main->barNavigation->findChild<QAction*>("First")->trigger();
    for (int i = 0; i < 2; ++i) {
        Append(*h, {ClientBytesReceived});
        main->AddConnectionDiagramEvent(h);
    }
    EXPECT_EQ(main->aniTSY.lastKey(), 20);
    EXPECT_TRUE(tsytest::WaitUntil([&] { return Panel(2) == "Events: 23  "; }, 10000)) << Panel(2).toStdString();
    EXPECT_EQ(Panel(3), "Page 1 of 2  ");
    EXPECT_EQ(Buttons(), QList<bool>({false, false, true, true}));
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(DiagramTest, PagesButtonsAndPanelsFollowTheShownPage)
{
    // Which page holds an event, in 32 bits.
    main->mintCurrentPage = 0;
    EXPECT_TRUE(main->CheckForPageChange(21));
    EXPECT_EQ(main->mintCurrentPage, 1);
    EXPECT_TRUE(main->CheckForPageChange(20));
    EXPECT_EQ(main->mintCurrentPage, 0);
    main->mintCurrentPage = 1;
    EXPECT_FALSE(main->CheckForPageChange(40));
    EXPECT_FALSE(main->CheckForPageChange(0));
    EXPECT_EQ(main->mintCurrentPage, 1);
    EXPECT_TRUE(main->CheckForPageChange(700000));
    EXPECT_EQ(main->mintCurrentPage, 34999);

    const auto h = Hold("KEY1", Same(ServerBytesReceived, 45));
    main->ShowDetailsView();
    EXPECT_EQ(main->mintPageCount, 3);
    main->barNavigation_ButtonClick(3);
    EXPECT_EQ(Panel(3), "Page 2 of 3  ");
    EXPECT_EQ(Buttons(), QList<bool>({true, true, true, true}));
    EXPECT_EQ(Panel(2), "Events: 45  ");
    ASSERT_TRUE(main->HighlightEventAt(23));
    EXPECT_EQ(Panel(2), "Event 23 of 45  ");
    EXPECT_FALSE(main->shpHighlight->isHidden());

    main->barNavigation_ButtonClick(4);
    EXPECT_EQ(main->mintCurrentPage, 2);
    EXPECT_EQ(main->aniTSY.size(), 5);
    EXPECT_TRUE(main->shpHighlight->isHidden());   // a page display drops the frame
    EXPECT_EQ(Panel(2), "Events: 45  ");
    EXPECT_EQ(Buttons(), QList<bool>({true, true, false, false}));
    main->barNavigation_ButtonClick(2);
    EXPECT_EQ(main->mintCurrentPage, 1);
    main->barNavigation_ButtonClick(1);
    EXPECT_EQ(main->mintCurrentPage, 0);
    EXPECT_EQ(Buttons(), QList<bool>({false, false, true, true}));

    // The purge trims the history while the last page is chosen: the next
    // display falls back to the page that is left.
    main->mintCurrentPage = 2;
    while (h->mobjSocketPairEvents.Count() > 30) h->mobjSocketPairEvents.Remove(1);
    main->DisplayConnectionDiagram(h);
    EXPECT_EQ(main->mintCurrentPage, 1);
    EXPECT_EQ(Panel(3), "Page 2 of 2  ");

    // Every event gone (an event limit of 0): no page, every button off.
    while (h->mobjSocketPairEvents.Count() > 0) h->mobjSocketPairEvents.Remove(1);
    main->DisplayConnectionDiagram(h);
    EXPECT_EQ(main->mintPageCount, 0);
    EXPECT_EQ(main->mintCurrentPage, 0);
    EXPECT_EQ(Buttons(), QList<bool>({false, false, false, false}));
    EXPECT_EQ(Panel(2), "Events: 0  ");
    EXPECT_EQ(Panel(3), "");
    EXPECT_EQ(Elements(), 0);

    // Hidden viewport or a port node: buttons off, panels empty.
    main->tvwSockets->Add("ROOT", "PROTO1000", "Port (1000)", "Protocol");
    main->mnodSelectedNode = "PROTO1000";
    main->ShowDetailsView();
    EXPECT_TRUE(main->panDiagramOuter->isHidden());
    main->UpdateNavigationState();
    EXPECT_EQ(Buttons(), QList<bool>({false, false, false, false}));
    EXPECT_EQ(Panel(2), "");
    EXPECT_EQ(Panel(3), "");
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(DiagramTest, HighlightScrollsTheFrameIntoView)
{
    const auto h = Hold("KEY1", Same(ServerBytesReceived, 20));
    main->ShowDetailsView();
    const double H = 3000;
    ViewportHeight(H);
    const auto frameTop = [&] { return Tw(main->fraConnectionPanel->y()) + Tw(main->shpHighlight->y()); };
    const auto frameBottom = [&] { return frameTop() + Tw(main->shpHighlight->height()); };
    const double unit = 10 + tsy::Runtime::TwipsPerPixel();

    // Row 20 in a short viewport: the frame's bottom edge two thirds down.
    ASSERT_TRUE(main->HighlightEvent(main->aniClient2TSY.value(20)));
    EXPECT_NEAR(frameBottom(), 2 * H / 3, unit);
    EXPECT_TWIPS(main->shpHighlight->x(), 2167.5 - 45);
    EXPECT_TWIPS(main->shpHighlight->width(), 1920 + 90);
    EXPECT_EQ(main->mintCurrentEvent, 20);
    EXPECT_NEAR(Tw(main->fraConnectionPanel->y()), -10.0 * main->scrConnectionPanelVert->value(),
                tsy::Runtime::TwipsPerPixel());

    // Row 1 while scrolled down: the top edge a third of the way down.
    ASSERT_TRUE(main->HighlightEvent(main->aniClient2TSY.value(1)));
    EXPECT_NEAR(frameTop(), H / 3, unit);
    EXPECT_LE(main->fraConnectionPanel->y(), 0);

    // Already in view: no scrolling.
    const int before = main->fraConnectionPanel->y();
    ASSERT_TRUE(main->HighlightEvent(main->aniClient2TSY.value(1)));
    EXPECT_EQ(main->fraConnectionPanel->y(), before);

    // A viewport taller than the canvas: the bar is off and the canvas at the top.
    ViewportHeight(40000);
    EXPECT_FALSE(main->scrConnectionPanelVert->isEnabled());
    EXPECT_EQ(main->fraConnectionPanel->y(), 0);
    // A viewport of no height (minimised, collapsed): no division by it.
    ViewportHeight(0);
    EXPECT_FALSE(main->scrConnectionPanelVert->isEnabled());
    EXPECT_FALSE(main->scrConnectionPanelHoriz->isEnabled() && main->panDiagramOuter->width() == 0);
    EXPECT_TRUE(main->HighlightEvent(main->aniClient2TSY.value(10)));
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();

    // Something that is no arrow of this page: the purge message, the frame hidden.
    EXPECT_FALSE(main->HighlightEvent(nullptr));
    EXPECT_TRUE(main->shpHighlight->isHidden());
    EXPECT_TRUE(ErrorLog().contains(kPurged));
}

TEST_F(DiagramTest, LiveEventsAreDrawnOnlyIntoTheShownHistory)
{
    // Through the recorder, as a connection reports its events.
    auto* pair = new SocketPair;
    pairs.push_back(pair);
    pair->SetSocketPairKey("KEY5");
    pair->sckServer->SetLocalPort(1000);
    Logging& log = *General::gobjLogging;
    main->tvwSockets->Add("ROOT", "PROTO1000", "Port (1000)", "Protocol");
    log.LocalServerAcceptedConnection(pair, false, 1000);
    const auto h = log.mobjSocketPairHistory.Item("KEY5");
    main->tvwSockets->Add("ROOT", "KEY5", "Alive", "Socket");
    main->tvwSockets->SetTag("KEY5", "KEY5");
    main->mnodSelectedNode = "KEY5";
    main->ShowDetailsView();
    EXPECT_EQ(main->aniTSY.size(), 1);

    log.ServerBytesReceived(pair, "abc", true);
    log.ClientBytesSendStart(pair, "abc", false, false);
    EXPECT_EQ(main->aniTSY.size(), 2);
    EXPECT_TRUE(main->aniTSY2Server.value(2));
    EXPECT_EQ(main->aniTSY2Server.value(2)->property("Tag").toString(), "3");
    EXPECT_EQ(Panel(2), "Events: 3  ");

    // A left click on an arrow frames it; the frame lets the next click through.
    for (int round = 0; round < 2; ++round) {
        QTest::mouseClick(main->aniTSY2Server.value(2), Qt::LeftButton, {}, QPoint(64, 24));
        EXPECT_FALSE(main->shpHighlight->isHidden());
        EXPECT_EQ(main->mintCurrentEvent, 3);
        EXPECT_EQ(Panel(2), "Event 3 of 3  ");
        QTest::mouseClick(main->aniClient2TSY.value(1), Qt::LeftButton, {}, QPoint(64, 24));
        EXPECT_EQ(main->mintCurrentEvent, 1);
    }

    // While an event node is selected nothing is drawn; the highlight of an
    // event held but not drawn draws its page first.
    main->tvwSockets->Add("KEY5", "KEY5-1", "Event", "Event");
    main->mnodSelectedNode = "KEY5-1";
    log.ClientBytesReceived(pair, "abc", false);
    EXPECT_EQ(main->aniTSY.size(), 2);
    EXPECT_TRUE(main->HighlightEventAt(4));
    EXPECT_EQ(main->aniTSY.size(), 3);
    EXPECT_EQ(main->mintCurrentEvent, 4);

    // A new connection given the key of a purged one is not drawn into the
    // diagram that still shows the old history.
    main->mnodSelectedNode = "KEY5";
    log.mobjSocketPairHistory.Remove("KEY5");
    log.LocalServerAcceptedConnection(pair, false, 1000);
    log.ServerBytesReceived(pair, "xyz", false);
    EXPECT_EQ(main->mobjCurrentHistory, h);
    EXPECT_EQ(main->aniTSY.size(), 3);

    // A trim since the page was drawn: the next event redraws the page
    // instead of drawing onto stale rows.
    main->mnodSelectedNode = "KEY5";
    const auto fresh = log.mobjSocketPairHistory.Item("KEY5");
    main->DisplayConnectionDiagram(fresh);
    for (int i = 0; i < 10; ++i) log.ServerBytesReceived(pair, "x", false);
    EXPECT_EQ(main->aniTSY.size(), 12);
    for (int i = 0; i < 5; ++i) fresh->mobjSocketPairEvents.Remove(1);
    log.ServerBytesReceived(pair, "y", false);
    EXPECT_EQ(main->aniTSY.size(), 8);
    for (auto it = main->aniClient2TSY.cbegin(); it != main->aniClient2TSY.cend(); ++it) {
        const int position = it.value()->property("Tag").toString().toInt();
        EXPECT_EQ(it.value()->mobjEvent.lock(), fresh->mobjSocketPairEvents.Item(position)) << it.key();
    }
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST(DiagramArtwork, EveryClipOfTheDrawingTableIsAValidGif)
{
    const QDir res(QString::fromLocal8Bit(qgetenv("TSY_BIN_DIR")) + "/res");
    const QStringList computers = {"ComputerComingOn", "ComputerOn", "ComputerGoingOff", "Error"};
    const QStringList arrows = {"LightningBolt", "LightningBoltX", "LightningBoltGrey", "C2SData", "S2CData",
                                "C2SBuffer", "S2CBuffer", "C2SDangleBuffer", "S2CDangleBuffer", "C2SThrottle",
                                "S2CThrottle", "DangleStart", "DangleStop"};
    for (const QString& name : computers + arrows) {
        QMovie movie(res.filePath(name + ".gif"));
        ASSERT_TRUE(movie.isValid()) << name.toStdString();
        movie.jumpToFrame(0);
        EXPECT_EQ(movie.currentImage().size(), computers.contains(name) ? QSize(57, 49) : QSize(128, 48))
            << name.toStdString();
        EXPECT_GT(movie.frameCount(), 1) << name.toStdString();
    }
    EXPECT_EQ(QPixmap(res.filePath("Cloud.bmp")).size(), QSize(128, 107));
}

// ---------------------------------------------------------------------------
// Real traffic through a Pass Through port while the diagram is shown
// ---------------------------------------------------------------------------

class DiagramTrafficTest : public DiagramTest {
protected:
    void SetUp() override
    {
        DiagramTest::SetUp();
        tsytest::SwitchOffFailureSimulation();
        frmOptions::Instance()->txtMaximumEventCount->setText("30");
        ASSERT_TRUE(tsytest::ListenAsEcho(echo));
        port = tsytest::FreePort();
        tsytest::SavePassThroughPort(port, "127.0.0.1", echo.serverPort(), "Echo");
        General::gobjListening->InitaliseListeningSockets();
        main->tvwSockets_NodeClick("ROOT");
    }

    // Sends one line and waits for it back; false when it does not come.
    bool RoundTrip(QTcpSocket& client, int i)
    {
        const QByteArray line = "line " + QByteArray::number(i) + "\n";
        client.write(line);
        return tsytest::WaitUntil([&] { got += client.readAll(); return got.endsWith(line); });
    }

    void OpenSocketNode(QTcpSocket& client)
    {
        client.connectToHost(QHostAddress::LocalHost, quint16(port));
        ASSERT_TRUE(client.waitForConnected(5000));
        ASSERT_TRUE(RoundTrip(client, 0));
        ASSERT_EQ(General::gobjLogging->mobjSocketPairHistory.Count(), 1);
        key = General::gobjLogging->mobjSocketPairHistory.KeyAt(1);
        main->tvwSockets_NodeClick("PROTO" + QString::number(port));
        main->tvwSockets_NodeClick("CON" + QString::number(port) + "127.0.0.1127.0.0.1");
        main->tvwSockets_NodeClick(key);
        ASSERT_FALSE(main->panDiagramOuter->isHidden());
    }

    QTcpServer echo;
    int port = 0;
    QString key;
    QByteArray got;
};

TEST_F(DiagramTrafficTest, ThePurgeNeverLeavesMoreThanOnePageOnTheCanvas)
{
    QTcpSocket client;
    OpenSocketNode(client);
    main->barNavigation_ButtonClick(4);

    int worstRow = 0, worstElements = 0;
    const auto h = [&] { return General::gobjLogging->mobjSocketPairHistory.Item(key); };
    for (int i = 1; h()->mlngEventCount < 2000; ++i) {
        ASSERT_TRUE(RoundTrip(client, i)) << i;
        if (main->mnodSelectedNode == key && main->mintCurrentPage + 1 < main->mintPageCount)
            main->barNavigation_ButtonClick(4);
        worstRow = std::max(worstRow, main->aniTSY.isEmpty() ? 0 : main->aniTSY.lastKey());
        worstElements = std::max(worstElements, Elements());
    }
    EXPECT_LE(worstRow, 20);
    EXPECT_LE(worstElements, 220);
    EXPECT_LE(h()->mobjSocketPairEvents.Count(), 51);

    // Every arrow on the canvas opens the event it shows. The last page may
    // hold only the tail of a round trip, all on one side (how the events
    // group depends on the machine's pace): step back to one with both.
    for (int p = main->mintPageCount; p > 0 && (main->aniClient2TSY.isEmpty() || main->aniTSY2Server.isEmpty()); --p)
        main->barNavigation_ButtonClick(2);
    ASSERT_FALSE(main->aniClient2TSY.isEmpty());
    ASSERT_FALSE(main->aniTSY2Server.isEmpty());
    for (DiagramArrow* arrow : {main->aniClient2TSY.first().data(), main->aniTSY2Server.last().data()}) {
        ASSERT_TRUE(arrow);
        const QString caption = (arrow->mblnServerSide ? main->lblTSY2Server : main->lblClient2TSY)
                                    .value(arrow->mintRow)->text();
        arrow->mblnServerSide ? main->aniTSY2Server_Click(arrow->mintRow) : main->aniClient2TSY_Click(arrow->mintRow);
        ASSERT_FALSE(main->shpHighlight->isHidden());
        const auto& shown = h()->mobjSocketPairEvents.Item(main->mintCurrentEvent);
        EXPECT_EQ(caption, shown->mstrDescription + "\n" + shown->mstrEventTime);
    }
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();

    // The first page, then more traffic: the trim drops the events it shows.
    main->barNavigation_ButtonClick(1);
    QPointer<DiagramArrow> stale = main->aniClient2TSY.first();
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(RoundTrip(client, 5000 + i));
    ASSERT_TRUE(stale);
    ASSERT_TRUE(stale->mobjEvent.expired());
    main->aniClient2TSY_Click(stale->mintRow);
    EXPECT_TRUE(ErrorLog().contains(kPurged));
    EXPECT_EQ(main->mnodSelectedNode, "ROOT");
    EXPECT_TRUE(main->panDiagramOuter->isHidden());
}

TEST_F(DiagramTrafficTest, ServerArrowOfAClearedConnectionReturnsToAllActivity)
{
    QTcpSocket client;
    OpenSocketNode(client);
    ASSERT_FALSE(main->aniTSY2Server.isEmpty());
    const int row = main->aniTSY2Server.firstKey();
    client.disconnectFromHost();
    ASSERT_TRUE(tsytest::WaitUntil([&] { return General::gobjLogging->mobjSocketPairHistory.Item(key)->mblnDead; }));
    General::gobjLogging->ClearAllData();
    ASSERT_FALSE(General::gobjLogging->mobjSocketPairHistory.Exists(key));

    main->aniTSY2Server_Click(row);
    EXPECT_TRUE(ErrorLog().contains(kPurged));
    EXPECT_EQ(main->mnodSelectedNode, "ROOT");
    EXPECT_TRUE(main->panDiagramOuter->isHidden());
}

// The proxy's own reply to a command before the login goes to the command's
// side of the diagram. Each gets a row of its own, drawn live and redrawn,
// and in the HTML export: both stay clickable and every page is linked. A
// follow-on on the other side still shares its row.
TEST_F(DiagramTrafficTest, TheProxysReplyStandsBesideItsCommandNotOverIt)
{
    const int ftp = tsytest::ListenWithProtocol("FTP");
    const QString port = QString::number(ftp);
    main->tvwSockets->Add("ROOT", "PROTO" + port, "FTP (" + port + ")", "Protocol");
    main->tvwSockets->SetTag("PROTO" + port, port);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(ftp));
    ASSERT_TRUE(client.waitForConnected(5000));
    ASSERT_TRUE(tsytest::WaitUntil([&] { got += client.readAll(); return got.contains("220 "); }));
    const auto h = tsytest::LastHistory();
    ASSERT_TRUE(h);
    key = h->mstrSocketPairKey;
    main->tvwSockets_NodeClick("PROTO" + port);
    main->tvwSockets_NodeClick(Logging::ConnectionKey(*h));
    main->tvwSockets_NodeClick(key);
    ASSERT_FALSE(main->panDiagramOuter->isHidden());

    client.write("FEAT\r\n");
    ASSERT_TRUE(tsytest::WaitUntil([&] { got += client.readAll(); return got.contains("530 "); }));
    const auto& events = h->mobjSocketPairEvents;
    const int command = events.Count() - 1;
    ASSERT_EQ(events.Item(command)->mobjEventType, ServerBytesReceived);
    ASSERT_EQ(events.Item(command)->mstrData, "FEAT\r\n");
    ASSERT_EQ(events.Item(command + 1)->mobjEventType, ServerBytesSendStart);
    // A block relayed on: its send falls on the other side.
    SocketPair* pair = General::gobjListening->mobjSocketPairs.Item(key).data();
    ASSERT_TRUE(pair);
    General::gobjLogging->ServerBytesReceived(pair, "NOOP\r\n", true);
    General::gobjLogging->ClientBytesSendStart(pair, "NOOP\r\n", false, false);
    const int n = events.Count();
    ASSERT_EQ(n, command + 3);

    const auto row = [&](int i) {
        auto* arrow = qobject_cast<DiagramArrow*>(events.Item(i)->mobjUIObject.data());
        return arrow ? arrow->mintRow : 0;
    };
    frmEventDetails* details = frmEventDetails::Instance();
    for (const char* pass : {"live", "redrawn"}) {
        SCOPED_TRACE(pass);
        for (int i = 1; i <= n; ++i) EXPECT_GT(row(i), 0) << "event " << i << " is not drawn";
        EXPECT_EQ(row(command + 1), row(command) + 1);
        EXPECT_EQ(row(command + 3), row(command + 2));

        // Chosen in the tree, the command is framed; its arrow opens it in
        // Event Details, whose next step frames the reply.
        main->tvwSockets_NodeClick(key + "-" + QString::number(command));
        EXPECT_EQ(main->mintCurrentEvent, command);
        EXPECT_FALSE(main->shpHighlight->isHidden());
        main->aniClient2TSY_Click(row(command));
        EXPECT_EQ(main->mintCurrentEvent, command);
        EXPECT_TRUE(details->windowTitle().startsWith(QString("Event Details - #%1  ").arg(command)));
        details->UpdateButtons();
        details->cmdRight[0]->click();
        EXPECT_EQ(main->mintCurrentEvent, command + 1);
        EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
        main->tvwSockets_NodeClick(key);
    }

    // The export links every page it writes; only the relayed block shares its rows.
    QTemporaryDir out;
    ASSERT_TRUE(SavingHTML::SaveHistoryAsHTML(out.filePath("Log.htm"), h, tsy::Export::ExportChoices{}));
    QFile file(out.filePath("Log.htm"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray page = file.readAll();
    const QStringList pages = QDir(out.filePath("Log")).entryList(QDir::Files);
    EXPECT_EQ(pages.size(), n);
    for (const QString& name : pages) EXPECT_TRUE(page.contains("'Log/" + name.toLatin1() + "'")) << name.toStdString();
    EXPECT_EQ(page.count("<tr>\r\n") - 1, 2 * (n - 1));
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

} // namespace
