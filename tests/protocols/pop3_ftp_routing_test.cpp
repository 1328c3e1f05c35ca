// Tables for the POP3 and FTP routing and rewriting, without sockets.
#include "protocols/FtpRouting.h"
#include "protocols/Pop3Routing.h"
#include "protocols/RoutingText.h"

#include <gtest/gtest.h>

using namespace FtpRouting;

namespace {

struct Pop3Case {
    const char* in;
    const char* portSetting;
    bool result;
    const char* outBlock;
    const char* server;
    int port;
};

TEST(Pop3Routing, Table)
{
    const Pop3Case cases[] = {
        {"USER bob#mail.example.org\r\n", "110", true, "USER bob\r\n", "mail.example.org", 110},
        {"USER bob#127.0.0.1\r\n", "2110", true, "USER bob\r\n", "127.0.0.1", 2110},
        // The command word is not examined.
        {"XYZ a#b\r\n", "110", true, "XYZ a\r\n", "b", 110},
        // No "#" or two: untouched, no server.
        {"USER bob\r\n", "110", false, "USER bob\r\n", "", 110},
        {"USER a#b#c\r\n", "110", false, "USER a#b#c\r\n", "", 110},
        // Further lines run into the server name; a lone LF or a colon stays.
        {"USER bob#host\r\nPASS x\r\n", "110", true, "USER bob\r\n", "hostPASS x", 110},
        {"USER bob#host\n", "110", true, "USER bob\r\n", "host\n", 110},
        {"USER bob#host:995\r\n", "110", true, "USER bob\r\n", "host:995", 110},
        {"USER bob# host \r\n", "110", true, "USER bob\r\n", " host ", 110},
        // The setting is read first and must be a number.
        {"USER bob#host\r\n", "abc", false, "USER bob#host\r\n", "", 0},
        {"USER bob#host\r\n", " 995 ", true, "USER bob\r\n", "host", 995},
        {"USER bob#host\r\n", "110.5", true, "USER bob\r\n", "host", 110},
        {"USER bob#host\r\n", "99999999999", false, "USER bob#host\r\n", "", 0},
        // Beyond any whole number, or too small to represent (0).
        {"USER bob#host\r\n", "1e19", false, "USER bob#host\r\n", "", 0},
        {"USER bob#host\r\n", "-1e999", false, "USER bob#host\r\n", "", 0},
        {"USER bob#host\r\n", "-1e-1836", true, "USER bob\r\n", "host", 0},
    };
    for (const auto& c : cases) {
        QByteArray block(c.in);
        QString server;
        int port = -1;
        Pop3Routing::RoutingError err;
        const bool r = Pop3Routing::RoutePop3Request(block, server, port, QString::fromLatin1(c.portSetting), &err);
        SCOPED_TRACE(c.in);
        SCOPED_TRACE(c.portSetting);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(block, QByteArray(c.outBlock));
        EXPECT_EQ(server, QString::fromLatin1(c.server));
        EXPECT_EQ(port, c.port);
    }
}

TEST(Pop3Routing, KeepsBinaryBytesAndReportsBadSetting)
{
    QByteArray block("USER \xff\x00u#h\r\n", 12);
    QString server;
    int port = 0;
    ASSERT_TRUE(Pop3Routing::RoutePop3Request(block, server, port, "110"));
    EXPECT_EQ(block, QByteArray("USER \xff\x00u\r\n", 10));

    Pop3Routing::RoutingError err;
    QByteArray b2("USER a#b\r\n");
    EXPECT_FALSE(Pop3Routing::RoutePop3Request(b2, server, port, "x", &err));
    EXPECT_EQ(err.lngError, 13);
    EXPECT_EQ(err.strError, "Type mismatch");
}

TEST(Pop3Routing, Greeting)
{
    EXPECT_TRUE(Pop3Routing::IsPositiveGreeting("+OK ready\r\n"));
    EXPECT_TRUE(Pop3Routing::IsPositiveGreeting("+ok"));
    EXPECT_TRUE(Pop3Routing::IsPositiveGreeting("+Ok"));
    EXPECT_FALSE(Pop3Routing::IsPositiveGreeting("+O"));
    EXPECT_FALSE(Pop3Routing::IsPositiveGreeting("-ERR busy\r\n"));
    EXPECT_FALSE(Pop3Routing::IsPositiveGreeting(" +OK"));
}

TEST(RoutingText, CommandsBeforeTheLogin)
{
    using RoutingText::BeforeLogin;
    const struct {
        const char* pending;
        BeforeLogin step;
        const char* line;
        const char* left;
    } cases[] = {
        // The login word in any case, with what follows it, is left to route.
        {"USER a@h\r\nPASS p\r\n", BeforeLogin::Login, "", "USER a@h\r\nPASS p\r\n"},
        {"uSeR\tb", BeforeLogin::Login, "", "uSeR\tb"},
        // Not whole yet: the word may still become USER, or the line lacks its end.
        {"", BeforeLogin::Wait, "", ""},
        {"USER", BeforeLogin::Wait, "", "USER"},
        {"AUTH TLS\r", BeforeLogin::Wait, "", "AUTH TLS\r"},
        // Another command: its line goes, the rest stays.
        {"CAPA\r\nUSER a#b\r\n", BeforeLogin::Answer, "CAPA\r\n", "USER a#b\r\n"},
        {"USERS x\nUSER", BeforeLogin::Answer, "USERS x\n", "USER"},
        {" USER a@h\r\n", BeforeLogin::Answer, " USER a@h\r\n", ""},
        {"\r\nFEAT", BeforeLogin::Answer, "\r\n", "FEAT"},
        {"quit\r\nUSER a#b\r\n", BeforeLogin::Quit, "quit\r\n", "USER a#b\r\n"},
        {"QUITE\r\n", BeforeLogin::Answer, "QUITE\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pending);
        QByteArray pending(c.pending), line("stale");
        EXPECT_EQ(RoutingText::TakeCommandBeforeLogin(pending, line, "USER"), c.step);
        EXPECT_EQ(line, QByteArray(c.line));
        EXPECT_EQ(pending, QByteArray(c.left));
    }
    // A line without end is not held beyond the limit.
    QByteArray pending(RoutingText::kMaxLineBeforeLogin - 1, 'x'), line;
    EXPECT_EQ(RoutingText::TakeCommandBeforeLogin(pending, line, "USER"), BeforeLogin::Wait);
    pending += "xy";
    EXPECT_EQ(RoutingText::TakeCommandBeforeLogin(pending, line, "USER"), BeforeLogin::Answer);
    EXPECT_EQ(line.size(), RoutingText::kMaxLineBeforeLogin + 1);
    EXPECT_TRUE(pending.isEmpty());
}

struct FtpCase {
    const char* in;
    bool result;
    const char* out;
    const char* host;
    int port;
};

TEST(FtpRouting, RouteRequestTable)
{
    const FtpCase cases[] = {
        {"USER bob@ftp.example.org\r\n", true, "USER bob\r\n", "ftp.example.org", 21},
        {"USER bob@127.0.0.1:2121\r\n", true, "USER bob\r\n", "127.0.0.1", 2121},
        // Only the last "@" separates the host.
        {"USER bob@corp.example@host:2121\r\n", true, "USER bob@corp.example\r\n", "host", 2121},
        // Blanks and the line end around the port are allowed; later ":" pieces ignored.
        {"USER a@h: 2121 \r\n", true, "USER a\r\n", "h", 2121},
        {"USER a@h:2121:99\r\n", true, "USER a\r\n", "h", 2121},
        // No "@": nothing to forward, the whole line is the host.
        {"USER bob\r\n", false, "", "USER bob", 21},
        {"SYST\r\n", false, "", "SYST", 21},
        // A port that is not a number 0-65535: port 0, line unchanged.
        {"USER a@h:x\r\n", false, "USER a@h:x\r\n", "h", 0},
        {"USER a@h:70000\r\n", false, "USER a@h:70000\r\n", "h", 0},
        {"USER a@h:1e19\r\n", false, "USER a@h:1e19\r\n", "h", 0},
        {"USER a@h:1e-999\r\n", true, "USER a\r\n", "h", 0},
        // CR LF pairs go from the host name only.
        {"USER a@h\r\nPASS p\r\n", true, "USER a\r\n", "hPASS p", 21},
    };
    for (const auto& c : cases) {
        QByteArray line(c.in);
        QString host;
        int port = -1;
        SCOPED_TRACE(c.in);
        EXPECT_EQ(RouteFtpRequest(line, host, port), c.result);
        EXPECT_EQ(line, QByteArray(c.out));
        EXPECT_EQ(host, QString::fromLatin1(c.host));
        EXPECT_EQ(port, c.port);
    }
}

TEST(FtpRouting, Recognisers)
{
    EXPECT_TRUE(IsServerGreeting("220 hello\r\n"));
    EXPECT_FALSE(IsServerGreeting("220-hello\r\n"));
    EXPECT_FALSE(IsServerGreeting("220"));
    EXPECT_TRUE(IsPortCommand("PORT 1,2,3,4,5,6\r\n"));
    EXPECT_TRUE(IsPortCommand("pOrT 1"));
    EXPECT_FALSE(IsPortCommand("PORT"));
    EXPECT_FALSE(IsPortCommand("PASV\r\n"));
    EXPECT_TRUE(IsPasvReply("227 Entering Passive Mode (1,2,3,4,5,6).\r\n"));
    EXPECT_TRUE(IsPasvReply("227 entering passive mode (1,2,3,4,5,6)"));
    EXPECT_FALSE(IsPasvReply("227 Passive (1,2,3,4,5,6)\r\n"));
}

TEST(FtpRouting, ParseHostPortTable)
{
    struct Case {
        const char* in;
        bool ok;
        const char* ip;
        int port;
    } cases[] = {
        {"PORT 10,0,0,1,4,1\r\n", true, "10.0.0.1", 1025},
        {"10,0,0,1,18,52", true, "10.0.0.1", 4660},
        {"PORT  127, 0 ,0,1,\t19,136 \r\n", true, "127.0.0.1", 5000},
        {"PORT 010,0,0,1,0,21\r\n", true, "10.0.0.1", 21},
        {"PORT 255,255,255,255,255,255\r\n", true, "255.255.255.255", 65535},
        {"PORT 1,2,3,4,5,6,7\r\n", true, "1.2.3.4", 1286},
        // Failures: too few, not whole, out of range, signs, empty pieces.
        {"PORT 1,2,3,4,5\r\n", false, "", 0},
        {"PORT 1,2,3,4,5,x\r\n", false, "", 0},
        {"PORT 1,2,3,4,5,256\r\n", false, "", 0},
        {"PORT 1,2,3,4,4.5,1\r\n", false, "", 0},
        {"PORT 1,2,3,4,-1,1\r\n", false, "", 0},
        {"PORT 1,2,3,4,+4,1\r\n", false, "", 0},
        {"PORT 1,2,,4,5,6\r\n", false, "", 0},
        {"PORT 1,2,3,host.evil,5,6\r\n", false, "", 0},
        {"PORT 999,2,3,4,5,6\r\n", false, "", 0},
        {"PORT 1,2,3,4,5,1e2\r\n", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto& c : cases) {
        QString ip;
        int port = 0;
        RoutingError err;
        SCOPED_TRACE(c.in);
        ASSERT_EQ(ParseHostPort(c.in, ip, port, &err), c.ok);
        if (c.ok) {
            EXPECT_EQ(ip, QString::fromLatin1(c.ip));
            EXPECT_EQ(port, c.port);
        } else {
            EXPECT_NE(err.lngError, 0);
            EXPECT_FALSE(err.strError.isEmpty());
        }
    }
}

TEST(FtpRouting, EncodeHostPort)
{
    EXPECT_EQ(EncodeHostPort("192.168.1.2", 4660), "192,168,1,2,18,52");
    EXPECT_EQ(EncodeHostPort("127.0.0.1", 1024), "127,0,0,1,4,0");
    EXPECT_EQ(EncodeHostPort("127.0.0.1", 5000), "127,0,0,1,19,136");
    EXPECT_EQ(EncodeHostPort("::ffff:10.1.2.3", 21), "10,1,2,3,0,21");
    EXPECT_TRUE(EncodeHostPort("::1", 21).isEmpty());
    EXPECT_TRUE(EncodeHostPort("", 21).isEmpty());
    EXPECT_TRUE(EncodeHostPort("1.2.3.4", 70000).isEmpty());
    EXPECT_TRUE(EncodeHostPort("1.2.3.256", 21).isEmpty());
}

TEST(FtpRouting, RandomDataPortCoversTheRange)
{
    EXPECT_EQ(RandomDataPort(0.0), 1024);
    EXPECT_EQ(RandomDataPort(0.99999999), 5000);
    EXPECT_EQ(RandomDataPort(0.5), 3012);
    // 0.5 / 3976 lands exactly on a half: to the even neighbour.
    EXPECT_EQ(RandomDataPort(0.5 / 3976.0), 1024);
    EXPECT_EQ(RandomDataPort(1.5 / 3976.0), 1026);
}

// A data-port opener that records its calls and answers as told.
struct FakeOpener {
    DataPortResult answer;
    QString ip;
    int remotePort = -1;
    int calls = 0;
    DataPortOpener fn()
    {
        return [this](const QString& i, int p) {
            ++calls;
            ip = i;
            remotePort = p;
            return answer;
        };
    }
};

TEST(FtpRouting, PortCommandRewrite)
{
    FakeOpener op;
    op.answer = {true, 4660, 0, {}};
    QByteArray cmd("PORT 192,168,0,9,4,1\r\n");
    const RewriteResult r = RouteFtpPortCommand(cmd, "10.0.0.5", op.fn());
    EXPECT_TRUE(r.blnForward);
    EXPECT_TRUE(r.blnOpened);
    EXPECT_EQ(r.lngDataPort, 4660);
    EXPECT_TRUE(r.strLog.isEmpty());
    EXPECT_EQ(op.ip, "192.168.0.9");
    EXPECT_EQ(op.remotePort, 1025);
    EXPECT_EQ(cmd, "PORT 10,0,0,5,18,52\r\n");
}

TEST(FtpRouting, PortCommandFailures)
{
    FakeOpener op;
    op.answer = {true, 2000, 0, {}};

    // Five numbers: logged, nothing opened, the client gets a 451 reply.
    QByteArray cmd("PORT 1,2,3,4,5\r\n");
    RewriteResult r = RouteFtpPortCommand(cmd, "10.0.0.5", op.fn());
    EXPECT_FALSE(r.blnForward);
    EXPECT_EQ(op.calls, 0);
    EXPECT_TRUE(r.strLog.startsWith("An error occurred while attempting to route the PORT command (FTP).  The operating system reports: 9, "));
    EXPECT_TRUE(cmd.startsWith("451 Tessaly: "));
    EXPECT_TRUE(cmd.endsWith("\r\n"));
    EXPECT_EQ(cmd.count('\n'), 1);

    // The data port cannot be opened.
    op.answer = {false, 3333, 10048, "Address in use"};
    cmd = "port 1,2,3,4,0,21\r\n";
    r = RouteFtpPortCommand(cmd, "10.0.0.5", op.fn());
    EXPECT_FALSE(r.blnForward);
    EXPECT_FALSE(r.blnOpened);
    EXPECT_EQ(cmd, "451 Tessaly: Address in use\r\n");
    EXPECT_EQ(r.strLog, "An error occurred while attempting to listen on an Ephemeral port 3333 (a short-lived random port in the range "
                        "1024-5000).  The operating system reports: 10048, Address in use");

    // No IPv4 address to announce: refused before any port is opened.
    op.calls = 0;
    op.answer = {true, 2000, 0, {}};
    cmd = "PORT 1,2,3,4,0,21\r\n";
    r = RouteFtpPortCommand(cmd, "::1", op.fn());
    EXPECT_FALSE(r.blnForward);
    EXPECT_EQ(op.calls, 0);
    EXPECT_TRUE(cmd.startsWith("451 Tessaly: "));
}

TEST(FtpRouting, PasvReplyRewrite)
{
    FakeOpener op;
    op.answer = {true, 1024, 0, {}};
    QByteArray reply("227 Entering Passive Mode (127,0,0,1,200,10).\r\n");
    RewriteResult r = RouteFtpPasvReply(reply, "127.0.0.1", op.fn());
    EXPECT_TRUE(r.blnForward);
    EXPECT_EQ(op.ip, "127.0.0.1");
    EXPECT_EQ(op.remotePort, 200 * 256 + 10);
    // The full stop after ")" is gone.
    EXPECT_EQ(reply, "227 Entering Passive Mode (127,0,0,1,4,0)\r\n");

    // Lower-case words are recognised and answered in the usual case.
    reply = "227 entering passive mode (1,2,3,4,5,6)\r\n";
    r = RouteFtpPasvReply(reply, "127.0.0.1", op.fn());
    EXPECT_EQ(reply, "227 Entering Passive Mode (127,0,0,1,4,0)\r\n");
}

TEST(FtpRouting, PasvReplyFailures)
{
    FakeOpener op;
    op.answer = {true, 1024, 0, {}};
    const char* unparsable[] = {
        "227 Entering Passive Mode (1,2,3,4,5,6\r\n",   // no ")"
        "227 Entering Passive Mode (1,2,3,4,5)\r\n",     // five numbers
        "227 Entering Passive Mode (1,2,3,4,5,300)\r\n", // out of range
    };
    for (const char* in : unparsable) {
        QByteArray reply(in);
        const RewriteResult r = RouteFtpPasvReply(reply, "127.0.0.1", op.fn());
        SCOPED_TRACE(in);
        EXPECT_FALSE(r.blnForward);
        EXPECT_EQ(reply, QByteArray(in));   // relayed unchanged
        EXPECT_TRUE(r.strLog.startsWith("An error occurred while attempting to route the PASV command (FTP).  The operating system reports: "));
    }
    EXPECT_EQ(op.calls, 0);

    op.answer = {false, 4000, 10013, "Permission denied"};
    QByteArray reply("227 Entering Passive Mode (1,2,3,4,5,6)\r\n");
    const RewriteResult r = RouteFtpPasvReply(reply, "127.0.0.1", op.fn());
    EXPECT_FALSE(r.blnForward);
    EXPECT_EQ(reply, "451 Tessaly: Permission denied\r\n");
}

TEST(FtpRouting, OnlyTheFirstLineIsRewritten)
{
    FakeOpener op;
    op.answer = {true, 1024, 0, {}};
    QByteArray cmd("PORT 1,2,3,4,5,6\r\nLIST\r\n");
    RewriteResult r = RouteFtpPortCommand(cmd, "127.0.0.1", op.fn());
    EXPECT_TRUE(r.blnForward);
    EXPECT_EQ(cmd, "PORT 127,0,0,1,4,0\r\n");
    EXPECT_EQ(r.strRest, "LIST\r\n");

    // A failed rewrite keeps the later command too.
    cmd = "PORT 1,2,3\r\nNOOP\r\n";
    r = RouteFtpPortCommand(cmd, "127.0.0.1", op.fn());
    EXPECT_FALSE(r.blnForward);
    EXPECT_TRUE(cmd.startsWith("451 "));
    EXPECT_EQ(r.strRest, "NOOP\r\n");

    QByteArray reply("227 Entering Passive Mode (1,2,3,4,5,6).\r\n226 Done\r\n");
    r = RouteFtpPasvReply(reply, "127.0.0.1", op.fn());
    EXPECT_EQ(reply, "227 Entering Passive Mode (127,0,0,1,4,0)\r\n");
    EXPECT_EQ(r.strRest, "226 Done\r\n");
}

TEST(FtpRouting, ExtendedDataCommandsAreDeclinedWithOneLine)
{
    for (const char* cmd : {"EPSV\r\n", "epsv\r\n", "EpSv ALL\r\n", "EPSV 1\n", "EPSV", "EPRT |1|127.0.0.1|6275|\r\n",
                            "eprt |2|::1|6275|\r\n"})
        EXPECT_TRUE(IsExtendedDataCommand(cmd)) << cmd;
    for (const char* cmd : {"EPS", "EPSVX\r\n", " EPSV\r\n", "PASV\r\n", "LPSV\r\n", "EPRTX |1|\r\n", "XEPSV\r\n"})
        EXPECT_FALSE(IsExtendedDataCommand(cmd)) << cmd;

    QByteArray cmd("epsv\r\n");
    RewriteResult r = DeclineExtendedDataCommand(cmd);
    EXPECT_FALSE(r.blnForward);
    EXPECT_TRUE(r.strLog.isEmpty());
    EXPECT_TRUE(cmd.startsWith("502 Tessaly: ")) << cmd.toStdString();
    EXPECT_TRUE(cmd.endsWith("\r\n"));
    EXPECT_EQ(cmd.count('\n'), 1);
    EXPECT_TRUE(r.strRest.isEmpty());

    // A command sent in the same chunk is kept for the usual handling.
    cmd = "EPRT |1|127.0.0.1|6275|\r\nPORT 127,0,0,1,24,131\r\n";
    r = DeclineExtendedDataCommand(cmd);
    EXPECT_TRUE(cmd.startsWith("502 Tessaly: ")) << cmd.toStdString();
    EXPECT_EQ(cmd.count('\n'), 1);
    EXPECT_EQ(r.strRest, "PORT 127,0,0,1,24,131\r\n");
}

TEST(FtpRouting, ErrorReplyStaysOneLine)
{
    EXPECT_EQ(ErrorReply("a\r\nb"), "451 Tessaly: a  b\r\n");
    EXPECT_EQ(ErrorReply(""), "451 Tessaly: \r\n");
}

} // namespace
