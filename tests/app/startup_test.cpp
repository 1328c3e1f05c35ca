// Start-up end to end: the real TessalyApp, offscreen, each run with its own
// settings store and runtime directory. Message boxes are answered by the
// program's test hook (TSY_AUTO_ANSWER) and read back from its stderr.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QString AppPath()
{
    return QDir(qEnvironmentVariable("TSY_BIN_DIR")).filePath(QStringLiteral("TessalyApp"));
}

class StartUpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mDir.isValid());
        for (const char* d : {"config", "data", "run"}) QDir().mkpath(mDir.filePath(QString::fromLatin1(d)));
        QFile::setPermissions(mDir.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ASSERT_TRUE(QFile::exists(AppPath())) << qPrintable(AppPath());
    }

    QString IniPath() const { return mDir.filePath(QStringLiteral("config/Tessaly/Tessaly.ini")); }

    QProcessEnvironment Env(int quitAfterMs) const
    {
        QProcessEnvironment env = tsytest::ProgramEnvironment(QDir(mDir.path()));
        if (quitAfterMs >= 0) env.insert(QStringLiteral("TSY_QUIT_AFTER_MS"), QString::number(quitAfterMs));
        return env;
    }

    struct Run {
        int exitCode = -1;
        bool finished = false;
        qint64 elapsedMs = 0;
        QString err;
        QStringList boxes() const
        {
            QStringList out;
            for (const QString& line : err.split(QLatin1Char('\n')))
                if (line.startsWith(QStringLiteral("TSY_MSGBOX "))) out.append(line.mid(11));
            return out;
        }
    };

    Run RunApp(const QStringList& args, int quitAfterMs, int timeoutMs = 60000)
    {
        QProcess p;
        p.setProcessEnvironment(Env(quitAfterMs));
        QElapsedTimer t;
        t.start();
        p.start(AppPath(), args);
        Run r;
        r.finished = p.waitForFinished(timeoutMs);
        r.elapsedMs = t.elapsed();
        if (!r.finished) {
            p.kill();
            p.waitForFinished(3000);
        }
        r.exitCode = p.exitCode();
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    // A store that has run before: no defaults, one Pass Through port.
    void PrepareStore(int port)
    {
        QSettings s(IniPath(), QSettings::IniFormat);
        s.setValue(QStringLiteral("FirstRun/FirstRun"), QStringLiteral("False"));
        s.setValue(QStringLiteral("PortsInUse/%1").arg(port), QStringLiteral("Test relay"));
        s.setValue(QStringLiteral("Protocols/%1").arg(port), QStringLiteral("Pass Through"));
        s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Port").arg(port), QStringLiteral("9"));
        s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Server").arg(port), QStringLiteral("127.0.0.1"));
        s.setValue(QStringLiteral("Options/ShowConfigAtStartUp"), QStringLiteral("0"));
        s.sync();
    }

    QTemporaryDir mDir;
};

using tsytest::FreePort;

