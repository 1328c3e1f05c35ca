// The options window over the real main window: defaults, switches that act
// at once, OK and Cancel, the frame's close, the autostart entry, the
// up-downs and what the main window's set-up reads from it.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmError.h"
#include "history/Logging.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/AnimationControl.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/UpDown.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

const QString kOptions = QStringLiteral("Options");

QString Stored(const char* key) { return tsy::Settings::GetSetting(kOptions, QString::fromLatin1(key), QStringLiteral("<none>")); }

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        QFile::remove(tsy::Runtime::AutostartFile());
        frmMain::SetEndProgramHook([] {});
        General::gblnLoggingEnabled = true;
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
    }

    void TearDown() override
    {
        tsytest::UnloadMainWindowAndEngine();
        QFile::remove(tsy::Runtime::AutostartFile());
    }

    frmMain* ShownMain()
    {
        frmMain* main = frmMain::Instance();
        main->show();
        tsytest::Pump(30);
        return main;
    }
    static bool ToolbarShown() { return frmMain::Instance()->barToolbar->isVisibleTo(frmMain::Instance()); }
};

TEST_F(OptionsTest, FirstLoadFillsTheDefaults)
{
    frmOptions* o = frmOptions::Instance();
    EXPECT_EQ(o->windowTitle(), QStringLiteral("Options"));
    EXPECT_EQ(o->tabOptions->currentIndex(), 0);
    EXPECT_EQ(o->tabOptions->tabText(0), QStringLiteral("Data Purging"));
    EXPECT_EQ(o->tabOptions->tabText(1), QStringLiteral("User Interface"));
    for (QCheckBox* box : {o->chkDiscard, o->chkShowToolBar, o->chkShowStatusBar, o->chkDisplayInSysTray,
                           o->chkAnimateConnectionDiagram, o->chkRemoveEphemeralPortReferences})
        EXPECT_TRUE(box->isChecked()) << qPrintable(box->objectName());
    EXPECT_FALSE(o->chkRunAtStartup->isChecked());
    EXPECT_FALSE(o->chkRunMinimized->isChecked());
    EXPECT_EQ(o->txtNumberToKeep->text(), QStringLiteral("100"));
    EXPECT_EQ(o->txtMaxMemorySize->text(), QStringLiteral("400"));
    EXPECT_EQ(o->txtMaximumEventCount->text(), QStringLiteral("200"));
    EXPECT_FALSE(o->isVisible());
    // Loading stores nothing.
    EXPECT_EQ(Stored("Discard"), QStringLiteral("<none>"));
}

TEST_F(OptionsTest, StoredSwitchTextFollowsOneRule)
{
    // A non-zero number ticks, a zero unticks, other text gives the default.
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("Discard"), QStringLiteral("yes"));
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("RunMinimized"), QStringLiteral(" 2 "));
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("StatusBar"), QStringLiteral("0.0"));
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("RunAtStarup"), QStringLiteral("-1"));
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("MaxMemorySize"), QStringLiteral(" 12 KB"));
    frmOptions* o = frmOptions::Instance();
    EXPECT_TRUE(o->chkDiscard->isChecked());
    EXPECT_TRUE(o->chkRunMinimized->isChecked());
    EXPECT_FALSE(o->chkShowStatusBar->isChecked());
    EXPECT_TRUE(o->chkRunAtStartup->isChecked());
    EXPECT_EQ(o->txtMaxMemorySize->text(), QStringLiteral(" 12 KB"));   // text boxes take any text
    // Start-up reads the store by the same rule.
    EXPECT_TRUE(frmOptions::StoredSwitch(QStringLiteral("RunMinimized")));
    EXPECT_FALSE(frmOptions::StoredSwitch(QStringLiteral("StatusBar")));
    EXPECT_TRUE(frmOptions::StoredSwitch(QStringLiteral("Discard")));
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("RunMinimized"), QStringLiteral("maybe"));
    EXPECT_FALSE(frmOptions::StoredSwitch(QStringLiteral("RunMinimized")));
}

TEST_F(OptionsTest, StoredToolbarAndStatusBarOffApplyAtTheMainWindowsSetUp)
{
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("ShowToolBar"), QStringLiteral("0"));
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("StatusBar"), QStringLiteral("0"));
    frmMain* main = ShownMain();
    EXPECT_FALSE(main->barToolbar->isVisible());
    EXPECT_FALSE(main->barStatus->isVisible());
    ASSERT_TRUE(frmOptions::IsLoaded());
    EXPECT_FALSE(frmOptions::Instance()->chkShowToolBar->isChecked());
    // Without the toolbar the titles move up to the top.
    EXPECT_LT(main->lblSockets->y(), 10);
}

