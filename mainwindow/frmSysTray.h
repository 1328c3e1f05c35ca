#pragma once
// The program's tray icon. The window that owns it is never shown: loading it
// adds the icon, unloading removes it. The icon animates through a 5 x 5 grid
// of pictures while data is sent: the server-bound direction picks the column,
// the client-bound direction the row; the 25th picture is the idle one.
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>

#include "platform/SingleWindow.h"

class QAction;
class QMenu;

namespace tsy {
class WindowTimer;
}

class frmSysTray : public tsy::SingleInstance<frmSysTray, QObject> {
    Q_OBJECT
    friend Lifecycle;

public:
    static frmSysTray* Load() { return Instance(); }   // adds the icon and starts the timer; loaded once
    static void Unload();        // removes the icon

    // A send towards the remote server (true) or the remote client (false).
    // Only flags: it runs for every send event and works while unloaded.
    static void DataSent(bool blnClientToServer);
    // Whether a tray host is there to hold the icon. Tests replace the answer.
    static bool TrayAvailable();
    static void SetTrayAvailableHook(std::function<bool()> hook);
    // The tray is in use: the icon is loaded and shown, and a tray holds it.
    static bool InUse();
    // Forgets the animation state (tests).
    static void ResetAnimation();

    // Picture shown now, 1 to 25.
    int CurrentPicture() const { return mintPicture; }

    QSystemTrayIcon* trayIcon = nullptr;   // only while a tray exists
    QMenu* mnuSysTray = nullptr;
    QAction* mnuRestore = nullptr;
    QAction* mnuConfigure = nullptr;
    QAction* mnuExit = nullptr;
    tsy::WindowTimer* tmrSysTray = nullptr;

public slots:
    void tmrSysTray_Timer();
    void mnuRestore_Click();
    void mnuConfigure_Click();
    void mnuExit_Click();
    // Sets the Restore item's caption as the menu opens.
    void PrepareMenu();

private:
    frmSysTray();
    ~frmSysTray() override;
    void Form_Load();
    void CreateIcon();
    void SetPicture(int picture);
    void OnActivated(QSystemTrayIcon::ActivationReason reason);
    static void RestoreMainWindow();

    int mintPicture = 0;   // none set yet
};
