// The main window's commands over a real Pass Through relay: every menu item,
// pop-up item, toolbar button and drop-down item against the table of what
// it must do (a new entry missing from the table fails the test), the view
// switch as a pair of radio items, Clear All Data, Event History after the
// purge took the selected node, the status bar's logging panel and Keep on Top.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmConfigure.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "export/frmEventDetails.h"
#include "export/frmRealTimeData.h"
#include "export/frmRealTimeLogging.h"
#include "export/frmSaveHistory.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/PanelBar.h"
#include "mainwindow/frmAbout.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/KeyedList.h"
#include "platform/KeyedTree.h"
#include "platform/Modal.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>
#include <functional>
#include <gtest/gtest.h>
#include <map>

namespace {

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        frmOptions::Unload();
        mScript = &tsy::Modal::UseScript();
        ASSERT_TRUE(tsytest::ListenAsEcho(mEcho));
        mPort = tsytest::FreePort();
        tsytest::SavePassThroughPort(mPort, QStringLiteral("127.0.0.1"), mEcho.serverPort(), QStringLiteral("Echo"));
        frmMain::SetEndProgramHook([this] { ++mEnded; });
        General::gblnLoggingEnabled = true;
        General::gblnApplicationClosing = false;
        General::gblnConnectionDiagramView = true;
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
        General::gobjListening->InitaliseListeningSockets();
        mMain = frmMain::Instance();
        mMain->show();
        tsytest::Pump(20);
        mPortKey = QStringLiteral("PROTO") + QString::number(mPort);
    }

    void TearDown() override
    {
        for (const auto& unload : std::initializer_list<std::function<void()>>{
                 [] { frmSaveHistory::Unload(); }, [] { frmEventDetails::Unload(); }, [] { frmRealTimeData::Unload(); },
                 [] { frmRealTimeLogging::Unload(); }, [] { frmOptions::Unload(); }, [] { frmConfigure::Unload(); },
                 [] { frmProblemSimulation::Unload(); }})
            unload();
        tsytest::UnloadMainWindowAndEngine();
        General::gblnKeepOnTop = false;
        tsy::Modal::SetBackend(nullptr);
        tsytest::ClearSettings();
        tsytest::Pump(20);
    }

    // One relayed connection, echoed; returns its pair key.
    QString Connect(QTcpSocket& client)
    {
        client.connectToHost(QHostAddress::LocalHost, quint16(mPort));
        EXPECT_TRUE(client.waitForConnected(5000));
        client.write("hello");
        QByteArray back;
        EXPECT_TRUE(tsytest::WaitUntil([&] { back += client.readAll(); return back.size() >= 5; }));
        const auto& col = General::gobjLogging->mobjSocketPairHistory;
        return col.KeyAt(col.Count());
    }

    // Clicks down the tree to the socket node of the pair.
    void ClickDownTo(const QString& pairKey)
    {
        mMain->tvwSockets_NodeClick(mPortKey);
        mMain->tvwSockets_NodeClick(mMain->tvwSockets->ChildKeys(mPortKey).value(0));
        mMain->tvwSockets_NodeClick(pairKey);
    }

    // Shown, with the main window as its owner.
    bool OwnedAndVisible(QWidget* w) const
    {
        return w && w->isVisible() && w->windowHandle() && w->windowHandle()->transientParent() == mMain->windowHandle();
    }

    QToolButton* Button(const QString& key) const { return mMain->barToolbar->findChild<QToolButton*>(key); }

    tsy::Modal::ScriptedBackend* mScript = nullptr;
    QTcpServer mEcho;
    int mPort = 0;
    int mEnded = 0;
    QString mPortKey;
    frmMain* mMain = nullptr;
};

