// The main window with the real recorder and listening side behind it: the
// tree it builds from the port table, its titles, status bar, layout,
// keep-on-top switch, the unloading of finished socket pairs and the shutdown.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "history/Logging.h"
#include "mainwindow/PanelBar.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/KeyedTree.h"
#include "platform/LoadedWindows.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/WindowTimer.h"
#include "protocols/ProtocolFactory.h"
#include "protocols/ProtocolHandler.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QTcpServer>
#include <QTcpSocket>
#include <QScrollBar>
#include <QPlainTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

using tsytest::FreePort;

void AddPort(int port, const QString& description)
{
    tsytest::SavePassThroughPort(port, QStringLiteral("127.0.0.1"), 9, description);
}

int Twips(int px) { return tsy::Runtime::PixelsToTwips(px); }

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        // A port something else already holds, and one that is free.
        ASSERT_TRUE(mBlocker.listen(QHostAddress::Any, 0));
        mBusyPort = mBlocker.serverPort();
        mFreePort = FreePort();
        AddPort(mFreePort, QStringLiteral("Relay for tests"));
        AddPort(mBusyPort, QStringLiteral("Taken elsewhere"));

        mEnded = 0;
        frmMain::SetEndProgramHook([this] { ++mEnded; });
        General::gblnLoggingEnabled = true;
        General::gblnApplicationClosing = false;
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
        General::gobjListening->InitaliseListeningSockets();
        mMain = frmMain::Instance();
    }

    void TearDown() override
    {
        tsytest::UnloadMainWindowAndEngine();
        General::gblnKeepOnTop = false;
    }

    QTcpServer mBlocker;
    int mBusyPort = 0;
    int mFreePort = 0;
    int mEnded = 0;
    frmMain* mMain = nullptr;
};

// A burst of texts reads back at once and ends with the panels showing its last.
TEST(PanelBarTest, BurstOfTextsReadsBackAtOnceAndShowsItsLast)
{
    PanelBar bar;
    bar.AddPanel(PanelBar::Sizing::Spring, 100);
    bar.AddPanel(PanelBar::Sizing::Content, 100);
    for (int i = 1; i <= 50; ++i) {
        bar.SetPanelText(1, "Event " + QString::number(i));
        bar.SetPanelText(2, QString::number(i));
    }
    bar.SetPanelText(3, "no such panel");
    EXPECT_EQ(bar.PanelText(1), "Event 50");
    EXPECT_EQ(bar.PanelText(2), "50");
    EXPECT_EQ(bar.PanelText(3), "");
    EXPECT_TRUE(tsytest::WaitUntil([&] { return bar.Panel(1)->text() == "Event 50" && bar.Panel(2)->text() == "50"; }));
    bar.SetPanelText(2, "");
    EXPECT_TRUE(tsytest::WaitUntil([&] { return bar.Panel(2)->text().isEmpty(); }));
}

TEST_F(MainWindowTest, TreeHoldsRootAndOneNodePerPortWithListeningState)
{
    tsy::KeyedTree* tree = mMain->tvwSockets;
    ASSERT_TRUE(tree->Exists(QStringLiteral("ROOT")));
    EXPECT_EQ(tree->Text(QStringLiteral("ROOT")), QStringLiteral("All Activity"));
    EXPECT_EQ(tree->Image(QStringLiteral("ROOT")), QStringLiteral("AllActivity"));
    EXPECT_TRUE(tree->Expanded(QStringLiteral("ROOT")));
    EXPECT_EQ(tree->Children(QStringLiteral("ROOT")), 2);
    EXPECT_EQ(mMain->mnodSelectedNode, QStringLiteral("ROOT"));

    const QString freeKey = QStringLiteral("PROTO") + QString::number(mFreePort);
    const QString busyKey = QStringLiteral("PROTO") + QString::number(mBusyPort);
    ASSERT_TRUE(tree->Exists(freeKey));
    ASSERT_TRUE(tree->Exists(busyKey));
    EXPECT_EQ(tree->Text(freeKey), QStringLiteral("Relay for tests (%1)").arg(mFreePort));
    EXPECT_EQ(tree->Text(busyKey), QStringLiteral("Taken elsewhere (%1) - Not Listening").arg(mBusyPort));
    EXPECT_EQ(tree->Image(freeKey), QStringLiteral("Protocol"));

    // The port that failed was reported in the error log.
    ASSERT_NE(frmError::Loaded(), nullptr);
    EXPECT_TRUE(frmError::Loaded()->LogText().contains(QStringLiteral("listen on port ") + QString::number(mBusyPort)));
}

