// The program's binding to the formatter and its caller pattern.
#include "platform/FormatLibrary.h"
#include "platform/Runtime.h"

#include <gtest/gtest.h>

using namespace tsy;

namespace {

class FormatLibraryTest : public ::testing::Test {
protected:
    void TearDown() override { FormatLibrary::SetLibraryPath(QString()); }
};

TEST_F(FormatLibraryTest, BindsTheLibraryBesideTheProgram)
{
    EXPECT_EQ(FormatLibrary::LibraryPath(), Runtime::ProgramDir() + "/libTSYFMT10.so");
    const auto r = FormatLibrary::Format(QByteArray("AB\r"), 'h', 8);
    ASSERT_TRUE(r.ok) << r.errorNumber << " " << r.errorText.toStdString();
    EXPECT_EQ(r.text, QByteArray("000000  AB.       41 42 0d \r\n"));
    EXPECT_EQ(r.errorNumber, 0);

    // Bytes above 127 and embedded zeros pass through as bytes.
    const auto z = FormatLibrary::Format(QByteArray("\0\xff", 2), 'd', 4);
    ASSERT_TRUE(z.ok);
    EXPECT_EQ(z.text, QByteArray("000000  ..    000 255 \r\n"));
}

TEST_F(FormatLibraryTest, EmptyDataFormatsToNothing)
{
    const auto r = FormatLibrary::Format(QByteArray(), 'b', 16);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.text.isEmpty());
}

TEST_F(FormatLibraryTest, RefusedArgumentsFail)
{
    for (const auto& r : {FormatLibrary::Format("abc", 'x', 16), FormatLibrary::Format("abc", 'h', 0)}) {
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.errorNumber, 0);
        EXPECT_FALSE(r.errorText.isEmpty());
        EXPECT_TRUE(r.text.isEmpty());
    }
}

TEST_F(FormatLibraryTest, MissingLibraryOrEntryFailsAndRecovers)
{
    FormatLibrary::SetLibraryPath("/nonexistent/dir/libTSYFMT10.so");
    auto r = FormatLibrary::Format("abc", 'h', 16);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.errorNumber, 0);
    EXPECT_TRUE(r.errorText.contains("/nonexistent/dir/libTSYFMT10.so"));
    // Empty data still needs the library.
    EXPECT_FALSE(FormatLibrary::Format(QByteArray(), 'h', 16).ok);

    FormatLibrary::SetLibraryPath(TSY_NOENTRY_LIB);
    r = FormatLibrary::Format("abc", 'h', 16);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.errorNumber, 0);
    EXPECT_TRUE(r.errorText.contains("FormatText"));

    FormatLibrary::SetLibraryPath(QString());
    r = FormatLibrary::Format("abc", 'h', 4);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.text, QByteArray("000000  abc   61 62 63 \r\n"));
}

} // namespace
