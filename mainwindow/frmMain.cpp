#include "mainwindow/frmMain.h"
#include "export/frmEventDetails.h"
#include "mainwindow/frmSysTray.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/frmConfigure.h"
#include "engine/frmError.h"
#include "engine/frmPort.h"
#include "engine/frmProblemSimulation.h"
#include "export/frmRealTimeData.h"
#include "export/frmRealTimeLogging.h"
#include "export/frmSaveHistory.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/frmOptions.h"
#include "platform/AnimationControl.h"
#include "platform/KeyedList.h"
#include "platform/KeyedTree.h"
#include "platform/LoadedWindows.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/StripScrollBar.h"
#include "platform/TreeRowDelegate.h"
#include "platform/WindowTimer.h"
#include "platform/Winsock.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QWindow>
#include <climits>
#include <cmath>

namespace {

bool gProgramEnded = false;
std::function<void()> gEndProgramHook;

int Px(double twips) { return tsy::Runtime::TwipsToPixels(int(twips)); }
int Tw(int px) { return tsy::Runtime::PixelsToTwips(px); }

QString ResPath(const QString& relative)
{
    return QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("res/") + relative);
}

// An icon from res/<folder>/<name>.png, with res/<folder>/<name>_disabled.png
// as its disabled picture when there is one.
QIcon ResIcon(const QString& folder, const QString& name)
{
    QIcon icon;
    const QString normal = ResPath(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
    const QString disabled = ResPath(folder + QLatin1Char('/') + name + QStringLiteral("_disabled.png"));
    if (QFileInfo::exists(normal)) icon.addFile(normal, QSize(), QIcon::Normal);
    if (QFileInfo::exists(disabled)) icon.addFile(disabled, QSize(), QIcon::Disabled);
    return icon;
}

// Geometry in twips; a placement that would give a negative size is refused,
// and the control keeps its previous geometry.
bool Place(QWidget* w, double left, double top, double width, double height)
{
    if (!w || width < 0 || height < 0) return false;
    w->setGeometry(Px(left), Px(top), Px(width), Px(height));
    return true;
}

struct TwipRect {
    double left, top, width, height;
};

TwipRect Rect(const QWidget* w)
{
    const QRect r = w->geometry();
    return {double(Tw(r.left())), double(Tw(r.top())), double(Tw(r.width())), double(Tw(r.height()))};
}

// Outer size of the window in twips, derived from the client area so that the
// layout arithmetic (which allows for caption, menu bar and borders) lands
// every pane inside the client area.
constexpr int kFrameWidthTwips = 110;
constexpr int kFrameHeightTwips = 670;

// The tray is in use only where an icon really sits in a tray: without one,
// hiding the window would leave the program unreachable.
bool OptionDisplayInSysTray()
{
    return frmSysTray::InUse() && frmOptions::Value(frmOptions::Instance()->chkDisplayInSysTray) == 1;
}

// A plain widget that forwards its mouse to the main window's splitter logic.
class Splitter : public QWidget {
public:
    Splitter(QWidget* parent, Qt::CursorShape shape) : QWidget(parent)
    {
        setCursor(shape);
        setMouseTracking(false);
    }
};

} // namespace

// ---------------------------------------------------------------------------
// Loading and unloading
// ---------------------------------------------------------------------------

void frmMain::Unload()
{
    if (frmMain* w = Release()) {
        w->hide();
        delete w;
    }
}

void frmMain::SetEndProgramHook(std::function<void()> hook) { gEndProgramHook = std::move(hook); }

bool frmMain::ProgramEnded() { return gProgramEnded; }

frmMain::frmMain() : SingleInstance("frmMain")
{
    setWindowTitle(QStringLiteral("Tessaly"));
    setWindowIcon(QIcon(ResPath(QStringLiteral("Tessaly.png"))));
    resize(Px(10140), Px(6075) + 24);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    Form_Initialize();
}

frmMain::~frmMain()
{
    if (General::SocketTree() == tvwSockets) General::SetSocketTree(nullptr);
    tvwSockets->OnRemoving = nullptr;   // the tree outlives this object's members
}

void frmMain::Form_Initialize()
{
    mlngPreviousHeight = Tw(height()) + kFrameHeightTwips;
}

void frmMain::Form_Load()
{
    BuildMenus();
    BuildControls();
    BuildToolbar();
    SetupTreeHandlers();
    SetupListHandlers();
    SetupScreen();
    fraConnectionPanel->move(fraConnectionPanel->x(), 0);
    msngTreeWidth = 3720;
    msngDetailsHeight = 2000;
    // Loaded hidden: its show box decides whether the pane is shown. After
    // the initial sizes, since its load may lay the window out already.
    frmRealTimeData::Instance();
    ShowMonitoringTitle();
    ResizeForm();
}

// ---------------------------------------------------------------------------
// Controls, menus, toolbar
// ---------------------------------------------------------------------------

