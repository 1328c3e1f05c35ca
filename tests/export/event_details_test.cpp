// The event-details window over real connections through a Pass Through
// port: the fields it shows, the data in each layout, stepping, the purge
// trimming or removing the history it shows, network text shown literally,
// and its stored settings.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "export/frmEventDetails.h"
#include "history/Logging.h"
#include "history/SocketEvent.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/DiagramArrow.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/FormatLibrary.h"
#include "platform/KeyedTree.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <gtest/gtest.h>

namespace {

using tsytest::WaitUntil;

class EventDetailsTest : public tsytest::RelayFixture {
protected:
    void SetUp() override
    {
        RelayFixture::SetUp();
        frmMain::SetEndProgramHook([] {});
        ASSERT_TRUE(tsytest::ListenAsEcho(mEcho));
        mMain = frmMain::Instance();
        mWin = frmEventDetails::Instance();
    }

    void TearDown() override
    {
        frmEventDetails::Unload();
        frmMain::Unload();
        frmMain::SetEndProgramHook({});
        RelayFixture::TearDown();
        tsytest::Pump(20);
    }

    // A Pass Through port in front of host:serverPort, listening.
    int Port(const QString& host, int serverPort)
    {
        const int port = tsytest::FreePort();
        tsytest::SavePassThroughPort(port, host, serverPort, QStringLiteral("Echo"));
        tsy::Winsock* sock = nullptr;
        int err = 0;
        QString text;
        EXPECT_TRUE(General::gobjListening->StartListeningOnSocket(sock, port, err, text)) << text.toStdString();
        return port;
    }

    // A relayed connection to the echo server that has echoed `data` once.
    std::shared_ptr<SocketPairHistory> Echoed(tsytest::RawClient& client, const QByteArray& data)
    {
        EXPECT_TRUE(WaitUntil([&] { return client.sock.state() == QAbstractSocket::ConnectedState; }));
        client.Send(data);
        EXPECT_TRUE(client.WaitFor(data));
        return tsytest::LastHistory();
    }

    static int PositionOf(const SocketPairHistory& h, int type)
    {
        for (int p = 1; p <= h.mobjSocketPairEvents.Count(); ++p)
            if (h.mobjSocketPairEvents.Item(p)->mobjEventType == type) return p;
        return 0;
    }

    QString Data() const { return mWin->txtData->toPlainText(); }
    // What a text box shows of a text: each line break (CR LF, CR or LF) as one.
    static QString AsShown(const QByteArray& bytes)
    {
        QString text = QString::fromLatin1(bytes);
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        text.replace(QChar(0xA0), QLatin1Char(' '));   // the box reads a no-break space back as a blank
        return text;
    }
    void SetFormat(const QString& item)
    {
        mWin->cboFormat->setCurrentText(item);
        mWin->cboFormat_Click();
    }

