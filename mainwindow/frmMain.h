#pragma once
// The program's one main window: socket tree, details list, connection
// diagram, real-time data pane, menus, toolbar, status bar and the periodic
// work (purge, counters, unloading finished socket pairs). Its Terminate is
// the program's shutdown.
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMap>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

#include "mainwindow/PanelBar.h"
#include "platform/KeyedList.h"   // lvwDetails: callers use it as the widget it is
#include "platform/SingleWindow.h"

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QMenu;
class QProgressBar;
class QScrollBar;
class QPlainTextEdit;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QWidget;
class DiagramArrow;
class SocketEvent;
class SocketPairHistory;

namespace tsy {
class AnimationControl;
class KeyedTree;
class WindowTimer;
}

// Loaded (hidden) on first use, like reading one of its controls.
class frmMain : public tsy::SingleInstance<frmMain, QMainWindow> {
    Q_OBJECT
    friend Lifecycle;

public:
    static void Unload();   // closes nothing else; the shutdown is Terminate

    // How the program ends at the end of Terminate. Defaults to leaving the
    // event loop (or not entering it, when start-up has not finished); tests
    // replace it so their process survives.
    static void SetEndProgramHook(std::function<void()> hook);
    static bool ProgramEnded();

    // ---- shared with the engine, the history and the viewers -------------
    tsy::KeyedTree* tvwSockets = nullptr;   // the socket tree
    tsy::KeyedList* lvwDetails = nullptr;   // the details list (flat, keyed rows)
    QPlainTextEdit* txtRealTime = nullptr;       // the real-time data pane (plain text)
    PanelBar* barStatus = nullptr;          // 9 panels
    PanelBar* lblDetails = nullptr;         // details title, 3 panels
    PanelBar* lblSockets = nullptr;         // tree title, 1 panel
    QLabel* lblRealTime = nullptr;          // real-time pane title
    QAction* mnuKeepOnTop = nullptr;        // checkable
    QAction* mnuSaveHistory = nullptr;
    QAction* mnuEventHistory = nullptr;
    QAction* mnuConnectionDiagram = nullptr;
    QMenu* mnuPopup = nullptr;              // the tree's pop-up; its port lives in mstrPopupTag
    QAction* mnuStopListening = nullptr;
    QAction* mnuProtocol = nullptr;
    QAction* mnuSaveHistoryPopUp = nullptr;
    QToolBar* barToolbar = nullptr;
    QToolBar* barNavigation = nullptr;
    QCheckBox* chkCloseRealTime = nullptr;
    tsy::AnimationControl* aniWorking = nullptr;
    QFrame* panWorking = nullptr;
    QFrame* panDiagramOuter = nullptr;      // the connection diagram's viewport
    QWidget* panDiagram = nullptr;
    QWidget* fraConnectionPanel = nullptr;  // the diagram canvas
    QScrollBar* scrConnectionPanelHoriz = nullptr;
    QScrollBar* scrConnectionPanelVert = nullptr;

    tsy::WindowTimer* tmrRealTimeData = nullptr;      // 100 ms, off
    tsy::WindowTimer* tmrUnloadSocketPairs = nullptr; // 1000 ms, on
    tsy::WindowTimer* tmrStats = nullptr;             // 500 ms, on
    tsy::WindowTimer* tmrKillDeadSockets = nullptr;   // 500 ms, on

    // Key of the tree node last clicked ("ROOT" at start). A key rather than
    // the node itself, so that a node removed by a prune or a purge never
    // leaves a dangling reference behind.
    QString mnodSelectedNode;
    // The event that the event node last clicked stood for, where its
    // history holds it now. The purge renumbers a trimmed socket's event
    // nodes, so an event is followed as itself, never by its old position.
    struct SelectedEvent {
        bool selected = false;                       // the click found an event at its node
        std::shared_ptr<SocketPairHistory> history;  // null once purged with its history
        int position = 0;                            // from 1; 0 once the purge has dropped it
    };
    SelectedEvent SelectedEventNow() const;
    // After the purge trimmed h: the selection, when it is one of h's
    // events, takes the key its node was renumbered to.
    void FollowSelectedEvent(const SocketPairHistory& h);
    // The message for data the purge unloaded after it was shown.
    static constexpr const char* kPurgedMessage =
        "Since this data was displayed to the screen, it has been unloaded from memory as part of the routine data "
        "purging as specified in the Options.  No information can be displayed.";
    std::shared_ptr<SocketPairHistory> mobjCurrentHistory;  // the history the diagram shows
    bool gblnRequestRedraw = false;
    QString mstrPopupTag;   // port (decimal text) of the port node right-clicked last

