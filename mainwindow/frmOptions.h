#pragma once
// "Options": the purge limits of the event history and the user-interface
// switches (section "Options"). Like the other settings windows it is the
// live copy: the purge and the main window read its controls, not the store.
// A switch acts the moment it changes; OK stores, Cancel reloads the stored
// values and with them their effects.
#include <QString>
#include <QWidget>

#include "platform/SingleWindow.h"

class QCheckBox;
class QKeyEvent;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace tsy { class UpDown; }

// Loaded (hidden) on first use, like reading one of its controls; loading
// reads the store and applies every switch. Unloading, as the window
// frame's close does, stores nothing: the next reader loads the stored
// values again.
class frmOptions : public tsy::SingleWindow<frmOptions, QWidget> {
    Q_OBJECT
    friend Lifecycle;

public:

    // A switch as the store holds it, by the rule the load uses: a non-zero
    // number is ticked, a zero unticked, any other text gives the default.
    static bool StoredSwitch(const QString& key);
    // A check box's value: 1 ticked, 0 clear.
    static int Value(const QCheckBox* box);

    // Start with the desktop (the autostart entry); failures are ignored.
    void RunAtStartUp();
    void DoNotRunAtStartUp();

    QTabWidget* tabOptions = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

    // "Data Purging".
    QCheckBox* chkDiscard = nullptr;
    QLineEdit* txtNumberToKeep = nullptr;
    tsy::UpDown* updNumberToKeep = nullptr;
    QLineEdit* txtMaxMemorySize = nullptr;   // kilobytes
    tsy::UpDown* updMaxMemorySize = nullptr;
    QLineEdit* txtMaximumEventCount = nullptr;
    tsy::UpDown* upMaximumEventCount = nullptr;
    QCheckBox* chkRemoveEphemeralPortReferences = nullptr;

    // "User Interface".
    QCheckBox* chkShowToolBar = nullptr;
    QCheckBox* chkShowStatusBar = nullptr;
    QCheckBox* chkAnimateConnectionDiagram = nullptr;
    QCheckBox* chkRunAtStartup = nullptr;
    QCheckBox* chkRunMinimized = nullptr;
    QCheckBox* chkDisplayInSysTray = nullptr;

public slots:
    void cmdOK_Click();
    void cmdCancel_Click();
    void chkShowToolBar_Click();
    void chkShowStatusBar_Click();
    void chkAnimateConnectionDiagram_Click();
    void chkRunAtStartup_Click();
    void chkDisplayInSysTray_Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    frmOptions();

    void BuildControls();
    void Form_Load();
    void LoadOptions();
    void SaveOptions();

    // One stored setting: a check box (with the handler its change runs,
    // if any) or a text box.
    struct Setting {
        QString key;
        QString defaultValue;
        QCheckBox* chk = nullptr;
        void (frmOptions::*handler)() = nullptr;
        QLineEdit* txt = nullptr;
    };
    const Setting* Find(const QString& key) const;
    QList<Setting> mcolLoadOrder;
    QStringList mcolSaveOrder;
};
