// The main window's commands: menu items, toolbar buttons and their drop-down
// items, and the status bar's switch panels. Each opens a window or calls an
// operation of another part; a failure in there is logged with the command's
// own sentence and the program goes on.
#include "mainwindow/frmMain.h"

#include "engine/General.h"
#include "engine/Trap.h"
#include "engine/frmConfigure.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "export/frmRealTimeData.h"
#include "export/frmRealTimeLogging.h"
#include "export/frmSaveHistory.h"
#include "history/Logging.h"
#include "mainwindow/frmAbout.h"
#include "mainwindow/frmOptions.h"
#include "platform/KeyedCollection.h"
#include "platform/KeyedTree.h"
#include "platform/Modal.h"
#include "platform/Runtime.h"

#include <QAction>
#include <QCheckBox>
#include <QToolBar>
#include <QToolButton>

namespace {

QString Sentence(const char* what)
{
    return QStringLiteral("An error occurred while attempting to ") + QString::fromLatin1(what)
           + QStringLiteral(".  The operating system reports: ");
}

// Runs one command: a failure inside it is logged, never left to escape.
template <class F>
void Command(const char* what, F&& fn)
{
    const QByteArray sentence = Sentence(what).toLatin1();
    General::Trap(sentence.constData(), std::forward<F>(fn));
}

} // namespace

void frmMain::mnuClearAllData_Click()
{
    Command("clear all data", [] {
        if (General::gobjLogging) General::gobjLogging->ClearAllData();
    });
}

void frmMain::mnuExit_Click()
{
    Command("exit Tessaly", [this] { Terminate(); });
}

void frmMain::mnuEventHistory_Click()
{
    Command("show the event history", [this] {
        General::gblnConnectionDiagramView = false;
        mnuEventHistory->setChecked(true);
        ShowDetailsView();
        // A selected node the purge has removed refills the list as an empty one.
        const QString image = tvwSockets->Exists(mnodSelectedNode) ? tvwSockets->Image(mnodSelectedNode) : QString();
        if (General::gobjLogging) General::gobjLogging->RefreshAllDetails(image);
    });
}

void frmMain::mnuConnectionDiagram_Click()
{
    Command("show the connection diagram", [this] {
        General::gblnConnectionDiagramView = true;
        mnuConnectionDiagram->setChecked(true);
        ShowDetailsView();
    });
}

void frmMain::mnuRealTimeData_Click()
{
    Command("show the real time data options", [this] { ShowToolWindow(frmRealTimeData::Instance()); });
}

void frmMain::mnuViewErrorMessages_Click()
{
    Command("show the error messages", [this] { ShowToolWindow(frmError::Instance()); });
}

void frmMain::mnuKeepOnTop_Click()
{
    Command("keep Tessaly on top", [this] {
        // The action has already had its tick inverted by the time we get here.
        if (auto* button = barToolbar ? barToolbar->findChild<QToolButton*>(QStringLiteral("KeepOnTop")) : nullptr)
            button->setChecked(mnuKeepOnTop->isChecked());
        ApplyKeepOnTop();
    });
}

void frmMain::mnuSaveHistory_Click()
{
    // A fresh window, so that its load reads the node selected now.
    Command("show the save data window", [this] { frmSaveHistory::Open(this); });
}

void frmMain::mnuConfigure_Click()
{
    Command("show the port configuration", [this] { ShowToolWindow(frmConfigure::Instance()); });
}

void frmMain::mnuFailureSimulation_Click()
{
    Command("show the failure simulation", [this] { ShowToolWindow(frmProblemSimulation::Instance()); });
}

void frmMain::mnuRealTimeLogging_Click()
{
    Command("show the real time logging", [this] { ShowToolWindow(frmRealTimeLogging::Instance()); });
}

void frmMain::mnuOptions_Click()
{
    Command("show the options", [this] { ShowToolWindow(frmOptions::Instance()); });
}

void frmMain::mnuContents_Click()
{
    // A desktop that opens nothing for the page is reported, not passed over.
    Command("show the help", [] {
        if (tsy::Runtime::OpenHelp()) return;
        const auto failure = tsy::Modal::DescribeOpenFailure(tsy::Runtime::HelpPath());
        throw tsy::CollectionError(failure.number, failure.description.toUtf8().constData());
    });
}

void frmMain::mnuAbout_Click()
{
    Command("show the about window", [this] { ShowToolWindow(frmAbout::Instance(this)); });
}

void frmMain::barToolbar_ButtonClick(const QString& key)
{
    if (key == QStringLiteral("Clear")) mnuClearAllData_Click();
    else if (key == QStringLiteral("Configure")) mnuConfigure_Click();
    else if (key == QStringLiteral("Options")) mnuOptions_Click();
    else if (key == QStringLiteral("SaveData")) mnuSaveHistory_Click();
    else if (key == QStringLiteral("Realtime")) mnuRealTimeData_Click();
    else if (key == QStringLiteral("Errors")) mnuViewErrorMessages_Click();
    else if (key == QStringLiteral("ConnectionDiagram")) {
        if (General::gblnConnectionDiagramView) mnuEventHistory_Click();
        else mnuConnectionDiagram_Click();
    } else if (key == QStringLiteral("KeepOnTop")) {
        mnuKeepOnTop->setChecked(!mnuKeepOnTop->isChecked());
        mnuKeepOnTop_Click();
    }
}

void frmMain::barToolbar_ButtonMenuClick(const QString& key)
{
    if (key == QStringLiteral("ShowRealTime")) Command("show the real time data", [this] { SetRealTimePaneShown(true); });
    else if (key == QStringLiteral("HideRealTime")) Command("hide the real time data", [this] { SetRealTimePaneShown(false); });
    else if (key == QStringLiteral("ShowConnectionDiagram")) mnuConnectionDiagram_Click();
    else if (key == QStringLiteral("ShowEventHistory")) mnuEventHistory_Click();
}

void frmMain::barStatus_PanelDblClick(int index)
{
    Command("change a switch", [index] {
        // Setting a box runs its own change handling, which rewrites its panel.
        const auto flip = [](QCheckBox* box) { box->setChecked(!box->isChecked()); };
        switch (index) {
        case 4: flip(frmProblemSimulation::Instance()->chkTerminateConnections); break;
        case 5: flip(frmProblemSimulation::Instance()->chkRefuseConnections); break;
        case 6: {
            frmProblemSimulation* sim = frmProblemSimulation::Instance();
            const bool anyOn = sim->chkThrottleC2SData->isChecked() || sim->chkThrottleS2CData->isChecked();
            sim->chkThrottleC2SData->setChecked(!anyOn);
            sim->chkThrottleS2CData->setChecked(!anyOn);
            break;
        }
        case 7: flip(frmProblemSimulation::Instance()->chkDangleConnections); break;
        case 8: flip(frmRealTimeLogging::Instance()->chkLoggingEnabled); break;
        default: break;
        }
    });
}