    QTcpServer mEcho;
    frmMain* mMain = nullptr;
    frmEventDetails* mWin = nullptr;
};

TEST_F(EventDetailsTest, FieldsOfAnAcceptedConnectionAndADataEvent)
{
    EXPECT_EQ(mWin->windowTitle(), QStringLiteral("Event Details - No Event"));
    EXPECT_FALSE(mWin->cmdRight[0]->isEnabled());

    tsytest::RawClient client(Port(QStringLiteral("127.0.0.1"), mEcho.serverPort()));
    QByteArray payload;
    for (int i = 0; i < 256; ++i) payload.append(char(i));
    const auto h = Echoed(client, payload);
    ASSERT_TRUE(h);

    mWin->SetDetails(h, 1);
    const auto first = h->mobjSocketPairEvents.Item(1);
    EXPECT_EQ(mWin->windowTitle(), QStringLiteral("Event Details - #1  ") + first->mstrDescription);
    EXPECT_EQ(mWin->lblEventTime->text(), QStringLiteral("Event Time: ") + first->mstrEventTime);
    EXPECT_EQ(mWin->lblErrorNumber->text(), QStringLiteral("Error Number: "));
    EXPECT_EQ(mWin->lblRemoteClient->text(),
              QStringLiteral("Remote Client: 127.0.0.1:%1").arg(h->mlngRemoteClientPort));
    EXPECT_EQ(mWin->lblRemoteServer->text(),
              QStringLiteral("Remote Server: 127.0.0.1:%1").arg(mEcho.serverPort()));
    for (const char* format : {"AscII", "Hex", "Octal", "Decimal", "Binary"}) {
        SetFormat(QString::fromLatin1(format));
        EXPECT_EQ(Data(), QStringLiteral("<No data in this event>")) << format;
    }
    EXPECT_TRUE(mWin->lblDescription->isEnabled());

    // The client's bytes as the proxy received them: all 256 values.
    const int data = PositionOf(*h, SocketEventType::ServerBytesReceived);
    ASSERT_GT(data, 0);
    const auto ev = h->mobjSocketPairEvents.Item(data);
    mWin->txtBytesPerRow->setText(QStringLiteral("8"));
    SetFormat(QStringLiteral("Hex"));
    mWin->SetDetails(h, data);
    const auto expected = tsy::FormatLibrary::Format(ev->mstrData, 'h', 8);
    ASSERT_TRUE(expected.ok);
    EXPECT_EQ(Data(), AsShown(expected.text));
    SetFormat(QStringLiteral("AscII"));
    // One character per byte, bytes of 128 and above included.
    EXPECT_EQ(Data(), AsShown(ev->mstrData));
}

TEST_F(EventDetailsTest, ErrorNumbersAndPeerNames)
{
    {
        // A server name that cannot be resolved fails the connect with 11001.
        tsytest::RawClient client(Port(QStringLiteral("no-such-host.invalid"), 80));
        const auto failedAt = [] {
            const auto h = tsytest::LastHistory();
            return h ? PositionOf(*h, SocketEventType::ConnectionAttemptFailed) : 0;
        };
        ASSERT_TRUE(WaitUntil([&] { return failedAt() > 0; }));
        mWin->SetDetails(tsytest::LastHistory(), failedAt());
        EXPECT_EQ(mWin->lblErrorNumber->text(), QStringLiteral("Error Number: 11001"));
        EXPECT_NE(mWin->lblErrorDescription->text(), QStringLiteral("Error Description: "));
    }
    tsytest::RawClient client(Port(QStringLiteral("localhost"), mEcho.serverPort()));
    const auto h = Echoed(client, "named");
    ASSERT_FALSE(h->mstrRemoteServerName.isEmpty());
    mWin->SetDetails(h, 1);
    EXPECT_EQ(mWin->lblRemoteServer->text(), QStringLiteral("Remote Server: %1:%2 (%3)")
                                                 .arg(h->mstrRemoteServerIP)
                                                 .arg(mEcho.serverPort())
                                                 .arg(h->mstrRemoteServerName));
}

TEST_F(EventDetailsTest, StepsThroughTheEventsAndNextComesOnAsEventsArrive)
{
    tsytest::RawClient client(Port(QStringLiteral("127.0.0.1"), mEcho.serverPort()));
    const auto h = Echoed(client, "one");
    mWin->SetDetails(h, 1);
    mWin->UpdateButtons();
    EXPECT_FALSE(mWin->cmdLeft[0]->isEnabled());
    EXPECT_FALSE(mWin->cmdLeft[1]->isEnabled());
    EXPECT_TRUE(mWin->cmdRight[1]->isEnabled());

    mWin->cmdRight[0]->click();
    EXPECT_EQ(mWin->EventIndex(), 2);
    EXPECT_TRUE(mWin->windowTitle().startsWith(QStringLiteral("Event Details - #2  ")));
    EXPECT_TRUE(mWin->cmdLeft[1]->isEnabled());
    mWin->cmdLeft[1]->click();
    EXPECT_EQ(mWin->EventIndex(), 1);

    // The last event: next is off until the connection records more.
    const int last = h->mobjSocketPairEvents.Count();
    mWin->SetDetails(h, last);
    mWin->UpdateButtons();
    EXPECT_FALSE(mWin->cmdRight[0]->isEnabled());
    mWin->cmdRight[0]->click();   // beyond the end: nothing moves
    EXPECT_EQ(mWin->EventIndex(), last);
    client.Send("two");
    ASSERT_TRUE(client.WaitFor("onetwo"));
    EXPECT_TRUE(WaitUntil([&] { return mWin->cmdRight[0]->isEnabled(); }));
    EXPECT_TRUE(mWin->cmdRight[1]->isEnabled());
}

TEST_F(EventDetailsTest, BytesPerRowFollowsTheRuleAndRedraws)
{
    tsytest::RawClient client(Port(QStringLiteral("127.0.0.1"), mEcho.serverPort()));
    const auto h = Echoed(client, QByteArray(100, 'z'));
    const int data = PositionOf(*h, SocketEventType::ServerBytesReceived);
    SetFormat(QStringLiteral("Hex"));
    mWin->SetDetails(h, data);
    const QByteArray bytes = h->mobjSocketPairEvents.Item(data)->mstrData;
    const std::pair<const char*, int> table[] = {{"7", 4}, {"200", 128}, {"abc", 8}, {"18", 16}};
    for (auto [typed, rows] : table) {
        mWin->txtBytesPerRow->setText(QString::fromLatin1(typed));
        EXPECT_EQ(mWin->txtBytesPerRow->text(), QString::number(rows)) << typed;
        EXPECT_EQ(Data(), AsShown(tsy::FormatLibrary::Format(bytes, 'h', rows).text)) << typed;
    }
}

TEST_F(EventDetailsTest, ThePurgeNeverMakesItShowAnotherEvent)
{
    tsytest::RawClient client(Port(QStringLiteral("127.0.0.1"), mEcho.serverPort()));
    const auto h = Echoed(client, "start");
    ASSERT_GE(h->mobjSocketPairEvents.Count(), 4);
    mWin->SetDetails(h, 2);   // an early one, soon trimmed

    frmOptions::Instance()->txtMaximumEventCount->setText(QStringLiteral("30"));
    for (int i = 0; i < 40; ++i) {
        const QByteArray piece = "p" + QByteArray::number(i);
        client.Send(piece);
        ASSERT_TRUE(client.WaitFor(piece));
    }
    General::gobjLogging->KillDeadSocketConnections();
    ASSERT_LE(h->mobjSocketPairEvents.Count(), 30);

    // The early event is gone: the activation empties the window.
    mWin->Form_Activate();
    EXPECT_EQ(mWin->windowTitle(), QStringLiteral("Event Details - No Event"));
    EXPECT_EQ(mWin->EventIndex(), 0);

    // A trimmed history whose event is still held shows that same event.
    tsytest::RawClient second(Port(QStringLiteral("127.0.0.1"), mEcho.serverPort()));
    const auto h2 = Echoed(second, "again");
    const int n = h2->mobjSocketPairEvents.Count();
    mWin->SetDetails(h2, n);
    const auto kept = h2->mobjSocketPairEvents.Item(n);
    const QString keptTime = mWin->lblEventTime->text();
    const QString keptDescription = mWin->lblDescription->text();
    frmOptions::Instance()->txtMaximumEventCount->setText(QStringLiteral("3"));
    General::gobjLogging->KillDeadSocketConnections();
    ASSERT_LT(h2->mobjSocketPairEvents.Count(), n);
    mWin->Form_Activate();
    EXPECT_EQ(mWin->lblEventTime->text(), keptTime);
    EXPECT_EQ(mWin->lblDescription->text(), keptDescription);
    EXPECT_EQ(h2->mobjSocketPairEvents.Item(mWin->EventIndex()), kept);
    EXPECT_TRUE(mWin->windowTitle().startsWith(QStringLiteral("Event Details - #%1  ").arg(mWin->EventIndex())));
}

TEST_F(EventDetailsTest, AHistoryPurgedAwayStillShowsAndSteps)
{
    std::shared_ptr<SocketPairHistory> h;
    {
        tsytest::RawClient client(Port(QStringLiteral("127.0.0.1"), mEcho.serverPort()));
        h = Echoed(client, "bye");
        client.sock.disconnectFromHost();
        ASSERT_TRUE(WaitUntil([&] { return h->mblnDead; }));
    }
    mWin->SetDetails(h, 2);
    const QString shown = mWin->lblDescription->text();
    frmOptions::Instance()->txtNumberToKeep->setText(QStringLiteral("0"));
    General::gobjLogging->KillDeadSocketConnections();
    ASSERT_EQ(General::gobjLogging->mobjSocketPairHistory.Count(), 0);
    mWin->Form_Activate();
    EXPECT_EQ(mWin->lblDescription->text(), shown);
    mWin->cmdRight[0]->click();
    EXPECT_EQ(mWin->EventIndex(), 3);
    mWin->cmdLeft[0]->click();
    EXPECT_EQ(mWin->lblDescription->text(), shown);

    // Clear All Data clicks the root, which empties the window; given the
    // cleared history again, it shows and steps through it.
    General::gobjLogging->ClearAllData();
    EXPECT_EQ(mWin->windowTitle(), QStringLiteral("Event Details - No Event"));
    mWin->SetDetails(h, 2);
    EXPECT_EQ(mWin->lblDescription->text(), shown);
    mWin->UpdateButtons();
    mWin->cmdRight[1]->click();
    EXPECT_EQ(mWin->EventIndex(), 3);
}

TEST_F(EventDetailsTest, NetworkTextIsShownLiterally)
{
    tsytest::RawClient client(Port(QStringLiteral("127.0.0.1"), mEcho.serverPort()));
    const QByteArray markup = "<b>x</b>&amp;<script>";
    const auto h = Echoed(client, markup);
    SetFormat(QStringLiteral("AscII"));
    mWin->SetDetails(h, PositionOf(*h, SocketEventType::ServerBytesReceived));
    EXPECT_EQ(Data(), QString::fromLatin1(markup));

    const int http = tsytest::ListenWithProtocol(QStringLiteral("HTTP"));
    tsytest::RawClient browser(http);
    ASSERT_TRUE(WaitUntil([&] { return browser.sock.state() == QAbstractSocket::ConnectedState; }));
    browser.Send("GET http://<b>x</b>/ HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] {
        const auto last = tsytest::LastHistory();
        return last && last != h && PositionOf(*last, SocketEventType::ConnectionAttemptToRemoteServer) > 0;
    }));
    const auto proxied = tsytest::LastHistory();
    mWin->SetDetails(proxied, PositionOf(*proxied, SocketEventType::ConnectionAttemptToRemoteServer));
    // The host runs up to the first "/": "<b>x<".
    EXPECT_TRUE(mWin->lblDescription->text().contains(QStringLiteral("<b>x<:80")));
    EXPECT_EQ(mWin->lblDescription->textFormat(), Qt::PlainText);
    EXPECT_TRUE(mWin->windowTitle().contains(QStringLiteral("<b>x<:80")));
}

