// The main window's socket tree: node clicks (pruning, lazy loading, the
// list refill), the double-click, the right-button pop-up and its port
// commands.
#include "mainwindow/frmMain.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/Trap.h"
#include "engine/frmConfigure.h"
#include "engine/frmError.h"
#include "export/frmEventDetails.h"
#include "export/frmSaveHistory.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "history/TreeImages.h"
#include "platform/KeyedTree.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"

#include <QAction>
#include <QMenu>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidgetItemIterator>

namespace {

constexpr const char* kNodeClick =
    "An error occurred while attempting to process the node click in the tree view.  The operating system reports: ";
constexpr const char* kNodeRelated =
    "An error occurred while attempting to determine whether a node is related to another node.  The operating "
    "system reports: ";

const QString kRoot = QStringLiteral("ROOT");
using namespace TreeImages;

using General::Trap;

// The key of the topmost ancestor of the node (the node itself when top level).
QString RootKeyOf(const tsy::KeyedTree* tree, const QString& key)
{
    QString current = key;
    for (QString parent = tree->ParentKey(current); !parent.isEmpty(); parent = tree->ParentKey(current))
        current = parent;
    return current;
}

// Port of a port node: its tag, trimmed, as a number (0 when it is none).
int PortOfTag(const QVariant& tag)
{
    bool ok = false;
    const int port = tag.toString().trimmed().toInt(&ok);
    return ok ? port : 0;
}

} // namespace

void frmMain::SetupTreeHandlers()
{
    // A node click is a left click; the keyed tree decides expansion itself,
    // so Qt's own double-click toggling would undo what the click opened.
    connect(tvwSockets, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item, int) { tvwSockets_NodeClick(tsy::KeyedTree::KeyOf(item)); });
    tvwSockets->setExpandsOnDoubleClick(false);
    connect(tvwSockets, &QTreeWidget::itemDoubleClicked, this, [this] { tvwSockets_DblClick(); });
    tvwSockets->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tvwSockets, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { tvwSockets_MouseDown(Qt::RightButton, pos); });

    // The node last clicked can go with a branch the purge or the port table
    // removes; the nearest node that stays then stands in for it, so that the
    // pane titles and the commands never look up a node that is gone, and the
    // panes and commands show what it stands for, as a click on it would,
    // without the click's pruning and loading.
    tvwSockets->OnRemoving = [this](const QString& key, const QString& parentKey) {
        if (key.isEmpty()) return;
        const auto inBranch = [this, &key](const QString& node) {
            for (QString k = node; !k.isEmpty() && tvwSockets->Exists(k); k = tvwSockets->ParentKey(k))
                if (k == key) return true;
            return false;
        };
        if (!inBranch(mnodSelectedNode)) return;
        mnodSelectedNode = parentKey.isEmpty() ? QStringLiteral("ROOT") : parentKey;
        if (!tvwSockets->Exists(mnodSelectedNode)) return;
        // A highlight going with the branch would otherwise land wherever the
        // view puts it, or nowhere; one the user moved elsewhere stays.
        const QString highlighted = tvwSockets->SelectedKey();
        if (highlighted.isEmpty() || inBranch(highlighted)) tvwSockets->Select(mnodSelectedNode);
        SelectEventOfNode(mnodSelectedNode);
        // A stand-in is a partners', port or root node: none has data to save.
        SetSaveCommandsEnabled(false);
        if (General::gobjLogging) General::gobjLogging->RefreshAllDetails(tvwSockets->Image(mnodSelectedNode));
        if (frmEventDetails::IsLoaded()) frmEventDetails::Instance()->ClearDetails();
        ShowDetailsView();
        RefreshPaneTitles();
        UpdateNavigationState();
    };

    connect(mnuStopListening, &QAction::triggered, this, &frmMain::mnuStopListening_Click);
    connect(mnuProtocol, &QAction::triggered, this, &frmMain::mnuProtocol_Click);
    connect(mnuSaveHistoryPopUp, &QAction::triggered, this, [this] { frmSaveHistory::Open(this); });
    mnuSaveHistoryPopUp->setEnabled(false);
}