    // ---- public operations ------------------------------------------------
    void Terminate();            // the shutdown; ends the program
    void SetupScreen();
    void ConfigureGridForAllActivity();
    void ConfigureGridForConnection();
    void ConfigureGridForEvent();
    void tmrRealTimeData_Timer();   // the real-time pane writer (fed by Logging)
    // The pane's content in characters as its blocks were added (a CR LF is
    // two, though the document keeps it as one line break).
    qint64 RealTimePaneLength();
    void tmrStats_Timer();
    void ResizeForm();
    void CheckAnimation();
    void RefreshPaneTitles();
    void Refresh();                 // repaints the window now
    bool KeepOnTop() const;         // whether "&Keep on Top" is ticked
    bool HiddenInTray() const;      // minimised while the tray icon is in use

    // Opens a tool window modeless, owned by this window, topmost while
    // "&Keep on Top" is ticked.
    void ShowToolWindow(QWidget* window);

    // ---- the socket tree (frmMain_tree.cpp) ---------------------------------
    // A click on the node with that key: prunes unrelated branches, loads the
    // node's children when its branch is not open, refills the list. A direct
    // call does not move the tree's highlight.
    void tvwSockets_NodeClick(const QString& key);
    // The right-button handling without opening the menu: highlights and
    // clicks the node, sets the pop-up's items; true when the pop-up is to open.
    bool PreparePopup(const QString& key);
    // Right button over the tree at pos (viewport coordinates): PreparePopup,
    // then the pop-up opens at the pointer. Other buttons do nothing.
    void tvwSockets_MouseDown(Qt::MouseButton button, const QPoint& pos);
    void tvwSockets_DblClick();

    // ---- the details list (frmMain_list.cpp) --------------------------------
    // A header click: sorts by that column, flipping the order on the column
    // already sorted by.
    void lvwDetails_ColumnClick(int column);
    // A double-click on the selected row drills down to what it stands for.
    void lvwDetails_DblClick();

    // ---- the connection diagram (frmMain_diagram.cpp) ---------------------
    void AddConnectionDiagramEvent(const std::shared_ptr<SocketPairHistory>& objHistory);
    void DisplayConnectionDiagram(const std::shared_ptr<SocketPairHistory>& objHistory);
    void ShowDetailsView();
    bool HighlightEvent(QObject* objAnimation);
    void UnhighlightEvent();
    bool CheckForPageChange(int intEventIndex);
    void UpdateNavigationState();
    // Frames event i of the shown history; an event still held but not on
    // the canvas gets its page drawn first.
    bool HighlightEventAt(int intEventIndex);
    void UpdateDiagramScrollBars();
    void ClearConnectionDiagram();
    void barNavigation_ButtonClick(int index);   // 1 First, 2 Previous, 3 Next, 4 Last
    void aniClient2TSY_Click(int index);          // index: the arrow's row
    void aniTSY2Server_Click(int index);

    int mintCurrentPage = 0;    // from 0
    int mintPageCount = 0;
    int mintCurrentEvent = 0;   // from 1
    int mintCurrentRow = 0;     // from 1 on each page
    bool mblnCurrentRowShared = false;   // the row's second event, on the proxy's other side, is drawn
    // The diagram's elements, by row.
    template <class T>
    using ControlArray = QMap<int, QPointer<T>>;
    ControlArray<tsy::AnimationControl> aniClient, aniTSY, aniServer;
    ControlArray<DiagramArrow> aniClient2TSY, aniTSY2Server;
    ControlArray<QLabel> pctInternet, lblClient, lblTSY, lblServer, lblClient2TSY, lblTSY2Server;
    QProgressBar* pgrRefresh = nullptr;
    QFrame* shpHighlight = nullptr;