TEST_F(MainWindowTest, LongNodeTextsScrollSidewaysInsteadOfBeingCutShort)
{
    tsy::KeyedTree* tree = mMain->tvwSockets;
    mMain->show();
    tsytest::Pump(50);
    const QString busyKey = QStringLiteral("PROTO") + QString::number(mBusyPort);
    tree->SetText(busyKey, QStringLiteral("A port description long enough to run well past the tree pane (%1) - Not Listening").arg(mBusyPort));
    tsytest::Pump(50);
    EXPECT_EQ(tree->textElideMode(), Qt::ElideNone);
    EXPECT_GT(tree->columnWidth(0), tree->viewport()->width());
    EXPECT_GT(tree->horizontalScrollBar()->maximum(), 0);
}

TEST_F(MainWindowTest, AWindowStartedMinimisedIsStillLaidOutOnce)
{
    frmMain::Unload();
    tsy::Settings::SaveSetting(QStringLiteral("Options"), QStringLiteral("RunMinimized"), QStringLiteral("1"));
    frmOptions::Unload();   // its next load reads the switch
    mMain = frmMain::Instance();
    ASSERT_TRUE(mMain->isMinimized());
    ASSERT_NE(frmError::Loaded(), nullptr);
    EXPECT_FALSE(frmError::Loaded()->isVisible());
    mMain->show();
    tsytest::Pump(50);
    // The tree sits under its title, the list right of the tree, not piled up at the top left.
    EXPECT_GT(mMain->tvwSockets->y(), mMain->lblSockets->geometry().bottom());
    EXPECT_GT(mMain->lvwDetails->x(), mMain->tvwSockets->geometry().right());
    EXPECT_GT(mMain->tvwSockets->height(), 100);
}

TEST_F(MainWindowTest, ControlsTitlesAndStatusBar)
{
    EXPECT_EQ(mMain->windowTitle(), QStringLiteral("Tessaly"));
    EXPECT_EQ(mMain->barStatus->PanelCount(), 9);
    EXPECT_EQ(mMain->lblDetails->PanelCount(), 3);
    EXPECT_EQ(mMain->lblSockets->PanelCount(), 1);
    EXPECT_TRUE(mMain->lblSockets->PanelText(1).startsWith(QStringLiteral("Monitoring: ")));
    EXPECT_TRUE(mMain->lblSockets->PanelText(1).endsWith(QStringLiteral(")")));
    // The clock panel keeps itself up to date.
    EXPECT_EQ(mMain->barStatus->PanelText(9).size(), 8);

    // Timers as designed.
    EXPECT_EQ(mMain->tmrUnloadSocketPairs->Interval(), 1000);
    EXPECT_TRUE(mMain->tmrUnloadSocketPairs->Enabled());
    EXPECT_EQ(mMain->tmrStats->Interval(), 500);
    EXPECT_TRUE(mMain->tmrStats->Enabled());
    EXPECT_EQ(mMain->tmrKillDeadSockets->Interval(), 500);
    EXPECT_TRUE(mMain->tmrKillDeadSockets->Enabled());
    EXPECT_EQ(mMain->tmrRealTimeData->Interval(), 100);
    EXPECT_FALSE(mMain->tmrRealTimeData->Enabled());

    // Menus: Save Data starts disabled, Connection Diagram ticked, Keep on Top not.
    EXPECT_FALSE(mMain->mnuSaveHistory->isEnabled());
    EXPECT_TRUE(mMain->mnuConnectionDiagram->isChecked());
    EXPECT_FALSE(mMain->mnuEventHistory->isChecked());
    EXPECT_FALSE(mMain->mnuKeepOnTop->isChecked());
    EXPECT_EQ(mMain->barToolbar->findChildren<QToolButton*>().size() >= 8, true);

    // The counters.
    mMain->tmrStats_Timer();
    EXPECT_EQ(mMain->barStatus->PanelText(1), QStringLiteral("Memory: 0 KBytes"));
    EXPECT_EQ(mMain->barStatus->PanelText(2), QStringLiteral("Sockets: 0"));
    EXPECT_EQ(mMain->barStatus->PanelText(3), QStringLiteral("Events: 0"));
    General::gobjLogging->mlngTotalMemoryAllocated = 1500;
    General::gobjLogging->mlngTotalEvents = 7;
    mMain->tmrStats_Timer();
    EXPECT_EQ(mMain->barStatus->PanelText(1), QStringLiteral("Memory: 1 KBytes"));
    EXPECT_EQ(mMain->barStatus->PanelText(3), QStringLiteral("Events: 7"));
    General::gobjLogging->mlngTotalMemoryAllocated = -5;
    mMain->tmrStats_Timer();
    EXPECT_EQ(General::gobjLogging->mlngTotalMemoryAllocated, 0);
}