TEST_F(StartUpTest, FirstRunWritesDefaultsAndASecondRunKeepsEdits)
{
    // Blanks alone are no argument.
    Run first = RunApp({QStringLiteral("  ")}, 200);
    ASSERT_TRUE(first.finished) << qPrintable(first.err);
    EXPECT_EQ(first.exitCode, 0) << qPrintable(first.err);
    EXPECT_GE(first.elapsedMs, 2000);   // the start-up pause
    const QStringList boxes = first.boxes();
    ASSERT_EQ(boxes.size(), 1) << qPrintable(first.err);
    EXPECT_TRUE(boxes[0].startsWith(QStringLiteral("Tessaly|1|Welcome to Tessaly!\\r\\n\\r\\nTo help you get started")));
    EXPECT_TRUE(boxes[0].endsWith(QStringLiteral("This message box will not be displayed again.")));

    {
        QSettings s(IniPath(), QSettings::IniFormat);
        EXPECT_EQ(s.value(QStringLiteral("FirstRun/FirstRun")).toString(), QStringLiteral("False"));
        s.beginGroup(QStringLiteral("PortsInUse"));
        EXPECT_EQ(s.childKeys().size(), 6);
        s.endGroup();
        EXPECT_EQ(s.value(QStringLiteral("PortsInUse/25")).toString(), QStringLiteral("SMTP - Outgoing e-mail"));
        EXPECT_EQ(s.value(QStringLiteral("PortsInUse/110")).toString(), QStringLiteral("POP3 - Incoming e-mail"));
        EXPECT_EQ(s.value(QStringLiteral("PortsInUse/8080")).toString(), QStringLiteral("HTTP Proxy - Web"));
        EXPECT_EQ(s.value(QStringLiteral("PortsInUse/443")).toString(), QStringLiteral("HTTPS Proxy - Secure Web"));
        EXPECT_EQ(s.value(QStringLiteral("PortsInUse/21")).toString(), QStringLiteral("FTP - File Transfer Protocol"));
        EXPECT_EQ(s.value(QStringLiteral("PortsInUse/1000")).toString(), QStringLiteral("Pass Through - For Testing Apps"));
        EXPECT_EQ(s.value(QStringLiteral("Protocols/25")).toString(), QStringLiteral("Pass Through"));
        EXPECT_EQ(s.value(QStringLiteral("Protocols/110")).toString(), QStringLiteral("POP3"));
        EXPECT_EQ(s.value(QStringLiteral("Protocols/8080")).toString(), QStringLiteral("HTTP"));
        EXPECT_EQ(s.value(QStringLiteral("Protocols/443")).toString(), QStringLiteral("HTTPS"));
        EXPECT_EQ(s.value(QStringLiteral("Protocols/21")).toString(), QStringLiteral("FTP"));
        EXPECT_EQ(s.value(QStringLiteral("Protocols/1000")).toString(), QStringLiteral("Pass Through"));
        EXPECT_EQ(s.value(QStringLiteral("Protocols/Pass Through/Port 25/Port")).toString(), QStringLiteral("25"));
        EXPECT_EQ(s.value(QStringLiteral("Protocols/Pass Through/Port 1000/Port")).toString(), QStringLiteral("1000"));
        EXPECT_FALSE(s.value(QStringLiteral("Protocols/Pass Through/Port 25/Server")).toString().isEmpty());
        EXPECT_FALSE(s.value(QStringLiteral("Protocols/Pass Through/Port 1000/Server")).toString().isEmpty());

        // The user edits the table between runs.
        s.setValue(QStringLiteral("PortsInUse/1000"), QStringLiteral("My own relay"));
        s.remove(QStringLiteral("PortsInUse/21"));
        s.remove(QStringLiteral("Protocols/21"));
        s.sync();
    }

    Run second = RunApp({}, 200);
    ASSERT_TRUE(second.finished);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(second.boxes().isEmpty()) << qPrintable(second.err);   // no welcome any more
    QSettings s(IniPath(), QSettings::IniFormat);
    EXPECT_EQ(s.value(QStringLiteral("PortsInUse/1000")).toString(), QStringLiteral("My own relay"));
    EXPECT_FALSE(s.contains(QStringLiteral("PortsInUse/21")));
    EXPECT_FALSE(s.contains(QStringLiteral("Protocols/21")));
    EXPECT_EQ(s.value(QStringLiteral("FirstRun/FirstRun")).toString(), QStringLiteral("False"));
}

TEST_F(StartUpTest, AnArgumentGivesTheWarningAndLeavesTheStoreUntouched)
{
    Run r = RunApp({QStringLiteral("--verbose")}, -1);
    ASSERT_TRUE(r.finished) << "the warning must not block";
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.boxes(), QStringList{QStringLiteral("Tessaly|2|Please remove all command line arguments.")});
    EXPECT_FALSE(QFile::exists(IniPath()));

    // With a store already there, it stays byte for byte the same.
    PrepareStore(FreePort());
    QFile before(IniPath());
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray content = before.readAll();
    before.close();
    r = RunApp({QStringLiteral("x")}, -1);
    ASSERT_TRUE(r.finished);
    QFile after(IniPath());
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), content);
}