void frmMain::BuildMenus()
{
    QMenuBar* bar = menuBar();

    QMenu* mnuFile = bar->addMenu(QStringLiteral("&File"));
    QAction* mnuClearAllData = mnuFile->addAction(QStringLiteral("&Clear All Data"));
    mnuClearAllData->setObjectName(QStringLiteral("mnuClearAllData"));
    connect(mnuClearAllData, &QAction::triggered, this, &frmMain::mnuClearAllData_Click);
    mnuFile->addSeparator();
    QAction* mnuExit = mnuFile->addAction(QStringLiteral("E&xit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    connect(mnuExit, &QAction::triggered, this, &frmMain::mnuExit_Click);

    QMenu* mnuView = bar->addMenu(QStringLiteral("&View"));
    mnuEventHistory = mnuView->addAction(QStringLiteral("&Event History"));
    mnuEventHistory->setObjectName(QStringLiteral("mnuEventHistory"));
    mnuEventHistory->setCheckable(true);
    mnuConnectionDiagram = mnuView->addAction(QStringLiteral("&Connection Diagram"));
    mnuConnectionDiagram->setObjectName(QStringLiteral("mnuConnectionDiagram"));
    mnuConnectionDiagram->setCheckable(true);
    mnuConnectionDiagram->setChecked(true);
    // A pair of radio items: triggering the ticked one keeps it ticked.
    auto* mode = new QActionGroup(this);
    mode->setExclusive(true);
    mode->addAction(mnuEventHistory);
    mode->addAction(mnuConnectionDiagram);
    connect(mnuEventHistory, &QAction::triggered, this, &frmMain::mnuEventHistory_Click);
    connect(mnuConnectionDiagram, &QAction::triggered, this, &frmMain::mnuConnectionDiagram_Click);
    mnuView->addSeparator();
    QAction* mnuRealTimeData = mnuView->addAction(QStringLiteral("&Real Time Data..."));
    mnuRealTimeData->setObjectName(QStringLiteral("mnuRealTimeData"));
    connect(mnuRealTimeData, &QAction::triggered, this, &frmMain::mnuRealTimeData_Click);
    QAction* mnuViewErrorMessages = mnuView->addAction(QStringLiteral("Error &Messages..."));
    mnuViewErrorMessages->setObjectName(QStringLiteral("mnuViewErrorMessages"));
    connect(mnuViewErrorMessages, &QAction::triggered, this, &frmMain::mnuViewErrorMessages_Click);
    mnuView->addSeparator();
    mnuKeepOnTop = mnuView->addAction(QStringLiteral("&Keep on Top"));
    mnuKeepOnTop->setObjectName(QStringLiteral("mnuKeepOnTop"));
    mnuKeepOnTop->setCheckable(true);
    // A checkable action inverts its own tick before it reports the trigger.
    connect(mnuKeepOnTop, &QAction::triggered, this, &frmMain::mnuKeepOnTop_Click);

    QMenu* mnuTools = bar->addMenu(QStringLiteral("&Tools"));
    mnuSaveHistory = mnuTools->addAction(QStringLiteral("&Save Data..."));
    mnuSaveHistory->setObjectName(QStringLiteral("mnuSaveHistory"));
    mnuSaveHistory->setEnabled(false);
    connect(mnuSaveHistory, &QAction::triggered, this, &frmMain::mnuSaveHistory_Click);
    mnuTools->addSeparator();
    QAction* mnuConfigure = mnuTools->addAction(QStringLiteral("&Configure Ports..."));
    mnuConfigure->setObjectName(QStringLiteral("mnuConfigure"));
    connect(mnuConfigure, &QAction::triggered, this, &frmMain::mnuConfigure_Click);
    QAction* mnuFailureSimulation = mnuTools->addAction(QStringLiteral("&Failure Simulation..."));
    mnuFailureSimulation->setObjectName(QStringLiteral("mnuFailureSimulation"));
    connect(mnuFailureSimulation, &QAction::triggered, this, &frmMain::mnuFailureSimulation_Click);
    QAction* mnuRealTimeLogging = mnuTools->addAction(QStringLiteral("&Real Time Logging..."));
    mnuRealTimeLogging->setObjectName(QStringLiteral("mnuRealTimeLogging"));
    connect(mnuRealTimeLogging, &QAction::triggered, this, &frmMain::mnuRealTimeLogging_Click);
    mnuTools->addSeparator();
    QAction* mnuOptions = mnuTools->addAction(QStringLiteral("&Options..."));
    mnuOptions->setObjectName(QStringLiteral("mnuOptions"));
    connect(mnuOptions, &QAction::triggered, this, &frmMain::mnuOptions_Click);

    QMenu* mnuHelp = bar->addMenu(QStringLiteral("&Help"));
    QAction* mnuContents = mnuHelp->addAction(QStringLiteral("&Contents..."));
    mnuContents->setObjectName(QStringLiteral("mnuContents"));
    connect(mnuContents, &QAction::triggered, this, &frmMain::mnuContents_Click);
    mnuHelp->addSeparator();
    QAction* mnuAbout = mnuHelp->addAction(QStringLiteral("&About..."));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
    connect(mnuAbout, &QAction::triggered, this, &frmMain::mnuAbout_Click);

    // The tree's pop-up: never part of the menu bar.
    mnuPopup = new QMenu(QStringLiteral("mnuPopup"), this);
    mnuPopup->setObjectName(QStringLiteral("mnuPopup"));
    mnuStopListening = mnuPopup->addAction(QStringLiteral("S&top Listening"));
    mnuStopListening->setObjectName(QStringLiteral("mnuStopListening"));
    mnuProtocol = mnuPopup->addAction(QStringLiteral("&Protocol..."));
    mnuProtocol->setObjectName(QStringLiteral("mnuProtocol"));
    mnuPopup->addSeparator();
    mnuSaveHistoryPopUp = mnuPopup->addAction(QStringLiteral("Save &Data..."));
    mnuSaveHistoryPopUp->setObjectName(QStringLiteral("mnuSaveHistoryPopUp"));
}

void frmMain::BuildToolbar()
{
    barToolbar = new QToolBar(mCentral);
    barToolbar->setObjectName(QStringLiteral("barToolbar"));
    barToolbar->setIconSize(QSize(32, 32));
    barToolbar->setMovable(false);
    barToolbar->setFloatable(false);
    barToolbar->installEventFilter(this);

    struct Button {
        const char* key;
        const char* tip;
        const char* image;
        int style;   // 0 push, 1 separator, 2 drop-down, 3 check
    };
    static const Button buttons[] = {
        {"Clear", "Clear all data", "Clear", 0},
        {"Configure", "Configure ports and protocols", "Configure", 0},
        {"Options", "Options", "Options", 0},
        {"", "", "", 1},
        {"SaveData", "Save data", "SaveData", 0},
        {"Realtime", "Real time data options", "RealTime", 2},
        {"Errors", "Error window", "Errors", 0},
        {"ConnectionDiagram", "Display connection diagram", "ConnectionDiagram", 2},
        {"", "", "", 1},
        {"KeepOnTop", "Keep on top", "KeepOnTop", 3},
    };
    for (const Button& b : buttons) {
        if (b.style == 1) {
            barToolbar->addSeparator();
            continue;
        }
        const QString key = QString::fromLatin1(b.key);
        auto* button = new QToolButton(barToolbar);
        button->setObjectName(key);
        button->setToolTip(QString::fromLatin1(b.tip));
        button->setIcon(ResIcon(QStringLiteral("toolbar"), QString::fromLatin1(b.image)));
        button->setIconSize(QSize(32, 32));
        button->setAutoRaise(true);
        if (b.style == 3) button->setCheckable(true);
        if (b.style == 2) {
            auto* menu = new QMenu(button);
            if (key == QStringLiteral("Realtime")) {
                menu->addAction(QStringLiteral("Show Real Time Data"))->setData(QStringLiteral("ShowRealTime"));
                menu->addAction(QStringLiteral("Hide Real Time Data"))->setData(QStringLiteral("HideRealTime"));
            } else {
                menu->addAction(QStringLiteral("Connection Diagram"))->setData(QStringLiteral("ShowConnectionDiagram"));
                menu->addAction(QStringLiteral("Event History"))->setData(QStringLiteral("ShowEventHistory"));
            }
            connect(menu, &QMenu::triggered, this, [this](QAction* a) { barToolbar_ButtonMenuClick(a->data().toString()); });
            button->setMenu(menu);
            button->setPopupMode(QToolButton::MenuButtonPopup);
        }
        connect(button, &QToolButton::clicked, this, [this, key] { barToolbar_ButtonClick(key); });
        barToolbar->addWidget(button);
        if (key == QStringLiteral("SaveData")) button->setEnabled(false);
    }
    // Shown until the options window's load applies its toolbar switch.
    barToolbar->lower();
    panWorking->raise();
}

void frmMain::BuildControls()
{
    mCentral = new QWidget(this);
    setCentralWidget(mCentral);

    // A plain-text edit lays out only the lines in view: a pane refilled with
    // ~50 KB of hex rows many times a second stays cheap.
    txtRealTime = new QPlainTextEdit(mCentral);
    txtRealTime->setObjectName(QStringLiteral("txtRealTime"));
    txtRealTime->setReadOnly(true);
    txtRealTime->setUndoRedoEnabled(false);   // refilled many times a second: nothing to undo
    txtRealTime->setLineWrapMode(QPlainTextEdit::NoWrap);   // lines do not wrap at the pane's edge
    // Its bars change with every refill of the pane.
    txtRealTime->setVerticalScrollBar(new tsy::StripScrollBar(Qt::Vertical, txtRealTime));
    txtRealTime->setHorizontalScrollBar(new tsy::StripScrollBar(Qt::Horizontal, txtRealTime));
    QFont courier(QStringLiteral("Courier New"));
    courier.setStyleHint(QFont::TypeWriter);
    courier.setPointSizeF(9.75);
    txtRealTime->setFont(courier);
    txtRealTime->installEventFilter(this);

    tmrRealTimeData = new tsy::WindowTimer(this, 100, false);
    connect(tmrRealTimeData, &tsy::WindowTimer::Timer, this, [] {
        if (General::gobjLogging) General::gobjLogging->RunRealTimeWriter();
    });
    tmrUnloadSocketPairs = new tsy::WindowTimer(this, 1000, true);
    connect(tmrUnloadSocketPairs, &tsy::WindowTimer::Timer, this, &frmMain::tmrUnloadSocketPairs_Timer);

    panWorking = new QFrame(mCentral);
    panWorking->setObjectName(QStringLiteral("panWorking"));
    panWorking->setFrameShape(QFrame::Panel);
    panWorking->setFrameShadow(QFrame::Sunken);
    aniWorking = new tsy::AnimationControl(panWorking);
    aniWorking->setObjectName(QStringLiteral("aniWorking"));
    aniWorking->setAlignment(Qt::AlignCenter);

    lblDetails = new PanelBar(mCentral);
    lblDetails->setObjectName(QStringLiteral("lblDetails"));
    lblDetails->AddPanel(PanelBar::Sizing::Spring, 1440);
    lblDetails->AddPanel(PanelBar::Sizing::Content, 800);
    lblDetails->AddPanel(PanelBar::Sizing::Content, 800);

    barNavigation = new QToolBar(mCentral);
    barNavigation->setObjectName(QStringLiteral("barNavigation"));
    barNavigation->setIconSize(QSize(16, 16));
    barNavigation->setMovable(false);
    barNavigation->setStyleSheet(QStringLiteral("QToolBar { spacing: 0px; padding: 0px; border: none; }"
                                                "QToolButton { padding: 1px; margin: 0px; }"));
    for (const char* key : {"First", "Previous", "Next", "Last"}) {
        QAction* a = barNavigation->addAction(ResIcon(QStringLiteral("nav"), QString::fromLatin1(key)), QString::fromLatin1(key));
        a->setObjectName(QString::fromLatin1(key));
        a->setEnabled(false);
    }
    barNavigation->setFixedWidth(Px(1380));

    panDiagramOuter = new QFrame(mCentral);
    panDiagramOuter->setObjectName(QStringLiteral("panDiagramOuter"));
    panDiagramOuter->setFrameShape(QFrame::Panel);
    panDiagramOuter->setFrameShadow(QFrame::Sunken);
    scrConnectionPanelHoriz = new tsy::StripScrollBar(Qt::Horizontal, panDiagramOuter);
    scrConnectionPanelHoriz->setFixedHeight(Px(255));
    scrConnectionPanelVert = new tsy::StripScrollBar(Qt::Vertical, panDiagramOuter);
    scrConnectionPanelVert->setFixedWidth(Px(255));
    panDiagram = new QWidget(panDiagramOuter);
    panDiagram->setObjectName(QStringLiteral("panDiagram"));
    fraConnectionPanel = new QWidget(panDiagram);
    fraConnectionPanel->setObjectName(QStringLiteral("fraConnectionPanel"));
    fraConnectionPanel->setAutoFillBackground(true);
    QFont headingFont(QStringLiteral("Arial"));
    headingFont.setPointSizeF(15.75);
    for (const char* name : {"Client", "TSY", "Server"}) {
        auto* heading = new QLabel(QString::fromLatin1(name), fraConnectionPanel);
        heading->setObjectName(QStringLiteral("lbl") + QString::fromLatin1(name) + QStringLiteral("Heading"));
        heading->setFont(headingFont);
        heading->adjustSize();
    }
    panDiagramOuter->hide();   // the list shows until a connection's diagram is chosen
    BuildDiagramControls();

    chkCloseRealTime = new QCheckBox(mCentral);
    chkCloseRealTime->setObjectName(QStringLiteral("chkCloseRealTime"));
    chkCloseRealTime->setToolTip(QStringLiteral("Close"));
    chkCloseRealTime->setStyleSheet(QStringLiteral(
        "QCheckBox::indicator { width: 12px; height: 11px; image: url(%1); }")
        .arg(ResPath(QStringLiteral("Close.png"))));
    chkCloseRealTime->setFixedSize(Px(255), Px(255));
    connect(chkCloseRealTime, &QCheckBox::clicked, this, [this] {
        if (chkCloseRealTime->isChecked()) SetRealTimePaneShown(false);
    });

    shpDrag = new QWidget(mCentral);
    shpDrag->setObjectName(QStringLiteral("shpDrag"));
    shpDrag->setAutoFillBackground(true);
    QPalette dragPalette = shpDrag->palette();
    dragPalette.setColor(QPalette::Window, palette().color(QPalette::Dark));
    shpDrag->setPalette(dragPalette);
    shpDrag->hide();

    lvwDetails = new tsy::KeyedList(mCentral);
    lvwDetails->setObjectName(QStringLiteral("lvwDetails"));
    lvwDetails->setSelectionMode(QAbstractItemView::SingleSelection);
    lvwDetails->setIconSize(QSize(16, 16));
    lvwDetails->installEventFilter(this);

    tmrKillDeadSockets = new tsy::WindowTimer(this, 500, true);
    connect(tmrKillDeadSockets, &tsy::WindowTimer::Timer, this, &frmMain::tmrKillDeadSockets_Timer);
    tmrStats = new tsy::WindowTimer(this, 500, true);
    connect(tmrStats, &tsy::WindowTimer::Timer, this, &frmMain::tmrStats_Timer);

    barStatus = new PanelBar(mCentral);
    barStatus->setObjectName(QStringLiteral("barStatus"));
    // The counters share what the switch panels and the clock leave.
    for (int i = 0; i < 3; ++i) barStatus->AddPanel(PanelBar::Sizing::Spring, 600);
    for (int i = 0; i < 5; ++i) barStatus->AddPanel(PanelBar::Sizing::Content, 440);
    barStatus->AddPanel(PanelBar::Sizing::Content, 440, PanelBar::Style::Time);
    barStatus->setFixedHeight(Px(300));
    connect(barStatus, &PanelBar::PanelDblClick, this, &frmMain::barStatus_PanelDblClick);

    tvwSockets = new tsy::KeyedTree(mCentral);
    tvwSockets->setObjectName(QStringLiteral("tvwSockets"));
    tvwSockets->setHeaderHidden(true);
    tvwSockets->setIconSize(QSize(16, 16));
    // Node texts are never cut short: a port's " - Not Listening" and the
    // event descriptions run past the narrow pane, which then scrolls sideways.
    tvwSockets->setTextElideMode(Qt::ElideNone);
    tvwSockets->header()->setStretchLastSection(false);
    tvwSockets->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    // Sizing the column to its contents measures the rows at every change of
    // the tree, which under traffic is every turn of the loop: keep the rows
    // one height and each text's measure once.
    tvwSockets->setUniformRowHeights(true);
    tvwSockets->setItemDelegate(new tsy::TreeRowDelegate(tvwSockets));
    tvwSockets->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    tvwSockets->installEventFilter(this);
    General::SetSocketTree(tvwSockets);

    lblSockets = new PanelBar(mCentral);
    lblSockets->setObjectName(QStringLiteral("lblSockets"));
    lblSockets->AddPanel(PanelBar::Sizing::Spring, 0);

    for (int i = 0; i < 2; ++i) {
        lneSep[i] = new QFrame(mCentral);
        lneSep[i]->setAutoFillBackground(true);
        QPalette p = lneSep[i]->palette();
        p.setColor(QPalette::Window, i == 0 ? palette().color(QPalette::Dark) : palette().color(QPalette::Light));
        lneSep[i]->setPalette(p);
    }

    imgSplitterHoriz = new Splitter(mCentral, Qt::SplitVCursor);
    imgSplitterHoriz->setObjectName(QStringLiteral("imgSplitterHoriz"));
    imgSplitterHoriz->installEventFilter(this);
    imgSplitterVert = new Splitter(mCentral, Qt::SplitHCursor);
    imgSplitterVert->setObjectName(QStringLiteral("imgSplitterVert"));
    imgSplitterVert->installEventFilter(this);

    lblRealTime = new QLabel(QStringLiteral("Real time data"), mCentral);
    lblRealTime->setObjectName(QStringLiteral("lblRealTime"));
    lblRealTime->setFrameShape(QFrame::Panel);
    lblRealTime->setFrameShadow(QFrame::Raised);
    lblRealTime->setIndent(4);
    lblRealTime->installEventFilter(this);

    shpDrag->raise();
}

void frmMain::SetupScreen()
{
    // The image list of the tree and the list.
    QHash<QString, QIcon> images;
    for (const char* key : {"AllActivity", "Protocol", "Connection", "Socket", "Event", "SocketDisconnected"})
        images.insert(QString::fromLatin1(key), ResIcon(QStringLiteral("tree"), QString::fromLatin1(key)));
    tvwSockets->SetImages(images);
    lvwDetails->SetImages(images);

    tvwSockets->Add(QString(), QStringLiteral("ROOT"), QStringLiteral("All Activity"), QStringLiteral("AllActivity"));
    tvwSockets->Select(QStringLiteral("ROOT"));
    tvwSockets->repaint();
    mnodSelectedNode = QStringLiteral("ROOT");

    if (General::gobjLogging) General::gobjLogging->LoadAllProtocols(General::gobjListening);

    tvwSockets->SetExpanded(QStringLiteral("ROOT"), true);

    ConfigureGridForAllActivity();

    // Reading the options window loads it, which applies its toolbar switch.
    // One loaded before this window applied it to no toolbar: apply it now.
    const bool optionsLoaded = frmOptions::IsLoaded();
    frmOptions* options = frmOptions::Instance();
    if (optionsLoaded) options->chkShowToolBar_Click();
    barStatus->setVisible(frmOptions::Value(options->chkShowStatusBar) != 0);

    if (frmOptions::Value(options->chkDisplayInSysTray) == 1) frmSysTray::Load();

    if (frmOptions::Value(options->chkRunMinimized) == 1) {
        setWindowState(windowState() | Qt::WindowMinimized);
        frmError::Instance()->setVisible(false);
    }

    aniWorking->Open(ResPath(QStringLiteral("Processing.avi")));
}

// ---------------------------------------------------------------------------
// Details list columns
// ---------------------------------------------------------------------------

namespace {

struct Column {
    const char* header;
    const char* key;
    int width;
};

// Widths come from section MainForm in twips. A stored width that is not a
// number (a hand-edited store) gives that column its default, rather than
// failing every refill of the list for good. The rows stay.
void SetColumns(tsy::KeyedList* list, std::initializer_list<Column> columns)
{
    QList<int> widths;
    QStringList headers;
    for (const Column& c : columns) {
        const QString stored = tsy::Settings::GetSetting(QStringLiteral("MainForm"), QString::fromLatin1(c.key), QString::number(c.width));
        const auto value = tsy::Numbers::ParseNumeric(stored);
        // Beyond int, like text that is no number, gives the default width.
        const auto width = value ? tsy::Numbers::WholeWithin(std::trunc(*value), INT_MIN, INT_MAX) : std::nullopt;
        widths.append(width ? int(*width) : c.width);
        headers.append(QString::fromLatin1(c.header));
    }
    list->SetColumns(headers);
    for (int i = 0; i < widths.size(); ++i) list->setColumnWidth(i, tsy::Runtime::TwipsToPixels(widths[i]));
}

} // namespace

void frmMain::ConfigureGridForAllActivity()
{
    SetColumns(lvwDetails, {{"From", "AA1", 1964}, {"To", "AA2", 2190}, {"Protocol", "AA3", 1035},
                            {"Started", "AA4", 1335}, {"Last Event", "AA5", 1140}, {"Last State", "AA6", 1830},
                            {"Bytes C2S", "AA7", 975}, {"Bytes S2C", "AA8", 900}, {"Event Count", "AA9", 1049}});
}

void frmMain::ConfigureGridForConnection()
{
    SetColumns(lvwDetails, {{"Time", "SC1", 1440}, {"Description", "SC2", 4229}, {"Bytes", "SC3", 1440}});
}

void frmMain::ConfigureGridForEvent()
{
    SetColumns(lvwDetails, {{"Item", "ED1", 2129}, {"Value", "ED2", 4289}});
}

// ---------------------------------------------------------------------------
// Pane titles, animation, repaint, keep on top
// ---------------------------------------------------------------------------

void frmMain::RefreshPaneTitles()
{
    // The highlighted node; without one, the node last clicked, which a trim
    // of its branch can still leave without a node.
    QString key = tvwSockets->SelectedKey();
    if (key.isEmpty()) key = mnodSelectedNode;
    if (!tvwSockets->Exists(key)) key = QStringLiteral("ROOT");
    const QString text = tvwSockets->Text(key);
    lblRealTime->setText(QStringLiteral("Real time data for ") + text);
    lblDetails->SetPanelText(1, QStringLiteral("Details for ") + text);
}

void frmMain::CheckAnimation()
{
    bool anyAlive = false;
    if (General::gobjLogging) {
        for (const auto& history : General::gobjLogging->mobjSocketPairHistory) {
            if (history && !history->mblnDead) {
                anyAlive = true;
                break;
            }
        }
    }
    if (anyAlive) {
        if (!mblnAnimationStarted) {
            aniWorking->Play();
            mblnAnimationStarted = true;
        }
    } else {
        aniWorking->Stop();
        mblnAnimationStarted = false;
    }
}

void frmMain::Refresh() { repaint(); }

bool frmMain::KeepOnTop() const { return mnuKeepOnTop && mnuKeepOnTop->isChecked(); }

bool frmMain::HiddenInTray() const { return isMinimized() && OptionDisplayInSysTray(); }

void frmMain::ApplyKeepOnTop()
{
    General::gblnKeepOnTop = mnuKeepOnTop->isChecked();
    General::SetTopMost(this, mnuKeepOnTop->isChecked());
}

void frmMain::ShowToolWindow(QWidget* window)
{
    if (!window) return;
    tsy::ShowOwned(window, this);
    if (KeepOnTop()) General::SetTopMost(window, true);
}

void frmMain::ShowMonitoringTitle()
{
    QString ip;
    if (General::gobjListening && General::gobjListening->SocketElement(0))
        ip = General::gobjListening->SocketElement(0)->LocalIP();
    if (ip.isEmpty()) {
        tsy::Winsock probe;
        ip = probe.LocalIP();
    }
    lblSockets->SetPanelText(1, QStringLiteral("Monitoring: ") + tsy::Winsock::LocalHostName()
                                    + QStringLiteral(" (") + ip + QStringLiteral(")"));
}

// ---------------------------------------------------------------------------
// The real-time pane's switch
// ---------------------------------------------------------------------------

void frmMain::SetRealTimePaneShown(bool shown)
{
    // The box's own handling lays the window out when its value changes.
    frmRealTimeData::Instance()->chkShowRealTimeData->setChecked(shown);
    ResizeForm();
}

// ---------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------

void frmMain::tmrStats_Timer()
{
    if (General::gobjLogging) {
        Logging& log = *General::gobjLogging;
        if (log.mlngTotalMemoryAllocated < 0) log.mlngTotalMemoryAllocated = 0;
        barStatus->SetPanelText(1, QStringLiteral("Memory: ") + QString::number(log.mlngTotalMemoryAllocated / 1024) + QStringLiteral(" KBytes"));
        barStatus->SetPanelText(2, QStringLiteral("Sockets: ") + QString::number(log.mobjSocketPairHistory.Count()));
        barStatus->SetPanelText(3, QStringLiteral("Events: ") + QString::number(log.mlngTotalEvents));
    }
    CheckAnimation();
}

void frmMain::tmrKillDeadSockets_Timer()
{
    if (General::gobjLogging) General::gobjLogging->KillDeadSocketConnections();
}

void frmMain::tmrUnloadSocketPairs_Timer()
{
    for (QObject* window : tsy::LoadedWindows::Named(QStringLiteral("SocketPair"))) {
        auto* pair = qobject_cast<SocketPair*>(window);
        if (!pair || !pair->mblnTerminated) continue;
        pair->Terminate();
        pair->Unload();   // releases its handler
    }
}

// ---------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------

void frmMain::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    ResizeForm();
}

bool frmMain::event(QEvent* event)
{
    // Under a flood of socket events the tree, the list, the diagram and the
    // panels change at every turn of the loop, and painting the window each
    // time would take the relay's time. Paint at most every 40 ms; a request
    // that comes sooner is put off, never dropped.
    constexpr qint64 kPaintInterval = 40;
    if (event->type() == QEvent::UpdateRequest) {
        const qint64 since = mPaintClock.isValid() ? mPaintClock.elapsed() : kPaintInterval;
        if (since < kPaintInterval) {
            if (!mblnPaintPending) {
                mblnPaintPending = true;
                QTimer::singleShot(int(kPaintInterval - since), this, [this] {
                    mblnPaintPending = false;
                    QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
                });
            }
            return true;
        }
        mPaintClock.start();
    }
    return QMainWindow::event(event);
}

void frmMain::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) ResizeForm();
}

