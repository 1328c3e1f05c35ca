// The real-time CSV log window: the file it writes event by event through the
// real recorder, its header rule, escapes, path changes, deletion, switching,
// failures (missing folder, handler gone, short writes) and panel 8.
#include "protocols/ProtocolFactory.h"
#include "protocols/ProtocolHandler.h"
#include "common/TestSupport.h"
#include "engine/Listening.h"
#include "export/frmRealTimeLogging.h"
#include "history/HistoryFixture.h"
#include "mainwindow/PanelBar.h"
#include "mainwindow/frmMain.h"
#include "platform/Modal.h"
#include "platform/Settings.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QByteArray kHeader =
    "\"Start Time\",\"Connection Id\",\"Protocol\",\"Listening Port\",\"Remote Client IP\","
    "\"Remote Client Name\",\"Remote Client Port\",\"Remote Server IP\",\"Remote Server Name\","
    "\"Remote Server Port\",\"Event Type\",\"Description\",\"Err No.\",\"Error String\",\"Data\"";

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The file's lines, split at CR LF; the file must end with one.
QList<QByteArray> Lines(const QString& path)
{
    QByteArray all = ReadAll(path);
    QList<QByteArray> lines;
    if (all.isEmpty()) return lines;
    EXPECT_TRUE(all.endsWith("\r\n"));
    all.chop(2);
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = all.indexOf("\r\n", from);
        lines.append(all.mid(from, at < 0 ? -1 : at - from));
        if (at < 0) break;
        from = at + 2;
    }
    for (const QByteArray& l : lines) EXPECT_FALSE(l.contains('\r') || l.contains('\n')) << l.constData();
    return lines;
}

// Fields of one line: every field quoted, none holding a quote of its own.
QList<QByteArray> Fields(const QByteArray& line)
{
    EXPECT_TRUE(line.startsWith('"') && line.endsWith('"')) << line.constData();
    const QByteArray inner = line.mid(1, line.size() - 2);
    QList<QByteArray> out;
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = inner.indexOf("\",\"", from);
        out.append(inner.mid(from, at < 0 ? -1 : at - from));
        if (at < 0) break;
        from = at + 3;
    }
    for (const QByteArray& f : out) EXPECT_FALSE(f.contains('"')) << line.constData();
    return out;
}

class RealTimeLogTest : public HistoryFixture {
protected:
    void SetUp() override
    {
        HistoryFixture::SetUp();
        AddPortNode(1000);
        tsytest::ClearSettings();
        ASSERT_TRUE(mDir.isValid());
        mPath = mDir.filePath("log.csv");
        tsy::Settings::SaveSetting("RealTimeLogging", "LoggingOn", "1");
        tsy::Settings::SaveSetting("RealTimeLogging", "LogFile", mPath);
        mScript = &tsy::Modal::UseScript();
        mErrorsBefore = ErrorEntries();
    }
    void TearDown() override
    {
        frmRealTimeLogging::Unload();
        tsytest::Pump(10);
        tsy::Modal::SetBackend(nullptr);
        HistoryFixture::TearDown();
    }

    frmRealTimeLogging* Window() { return frmRealTimeLogging::Instance(); }

    // A pair with a Pass Through handler, its connection accepted (one event).
    SocketPair* Accepted(int n)
    {
        SocketPair* p = NewPair(n);
        p->mobjProtocolHandler = CreateProtocolHandler("Pass Through");
        p->mobjProtocolHandler->mlngWasListeningOnPort = 1000;
        log->LocalServerAcceptedConnection(p, false, 1000);
        return p;
    }
    int NewErrors() const { return ErrorEntries() - mErrorsBefore; }

    QTemporaryDir mDir;
    QString mPath;
    tsy::Modal::ScriptedBackend* mScript = nullptr;
    int mErrorsBefore = 0;
};

