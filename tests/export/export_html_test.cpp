// The HTML connection diagram: whole exports against golden files, where the
// pages and pictures go for awkward file names, and the failures it reports.
#include "ExportFixture.h"

#include "platform/FormatLibrary.h"

#include <QFile>
#include <QUrl>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

class HtmlExport : public ExportFixture {
protected:
    // Exports into a folder of its own and compares it with its golden copy.
    void ExportAndCompare(const QString& name, const std::shared_ptr<SocketPairHistory>& h)
    {
        const QString dir = Path(name);
        ASSERT_TRUE(QDir().mkpath(dir));
        EXPECT_TRUE(SavingHTML::SaveHistoryAsHTML(dir + "/Log.htm", h, choices));
        EXPECT_EQ(ErrorEntries(), 0) << ErrorLog().toStdString();
        ExpectGolden(name, dir);
        main = Read(dir + "/Log.htm");
    }
    int Rows() const { return int(main.count("<tr>\r\n")) - 1; }   // heading row left out
    QByteArray main;
};

TEST_F(HtmlExport, AcceptedThenClientDisconnectionGivesTwoPairsOfRows)
{
    SocketPair* p = NewPair(1, 1000);
    log->LocalServerAcceptedConnection(p, false, 1000);
    log->GotProtocol(p, "Pass Through");
    log->RemoteClientDisconnected(p, false);
    Address(p);
    log->Dead(p);
    ExportAndCompare("accept_close", Shared(p));
    EXPECT_EQ(Rows(), 4);
    EXPECT_TRUE(main.contains("src='Images/ComputerComingOn.gif'"));
    EXPECT_TRUE(main.contains("window.open('Log/Event1.htm'"));
}

TEST_F(HtmlExport, FollowOnTakesTheNextEventIntoTheRow)
{
    // The next event's arrow on the other side: one pair of rows, two links.
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    log->ServerBytesReceived(p, "GET / HTTP/1.0\r\n\r\n", true);
    log->ClientBytesSendStart(p, "GET / HTTP/1.0\r\n\r\n", false, false);
    Address(p);
    ExportAndCompare("follow_other_side", Shared(p));
    EXPECT_EQ(Rows(), 4);
    EXPECT_TRUE(main.contains("Log/Event2.htm") && main.contains("Log/Event3.htm"));

    // On the same side: the second event gets rows of its own and its link.
    SocketPair* q = NewPair(2);
    log->LocalServerAcceptedConnection(q, false, 1000);
    log->ServerBytesReceived(q, "a", true);
    log->ServerBytesReceived(q, "b", false);
    Address(q);
    ExportAndCompare("follow_same_side", Shared(q));
    EXPECT_EQ(Rows(), 6);
    EXPECT_TRUE(main.contains("Log/Event3.htm"));

    // Both sides dangling: DangleStart on both arrows.
    SocketPair* r = NewPair(3);
    log->LocalServerAcceptedConnection(r, false, 1000);
    log->DanglingStatusChanged(r, true, 2, 5000);
    Address(r);
    ExportAndCompare("both_dangling", Shared(r));
    EXPECT_EQ(Rows(), 4);
    EXPECT_EQ(main.count("DangleStart.gif"), 2);
}

TEST_F(HtmlExport, LoneArrowsWithoutTextAndServerAddressOnlyBesideServerArrows)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    log->ConnectionAttemptFailed(p, false, "Connection refused", 10061);
    log->DanglingStatusChanged(p, false, 0, 0);   // 23, server side
    log->DanglingStatusChanged(p, false, 1, 0);   // 24, client side
    Address(p);
    ExportAndCompare("lone_arrows", Shared(p));
    EXPECT_EQ(Rows(), 8);
    EXPECT_EQ(main.count("10.0.0.2:110"), 2);
    EXPECT_EQ(main.count("<b>"), 1);   // the accepted connection's only
}

TEST_F(HtmlExport, MarkupInValuesAndDataIsEscaped)
{
    // A refused request: "<Unknown>" is shown, not swallowed as a tag.
    SocketPair* p = NewPair(1);
    log->LocalServerRejectedConnection(p, false, 1000);
    ExportAndCompare("refused", Shared(p));
    EXPECT_TRUE(main.contains("&lt;Unknown&gt;:-1"));

    // Data with a blank, brackets, an ampersand and line ends; an event without data.
    SocketPair* q = NewPair(2);
    log->LocalServerAcceptedConnection(q, false, 1000);
    log->ServerBytesReceived(q, QByteArray("a b<c>d&e\r\nline 2\r\n\x01\xff", 22), false);
    Address(q);
    ExportAndCompare("data_escapes", Shared(q));
    const QByteArray page = Read(Path("data_escapes/Log/Event2.htm"));
    EXPECT_TRUE(page.contains("a&nbsp;b&lt;c&gt;d&amp;e"));
    EXPECT_EQ(page.count("<br>\r\n"), 2);   // 22 bytes: two rows of 16
    EXPECT_TRUE(Read(Path("data_escapes/Log/Event1.htm")).contains("<small></small>"));
}