void frmMain::ResizeForm()
{
    if (!mCentral || !barToolbar) return;
    if (isMinimized()) {
        if (OptionDisplayInSysTray()) {
            hide();
            return;
        }
        // A window that starts minimised is still laid out once: where the
        // desktop cannot minimise it, it would otherwise show its controls
        // piled up at their initial places.
        if (mblnLaidOut) return;
    }
    if (isVisible()) mblnLaidOut = true;
    const auto W = [this] { return double(Tw(mCentral->width()) + kFrameWidthTwips); };
    const auto H = [this] { return double(Tw(mCentral->height()) + kFrameHeightTwips); };
    const double NW = Tw(barNavigation->width());
    const double CW = 855;   // width of a diagram computer
    const bool realTime = frmRealTimeData::Instance()->chkShowRealTimeData->isChecked();
    const bool statusShown = barStatus->isVisibleTo(this);
    const double SB = statusShown ? 300 : 0;

    // 1. A taller window gives its extra height to the details area.
    msngDetailsHeight += float(H() - mlngPreviousHeight);
    mlngPreviousHeight = int(H() + 0.5);
    const double TW = msngTreeWidth;
    const double DH = msngDetailsHeight;

    // 2-3. Working panel and the etched line under the menu bar.
    const double workingWidth = 45 * tsy::Runtime::TwipsPerPixel();
    lneSep[0]->setGeometry(0, 0, std::max(0, mCentral->width() - 5), 1);
    lneSep[1]->setGeometry(0, 1, std::max(0, mCentral->width() - 5), 1);

    // 4-7. Toolbar and the working panel at its right end.
    const double toolbarTop = 2 * tsy::Runtime::TwipsPerPixel();
    const double toolbarHeight = Tw(barToolbar->sizeHint().height());
    Place(barToolbar, 20, toolbarTop, W() - workingWidth - 70, toolbarHeight);
    const bool toolbarShown = barToolbar->isVisibleTo(this);
    const double TB = toolbarShown ? int(toolbarHeight) : 0;
    panWorking->setVisible(toolbarShown);
    lneSep[0]->setVisible(toolbarShown);
    lneSep[1]->setVisible(toolbarShown);
    Place(panWorking, Tw(barToolbar->width()) - 70, 10, workingWidth, toolbarHeight + 30);
    Place(aniWorking, 30, 40, 580, 500);

    // 8-9. Tree title and tree.
    Place(lblSockets, 20, toolbarTop + TB + 20, TW, 320);
    const TwipRect sockets = Rect(lblSockets);
    const double treeTop = sockets.top + 320 + 20;
    const double treeHeight = H() - 60 - TB - 320 - SB - 300 - 420;
    Place(tvwSockets, 20, treeTop, TW, treeHeight);
    const TwipRect tree = Rect(tvwSockets);

    // 10-13. Details title, navigation, list and diagram viewport.
    const double detailsLeft = sockets.left + sockets.width + 80;
    const double detailsTop = toolbarTop + TB + 20;
    Place(lblDetails, detailsLeft, detailsTop, W() - TW - 80 - 40 - 130 - NW, 320);
    const TwipRect details = Rect(lblDetails);
    barNavigation->move(Px(details.left + details.width), Px(details.top - 30));
    barNavigation->resize(barNavigation->width(), Px(380));
    Place(lvwDetails, details.left, details.top + 320 + 20, details.width + NW, realTime ? DH : tree.height);
    const TwipRect list = Rect(lvwDetails);
    Place(panDiagramOuter, list.left, list.top, list.width, list.height);

    // 14-16. Diagram canvas and its scroll bars.
    const double vsw = Tw(scrConnectionPanelVert->width());
    const double hsh = Tw(scrConnectionPanelHoriz->height());
    Place(panDiagram, 60, 60, list.width - 100 - vsw, list.height - 100 - hsh);
    const double lastProxyTop = aniTSY.isEmpty() || !aniTSY.last() ? 0 : Tw(aniTSY.last()->y());
    const double canvasHeight = list.height > lastProxyTop + 1600 ? list.height : lastProxyTop + 1600 + 420;
    Place(fraConnectionPanel, 0, Tw(fraConnectionPanel->y()), 3 * CW + 800 + 3000 + 3000 + 1600, canvasHeight);
    Place(scrConnectionPanelVert, list.width - vsw - 30, 30, vsw, list.height - 40 - hsh);
    Place(scrConnectionPanelHoriz, 0, list.height - hsh, details.width + NW - vsw - 30, hsh);

    // 17. Vertical splitter.
    Place(imgSplitterVert, tree.left + tree.width, TB, 80, H() - TB - SB - 300 - 400);

    // 18. Column headings of the diagram.
    if (auto* h = fraConnectionPanel->findChild<QLabel*>(QStringLiteral("lblClientHeading")))
        h->move(Px(800 - Tw(h->width()) / 2.0 + CW / 2), Px(200));
    if (auto* h = fraConnectionPanel->findChild<QLabel*>(QStringLiteral("lblTSYHeading")))
        h->move(Px(CW + 800 + 3000 - Tw(h->width()) / 2.0 + CW / 2), Px(200));
    if (auto* h = fraConnectionPanel->findChild<QLabel*>(QStringLiteral("lblServerHeading")))
        h->move(Px(CW + (CW + 800 + 3000) + 3000 - Tw(h->width()) / 2.0 + CW / 2), Px(200));

    // 19. The diagram's scroll bars.
    UpdateDiagramScrollBars();

    // 20. The real-time pane.
    if (realTime) {
        Place(lblRealTime, details.left, list.top + list.height + 80, NW + details.width, 320);
        const TwipRect title = Rect(lblRealTime);
        const double closeWidth = Tw(chkCloseRealTime->width());
        Place(chkCloseRealTime, details.left + details.width + NW - closeWidth - 35, title.top + 30, closeWidth, 255);
        Place(txtRealTime, details.left, title.top + 320 + 20, NW + details.width,
              H() - 80 - TB - 320 - SB - 300 - DH - 320 - 80 - 420);
        Place(imgSplitterHoriz, tree.left + tree.width, list.top + list.height, NW + details.width + 80, 80);
        lblRealTime->show();
        txtRealTime->show();
        imgSplitterHoriz->show();
        chkCloseRealTime->show();
        chkCloseRealTime->raise();
    } else {
        lblRealTime->hide();
        txtRealTime->hide();
        imgSplitterHoriz->hide();
        chkCloseRealTime->hide();
        chkCloseRealTime->setChecked(false);
    }

    // 21. Status bar along the bottom edge.
    barStatus->setGeometry(0, mCentral->height() - barStatus->height(), mCentral->width(), barStatus->height());

    // 21. The diagram's navigation buttons and panels.
    UpdateNavigationState();
}