// The escape finds special bytes sixteen at a time: every position within
// and across those blocks, runs of them, and blocks without any must come out
// as the byte-by-byte rule has them.
TEST(RealTimeLogEscape, EveryPositionAndRunMatchesTheByteByByteRule)
{
    const auto reference = [](const QByteArray& in) {
        QByteArray out;
        for (char c : in) out += c == '\r' ? QByteArray("<13>") : c == '\n' ? QByteArray("<10>") : c == '"' ? QByteArray("<34>") : QByteArray(1, c);
        return out;
    };
    for (int length : {0, 1, 15, 16, 17, 31, 32, 33, 100}) {
        QByteArray plain(length, 'x');
        EXPECT_EQ(frmRealTimeLogging::EscapeField(plain), plain);
        for (int at = 0; at < length; ++at) {
            for (char special : {'\r', '\n', '"'}) {
                QByteArray one = plain;
                one[at] = special;
                EXPECT_EQ(frmRealTimeLogging::EscapeField(one), reference(one)) << length << " " << at;
            }
        }
    }
    QByteArray mixed;
    for (int i = 0; i < 70000; ++i) mixed += char(i * 131 + 7);
    mixed += "\r\n\r\n\"\"\"";
    EXPECT_EQ(frmRealTimeLogging::EscapeField(mixed), reference(mixed));
}

TEST_F(RealTimeLogTest, FirstEventWritesHeaderThenFifteenFieldsWithEveryTextEscaped)
{
    ASSERT_FALSE(QFile::exists(mPath));
    SocketPair* p = Accepted(7);
    log->ServerBytesReceived(p, QByteArray("a\r\nb\rc\nd\"e,f\0g\xff", 15), false);
    // A host taken from a client's request may hold anything.
    log->ConnectionAttemptToRemoteServer(p, "x\",y\nz", 110, false);

    const QList<QByteArray> lines = Lines(mPath);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], kHeader);
    for (const QByteArray& l : lines) EXPECT_EQ(Fields(l).size(), 15) << l.constData();

    const QList<QByteArray> accepted = Fields(lines[1]);
    EXPECT_EQ(accepted[0].size(), 12);   // hh:mm:ss.zzz
    EXPECT_EQ(accepted[1], "KEY7");
    EXPECT_EQ(accepted[2], "Pass Through");
    EXPECT_EQ(accepted[3], "1000");
    EXPECT_EQ(accepted[6], "0");         // an unconnected socket's port
    EXPECT_EQ(accepted[10], "0");
    EXPECT_EQ(accepted[11], "Remote connection request accepted");
    EXPECT_EQ(accepted[12], "0");
    EXPECT_EQ(accepted[13], "");
    EXPECT_EQ(accepted[14], "");         // no data: two quotes and nothing between

    const QList<QByteArray> data = Fields(lines[2]);
    EXPECT_EQ(data[10], "16");
    EXPECT_EQ(data[14], QByteArray("a<13><10>b<13>c<10>d<34>e,f\0g\xff", 30)) << data[14].toHex().constData();
    EXPECT_EQ(Fields(lines[3])[11], "A connection request has been made to x<34>,y<10>z:110.");
    EXPECT_EQ(NewErrors(), 0) << ErrorLog().toStdString();
}

