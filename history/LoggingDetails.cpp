// The details list's rows: a row per connection for all activity, a port or a
// pair of partners; a row per event for a socket; the fields of one event.
#include "history/Logging.h"

#include "engine/General.h"
#include "engine/Trap.h"
#include "history/TreeImages.h"
#include "mainwindow/frmMain.h"
#include "platform/KeyedList.h"
#include "platform/KeyedTree.h"

#include <QTreeWidgetItem>
#include <utility>

namespace {

constexpr const char* kRefreshDetails =
    "An error occurred while attempting to refresh the details.  The operating system reports: ";
constexpr const char* kUpdateDetails =
    "An error occurred while attempting to update the details.  The operating system reports: ";
constexpr const char* kUpdateConnectionDetails =
    "An error occurred while attempting to update the connection details.  The operating system reports: ";

using namespace TreeImages;
using General::Trap;

// Columns of the connection layout.
enum ConnectionColumn { kColTo = 1, kColProtocol, kColStarted, kColLastEvent, kColLastState, kColBytesC2S, kColBytesS2C,
                        kColEventCount };

tsy::KeyedList* DetailsList() { return frmMain::IsLoaded() ? frmMain::Instance()->lvwDetails : nullptr; }

// The list itself; its absence fails the caller like a missing row would.
tsy::KeyedList& TheList()
{
    tsy::KeyedList* list = DetailsList();
    if (!list) throw tsy::CollectionError(91, "Object variable or With block variable not set");
    return *list;
}

bool IsConnectionImage(const QString& image)
{
    return image == kImgAllActivity || image == kImgProtocol || image == kImgConnection;
}

QString ClientText(const SocketPairHistory& h)
{
    QString text = h.mstrRemoteClientIP + QLatin1Char(':') + QString::number(h.mlngRemoteClientPort);
    if (!h.mstrRemoteClientName.isEmpty()) text += QStringLiteral(" (") + h.mstrRemoteClientName + QLatin1Char(')');
    return text;
}

QString ServerText(const SocketPairHistory& h)
{
    if (h.mstrRemoteServerIP.isEmpty()) return QStringLiteral("<NA>");
    QString text = h.mstrRemoteServerIP + QLatin1Char(':') + QString::number(h.mlngRemoteServerPort);
    if (!h.mstrRemoteServerName.isEmpty()) text += QStringLiteral(" (") + h.mstrRemoteServerName + QLatin1Char(')');
    return text;
}

// An event's row in a socket's list, keyed like its tree node: pair key, "-", position.
QTreeWidgetItem* NewEventRow(const tsy::KeyedList& list, const QString& strPairKey, int lngPosition,
                             const SocketEvent& ev)
{
    QTreeWidgetItem* row =
        list.NewRow(strPairKey + QLatin1Char('-') + QString::number(lngPosition), ev.mstrEventTime, kImgEvent);
    row->setText(1, ev.mstrDescription);
    if (!ev.mstrData.isEmpty()) row->setText(2, QString::number(ev.mstrData.size()));
    return row;
}

// The item and value rows of one event, always in this order. The data shows
// one character per byte (Latin-1), so every byte value reads back unchanged.
void AddEventFieldRows(const tsy::KeyedList& list, const SocketPairHistory& h, const SocketEvent& ev,
                       QList<QTreeWidgetItem*>& rows)
{
    const std::pair<const char*, QString> fields[] = {
        {"Event Time", ev.mstrEventTime},
        {"Event End Time", ev.mstrEventEndTime},
        {"Error Number", QString::number(ev.mlngErrorNumber)},
        {"Error Description", ev.mstrErrorString},
        {"Description", ev.mstrDescription},
        {"Data", QString::fromLatin1(ev.mstrData)},
        {"Remote Client Address", h.mstrRemoteClientIP},
        {"Remote Client Name", h.mstrRemoteClientName},
        {"Remote Client Port", QString::number(h.mlngRemoteClientPort)},
        {"Remote Server Address", h.mstrRemoteServerIP},
        {"Remote Server Name", h.mstrRemoteServerName},
        {"Remote Server Port", QString::number(h.mlngRemoteServerPort)},
        {"Local Server Port", QString::number(h.mlngLocalServerPort)},
        {"Local Client Port", QString::number(h.mlngLocalClientPort)},
        {"Originally Listening on Port", QString::number(h.mlngWasListeningOnPort)},
        {"Socket Status", h.mblnDead ? QStringLiteral("Dead") : QStringLiteral("Alive")},
        {"Time Of Socket Pair Death", h.mstrTimeOfDeath},
        {"Protocol", h.mstrProtocol},
    };
    for (const auto& [item, value] : fields) {
        QTreeWidgetItem* row = list.NewRow(QString(), QString::fromLatin1(item));
        row->setText(1, value);
        rows.append(row);
    }
}

} // namespace