TEST_F(HtmlExport, EmptyHistoryGivesHeadingFooterAndAnEmptyFolder)
{
    ExportAndCompare("empty", std::make_shared<SocketPairHistory>());
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(QDir(Path("empty/Log")).exists());
    EXPECT_TRUE(QDir(Path("empty/Log")).isEmpty());
}

TEST_F(HtmlExport, WherePagesGoForEachKindOfName)
{
    struct Case { const char* file; const char* dir; const char* link; };
    const Case cases[] = {
        {"/out/Log.htm", "/out/Log", "Log"},
        {"/out/My.Files/Log.htm", "/out/My.Files/Log", "Log"},
        {"/out/Log", "/out/Log_files", "Log_files"},
        {"/out/.htm", "/out/.htm_files", ".htm_files"},
        {"/out/a.b.c", "/out/a", "a"},
        {"/out/Bob's log.htm", "/out/Bob's log", "Bob%27s%20log"},
        {"/Log.htm", "/Log", "Log"},
    };
    for (const Case& c : cases) {
        SavingHTML::Paths paths;
        ASSERT_TRUE(SavingHTML::DerivePaths(c.file, paths)) << c.file;
        EXPECT_EQ(paths.strEventDir, c.dir) << c.file;
        EXPECT_EQ(paths.strEventDirName, c.link) << c.file;
        EXPECT_EQ(paths.strPictureDir, QFileInfo(c.file).path() == "/" ? "/Images" : QFileInfo(c.file).path() + "/Images");
    }
    SavingHTML::Paths paths;
    for (const char* refused : {"Log.htm", "out/Log.htm", "", "/", "/out/report/", "/out/d2/..", "/out/d2/."})
        EXPECT_FALSE(SavingHTML::DerivePaths(refused, paths)) << refused;
}

// Every name that is not a file to create or replace is refused before a page
// is written: nothing appears or changes anywhere.
TEST_F(HtmlExport, FolderAndDeviceNamesAreRefusedAndWriteNothing)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    log->ServerBytesReceived(p, "x", false);
    const auto h = Shared(p);

    QFile report(Path("report"));
    ASSERT_TRUE(report.open(QIODevice::WriteOnly) && report.write("keep") == 4);
    report.close();
    ASSERT_TRUE(QDir().mkpath(Path("d1")) && QDir().mkpath(Path("x/d2")));
    ASSERT_EQ(::mkfifo(Path("pipe").toLocal8Bit().constData(), 0600), 0);
    // A copy of /dev/full where the system lets us make one, else the device itself.
    QString full = Path("full");
    if (::mknod(full.toLocal8Bit().constData(), S_IFCHR | 0666, makedev(1, 7)) != 0) full = "/dev/full";
    const QStringList before = Files(out.path(), true);
    ASSERT_TRUE(before.contains("pipe"));

    struct Case { QString file; const char* error; };
    const Case cases[] = {
        {Path("report/"), "52, Bad file name or number"},
        {Path("d1/"), "52, Bad file name or number"},
        {Path("d1"), "75, Path/File access error"},
        {Path("x/d2/.."), "52, Bad file name or number"},
        {Path("x/d2/."), "52, Bad file name or number"},
        {full, "52, Bad file name or number"},
        {Path("pipe"), "52, Bad file name or number"},
        {Path("report/Log.htm"), "76, Path not found"},
    };
    for (const Case& c : cases) {
        const int entries = ErrorEntries();
        EXPECT_FALSE(SavingHTML::SaveHistoryAsHTML(c.file, h, choices)) << c.file.toStdString();
        EXPECT_EQ(ErrorEntries(), entries + 1) << c.file.toStdString();
        // The newest entry comes first.
        EXPECT_TRUE(ErrorLog().section("\r\n\r\n", 0, 0).endsWith(
            QString("create the HTML file. The operating system reports: ") + c.error))
            << c.file.toStdString() << "\n" << ErrorLog().toStdString();
        EXPECT_EQ(Files(out.path(), true).join(" "), before.join(" ")) << c.file.toStdString();
    }
    EXPECT_EQ(Read(Path("report")), "keep");
    EXPECT_FALSE(QFileInfo::exists("/dev/full_files"));
    EXPECT_FALSE(QFileInfo::exists("/dev/Images/Cloud.gif"));
}