TEST_F(RealTimeLogTest, AChunkSharedByTwoEventsAndAnEditedCopyEachComeOutAsTheyAre)
{
    SocketPair* p = Accepted(1);
    QByteArray chunk(1000, 'a');
    chunk[10] = '"';
    log->ServerBytesReceived(p, chunk, false);
    log->ClientBytesSendStart(p, chunk, false, false);
    chunk[20] = '\n';   // a copy of its own now: same size, other bytes
    log->ServerBytesReceived(p, chunk, false);

    const QList<QByteArray> lines = Lines(mPath);
    ASSERT_EQ(lines.size(), 5);
    QByteArray first(1000, 'a');
    first.replace(10, 1, "<34>");
    EXPECT_EQ(Fields(lines[2])[14], first);
    EXPECT_EQ(Fields(lines[3])[14], first);
    QByteArray edited = first;
    edited.replace(23, 1, "<10>");
    EXPECT_EQ(Fields(lines[4])[14], edited);

    // A chunk of several MiB, with escapes on either side of every 256 KiB mark.
    QByteArray big(3 * 1024 * 1024 + 5, 'b');
    for (qsizetype at = 256 * 1024; at < big.size(); at += 256 * 1024) {
        big[at - 1] = '\r';
        big[at] = '\n';
    }
    log->ServerBytesReceived(p, big, false);
    QByteArray escaped = big;
    escaped.replace("\r", "<13>").replace("\n", "<10>");
    const QList<QByteArray> after = Lines(mPath);
    ASSERT_EQ(after.size(), 6);
    EXPECT_TRUE(Fields(after[5])[14] == escaped);
}

TEST_F(RealTimeLogTest, HeaderOnlyForAnAbsentOrEmptyFile)
{
    {
        QFile f(mPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("old line\r\n");
    }
    Accepted(1);
    QList<QByteArray> lines = Lines(mPath);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "old line");
    EXPECT_EQ(Fields(lines[1])[1], "KEY1");

    // An existing empty file is the same as none.
    const QString empty = mDir.filePath("empty.csv");
    QFile(empty).open(QIODevice::WriteOnly);
    Window()->txtLogFile->setText(empty);
    Accepted(2);
    lines = Lines(empty);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], kHeader);
}

TEST_F(RealTimeLogTest, EditedPathTakesEffectAtTheNextEventAndSwitchingAddsNoHeader)
{
    SocketPair* p = Accepted(1);
    const QByteArray first = ReadAll(mPath);
    const QString other = mDir.filePath("other.csv");
    Window()->txtLogFile->setText(other);
    log->ServerBytesReceived(p, "x", false);
    EXPECT_EQ(ReadAll(mPath), first);   // the old file is left alone
    QList<QByteArray> lines = Lines(other);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], kHeader);

    // Off closes the file and writes nothing; on again appends without a header.
    Window()->chkLoggingEnabled->setChecked(false);
    EXPECT_FALSE(Window()->IsLogFileOpen());
    log->ServerBytesReceived(p, "y", false);
    Window()->chkLoggingEnabled->setChecked(true);
    log->ServerBytesReceived(p, "z", false);
    lines = Lines(other);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(Fields(lines[1])[14], "x");
    EXPECT_EQ(Fields(lines[2])[14], "z");
}

TEST_F(RealTimeLogTest, DeleteAsksThenRemovesAndTheNextEventStartsAFreshFile)
{
    SocketPair* p = Accepted(1);
    Window()->tmrLogFileSize_Timer();
    EXPECT_EQ(Window()->lblLogSize->text(), QString::number(ReadAll(mPath).size()) + " bytes");

    mScript->answers = {tsy::Modal::Answer::No};
    Window()->cmdDelete->click();
    EXPECT_TRUE(QFile::exists(mPath));
    ASSERT_EQ(mScript->calls.size(), 1);
    EXPECT_EQ(mScript->calls[0].text, "Are you sure you want to delete this log file?");
    EXPECT_EQ(mScript->calls[0].title, "Tessaly");
    EXPECT_EQ(mScript->calls[0].icon, tsy::Modal::Icon::Question);
    EXPECT_EQ(mScript->calls[0].buttons, tsy::Modal::Buttons::YesNo);

    mScript->answers = {tsy::Modal::Answer::Yes};
    Window()->cmdDelete->click();
    EXPECT_FALSE(QFile::exists(mPath));
    Window()->tmrLogFileSize_Timer();
    EXPECT_EQ(Window()->lblLogSize->text(), "0 bytes");
    EXPECT_TRUE(Window()->chkLoggingEnabled->isChecked());

    log->ServerBytesReceived(p, "after", false);
    const QList<QByteArray> lines = Lines(mPath);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], kHeader);
    EXPECT_EQ(Fields(lines[1])[14], "after");

    // View and the path chooser go through the seam; a cancelled choice keeps the path.
    Window()->cmdView->click();
    EXPECT_EQ(mScript->count("ViewText"), 1);
    Window()->cmdOpen->click();
    EXPECT_EQ(Window()->txtLogFile->text(), mPath);
    mScript->fileNames = {mDir.filePath("chosen.csv")};
    Window()->cmdOpen->click();
    EXPECT_EQ(Window()->txtLogFile->text(), mDir.filePath("chosen.csv"));
}

