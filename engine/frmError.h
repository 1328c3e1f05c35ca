#pragma once
// The program's one error log: newest entry first, kept for the run while the
// window only hides; about 1 MB at most, the oldest whole entries dropped.
#include <QPointer>
#include <QString>
#include <QWidget>
#include <deque>

#include "platform/SingleWindow.h"

class QLabel;
class QPlainTextEdit;

// Loaded (hidden, empty log) by its first use.
class frmError : public tsy::SingleInstance<frmError, QWidget> {
    Q_OBJECT
    friend Lifecycle;

public:
    // Puts the time stamp, the text and a blank line in front of the log,
    // shows the window, gives it the focus and makes it topmost while Keep on
    // Top is ticked. Never fails towards its caller; loads the window if needed.
    static void LogError(const QString& strText);

    // Asks the window to close: hides it unless General::gblnApplicationClosing
    // is set, in which case it is unloaded and its log is lost. True when unloaded.
    static bool Unload();

    static constexpr qsizetype MaxLogChars = 1 << 20;

    // The whole log as one text, entries joined with CR LF.
    QString LogText() const;
    int EntryCount() const { return int(mEntries.size()); }

    QLabel* Label1 = nullptr;
    QPlainTextEdit* txtErrorMessage = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    explicit frmError();
    void AddEntry(const QString& entry);
    void Form_Resize();

    // Newest first; each entry as it appears in the log (with CR LF).
    std::deque<QString> mEntries;
    // Length of each entry as shown in the text box (line breaks as one character).
    std::deque<qsizetype> mShownLengths;
    qsizetype mChars = 0;
};
