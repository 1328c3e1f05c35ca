// The error log window: entry order and layout, hiding versus unloading, the
// minimum height and the size cap.
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/frmError.h"
#include "platform/Runtime.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <gtest/gtest.h>

namespace {

class ErrorLogTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override
    {
        tsy::Runtime::SetClock({});
        General::gblnKeepOnTop = false;
        Reset();
    }
    static void Reset()
    {
        General::gblnApplicationClosing = true;
        frmError::Unload();
        General::gblnApplicationClosing = false;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

} // namespace

TEST_F(ErrorLogTest, NewestFirstWithStampsAndBlankLines)
{
    EXPECT_EQ(frmError::Loaded(), nullptr);
    tsy::Runtime::SetClock([] { return QTime(9, 5, 3, 42); });
    frmError::LogError("A");
    tsy::Runtime::SetClock([] { return QTime(9, 5, 4, 7); });
    frmError::LogError("B");
    frmError* w = frmError::Loaded();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->LogText(), "09:05:04.007\r\nB\r\n\r\n09:05:03.042\r\nA\r\n\r\n");
    EXPECT_EQ(w->txtErrorMessage->toPlainText(), "09:05:04.007\nB\n\n09:05:03.042\nA\n\n");
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), "Error");
    EXPECT_EQ(w->Label1->text(), "The following error(s) were encounted:");
}

TEST_F(ErrorLogTest, MessagesStayPlainText)
{
    frmError::LogError("<b>not bold</b> & line1\r\nline2");
    frmError* w = frmError::Loaded();
    EXPECT_TRUE(w->txtErrorMessage->toPlainText().contains("<b>not bold</b> & line1\nline2\n\n"));
    EXPECT_TRUE(w->LogText().endsWith("<b>not bold</b> & line1\r\nline2\r\n\r\n"));
}

TEST_F(ErrorLogTest, CloseOnlyHidesUntilTheProgramIsClosing)
{
    frmError::LogError("first");
    frmError* w = frmError::Loaded();
    EXPECT_FALSE(frmError::Unload());   // hidden, not unloaded
    EXPECT_EQ(frmError::Loaded(), w);
    EXPECT_FALSE(w->isVisible());

    frmError::LogError("second");   // shows again with the earlier log
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->EntryCount(), 2);
    EXPECT_TRUE(w->LogText().contains("first"));

    General::gblnApplicationClosing = true;
    EXPECT_TRUE(frmError::Unload());
    EXPECT_EQ(frmError::Loaded(), nullptr);
    frmError::LogError("third");   // a new log
    ASSERT_NE(frmError::Loaded(), nullptr);
    EXPECT_EQ(frmError::Loaded()->EntryCount(), 1);
    EXPECT_FALSE(frmError::Loaded()->LogText().contains("first"));
}

TEST_F(ErrorLogTest, KeepOnTopMakesItTopmostAndItStaysSo)
{
    frmError::LogError("plain");
    EXPECT_FALSE(frmError::Loaded()->windowFlags() & Qt::WindowStaysOnTopHint);
    General::gblnKeepOnTop = true;
    frmError::LogError("on top");
    EXPECT_TRUE(frmError::Loaded()->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(frmError::Loaded()->isVisible());
    General::gblnKeepOnTop = false;
    frmError::LogError("after");
    EXPECT_TRUE(frmError::Loaded()->windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST_F(ErrorLogTest, HeightSpringsBackToTheMinimum)
{
    frmError::LogError("x");
    frmError* w = frmError::Loaded();
    const int minPx = tsy::Runtime::TwipsToPixels(1800);
    w->resize(w->width(), minPx / 2);
    tsytest::Pump(20);
    EXPECT_GE(w->frameGeometry().height(), minPx - 1);
    w->resize(600, 400);
    tsytest::Pump(20);
    const QRect box = w->txtErrorMessage->geometry();
    EXPECT_LE(box.right(), w->width());
    EXPECT_LE(box.bottom(), w->height());
    EXPECT_GT(box.height(), 200);
}

TEST_F(ErrorLogTest, CapDropsOldestWholeEntries)
{
    const QString msg = QString(1000, QLatin1Char('m'));
    const int n = int(frmError::MaxLogChars / 1000) + 200;
    for (int i = 0; i < n; ++i) frmError::LogError(QString::number(i) + ":" + msg);
    frmError* w = frmError::Loaded();
    const QString log = w->LogText();
    EXPECT_LE(log.size(), frmError::MaxLogChars);
    EXPECT_GT(log.size(), frmError::MaxLogChars - 2000);
    // The newest is first, the oldest kept entry is whole, the earliest are gone.
    EXPECT_TRUE(log.mid(14).startsWith(QString::number(n - 1) + ":"));
    EXPECT_TRUE(log.endsWith(msg + "\r\n\r\n"));
    EXPECT_FALSE(log.contains("\r\n0:"));
    // The text box shows exactly the kept entries.
    QString shown = log;
    shown.replace("\r\n", "\n");
    EXPECT_EQ(w->txtErrorMessage->toPlainText(), shown);

    // One oversized report is kept, cut to the cap.
    frmError::LogError(QString(frmError::MaxLogChars * 2, QLatin1Char('z')));
    EXPECT_EQ(w->EntryCount(), 1);
    EXPECT_LE(w->LogText().size(), frmError::MaxLogChars);
}