TEST_F(RealTimeLogTest, FailuresAreReportedPerEventAndLoseOnlyThatLine)
{
    const QString missing = mDir.filePath("no/such/folder/log.csv");
    tsy::Settings::SaveSetting("RealTimeLogging", "LogFile", missing);
    SocketPair* p = Accepted(1);
    log->ServerBytesReceived(p, "x", false);
    EXPECT_EQ(NewErrors(), 2);
    EXPECT_TRUE(ErrorLog().contains("An error occurred while attempting to write the log file.  "
                                    "The operating system reports: 76, Path not found"));
    EXPECT_FALSE(QFile::exists(missing));

    // A pipe, read or not, is refused at every event: none waits for its reader.
    const QString pipe = mDir.filePath("pipe.csv");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const int reader = ::open(QFile::encodeName(pipe).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Window()->txtLogFile->setText(pipe);
    log->ServerBytesReceived(p, "x", false);
    ::close(reader);
    log->ServerBytesReceived(p, "x", false);
    EXPECT_EQ(NewErrors(), 4);
    EXPECT_TRUE(ErrorLog().contains("The operating system reports: 52, Bad file name or number"));

    // A name that names a folder, there or not, is refused as the exports refuse it.
    for (const QString& name : {mDir.path() + "/", mDir.filePath("."), mDir.filePath(".."), mDir.filePath("none/")}) {
        Window()->txtLogFile->setText(name);
        log->ServerBytesReceived(p, "x", false);
        EXPECT_TRUE(ErrorLog().section("\r\n\r\n", 0, 0).endsWith("52, Bad file name or number"))
            << name.toStdString() << ErrorLog().toStdString();
    }
    EXPECT_EQ(NewErrors(), 8);

    // A pair whose handler was released: reported, nothing else lost.
    Window()->txtLogFile->setText(mPath);
    p->mobjProtocolHandler.reset();
    log->ServerBytesReceived(p, "y", false);
    EXPECT_EQ(NewErrors(), 9);
    EXPECT_EQ(Lines(mPath).size(), 1);   // the header alone
    EXPECT_EQ(History(p).mobjSocketPairEvents.Count(), 9);
}

TEST_F(RealTimeLogTest, UnloadStoresTheSettingsAndTheNextEventReloadsThem)
{
    SocketPair* p = Accepted(1);
    const QString other = mDir.filePath("other.csv");
    Window()->txtLogFile->setText(other);
    Window()->close();   // the window frame's close
    EXPECT_FALSE(frmRealTimeLogging::IsLoaded());
    EXPECT_EQ(tsy::Settings::GetSetting("RealTimeLogging", "LogFile"), other);
    EXPECT_EQ(tsy::Settings::GetSetting("RealTimeLogging", "LoggingOn"), "1");
    log->ServerBytesReceived(p, "x", false);
    EXPECT_TRUE(frmRealTimeLogging::IsLoaded());
    EXPECT_EQ(Lines(other).size(), 2);

    // The program's end closes the file but stores nothing.
    Window()->chkLoggingEnabled->setChecked(false);
    Window()->chkLoggingEnabled->setChecked(true);
    log->ServerBytesReceived(p, "y", false);
    EXPECT_TRUE(Window()->IsLogFileOpen());
    tsy::Settings::SaveSetting("RealTimeLogging", "LoggingOn", "0");
    frmRealTimeLogging::CloseAtExit();
    EXPECT_FALSE(Window()->IsLogFileOpen());
    EXPECT_EQ(tsy::Settings::GetSetting("RealTimeLogging", "LoggingOn"), "0");
}

// A write the file-size limit cuts short leaves the file ending in a whole
// line, one report, and the next line, once the limit is lifted, is whole.
// Runs in a child process so the limit binds nothing else.
TEST_F(RealTimeLogTest, AShortWriteIsCutBackToTheLastWholeLine)
{
    SocketPair* p = Accepted(1);
    const qint64 before = ReadAll(mPath).size();
    ASSERT_GT(before, 0);
    // Large enough to go out in several writes: the limit cuts it after some
    // of them have reached the file.
    QByteArray big(2 * 1024 * 1024, 'B');
    for (qsizetype at = 0; at < big.size(); at += 1000) big[at] = '"';

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{};
        ::getrlimit(RLIMIT_FSIZE, &lim);
        const rlim_t hard = lim.rlim_max;
        lim.rlim_cur = rlim_t(before + 600 * 1024);
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(100);
        const int errorsBefore = ErrorEntries();
        log->ServerBytesReceived(p, big, false);
        const int reported = ErrorEntries() - errorsBefore;
        lim.rlim_cur = hard;
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(101);
        log->ServerBytesReceived(p, "next", false);
        ::_exit(reported);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);   // one report

    const QList<QByteArray> lines = Lines(mPath);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(Fields(lines[1])[1], "KEY1");
    EXPECT_EQ(Fields(lines[2])[14], "next");
}