frmMain::Relatedness frmMain::IsNodeRelated(const QString& openKey, const QString& clickedKey)
{
    Relatedness answer{false, true};
    Trap(kNodeRelated, [&] {
        tsy::KeyedTree* tree = tvwSockets;
        tree->Node(openKey);
        tree->Node(clickedKey);
        if (clickedKey == RootKeyOf(tree, clickedKey)) {
            answer = {false, true};
            return;
        }
        if (openKey == clickedKey) {
            answer = {true, false};
            return;
        }
        if (openKey != kRoot && tree->ParentKey(openKey) == clickedKey) {
            answer = {false, false};
            return;
        }
        // Related when the open node is an ancestor of the clicked one.
        for (QString current = clickedKey;;) {
            const QString parent = tree->ParentKey(current);
            if (parent.isEmpty()) {
                answer = {false, true};
                return;
            }
            if (parent == openKey) {
                answer = {true, true};
                return;
            }
            current = parent;
        }
    });
    return answer;
}

void frmMain::SetSaveCommandsEnabled(bool enabled)
{
    mnuSaveHistory->setEnabled(enabled);
    if (auto* button = barToolbar ? barToolbar->findChild<QToolButton*>(QStringLiteral("SaveData")) : nullptr)
        button->setEnabled(enabled);
}

void frmMain::tvwSockets_NodeClick(const QString& key)
{
    Trap(kNodeClick, [&] {
        tsy::KeyedTree* tree = tvwSockets;
        tree->Node(key);   // a node that no longer exists fails the click
        mnodSelectedNode = key;
        SelectEventOfNode(key);

        // Prune: every open branch that does not lead to the clicked node closes
        // and loses its children. Pruning only removes descendants of the node
        // being pruned, which come later in this order, so a snapshot walk sees
        // the same nodes a walk re-reading the tree would.
        bool load = false;
        QStringList order;
        tree->Flush();
        for (QTreeWidgetItemIterator it(tree); *it; ++it) order.append(tsy::KeyedTree::KeyOf(*it));
        for (const QString& open : order) {
            if (!tree->Exists(open) || !tree->Expanded(open)) continue;
            const Relatedness r = IsNodeRelated(open, key);
            load = r.load;
            if (!r.related) {
                tree->SetExpanded(open, false);
                while (tree->Children(open) > 0) tree->Remove(tree->ChildKeys(open).first());
            }
        }

        const QString image = tree->Image(key);
        if (image == kImgAllActivity || image == kImgProtocol || image == kImgConnection)
            SetSaveCommandsEnabled(false);
        else if (image == kImgSocket || image == kImgSocketDisconnected || image == kImgEvent)
            SetSaveCommandsEnabled(true);

        if (General::gobjLogging) General::gobjLogging->RefreshAllDetails(image);

        // A window that is not loaded is empty already: loading it to clear it
        // would only cost the click its time.
        if (frmEventDetails::IsLoaded()) frmEventDetails::Instance()->ClearDetails();

        if (load) {
            Logging* logging = General::gobjLogging;
            // The loaders expect an empty branch; a branch the user closed by its
            // sign still holds its old children, which would collide with the new.
            const auto emptyBranch = [&] {
                while (tree->Children(key) > 0) tree->Remove(tree->ChildKeys(key).first());
            };
            if (image == kImgAllActivity) {
                emptyBranch();
                tree->SetExpanded(key, true);
                if (logging) logging->LoadAllProtocols(General::gobjListening);
            } else if (image == kImgProtocol) {
                emptyBranch();
                tree->SetExpanded(key, true);
                if (logging) logging->LoadAllCommsPartners(PortOfTag(tree->Tag(key)));
            } else if (image == kImgConnection) {
                emptyBranch();
                tree->SetExpanded(key, true);
                const QString tag = tree->Tag(key).toString();
                const qsizetype blank = tag.indexOf(QLatin1Char(' '));
                const QString client = blank < 0 ? tag : tag.left(blank);
                const QString server = blank < 0 ? QString() : tag.mid(blank + 1);
                const int port = PortOfTag(tree->Tag(tree->ParentKey(key)));
                if (logging) logging->LoadAllConnections(client, server, port);
            } else if (image == kImgSocket || image == kImgSocketDisconnected) {
                if (frmEventDetails::IsLoaded()) frmEventDetails::Instance()->repaint();
                emptyBranch();
                const QString pairKey = tree->Tag(key).toString();
                if (logging) {
                    logging->LoadAllEvents(pairKey);
                    mobjCurrentHistory = logging->mobjSocketPairHistory.Item(pairKey);
                }
                tree->repaint();
                tree->SetExpanded(key, true);
            } else if (image == kImgEvent) {
                const qsizetype dash = key.lastIndexOf(QLatin1Char('-'));
                const QString pairKey = dash < 0 ? key : key.left(dash);
                if (logging) mobjCurrentHistory = logging->mobjSocketPairHistory.Item(pairKey);
                // The position comes from the node's key, which the purge's
                // renumbering keeps current; its tag may be stale.
                const int position = dash < 0 ? 0 : key.mid(dash + 1).toInt();
                if (frmEventDetails::IsLoaded() && frmEventDetails::Instance()->isVisible())
                    frmEventDetails::Instance()->SetDetails(mobjCurrentHistory, position);
                // A redraw the purge asked for shows the page holding the event.
                const bool pageChanged = CheckForPageChange(position);
                if ((pageChanged || gblnRequestRedraw) && General::gblnConnectionDiagramView)
                    DisplayConnectionDiagram(mobjCurrentHistory);
                gblnRequestRedraw = false;
                if (General::gblnConnectionDiagramView) HighlightEventAt(position);
            }
        }

        ShowDetailsView();
        RefreshPaneTitles();
        UpdateNavigationState();
    });
}

