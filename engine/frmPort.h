#pragma once
// "Port Selection": the modal dialog that asks for one local port and its
// description, offering the well-known ports of PORTS.TXT beside the program.
// It neither listens nor stores settings; the caller reads Tag, mintPort and
// mstrDescription once the dialog is hidden.
#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>
#include <functional>

#include "platform/SingleWindow.h"

class QLabel;
class QFrame;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// PORTS.TXT: fields separated by commas or line ends, taken in pairs (port,
// description). Blanks before a field are skipped; a field opening with a
// double quote runs to the next one, and what follows it up to the comma or
// line end is skipped; an unquoted field loses its trailing blanks.
struct PortsFileEntry {
    QString port;
    QString description;
};
struct PortsFileResult {
    QList<PortsFileEntry> rows;   // every complete pair, in file order
    int errorNumber = 0;          // 0 when the whole file was read
    QString errorDescription;
};
PortsFileResult ParsePortsText(const QByteArray& text);
PortsFileResult ReadPortsFile(const QString& path);

// Loaded (reading PORTS.TXT) on first use; the window frame's close only
// hides it, as Cancel does.
class frmPort : public tsy::SingleInstance<frmPort, QDialog> {
    Q_OBJECT
    friend Lifecycle;

public:

    // Shows the dialog modally owned by owner (topmost first while Keep on
    // Top is ticked) and returns when it is hidden. Tag is "CANCEL" unless a
    // port was accepted.
    void ShowModal(QWidget* owner);
    // Tests replace the modal display with a function that works the dialog.
    using ModalRunner = std::function<void(frmPort*)>;
    static void SetModalRunner(ModalRunner runner);   // empty: the real exec()

    static QString PortsFilePath();   // the program's directory and PORTS.TXT

    // Handed back.
    int mintPort = 0;
    QString mstrDescription;
    QString Tag;   // "CANCEL" or ""

    // Controls.
    QLabel* Label1 = nullptr;
    QTreeWidget* lstDetails = nullptr;
    QLabel* Label2 = nullptr;
    QFrame* Line1 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* txtPort = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* txtDescription = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

    int SortColumn() const { return mintSortColumn; }
    bool SortDescending() const { return mblnSortDescending; }

public slots:
    void lstDetails_Click();
    void lstDetails_DblClick();
    void lstDetails_ColumnClick(int column);
    void cmdOK_Click();
    void cmdCancel_Click();

protected:
    void resizeEvent(QResizeEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void reject() override;

private:
    frmPort();
    ~frmPort() override;
    void Form_Load();
    void Form_Resize();

    int mintSortColumn = 0;
    bool mblnSortDescending = false;
};