// ---------------------------------------------------------------------------
// Splitters
// ---------------------------------------------------------------------------

void frmMain::imgSplitterHoriz_MouseDown()
{
    shpDrag->setGeometry(imgSplitterHoriz->geometry());
    shpDrag->show();
    shpDrag->raise();
    mblnDraggingHoriz = true;
}

void frmMain::imgSplitterHoriz_MouseMove(int y)
{
    if (!mblnDraggingHoriz) return;
    const double H = Tw(mCentral->height()) + kFrameHeightTwips;
    const TwipRect details = Rect(lblDetails);
    const double candidate = msngDetailsHeight + y;
    double top;
    if (candidate < 1000) top = details.top + details.height + 20 + 1000;
    else if (candidate > H - 2800) top = details.top + details.height + (H - 2800) + 20;
    else top = Rect(imgSplitterHoriz).top + y;
    shpDrag->move(shpDrag->x(), Px(top));
}

void frmMain::imgSplitterHoriz_MouseUp()
{
    if (!mblnDraggingHoriz) return;
    const TwipRect details = Rect(lblDetails);
    msngDetailsHeight = float(Tw(shpDrag->y()) - (details.height + details.top + 20));
    shpDrag->hide();
    mblnDraggingHoriz = false;
    ResizeForm();
}

