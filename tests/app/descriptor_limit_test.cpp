// The real TessalyApp started with few file descriptors (soft and hard limit
// 256) and more concurrent clients than that allows, through a Pass Through
// port to an echo server: it stays up, relays what fits, lets the rest wait
// in the listen queue, says so once in its error log, and serves new clients
// at once when the others have gone. The clients are tests/engine/load_peer.py.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/resource.h>

namespace {

constexpr int kLimit = 256;
constexpr int kClients = 300;
// At least this many relayed at once: each takes two descriptors, and the
// program keeps some 100 for itself and its reserve (see README).
constexpr int kAllowed = (kLimit - 100) / 2;

QString SourceFile(const char* path)
{
    return QDir(qEnvironmentVariable("TSY_SOURCE_DIR")).filePath(QLatin1String(path));
}

class Python {
public:
    explicit Python(const QStringList& args)
    {
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mProcess.start(QStringLiteral("/usr/bin/python3"), QStringList{SourceFile("tests/engine/load_peer.py")} + args);
    }
    ~Python()
    {
        mProcess.closeWriteChannel();
        if (!mProcess.waitForFinished(5000)) mProcess.kill();
        mProcess.waitForFinished(2000);
    }
    QByteArray Line(int ms)
    {
        tsytest::WaitUntil([&] { return mProcess.canReadLine() || mProcess.state() == QProcess::NotRunning; }, ms);
        return mProcess.readLine().trimmed();
    }

private:
    QProcess mProcess;
};

class DescriptorLimitTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DescriptorLimitTest, MoreClientsThanDescriptorsAreServedInTurnWithoutAFall)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* d : {"config", "data", "run"}) QDir().mkpath(dir.filePath(QLatin1String(d)));
    QFile::setPermissions(dir.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    Python echo({"echo"});
    const int echoPort = echo.Line(10000).toInt();
    ASSERT_GT(echoPort, 0);
    const int port = tsytest::FreePort();
    {
        QSettings s(dir.filePath(QStringLiteral("config/Tessaly/Tessaly.ini")), QSettings::IniFormat);
        s.setValue(QStringLiteral("FirstRun/FirstRun"), QStringLiteral("False"));
        s.setValue(QStringLiteral("PortsInUse/%1").arg(port), QStringLiteral("Limit"));
        s.setValue(QStringLiteral("Protocols/%1").arg(port), QStringLiteral("Pass Through"));
        s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Port").arg(port), QString::number(echoPort));
        s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Server").arg(port), QLatin1String(GetParam()));
        s.setValue(QStringLiteral("Options/ShowConfigAtStartUp"), QStringLiteral("0"));
    }

    QProcess app;
    QProcessEnvironment env = tsytest::ProgramEnvironment(QDir(dir.path()));
    env.insert(QStringLiteral("TSY_QUIT_ON_EOF"), QStringLiteral("1"));
    env.insert(QStringLiteral("TSY_PRINT_ERROR_LOG"), QStringLiteral("1"));
    app.setProcessEnvironment(env);
    app.setChildProcessModifier([] {
        const rlimit r{rlim_t(kLimit), rlim_t(kLimit)};
        ::setrlimit(RLIMIT_NOFILE, &r);
    });
    app.start(QDir(qEnvironmentVariable("TSY_BIN_DIR")).filePath(QStringLiteral("TessalyApp")), {});
    ASSERT_TRUE(app.waitForStarted(10000));
    // Listening once the start-up pause is over.
    ASSERT_TRUE(tsytest::WaitUntil([&] {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        const bool up = probe.waitForConnected(200);
        probe.abort();
        return up || app.state() == QProcess::NotRunning;
    }, 30000));
    ASSERT_EQ(app.state(), QProcess::Running);

    {
        Python clients({"limit", QString::number(port), QString::number(kClients), "1000", QString::number(kAllowed)});
        const QString result = QString::fromUtf8(clients.Line(240000));
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^ok served=(\\d+) concurrent=(\\d+) refused=(\\d+)$")).match(result);
        ASSERT_TRUE(m.hasMatch()) << qPrintable(result);
        EXPECT_EQ(m.captured(1).toInt() + m.captured(3).toInt(), kClients);
        EXPECT_GE(m.captured(2).toInt(), kAllowed) << "relayed at once";
    }
    EXPECT_EQ(app.state(), QProcess::Running);

    app.closeWriteChannel();
    ASSERT_TRUE(app.waitForFinished(30000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    const QString err = QString::fromUtf8(app.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("TSY_ERRORLOG 1\n"))) << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("(the limit is %1)").arg(kLimit))) << qPrintable(err);
}

INSTANTIATE_TEST_SUITE_P(ServerAsAddressOrName, DescriptorLimitTest, ::testing::Values("127.0.0.1", "localhost"),
                         [](const auto& info) { return std::string(info.param[0] == 'l' ? "Name" : "Address"); });

} // namespace
