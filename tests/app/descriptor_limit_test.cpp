// The real TessalyApp started with few file descriptors (soft and hard limit
// 256) and more concurrent clients than that allows, through a Pass Through
// port to an echo server: it stays up, relays what fits, lets the rest wait
// in the listen queue, says so once in its error log, and serves new clients
// at once when the others have gone. The clients are tests/engine/load_peer.py.
// Under the same limit, FTP sessions (pyftpdlib and ftplib) each finish or are
// refused a data port at once, and a Pass Through port beside them answers;
// and connections that only wait for a server that reads nothing are given
// up to make room for new ones.
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
// FTP sessions at once: their control connections alone fill what the limit
// leaves beside the reserve.
constexpr int kFtpSessions = 80;

QString SourceFile(const char* path)
{
    return QDir(qEnvironmentVariable("TSY_SOURCE_DIR")).filePath(QLatin1String(path));
}

class Python {
public:
    explicit Python(const QStringList& args, const char* script = "tests/engine/load_peer.py")
    {
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mProcess.start(QStringLiteral("/usr/bin/python3"), QStringList{SourceFile(script)} + args);
    }
    ~Python()
    {
        mProcess.closeWriteChannel();
        if (!mProcess.waitForFinished(5000)) mProcess.kill();
        mProcess.waitForFinished(2000);
    }
    void Ask(const char* line = "\n") { mProcess.write(line); }
    QByteArray Line(int ms)
    {
        tsytest::WaitUntil([&] { return mProcess.canReadLine() || mProcess.state() == QProcess::NotRunning; }, ms);
        return mProcess.readLine().trimmed();
    }

private:
    QProcess mProcess;
};

struct ExtraPort {
    int port;
    QString protocol;
    int passThroughTo = 0;   // a Pass Through port's server port, on 127.0.0.1
};

// The real program under the limit, with a private home in `dir`: a Pass
// Through port to the echo server at echoPort (reached as `server`), and the
// ports of `extra`. Returns the Pass Through port once it and every extra
// port listen; 0 when they do not.
int StartProgram(QProcess& app, const QTemporaryDir& dir, int echoPort, const QString& server,
                 const QList<ExtraPort>& extra = {})
{
    for (const char* d : {"config", "data", "run"}) QDir().mkpath(dir.filePath(QLatin1String(d)));
    QFile::setPermissions(dir.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const int port = tsytest::FreePort();
    {
        QSettings s(dir.filePath(QStringLiteral("config/Tessaly/Tessaly.ini")), QSettings::IniFormat);
        s.setValue(QStringLiteral("FirstRun/FirstRun"), QStringLiteral("False"));
        s.setValue(QStringLiteral("PortsInUse/%1").arg(port), QStringLiteral("Limit"));
        s.setValue(QStringLiteral("Protocols/%1").arg(port), QStringLiteral("Pass Through"));
        s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Port").arg(port), QString::number(echoPort));
        s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Server").arg(port), server);
        for (const auto& [p, protocol, to] : extra) {
            s.setValue(QStringLiteral("PortsInUse/%1").arg(p), protocol);
            s.setValue(QStringLiteral("Protocols/%1").arg(p), protocol);
            if (to == 0) continue;
            s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Port").arg(p), QString::number(to));
            s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Server").arg(p), QStringLiteral("127.0.0.1"));
        }
        s.setValue(QStringLiteral("Options/ShowConfigAtStartUp"), QStringLiteral("0"));
    }
    QProcessEnvironment env = tsytest::ProgramEnvironment(QDir(dir.path()));
    env.insert(QStringLiteral("TSY_QUIT_ON_EOF"), QStringLiteral("1"));
    env.insert(QStringLiteral("TSY_PRINT_ERROR_LOG"), QStringLiteral("1"));
    app.setProcessEnvironment(env);
    app.setChildProcessModifier([] {
        const rlimit r{rlim_t(kLimit), rlim_t(kLimit)};
        ::setrlimit(RLIMIT_NOFILE, &r);
    });
    app.start(QDir(qEnvironmentVariable("TSY_BIN_DIR")).filePath(QStringLiteral("TessalyApp")), {});
    if (!app.waitForStarted(10000)) return 0;
    // Listening once the start-up pause is over.
    QList<int> ports{port};
    for (const auto& e : extra) ports << e.port;
    for (int p : ports) {
        tsytest::WaitUntil([&] {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(p));
            const bool up = probe.waitForConnected(200);
            probe.abort();
            return up || app.state() == QProcess::NotRunning;
        }, 30000);
    }
    return app.state() == QProcess::Running ? port : 0;
}

// Ends the program through its standard input; its error log comes back.
QString StopProgram(QProcess& app)
{
    app.closeWriteChannel();
    EXPECT_TRUE(app.waitForFinished(30000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    return QString::fromUtf8(app.readAllStandardError());
}

class DescriptorLimitTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DescriptorLimitTest, MoreClientsThanDescriptorsAreServedInTurnWithoutAFall)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Python echo({"echo"});
    const int echoPort = echo.Line(10000).toInt();
    ASSERT_GT(echoPort, 0);
    QProcess app;
    const int port = StartProgram(app, dir, echoPort, QLatin1String(GetParam()));
    ASSERT_GT(port, 0);

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

    const QString err = StopProgram(app);
    EXPECT_TRUE(err.contains(QStringLiteral("TSY_ERRORLOG 1\n"))) << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("(the limit is %1)").arg(kLimit))) << qPrintable(err);
}