TEST_F(CommandsTest, EveryMenuPopupAndToolbarEntryDoesWhatItsCaptionSays)
{
    QTcpSocket client;
    const QString pairKey = Connect(client);
    ClickDownTo(pairKey);   // a socket node: Save is enabled
    ASSERT_TRUE(mMain->mnuSaveHistory->isEnabled());

    using Check = std::function<void()>;
    const auto opens = [this](std::function<QWidget*()> window) {
        return [this, window] {
            QWidget* w = window();
            EXPECT_TRUE(OwnedAndVisible(w)) << (w ? w->objectName().toStdString() : std::string("none"));
        };
    };
    const auto about = [this] {
        const auto windows = mMain->findChildren<frmAbout*>();
        EXPECT_FALSE(windows.isEmpty());
        if (!windows.isEmpty()) {
            EXPECT_TRUE(OwnedAndVisible(windows.last()));
        }
    };
    const auto help = [this] {
        ASSERT_EQ(mScript->count(QStringLiteral("OpenWith")), 1);
        const QString path = QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("Help/TSY.html"));
        EXPECT_EQ(mScript->calls.last().text, path);
        EXPECT_TRUE(QFile::exists(path));
        mScript->calls.clear();
    };
    const auto historyView = [] { EXPECT_FALSE(General::gblnConnectionDiagramView); };
    const auto diagramView = [] { EXPECT_TRUE(General::gblnConnectionDiagramView); };
    bool onTop = false;
    const auto keepOnTop = [this, &onTop] {
        onTop = !onTop;
        EXPECT_EQ(mMain->mnuKeepOnTop->isChecked(), onTop);
        EXPECT_EQ(bool(mMain->windowFlags() & Qt::WindowStaysOnTopHint), onTop);
        EXPECT_EQ(Button(QStringLiteral("KeepOnTop"))->isChecked(), onTop);
    };
    const auto cleared = [] { EXPECT_EQ(General::gobjLogging->mobjSocketPairHistory.Count(), 1); };   // the live one stays
    const auto pane = [](bool shown) {
        return [shown] { EXPECT_EQ(frmRealTimeData::Instance()->chkShowRealTimeData->isChecked(), shown); };
    };

    // What each entry must do, by the action's name or the toolbar key.
    std::map<QString, Check> menu = {
        {"mnuClearAllData", cleared},
        {"mnuEventHistory", historyView},
        {"mnuConnectionDiagram", diagramView},
        {"mnuRealTimeData", opens([] { return frmRealTimeData::Instance(); })},
        {"mnuViewErrorMessages", opens([] { return frmError::Instance(); })},
        {"mnuKeepOnTop", keepOnTop},
        {"mnuSaveHistory", opens([] { return frmSaveHistory::Loaded(); })},
        {"mnuConfigure", opens([] { return frmConfigure::Instance(); })},
        {"mnuFailureSimulation", opens([] { return frmProblemSimulation::Instance(); })},
        {"mnuRealTimeLogging", opens([] { return frmRealTimeLogging::Instance(); })},
        {"mnuOptions", opens([] { return frmOptions::Instance(); })},
        {"mnuContents", help},
        {"mnuAbout", about},
        {"mnuExit", [this] { EXPECT_EQ(mEnded, 1); }},
    };
    std::map<QString, Check> toolbar = {
        {"Clear", cleared},
        {"Configure", opens([] { return frmConfigure::Instance(); })},
        {"Options", opens([] { return frmOptions::Instance(); })},
        {"SaveData", opens([] { return frmSaveHistory::Loaded(); })},
        {"Realtime", opens([] { return frmRealTimeData::Instance(); })},
        {"Errors", opens([] { return frmError::Instance(); })},
        {"ConnectionDiagram", historyView},   // from the diagram view it toggles to the history
        {"KeepOnTop", keepOnTop},
        {"ShowRealTime", pane(true)},
        {"HideRealTime", pane(false)},
        {"ShowConnectionDiagram", diagramView},
        {"ShowEventHistory", historyView},
    };

    // The toolbar first (Exit of the menu bar ends the program).
    int toolbarEntries = 0;
    for (QToolButton* button : mMain->barToolbar->findChildren<QToolButton*>()) {
        const QString key = button->objectName();
        if (key.isEmpty() || key.startsWith(QStringLiteral("qt_"))) continue;
        ++toolbarEntries;
        ASSERT_TRUE(toolbar.count(key)) << "toolbar button without a row: " << key.toStdString();
        if (key == QStringLiteral("ConnectionDiagram")) General::gblnConnectionDiagramView = true;
        ClickDownTo(pairKey);   // Clear All Data clicks the root; Save wants a socket
        button->click();
        tsytest::Pump(10);
        toolbar[key]();
        if (QMenu* dropDown = button->menu()) {
            for (QAction* item : dropDown->actions()) {
                const QString data = item->data().toString();
                ++toolbarEntries;
                ASSERT_TRUE(toolbar.count(data)) << "drop-down item without a row: " << data.toStdString();
                item->trigger();
                tsytest::Pump(10);
                toolbar[data]();
            }
        }
    }
    EXPECT_EQ(toolbarEntries, int(toolbar.size()));

    // The pop-up on the socket node: its Save item opens a fresh save window.
    ClickDownTo(pairKey);
    ASSERT_TRUE(mMain->PreparePopup(pairKey));
    ASSERT_TRUE(mMain->mnuSaveHistoryPopUp->isEnabled());
    frmSaveHistory::Unload();
    mMain->mnuSaveHistoryPopUp->trigger();
    EXPECT_TRUE(OwnedAndVisible(frmSaveHistory::Loaded()));
    // Stop Listening and Protocol on the port node.
    ASSERT_TRUE(mMain->PreparePopup(mPortKey));
    mMain->mnuProtocol->trigger();
    EXPECT_TRUE(frmConfigure::Instance()->isVisible());
    mMain->mnuStopListening->trigger();
    EXPECT_EQ(tsy::Settings::GetSetting(QStringLiteral("Protocols"), QString::number(mPort)), QStringLiteral("<Don't use>"));
    EXPECT_TRUE(mMain->tvwSockets->Text(mPortKey).endsWith(QStringLiteral(") - Not Listening")));

    // Every item of the menu bar, Exit last.
    int menuEntries = 0;
    QList<QAction*> items;
    for (QAction* top : mMain->menuBar()->actions())
        for (QAction* item : top->menu()->actions())
            if (!item->isSeparator()) items.append(item);
    std::stable_partition(items.begin(), items.end(), [](QAction* a) { return a->objectName() != QStringLiteral("mnuExit"); });
    for (QAction* item : items) {
        const QString name = item->objectName();
        ++menuEntries;
        ASSERT_TRUE(menu.count(name)) << "menu item without a row: " << name.toStdString();
        ClickDownTo(pairKey);
        item->trigger();
        tsytest::Pump(10);
        menu[name]();
    }
    EXPECT_EQ(menuEntries, int(menu.size()));
}

