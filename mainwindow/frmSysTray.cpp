#include "mainwindow/frmSysTray.h"

#include "engine/General.h"
#include "engine/frmConfigure.h"
#include "engine/frmError.h"
#include "mainwindow/frmMain.h"
#include "platform/Runtime.h"
#include "platform/WindowTimer.h"

#include <QAction>
#include <QDir>
#include <QIcon>
#include <QMenu>
#include <QVector>
#include <QWindow>

namespace {

std::function<bool()> gTrayAvailableHook;
QVector<QIcon> gPictures;   // the image list, loaded with the first icon

// The animation state lives outside the window, so sends made while the tray
// is off still leave their flags behind.
struct Direction {
    bool newData = false;
    bool animating = false;
    int frame = 0;
};
Direction gC2S;
Direction gS2C;

constexpr int kIdlePicture = 25;

const QVector<QIcon>& Pictures()
{
    if (gPictures.isEmpty()) {
        const QDir dir(QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("res/tray")));
        for (int i = 1; i <= 25; ++i)
            gPictures.append(QIcon(dir.filePath(QStringLiteral("Tray%1.png").arg(i, 2, 10, QLatin1Char('0')))));
    }
    return gPictures;
}

void Advance(Direction& d)
{
    if (d.animating) ++d.frame;
    if (d.frame > 4) {
        d.frame = 0;
        if (d.newData) d.newData = false;
        else d.animating = false;
    }
}

bool MainWindowAway(frmMain* main) { return main->isMinimized() || !main->isVisible(); }

} // namespace

void frmSysTray::Unload()
{
    frmSysTray* t = Release();
    if (!t) return;
    if (t->trayIcon) t->trayIcon->hide();
    t->tmrSysTray->SetEnabled(false);
    // Exit from the icon's own menu unloads it while the menu is still busy.
    t->deleteLater();
}

void frmSysTray::DataSent(bool blnClientToServer)
{
    Direction& d = blnClientToServer ? gC2S : gS2C;
    // An idle direction starts its cycle; only a send during a cycle earns
    // another one, so one send plays exactly one cycle.
    if (d.animating) d.newData = true;
    else {
        d.animating = true;
        d.frame = 0;
    }
}

bool frmSysTray::TrayAvailable()
{
    if (gTrayAvailableHook) return gTrayAvailableHook();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void frmSysTray::SetTrayAvailableHook(std::function<bool()> hook) { gTrayAvailableHook = std::move(hook); }

bool frmSysTray::InUse() { return Loaded() && Loaded()->trayIcon && Loaded()->trayIcon->isVisible() && TrayAvailable(); }

void frmSysTray::ResetAnimation()
{
    gC2S = Direction();
    gS2C = Direction();
}

frmSysTray::frmSysTray() : SingleInstance("frmSysTray") {}

frmSysTray::~frmSysTray()
{
    delete mnuSysTray;   // a context menu has no parent of its own
}

void frmSysTray::Form_Load()
{
    mnuSysTray = new QMenu();
    mnuSysTray->setObjectName(QStringLiteral("mnuSysTray"));
    mnuRestore = mnuSysTray->addAction(QStringLiteral("&Restore..."));
    mnuRestore->setObjectName(QStringLiteral("mnuRestore"));
    mnuSysTray->addSeparator();
    mnuConfigure = mnuSysTray->addAction(QStringLiteral("&Configure..."));
    mnuConfigure->setObjectName(QStringLiteral("mnuConfigure"));
    mnuSysTray->addSeparator();
    mnuExit = mnuSysTray->addAction(QStringLiteral("E&xit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    connect(mnuRestore, &QAction::triggered, this, &frmSysTray::mnuRestore_Click);
    connect(mnuConfigure, &QAction::triggered, this, &frmSysTray::mnuConfigure_Click);
    connect(mnuExit, &QAction::triggered, this, &frmSysTray::mnuExit_Click);
    connect(mnuSysTray, &QMenu::aboutToShow, this, &frmSysTray::PrepareMenu);

    CreateIcon();

    tmrSysTray = new tsy::WindowTimer(this, 400, false);
    connect(tmrSysTray, &tsy::WindowTimer::Timer, this, &frmSysTray::tmrSysTray_Timer);
    tmrSysTray->SetEnabled(true);
}

void frmSysTray::CreateIcon()
{
    // Where no tray exists there is nothing to add the icon to; the timer
    // adds it once one appears.
    if (trayIcon || !TrayAvailable()) return;
    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setIcon(QIcon(QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("res/Tessaly.png"))));
    trayIcon->setToolTip(QStringLiteral("Tessaly"));
    trayIcon->setContextMenu(mnuSysTray);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &frmSysTray::OnActivated);
    trayIcon->show();
    mintPicture = 0;
}

void frmSysTray::SetPicture(int picture)
{
    // Each change is a round trip to the tray host: only real changes go out.
    if (picture == mintPicture) return;
    mintPicture = picture;
    const auto& pictures = Pictures();
    if (trayIcon && picture >= 1 && picture <= pictures.size()) trayIcon->setIcon(pictures[picture - 1]);
}

void frmSysTray::tmrSysTray_Timer()
{
    CreateIcon();
    if (gC2S.animating || gS2C.animating) SetPicture(gS2C.frame * 5 + gC2S.frame + 1);
    else SetPicture(kIdlePicture);
    Advance(gC2S);
    Advance(gS2C);

    // A tray host that went away while the main window hid in it would leave
    // the program unreachable: bring the window back.
    if (frmMain::IsLoaded()) {
        frmMain* main = frmMain::Instance();
        if (main->isMinimized() && !main->isVisible() && !InUse())
            RestoreMainWindow();
    }
}

void frmSysTray::OnActivated(QSystemTrayIcon::ActivationReason reason)
{
    // A double-click delivers a single activation first; only the double one acts.
    if (reason != QSystemTrayIcon::DoubleClick || !frmMain::IsLoaded()) return;
    RestoreMainWindow();
}

void frmSysTray::RestoreMainWindow()
{
    frmMain* main = frmMain::Instance();
    main->setWindowState((main->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    main->show();
    main->raise();
    main->activateWindow();
}

void frmSysTray::PrepareMenu()
{
    if (!frmMain::IsLoaded()) return;
    mnuRestore->setText(MainWindowAway(frmMain::Instance()) ? QStringLiteral("Restore...") : QStringLiteral("Minimize"));
}

void frmSysTray::mnuRestore_Click()
{
    if (!frmMain::IsLoaded()) return;
    frmMain* main = frmMain::Instance();
    if (MainWindowAway(main)) {
        RestoreMainWindow();
        if (main->KeepOnTop()) General::SetTopMost(main, true);
    } else {
        // With the tray in use the minimised window hides itself.
        main->setWindowState(main->windowState() | Qt::WindowMinimized);
        if (frmError* err = frmError::Loaded()) err->setVisible(false);
    }
}

void frmSysTray::mnuConfigure_Click()
{
    // The main window may be hidden in the tray: the configuration window
    // stands on its own then, without an owner or topmost handling.
    frmConfigure* w = frmConfigure::Instance();
    w->show();
    if (QWindow* handle = w->windowHandle()) handle->setTransientParent(nullptr);
    w->raise();
    w->activateWindow();
}

void frmSysTray::mnuExit_Click()
{
    if (frmMain::IsLoaded()) frmMain::Instance()->Terminate();
}