INSTANTIATE_TEST_SUITE_P(ServerAsAddressOrName, DescriptorLimitTest, ::testing::Values("127.0.0.1", "localhost"),
                         [](const auto& info) { return std::string(info.param[0] == 'l' ? "Name" : "Address"); });

// Each PASV opens a one-shot data port whose connection needs three
// descriptors: they are set aside when the port opens, or the client gets a
// 451 at once. No session waits out its timeout for a data connection held
// back at the gate, and the Pass Through port beside them goes on answering.
TEST(DescriptorLimitFtp, SessionsAtTheLimitFinishOrAreAnsweredAtOnce)
{
    QTemporaryDir dir;
    QTemporaryDir root;
    ASSERT_TRUE(dir.isValid() && root.isValid());
    QStringList files;
    for (int i = 0; i < 3; ++i) {
        files << QStringLiteral("f%1.bin").arg(i);
        QFile f(root.filePath(files.last()));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray data(200 * 1024, '\0');
        for (qsizetype j = 0; j < data.size(); ++j) data[j] = char((j * 7 + i * 31 + j / 251) & 0xff);
        f.write(data);
    }
    Python echo({"echo"});
    const int echoPort = echo.Line(10000).toInt();
    ASSERT_GT(echoPort, 0);
    Python ftpServer({root.path()}, "tests/protocols/ftp_server.py");
    const int ftpServerPort = ftpServer.Line(10000).toInt();
    ASSERT_GT(ftpServerPort, 0);
    const int ftpPort = tsytest::FreePort();
    QProcess app;
    const int port = StartProgram(app, dir, echoPort, QStringLiteral("127.0.0.1"), {{ftpPort, QStringLiteral("FTP")}});
    ASSERT_GT(port, 0);
    {
        Python sessions(QStringList{"sessions", QString::number(ftpPort), QString::number(ftpServerPort),
                                    QString::number(port), root.path(), QString::number(kFtpSessions)}
                            + files,
                        "tests/protocols/ftp_client.py");
        const QString result = QString::fromUtf8(sessions.Line(240000));
        EXPECT_TRUE(result.startsWith(QStringLiteral("ok "))) << qPrintable(result);
    }
    EXPECT_EQ(app.state(), QProcess::Running);
    // Each data port refused is an entry of its own, beside at most one for
    // a shortage of the control connections; no delivery here waits past the
    // minimum, so nothing is given up.
    const QString err = StopProgram(app);
    const qsizetype shortages = err.count(QStringLiteral("Further requests wait"));
    EXPECT_LE(shortages, 1) << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("TSY_ERRORLOG %1\n")
                                 .arg(err.count(QStringLiteral("listen on an Ephemeral port")) + shortages)))
        << qPrintable(err);
    EXPECT_FALSE(err.contains(QStringLiteral("given up"))) << qPrintable(err);
}

// Clients that each send 100 KB to a server that reads nothing, then close
// in order, leave the program holding what the server never takes. Past the
// limit, new requests give those up once they have been idle for the
// minimum, the oldest first, instead of waiting minutes for their bound:
// every client is connected on, and a client of the echo port beside them is
// answered throughout. The error log has one entry at the spell's start and
// one at its end, once the server lets go and a request finds room again.
TEST(DescriptorLimitStalled, ConnectionsThatOnlyWaitForAPeerThatTakesNothingMakeRoom)
{
    constexpr int kClients = 220;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Python sink({"sink"});
    const int sinkPort = sink.Line(10000).toInt();
    ASSERT_GT(sinkPort, 0);
    Python echo({"echo"});
    const int echoPort = echo.Line(10000).toInt();
    ASSERT_GT(echoPort, 0);
    const int echoProxyPort = tsytest::FreePort();
    QProcess app;
    const int port = StartProgram(app, dir, sinkPort, QStringLiteral("127.0.0.1"),
                                  {{echoProxyPort, QStringLiteral("Pass Through"), echoPort}});
    ASSERT_GT(port, 0);
    const int idle = tsytest::OpenDescriptors(app.processId());
    sink.Ask();
    const int before = sink.Line(10000).toInt();
    {
        Python clients({"stalled", QString::number(port), QString::number(kClients), "100000",
                        QString::number(echoProxyPort)});
        const QString result = QString::fromUtf8(clients.Line(240000));
        EXPECT_TRUE(result.startsWith(QStringLiteral("ok "))) << qPrintable(result);
    }
    int accepted = 0;
    EXPECT_TRUE(tsytest::WaitUntil([&] {
        sink.Ask();
        accepted = sink.Line(10000).toInt() - before;
        return accepted >= kClients;
    }, 30000)) << accepted << " of " << kClients << " clients connected on to the server";
    EXPECT_EQ(app.state(), QProcess::Running);

    // The server resets what it holds; with the descriptors back, the next
    // request ends the spell.
    sink.Ask("close\n");
    sink.Line(10000);
    EXPECT_TRUE(tsytest::WaitUntil([&] { return tsytest::OpenDescriptors(app.processId()) <= idle + 8; }, 30000))
        << tsytest::OpenDescriptors(app.processId()) << " open, " << idle << " before the clients";
    {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(echoProxyPort));
        ASSERT_TRUE(probe.waitForConnected(10000));
        probe.write("after");
        EXPECT_TRUE(tsytest::WaitUntil([&] { return probe.bytesAvailable() >= 5; }, 10000));
    }

    const QString err = StopProgram(app);
    EXPECT_TRUE(err.contains(QStringLiteral("TSY_ERRORLOG 2\n"))) << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("Further requests wait"))
                || err.contains(QStringLiteral("are given up to make room")))
        << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("File descriptors are free again"))) << qPrintable(err);
}

} // namespace