TEST_F(CommandsTest, TheViewSwitchIsAPairOfRadioItems)
{
    QTcpSocket client;
    const QString pairKey = Connect(client);
    ClickDownTo(pairKey);
    const int events = General::gobjLogging->mobjSocketPairHistory.Item(pairKey)->mobjSocketPairEvents.Count();
    ASSERT_TRUE(mMain->mnuConnectionDiagram->isChecked());
    EXPECT_EQ(mMain->lvwDetails->topLevelItemCount(), 0);   // the diagram view lists no events

    Button(QStringLiteral("ConnectionDiagram"))->click();
    EXPECT_FALSE(General::gblnConnectionDiagramView);
    EXPECT_TRUE(mMain->mnuEventHistory->isChecked());
    EXPECT_FALSE(mMain->mnuConnectionDiagram->isChecked());
    EXPECT_EQ(mMain->lvwDetails->topLevelItemCount(), events);   // the socket's event rows

    Button(QStringLiteral("ConnectionDiagram"))->click();
    EXPECT_TRUE(General::gblnConnectionDiagramView);
    EXPECT_TRUE(mMain->mnuConnectionDiagram->isChecked());
    EXPECT_FALSE(mMain->mnuEventHistory->isChecked());

    // Triggering the ticked item leaves exactly one tick.
    mMain->mnuConnectionDiagram->trigger();
    EXPECT_TRUE(mMain->mnuConnectionDiagram->isChecked());
    EXPECT_FALSE(mMain->mnuEventHistory->isChecked());
    EXPECT_TRUE(General::gblnConnectionDiagramView);
    mMain->mnuEventHistory->trigger();
    mMain->mnuEventHistory->trigger();
    EXPECT_TRUE(mMain->mnuEventHistory->isChecked());
    EXPECT_FALSE(mMain->mnuConnectionDiagram->isChecked());
    EXPECT_FALSE(General::gblnConnectionDiagramView);
}