TEST_F(StartUpTest, ASecondInstanceEndsSilentlyAndLeftOverDataPortsGo)
{
    const int port = FreePort();
    PrepareStore(port);
    {
        // A data port an earlier run left behind.
        QSettings s(IniPath(), QSettings::IniFormat);
        s.setValue(QStringLiteral("PortsInUse/5999"), QStringLiteral("FTP Data - Dynamically allocated"));
        s.setValue(QStringLiteral("Protocols/5999"), QStringLiteral("FTP Data - Dynamically allocated"));
        s.setValue(QStringLiteral("Protocols/Pass Through/Port 5999/Port"), QStringLiteral("20"));
        s.setValue(QStringLiteral("Protocols/Pass Through/Port 5999/Server"), QStringLiteral("127.0.0.1"));
        s.sync();
    }

    // The first runs until told to end (its input closed), not for a guessed
    // time a loaded machine might overrun before the second has started.
    QProcess first;
    QProcessEnvironment firstEnv = Env(-1);
    firstEnv.insert(QStringLiteral("TSY_QUIT_ON_EOF"), QStringLiteral("1"));
    first.setProcessEnvironment(firstEnv);
    first.start(AppPath(), {});
    ASSERT_TRUE(first.waitForStarted(30000));
    // Up once its port answers.
    const bool up = tsytest::WaitUntil([&] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(port));
        return probe.waitForConnected(200);
    }, 60000);
    ASSERT_TRUE(up) << qPrintable(QString::fromUtf8(first.readAllStandardError()));

    Run second = RunApp({}, -1);
    ASSERT_TRUE(second.finished) << "a second instance must end by itself";
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(second.boxes().isEmpty());
    EXPECT_EQ(first.state(), QProcess::Running);

    first.closeWriteChannel();
    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(first.exitCode(), 0);
    QSettings s(IniPath(), QSettings::IniFormat);
    EXPECT_FALSE(s.contains(QStringLiteral("PortsInUse/5999")));
    EXPECT_FALSE(s.contains(QStringLiteral("Protocols/5999")));
    EXPECT_FALSE(s.contains(QStringLiteral("Protocols/Pass Through/Port 5999/Port")));
    EXPECT_EQ(s.value(QStringLiteral("PortsInUse/%1").arg(port)).toString(), QStringLiteral("Test relay"));

    // Once the first has ended, the next start runs normally.
    Run third = RunApp({}, 100);
    ASSERT_TRUE(third.finished);
    EXPECT_GE(third.elapsedMs, 2000);
}

TEST_F(StartUpTest, TheStartUpLoadRewritesOrRemovesTheAutostartEntry)
{
    // A stale entry from elsewhere: the options window's load at start-up
    // writes it afresh with this program's path while the switch is stored on.
    const QString entry = mDir.filePath(QStringLiteral("config/autostart/TessalyApp.desktop"));
    QDir().mkpath(QFileInfo(entry).absolutePath());
    const auto stale = [&] {
        QFile f(entry);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Desktop Entry]\nExec=/nowhere/TessalyApp\n");
    };
    stale();
    PrepareStore(FreePort());
    {
        QSettings s(IniPath(), QSettings::IniFormat);
        s.setValue(QStringLiteral("Options/RunAtStarup"), QStringLiteral("1"));
    }
    Run on = RunApp({}, 200);
    ASSERT_TRUE(on.finished) << qPrintable(on.err);
    QFile f(entry);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(text.contains(AppPath())) << qPrintable(text);
    EXPECT_FALSE(text.contains(QStringLiteral("/nowhere/")));
    f.close();

    stale();
    {
        QSettings s(IniPath(), QSettings::IniFormat);
        s.setValue(QStringLiteral("Options/RunAtStarup"), QStringLiteral("0"));
    }
    Run off = RunApp({}, 200);
    ASSERT_TRUE(off.finished) << qPrintable(off.err);
    EXPECT_FALSE(QFile::exists(entry));
}