// Panel 8 and the main window's two ways into the log window.
class RealTimeLogPanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        frmMain::SetEndProgramHook([] {});
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
    }
    void TearDown() override
    {
        frmRealTimeLogging::Unload();
        frmMain::Unload();
        delete General::gobjListening;
        General::gobjListening = nullptr;
        delete General::gobjLogging;
        General::gobjLogging = nullptr;
        frmMain::SetEndProgramHook({});
        tsytest::Pump(10);
    }
};

TEST_F(RealTimeLogPanelTest, PanelFollowsTheStoredSwitchAndItsDoubleClickFlipsIt)
{
    frmMain* main = frmMain::Instance();
    for (const char* stored : {"1", "0", "junk", "2"}) {
        frmRealTimeLogging::Unload();   // stores the box's value first
        tsy::Settings::SaveSetting("RealTimeLogging", "LoggingOn", stored);
        frmRealTimeLogging::Instance();
        const bool on = QByteArray(stored) == "1";
        EXPECT_EQ(main->barStatus->PanelText(8), on ? "Logging: ON " : "Logging: Off ") << stored;
        EXPECT_EQ(frmRealTimeLogging::Instance()->chkLoggingEnabled->isChecked(), on);
    }
    main->barStatus_PanelDblClick(8);
    EXPECT_TRUE(frmRealTimeLogging::Instance()->chkLoggingEnabled->isChecked());
    EXPECT_EQ(main->barStatus->PanelText(8), "Logging: ON ");
    main->barStatus_PanelDblClick(8);
    EXPECT_EQ(main->barStatus->PanelText(8), "Logging: Off ");

    auto* menu = main->findChild<QAction*>("mnuRealTimeLogging");
    ASSERT_NE(menu, nullptr);
    menu->trigger();
    EXPECT_TRUE(frmRealTimeLogging::Instance()->isVisible());
    EXPECT_EQ(frmRealTimeLogging::Instance()->windowTitle(), "Real Time Logging");
    frmRealTimeLogging::Instance()->cmdClose->click();
    EXPECT_FALSE(frmRealTimeLogging::Instance()->isVisible());
    EXPECT_TRUE(frmRealTimeLogging::IsLoaded());
}

} // namespace