TEST_F(EventDetailsTest, TheNodeClickClearsItAndAnEventNodeFillsItWhileVisible)
{
    const int port = Port(QStringLiteral("127.0.0.1"), mEcho.serverPort());
    // A main window loaded after the port was added shows the port's node.
    frmMain::Unload();
    mMain = frmMain::Instance();
    tsytest::RawClient client(port);
    const auto h = Echoed(client, "tree");
    mWin->SetDetails(h, 1);
    mMain->tvwSockets_NodeClick(QStringLiteral("ROOT"));
    EXPECT_EQ(mWin->windowTitle(), QStringLiteral("Event Details - No Event"));

    // Down to the socket, then one of its events, with the window shown.
    mWin->show();
    const QString portKey = QStringLiteral("PROTO") + QString::number(port);
    mMain->tvwSockets_NodeClick(portKey);
    QString connection;
    for (const QString& k : mMain->tvwSockets->ChildKeys(portKey)) connection = k;
    ASSERT_FALSE(connection.isEmpty());
    mMain->tvwSockets_NodeClick(connection);
    mMain->tvwSockets_NodeClick(h->mstrSocketPairKey);
    mMain->tvwSockets_NodeClick(h->mstrSocketPairKey + QStringLiteral("-3"));
    EXPECT_EQ(mWin->EventIndex(), 3);
    EXPECT_EQ(mWin->lblDescription->text(), QStringLiteral("Description: ") + h->mobjSocketPairEvents.Item(3)->mstrDescription);
}