TEST_F(MainWindowTest, PaneTitlesFollowTheHighlightedNode)
{
    tsy::KeyedTree* tree = mMain->tvwSockets;
    mMain->RefreshPaneTitles();
    EXPECT_EQ(mMain->lblRealTime->text(), QStringLiteral("Real time data for All Activity"));
    EXPECT_EQ(mMain->lblDetails->PanelText(1), QStringLiteral("Details for All Activity"));

    const QString key = QStringLiteral("PROTO") + QString::number(mBusyPort);
    tree->Select(key);
    mMain->RefreshPaneTitles();
    EXPECT_EQ(mMain->lblRealTime->text(), QStringLiteral("Real time data for ") + tree->Text(key));
    EXPECT_EQ(mMain->lblDetails->PanelText(1), QStringLiteral("Details for ") + tree->Text(key));
}

TEST_F(MainWindowTest, LayoutGivesExtraHeightToTheDetailsAndHidesThePane)
{
    mMain->show();
    tsytest::Pump(50);
    ASSERT_TRUE(mMain->txtRealTime->isVisible());
    const int listHeight = mMain->lvwDetails->height();
    const int paneHeight = mMain->txtRealTime->height();
    const int treeBottom = mMain->tvwSockets->geometry().bottom();
    // The pane's bottom lines up with the tree's bottom (within a few pixels).
    EXPECT_NEAR(mMain->txtRealTime->geometry().bottom(), treeBottom, 3);

    mMain->resize(mMain->width(), mMain->height() + 40);
    tsytest::WaitUntil([&] { return mMain->lvwDetails->height() != listHeight; }, 2000);
    EXPECT_NEAR(mMain->lvwDetails->height(), listHeight + 40, 2);
    EXPECT_NEAR(mMain->txtRealTime->height(), paneHeight, 2);
    EXPECT_NEAR(mMain->txtRealTime->geometry().bottom(), mMain->tvwSockets->geometry().bottom(), 3);

    // The toolbar's "Hide Real Time Data": the list is as tall as the tree.
    auto* realTime = mMain->barToolbar->findChild<QToolButton*>(QStringLiteral("Realtime"));
    ASSERT_NE(realTime, nullptr);
    ASSERT_NE(realTime->menu(), nullptr);
    realTime->menu()->actions().at(1)->trigger();
    EXPECT_FALSE(mMain->txtRealTime->isVisible());
    EXPECT_FALSE(mMain->lblRealTime->isVisible());
    EXPECT_EQ(mMain->lvwDetails->height(), mMain->tvwSockets->height());
    // "Show Real Time Data" brings it back with the last details height.
    realTime->menu()->actions().at(0)->trigger();
    EXPECT_TRUE(mMain->txtRealTime->isVisible());
    EXPECT_NEAR(mMain->lvwDetails->height(), listHeight + 40, 2);

    // A window made tiny keeps running the layout without failing.
    mMain->resize(60, 60);
    tsytest::Pump(30);
    mMain->resize(800, 600);
    tsytest::Pump(30);
    EXPECT_TRUE(mMain->tvwSockets->isVisible());
    EXPECT_GT(Twips(mMain->tvwSockets->width()), 0);
}

