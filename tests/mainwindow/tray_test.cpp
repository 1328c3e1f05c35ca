// The tray icon: its animation over the 5 x 5 grid, what a real relay's sends
// make of it, closing and minimising into the tray (with a tray forced present,
// since the offscreen platform has none) and without one; the about and
// splash windows' version text.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmConfigure.h"
#include "engine/frmError.h"
#include "history/Logging.h"
#include "mainwindow/Version.h"
#include "mainwindow/frmAbout.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "mainwindow/frmSplash.h"
#include "mainwindow/frmSysTray.h"
#include "platform/AnimationControl.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/WindowTimer.h"
#include "platform/Winsock.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWindow>
#include <gtest/gtest.h>

namespace {

// The tray loaded on its own, its timer stopped so that each tick is ours.
class TrayAnimationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        frmSysTray::ResetAnimation();
        frmSysTray::SetTrayAvailableHook([] { return true; });
        mTray = frmSysTray::Load();
        mTray->tmrSysTray->SetEnabled(false);
    }
    void TearDown() override
    {
        frmSysTray::SetTrayAvailableHook({});
        frmSysTray::Unload();
        frmSysTray::ResetAnimation();
    }
    std::vector<int> Ticks(int n)
    {
        std::vector<int> out;
        for (int i = 0; i < n; ++i) {
            mTray->tmrSysTray_Timer();
            out.push_back(mTray->CurrentPicture());
        }
        return out;
    }
    frmSysTray* mTray = nullptr;
};

using V = std::vector<int>;

TEST_F(TrayAnimationTest, OneSendPlaysOneCycleOfItsDirection)
{
    EXPECT_EQ(Ticks(3), V({25, 25, 25}));
    EXPECT_EQ(mTray->trayIcon->toolTip(), QStringLiteral("Tessaly"));

    frmSysTray::DataSent(true);   // towards the server: the columns
    EXPECT_EQ(Ticks(7), V({1, 2, 3, 4, 5, 25, 25}));

    frmSysTray::DataSent(false);  // towards the client: the rows
    EXPECT_EQ(Ticks(6), V({1, 6, 11, 16, 21, 25}));

    frmSysTray::DataSent(true);
    frmSysTray::DataSent(false);
    EXPECT_EQ(Ticks(6), V({1, 7, 13, 19, 25, 25}));
}

TEST_F(TrayAnimationTest, ASendDuringACycleEarnsExactlyOneMoreAndContinuousSendsNeverRest)
{
    frmSysTray::DataSent(true);
    EXPECT_EQ(Ticks(2), V({1, 2}));
    frmSysTray::DataSent(true);
    frmSysTray::DataSent(true);
    EXPECT_EQ(Ticks(9), V({3, 4, 5, 1, 2, 3, 4, 5, 25}));

    for (int i = 0; i < 30; ++i) {
        frmSysTray::DataSent(i % 2 == 0);
        EXPECT_NE(Ticks(1)[0], 25) << i;
    }
}

TEST_F(TrayAnimationTest, SendsMadeWhileUnloadedAnimateOnceAfterALoad)
{
    frmSysTray::Unload();
    EXPECT_FALSE(frmSysTray::IsLoaded());
    frmSysTray::DataSent(false);
    mTray = frmSysTray::Load();
    mTray->tmrSysTray->SetEnabled(false);
    EXPECT_EQ(Ticks(6), V({1, 6, 11, 16, 21, 25}));
}

// A real Pass Through relay: what the client sends moves the server-bound
// column, what the server answers the client-bound row.
class TrayRelayTest : public tsytest::RelayFixture {};

TEST_F(TrayRelayTest, RelayedBytesAnimateTheirDirection)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    const int port = tsytest::FreePort();
    tsytest::SavePassThroughPort(port, QStringLiteral("127.0.0.1"), server.serverPort());
    tsy::Winsock* sock = nullptr;
    int err = 0;
    QString text;
    ASSERT_TRUE(General::gobjListening->StartListeningOnSocket(sock, port, err, text)) << text.toStdString();

    frmSysTray::ResetAnimation();
    frmSysTray* tray = frmSysTray::Load();
    tray->tmrSysTray->SetEnabled(false);
    const auto tick = [tray] {
        tray->tmrSysTray_Timer();
        return tray->CurrentPicture();
    };

    tsytest::RawClient client(port);
    ASSERT_TRUE(tsytest::WaitUntil([&] { return server.hasPendingConnections(); }));
    QTcpSocket* peer = server.nextPendingConnection();
    ASSERT_TRUE(tsytest::WaitUntil([&] { return peer->state() == QAbstractSocket::ConnectedState; }));
    for (int i = 0; i < 6; ++i) tick();   // settle whatever the connect did
    ASSERT_EQ(tick(), 25);

    client.Send("to the server");
    ASSERT_TRUE(tsytest::WaitUntil([&] { return peer->bytesAvailable() >= 13; }));
    EXPECT_EQ(V({tick(), tick(), tick(), tick(), tick(), tick()}), V({1, 2, 3, 4, 5, 25}));

    peer->write("to the client");
    ASSERT_TRUE(client.WaitFor("to the client"));
    EXPECT_EQ(V({tick(), tick(), tick(), tick(), tick(), tick()}), V({1, 6, 11, 16, 21, 25}));

    frmSysTray::Unload();
    frmSysTray::ResetAnimation();
}