// Numbers far beyond any integer type, or not numbers at all, in every numeric
// setting: the program starts and ends normally (and, in a sanitizer build,
// without a report of undefined behaviour).
TEST_F(StartUpTest, HugeOrNonNumericValuesInEveryNumericSettingStartCleanly)
{
    const int port = FreePort();
    PrepareStore(port);
    // Whatever a normal run writes, plus what it reads without writing.
    Run normal = RunApp({}, 200);
    ASSERT_TRUE(normal.finished && normal.exitCode == 0) << qPrintable(normal.err);
    QStringList numericKeys = {QStringLiteral("Options/NumberToKeep"), QStringLiteral("Options/MaxMemorySize"),
                               QStringLiteral("Options/MaxEventCount"), QStringLiteral("Options/Discard"),
                               QStringLiteral("Options/RemoveEmptyEphemeralReferences"), QStringLiteral("Options/RunMinimized"),
                               QStringLiteral("Options/ShowToolBar"), QStringLiteral("Options/StatusBar"),
                               QStringLiteral("Options/SystemTray"), QStringLiteral("Options/AnimateConnectionDiagram"),
                               QStringLiteral("Options/ShowConfigAtStartUp"), QStringLiteral("RealTime/ShowRealTimeData")};
    for (const char* k : {"AA1", "AA2", "AA3", "AA4", "SC1", "SC2", "SC3", "ED1", "ED2"})
        numericKeys << QStringLiteral("MainForm/") + QLatin1String(k);
    for (const char* k : {"TerminateNthConnection", "TerminateNPercOfConnections", "TerminateTime", "TerminateTimeFrom",
                          "TerminateTimeTo", "RefuseNthConnection", "RefuseNPercOfConnections", "S2CBytes", "S2CPeriod",
                          "S2CBytesFrom", "S2CBytesTo", "S2CPeriodFrom", "S2CPeriodTo", "C2SBytes", "C2SPeriod",
                          "C2SBytesFrom", "C2SBytesTo", "C2SPeriodFrom", "C2SPeriodTo", "DangleNthConnection",
                          "DangleNPercOfConnections", "DangleStartTime", "DangleStartTimeFrom", "DangleStartTimeTo",
                          "DangleStopTime", "DangleStopTimeFrom", "DangleStopTimeTo"})
        numericKeys << QStringLiteral("FailureSim/txt") + QLatin1String(k);
    {
        QSettings s(IniPath(), QSettings::IniFormat);
        for (const QString& key : s.allKeys()) {
            bool numeric = false;
            s.value(key).toString().toDouble(&numeric);
            if (numeric && !numericKeys.contains(key)) numericKeys << key;
        }
    }
    const QString before = IniPath() + QStringLiteral(".normal");
    ASSERT_TRUE(QFile::copy(IniPath(), before));

    for (const char* value : {"1e30", "-1e30", "1e19", "nan", "-1e-1836"}) {
        SCOPED_TRACE(value);
        QFile::remove(IniPath());
        ASSERT_TRUE(QFile::copy(before, IniPath()));
        {
            QSettings s(IniPath(), QSettings::IniFormat);
            for (const QString& key : numericKeys) s.setValue(key, QString::fromLatin1(value));
            s.sync();
        }
        Run r = RunApp({}, 200);
        ASSERT_TRUE(r.finished) << qPrintable(r.err);
        EXPECT_EQ(r.exitCode, 0) << qPrintable(r.err);
        EXPECT_FALSE(r.err.contains(QStringLiteral("runtime error"))) << qPrintable(r.err);
        EXPECT_FALSE(r.err.contains(QStringLiteral("Sanitizer"))) << qPrintable(r.err);
    }
}

} // namespace