TEST_F(EventDetailsTest, SteppingMovesTheDiagramHighlightAndTurnsItsPages)
{
    const int port = Port(QStringLiteral("127.0.0.1"), mEcho.serverPort());
    frmMain::Unload();
    mMain = frmMain::Instance();
    tsytest::RawClient client(port);
    auto h = Echoed(client, "a");
    for (int i = 0; i < 10 && h->mobjSocketPairEvents.Count() < 25; ++i) {
        const QByteArray more = "more" + QByteArray::number(i);
        client.Send(more);
        ASSERT_TRUE(client.WaitFor(more));
    }
    const int n = h->mobjSocketPairEvents.Count();
    ASSERT_GE(n, 22);
    const int errors = tsytest::WholeErrorLog().size();

    // The socket's diagram, its first page.
    General::gblnConnectionDiagramView = true;
    mMain->show();
    const QString portKey = QStringLiteral("PROTO") + QString::number(port);
    mMain->tvwSockets_NodeClick(portKey);
    const QString connection = mMain->tvwSockets->ChildKeys(portKey).value(0);
    mMain->tvwSockets_NodeClick(connection);
    mMain->tvwSockets_NodeClick(h->mstrSocketPairKey);
    ASSERT_EQ(mMain->mintCurrentPage, 0);

    mWin->SetDetails(h, 19);
    mWin->UpdateButtons();
    EXPECT_TRUE(mMain->shpHighlight->isVisible());
    EXPECT_EQ(mMain->mintCurrentEvent, 19);
    EXPECT_EQ(mMain->lblDetails->PanelText(2), QStringLiteral("Event 19 of %1  ").arg(n));
    mWin->cmdRight[0]->click();
    EXPECT_EQ(mMain->mintCurrentEvent, 20);
    EXPECT_EQ(mMain->mintCurrentPage, 0);
    mWin->cmdRight[0]->click();   // 20 -> 21: the second page is drawn and framed
    EXPECT_EQ(mMain->mintCurrentPage, 1);
    EXPECT_EQ(mMain->mintCurrentEvent, 21);
    EXPECT_TRUE(mMain->shpHighlight->isVisible());
    EXPECT_EQ(mMain->lblDetails->PanelText(2), QStringLiteral("Event 21 of %1  ").arg(n));
    mWin->cmdLeft[1]->click();
    EXPECT_EQ(mMain->mintCurrentPage, 0);
    EXPECT_EQ(mMain->mintCurrentEvent, 20);
    EXPECT_EQ(tsytest::WholeErrorLog().size(), errors);

    // An arrow's click opens the window on the event the arrow shows.
    mWin->hide();
    const int row = mMain->aniClient2TSY.firstKey();
    mMain->aniClient2TSY_Click(row);
    EXPECT_TRUE(mWin->isVisible());
    const int clicked = mWin->EventIndex();
    ASSERT_GT(clicked, 0);
    EXPECT_EQ(h->mobjSocketPairEvents.Item(clicked)->mobjUIObject.data(), static_cast<QObject*>(mMain->aniClient2TSY.value(row).data()));
    EXPECT_EQ(mMain->mintCurrentEvent, clicked);

    // A double-click on an event node's list opens it on that event.
    mWin->hide();
    const QString eventKey = h->mstrSocketPairKey + QStringLiteral("-4");
    mMain->tvwSockets_NodeClick(eventKey);
    mMain->lvwDetails_DblClick();
    EXPECT_TRUE(mWin->isVisible());
    EXPECT_EQ(mWin->EventIndex(), 4);

    // Emptying the window takes the frame away.
    mWin->ClearDetails();
    EXPECT_FALSE(mMain->shpHighlight->isVisible());

    // In the event-history view there is nothing to frame and nothing fails.
    General::gblnConnectionDiagramView = false;
    mWin->SetDetails(h, 5);
    mWin->UpdateButtons();
    mWin->cmdRight[0]->click();
    mWin->cmdRight[0]->click();
    EXPECT_EQ(mWin->EventIndex(), 7);
    EXPECT_FALSE(mMain->shpHighlight->isVisible());
    EXPECT_EQ(tsytest::WholeErrorLog().size(), errors);
}

