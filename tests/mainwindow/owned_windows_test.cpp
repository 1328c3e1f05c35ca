// The windows the main window owns carry their owner from their first show
// on an X server: each is opened by its command while it is not loaded, and
// once the server has mapped it, its WM_TRANSIENT_FOR names the main window.
// Run by owned_windows_xvfb_test.py on a private Xvfb display; on any other
// platform the test is skipped.
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
#include "mainwindow/frmAbout.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/KeyedTree.h"
#include "platform/Modal.h"

#include <QAction>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWindow>
#include <functional>
#include <gtest/gtest.h>

namespace {

QString RunTool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(1000);
        return {};
    }
    return QString::fromLatin1(p.readAllStandardOutput());
}

// The native window now: a change of flags gives a window a new one.
WId Native(QWidget* w) { return w->windowHandle() ? w->windowHandle()->winId() : 0; }
QString Hex(WId id) { return QStringLiteral("0x") + QString::number(quint64(id), 16); }

// The X server has mapped the window: its owner, if any, was written before.
bool Mapped(QWidget* w)
{
    return RunTool(QStringLiteral("xwininfo"), {QStringLiteral("-id"), Hex(Native(w))}).contains(QStringLiteral("IsViewable"));
}

// The window named by WM_TRANSIENT_FOR, empty when the property is absent.
QString TransientFor(QWidget* w)
{
    const QString out = RunTool(QStringLiteral("xprop"), {QStringLiteral("-id"), Hex(Native(w)), QStringLiteral("WM_TRANSIENT_FOR")});
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("window id # (0x[0-9a-fA-F]+)")).match(out);
    return m.hasMatch() ? QString::number(m.captured(1).mid(2).toULongLong(nullptr, 16), 16) : QString();
}

class OwnedWindowsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "needs an X server";
        tsytest::ClearSettings();
        tsy::Modal::UseScript();
        ASSERT_TRUE(tsytest::ListenAsEcho(mEcho));
        mPort = tsytest::FreePort();
        tsytest::SavePassThroughPort(mPort, QStringLiteral("127.0.0.1"), mEcho.serverPort(), QStringLiteral("Echo"));
        frmMain::SetEndProgramHook([] {});
        General::gblnLoggingEnabled = true;
        General::gblnApplicationClosing = false;
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
        General::gobjListening->InitaliseListeningSockets();
        mMain = frmMain::Instance();
        mMain->show();
        ASSERT_TRUE(tsytest::WaitUntil([this] { return Mapped(mMain); }, 10000));
    }

    void TearDown() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
        frmSaveHistory::Unload();
        frmEventDetails::Unload();
        frmRealTimeData::Unload();
        frmRealTimeLogging::Unload();
        frmOptions::Unload();
        frmConfigure::Unload();
        frmProblemSimulation::Unload();
        tsytest::UnloadMainWindowAndEngine();
        tsy::Modal::SetBackend(nullptr);
        tsytest::ClearSettings();
        tsytest::Pump(20);
    }

    QTcpServer mEcho;
    int mPort = 0;
    frmMain* mMain = nullptr;
};

TEST_F(OwnedWindowsTest, EveryWindowTheMainWindowOpensNamesItAsOwnerFromItsFirstShow)
{
    // One relayed connection, so that Save Data and Event Details have something to show.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(mPort));
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write("hello");
    QByteArray back;
    ASSERT_TRUE(tsytest::WaitUntil([&] { back += client.readAll(); return back.size() >= 5; }));
    const QString pairKey = General::gobjLogging->mobjSocketPairHistory.KeyAt(1);
    const QString portKey = QStringLiteral("PROTO") + QString::number(mPort);
    const auto clickDownTo = [&](const QString& key) {
        mMain->tvwSockets_NodeClick(portKey);
        mMain->tvwSockets_NodeClick(mMain->tvwSockets->ChildKeys(portKey).value(0));
        mMain->tvwSockets_NodeClick(pairKey);
        if (key != pairKey) mMain->tvwSockets_NodeClick(key);
    };
    const auto menu = [this](const char* name) {
        return [this, name] { mMain->findChild<QAction*>(QString::fromLatin1(name))->trigger(); };
    };

    struct Case {
        const char* what;
        std::function<void()> open;
        std::function<QWidget*()> window;
    };
    const QList<Case> cases = {
        {"Options", menu("mnuOptions"), [] { return frmOptions::Loaded(); }},
        {"Failure Simulation", menu("mnuFailureSimulation"), [] { return frmProblemSimulation::Loaded(); }},
        {"Real Time Data", menu("mnuRealTimeData"), [] { return frmRealTimeData::Loaded(); }},
        {"Error Messages", menu("mnuViewErrorMessages"), [] { return frmError::Loaded(); }},
        {"Real Time Logging", menu("mnuRealTimeLogging"), [] { return frmRealTimeLogging::Loaded(); }},
        {"Configure Ports", menu("mnuConfigure"), [] { return frmConfigure::Loaded(); }},
        {"Save Data",
         [&] {
             clickDownTo(pairKey);
             mMain->mnuSaveHistory->trigger();
         },
         [] { return frmSaveHistory::Loaded(); }},
        {"Event Details",
         [&] {
             clickDownTo(pairKey + QStringLiteral("-1"));
             mMain->lvwDetails_DblClick();
         },
         [] { return frmEventDetails::Loaded(); }},
        {"About", menu("mnuAbout"), [this] { return mMain->findChildren<frmAbout*>().value(0); }},
    };

    const QString owner = QString::number(quint64(Native(mMain)), 16);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Never shown before (a window gets its native handle when first
        // shown): the command's show is its first.
        QWidget* before = c.window();
        ASSERT_TRUE(!before || !before->windowHandle());
        c.open();
        QWidget* w = c.window();
        ASSERT_NE(w, nullptr);
        ASSERT_TRUE(w->isVisible());
        ASSERT_TRUE(tsytest::WaitUntil([w] { return Mapped(w); }, 10000));
        EXPECT_EQ(TransientFor(w).toStdString(), owner.toStdString());
    }
}

} // namespace

namespace {

TEST_F(OwnedWindowsTest, KeepOnTopKeepsTheOwner)
{
    mMain->mnuKeepOnTop->trigger();
    ASSERT_TRUE(mMain->KeepOnTop());
    ASSERT_TRUE(tsytest::WaitUntil([this] { return Mapped(mMain); }, 10000));
    frmOptions::Unload();
    tsytest::Pump(20);
    mMain->findChild<QAction*>(QStringLiteral("mnuOptions"))->trigger();
    QWidget* w = frmOptions::Loaded();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
    ASSERT_TRUE(tsytest::WaitUntil([w] { return Mapped(w); }, 10000));
    EXPECT_EQ(TransientFor(w).toStdString(), QString::number(quint64(Native(mMain)), 16).toStdString());
    mMain->mnuKeepOnTop->trigger();
}

} // namespace