TEST_F(OptionsTest, ASwitchActsAtOnceCancelUndoesItAndOkStoresIt)
{
    frmMain* main = ShownMain();
    frmOptions* o = frmOptions::Instance();
    main->ShowToolWindow(o);
    const int treeTop = main->tvwSockets->y();
    ASSERT_TRUE(ToolbarShown());

    o->chkShowToolBar->click();
    EXPECT_FALSE(ToolbarShown());
    EXPECT_LT(main->tvwSockets->y(), treeTop);   // laid out again at once
    o->chkShowStatusBar->click();
    EXPECT_FALSE(main->barStatus->isVisibleTo(main));

    o->cmdCancel->click();
    EXPECT_FALSE(o->isVisible());
    EXPECT_TRUE(frmOptions::IsLoaded());
    EXPECT_TRUE(o->chkShowToolBar->isChecked());
    EXPECT_TRUE(ToolbarShown());
    EXPECT_TRUE(main->barStatus->isVisibleTo(main));
    EXPECT_EQ(main->tvwSockets->y(), treeTop);
    EXPECT_EQ(Stored("ShowToolBar"), QStringLiteral("<none>"));

    o->chkShowToolBar->click();
    o->cmdOK->click();
    EXPECT_FALSE(o->isVisible());
    EXPECT_FALSE(ToolbarShown());
    EXPECT_EQ(Stored("ShowToolBar"), QStringLiteral("0"));
    EXPECT_EQ(Stored("StatusBar"), QStringLiteral("1"));
    EXPECT_EQ(Stored("NumberToKeep"), QStringLiteral("100"));
}

TEST_F(OptionsTest, CancelRestoresTypedLimitsAndOkStoresThemAsTyped)
{
    frmOptions* o = frmOptions::Instance();
    o->txtNumberToKeep->setText(QStringLiteral("5"));
    o->cmdCancel->click();
    EXPECT_EQ(o->txtNumberToKeep->text(), QStringLiteral("100"));
    EXPECT_EQ(Stored("NumberToKeep"), QStringLiteral("<none>"));

    o->txtMaxMemorySize->setText(QStringLiteral("lots"));
    o->cmdOK->click();
    EXPECT_EQ(Stored("MaxMemorySize"), QStringLiteral("lots"));
    EXPECT_EQ(o->txtMaxMemorySize->text(), QStringLiteral("lots"));
}

TEST_F(OptionsTest, TheFrameCloseStoresNothingAndTheNextReaderGetsTheStoredEffects)
{
    // Stored off, ticked without OK, then the frame closed: the reload shows
    // the box unticked, and the toolbar must follow it.
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("ShowToolBar"), QStringLiteral("0"));
    frmMain* main = ShownMain();
    frmOptions* o = frmOptions::Instance();
    main->ShowToolWindow(o);
    o->chkShowToolBar->click();
    ASSERT_TRUE(ToolbarShown());
    o->close();
    EXPECT_FALSE(frmOptions::IsLoaded());
    EXPECT_EQ(Stored("ShowToolBar"), QStringLiteral("0"));

    // The purge pass is such a reader.
    main->tmrKillDeadSockets_Timer();
    ASSERT_TRUE(frmOptions::IsLoaded());
    EXPECT_FALSE(frmOptions::Instance()->chkShowToolBar->isChecked());
    EXPECT_FALSE(ToolbarShown());
}

TEST_F(OptionsTest, RunAtStartupWritesTheEntryAtOnceAndCancelDeletesIt)
{
    const QString entry = tsy::Runtime::AutostartFile();
    frmOptions* o = frmOptions::Instance();
    o->chkRunAtStartup->click();
    ASSERT_TRUE(QFile::exists(entry));
    QFile f(entry);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(f.readAll()).contains(tsy::Runtime::ProgramPath()));
    f.close();
    EXPECT_EQ(Stored("RunAtStarup"), QStringLiteral("<none>"));
    o->cmdCancel->click();
    EXPECT_FALSE(QFile::exists(entry));

    // Stored on: every load writes it afresh; stored off: every load deletes it.
    o->chkRunAtStartup->click();
    o->cmdOK->click();
    EXPECT_EQ(Stored("RunAtStarup"), QStringLiteral("1"));
    QFile::remove(entry);
    frmOptions::Unload();
    frmOptions::Instance();
    EXPECT_TRUE(QFile::exists(entry));
    tsy::Settings::SaveSetting(kOptions, QStringLiteral("RunAtStarup"), QStringLiteral("0"));
    frmOptions::Unload();
    frmOptions::Instance();
    EXPECT_FALSE(QFile::exists(entry));
}

