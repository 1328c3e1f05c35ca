// The real-time pane writer: draws the queued blocks of the recorder into
// txtRealTime, each as its black preamble and then its data in the block's
// colour, keeping the pane within the size box.
#include "mainwindow/frmMain.h"

#include "engine/General.h"
#include "export/frmRealTimeData.h"
#include "history/Logging.h"
#include "platform/FormatLibrary.h"
#include "platform/KeyedCollection.h"
#include "platform/Numbers.h"
#include "platform/WindowTimer.h"

#include <QLineEdit>
#include <QTextCursor>
#include <QTextDocument>
#include <QPlainTextEdit>
#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 kDefaultLimitKBytes = 50;

// The pane's bound in characters. A size box that does not hold a number
// would leave the pane unbounded: the default applies until it does.
qint64 PaneLimit(const QLineEdit* box)
{
    const auto kbytes = tsy::Numbers::ParseNumeric(box->text());
    if (!kbytes || std::isnan(*kbytes)) return kDefaultLimitKBytes * 1024;
    return qint64(std::clamp(*kbytes * 1024.0, 0.0, 1e15));
}

QTextCharFormat Coloured(int bgr)
{
    QTextCharFormat format;
    format.setForeground(QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF));
    return format;
}

} // namespace

void frmMain::tmrRealTimeData_Timer()
{
    if (!General::gobjLogging) return;
    Logging& log = *General::gobjLogging;
    if (log.gstrData.size() == 1) tmrRealTimeData->SetEnabled(false);
    const auto dropFront = [&log] {
        log.gstrData.removeFirst();
        log.gstrPreamble.removeFirst();
        log.gcolColour.removeFirst();
    };
    while (log.gstrData.size() > 10) dropFront();

    frmRealTimeData* rt = frmRealTimeData::Instance();
    const bool raw = rt->optDisplayAs.Value(0);
    const char format = char(rt->GetPrintFFormat().toInt());
    const auto perRow = tsy::Numbers::WholeInRange(rt->txtBytesPerRow->text(), 1, 128);
    if (!raw && !perRow) throw tsy::CollectionError(13, "Type mismatch");
    const int bytesPerRow = perRow ? int(*perRow) : 16;
    const qint64 limit = PaneLimit(rt->txtRealTimeDataSize);

    // Plan the run from lengths alone: a block that a later block of this
    // run would empty the pane for is never formatted.
    const int blocks = int(log.gstrData.size());
    qint64 paneLength = txtRealTime->document()->characterCount() - 1;
    int firstShown = 0;
    bool emptyFirst = false;
    for (int i = 0; i < blocks; ++i) {
        const qint64 length = raw ? log.gstrData[i].size()
                                  : tsy::FormatLibrary::FormattedLength(log.gstrData[i].size(), format, bytesPerRow);
        if (limit < paneLength + length) {
            firstShown = i;
            emptyFirst = true;
            paneLength = 0;
        }
        const QString& preamble = log.gstrPreamble[i];
        paneLength += (preamble.isEmpty() ? 0 : 2 + preamble.size()) + std::min(length, limit);
    }
    for (int i = 0; i < firstShown; ++i) dropFront();

    for (int i = firstShown; i < blocks; ++i) {
        // The text of the front block; a failure here leaves it queued.
        const QByteArray& data = log.gstrData.front();
        QString text;
        if (raw) {
            text = QString::fromLatin1(data.right(int(std::min<qint64>(data.size(), limit))));
        } else {
            // A block longer than the pane's bound shows its last whole rows.
            const auto result = tsy::FormatLibrary::FormatLastRows(data, format, bytesPerRow, limit);
            if (!result.ok) throw tsy::CollectionError(result.errorNumber, result.errorText.toUtf8().constData());
            text = QString::fromLatin1(result.text);
        }

        // From here on nothing is reported: a failing step is skipped.
        try {
            if (i == firstShown && emptyFirst) txtRealTime->clear();
            QTextCursor cursor(txtRealTime->document());
            cursor.movePosition(QTextCursor::End);
            const QString& preamble = log.gstrPreamble.front();
            if (!preamble.isEmpty()) cursor.insertText(QStringLiteral("\r\n") + preamble, Coloured(0));
            const int colour = log.gcolColour.front();
            if (colour != 0) {
                cursor.insertText(text, Coloured(colour));
            } else {
                // A plain block leaves the whole pane without colours.
                cursor.select(QTextCursor::Document);
                cursor.setCharFormat(QTextCharFormat());
                cursor.movePosition(QTextCursor::End);
                cursor.insertText(text, QTextCharFormat());
            }
            txtRealTime->moveCursor(QTextCursor::End);
        } catch (...) {
        }
        dropFront();
    }
}
