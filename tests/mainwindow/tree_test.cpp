// The main window's socket tree over a real Pass Through relay: node clicks
// load and prune the levels, the right-button pop-up's items follow the
// node, and the pop-up's port commands.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmConfigure.h"
#include "engine/frmError.h"
#include "history/Logging.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/KeyedTree.h"
#include "platform/Settings.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

using tsytest::FreePort;

class TreeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        ASSERT_TRUE(tsytest::ListenAsEcho(echo));
        port = FreePort();
        do idlePort = FreePort(); while (idlePort == port);
        const QString p = QString::number(port);
        tsytest::SavePassThroughPort(port, "127.0.0.1", echo.serverPort(), "Echo");
        tsy::Settings::SaveSetting("Protocols", QString::number(idlePort), "<Don't use>");
        tsy::Settings::SaveSetting("PortsInUse", QString::number(idlePort), "Idle");

        frmMain::SetEndProgramHook([] {});
        General::gblnLoggingEnabled = true;
        General::gblnApplicationClosing = false;
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
        General::gobjListening->InitaliseListeningSockets();
        main = frmMain::Instance();
        tree = main->tvwSockets;
        portKey = "PROTO" + p;
        idleKey = "PROTO" + QString::number(idlePort);
        errorsBefore = Errors();
    }

    void TearDown() override
    {
        frmConfigure::Unload();
        frmMain::Unload();
        General::gobjListening->DeInitaliseListeningSockets();
        tsytest::Pump(50);
        delete General::gobjListening;
        General::gobjListening = nullptr;
        delete General::gobjLogging;
        General::gobjLogging = nullptr;
        General::gblnApplicationClosing = true;
        frmError::Unload();
        General::gblnApplicationClosing = false;
        frmMain::SetEndProgramHook({});
        General::gblnConnectionDiagramView = false;
        tsytest::ClearSettings();
        tsytest::Pump(20);
    }

    static int Errors() { return frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0; }
    static QString ErrorLog() { return frmError::Loaded() ? frmError::Loaded()->LogText() : QString(); }

    // One connection through the relay whose data has come back; the pair's
    // server is known by then, so its partners' node has its final key.
    void Connect(QTcpSocket& client)
    {
        client.connectToHost(QHostAddress::LocalHost, quint16(port));
        ASSERT_TRUE(client.waitForConnected(5000));
        client.write("hello through the relay");
        QByteArray back;
        ASSERT_TRUE(tsytest::WaitUntil([&] { back += client.readAll(); return back.size() >= 23; }));
        ASSERT_EQ(General::gobjLogging->mobjSocketPairHistory.Count(), 1);
        pairKey = General::gobjLogging->mobjSocketPairHistory.KeyAt(1);
        conKey = "CON" + QString::number(port) + "127.0.0.1127.0.0.1";
    }

    std::shared_ptr<SocketPairHistory> History() { return General::gobjLogging->mobjSocketPairHistory.Item(pairKey); }
    bool SaveButtonEnabled() { return main->barToolbar->findChild<QToolButton*>("SaveData")->isEnabled(); }

    QTcpServer echo;
    int port = 0;
    int idlePort = 0;
    frmMain* main = nullptr;
    tsy::KeyedTree* tree = nullptr;
    QString portKey, idleKey, pairKey, conKey;
    int errorsBefore = 0;
};