void Logging::RefreshAllDetails(const QString& strImage)
{
    tsy::KeyedList* list = DetailsList();
    if (!list) return;
    frmMain* main = frmMain::Instance();
    // Rows are made first and go in at once, so a sorted list sorts once.
    QList<QTreeWidgetItem*> rows;
    try {
        list->Clear();
        const QString selected = main->mnodSelectedNode;
        if (IsConnectionImage(strImage)) {
            main->ConfigureGridForAllActivity();
            // The rows of the node clicked, wherever the highlight has gone
            // since: the live rows follow the same node.
            for (const auto& h : mobjSocketPairHistory) {
                if (!IsSocketPairUnder(h->mstrSocketPairKey, selected)) continue;
                QTreeWidgetItem* row = list->NewRow(h->mstrSocketPairKey, ClientText(*h));
                rows.append(row);
                RefreshDetails(row, *h);
            }
        } else if (strImage == kImgSocket || strImage == kImgSocketDisconnected) {
            main->ConfigureGridForConnection();
            if (!General::gblnConnectionDiagramView) {
                const auto& h = mobjSocketPairHistory.Item(selected);
                int position = 0;
                for (const auto& ev : h->mobjSocketPairEvents)
                    rows.append(NewEventRow(*list, h->mstrSocketPairKey, ++position, *ev));
            }
        } else if (strImage == kImgEvent) {
            main->ConfigureGridForEvent();
            // The clicked event itself: after a trim its node's old position
            // names another event. One no longer held leaves the list empty.
            const frmMain::SelectedEvent event = main->SelectedEventNow();
            if (!event.history || event.position == 0) throw tsy::CollectionError(9, "Subscript out of range");
            AddEventFieldRows(*list, *event.history, *event.history->mobjSocketPairEvents.Item(event.position), rows);
        }
    } catch (...) {
        // The refill ends without a message; the rows made so far are shown.
    }
    try {
        list->AddRows(rows);
    } catch (...) {
    }
}

void Logging::RefreshDetails(QTreeWidgetItem* objRow, const SocketPairHistory& h)
{
    Trap(kRefreshDetails, [&] {
        tsy::KeyedList& list = TheList();
        list.SetRowImage(objRow, h.mblnDead ? kImgSocketDisconnected : kImgSocket);
        if (!ShouldSocketDetailsBeUpdated()) return;
        if (list.columnCount() == 3) frmMain::Instance()->ConfigureGridForAllActivity();
        objRow->setText(kColTo, ServerText(h));
        objRow->setText(kColProtocol, h.mstrProtocol.isEmpty() ? QStringLiteral("<NA>") : h.mstrProtocol);
        // A history trimmed to no events leaves its times empty.
        const auto& events = h.mobjSocketPairEvents;
        if (events.Count() > 0) {
            const SocketEvent& last = *events.Item(events.Count());
            objRow->setText(kColStarted, events.Item(1)->mstrEventTime);
            objRow->setText(kColLastEvent, last.mstrEventTime);
            objRow->setText(kColLastState, last.mstrDescription);
        }
        objRow->setText(kColBytesC2S, QString::number(h.mlngBytesC2S));
        objRow->setText(kColBytesS2C, QString::number(h.mlngBytesS2C));
        objRow->setText(kColEventCount, QString::number(events.Count()));
    });
}

