// Exports of connections relayed for real: hostile host and user names stay
// text in the saved pages, and the raw data of each direction is exactly the
// bytes that passed.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "export/SavingData.h"
#include "export/SavingHTML.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "platform/Settings.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using tsytest::WaitUntil;

class ExportRelay : public tsytest::RelayFixture {
protected:
    std::shared_ptr<SocketPairHistory> WaitForDeadHistory()
    {
        std::shared_ptr<SocketPairHistory> h;
        EXPECT_TRUE(WaitUntil([&] { h = tsytest::LastHistory(); return h && h->mblnDead; }));
        return h;
    }
    // Runs the checker over every page under dir; its complaints, or "" when clean.
    static QString CheckPages(const QString& dir)
    {
        QStringList pages;
        QDirIterator it(dir, {"*.htm"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) pages << it.next();
        QProcess p;
        p.start("/usr/bin/python3",
                QStringList{QDir(qEnvironmentVariable("TSY_SOURCE_DIR")).filePath("tests/export/check_html.py")} + pages);
        if (!p.waitForFinished(30000)) return "checker did not finish";
        return p.exitCode() == 0 && pages.size() > 1 ? QString()
                                                     : QString::fromLatin1(p.readAll() + p.readAllStandardError());
    }
    QTemporaryDir out;
    tsy::Export::ExportChoices choices;
};

TEST_F(ExportRelay, HostileNamesStayText)
{
    const int http = tsytest::ListenWithProtocol("HTTP");
    {
        tsytest::RawClient c(http);
        ASSERT_TRUE(c.sock.waitForConnected(5000));
        c.Send("GET http://\"><script>alert(1)<x/ HTTP/1.0\r\n\r\n");
        const auto h = WaitForDeadHistory();
        ASSERT_TRUE(h);
        ASSERT_TRUE(QDir().mkpath(out.filePath("http")));
        ASSERT_TRUE(SavingHTML::SaveHistoryAsHTML(out.filePath("http/Log.htm"), h, choices))
            << tsytest::WholeErrorLog().toStdString();
        QFile f(out.filePath("http/Log.htm"));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_TRUE(f.readAll().contains("&lt;script&gt;alert(1)&lt;x"));
    }
    const int pop3 = tsytest::ListenWithProtocol("POP3");
    {
        tsytest::RawClient c(pop3);
        ASSERT_TRUE(c.sock.waitForConnected(5000));
        c.WaitFor("\r\n");
        c.Send("USER a#<img src=x onerror=alert(1)>\r\n");
        const auto h = WaitForDeadHistory();
        ASSERT_TRUE(h);
        ASSERT_TRUE(QDir().mkpath(out.filePath("pop3")));
        ASSERT_TRUE(SavingHTML::SaveHistoryAsHTML(out.filePath("pop3/Log.htm"), h, choices))
            << tsytest::WholeErrorLog().toStdString();
        QFile f(out.filePath("pop3/Log.htm"));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_TRUE(f.readAll().contains("&lt;img src=x onerror=alert(1)&gt;"));
    }
    EXPECT_EQ(CheckPages(out.path()).toStdString(), "");
}

TEST_F(ExportRelay, RawDataOfEachDirectionIsWhatPassed)
{
    QTcpServer echo;
    ASSERT_TRUE(tsytest::ListenAsEcho(echo));
    const int port = tsytest::FreePort();
    tsytest::SavePassThroughPort(port, "127.0.0.1", echo.serverPort());
    tsy::Winsock* sock = nullptr;
    int err = 0;
    QString text;
    ASSERT_TRUE(General::gobjListening->StartListeningOnSocket(sock, port, err, text)) << text.toStdString();

    QByteArray sent;
    for (int round = 0; round < 16; ++round)
        for (int b = 0; b < 256; ++b) sent.append(char((b * 7 + round) & 0xff));
    tsytest::RawClient c(port);
    ASSERT_TRUE(c.sock.waitForConnected(5000));
    QRandomGenerator chunks(19);
    for (qsizetype at = 0; at < sent.size();) {
        const qsizetype n = qMin<qsizetype>(1 + chunks.bounded(700), sent.size() - at);
        c.Send(sent.mid(at, n));
        at += n;
        tsytest::Pump(1);
    }
    ASSERT_TRUE(WaitUntil([&] { return c.got.size() >= sent.size(); }));
    ASSERT_EQ(c.got, sent);
    c.sock.disconnectFromHost();
    const auto h = WaitForDeadHistory();
    ASSERT_TRUE(h);

    for (int d = 0; d < 4; ++d) {
        choices.intDirection = d;
        const QString file = out.filePath(QString("raw%1.bin").arg(d));
        ASSERT_TRUE(SavingData::SaveHistoryAsRawData(file, h, choices));
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), sent) << "direction " << d;
    }
}

} // namespace
