#pragma once
// "Configure Tessaly": the port table (ports, descriptions, protocols), the
// listening state of each port and the way into each protocol's property
// page. Every protocol choice is stored at once and handed to the listening
// sockets.
#include <QDialog>
#include <QPointer>
#include <QString>

#include "platform/SingleWindow.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// Loaded hidden on first use; its load fills it from the store. Unloading,
// as the window frame's close does, runs Close's steps; the next use loads
// and fills it again.
class frmConfigure : public tsy::SingleWindow<frmConfigure, QDialog> {
    Q_OBJECT
    friend Lifecycle;

public:

    static constexpr const char* kDontUse = "<Don't use>";
    static constexpr const char* kFtpData = "FTP Data - Dynamically allocated";

    // ---- controls --------------------------------------------------------
    QGroupBox* Frame1 = nullptr;
    QLabel* lblPort = nullptr;
    QTreeWidget* lvwPort = nullptr;     // rows: text = port, column 1 = description
    QLabel* lblProtocol = nullptr;
    QListWidget* lstProtocol = nullptr; // check box per item
    QPushButton* cmdPortAdd = nullptr;
    QPushButton* cmdDeletePort = nullptr;
    QPushButton* cmdStartListening = nullptr;
    QPushButton* cmdConfigure = nullptr;
    QCheckBox* chkShowAtStartUp = nullptr;
    QPushButton* cmdClose = nullptr;

    // True while the window itself sets the protocol list's check marks.
    bool IsLoading = false;

    // ---- the main window's port commands ----------------------------------
    // "&Protocol...": loads the window, selects the port's row and shows its
    // protocol; the caller then shows the window.
    static frmConfigure* ShowPort(int lngPort);
    // "S&top Listening": the port's protocol becomes "<Don't use>" and its
    // socket stops listening.
    static void StopListening(int lngPort);

    // ---- public members --------------------------------------------------
    void LoadAllDetails();
    void lvwPort_Click();

    // Row helpers: a row's key is "KEY" followed by the port.
    QTreeWidgetItem* RowByKey(const QString& key) const;
    // Makes the row keyed "KEY" and the port the selected one, without
    // running the port view (callers run lvwPort_Click). False when absent.
    bool SelectPortRow(int lngPort);
    int SelectedPort() const;   // 0 when no row is selected
    QString CheckedProtocol() const;   // "" when none is checked

public slots:
    void lstProtocol_Click();
    void lstProtocol_ItemCheck(QListWidgetItem* item);
    void cmdPortAdd_Click();
    void cmdDeletePort_Click();
    void cmdStartListening_Click();
    void cmdConfigure_Click();
    void cmdClose_Click();

protected:
    bool event(QEvent* e) override;            // activation: Form_Activate
    void reject() override;                    // Escape: Close

private:
    frmConfigure();
    ~frmConfigure() override;

    void Form_Load();
    void Form_Unload() { CloseSteps(); }
    void Form_Activate();
    void EnablePortControls();
    void UpdateConfigureCaption();
    void ProtocolChoice();
    void CloseSteps();
    bool PortIsListening(int lngPort) const;
};