TEST_F(HtmlExport, EverythingStaysInTheChosenFolderAndTheLinksLead)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    log->ServerBytesReceived(p, "x", false);
    const auto h = Shared(p);

    const QStringList files = {"dot.in.path/Log.htm", "a.b/Log.htm", "plain/Log", "quote/Bob's log.htm"};
    for (const QString& rel : files) {
        const QString file = Path(rel);
        const QString folder = QFileInfo(file).path();
        ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_TRUE(SavingHTML::SaveHistoryAsHTML(file, h, choices)) << rel.toStdString();

        // The link, as the browser decodes it, names an existing page.
        const QByteArray page = Read(file);
        const qsizetype at = page.indexOf("window.open('") + 13;
        const QByteArray link = page.mid(at, page.indexOf("'", at) - at);
        EXPECT_TRUE(QFileInfo::exists(folder + "/" + QUrl::fromPercentEncoding(link))) << link.toStdString();
        EXPECT_EQ(QFileInfo(folder + "/Images").isDir(), true);
    }
    // Nothing beside the chosen folders, and nothing at the root.
    QStringList top = QDir(out.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    top.sort();
    EXPECT_EQ(top, QStringList({"a.b", "dot.in.path", "plain", "quote"}));
    EXPECT_FALSE(QFileInfo::exists("/Event1.htm"));
    EXPECT_FALSE(QFileInfo::exists("/Log_files"));

    // A relative name is refused and writes nothing.
    EXPECT_FALSE(SavingHTML::SaveHistoryAsHTML("Log.htm", h, choices));
    EXPECT_FALSE(QFileInfo::exists("Log.htm"));
    EXPECT_FALSE(QFileInfo::exists("Log"));
    EXPECT_EQ(ErrorEntries(), 1);
    EXPECT_TRUE(ErrorLog().contains("create the HTML file. The operating system reports: 52, "));
}

TEST_F(HtmlExport, PicturesAreCopiedUnlessTheFolderIsTheProgramsOwn)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    const auto h = Shared(p);
    const QString programImages = tsy::Runtime::ProgramDir() + "/Images";
    const QStringList pictures = QDir(programImages).entryList({"*.gif"}, QDir::Files);
    ASSERT_EQ(pictures.size(), 18);

    ASSERT_TRUE(SavingHTML::SaveHistoryAsHTML(Path("Log.htm"), h, choices));
    for (const QString& name : pictures)
        EXPECT_EQ(Read(Path("Images/" + name)), Read(programImages + "/" + name)) << name.toStdString();
    // A second save replaces them.
    ASSERT_TRUE(SavingHTML::SaveHistoryAsHTML(Path("Log.htm"), h, choices));

    // A program folder of our own, reached through a link and with a trailing "/".
    const QString program = Path("program");
    ASSERT_TRUE(QDir().mkpath(program + "/Images"));
    for (const QString& name : pictures) ASSERT_TRUE(QFile::copy(programImages + "/" + name, program + "/Images/" + name));
    ASSERT_EQ(::symlink(program.toLocal8Bit().constData(), Path("alias").toLocal8Bit().constData()), 0);
    const QString saved = tsy::Runtime::ProgramDir();
    tsy::Runtime::SetProgramDir(program + "/");
    EXPECT_TRUE(SavingHTML::SaveHistoryAsHTML(program + "/Log.htm", h, choices));
    EXPECT_TRUE(SavingHTML::SaveHistoryAsHTML(Path("alias/Log.htm"), h, choices));
    tsy::Runtime::SetProgramDir(saved);
    for (const QString& name : pictures)
        EXPECT_EQ(Read(program + "/Images/" + name), Read(programImages + "/" + name)) << name.toStdString();
    EXPECT_EQ(ErrorEntries(), 0) << ErrorLog().toStdString();
}