void frmMain::tvwSockets_DblClick()
{
    if (tvwSockets->Exists(mnodSelectedNode) && !tvwSockets->Expanded(mnodSelectedNode))
        tvwSockets->SetExpanded(mnodSelectedNode, true);
}

bool frmMain::PreparePopup(const QString& key)
{
    try {
        tsy::KeyedTree* tree = tvwSockets;
        const QString image = tree->Image(key);
        if (image == kImgProtocol
            && tree->Text(key).left(32) != QString::fromLatin1(frmConfigure::kFtpData)) {
            const int port = PortOfTag(tree->Tag(key));
            mstrPopupTag = QString::number(port);
            bool listening = false;
            if (Listening* l = General::gobjListening) {
                const QString socketKey = QStringLiteral("KEY") + mstrPopupTag;
                if (l->mcolListeningSocket.Exists(socketKey)) {
                    tsy::Winsock* socket = l->mcolListeningSocket.Item(socketKey).data();
                    listening = socket && socket->State() == tsy::Winsock::sckListening;
                }
            }
            mnuStopListening->setEnabled(listening);
            tree->Select(key);
            tvwSockets_NodeClick(key);
            mnuProtocol->setEnabled(true);
            mnuSaveHistoryPopUp->setEnabled(false);
            return true;
        }
        if (image == kImgSocket || image == kImgSocketDisconnected || image == kImgEvent) {
            tree->Select(key);
            tvwSockets_NodeClick(key);
            mnuProtocol->setEnabled(false);
            mnuStopListening->setEnabled(false);
            mnuSaveHistoryPopUp->setEnabled(true);
            return true;
        }
        tree->Select(key);
        tvwSockets_NodeClick(key);
    } catch (...) {
        // A node that vanished ends the right click without a message.
    }
    return false;
}

void frmMain::tvwSockets_MouseDown(Qt::MouseButton button, const QPoint& pos)
{
    if (button != Qt::RightButton) return;
    QTreeWidgetItem* item = tvwSockets->itemAt(pos);
    if (!item) return;
    if (PreparePopup(tsy::KeyedTree::KeyOf(item))) mnuPopup->popup(tvwSockets->viewport()->mapToGlobal(pos));
}

void frmMain::mnuProtocol_Click()
{
    const int port = mstrPopupTag.toInt();
    if (port <= 0) return;
    // Modeless and without an owner, unlike the tool windows of the menus.
    frmConfigure* window = frmConfigure::ShowPort(port);
    window->show();
    window->raise();
    window->activateWindow();
    if (KeepOnTop()) General::SetTopMost(window, true);
}

void frmMain::mnuStopListening_Click()
{
    // Without a right-clicked port there is nothing to stop (and no key "0" to store).
    const int port = mstrPopupTag.toInt();
    if (port <= 0) return;
    frmConfigure::StopListening(port);
}
