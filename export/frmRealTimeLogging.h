#pragma once
// "Real Time Logging": the switch, the path and the open file of the CSV log
// that receives one line per socket event of every connection. The log works
// while the window is hidden; Logging asks chkLoggingEnabled before each event.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <initializer_list>
#include <QWidget>
#include <memory>

#include "platform/SingleWindow.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SocketEvent;
class SocketPair;
namespace tsy { class WindowTimer; }

// Loaded (hidden) on first use, like reading one of its controls; loading
// reads its settings and shows the state in panel 8. Unloading, as the
// window frame's close does, stores the settings and closes the file.
class frmRealTimeLogging : public tsy::SingleWindow<frmRealTimeLogging, QWidget> {
    Q_OBJECT
    friend Lifecycle;

public:
    // The program's end: closes the file, stores nothing.
    static void CloseAtExit();

    // Appends the event's line, opening the file (header first when it is
    // absent or empty) where needed. Failures go to the error log.
    void SaveEventToLogFile(SocketPair* objSocketPair, const std::shared_ptr<SocketEvent>& objEvent);

    // The four escapes that keep a text inside one quoted field: CR, LF and
    // the double quote become "<13>", "<10>" and "<34>".
    static QByteArray EscapeField(const QByteArray& strText);

    // ---- controls -------------------------------------------------------------
    QCheckBox* chkLoggingEnabled = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtLogFile = nullptr;
    QPushButton* cmdOpen = nullptr;   // "..."
    QLabel* Label2 = nullptr;
    QLabel* lblLogSize = nullptr;
    QPushButton* cmdView = nullptr;
    QPushButton* cmdDelete = nullptr;
    QPushButton* cmdClose = nullptr;
    tsy::WindowTimer* tmrLogFileSize = nullptr;

    bool IsLogFileOpen() const { return mblnLogFileOpen; }

public slots:
    void chkLoggingEnabled_Click();
    void cmdOpen_Click();
    void cmdView_Click();
    void cmdDelete_Click();
    void cmdClose_Click();
    void tmrLogFileSize_Timer();

private:
    frmRealTimeLogging();
    ~frmRealTimeLogging() override;

    void BuildControls();
    void Form_Load();
    void Form_Unload();
    void CloseLogFile();
    bool OpenLogFile();
    // Writes pieces of one line (blnLineStart: the first of them); a line is
    // written whole or not at all: on failure the file is cut back to where
    // the line began, closed and the failure reported, and the result is false.
    bool WriteWhole(std::initializer_list<QByteArrayView> pieces, bool blnLineStart = true);
    // The line up to the Data field's opening quote.
    static QByteArray EventLineHead(SocketPair* objSocketPair, const SocketEvent& objEvent);

    // The data a chunk's events share: received, buffered and sent events
    // of one chunk usually hold the same bytes, escaped once. Holding the
    // source keeps its bytes unchanged while they are compared by address.
    QByteArray mstrLastData;
    QByteArray mstrLastEscaped;

    qint64 mlngLineWritten = 0;   // bytes of the current line already in the file

    bool mblnLogFileOpen = false;
    int mintLogFileNumber = -1;   // the descriptor of the open file
    QString mstrOpenLogFileName;
};