TEST(EventDetailsSettingsTest, SurviveAFrameCloseAndFallBackWhenNotNumbers)
{
    tsytest::ClearSettings();
    frmEventDetails* win = frmEventDetails::Instance();
    EXPECT_EQ(win->cboFormat->currentText(), QStringLiteral("AscII"));
    EXPECT_EQ(win->txtBytesPerRow->text(), QStringLiteral("8"));
    win->show();
    win->cboFormat->setCurrentIndex(3);
    win->txtBytesPerRow->setText(QStringLiteral("32"));
    win->resize(tsy::Runtime::TwipsToPixels(9000), tsy::Runtime::TwipsToPixels(6000));
    const QSize size = win->size();
    win->close();
    tsytest::Pump(20);
    ASSERT_FALSE(frmEventDetails::IsLoaded());

    win = frmEventDetails::Instance();
    EXPECT_EQ(win->cboFormat->currentText(), QStringLiteral("Decimal"));
    EXPECT_EQ(win->txtBytesPerRow->text(), QStringLiteral("32"));
    EXPECT_EQ(win->size(), size);

    // Below the minimum it springs back.
    win->show();
    win->resize(50, 50);
    EXPECT_EQ(win->width(), tsy::Runtime::TwipsToPixels(4740));
    EXPECT_EQ(win->height(), tsy::Runtime::TwipsToPixels(4005));
    frmEventDetails::Unload();
    tsytest::Pump(20);

    for (const char* key : {"Left", "Top", "Width", "Height", "BytesPerRow"})
        tsy::Settings::SaveSetting(QStringLiteral("EventDetails"), QString::fromLatin1(key), QStringLiteral("abc"));
    tsy::Settings::SaveSetting(QStringLiteral("EventDetails"), QStringLiteral("Format"), QStringLiteral("9"));
    win = frmEventDetails::Instance();
    EXPECT_EQ(win->cboFormat->currentIndex(), 0);
    EXPECT_EQ(win->txtBytesPerRow->text(), QStringLiteral("8"));
    EXPECT_GE(win->width(), tsy::Runtime::TwipsToPixels(4740));
    EXPECT_GE(win->height(), tsy::Runtime::TwipsToPixels(4005));
    frmEventDetails::Unload();
    tsytest::Pump(20);
}

TEST(EventDetailsSettingsTest, TheShutdownStoresThem)
{
    tsytest::ClearSettings();
    frmMain::SetEndProgramHook([] {});
    General::gobjLogging = new Logging();
    General::gobjListening = new Listening();
    frmMain* main = frmMain::Instance();
    frmEventDetails::Instance()->cboFormat->setCurrentIndex(4);
    main->Terminate();
    EXPECT_FALSE(frmEventDetails::IsLoaded());
    EXPECT_EQ(tsy::Settings::GetSetting(QStringLiteral("EventDetails"), QStringLiteral("Format"), QString()), QStringLiteral("4"));
    delete General::gobjLogging;
    General::gobjLogging = nullptr;
    frmMain::SetEndProgramHook({});
    tsytest::Pump(20);
}

} // namespace