TEST_F(CommandsTest, EventHistoryAfterThePurgeTookTheSelectedNodeLogsNothing)
{
    QString pairKey;
    {
        QTcpSocket client;
        pairKey = Connect(client);
        ClickDownTo(pairKey);
        client.disconnectFromHost();
        ASSERT_TRUE(tsytest::WaitUntil([&] { return General::gobjLogging->mobjSocketPairHistory.Item(pairKey)->mblnDead; }));
    }
    const int errors = frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0;
    frmOptions::Instance()->txtNumberToKeep->setText(QStringLiteral("0"));
    General::gobjLogging->KillDeadSocketConnections();
    ASSERT_FALSE(mMain->tvwSockets->Exists(pairKey));
    // Its partners' node, which the purge leaves, stands in for it.
    ASSERT_EQ(mMain->tvwSockets->Image(mMain->mnodSelectedNode), QStringLiteral("Connection"));

    mMain->mnuEventHistory->trigger();
    EXPECT_FALSE(General::gblnConnectionDiagramView);
    EXPECT_EQ(mMain->lvwDetails->topLevelItemCount(), 0);
    EXPECT_EQ(frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0, errors);
    mMain->mnuConnectionDiagram->trigger();
    EXPECT_EQ(frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0, errors);
}

TEST_F(CommandsTest, ClearAllDataAsksNothingAndKeepsTheLiveConnection)
{
    QTcpSocket live;
    Connect(live);
    for (int i = 0; i < 2; ++i) {
        QTcpSocket gone;
        const QString key = Connect(gone);
        gone.disconnectFromHost();
        ASSERT_TRUE(tsytest::WaitUntil([&] { return General::gobjLogging->mobjSocketPairHistory.Item(key)->mblnDead; }));
    }
    ASSERT_EQ(General::gobjLogging->mobjSocketPairHistory.Count(), 3);
    mScript->calls.clear();
    mMain->findChild<QAction*>(QStringLiteral("mnuClearAllData"))->trigger();
    EXPECT_TRUE(mScript->calls.isEmpty());
    ASSERT_EQ(General::gobjLogging->mobjSocketPairHistory.Count(), 1);
    EXPECT_FALSE(General::gobjLogging->mobjSocketPairHistory.Item(1)->mblnDead);
}

TEST_F(CommandsTest, SaveDataGivesAFreshWindowForTheNodeSelectedNow)
{
    QTcpSocket first, second;
    const QString a = Connect(first);
    const QString b = Connect(second);
    ClickDownTo(a);
    mMain->findChild<QAction*>(QStringLiteral("mnuSaveHistory"))->trigger();
    QPointer<frmSaveHistory> before = frmSaveHistory::Loaded();
    ASSERT_TRUE(before);
    mMain->tvwSockets_NodeClick(b);
    mMain->findChild<QAction*>(QStringLiteral("mnuSaveHistory"))->trigger();
    tsytest::Pump(20);
    EXPECT_TRUE(before.isNull() || before != frmSaveHistory::Loaded());
    EXPECT_TRUE(OwnedAndVisible(frmSaveHistory::Loaded()));
}

