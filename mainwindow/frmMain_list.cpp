// The main window's details list: sorting by a header click and the
// drill-down of a double-click.
#include "mainwindow/frmMain.h"

#include "engine/General.h"
#include "engine/frmError.h"
#include "export/frmEventDetails.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "history/TreeImages.h"
#include "platform/KeyedList.h"
#include "platform/KeyedTree.h"

#include <QHeaderView>
#include <algorithm>

namespace {

using namespace TreeImages;

// The text up to its first ":"; the whole text when it has none.
QString AddressOf(const QString& text)
{
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    return colon < 0 ? text : text.left(colon);
}

} // namespace

void frmMain::SetupListHandlers()
{
    connect(lvwDetails->header(), &QHeaderView::sectionClicked, this, [this](int column) { lvwDetails_ColumnClick(column); });
    connect(lvwDetails, &QTreeWidget::itemDoubleClicked, this, [this] { lvwDetails_DblClick(); });
}

void frmMain::lvwDetails_ColumnClick(int column)
{
    try {
        // The first column is the sort key until another is clicked.
        tsy::KeyedList* list = lvwDetails;
        if (column == list->SortKey())
            list->SetSorting(true, column,
                             list->SortOrder() == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
        else
            list->SetSorting(true, column, Qt::AscendingOrder);
    } catch (...) {
        // Ends without a message.
    }
}

void frmMain::lvwDetails_DblClick()
{
    // A missing row or node, or any other failure, ends the drill-down
    // without a message; every click is on a node that exists.
    try {
        tsy::KeyedTree* tree = tvwSockets;
        Logging* logging = General::gobjLogging;
        if (!logging) return;
        const QString image = tree->Image(mnodSelectedNode);
        const QList<QTreeWidgetItem*> selected = lvwDetails->selectedItems();
        QTreeWidgetItem* row = selected.isEmpty() ? nullptr : selected.first();

        if (image == kImgAllActivity || image == kImgProtocol || image == kImgConnection) {
            if (!row) return;
            const QString client = AddressOf(row->text(0));
            const QString serverText = row->text(1);
            const QString server = serverText.contains(QLatin1Char(':')) ? AddressOf(serverText) : QString();
            const QString pairKey = tsy::KeyedList::KeyOf(row);
            const int port = logging->mobjSocketPairHistory.Item(pairKey)->mlngWasListeningOnPort;
            // Each click opens the next level; the last one shows the connection's events.
            for (const QString& key : {Logging::ProtocolKey(port), Logging::ConnectionKey(port, client, server), pairKey}) {
                if (!tree->Exists(key)) return;
                tvwSockets_NodeClick(key);
            }
        } else if (image == kImgSocket || image == kImgSocketDisconnected) {
            if (!row) return;
            const QString key = tsy::KeyedList::KeyOf(row);
            if (tree->Exists(key)) tvwSockets_NodeClick(key);
        } else if (image == kImgEvent) {
            // The clicked event itself, wherever the purge has moved it since.
            const SelectedEvent selected = SelectedEventNow();
            if (!selected.selected) return;
            if (selected.position == 0) {
                frmError::LogError(QString::fromLatin1(kPurgedMessage));
                return;
            }
            frmEventDetails::Instance()->SetDetails(selected.history, selected.position);
            ShowToolWindow(frmEventDetails::Instance());
        }
    } catch (...) {
    }
}

void frmMain::SelectEventOfNode(const QString& key)
{
    mobjSelectedEvent.reset();
    mstrSelectedEventNode.clear();
    try {
        if (tvwSockets->Image(key) != kImgEvent || !General::gobjLogging) return;
        const qsizetype dash = key.lastIndexOf(QLatin1Char('-'));   // pair keys may hold a "-" of their own
        bool ok = false;
        const int position = key.mid(dash + 1).toInt(&ok);
        const auto history = General::gobjLogging->mobjSocketPairHistory.Find(key.left(dash));
        if (dash <= 0 || !ok || !history || !General::ExistsInCollection(history->mobjSocketPairEvents, position))
            return;
        mobjSelectedEvent = history->mobjSocketPairEvents.Item(position);
        mstrSelectedEventNode = key;
    } catch (...) {
        // No event at the node: nothing is selected to follow.
    }
}

frmMain::SelectedEvent frmMain::SelectedEventNow() const
{
    SelectedEvent now;
    if (mstrSelectedEventNode.isEmpty() || mstrSelectedEventNode != mnodSelectedNode) return now;
    now.selected = true;
    const qsizetype dash = mnodSelectedNode.lastIndexOf(QLatin1Char('-'));
    if (General::gobjLogging) now.history = General::gobjLogging->mobjSocketPairHistory.Find(mnodSelectedNode.left(dash));
    const auto event = mobjSelectedEvent.lock();
    if (!now.history || !event) return now;
    // The key's number is where the event stood when last followed; the
    // purge only drops the oldest events, so it can only have moved forward.
    const auto& events = now.history->mobjSocketPairEvents;
    for (int p = std::min(mnodSelectedNode.mid(dash + 1).toInt(), events.Count()); p >= 1; --p) {
        if (events.Item(p) == event) {
            now.position = p;
            break;
        }
    }
    return now;
}

void frmMain::FollowSelectedEvent(const SocketPairHistory& h)
{
    if (mstrSelectedEventNode.isEmpty() || !mnodSelectedNode.startsWith(h.mstrSocketPairKey + QLatin1Char('-')))
        return;
    const SelectedEvent now = SelectedEventNow();
    if (now.history.get() != &h || now.position == 0) return;   // dropped: its old key is left to fail the checks
    mnodSelectedNode = h.mstrSocketPairKey + QLatin1Char('-') + QString::number(now.position);
    mstrSelectedEventNode = mnodSelectedNode;
}
