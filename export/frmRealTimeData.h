#pragma once
// "Real Time Data": the settings of the main window's real-time pane. The
// controls are the settings: the recorder and the pane writer read them live,
// so a change applies to the next block; the store keeps them between runs.
#include <QColor>
#include <QString>
#include <QWidget>

#include "engine/frmProblemSimulation.h"   // OptionGroup
#include "platform/SingleWindow.h"

class QCheckBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace tsy { class UpDown; }

// Loaded (hidden) on first use, like reading one of its controls; loading
// reads the settings. Unloading, as the window frame's close does, stores
// the settings first.
class frmRealTimeData : public tsy::SingleWindow<frmRealTimeData, QWidget> {
    Q_OBJECT
    friend Lifecycle;

public:

    // "104", "111", "100" or "98": the format letter's code of the chosen
    // option; empty for raw characters.
    QString GetPrintFFormat() const;
    // The colour of a direction's swatch (0..3) as 0x00BBGGRR.
    int ColourValue(int index) const;
    void SetColourValue(int index, int value);
    // A check box's value: 1 ticked, 0 clear.
    static int Value(const QCheckBox* box);
    // The pane's bound in characters from the size box (kilobytes); a box
    // that holds no number above 0 gives the default 50 KB.
    qint64 PaneLimit() const;
    // The characters the pane shows for a block of this many bytes in the
    // chosen format (a bytes-per-row box without a number counts the bytes).
    qint64 ShownLength(qint64 bytes) const;
    // The pane's rule for one more block of `shown` characters after its
    // preamble: a block that would take it past `limit` empties it first.
    // Moves `paneLength` on; true when the block empties the pane.
    static bool AddToPane(qint64& paneLength, qint64 limit, qint64 shown, const QString& preamble);

    // ---- controls -------------------------------------------------------------
    QTabWidget* tabOptions = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

    // "Display".
    QCheckBox* chkShowRealTimeData = nullptr;
    QCheckBox* chkClientToTSY = nullptr;
    QCheckBox* chkTSYToClient = nullptr;
    QCheckBox* chkTSYToServer = nullptr;
    QCheckBox* chkServerToTSY = nullptr;
    QCheckBox* chkIncludeBufferedData = nullptr;

    // "Colors": swatch i belongs to the direction of row i (client to TSY,
    // TSY to server, TSY to client, server to TSY).
    QLabel* lblColor[4] = {nullptr, nullptr, nullptr, nullptr};
    QPushButton* cmdColor[4] = {nullptr, nullptr, nullptr, nullptr};

    // "Format".
    OptionGroup optDisplayAs;   // 0 raw characters, 1 hex, 2 octal, 3 decimal, 4 binary
    QCheckBox* chkIncludeDateTimeStamp = nullptr;
    QCheckBox* chkIncludeDataDirection = nullptr;
    QCheckBox* chkIncludeDescription = nullptr;
    QCheckBox* chkColourCode = nullptr;
    QLineEdit* txtBytesPerRow = nullptr;
    tsy::UpDown* upBytesPerRow = nullptr;
    OptionGroup optRealTimeDisplay;   // 0 all connections, 1 the tree's selected branch
    QLineEdit* txtRealTimeDataSize = nullptr;   // kilobytes
    tsy::UpDown* UpDown1 = nullptr;

public slots:
    void cmdOK_Click();
    void cmdCancel_Click();
    void cmdColor_Click(int index);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    frmRealTimeData();

    void BuildControls();
    void Form_Load();
    void Form_Unload() { SaveRealTimeDataSettings(); }
    void LoadRealTimeDataSettings();
    void SaveRealTimeDataSettings();
    void chkShowRealTimeData_Click();
    void txtBytesPerRow_Change();

    QColor mclrLastChosen = QColor(0, 0, 0);   // where the colour dialog starts
    bool mblnApplyingRule = false;
};