    // Layout state, in twips (tests read it).
    float msngTreeWidth = 3720;
    float msngDetailsHeight = 2000;
    int mlngPreviousHeight = 0;

public slots:
    // The commands (frmMain_commands.cpp): each logs a failure of what it
    // calls and goes on.
    void mnuClearAllData_Click();
    void mnuEventHistory_Click();
    void mnuConnectionDiagram_Click();
    void mnuRealTimeData_Click();
    void mnuSaveHistory_Click();
    void mnuRealTimeLogging_Click();
    void mnuOptions_Click();
    void mnuContents_Click();
    void mnuAbout_Click();
    void mnuViewErrorMessages_Click();
    void mnuConfigure_Click();
    void mnuFailureSimulation_Click();
    void mnuKeepOnTop_Click();
    void mnuExit_Click();
    void tmrUnloadSocketPairs_Timer();
    void tmrKillDeadSockets_Timer();
    void barStatus_PanelDblClick(int index);
    void mnuProtocol_Click();
    void mnuStopListening_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    frmMain();
    ~frmMain() override;

    void Form_Initialize();
    void Form_Load();
    bool Form_QueryUnload();   // true when the window may go
    void BuildMenus();
    void BuildToolbar();
    void BuildControls();
    void ApplyKeepOnTop();
    void ShowMonitoringTitle();
    void barToolbar_ButtonClick(const QString& key);
    void barToolbar_ButtonMenuClick(const QString& key);
    void SetRealTimePaneShown(bool shown);
    // RealTimePaneLength, and the document's character count when it was
    // last kept.
    qint64 mlngRealTimeLength = 0;
    int mintRealTimeCharacters = 1;

    // Connection diagram (frmMain_diagram.cpp).
    void BuildDiagramControls();
    void DrawDiagramEvent(const std::shared_ptr<SocketPairHistory>& objHistory, int intEventIndex, int intRow,
                          bool blnFollowOn);
    tsy::AnimationControl* PlaceComputer(ControlArray<tsy::AnimationControl>& computers, ControlArray<QLabel>& captions,
                                         double left, int intRow, const QString& strCaption,
                                         const QString& strAnimationFile, const QString& strTag);
    DiagramArrow* PlaceArrow(ControlArray<DiagramArrow>& arrows, ControlArray<QLabel>& captions, double left,
                             int intRow, const QString& strCaption, const QString& strAnimationFile,
                             const QString& strTag, bool serverSide);
    void PlaceInternetCloud(int intRow, const QString& strPictureFile, const QString& strTag);
    void DiagramArrowClick(DiagramArrow* arrow);
    void SetDiagramProgress(int value);
    bool mblnAnimateDiagram = true;          // read once per drawing
    qint64 mlngDrawnTrimmed = 0;             // events the shown history had lost when its page was drawn
    QPointer<DiagramArrow> mobjHighlighted;  // the framed arrow
    QPointer<QAction> mactNavigation[4];     // First, Previous, Next, Last: looked up once, set at every event
    bool mblnNavigationPending = false;      // the titles await an off-page live event's count
    QElapsedTimer mPaintClock;               // since the window was last painted
    bool mblnPaintPending = false;           // a deferred paint is on its way

    // Socket tree (frmMain_tree.cpp).
    void SetupTreeHandlers();   // connects the tree and the pop-up's items
    struct Relatedness {
        bool related;
        bool load;
    };
    Relatedness IsNodeRelated(const QString& openKey, const QString& clickedKey);
    void SetSaveCommandsEnabled(bool enabled);
    void SetupListHandlers();   // details list (frmMain_list.cpp)
    void SelectEventOfNode(const QString& key);   // keeps the clicked event node's event
    std::weak_ptr<SocketEvent> mobjSelectedEvent;
    QString mstrSelectedEventNode;   // mnodSelectedNode while it stands for that event

    // Splitters.
    void imgSplitterHoriz_MouseDown();
    void imgSplitterHoriz_MouseMove(int y);
    void imgSplitterHoriz_MouseUp();
    void imgSplitterVert_MouseDown();
    void imgSplitterVert_MouseMove(int x);
    void imgSplitterVert_MouseUp();

    QWidget* mCentral = nullptr;
    QWidget* imgSplitterHoriz = nullptr;
    QWidget* imgSplitterVert = nullptr;
    QWidget* shpDrag = nullptr;
    QFrame* lneSep[2] = {nullptr, nullptr};
    bool mblnDraggingHoriz = false;
    bool mblnDraggingVert = false;
    bool mblnAnimationStarted = false;
    bool mblnTerminating = false;
    bool mblnLaidOut = false;   // the layout has run at least once
};