// After a trim the socket's events sit at new positions: its list, when shown,
// is made again so that each row's key names the event the row shows.
void Logging::RefreshListedSocket(const QString& strSocketKey)
{
    if (!frmMain::IsLoaded() || frmMain::Instance()->mnodSelectedNode != strSocketKey) return;
    const tsy::KeyedTree* tree = SocketTree();
    if (!tree || !tree->Exists(strSocketKey)) return;
    // The diagram stands in place of the list, which it leaves empty: a
    // refill after every trim would only clear it and lay out its columns.
    if (General::gblnConnectionDiagramView && DetailsList() && DetailsList()->Count() == 0) return;
    const QString image = tree->Image(strSocketKey);
    if (image == kImgSocket || image == kImgSocketDisconnected) RefreshAllDetails(image);
}

bool Logging::IsSocketListed(const QString& strKey)
{
    const tsy::KeyedList* list = DetailsList();
    return list && list->Exists(strKey);
}

void Logging::UpdateDetails(const std::shared_ptr<SocketEvent>& objEvent, const SocketPairHistory& h)
{
    Trap(kUpdateDetails, [&] {
        QTreeWidgetItem* row = TheList().Row(h.mstrSocketPairKey);
        row->setText(kColEventCount, QString::number(h.mlngEventCount));
        row->setText(kColLastEvent, objEvent->mstrEventTime);
        row->setText(kColLastState, objEvent->mstrDescription);
    });
}

// The rows as their histories stand now: the newest event, counts and totals.
void Logging::RefreshPendingRows()
{
    const QSet<QString> keys = std::exchange(mPendingRows, {});
    if (!ShouldSocketDetailsBeUpdated()) return;
    for (const QString& key : keys) {
        const auto h = mobjSocketPairHistory.Find(key);
        if (!h || !IsSocketListed(key)) continue;
        const auto& events = h->mobjSocketPairEvents;
        if (events.Count() > 0) UpdateDetails(events.Item(events.Count()), *h);
        else SetRowColumn(key, kColEventCount, QString::number(h->mlngEventCount));
        UpdateByteColumns(*h);
    }
}

void Logging::UpdateConnectionDetails(const std::shared_ptr<SocketEvent>&, const SocketPairHistory& h)
{
    Trap(kUpdateConnectionDetails, [&] { TheList().Row(h.mstrSocketPairKey)->setText(kColTo, ServerText(h)); });
}

// Both totals after a data event, so neither direction's column goes stale.
void Logging::UpdateByteColumns(const SocketPairHistory& h)
{
    Trap(kUpdateDetails, [&] {
        QTreeWidgetItem* row = TheList().Row(h.mstrSocketPairKey);
        row->setText(kColBytesC2S, QString::number(h.mlngBytesC2S));
        row->setText(kColBytesS2C, QString::number(h.mlngBytesS2C));
    });
}

void Logging::AddConnectionRow(const SocketPairHistory& h)
{
    tsy::KeyedList& list = TheList();
    if (list.Exists(h.mstrSocketPairKey)) throw tsy::CollectionError(35602, "Key is not unique in collection");
    // Filled before it goes in, so a sorted list puts it in its place.
    QTreeWidgetItem* row = list.NewRow(h.mstrSocketPairKey, ClientText(h));
    RefreshDetails(row, h);
    list.AddLater(row);
}

void Logging::AddEventRow(const QString& strPairKey, int lngPosition, const SocketEvent& objEvent)
{
    tsy::KeyedList& list = TheList();
    list.Add(NewEventRow(list, strPairKey, lngPosition, objEvent));
}

void Logging::SetRowColumn(const QString& strKey, int intColumn, const QString& strText)
{
    TheList().SetText(strKey, intColumn, strText);
}

void Logging::SetRowIcon(const QString& strKey, const QString& strImage) { TheList().SetImage(strKey, strImage); }

void Logging::RemoveRow(const QString& strKey) { TheList().RemoveLater(strKey); }
