// The text data file and the raw data file: the records with every option on
// and off, the four raw directions, and the failures they report.
#include "ExportFixture.h"

#include "export/SavingData.h"
#include "platform/FormatLibrary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class DataExport : public ExportFixture {
protected:
    // accepted, refused, connect attempt, 16 with data, buffered 10 and 12,
    // a throttled 15, 17, 9, 14, and a disconnection without data.
    std::shared_ptr<SocketPairHistory> Mixed()
    {
        SocketPair* p = NewPair(1);
        log->LocalServerAcceptedConnection(p, false, 1000);
        log->ConnectionAttemptToRemoteServer(p, "example.org", 80, false);
        log->ServerBytesReceived(p, "GET /", false);
        log->ClientBytesBuffered(p, "held", false, false);
        log->ServerBytesBuffered(p, "back", false, false);
        log->ServerBytesSendStart(p, "slow", false, true);
        log->ClientBytesSendStart(p, "GET /", false, false);
        log->ClientBytesReceived(p, QByteArray("\0\xff", 2), false);
        log->ServerBytesSendStart(p, QByteArray("\0\xff", 2), false, false);
        log->RemoteClientDisconnected(p, false);
        return Shared(p);
    }
    static QByteArray Rows(const QByteArray& data, char format = 'h', int perRow = 16)
    {
        return tsy::FormatLibrary::Format(data, format, perRow).text;
    }
    QByteArray SaveText(const std::shared_ptr<SocketPairHistory>& h)
    {
        EXPECT_TRUE(SavingData::SaveHistoryAsText(Path("data.txt"), h, choices)) << ErrorLog().toStdString();
        return Read(Path("data.txt"));
    }
};

TEST_F(DataExport, EveryOptionOn)
{
    const auto h = Mixed();
    const QByteArray t = "13:05:09.042\r\n";
    const QByteArray expected =
        "\r\n" + t + "From: TSY's internal socket server, To: Remote client\r\nRemote connection request accepted\r\n"
        + "\r\n" + t + "From: TSY's internal socket client, To: Remote server\r\n"
        + "A connection request has been made to example.org:80.\r\n"
        + "\r\n" + t + "From: Remote client, To: TSY's internal socket server\r\n"
        + "5 bytes of data has been received from the remote client.\r\n" + Rows("GET /")
        + "\r\n" + t + "From: TSY's internal socket client, To: Remote server\r\n"
        + "4 bytes of data has been buffered. (Previous action still in progress)\r\n" + Rows("held")
        + "\r\n" + t + "From: TSY's internal socket server, To: Remote client\r\n"
        + "4 bytes of data has been buffered. (Previous send to remote client is still in progress)\r\n" + Rows("back")
        // The throttled send has no direction line.
        + "\r\n" + t + "4 bytes of throttled data has been sent to the remote client.\r\n" + Rows("slow")
        + "\r\n" + t + "From: TSY's internal socket client, To: Remote server\r\n"
        + "5 bytes of data has been sent to the remote server.\r\n" + Rows("GET /")
        + "\r\n" + t + "From: Remote server, To: TSY's internal socket client\r\n"
        + "2 bytes of data has been received from the remote server.\r\n" + Rows(QByteArray("\0\xff", 2))
        + "\r\n" + t + "From: TSY's internal socket server, To: Remote client\r\n"
        + "2 bytes of data has been sent to the remote client.\r\n" + Rows(QByteArray("\0\xff", 2))
        + "\r\n" + t + "From: Remote client, To: TSY's internal socket server\r\n"
        + "The remote client has disconnected.\r\n";
    EXPECT_EQ(SaveText(h).toStdString(), expected.toStdString());
    EXPECT_EQ(ErrorEntries(), 0);
}

TEST_F(DataExport, EveryOptionOffInOctal)
{
    const auto h = Mixed();
    choices = {};
    choices.chrFormat = 'o';
    choices.intBytesPerRow = 4;
    choices.blnIncludeNonDataEvents = choices.blnIncludeBufferedData = false;
    choices.blnIncludeDateTimeStamp = choices.blnIncludeDataDirection = choices.blnIncludeDescription = false;
    const QByteArray expected = "\r\n" + Rows("GET /", 'o', 4) + "\r\n" + Rows("slow", 'o', 4) + "\r\n"
                                + Rows("GET /", 'o', 4) + "\r\n" + Rows(QByteArray("\0\xff", 2), 'o', 4) + "\r\n"
                                + Rows(QByteArray("\0\xff", 2), 'o', 4);
    EXPECT_EQ(SaveText(h).toStdString(), expected.toStdString());

    // A refused request is always saved: a lone CR LF.
    SocketPair* p = NewPair(2);
    log->LocalServerRejectedConnection(p, false, 1000);
    EXPECT_EQ(SaveText(Shared(p)), "\r\n");
    // An empty history gives an empty file.
    EXPECT_EQ(SaveText(std::make_shared<SocketPairHistory>()), "");
}