TEST_F(TreeTest, ClicksLoadEachLevelFromTheHistory)
{
    QTcpSocket client;
    Connect(client);
    ASSERT_FALSE(pairKey.isEmpty());
    EXPECT_EQ(tree->Children(portKey), 0);   // lower levels wait for a click

    main->tvwSockets_NodeClick(portKey);
    EXPECT_EQ(main->mnodSelectedNode, portKey);
    EXPECT_TRUE(tree->Expanded(portKey));
    ASSERT_EQ(tree->ChildKeys(portKey), QStringList{conKey});
    EXPECT_EQ(tree->Image(conKey), "Connection");
    EXPECT_EQ(tree->Tag(conKey).toString(), "127.0.0.1 127.0.0.1");
    EXPECT_FALSE(main->mnuSaveHistory->isEnabled());
    EXPECT_FALSE(SaveButtonEnabled());

    main->tvwSockets_NodeClick(conKey);
    EXPECT_TRUE(tree->Expanded(conKey));
    ASSERT_EQ(tree->ChildKeys(conKey), QStringList{pairKey});
    EXPECT_EQ(tree->Text(pairKey), "Alive");
    EXPECT_EQ(tree->Image(pairKey), "Socket");

    main->tvwSockets_NodeClick(pairKey);
    EXPECT_TRUE(tree->Expanded(pairKey));
    EXPECT_EQ(main->mobjCurrentHistory, History());
    const int events = History()->mobjSocketPairEvents.Count();
    ASSERT_GT(events, 2);
    EXPECT_EQ(tree->Children(pairKey), events);
    EXPECT_EQ(tree->ChildKeys(pairKey).first(), pairKey + "-1");
    EXPECT_EQ(tree->Image(pairKey + "-1"), "Event");
    EXPECT_TRUE(main->mnuSaveHistory->isEnabled());
    EXPECT_TRUE(SaveButtonEnabled());

    // Clicking the open socket again loads nothing twice.
    main->tvwSockets_NodeClick(pairKey);
    EXPECT_EQ(tree->Children(pairKey), events);

    // An event click picks the history, loads nothing and leaves the highlight.
    const QString highlighted = tree->SelectedKey();
    main->mobjCurrentHistory.reset();
    main->gblnRequestRedraw = true;
    main->tvwSockets_NodeClick(pairKey + "-2");
    EXPECT_EQ(main->mnodSelectedNode, pairKey + "-2");
    EXPECT_EQ(main->mobjCurrentHistory, History());
    EXPECT_FALSE(main->gblnRequestRedraw);
    EXPECT_EQ(tree->Children(pairKey), events);
    EXPECT_EQ(tree->SelectedKey(), highlighted);
    EXPECT_TRUE(main->mnuSaveHistory->isEnabled());

    // Once dead: clicking the open port closes the partners' branch and loads
    // nothing; opening the partners again shows the socket dead.
    client.disconnectFromHost();
    ASSERT_TRUE(tsytest::WaitUntil([&] { return History()->mblnDead; }));
    main->tvwSockets_NodeClick(portKey);
    EXPECT_TRUE(tree->Expanded(portKey));
    EXPECT_FALSE(tree->Expanded(conKey));
    EXPECT_EQ(tree->Children(conKey), 0);
    EXPECT_FALSE(tree->Exists(pairKey));
    main->tvwSockets_NodeClick(conKey);
    ASSERT_TRUE(tree->Exists(pairKey));
    EXPECT_TRUE(tree->Text(pairKey).startsWith("Dead ("));
    EXPECT_TRUE(tree->Text(pairKey).endsWith(")"));
    EXPECT_EQ(tree->Image(pairKey), "SocketDisconnected");

    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(TreeTest, RootClickPrunesEverythingAndReloadsThePorts)
{
    QTcpSocket client;
    Connect(client);
    main->tvwSockets_NodeClick(portKey);
    main->tvwSockets_NodeClick(conKey);
    main->tvwSockets_NodeClick(pairKey);
    main->tvwSockets_NodeClick(idleKey);   // a sibling branch: the relay's port closes
    EXPECT_FALSE(tree->Expanded(portKey));
    EXPECT_EQ(tree->Children(portKey), 0);

    main->tvwSockets_NodeClick(portKey);
    main->tvwSockets_NodeClick(conKey);
    main->tvwSockets_NodeClick("ROOT");
    EXPECT_TRUE(tree->Expanded("ROOT"));
    EXPECT_EQ(tree->Count(), 3);   // the root and its two ports, fresh
    EXPECT_FALSE(tree->Expanded(portKey));
    EXPECT_EQ(tree->Text(portKey), QString("Echo (%1)").arg(port));
    EXPECT_EQ(tree->Text(idleKey), QString("Idle (%1) - Not Listening").arg(idlePort));
    EXPECT_EQ(main->mnodSelectedNode, "ROOT");
    EXPECT_FALSE(main->mnuSaveHistory->isEnabled());
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(TreeTest, ClearAllDataClicksTheRootAndLeavesLiveRelaysIntact)
{
    QTcpSocket client;
    Connect(client);
    {
        QTcpSocket finished;
        finished.connectToHost(QHostAddress::LocalHost, quint16(port));
        ASSERT_TRUE(finished.waitForConnected(5000));
        finished.write("x");
        ASSERT_TRUE(tsytest::WaitUntil([&] { return finished.bytesAvailable() > 0; }));
        finished.disconnectFromHost();
        ASSERT_TRUE(tsytest::WaitUntil([&] {
            const auto& all = General::gobjLogging->mobjSocketPairHistory;
            return all.Count() == 2 && all.Item(2)->mblnDead;
        }));
    }
    main->tvwSockets_NodeClick(portKey);
    main->tvwSockets_NodeClick(conKey);
    main->tvwSockets_NodeClick(pairKey);
    ASSERT_TRUE(SaveButtonEnabled());

    main->findChild<QAction*>("mnuClearAllData")->trigger();
    EXPECT_EQ(General::gobjLogging->mobjSocketPairHistory.Count(), 1);
    EXPECT_EQ(main->mnodSelectedNode, "ROOT");
    EXPECT_EQ(tree->SelectedKey(), "ROOT");
    EXPECT_FALSE(SaveButtonEnabled());
    EXPECT_FALSE(main->mnuSaveHistory->isEnabled());
    EXPECT_EQ(tree->Children(portKey), 0);

    // The live connection goes on relaying into its kept history.
    client.write("still here");
    QByteArray back;
    ASSERT_TRUE(tsytest::WaitUntil([&] { back += client.readAll(); return back.contains("still here"); }));
    EXPECT_FALSE(History()->mblnDead);
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(TreeTest, APurgedSelectionFallsBackToItsNearestSurvivingParent)
{
    General::gblnConnectionDiagramView = true;
    QTcpSocket client;
    Connect(client);
    main->tvwSockets_NodeClick(portKey);
    main->tvwSockets_NodeClick(conKey);
    main->tvwSockets_NodeClick(pairKey);
    tree->Select(pairKey + "-2");   // as the user's own click highlights it
    main->tvwSockets_NodeClick(pairKey + "-2");
    ASSERT_FALSE(main->panDiagramOuter->isHidden());
    ASSERT_TRUE(SaveButtonEnabled());
    client.disconnectFromHost();
    ASSERT_TRUE(tsytest::WaitUntil([&] { return History()->mblnDead; }));

    tsy::Settings::SaveSetting("Options", "MaxMemorySize", "0");
    tsy::Settings::SaveSetting("Options", "Discard", "1");
    frmOptions::Unload();
    General::gobjLogging->KillDeadSocketConnections();
    ASSERT_EQ(General::gobjLogging->mobjSocketPairHistory.Count(), 0);
    ASSERT_FALSE(tree->Exists(pairKey));
    EXPECT_EQ(main->mnodSelectedNode, conKey);
    EXPECT_EQ(tree->SelectedKey(), conKey);
    EXPECT_EQ(main->lblRealTime->text(), "Real time data for " + tree->Text(conKey));
    EXPECT_EQ(main->lblDetails->PanelText(1), "Details for " + tree->Text(conKey));
    // The purged connection's diagram and commands go, as a click on the
    // partners' node would leave them.
    EXPECT_TRUE(main->panDiagramOuter->isHidden());
    EXPECT_FALSE(main->mnuSaveHistory->isEnabled());
    EXPECT_FALSE(SaveButtonEnabled());
    for (const char* arrow : {"First", "Previous", "Next", "Last"})
        EXPECT_FALSE(main->barNavigation->findChild<QAction*>(arrow)->isEnabled()) << arrow;
    EXPECT_EQ(main->mobjCurrentHistory, nullptr);

    // Later connections refresh the titles from the partners' node, which the purge leaves.
    QTcpSocket next;
    next.connectToHost(QHostAddress::LocalHost, quint16(port));
    ASSERT_TRUE(next.waitForConnected(5000));
    ASSERT_TRUE(tsytest::WaitUntil([&] { return General::gobjLogging->mobjSocketPairHistory.Count() == 1; }));
    EXPECT_EQ(main->mnodSelectedNode, conKey);
    EXPECT_EQ(main->lblRealTime->text(), "Real time data for " + tree->Text(conKey));

    // With the partners' node gone too, the port's node stands in.
    main->tvwSockets_NodeClick(conKey);
    tree->Remove(conKey);
    EXPECT_EQ(main->mnodSelectedNode, portKey);
    EXPECT_EQ(main->lblRealTime->text(), "Real time data for " + tree->Text(portKey));
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(TreeTest, BranchClosedByItsSignReloadsWithoutClashes)
{
    QTcpSocket client;
    Connect(client);
    main->tvwSockets_NodeClick(portKey);
    main->tvwSockets_NodeClick(conKey);
    // The user closes the partners' node by its sign: its sockets stay behind.
    tree->SetExpanded(conKey, false);
    ASSERT_EQ(tree->Children(conKey), 1);
    main->tvwSockets_NodeClick(conKey);
    EXPECT_TRUE(tree->Expanded(conKey));
    EXPECT_EQ(tree->ChildKeys(conKey), QStringList{pairKey});
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();

    // Double-click opens the node last clicked and loads nothing.
    tree->SetExpanded(conKey, false);
    main->tvwSockets_DblClick();
    EXPECT_TRUE(tree->Expanded(conKey));
    EXPECT_EQ(tree->Children(conKey), 1);
}

TEST_F(TreeTest, PopupItemsFollowTheNode)
{
    // A listening port: both port commands, no save, the port in the tag.
    EXPECT_TRUE(main->PreparePopup(portKey));
    EXPECT_EQ(main->mstrPopupTag, QString::number(port));
    EXPECT_EQ(tree->SelectedKey(), portKey);
    EXPECT_EQ(main->mnodSelectedNode, portKey);
    EXPECT_TRUE(main->mnuStopListening->isEnabled());
    EXPECT_TRUE(main->mnuProtocol->isEnabled());
    EXPECT_FALSE(main->mnuSaveHistoryPopUp->isEnabled());

    // An idle port: nothing to stop.
    EXPECT_TRUE(main->PreparePopup(idleKey));
    EXPECT_EQ(main->mstrPopupTag, QString::number(idlePort));
    EXPECT_FALSE(main->mnuStopListening->isEnabled());
    EXPECT_TRUE(main->mnuProtocol->isEnabled());

    // A socket: no port commands.
    QTcpSocket client;
    Connect(client);
    main->tvwSockets_NodeClick(portKey);
    main->tvwSockets_NodeClick(conKey);
    EXPECT_TRUE(main->PreparePopup(pairKey));
    EXPECT_EQ(tree->SelectedKey(), pairKey);
    EXPECT_GT(tree->Children(pairKey), 0);   // the right click clicked it too
    EXPECT_FALSE(main->mnuStopListening->isEnabled());
    EXPECT_FALSE(main->mnuProtocol->isEnabled());
    EXPECT_TRUE(main->mnuSaveHistoryPopUp->isEnabled());

    // The root, a partners' node and a one-shot FTP data port: clicked, no pop-up.
    EXPECT_FALSE(main->PreparePopup(conKey));
    EXPECT_EQ(main->mnodSelectedNode, conKey);
    tree->Add("ROOT", "PROTO5555", "FTP Data - Dynamically allocated (5555)", "Protocol");
    tree->SetTag("PROTO5555", "5555");
    EXPECT_FALSE(main->PreparePopup("PROTO5555"));
    EXPECT_EQ(main->mstrPopupTag, QString::number(idlePort));
    EXPECT_FALSE(main->PreparePopup("ROOT"));
    EXPECT_FALSE(main->PreparePopup("no such node"));
    EXPECT_EQ(Errors(), errorsBefore) << ErrorLog().toStdString();
}

TEST_F(TreeTest, StopListeningStoresDontUseAndMarksTheNode)
{
    ASSERT_TRUE(main->PreparePopup(portKey));
    main->mnuStopListening->trigger();
    EXPECT_EQ(tsy::Settings::GetSetting("Protocols", QString::number(port)), "<Don't use>");
    EXPECT_TRUE(tree->Text(portKey).endsWith(") - Not Listening"));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    EXPECT_FALSE(client.waitForConnected(1000));
    ASSERT_TRUE(main->PreparePopup(portKey));
    EXPECT_FALSE(main->mnuStopListening->isEnabled());
}

TEST_F(TreeTest, ProtocolShowsTheConfigurationWindowOnThatPort)
{
    ASSERT_TRUE(main->PreparePopup(idleKey));
    main->mnuProtocol->trigger();
    ASSERT_TRUE(frmConfigure::IsLoaded());
    frmConfigure* w = frmConfigure::Instance();
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->isModal());
    EXPECT_EQ(w->parentWidget(), nullptr);
    EXPECT_EQ(w->SelectedPort(), idlePort);
    EXPECT_EQ(w->CheckedProtocol(), "<Don't use>");
}

TEST_F(TreeTest, TreeSignalsReachTheHandlers)
{
    main->show();
    ASSERT_TRUE(tsytest::WaitUntil([&] { return main->isVisible(); }));
    tree->Select("ROOT");

    // A left click on a node is a node click.
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(tree->Node(idleKey)).center());
    EXPECT_EQ(main->mnodSelectedNode, idleKey);
    EXPECT_TRUE(tree->Expanded(idleKey));
    // A double-click leaves what the click opened open.
    const QPoint root = tree->visualItemRect(tree->Node("ROOT")).center();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, root);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, root);
    EXPECT_EQ(main->mnodSelectedNode, "ROOT");
    EXPECT_TRUE(tree->Expanded("ROOT"));
    EXPECT_EQ(tree->Children("ROOT"), 2);

    // A right click over a port opens the pop-up; over empty space nothing happens.
    const QPoint over = tree->visualItemRect(tree->Node(portKey)).center();
    emit tree->customContextMenuRequested(over);
    EXPECT_EQ(main->mnodSelectedNode, portKey);
    EXPECT_EQ(main->mstrPopupTag, QString::number(port));
    EXPECT_TRUE(main->mnuPopup->isVisible());
    main->mnuPopup->hide();
    emit tree->customContextMenuRequested(QPoint(5, tree->viewport()->height() - 2));
    EXPECT_EQ(main->mnodSelectedNode, portKey);
    EXPECT_FALSE(main->mnuPopup->isVisible());
}

} // namespace