void frmMain::imgSplitterVert_MouseDown()
{
    shpDrag->setGeometry(imgSplitterVert->geometry());
    shpDrag->show();
    shpDrag->raise();
    mblnDraggingVert = true;
}

void frmMain::imgSplitterVert_MouseMove(int x)
{
    if (!mblnDraggingVert) return;
    const double W = Tw(mCentral->width()) + kFrameWidthTwips;
    const double candidate = msngTreeWidth + x;
    double left;
    if (candidate < 500) left = 520;
    else if (candidate > W - 1000) left = W - 1000 + 20;
    else left = Rect(imgSplitterVert).left + x;
    shpDrag->move(Px(left), shpDrag->y());
}

void frmMain::imgSplitterVert_MouseUp()
{
    if (!mblnDraggingVert) return;
    msngTreeWidth = float(Tw(shpDrag->x()) - 20);
    shpDrag->hide();
    mblnDraggingVert = false;
    ResizeForm();
}

bool frmMain::eventFilter(QObject* watched, QEvent* event)
{
    const auto type = event->type();
    if (watched == imgSplitterHoriz || watched == imgSplitterVert) {
        const bool horiz = watched == imgSplitterHoriz;
        if (type == QEvent::MouseButtonPress) {
            horiz ? imgSplitterHoriz_MouseDown() : imgSplitterVert_MouseDown();
            return true;
        }
        if (type == QEvent::MouseMove) {
            const QPoint p = static_cast<QMouseEvent*>(event)->position().toPoint();
            horiz ? imgSplitterHoriz_MouseMove(Tw(p.y())) : imgSplitterVert_MouseMove(Tw(p.x()));
            return true;
        }
        if (type == QEvent::MouseButtonRelease) {
            horiz ? imgSplitterHoriz_MouseUp() : imgSplitterVert_MouseUp();
            return true;
        }
    } else if (type == QEvent::MouseMove || type == QEvent::Enter) {
        // Over the tree, the list, the pane and the toolbar the pointer is the plain one.
        if (watched == tvwSockets || watched == lvwDetails || watched == txtRealTime || watched == barToolbar
            || watched == lblRealTime)
            unsetCursor();
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------
// Closing and shutdown
// ---------------------------------------------------------------------------

bool frmMain::Form_QueryUnload()
{
    General::gblnApplicationClosing = true;
    return true;
}

void frmMain::closeEvent(QCloseEvent* event)
{
    Form_QueryUnload();
    if (mblnTerminating) {
        // The shutdown's own unload of this window.
        event->accept();
        return;
    }
    if (OptionDisplayInSysTray()) {
        setWindowState(windowState() | Qt::WindowMinimized);
        if (frmError* err = frmError::Loaded()) err->setVisible(false);
        event->ignore();
        return;
    }
    tmrKillDeadSockets->SetEnabled(false);
    tmrRealTimeData->SetEnabled(false);
    tmrStats->SetEnabled(false);
    tmrUnloadSocketPairs->SetEnabled(false);
    event->ignore();   // Terminate unloads the window itself
    Terminate();
}

void frmMain::Terminate()
{
    if (mblnTerminating) return;
    mblnTerminating = true;
    const auto step = [](const std::function<void()>& fn) {
        try {
            fn();
        } catch (...) {
            // Each step of the shutdown is skipped when it fails.
        }
    };

    tmrKillDeadSockets->SetEnabled(false);
    tmrRealTimeData->SetEnabled(false);
    tmrStats->SetEnabled(false);
    tmrUnloadSocketPairs->SetEnabled(false);

    step([] {
        if (General::gobjListening) General::gobjListening->DeInitaliseListeningSockets();
    });
    step([] {
        Listening* listening = General::gobjListening;
        General::gobjListening = nullptr;
        delete listening;
    });
    step([] { frmError::Unload(); });
    // The real-time log is not unloaded (its settings are not stored), only closed.
    step([] { frmRealTimeLogging::CloseAtExit(); });
    step([] { frmEventDetails::Unload(); });
    step([] { frmConfigure::Unload(); });
    step([] { frmOptions::Unload(); });
    step([] { frmPort::Unload(); });
    step([] { frmRealTimeData::Unload(); });
    step([this] {
        hide();
        if (Loaded() == this) Release();
        deleteLater();
    });
    step([] { frmSysTray::Unload(); });
    gProgramEnded = true;
    if (gEndProgramHook) gEndProgramHook();
    else QCoreApplication::exit(0);
}
