// The main window's details list: sorting by a header click and the
// drill-down of a double-click.
#include "mainwindow/frmMain.h"

#include "engine/General.h"
#include "export/frmEventDetails.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "history/TreeImages.h"
#include "platform/KeyedList.h"
#include "platform/KeyedTree.h"

#include <QHeaderView>

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
            // The pair key and position come from the node's key: its tag keeps
            // the number it was added with, which a trim leaves stale.
            const qsizetype dash = mnodSelectedNode.indexOf(QLatin1Char('-'));
            if (dash < 0) return;
            const auto history = logging->mobjSocketPairHistory.Item(mnodSelectedNode.left(dash));
            bool ok = false;
            const int position = mnodSelectedNode.mid(dash + 1).toInt(&ok);
            if (!ok) return;
            history->mobjSocketPairEvents.Item(position);   // an event no longer held ends here
            frmEventDetails::Instance()->SetDetails(history, position);
            ShowToolWindow(frmEventDetails::Instance());
        }
    } catch (...) {
    }
}