TEST_F(CommandsTest, HelpThatNothingOpensIsLoggedOnce)
{
    const auto errors = [] { return frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0; };
    QAction* contents = mMain->menuBar()->findChild<QAction*>(QStringLiteral("mnuContents"));
    ASSERT_TRUE(contents);
    const int before = errors();
    contents->trigger();
    EXPECT_EQ(errors(), before);

    mScript->openResult = false;   // a desktop with no browser for the page
    contents->trigger();
    EXPECT_EQ(mScript->count(QStringLiteral("OpenWith")), 2);
    ASSERT_EQ(errors(), before + 1);
    EXPECT_TRUE(frmError::Loaded()->LogText().contains(QStringLiteral(
        "An error occurred while attempting to show the help.  The operating system reports: 1155, "
        "No application is associated with the specified file for this operation")));
}

TEST_F(CommandsTest, PanelEightFlipsRealTimeLogging)
{
    QCheckBox* box = frmRealTimeLogging::Instance()->chkLoggingEnabled;
    const bool before = box->isChecked();
    mMain->barStatus_PanelDblClick(8);
    EXPECT_NE(box->isChecked(), before);
    EXPECT_EQ(mMain->barStatus->PanelText(8), box->isChecked() ? QStringLiteral("Logging: ON ") : QStringLiteral("Logging: Off "));
    mMain->barStatus_PanelDblClick(8);
    EXPECT_EQ(box->isChecked(), before);
    EXPECT_EQ(mMain->barStatus->PanelText(8), box->isChecked() ? QStringLiteral("Logging: ON ") : QStringLiteral("Logging: Off "));
    for (int panel : {1, 2, 3, 9}) mMain->barStatus_PanelDblClick(panel);   // nothing happens
    EXPECT_EQ(box->isChecked(), before);
}

TEST_F(CommandsTest, KeepOnTopAppliesToWindowsOpenedWhileTicked)
{
    mMain->mnuKeepOnTop->trigger();
    ASSERT_TRUE(mMain->KeepOnTop());
    mMain->findChild<QAction*>(QStringLiteral("mnuOptions"))->trigger();
    EXPECT_TRUE(frmOptions::Instance()->windowFlags() & Qt::WindowStaysOnTopHint);
    mMain->mnuKeepOnTop->trigger();
    ASSERT_FALSE(mMain->KeepOnTop());
    mMain->findChild<QAction*>(QStringLiteral("mnuFailureSimulation"))->trigger();
    EXPECT_FALSE(frmProblemSimulation::Instance()->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(frmOptions::Instance()->windowFlags() & Qt::WindowStaysOnTopHint);   // already open: unchanged
}

TEST_F(CommandsTest, AboutTwiceShowsOneWindowAndBringsItForward)
{
    QAction* about = mMain->findChild<QAction*>(QStringLiteral("mnuAbout"));
    about->trigger();
    tsytest::Pump(10);
    ASSERT_EQ(mMain->findChildren<frmAbout*>().size(), 1);
    const QPointer<frmAbout> shown = mMain->findChildren<frmAbout*>().first();
    EXPECT_TRUE(OwnedAndVisible(shown));
    EXPECT_TRUE(tsytest::WaitUntil([&] { return QApplication::activeWindow() == shown; }, 5000));

    // Something else comes forward; the command brings the same window back.
    mMain->activateWindow();
    ASSERT_TRUE(tsytest::WaitUntil([this] { return QApplication::activeWindow() == mMain; }, 5000));
    about->trigger();
    tsytest::Pump(10);
    EXPECT_EQ(mMain->findChildren<frmAbout*>().size(), 1);
    EXPECT_EQ(mMain->findChildren<frmAbout*>().value(0), shown.data());
    EXPECT_TRUE(tsytest::WaitUntil([&] { return QApplication::activeWindow() == shown; }, 5000));

    // Once closed, the next command opens a new one.
    shown->cmdOk->click();
    ASSERT_TRUE(tsytest::WaitUntil([&] { return shown.isNull(); }, 5000));
    about->trigger();
    tsytest::Pump(10);
    ASSERT_EQ(mMain->findChildren<frmAbout*>().size(), 1);
    EXPECT_TRUE(OwnedAndVisible(mMain->findChildren<frmAbout*>().first()));
}

} // namespace