// The main window over the real recorder and listener.
class TrayWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        frmOptions::Unload();   // its boxes are read afresh from the store
        mPort = tsytest::FreePort();
        tsytest::SavePassThroughPort(mPort, QStringLiteral("127.0.0.1"), 9, QStringLiteral("Relay for tests"));
        mEnded = 0;
        frmMain::SetEndProgramHook([this] { ++mEnded; });
        General::gblnLoggingEnabled = true;
        General::gblnApplicationClosing = false;
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
        General::gobjListening->InitaliseListeningSockets();
    }

    void TearDown() override
    {
        frmSysTray::SetTrayAvailableHook({});
        frmSysTray::Unload();
        frmConfigure::Unload();
        tsytest::UnloadMainWindowAndEngine();
        General::gblnKeepOnTop = false;
    }

    // Loads and shows the main window with a tray present or not.
    frmMain* Open(bool trayPresent)
    {
        frmSysTray::SetTrayAvailableHook([trayPresent] { return trayPresent; });
        frmMain* main = frmMain::Instance();
        main->show();
        tsytest::Pump(20);
        if (frmSysTray* tray = frmSysTray::Loaded()) tray->tmrSysTray->SetEnabled(false);
        return main;
    }

    bool PortAnswers() const
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(mPort));
        return probe.waitForConnected(2000);
    }

    int mPort = 0;
    int mEnded = 0;
};

TEST_F(TrayWindowTest, WithoutATrayClosingEndsTheProgramAndMinimisingOnlyMinimises)
{
    frmMain* main = Open(false);
    ASSERT_TRUE(frmSysTray::IsLoaded());   // the option is on by default
    EXPECT_FALSE(frmSysTray::InUse());
    EXPECT_EQ(frmSysTray::Loaded()->trayIcon, nullptr);   // nothing to add it to
    main->setWindowState(main->windowState() | Qt::WindowMinimized);
    tsytest::Pump(20);
    EXPECT_TRUE(main->isVisible());
    main->close();
    EXPECT_EQ(mEnded, 1);
    EXPECT_FALSE(frmSysTray::IsLoaded());   // the shutdown removed the icon
}

TEST_F(TrayWindowTest, WithTheOptionOffNoIconIsLoaded)
{
    tsy::Settings::SaveSetting(QStringLiteral("Options"), QStringLiteral("SystemTray"), QStringLiteral("0"));
    frmMain* main = Open(true);
    EXPECT_FALSE(frmSysTray::IsLoaded());
    main->close();
    EXPECT_EQ(mEnded, 1);
}

TEST_F(TrayWindowTest, ClosingHidesTheWindowsAndTheRelayGoesOn)
{
    frmMain* main = Open(true);
    ASSERT_TRUE(frmSysTray::InUse());
    frmError::LogError(QStringLiteral("shown"));
    ASSERT_TRUE(frmError::Loaded()->isVisible());
    main->close();
    tsytest::Pump(20);
    EXPECT_EQ(mEnded, 0);
    EXPECT_TRUE(frmMain::IsLoaded());
    EXPECT_FALSE(main->isVisible());
    EXPECT_FALSE(frmError::Loaded()->isVisible());
    EXPECT_TRUE(General::gblnApplicationClosing);
    EXPECT_TRUE(PortAnswers());

    // A double-click on the icon brings it back; a single activation does nothing.
    frmSysTray* tray = frmSysTray::Loaded();
    emit tray->trayIcon->activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(main->isVisible());
    emit tray->trayIcon->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(main->isMinimized());
}