TEST_F(HtmlExport, FailuresAreReportedOnceAndTheRestIsWritten)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    log->ServerBytesReceived(p, "data", false);
    const auto h = Shared(p);

    // The event folder's name is taken by a file: the pages fail, the main page is written.
    QFile blocker(Path("Log"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(SavingHTML::SaveHistoryAsHTML(Path("Log.htm"), h, choices));
    EXPECT_EQ(ErrorEntries(), 1);
    EXPECT_TRUE(ErrorLog().contains("2 of 2 could not be written, the first being '" + Path("Log/Event1.htm") + "'"))
        << ErrorLog().toStdString();
    EXPECT_TRUE(Read(Path("Log.htm")).contains("Event2.htm"));
    EXPECT_TRUE(QFileInfo(Path("Images/Cloud.gif")).isFile());

    // Without the formatting library the data page fails; it is never written empty.
    tsy::FormatLibrary::SetLibraryPath(Path("missing/libTSYFMT10.so"));
    const bool saved = SavingHTML::SaveHistoryAsHTML(Path("Other.htm"), h, choices);
    tsy::FormatLibrary::SetLibraryPath(QString());
    EXPECT_FALSE(saved);
    EXPECT_EQ(ErrorEntries(), 2);
    EXPECT_TRUE(ErrorLog().contains("1 of 2 could not be written, the first being '" + Path("Other/Event2.htm")
                                    + "'.  The operating system reports: 53, File not found"))
        << ErrorLog().toStdString();
    EXPECT_TRUE(QFileInfo::exists(Path("Other/Event1.htm")));
    EXPECT_FALSE(QFileInfo::exists(Path("Other/Event2.htm")));

    // A pipe named like an event page or a picture, even one being read: that
    // page or picture fails with nothing sent into it, the rest are written.
    ASSERT_TRUE(QDir().mkpath(Path("sub/Pipe")) && QDir().mkpath(Path("sub/Images")));
    int readers[2];
    const char* pipes[2] = {"sub/Pipe/Event1.htm", "sub/Images/Cloud.gif"};
    for (int i = 0; i < 2; ++i) {
        const QByteArray name = QFile::encodeName(Path(pipes[i]));
        ASSERT_EQ(::mkfifo(name.constData(), 0600), 0);
        readers[i] = ::open(name.constData(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(readers[i], 0);
    }
    EXPECT_FALSE(SavingHTML::SaveHistoryAsHTML(Path("sub/Pipe.htm"), h, choices));
    EXPECT_EQ(ErrorEntries(), 4);
    EXPECT_TRUE(ErrorLog().contains("1 of 2 could not be written, the first being '" + Path(pipes[0])
                                    + "'.  The operating system reports: 52, Bad file name or number"))
        << ErrorLog().toStdString();
    EXPECT_TRUE(ErrorLog().section("\r\n\r\n", 0, 0).endsWith(
        "copy the Images subdirectory to '" + Path("sub") + "'.  The operating system reports: 52, Bad file name or number"))
        << ErrorLog().toStdString();
    EXPECT_TRUE(QFileInfo(Path("sub/Pipe/Event2.htm")).isFile() && QFileInfo(Path("sub/Pipe.htm")).isFile());
    EXPECT_TRUE(QFileInfo(Path("sub/Images/Error.gif")).isFile() && QFileInfo(Path("sub/Images/S2CData.gif")).isFile());
    for (int reader : readers) {
        char byte;
        EXPECT_EQ(::read(reader, &byte, 1), 0);
        ::close(reader);
    }

    // The main page's folder is missing.
    EXPECT_FALSE(SavingHTML::SaveHistoryAsHTML(Path("none/Log.htm"), h, choices));
    EXPECT_TRUE(frmError::Loaded()->LogText().contains(
        "An error occurred attempting to create the HTML file. The operating system reports: 76, Path not found"));

    // No history at all.
    const int before = ErrorEntries();
    EXPECT_FALSE(SavingHTML::SaveHistoryAsHTML(Path("Log.htm"), nullptr, choices));
    EXPECT_EQ(ErrorEntries(), before + 1);
}

TEST_F(HtmlExport, ReadOnlyFolderIsAFailure)
{
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    ASSERT_TRUE(QDir().mkpath(Path("ro")));
    QFile::setPermissions(Path("ro"), QFile::ReadOwner | QFile::ExeOwner);
    EXPECT_FALSE(SavingHTML::SaveHistoryAsHTML(Path("ro/Log.htm"), Shared(p), choices));
    QFile::setPermissions(Path("ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_TRUE(ErrorLog().contains("70, Permission denied"));
}

TEST_F(HtmlExport, HistoriesBeyondSixteenBitPositionsExportWhole)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    auto h = Shared(p);
    for (int i = 1; i < 32770; ++i) {
        auto e = std::make_shared<SocketEvent>();
        e->mobjEventType = SocketEventType::ClientBytesReceived;
        e->mstrDescription = QString::number(i);
        h->AddEvent(e);
    }
    ASSERT_TRUE(SavingHTML::SaveHistoryAsHTML(Path("Log.htm"), h, choices));
    EXPECT_TRUE(QFileInfo::exists(Path("Log/Event32770.htm")));
    EXPECT_TRUE(Read(Path("Log.htm")).contains("Log/Event32770.htm"));
}

} // namespace