TEST_F(DataExport, RawDataOfEachDirection)
{
    SocketPair* p = NewPair(1);
    log->LocalServerAcceptedConnection(p, false, 1000);
    log->ServerBytesReceived(p, "c1", false);
    log->ClientBytesSendStart(p, "s1", false, false);
    log->ClientBytesSendStart(p, "throttled", false, true);
    log->ClientBytesBuffered(p, "buffered", false, false);
    log->ClientBytesReceived(p, QByteArray("r\0", 2), false);
    log->ServerBytesSendStart(p, "t1", false, false);
    log->ServerBytesReceived(p, "c2", false);
    log->ClientBytesSendStart(p, "s2", false, false);
    log->ServerBytesSendStart(p, "throttled", false, true);
    const auto h = Shared(p);

    // Over a longer file: exactly the bytes of the direction remain.
    QFile longer(Path("raw.bin"));
    ASSERT_TRUE(longer.open(QIODevice::WriteOnly));
    longer.write(QByteArray(4096, 'z'));
    longer.close();
    const QByteArray expected[4] = {"c1c2", "s1s2", QByteArray("r\0", 2), "t1"};
    for (int d = 0; d < 4; ++d) {
        choices.intDirection = d;
        ASSERT_TRUE(SavingData::SaveHistoryAsRawData(Path("raw.bin"), h, choices));
        EXPECT_EQ(Read(Path("raw.bin")), expected[d]) << d;
    }

    // A connection relayed only with throttling has nothing "TSY to Remote Server".
    SocketPair* q = NewPair(2);
    log->LocalServerAcceptedConnection(q, false, 1000);
    log->ClientBytesSendStart(q, "slow", false, true);
    choices.intDirection = 1;
    ASSERT_TRUE(SavingData::SaveHistoryAsRawData(Path("raw.bin"), Shared(q), choices));
    EXPECT_EQ(QFileInfo(Path("raw.bin")).size(), 0);
    EXPECT_EQ(ErrorEntries(), 0);
}

TEST_F(DataExport, FailuresAreReportedOnce)
{
    const auto h = Mixed();
    const char* sentence = "An error occurred attempting to create the data file. The operating system reports: ";

    // Only a regular file is written: a device, a pipe (read or not: nothing may
    // wait for its reader) and a folder are refused, and nothing reaches them.
    const QByteArray pipe = QFile::encodeName(Path("pipe"));
    ASSERT_EQ(::mkfifo(pipe.constData(), 0600), 0);
    const int reader = ::open(pipe.constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(QDir().mkdir(Path("folder")));
    choices.intDirection = 0;
    int entries = 0;
    for (const auto& [file, error] : {std::pair<QString, const char*>{"/dev/full", "52, Bad file name or number"},
                                      {Path("pipe"), "52, Bad file name or number"},
                                      {Path("folder"), "75, Path/File access error"},
                                      {Path("folder/"), "52, Bad file name or number"},
                                      {Path("folder/."), "52, Bad file name or number"},
                                      {Path("folder/.."), "52, Bad file name or number"},
                                      {Path("none/"), "52, Bad file name or number"}}) {
        EXPECT_FALSE(SavingData::SaveHistoryAsText(file, h, choices)) << file.toStdString();
        EXPECT_FALSE(SavingData::SaveHistoryAsRawData(file, h, choices)) << file.toStdString();
        EXPECT_EQ(ErrorEntries(), entries += 2);
        EXPECT_TRUE(ErrorLog().section("\r\n\r\n", 0, 0).endsWith(QString(sentence) + error))
            << ErrorLog().toStdString();
    }
    char byte;
    EXPECT_EQ(::read(reader, &byte, 1), 0);   // nothing written, the writer gone
    ::close(reader);
    EXPECT_FALSE(SavingData::SaveHistoryAsText(Path("pipe"), h, choices));   // without a reader
    EXPECT_EQ(ErrorEntries(), 15);

    // Without the formatting library: a failure, what came before stays.
    tsy::FormatLibrary::SetLibraryPath(Path("missing.so"));
    const bool saved = SavingData::SaveHistoryAsText(Path("data.txt"), h, choices);
    tsy::FormatLibrary::SetLibraryPath(QString());
    EXPECT_FALSE(saved);
    EXPECT_EQ(ErrorEntries(), 16);
    EXPECT_TRUE(ErrorLog().contains(QString(sentence) + "53, File not found"));
    EXPECT_TRUE(Read(Path("data.txt")).endsWith("example.org:80.\r\n"));

    // A relative name, a missing folder and no history.
    EXPECT_FALSE(SavingData::SaveHistoryAsText("data.txt", h, choices));
    EXPECT_FALSE(QFileInfo::exists("data.txt"));
    EXPECT_FALSE(SavingData::SaveHistoryAsRawData(Path("none/raw.bin"), h, choices));
    EXPECT_TRUE(ErrorLog().contains(QString(sentence) + "76, Path not found"));
    EXPECT_FALSE(SavingData::SaveHistoryAsText(Path("data.txt"), nullptr, choices));
    EXPECT_EQ(ErrorEntries(), 19);
}

TEST_F(DataExport, FiftyThousandEventsExportWhole)
{
    auto h = std::make_shared<SocketPairHistory>();
    for (int i = 0; i < 50000; ++i) {
        auto e = std::make_shared<SocketEvent>();
        e->mobjEventType = SocketEventType::ServerBytesReceived;
        e->mstrData = QByteArray::number(i % 10);
        h->AddEvent(e);
    }
    choices.intDirection = 0;
    ASSERT_TRUE(SavingData::SaveHistoryAsRawData(Path("raw.bin"), h, choices));
    EXPECT_EQ(QFileInfo(Path("raw.bin")).size(), 50000);
    EXPECT_TRUE(Read(Path("raw.bin")).endsWith("6789"));
}

} // namespace