TEST_F(TrayWindowTest, MenuMinimisesAndRestoresKeepingTopmost)
{
    frmMain* main = Open(true);
    frmSysTray* tray = frmSysTray::Loaded();
    main->mnuKeepOnTop->trigger();
    ASSERT_TRUE(main->KeepOnTop());
    frmError::LogError(QStringLiteral("shown"));

    tray->PrepareMenu();
    EXPECT_EQ(tray->mnuRestore->text(), QStringLiteral("Minimize"));
    tray->mnuRestore->trigger();
    tsytest::Pump(20);
    EXPECT_FALSE(main->isVisible());
    EXPECT_FALSE(frmError::Loaded()->isVisible());

    tray->PrepareMenu();
    EXPECT_EQ(tray->mnuRestore->text(), QStringLiteral("Restore..."));
    tray->mnuRestore->trigger();
    tsytest::Pump(20);
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(main->isMinimized());
    EXPECT_TRUE(main->windowFlags() & Qt::WindowStaysOnTopHint);

    // A hidden window that is not flagged minimised is still offered Restore.
    main->hide();
    tray->PrepareMenu();
    EXPECT_EQ(tray->mnuRestore->text(), QStringLiteral("Restore..."));
}

TEST_F(TrayWindowTest, ConfigureShowsOnItsOwnAndExitShutsDownOnce)
{
    frmMain* main = Open(true);
    frmSysTray* tray = frmSysTray::Loaded();
    main->close();
    ASSERT_FALSE(main->isVisible());
    tray->mnuConfigure->trigger();
    ASSERT_TRUE(frmConfigure::IsLoaded());
    EXPECT_TRUE(frmConfigure::Instance()->isVisible());
    ASSERT_NE(frmConfigure::Instance()->windowHandle(), nullptr);
    EXPECT_EQ(frmConfigure::Instance()->windowHandle()->transientParent(), nullptr);

    tray->mnuExit->trigger();
    EXPECT_EQ(mEnded, 1);
    EXPECT_FALSE(frmSysTray::IsLoaded());
    EXPECT_EQ(General::gobjListening, nullptr);
}

TEST_F(TrayWindowTest, ATrayThatGoesAwayGivesTheHiddenWindowBack)
{
    bool present = true;
    frmSysTray::SetTrayAvailableHook([&present] { return present; });
    frmMain* main = frmMain::Instance();
    main->show();
    tsytest::Pump(20);
    frmSysTray* tray = frmSysTray::Loaded();
    tray->tmrSysTray->SetEnabled(false);
    main->close();
    ASSERT_FALSE(main->isVisible());
    tray->tmrSysTray_Timer();
    EXPECT_FALSE(main->isVisible());
    present = false;
    tray->tmrSysTray_Timer();
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(main->isMinimized());
    // Without a tray the window no longer hides.
    main->close();
    EXPECT_EQ(mEnded, 1);
}

TEST(AboutTest, ShowsTheVersionAndEachOpeningIsANewWindow)
{
    QWidget owner;
    QPointer<frmAbout> first = new frmAbout(&owner);
    EXPECT_EQ(first->windowTitle(), QStringLiteral("About Tessaly"));
    EXPECT_EQ(first->Label1->text(), QStringLiteral("Tessaly"));
    EXPECT_TRUE(first->Label1->font().bold());
    EXPECT_EQ(first->lblBuild->text(), QStringLiteral("Version: 1.2 Build: 64"));
    EXPECT_TRUE(first->aniAnimation->IsOpen());
    first->show();
    first->cmdOk->click();
    tsytest::WaitUntil([&] { return first.isNull(); }, 2000);
    EXPECT_TRUE(first.isNull());

    QPointer<frmAbout> second = new frmAbout(&owner);
    second->show();
    second->close();
    tsytest::WaitUntil([&] { return second.isNull(); }, 2000);
    EXPECT_TRUE(second.isNull());
}

TEST(AboutTest, WithoutTheClipTheAnimationIsEmpty)
{
    QTemporaryDir dir;
    const QString program = tsy::Runtime::ProgramDir();
    tsy::Runtime::SetProgramDir(dir.path());
    frmAbout about(nullptr);
    tsy::Runtime::SetProgramDir(program);
    EXPECT_FALSE(about.aniAnimation->IsOpen());
    EXPECT_EQ(about.lblBuild->text(), Version::VersionText());
}

TEST(SplashTest, ShowsTheVersionText)
{
    EXPECT_EQ(frmSplash::Instance()->lblVersion->text(), QStringLiteral("Version: 1.2 Build: 64"));
    frmSplash::Unload();
}

} // namespace