TEST_F(OptionsTest, AnimationSwitchPlaysAndStopsTheMainWindowsClips)
{
    frmMain* main = ShownMain();
    ASSERT_TRUE(main->aniWorking->IsOpen());
    frmOptions* o = frmOptions::Instance();
    o->chkAnimateConnectionDiagram->click();
    EXPECT_FALSE(main->aniWorking->IsPlaying());
    o->chkAnimateConnectionDiagram->click();
    EXPECT_TRUE(main->aniWorking->IsPlaying());
    EXPECT_TRUE(main->isEnabled());
    EXPECT_TRUE(o->isEnabled());
    // A control without a clip is skipped.
    auto* empty = new tsy::AnimationControl(main);
    o->chkAnimateConnectionDiagram->click();
    EXPECT_FALSE(empty->IsPlaying());
    EXPECT_FALSE(main->aniWorking->IsPlaying());
}

TEST_F(OptionsTest, MenuAndToolbarOpenTheWindow)
{
    frmMain* main = ShownMain();
    main->findChild<QAction*>(QStringLiteral("mnuOptions"))->trigger();
    EXPECT_TRUE(frmOptions::Instance()->isVisible());
    frmOptions::Instance()->cmdOK->click();
    main->barToolbar->findChild<QToolButton*>(QStringLiteral("Options"))->click();
    EXPECT_TRUE(frmOptions::Instance()->isVisible());
}

TEST_F(OptionsTest, UpDownsStepTheirBoxesWithinTheirRanges)
{
    frmOptions* o = frmOptions::Instance();
    // The memory box's default lies above its arrows' range: up leaves it, down goes to the edge.
    o->updMaxMemorySize->StepUp();
    EXPECT_EQ(o->txtMaxMemorySize->text(), QStringLiteral("400"));
    o->updMaxMemorySize->StepDown();
    EXPECT_EQ(o->txtMaxMemorySize->text(), QStringLiteral("100"));
    o->updMaxMemorySize->StepDown();
    EXPECT_EQ(o->txtMaxMemorySize->text(), QStringLiteral("99"));
    o->updNumberToKeep->StepUp();
    EXPECT_EQ(o->txtNumberToKeep->text(), QStringLiteral("110"));
    o->upMaximumEventCount->StepDown();
    EXPECT_EQ(o->txtMaximumEventCount->text(), QStringLiteral("190"));
    EXPECT_EQ(o->upMaximumEventCount->Min(), 10);
    EXPECT_EQ(o->upMaximumEventCount->Max(), 50000);

    using tsy::UpDown;
    // Edges stop the arrows; an arrow never moves against its direction.
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("50000"), 10, 50000, 10, true), QStringLiteral("50000"));
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("49995"), 10, 50000, 10, true), QStringLiteral("50000"));
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("15"), 10, 50000, 10, false), QStringLiteral("10"));
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("10"), 10, 50000, 10, false), QStringLiteral("10"));
    // From below the range: up goes to its lower edge, down leaves the text.
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("-7"), 10, 50000, 10, true), QStringLiteral("10"));
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("-7"), 10, 50000, 10, false), QStringLiteral("-7"));
    // Text that is not a number counts as below the range; huge numbers come back to the edge.
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("abc"), 1, 100, 1, true), QStringLiteral("1"));
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("abc"), 1, 100, 1, false), QStringLiteral("abc"));
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("1e30"), 1, 100, 1, false), QStringLiteral("100"));
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("1e30"), 1, 100, 1, true), QStringLiteral("1e30"));
    EXPECT_EQ(UpDown::Stepped(QStringLiteral("2.5"), 1, 100, 1, true), QStringLiteral("3"));
}

TEST_F(OptionsTest, ShutdownUnloadsTheWindowWithoutStoring)
{
    frmMain* main = ShownMain();
    frmOptions::Instance()->txtNumberToKeep->setText(QStringLiteral("7"));
    main->Terminate();
    EXPECT_FALSE(frmOptions::IsLoaded());
    EXPECT_EQ(Stored("NumberToKeep"), QStringLiteral("<none>"));
}

} // namespace
