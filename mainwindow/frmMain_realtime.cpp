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

namespace {

QTextCharFormat Coloured(int bgr)
{
    QTextCharFormat format;
    format.setForeground(QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF));
    return format;
}

} // namespace

qint64 frmMain::RealTimePaneLength()
{
    const QTextDocument* document = txtRealTime->document();
    if (document->characterCount() != mintRealTimeCharacters) {
        // Emptied or filled by someone else since: counted afresh, each line
        // break as the CR LF it came from.
        const QString text = document->toPlainText();
        mlngRealTimeLength = text.size() + text.count(QLatin1Char('\n'));
        mintRealTimeCharacters = document->characterCount();
    }
    return mlngRealTimeLength;
}

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

    frmRealTimeData* rt = frmRealTimeData::Instance();
    const bool raw = rt->optDisplayAs.Value(0);
    const char format = char(rt->GetPrintFFormat().toInt());
    const auto perRow = tsy::Numbers::WholeInRange(rt->txtBytesPerRow->text(), 1, 128);
    if (!raw && !perRow) throw tsy::CollectionError(13, "Type mismatch");
    const int bytesPerRow = perRow ? int(*perRow) : 16;
    const qint64 limit = rt->PaneLimit();

    QTextDocument* document = txtRealTime->document();

    // Plan the run from lengths alone: a block that a later block of this
    // run would empty the pane for is never formatted.
    const int blocks = int(log.gstrData.size());
    qint64 paneLength = RealTimePaneLength();
    int firstShown = 0;
    bool emptyFirst = false;
    for (int i = 0; i < blocks; ++i) {
        const qint64 length = raw ? log.gstrData[i].size()
                                  : tsy::FormatLibrary::FormattedLength(log.gstrData[i].size(), format, bytesPerRow);
        if (frmRealTimeData::AddToPane(paneLength, limit, length, log.gstrPreamble[i])) {
            firstShown = i;
            emptyFirst = true;
        }
    }
    for (int i = 0; i < firstShown; ++i) dropFront();

    // Colours are stripped by a plain block only when some were drawn since
    // the last strip: a run of plain blocks strips the pane once.
    bool colouredSinceStrip = true;
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
            if (i == firstShown && emptyFirst) {
                txtRealTime->clear();
                mlngRealTimeLength = 0;
                colouredSinceStrip = false;
            }
            QTextCursor cursor(document);
            cursor.movePosition(QTextCursor::End);
            const QString& preamble = log.gstrPreamble.front();
            if (!preamble.isEmpty()) {
                cursor.insertText(QStringLiteral("\r\n") + preamble, Coloured(0));
                mlngRealTimeLength += 2 + preamble.size();
            }
            const int colour = log.gcolColour.front();
            if (colour != 0) {
                cursor.insertText(text, Coloured(colour));
                colouredSinceStrip = true;
            } else {
                // A plain block leaves the whole pane without colours.
                if (colouredSinceStrip) {
                    cursor.select(QTextCursor::Document);
                    cursor.setCharFormat(QTextCharFormat());
                    cursor.movePosition(QTextCursor::End);
                    colouredSinceStrip = false;
                }
                cursor.insertText(text, QTextCharFormat());
            }
            mlngRealTimeLength += text.size();
            txtRealTime->moveCursor(QTextCursor::End);
        } catch (...) {
        }
        mintRealTimeCharacters = document->characterCount();
        dropFront();
    }
}