TEST_F(MainWindowTest, KeepOnTopFollowsTheMenuTick)
{
    mMain->show();
    tsytest::Pump(20);
    mMain->mnuKeepOnTop->trigger();
    EXPECT_TRUE(mMain->mnuKeepOnTop->isChecked());
    EXPECT_TRUE(mMain->KeepOnTop());
    EXPECT_TRUE(General::gblnKeepOnTop);
    EXPECT_TRUE(mMain->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(mMain->isVisible());

    // Windows opened from the menus follow the tick.
    QAction* errors = mMain->findChild<QAction*>(QStringLiteral("mnuViewErrorMessages"));
    ASSERT_NE(errors, nullptr);
    errors->trigger();
    ASSERT_NE(frmError::Loaded(), nullptr);
    EXPECT_TRUE(frmError::Loaded()->isVisible());
    EXPECT_TRUE(frmError::Loaded()->windowFlags() & Qt::WindowStaysOnTopHint);

    mMain->mnuKeepOnTop->trigger();
    EXPECT_FALSE(mMain->mnuKeepOnTop->isChecked());
    EXPECT_FALSE(General::gblnKeepOnTop);
    EXPECT_FALSE(mMain->windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST_F(MainWindowTest, SwitchPanelsFlipTheFailureSimulation)
{
    frmProblemSimulation* sim = frmProblemSimulation::Instance();
    sim->chkThrottleC2SData->setChecked(false);
    sim->chkThrottleS2CData->setChecked(true);
    const bool terminate = sim->chkTerminateConnections->isChecked();
    // Only one direction throttled: both go off; again: both on.
    mMain->barStatus_PanelDblClick(6);
    EXPECT_FALSE(sim->chkThrottleC2SData->isChecked());
    EXPECT_FALSE(sim->chkThrottleS2CData->isChecked());
    mMain->barStatus_PanelDblClick(6);
    EXPECT_TRUE(sim->chkThrottleC2SData->isChecked());
    EXPECT_TRUE(sim->chkThrottleS2CData->isChecked());
    mMain->barStatus_PanelDblClick(4);
    EXPECT_NE(sim->chkTerminateConnections->isChecked(), terminate);
    // The counters and the clock do nothing.
    const QString before = mMain->barStatus->PanelText(5);
    for (int panel : {1, 2, 3, 9}) mMain->barStatus_PanelDblClick(panel);
    EXPECT_EQ(mMain->barStatus->PanelText(5), before);
    mMain->barStatus_PanelDblClick(4);
    sim->chkThrottleC2SData->setChecked(false);
    sim->chkThrottleS2CData->setChecked(false);
}

TEST_F(MainWindowTest, UnloadTimerReleasesTerminatedPairsOnly)
{
    QPointer<SocketPair> finished = new SocketPair();
    QPointer<SocketPair> alive = new SocketPair();
    std::shared_ptr<ProtocolHandler> handler = CreateProtocolHandler(QStringLiteral("Pass Through"));
    ASSERT_TRUE(handler);
    std::weak_ptr<ProtocolHandler> released = handler;
    finished->mobjProtocolHandler = handler;
    handler.reset();
    finished->mblnTerminated = true;
    alive->mobjProtocolHandler = CreateProtocolHandler(QStringLiteral("Pass Through"));

    EXPECT_EQ(tsy::LoadedWindows::Count(QStringLiteral("SocketPair")), 2);
    // Within about a second of the 1000 ms tick.
    EXPECT_TRUE(tsytest::WaitUntil([&] { return finished.isNull(); }));
    EXPECT_TRUE(released.expired());
    ASSERT_FALSE(alive.isNull());
    EXPECT_TRUE(alive->mobjProtocolHandler != nullptr);
    EXPECT_EQ(tsy::LoadedWindows::Count(QStringLiteral("SocketPair")), 1);
    alive->Unload();
    tsytest::Pump(20);
}

TEST_F(MainWindowTest, ClosingTheWindowShutsTheProgramDown)
{
    mMain->show();
    tsytest::Pump(20);
    // The free port answers while the program runs...
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(mFreePort));
        EXPECT_TRUE(probe.waitForConnected(2000));
    }
    mMain->close();
    EXPECT_TRUE(General::gblnApplicationClosing);
    EXPECT_EQ(mEnded, 1);
    EXPECT_TRUE(frmMain::ProgramEnded());
    EXPECT_EQ(General::gobjListening, nullptr);
    EXPECT_FALSE(frmMain::IsLoaded());
    // ...and is closed once it has ended.
    tsytest::Pump(50);
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, quint16(mFreePort));
    EXPECT_FALSE(probe.waitForConnected(1000));
}

TEST_F(MainWindowTest, ExitRunsTheShutdownOnce)
{
    QAction* exit = mMain->findChild<QAction*>(QStringLiteral("mnuExit"));
    ASSERT_NE(exit, nullptr);
    exit->trigger();
    EXPECT_EQ(mEnded, 1);
    EXPECT_EQ(General::gobjListening, nullptr);
    // Exit is not a close request.
    EXPECT_FALSE(General::gblnApplicationClosing);
}

} // namespace
