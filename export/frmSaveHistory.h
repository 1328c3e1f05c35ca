#pragma once
// "Save Data": saves the history of one connection, the one of the socket or
// event node selected when the window loads, as an HTML connection diagram,
// a text data file or a raw data file. Only the file name is stored
// (section "SaveHistory", key "File", when the window unloads); every other
// choice starts from its default at each load.
#include <QDialog>
#include <QList>
#include <QPointer>
#include <memory>

#include "export/ExportChoices.h"
#include "platform/SingleWindow.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class SocketPairHistory;
class frmMain;
namespace tsy { class UpDown; }

// Loaded (hidden) on first use; loading picks the history. Unloading, as
// the window frame's close does, stores the file name first.
class frmSaveHistory : public tsy::SingleWindow<frmSaveHistory, QDialog> {
    Q_OBJECT
    friend Lifecycle;

public:
    // The main window's "Save Data" commands: unload, load afresh, show.
    static void Open(frmMain* owner);

    // The history being saved; none when the window opened on another node.
    std::shared_ptr<SocketPairHistory> mobjHistory;

    // The choices as the writers read them, taken from the controls now.
    tsy::Export::ExportChoices Choices() const;

    QLineEdit* txtFile = nullptr;
    QPushButton* cmdFile = nullptr;
    QList<QRadioButton*> optFormat;      // 0 HTML, 1 file
    QList<QRadioButton*> optDisplayAs;   // 0 raw, 1 Hex, 2 Octal, 3 Decimal, 4 Binary
    QComboBox* cboDirection = nullptr;
    QCheckBox* chkIncludeNonDataEvents = nullptr;
    QCheckBox* chkIncludeBufferedData = nullptr;
    QCheckBox* chkIncludeDateTimeStamp = nullptr;
    QCheckBox* chkIncludeDataDirection = nullptr;
    QCheckBox* chkIncludeDescription = nullptr;
    QLineEdit* txtBytesPerRow = nullptr;
    tsy::UpDown* upBytesPerRow = nullptr;   // steps the box's own text
    QPushButton* cmdHTMLOptions = nullptr;
    QCheckBox* chkAutoOpen = nullptr;
    QPushButton* cmdView = nullptr;
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdCancel = nullptr;

    void cmdFile_Click();
    void cmdView_Click();
    void cmdSave_Click();
    void cmdCancel_Click();
    void optFormat_Click(int index);
    void optDisplayAs_Click(int index);

protected:
    void changeEvent(QEvent* event) override;
    void reject() override;

private:
    frmSaveHistory();
    void BuildControls();
    void Form_Load();
    void Form_Unload();
    void txtBytesPerRow_Change();
    void UpdateViewButton();
    QList<QCheckBox*> IncludeBoxes() const;
};
