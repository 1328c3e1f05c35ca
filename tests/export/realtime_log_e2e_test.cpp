// The real program logging every event while 2,000 Pass Through connections,
// an HTTP request and a POP3 login with awkward server names go through it;
// afterwards Python's csv module reads the log back. The traffic and the
// check are tests/export/realtime_log_e2e.py; the program ends when its
// standard input closes, once the traffic is done.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QString Script()
{
    return QDir(qEnvironmentVariable("TSY_SOURCE_DIR")).filePath(QStringLiteral("tests/export/realtime_log_e2e.py"));
}

TEST(RealTimeLogEndToEnd, EveryEventOfEveryConnectionReadsBackWithPythonsCsvModule)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* d : {"config", "data", "run"}) QDir().mkpath(dir.filePath(QString::fromLatin1(d)));
    QFile::setPermissions(dir.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString logPath = dir.filePath("log.csv");
    const QString expected = dir.filePath("expected.txt");
    const int echoPort = tsytest::FreePort();
    const int passPort = tsytest::FreePort();
    const int httpPort = tsytest::FreePort();
    const int pop3Port = tsytest::FreePort();
    ASSERT_EQ(QSet<int>({echoPort, passPort, httpPort, pop3Port}).size(), 4);

    {
        QSettings s(dir.filePath("config/Tessaly/Tessaly.ini"), QSettings::IniFormat);
        s.setValue("FirstRun/FirstRun", "False");
        s.setValue("Options/ShowConfigAtStartUp", "0");
        const auto port = [&](int p, const char* protocol) {
            s.setValue(QStringLiteral("Protocols/%1").arg(p), protocol);
            s.setValue(QStringLiteral("PortsInUse/%1").arg(p), QStringLiteral("Log test"));
        };
        port(passPort, "Pass Through");
        s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Server").arg(passPort), "127.0.0.1");
        s.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Port").arg(passPort), QString::number(echoPort));
        port(httpPort, "HTTP");
        port(pop3Port, "POP3");
        s.setValue(QStringLiteral("Protocols/POP3/Port %1/Port").arg(pop3Port), "110");
        s.setValue("RealTimeLogging/LoggingOn", "1");
        s.setValue("RealTimeLogging/LogFile", logPath);
        s.sync();
    }

    QProcess app;
    QProcessEnvironment env = tsytest::ProgramEnvironment(QDir(dir.path()));
    env.insert("TSY_QUIT_ON_EOF", "1");
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    app.start(QDir(qEnvironmentVariable("TSY_BIN_DIR")).filePath("TessalyApp"), {});
    ASSERT_TRUE(app.waitForStarted(10000));

    QProcess traffic;
    traffic.setProcessChannelMode(QProcess::ForwardedChannels);
    traffic.start("/usr/bin/python3", {Script(), "traffic", QString::number(passPort), QString::number(echoPort),
                                       QString::number(httpPort), QString::number(pop3Port), "2000", expected});
    const bool trafficDone = traffic.waitForFinished(240000);
    EXPECT_TRUE(trafficDone);
    EXPECT_EQ(traffic.exitCode(), 0);
    if (!trafficDone) traffic.kill();

    app.closeWriteChannel();   // the program's end
    const bool ended = app.waitForFinished(60000);
    EXPECT_TRUE(ended);
    if (!ended) app.kill();
    const QString err = QString::fromUtf8(app.readAllStandardError());
    EXPECT_EQ(app.exitCode(), 0) << err.right(4000).toStdString();
    EXPECT_FALSE(err.contains("TSY_MSGBOX")) << err.toStdString();
    if (!trafficDone || !ended) return;

    QProcess check;
    check.setProcessChannelMode(QProcess::ForwardedChannels);
    check.start("/usr/bin/python3", {Script(), "check", logPath, expected, QString::number(passPort)});
    ASSERT_TRUE(check.waitForFinished(120000));
    EXPECT_EQ(check.exitCode(), 0);
}

} // namespace
