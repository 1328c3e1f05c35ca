#include "engine/frmError.h"
#include "engine/General.h"
#include "platform/Runtime.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

namespace {
int gDepth = 0;   // LogError nesting: a failure while logging must not recurse
constexpr int kMinHeightTwips = 1800;
}

frmError::frmError() : SingleInstance("frmError", Qt::Dialog)
{
    setWindowTitle(QStringLiteral("Error"));
    Label1 = new QLabel(QStringLiteral("The following error(s) were encounted:"), this);
    Label1->setTextFormat(Qt::PlainText);
    txtErrorMessage = new QPlainTextEdit(this);
    txtErrorMessage->setReadOnly(true);
    txtErrorMessage->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtErrorMessage->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtErrorMessage->setUndoRedoEnabled(false);

    using tsy::Runtime::TwipsToPixels;
    Label1->move(TwipsToPixels(45), TwipsToPixels(60));
    Label1->adjustSize();
    txtErrorMessage->setGeometry(TwipsToPixels(45), TwipsToPixels(300), TwipsToPixels(5535), TwipsToPixels(1935));
    resize(TwipsToPixels(5625), TwipsToPixels(2280));
}

bool frmError::Unload()
{
    frmError* w = Loaded();
    if (!w) return true;
    w->close();
    return !IsLoaded();
}

void frmError::LogError(const QString& strText)
{
    if (gDepth >= 2) return;
    ++gDepth;
    frmError* w = nullptr;
    try {
        w = Instance();
    } catch (...) {
    }
    if (w) {
        try {
            // A nested report comes from the time stamp or topmost switch
            // failing inside this one: stamp it without reporting again.
            const QString stamp = gDepth == 1 ? General::GetSystemTimeString(true)
                                              : General::FormatTime(tsy::Runtime::LocalTime(), true);
            w->AddEntry(stamp + QStringLiteral("\r\n") + strText + QStringLiteral("\r\n\r\n"));
        } catch (...) {
        }
        try { w->show(); } catch (...) {}
        try {
            // The offscreen platform (tests) cannot raise and says so each time.
            if (QGuiApplication::platformName() != QLatin1String("offscreen")) w->raise();
            w->activateWindow();
            w->setFocus();
        } catch (...) {
        }
        try {
            if (General::gblnKeepOnTop) General::SetTopMost(w, true);
        } catch (...) {
        }
    }
    --gDepth;
}

void frmError::AddEntry(const QString& entryIn)
{
    QString entry = entryIn;
    // A single entry larger than the whole log keeps its beginning only.
    if (entry.size() > MaxLogChars) entry = entry.left(MaxLogChars - 4) + QStringLiteral("\r\n\r\n");

    // Shown with plain line breaks: the text box makes a paragraph of each.
    QString shown = entry;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));

    QTextCursor c(txtErrorMessage->document());
    c.movePosition(QTextCursor::Start);
    c.insertText(shown);

    mEntries.push_front(entry);
    mShownLengths.push_front(shown.size());
    mChars += entry.size();

    // Drop the oldest whole entries from the end; the newest always stays.
    while (mChars > MaxLogChars && mEntries.size() > 1) {
        const qsizetype len = mShownLengths.back();
        QTextCursor e(txtErrorMessage->document());
        e.movePosition(QTextCursor::End);
        e.setPosition(e.position() - len, QTextCursor::KeepAnchor);
        e.removeSelectedText();
        mChars -= mEntries.back().size();
        mEntries.pop_back();
        mShownLengths.pop_back();
    }
}

QString frmError::LogText() const
{
    QString out;
    out.reserve(mChars);
    for (const QString& e : mEntries) out += e;
    return out;
}

void frmError::closeEvent(QCloseEvent* event)
{
    if (!General::gblnApplicationClosing) {
        // Only hide, so the log survives until the program closes.
        event->ignore();
        hide();
        return;
    }
    event->accept();
    if (Loaded() == this) Release();   // the next report starts a new log
    deleteLater();
}

void frmError::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

void frmError::Form_Resize()
{
    using tsy::Runtime::PixelsToTwips;
    using tsy::Runtime::TwipsToPixels;
    const int frameExtra = frameGeometry().height() - height();
    const int outerHeightTwips = PixelsToTwips(height() + frameExtra);
    if (outerHeightTwips < kMinHeightTwips) {
        resize(width(), TwipsToPixels(kMinHeightTwips) - frameExtra);
        return;
    }
    // Laid out in the client area with the design's margins, whatever the
    // window manager's frame size.
    const int left = TwipsToPixels(45);
    const int top = TwipsToPixels(300);
    txtErrorMessage->setGeometry(left, top, qMax(0, width() - 2 * left), qMax(0, height() - top - TwipsToPixels(45)));
}
