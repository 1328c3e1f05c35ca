#include "history/Logging.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/Trap.h"
#include "engine/frmError.h"
#include "export/frmRealTimeData.h"
#include "export/frmRealTimeLogging.h"
#include "history/TreeImages.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "mainwindow/frmSysTray.h"
#include "platform/KeyedTree.h"
#include "platform/Numbers.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>
#include <new>
#include <utility>

namespace {

// Sentences of the error reports, each followed by the number, ", " and the description.
constexpr const char* kLogEvent = "An error occurred while attempting to log an event.  The operating system reports: ";
constexpr const char* kAccepted = "An error occurred while attempting to accept the remote client connection request.  The operating system reports: ";
constexpr const char* kRejected = "An error occurred while attempting to reject the remote client connection request.  The operating system reports: ";
constexpr const char* kConnectTo = "An error occurred while attempting to connect to the remote server.  The operating system reports: ";
constexpr const char* kFailed = "An error occurred while attempting to record the failure to connect to the remote server.  The operating system reports: ";
constexpr const char* kSuccessful = "An error occurred while attempting to record the successful connection attempt.  The operating system reports: ";
constexpr const char* kRemoteServerDisc = "An error occurred while attempting to log the remote server's disconnection.  The operating system reports: ";
constexpr const char* kLocalServerDisc = "An error occurred while attempting to log the local server's disconnection.  The operating system reports: ";
constexpr const char* kRemoteClientDisc = "An error occurred while attempting to log the remote client's disconnections.  The operating system reports: ";
constexpr const char* kLocalClientDisc = "An error occurred while attempting to log the local client disconnection.  The operating system reports: ";
constexpr const char* kServerName = "An error occurred while attempting to log the available of the remote server's name.  The operating system reports: ";
constexpr const char* kClientName = "An error occurred while attempting to log the availability of the name of the remote client.  The operating system reports: ";
constexpr const char* kProtocol = "An error occurred while attempting to log the availability of the protocol name.  The operating system reports: ";
constexpr const char* kDead = "An error occurred while attempting to indicate that the socket connection pair is dead.  The operating system reports: ";
constexpr const char* kClientReceived = "An error occurred while attempting to log the arrival of data on the local client.  The operating system reports: ";
constexpr const char* kClientBuffered = "An error occurred while attempting to log the buffering of data being sent through the local client.  The operating system reports: ";
constexpr const char* kServerBuffered = "An error occurred while attempting to log the buffering of data being sent through the local server.  The operating system reports: ";
constexpr const char* kServerSendStart = "An error occurred while attempting to log data being sent through the local server.  The operating system reports: ";
constexpr const char* kServerSendStop = "An error occurred while attempting to log the completion of data being sent through the local server.  The operating system reports: ";
constexpr const char* kServerReceived = "An error occurred while attempting to log the arrival of data on the local server.  The operating system reports: ";
constexpr const char* kClientSendStart = "An error occurred while attempting to log the data being sent through the local client.  The operating system reports: ";
constexpr const char* kClientSendStop = "An error occurred while attempting to log the completion of data being sent through the local client.  The operating system reports: ";
constexpr const char* kServerBadState = "An error occurred while attempting to log the local server's error state.  The operating system reports: ";
constexpr const char* kClientBadState = "An error occurred while attempting to log the local client error state.  The operating system reports: ";
constexpr const char* kDangling = "An error occurred while attempting to log the change of the dangling state.  The operating system reports: ";
constexpr const char* kLoadProtocols = "An error occurred while attempting to load all of the protocols.  The operating system reports: ";
constexpr const char* kLoadPartners = "An error occurred while attempting to load all of the communication partners.  The operating system reports: ";
constexpr const char* kLoadConnections = "An error occurred while attempting to load all of the connections.  The operating system reports: ";
constexpr const char* kLoadEvents = "An error occurred while attempting to load all of the events.  The operating system reports: ";
constexpr const char* kConnectionName = "An error occurred while attempting to get the name of the connection.  The operating system reports: ";
constexpr const char* kKillDead = "An error occurred while attempting to kill the dead socket connections.  The operating system reports: ";
constexpr const char* kClearAll = "An error occurred while attempting to clear all of the data.  The operating system reports: ";
constexpr const char* kKillHistory = "An error occurred while attempting to kill the socket history.  The operating system reports: ";
constexpr const char* kManageRealTime = "An error occurred while attempting to manage the real-time data.  The operating system reports: ";
constexpr const char* kDisplayRealTime = "An error occurred while attempting to display the real time data.  The operating system reports: ";
constexpr const char* kRemoveEphemeral = "An error occurred while attempting to remove the empty Ephemeral ports.  The operating system reports: ";

using namespace TreeImages;
const QString kUnknown = QStringLiteral("<Unknown>");
const QString kError = QStringLiteral("<Error>");

using General::Trap;

// The key of the node the user selected last; empty while there is no main window.
QString SelectedNodeKey()
{
    return frmMain::IsLoaded() ? frmMain::Instance()->mnodSelectedNode : QString();
}

QString SocketNodeText(const SocketPairHistory& h)
{
    if (!h.mblnDead) return QStringLiteral("Alive");
    return (h.mlngErrorNumber != 0 ? QStringLiteral("Dead With Error (") : QStringLiteral("Dead ("))
        + h.mstrTimeOfDeath + QLatin1Char(')');
}

} // namespace

Logging::Logging() = default;
Logging::~Logging() = default;

tsy::KeyedTree* Logging::SocketTree() { return General::SocketTree(); }

QString Logging::ProtocolKey(int lngPort) { return QStringLiteral("PROTO") + QString::number(lngPort); }

QString Logging::ConnectionKey(int lngPort, const QString& strClient, const QString& strServer)
{
    return QStringLiteral("CON") + QString::number(lngPort) + strClient + strServer;
}

QString Logging::ConnectionKey(const SocketPairHistory& h)
{
    return ConnectionKey(h.mlngLocalServerPort, h.mstrRemoteClientIP, h.mstrRemoteServerIP);
}

QString Logging::GetConnectionName(const SocketPairHistory& h)
{
    QString name;
    Trap(kConnectionName, [&] {
        QString client = h.mstrRemoteClientIP;
        if (!h.mstrRemoteClientName.isEmpty()) client += QStringLiteral(" (") + h.mstrRemoteClientName + QLatin1Char(')');
        if (h.mstrRemoteClientIP == kUnknown) {
            name = client + QStringLiteral(" to <Rejected>");
        } else if (h.mstrRemoteServerIP == kError) {
            name = client + QStringLiteral(" to <Error>");
        } else {
            name = client + QStringLiteral(" to ")
                + (h.mstrRemoteServerIP.isEmpty() ? QStringLiteral("<Awaiting>") : h.mstrRemoteServerIP);
            if (!h.mstrRemoteServerName.isEmpty()) name += QStringLiteral(" (") + h.mstrRemoteServerName + QLatin1Char(')');
        }
    });
    return name;
}

// ---------------------------------------------------------------------------
// Shared pieces

std::shared_ptr<SocketEvent> Logging::NewEvent(bool blnNextEventFollowOn, int intType, const QString& strDescription,
                                               const QByteArray& strData)
{
    auto ev = std::make_shared<SocketEvent>();
    ev->mstrEventTime = General::GetSystemTimeString(true);
    ev->mblnNextEventFollowOn = blnNextEventFollowOn;
    ev->mobjEventType = intType;
    ev->mstrData = strData;   // implicitly shared with the relay's buffer
    ev->mstrDescription = strDescription;
    return ev;
}

std::shared_ptr<SocketPairHistory> Logging::FindHistory(SocketPair* objSocketPair) const
{
    if (!objSocketPair) return nullptr;
    return mobjSocketPairHistory.Find(objSocketPair->SocketPairKey());
}


void Logging::LogEvent(SocketPair* objSocketPair, const std::shared_ptr<SocketEvent>& objEvent)
{
    const QString key = objSocketPair->SocketPairKey();
    std::shared_ptr<SocketPairHistory> h;

    // Without the event in its history there is nothing to show anywhere.
    const bool added = Trap(kLogEvent, [&] {
        if (mfnBeforeStep) mfnBeforeStep("History");
        h = mobjSocketPairHistory.Item(key);
        mlngTotalMemoryAllocated += h->AddEvent(objEvent);
        ++mlngTotalEvents;
    });
    if (!added) return;

    // From here on every step stands alone: one that fails is reported and
    // the next still runs.
    const auto RunStep = [this](const char* strStep, auto&& fnStep) {
        Trap(kLogEvent, [&] {
            if (mfnBeforeStep) mfnBeforeStep(strStep);
            fnStep();
        });
    };
    RunStep("Tree", [&] {
        tsy::KeyedTree* tree = SocketTree();
        if (!tree || !tree->Exists(key) || !tree->Expanded(key)) return;
        const int n = h->mobjSocketPairEvents.Count();
        const QString eventKey = key + QLatin1Char('-') + QString::number(n);
        QTreeWidgetItem* node = tree->AddLater(key, eventKey, objEvent->mstrDescription, kImgEvent);
        node->setData(0, tsy::KeyedTree::TagRole, eventKey);
        // The diagram view lists no events (its refill leaves them out, and
        // the switch to the event history refills the list).
        if (!General::gblnConnectionDiagramView && SelectedNodeKey() == key && tree->Image(key) == kImgSocket)
            AddEventRow(key, n, *objEvent);
    });

    RunStep("RealTimeData", [&] {
        if (IsRealTimeDataShown()) ManageRealTimeData(objEvent, objSocketPair);
    });

    RunStep("Diagram", [&] {
        if (General::gblnConnectionDiagramView && SelectedNodeKey() == key) AddConnectionDiagramEvent(h);
    });

    RunStep("Purge", [&] {
        ++mlngEventsLogged;
        if (++mintEventsSincePurge > 20) {
            mintEventsSincePurge = 0;
            KillDeadSocketConnections();
        }
    });

    RunStep("RealTimeLog", [&] {
        if (IsRealTimeLoggingOn()) SaveEventToLogFile(objSocketPair, objEvent);
    });

    RunStep("Tray", [&] {
        switch (objEvent->mobjEventType) {
        case SocketEventType::ServerBytesSendStart:
        case SocketEventType::ServerBytesSendStartThrottled: SignalDataSent(false); break;
        case SocketEventType::ClientBytesSendStart:
        case SocketEventType::ClientBytesSendStartThrottled: SignalDataSent(true); break;
        default: break;
        }
    });
}

void Logging::SignalDataSent(bool blnClientToServer) { frmSysTray::DataSent(blnClientToServer); }

bool Logging::IsRealTimeDataShown()
{
    return frmRealTimeData::Value(frmRealTimeData::Instance()->chkShowRealTimeData) == 1;
}

bool Logging::IsRealTimeLoggingOn() { return frmRealTimeLogging::Instance()->chkLoggingEnabled->isChecked(); }

void Logging::SaveEventToLogFile(SocketPair* objSocketPair, const std::shared_ptr<SocketEvent>& objEvent)
{
    frmRealTimeLogging::Instance()->SaveEventToLogFile(objSocketPair, objEvent);
}

void Logging::AddConnectionDiagramEvent(const std::shared_ptr<SocketPairHistory>& objHistory)
{
    if (frmMain::IsLoaded()) frmMain::Instance()->AddConnectionDiagramEvent(objHistory);
}

// The connection's row, after an event: counts, last event, and the byte totals.
void Logging::RefreshRow(const std::shared_ptr<SocketEvent>& objEvent, const SocketPairHistory& h, bool blnServerName,
                         bool blnBytes)
{
    if (!IsSocketListed(h.mstrSocketPairKey) || !ShouldSocketDetailsBeUpdated()) return;
    if (blnServerName) UpdateConnectionDetails(objEvent, h);
    UpdateDetails(objEvent, h);
    if (blnBytes) UpdateByteColumns(h);
}

void Logging::RefreshRowLater(const SocketPairHistory& h)
{
    if (!IsSocketListed(h.mstrSocketPairKey)) return;
    mPendingRows.insert(h.mstrSocketPairKey);
    if (!mtmrRowRefresh) {
        mtmrRowRefresh = std::make_unique<QTimer>();
        mtmrRowRefresh->setSingleShot(true);
        QObject::connect(mtmrRowRefresh.get(), &QTimer::timeout, [this] { RefreshPendingRows(); });
    }
    if (!mtmrRowRefresh->isActive()) mtmrRowRefresh->start(kRowRefreshMs);
}

// ---------------------------------------------------------------------------
// Connection lifecycle

void Logging::AddNewConnectionNodes(const SocketPairHistory& h)
{
    tsy::KeyedTree* tree = SocketTree();
    if (!tree) return;
    const QString portKey = ProtocolKey(h.mlngLocalServerPort);
    if (!tree->Expanded(portKey)) return;   // a missing port node fails here
    const QString provisional = ConnectionKey(h.mlngLocalServerPort, h.mstrRemoteClientIP, QString());
    if (!tree->Exists(provisional)) {
        tree->Add(portKey, provisional, GetConnectionName(h), kImgConnection);
        tree->SetTag(provisional, h.mstrRemoteClientIP + QLatin1Char(' '));
    }
    if (tree->Expanded(provisional)) {
        tree->Add(provisional, h.mstrSocketPairKey, QStringLiteral("Alive"), kImgSocket);
        tree->SetTag(h.mstrSocketPairKey, h.mstrSocketPairKey);
    }
}

void Logging::LocalServerAcceptedConnection(SocketPair* objSocketPair, bool blnNextEventFollowOn, int lngWasListeningOnPort)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(kAccepted, [&] {
        auto ev = NewEvent(blnNextEventFollowOn, SocketEventType::LocalServerAcceptedConnection,
                           QStringLiteral("Remote connection request accepted"));
        auto h = std::make_shared<SocketPairHistory>();
        h->mstrRemoteClientIP = objSocketPair->RemoteClientIP();
        h->mlngRemoteClientPort = objSocketPair->RemoteClientPort();
        h->mlngLocalServerPort = objSocketPair->LocalServerPort();
        h->mstrSocketPairKey = objSocketPair->SocketPairKey();
        h->mlngWasListeningOnPort = lngWasListeningOnPort;
        mobjSocketPairHistory.Add(h, h->mstrSocketPairKey);
        LogEvent(objSocketPair, ev);
        AddNewConnectionNodes(*h);
        if (IsConnectionOfListedNode(h->mstrSocketPairKey)) AddConnectionRow(*h);
    });
}

void Logging::LocalServerRejectedConnection(SocketPair* objSocketPair, bool, int lngWasListeningOnPort)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(kRejected, [&] {
        auto ev = NewEvent(false, SocketEventType::LocalServerRejectedConnection,
                           QStringLiteral("Remote connection request was scheduled for rejection"));
        auto h = std::make_shared<SocketPairHistory>();
        h->mstrRemoteClientIP = kUnknown;
        h->mlngRemoteClientPort = -1;
        h->mlngLocalServerPort = lngWasListeningOnPort;
        h->mstrSocketPairKey = objSocketPair->SocketPairKey();
        h->mlngWasListeningOnPort = lngWasListeningOnPort;
        mobjSocketPairHistory.Add(h, h->mstrSocketPairKey);
        LogEvent(objSocketPair, ev);
        AddNewConnectionNodes(*h);
        if (IsConnectionOfListedNode(h->mstrSocketPairKey)) AddConnectionRow(*h);
    });
}

void Logging::ConnectionAttemptToRemoteServer(SocketPair* objSocketPair, const QString& strRemoteServer, int lngRemotePort,
                                              bool blnNextEventFollowOn)
{
    if (!objSocketPair) return;
    Trap(kConnectTo, [&] {
        if (General::gblnLoggingEnabled) {
            mobjSocketPairHistory.Item(objSocketPair->SocketPairKey());   // a missing history fails here
            auto ev = NewEvent(blnNextEventFollowOn, SocketEventType::ConnectionAttemptToRemoteServer,
                               QStringLiteral("A connection request has been made to ") + strRemoteServer
                                   + QLatin1Char(':') + QString::number(lngRemotePort) + QLatin1Char('.'));
            LogEvent(objSocketPair, ev);
        }
        const QString name = objSocketPair->RemoteClientName();
        if (!name.isEmpty() && !General::IsIPAddress(name)) GotNameOfRemoteClient(objSocketPair, name);
    });
}

void Logging::ConnectionAttemptFailed(SocketPair* objSocketPair, bool blnNextEventFollowOn, const QString& strError,
                                      int lngErrorNumber)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(kFailed, [&] {
        const QString key = objSocketPair->SocketPairKey();
        auto h = mobjSocketPairHistory.Item(key);
        auto ev = NewEvent(blnNextEventFollowOn, SocketEventType::ConnectionAttemptFailed,
                           QStringLiteral("The connection request failed - ") + strError);
        ev->mstrErrorString = strError;
        ev->mlngErrorNumber = lngErrorNumber;
        h->mstrRemoteServerIP = kError;
        LogEvent(objSocketPair, ev);
        h->mstrErrorString = strError;
        h->mlngErrorNumber = lngErrorNumber;

        if (tsy::KeyedTree* tree = SocketTree()) {
            const int port = h->mlngLocalServerPort;
            const QString portKey = ProtocolKey(port);
            if (tree->Expanded(portKey)) {
                const QString errorKey = ConnectionKey(port, h->mstrRemoteClientIP, kError);
                if (!tree->Exists(errorKey)) {
                    tree->Add(portKey, errorKey, GetConnectionName(*h), kImgConnection);
                    tree->SetTag(errorKey, h->mstrRemoteClientIP + QLatin1Char(' ') + kError);
                }
                if (tree->Exists(key)) tree->Remove(key);
                if (tree->Expanded(errorKey)) {
                    tree->Add(errorKey, key, QStringLiteral("Dead With Error"), kImgSocket);
                    tree->SetTag(key, key);
                }
                RemoveProvisionalNodeWhenNoneWaits(port, h->mstrRemoteClientIP);
            }
        }
        FollowMovedConnection(*h);
        RefreshRow(ev, *h, true, false);
    });
}

// A collapsed provisional node holds no children, so an empty one may still
// stand for clients that wait for their request: keep it while any does.
void Logging::RemoveProvisionalNodeWhenNoneWaits(int lngPort, const QString& strClient)
{
    tsy::KeyedTree* tree = SocketTree();
    const QString provisional = ConnectionKey(lngPort, strClient, QString());
    if (!tree || !tree->Exists(provisional) || tree->Children(provisional) != 0) return;
    for (int i = mobjSocketPairHistory.Count(); i >= 1; --i) {   // the waiting ones are mostly recent
        const auto& h = mobjSocketPairHistory.Item(i);
        if (h->mlngLocalServerPort == lngPort && h->mstrRemoteClientIP == strClient && h->mstrRemoteServerIP.isEmpty())
            return;
    }
    tree->Remove(provisional);
}

void Logging::ConnectionAttemptSuccessful(SocketPair* objSocketPair, bool blnNextEventFollowOn, const QString& strComment)
{
    if (!objSocketPair) return;
    Trap(kSuccessful, [&] {
        if (General::gblnLoggingEnabled) {
            const QString key = objSocketPair->SocketPairKey();
            auto h = mobjSocketPairHistory.Item(key);
            auto ev = NewEvent(blnNextEventFollowOn, SocketEventType::ConnectionAttemptSuccessful,
                               QStringLiteral("The connection request to the remote server has been successful. ") + strComment);
            h->mstrRemoteServerIP = objSocketPair->RemoteServerIP();
            h->mlngRemoteServerPort = objSocketPair->RemoteServerPort();
            h->mlngLocalClientPort = objSocketPair->LocalClientPort();
            LogEvent(objSocketPair, ev);

            tsy::KeyedTree* tree = SocketTree();
            const int port = h->mlngLocalServerPort;
            const QString provisional = ConnectionKey(port, h->mstrRemoteClientIP, QString());
            if (tree && tree->Exists(provisional)) {
                const QString finalKey = ConnectionKey(*h);
                if (!tree->Exists(finalKey)) {
                    tree->Add(ProtocolKey(port), finalKey, GetConnectionName(*h), kImgConnection);
                    tree->SetTag(finalKey, h->mstrRemoteClientIP + QLatin1Char(' ') + h->mstrRemoteServerIP);
                }
                if (tree->Exists(key)) tree->Remove(key);
                if (tree->Expanded(finalKey)) {
                    tree->Add(finalKey, key, QStringLiteral("Alive"), kImgSocket);
                    tree->SetTag(key, key);
                }
                RemoveProvisionalNodeWhenNoneWaits(port, h->mstrRemoteClientIP);
            }
            FollowMovedConnection(*h);
            RefreshRow(ev, *h, true, false);
        }
        const QString name = objSocketPair->RemoteServerName();
        if (!General::IsIPAddress(name)) GotNameOfRemoteServer(objSocketPair, name);
    });
}

void Logging::RecordSimpleEvent(SocketPair* objSocketPair, bool blnNextEventFollowOn, int intType,
                                const QString& strDescription, const char* strErrorText)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(strErrorText, [&] {
        auto h = FindHistory(objSocketPair);
        if (!h) return;
        auto ev = NewEvent(blnNextEventFollowOn, intType, strDescription);
        LogEvent(objSocketPair, ev);
        RefreshRow(ev, *h, false, false);
    });
}

void Logging::RemoteServerDisconnected(SocketPair* objSocketPair, bool blnNextEventFollowOn, const QString& strComment)
{
    RecordSimpleEvent(objSocketPair, blnNextEventFollowOn, SocketEventType::RemoteServerDisconnected,
                      QStringLiteral("The remote server has disconnected. ") + strComment, kRemoteServerDisc);
}

void Logging::LocalServerDisconnected(SocketPair* objSocketPair, bool blnNextEventFollowOn)
{
    RecordSimpleEvent(objSocketPair, blnNextEventFollowOn, SocketEventType::LocalServerDisconnected,
                      QStringLiteral("TSY has disconnected from the remote client."), kLocalServerDisc);
}

void Logging::RemoteClientDisconnected(SocketPair* objSocketPair, bool blnNextEventFollowOn)
{
    RecordSimpleEvent(objSocketPair, blnNextEventFollowOn, SocketEventType::RemoteClientDisconnected,
                      QStringLiteral("The remote client has disconnected."), kRemoteClientDisc);
}

void Logging::LocalClientDisconnected(SocketPair* objSocketPair, bool blnNextEventFollowOn)
{
    RecordSimpleEvent(objSocketPair, blnNextEventFollowOn, SocketEventType::LocalClientDisconnected,
                      QStringLiteral("TSY has disconnected from the remote server."), kLocalClientDisc);
}

// A peer's new name shows in the partners' node and in its list column.
void Logging::ShowPeerName(const SocketPairHistory& h, int intColumn, const QString& strIP, int lngPort,
                           const QString& strName)
{
    tsy::KeyedTree* tree = SocketTree();
    const QString partners = ConnectionKey(h);
    if (tree && tree->Exists(partners)) tree->SetText(partners, GetConnectionName(h));
    if (IsSocketListed(h.mstrSocketPairKey) && ShouldSocketDetailsBeUpdated())
        SetRowColumn(h.mstrSocketPairKey, intColumn,
                     strIP + QLatin1Char(':') + QString::number(lngPort) + QStringLiteral(" (") + strName + QLatin1Char(')'));
}

void Logging::GotNameOfRemoteServer(SocketPair* objSocketPair, const QString& strName)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(kServerName, [&] {
        auto h = FindHistory(objSocketPair);
        if (!h) return;
        h->mstrRemoteServerName = strName;
        ShowPeerName(*h, 1, h->mstrRemoteServerIP, h->mlngRemoteServerPort, strName);
    });
}

void Logging::GotNameOfRemoteClient(SocketPair* objSocketPair, const QString& strName)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(kClientName, [&] {
        auto h = FindHistory(objSocketPair);
        if (!h) return;
        h->mstrRemoteClientName = strName;
        ShowPeerName(*h, 0, h->mstrRemoteClientIP, h->mlngRemoteClientPort, strName);
    });
}

void Logging::GotProtocol(SocketPair* objSocketPair, const QString& strProtocol)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(kProtocol, [&] {
        auto h = mobjSocketPairHistory.Item(objSocketPair->SocketPairKey());
        h->mstrProtocol = strProtocol;
        if (IsSocketListed(h->mstrSocketPairKey) && ShouldSocketDetailsBeUpdated())
            SetRowColumn(h->mstrSocketPairKey, 2, strProtocol);
    });
}

void Logging::Dead(SocketPair* objSocketPair)
{
    if (!objSocketPair) return;
    const auto step = [this](const char* name) { if (mfnBeforeStep) mfnBeforeStep(name); };
    std::shared_ptr<SocketPairHistory> h;
    if (General::gblnLoggingEnabled) {
        // Each step stands alone, and the pair is terminated whatever happened
        // before: a pair left open would hold its sockets until the peers give up.
        Trap(kDead, [&] {
            step("Dead.History");
            h = FindHistory(objSocketPair);
            if (!h) return;
            h->mblnDead = true;
            h->mstrTimeOfDeath = General::GetSystemTimeString(true);
        });
        if (h) {
            Trap(kDead, [&] {
                step("Dead.Tree");
                tsy::KeyedTree* tree = SocketTree();
                if (!tree || !tree->Exists(h->mstrSocketPairKey)) return;
                tree->SetText(h->mstrSocketPairKey, SocketNodeText(*h));
                tree->SetImage(h->mstrSocketPairKey, kImgSocketDisconnected);
            });
            Trap(kDead, [&] {
                step("Dead.List");
                if (IsSocketListed(h->mstrSocketPairKey) && ShouldSocketDetailsBeUpdated())
                    SetRowIcon(h->mstrSocketPairKey, kImgSocketDisconnected);
            });
        }
    }
    Trap(kDead, [&] {
        step("Dead.Terminate");
        objSocketPair->Terminate();
    });
}

// ---------------------------------------------------------------------------
// Data, socket errors, dangling

namespace {
// "<length><text>" of a data event (the texts are literals): a bulk transfer
// logs the same few lengths again and again, which then share their strings.
QString DataDescription(qsizetype lngLength, const char* strText)
{
    struct Made {
        qsizetype length = -1;
        const char* text = nullptr;
        QString description;
    };
    static Made made[8];
    static int next = 0;
    for (const Made& m : made)
        if (m.length == lngLength && m.text == strText) return m.description;
    Made& m = made[next];
    next = (next + 1) % 8;
    m = Made{lngLength, strText, QString::number(lngLength) + QLatin1String(strText)};
    return m.description;
}
} // namespace

void Logging::RecordDataEvent(SocketPair* objSocketPair, const char* strErrorText, bool blnNextEventFollowOn, int intType,
                              const QByteArray& strData, const char* strText)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(strErrorText, [&] {
        auto h = FindHistory(objSocketPair);
        if (!h) return;
        auto ev = NewEvent(blnNextEventFollowOn, intType, DataDescription(strData.size(), strText), strData);
        LogEvent(objSocketPair, ev);
        RefreshRowLater(*h);
    });
}

void Logging::ClientBytesReceived(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn)
{
    RecordDataEvent(objSocketPair, kClientReceived, blnNextEventFollowOn, SocketEventType::ClientBytesReceived, strData,
                    " bytes of data has been received from the remote server.");
}

void Logging::ClientBytesBuffered(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn,
                                  bool blnBufferedBecauseOfDangling)
{
    if (blnBufferedBecauseOfDangling)
        RecordDataEvent(objSocketPair, kClientBuffered, blnNextEventFollowOn, SocketEventType::ClientBytesBufferedDangling,
                        strData, " bytes of data has been buffered. (Remote server is being dangled)");
    else
        RecordDataEvent(objSocketPair, kClientBuffered, blnNextEventFollowOn, SocketEventType::ClientBytesBuffered,
                        strData, " bytes of data has been buffered. (Previous action still in progress)");
}

void Logging::ServerBytesBuffered(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn,
                                  bool blnBufferedBecauseOfDangling)
{
    if (blnBufferedBecauseOfDangling)
        RecordDataEvent(objSocketPair, kServerBuffered, blnNextEventFollowOn, SocketEventType::ServerBytesBufferedDangling,
                        strData, " bytes of data has been buffered. (The remote client is being dangled)");
    else
        RecordDataEvent(objSocketPair, kServerBuffered, blnNextEventFollowOn, SocketEventType::ServerBytesBuffered,
                        strData, " bytes of data has been buffered. (Previous send to remote client is still in progress)");
}

void Logging::ServerBytesSendStart(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn,
                                   bool blnUsesThrottling)
{
    if (blnUsesThrottling)
        RecordDataEvent(objSocketPair, kServerSendStart, blnNextEventFollowOn, SocketEventType::ServerBytesSendStartThrottled,
                        strData, " bytes of throttled data has been sent to the remote client.");
    else
        RecordDataEvent(objSocketPair, kServerSendStart, blnNextEventFollowOn, SocketEventType::ServerBytesSendStart,
                        strData, " bytes of data has been sent to the remote client.");
}

void Logging::ServerBytesReceived(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn)
{
    RecordDataEvent(objSocketPair, kServerReceived, blnNextEventFollowOn, SocketEventType::ServerBytesReceived, strData,
                    " bytes of data has been received from the remote client.");
}

void Logging::ClientBytesSendStart(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn,
                                   bool blnUsesThrottling)
{
    if (blnUsesThrottling)
        RecordDataEvent(objSocketPair, kClientSendStart, blnNextEventFollowOn, SocketEventType::ClientBytesSendStartThrottled,
                        strData, " bytes of throttled data has been sent to the remote server.");
    else
        RecordDataEvent(objSocketPair, kClientSendStart, blnNextEventFollowOn, SocketEventType::ClientBytesSendStart,
                        strData, " bytes of data has been sent to the remote server.");
}

// A completed send closes the newest send event of that socket, throttled or
// not, so each send gets its own end time.
void Logging::StampSendStop(SocketPair* objSocketPair, const char* strErrorText, int intType, int intThrottledType)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(strErrorText, [&] {
        auto h = FindHistory(objSocketPair);
        if (!h) return;
        const auto& events = h->mobjSocketPairEvents;
        for (int i = events.Count(); i >= 1; --i) {
            const auto& ev = events.Item(i);
            if (ev->mobjEventType == intType || ev->mobjEventType == intThrottledType) {
                ev->mstrEventEndTime = General::GetSystemTimeString(true);
                break;
            }
        }
    });
}

void Logging::ServerBytesSendStop(SocketPair* objSocketPair)
{
    StampSendStop(objSocketPair, kServerSendStop, SocketEventType::ServerBytesSendStart,
                  SocketEventType::ServerBytesSendStartThrottled);
}

void Logging::ClientBytesSendStop(SocketPair* objSocketPair)
{
    StampSendStop(objSocketPair, kClientSendStop, SocketEventType::ClientBytesSendStart,
                  SocketEventType::ClientBytesSendStartThrottled);
}

void Logging::RecordBadState(SocketPair* objSocketPair, const char* strErrorText, int intType, const char* strText,
                             int lngError, const QString& strError, bool blnNextEventFollowOn)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(strErrorText, [&] {
        auto h = FindHistory(objSocketPair);
        if (!h) return;
        auto ev = NewEvent(blnNextEventFollowOn, intType,
                           QLatin1String(strText) + QString::number(lngError) + QStringLiteral(", ") + strError);
        h->mlngErrorNumber = lngError;
        h->mstrErrorString = strError;
        LogEvent(objSocketPair, ev);
        RefreshRow(ev, *h, false, false);
    });
}

void Logging::ServerInBadState(SocketPair* objSocketPair, int lngError, const QString& strError, bool blnNextEventFollowOn)
{
    RecordBadState(objSocketPair, kServerBadState, SocketEventType::ServerInBadState,
                   "The local server socket is in a error state: ", lngError, strError, blnNextEventFollowOn);
}

void Logging::ClientInBadState(SocketPair* objSocketPair, int lngError, const QString& strError, bool blnNextEventFollowOn)
{
    RecordBadState(objSocketPair, kClientBadState, SocketEventType::ClientInBadState,
                   "The local client socket is in a error state: ", lngError, strError, blnNextEventFollowOn);
}

void Logging::DanglingStatusChanged(SocketPair* objSocketPair, bool blnDanglingOn, int intDataBeingDangled,
                                    int lngTimeDuringDangle)
{
    if (!General::gblnLoggingEnabled || !objSocketPair) return;
    Trap(kDangling, [&] {
        auto h = FindHistory(objSocketPair);
        if (!h || intDataBeingDangled < 0 || intDataBeingDangled > 2) return;
        const QString duration = QString::number(lngTimeDuringDangle);
        if (intDataBeingDangled == 1 || intDataBeingDangled == 2) {
            auto ev = blnDanglingOn
                ? NewEvent(intDataBeingDangled == 2, SocketEventType::ClientDanglingStarted,
                           QStringLiteral("Remote client side dangling has started. No more data will be sent to the remote client for ")
                               + duration + QStringLiteral(" mSecs."))
                : NewEvent(intDataBeingDangled == 2, SocketEventType::ClientDanglingStopped,
                           QStringLiteral("Remote client side dangling has stopped."));
            LogEvent(objSocketPair, ev);
            RefreshRow(ev, *h, false, false);
        }
        if (intDataBeingDangled == 0 || intDataBeingDangled == 2) {
            auto ev = blnDanglingOn
                ? NewEvent(false, SocketEventType::ServerDanglingStarted,
                           QStringLiteral("Remote server side dangling has started. No more data will be sent to the remote server for ")
                               + duration + QStringLiteral(" mSecs."))
                : NewEvent(false, SocketEventType::ServerDanglingStopped,
                           QStringLiteral("Remote server side dangling has stopped."));
            LogEvent(objSocketPair, ev);
            RefreshRow(ev, *h, false, false);
        }
    });
}

// ---------------------------------------------------------------------------
// Tree loaders

void Logging::LoadAllProtocols(Listening* mobjListening)
{
    Trap(kLoadProtocols, [&] {
        tsy::KeyedTree* tree = SocketTree();
        if (!tree) return;
        const auto ports = tsy::Settings::GetAllSettings(QStringLiteral("PortsInUse"));
        for (const auto& [port, description] : ports) {
            bool listening = false;
            const QString socketKey = QStringLiteral("KEY") + port;
            if (mobjListening && mobjListening->mcolListeningSocket.Exists(socketKey)) {
                const tsy::Winsock* socket = mobjListening->mcolListeningSocket.Item(socketKey);
                listening = socket && socket->State() == tsy::Winsock::sckListening;
            }
            const QString key = QStringLiteral("PROTO") + port;
            tree->Add(QStringLiteral("ROOT"), key,
                      description + QStringLiteral(" (") + port + QLatin1Char(')')
                          + (listening ? QString() : QStringLiteral(" - Not Listening")),
                      kImgProtocol);
            tree->SetTag(key, port);
        }
        if (tree->Exists(QStringLiteral("ROOT"))) tree->Select(QStringLiteral("ROOT"));
        if (frmMain::IsLoaded()) frmMain::Instance()->RefreshPaneTitles();
    });
}

void Logging::LoadAllCommsPartners(int lngListeningPort)
{
    Trap(kLoadPartners, [&] {
        tsy::KeyedTree* tree = SocketTree();
        if (!tree) return;
        const QString portKey = ProtocolKey(lngListeningPort);
        for (const auto& h : mobjSocketPairHistory) {
            if (h->mlngLocalServerPort != lngListeningPort) continue;
            const QString key = ConnectionKey(*h);
            if (tree->Exists(key)) continue;
            tree->Add(portKey, key, GetConnectionName(*h), kImgConnection);
            tree->SetTag(key, h->mstrRemoteClientIP + QLatin1Char(' ') + h->mstrRemoteServerIP);
        }
    });
}

void Logging::LoadAllConnections(const QString& strClientAddress, const QString& strServerAddress, int lngListeningPort)
{
    Trap(kLoadConnections, [&] {
        tsy::KeyedTree* tree = SocketTree();
        if (!tree) return;
        const QString partners = ConnectionKey(lngListeningPort, strClientAddress, strServerAddress);
        for (const auto& h : mobjSocketPairHistory) {
            if (h->mstrRemoteClientIP != strClientAddress || h->mstrRemoteServerIP != strServerAddress
                || h->mlngLocalServerPort != lngListeningPort)
                continue;
            tree->Add(partners, h->mstrSocketPairKey, SocketNodeText(*h),
                      h->mblnDead ? kImgSocketDisconnected : kImgSocket);
            tree->SetTag(h->mstrSocketPairKey, h->mstrSocketPairKey);
        }
    });
}

void Logging::LoadAllEvents(const QString& strSocketHistoryKey)
{
    Trap(kLoadEvents, [&] {
        if (frmMain::IsLoaded() && frmMain::Instance()->txtRealTime) frmMain::Instance()->txtRealTime->clear();
        auto h = mobjSocketPairHistory.Item(strSocketHistoryKey);
        tsy::KeyedTree* tree = SocketTree();
        if (!tree) return;
        const int held = h->mobjSocketPairEvents.Count();
        for (int i = 1; i <= held; ++i) {
            const auto& ev = h->mobjSocketPairEvents.Item(i);
            const QString key = strSocketHistoryKey + QLatin1Char('-') + QString::number(i);
            tree->Add(strSocketHistoryKey, key, ev->mstrDescription, kImgEvent);
            tree->SetTag(key, key);
            // Opening a socket replays the data of its newest 20 events.
            if (i > held - 20 && !ev->mstrData.isEmpty()) DisplayRealTimeData(ev, true);
        }
    });
}

// ---------------------------------------------------------------------------
// Real-time queues

void Logging::ManageRealTimeData(const std::shared_ptr<SocketEvent>& objEvent, SocketPair* objSocketPair)
{
    Trap(kManageRealTime, [&] {
        switch (objEvent->mobjEventType) {
        case SocketEventType::ClientBytesReceived:
        case SocketEventType::ClientBytesBuffered:
        case SocketEventType::ServerBytesBuffered:
        case SocketEventType::ServerBytesSendStart:
        case SocketEventType::ServerBytesReceived:
        case SocketEventType::ClientBytesSendStart: break;
        default: return;   // the dangled and throttled variants never reach the pane live
        }
        if (frmRealTimeData::Instance()->optRealTimeDisplay.Value(0) || IsSocketPairSelected(objSocketPair->SocketPairKey()))
            DisplayRealTimeData(objEvent);
    });
}

void Logging::DisplayRealTimeData(const std::shared_ptr<SocketEvent>& objEvent, bool blnDrawAtOnce)
{
    Trap(kDisplayRealTime, [&] {
        frmRealTimeData* rt = frmRealTimeData::Instance();
        if (!rt->chkShowRealTimeData->isChecked()) return;
        const auto ticked = [](const QCheckBox* box) { return frmRealTimeData::Value(box) != 0; };
        const int type = objEvent->mobjEventType;
        // The buffered types follow the box of the direction the data came
        // from, although they are drawn as the send they lead to.
        bool wanted = true;
        QString direction;
        int label = -1;
        switch (type) {
        case SocketEventType::ClientBytesReceived:
            wanted = ticked(rt->chkServerToTSY);
            direction = QStringLiteral("From: Remote server, To: TSY's internal socket client");
            label = 3;
            break;
        case SocketEventType::ClientBytesBuffered:
        case SocketEventType::ClientBytesSendStart:
            wanted = type == SocketEventType::ClientBytesBuffered
                         ? ticked(rt->chkServerToTSY) && ticked(rt->chkIncludeBufferedData)
                         : ticked(rt->chkTSYToServer);
            direction = QStringLiteral("From: TSY's internal socket client, To: Remote server");
            label = 1;
            break;
        case SocketEventType::ServerBytesBuffered:
        case SocketEventType::ServerBytesSendStart:
            wanted = type == SocketEventType::ServerBytesBuffered
                         ? ticked(rt->chkClientToTSY) && ticked(rt->chkIncludeBufferedData)
                         : ticked(rt->chkTSYToClient);
            direction = QStringLiteral("From: TSY's internal socket server, To: Remote client");
            label = 2;
            break;
        case SocketEventType::ServerBytesReceived:
            wanted = ticked(rt->chkClientToTSY);
            direction = QStringLiteral("From: Remote client, To: TSY's internal socket server");
            label = 0;
            break;
        default: break;   // reached through the replay only: always shown, plain
        }
        if (!wanted) return;

        // Built in one piece: every data event of a busy relay comes here.
        const QLatin1StringView crlf("\r\n");
        const bool stamp = rt->chkIncludeDateTimeStamp->isChecked();
        const bool withDirection = rt->chkIncludeDataDirection->isChecked() && !direction.isEmpty();
        const bool withDescription = rt->chkIncludeDescription->isChecked();
        QString preamble;
        preamble.reserve((stamp ? objEvent->mstrEventTime.size() : 0) + (withDirection ? direction.size() : 0)
                         + (withDescription ? objEvent->mstrDescription.size() : 0) + 6);
        if (stamp) preamble += objEvent->mstrEventTime;
        preamble += crlf;
        if (withDirection) {
            preamble += direction;
            preamble += crlf;
        }
        if (withDescription) {
            preamble += objEvent->mstrDescription;
            preamble += crlf;
        }
        const int colour = rt->chkColourCode->isChecked() && label >= 0 ? rt->ColourValue(label) : 0;

        gstrData.append(objEvent->mstrData);
        gstrPreamble.append(preamble);
        gcolColour.append(colour);
        DropHiddenRealTimeBlocks();
        if (blnDrawAtOnce) RunRealTimeWriter();
        else RequestRealTimeWriterRun();
    });
}

void Logging::DropHiddenRealTimeBlocks()
{
    // Follows the pane writer's own plan, block by block: where a block would
    // empty the pane, the blocks before it would never be seen, so they are
    // dropped now rather than kept, and formatted, for nothing. The plan goes
    // on from the last block's; it starts afresh from the pane as it is when
    // the writer (or anyone) has taken blocks or changed the pane since.
    frmRealTimeData* rt = frmRealTimeData::Instance();
    const qint64 limit = rt->PaneLimit();
    const qint64 pane = frmMain::IsLoaded() && frmMain::Instance()->txtRealTime ? frmMain::Instance()->RealTimePaneLength() : 0;
    const auto empties = [&](qsizetype i) {
        return frmRealTimeData::AddToPane(mlngPlannedLength, limit, rt->ShownLength(gstrData[i].size()), gstrPreamble[i]);
    };
    qsizetype firstSeen = 0;
    if (mlngPlannedBlocks + 1 == gstrData.size() && mlngPlannedFromPane == pane) {
        if (empties(gstrData.size() - 1)) firstSeen = gstrData.size() - 1;
    } else {
        mlngPlannedLength = pane;
        for (qsizetype i = 0; i < gstrData.size(); ++i)
            if (empties(i)) firstSeen = i;
    }
    for (; firstSeen > 0; --firstSeen) {
        gstrData.removeFirst();
        gstrPreamble.removeFirst();
        gcolColour.removeFirst();
    }
    mlngPlannedBlocks = gstrData.size();
    mlngPlannedFromPane = pane;
}

void Logging::RequestRealTimeWriterRun()
{
    // Drawing inside every event would make a fast relay crawl: runs are
    // coalesced to at most one every 100 ms (the pane's own timer interval),
    // each drawing everything queued.
    if (!mtmrRealTimeWriter) {
        mtmrRealTimeWriter = std::make_unique<QTimer>();
        mtmrRealTimeWriter->setSingleShot(true);
        QObject::connect(mtmrRealTimeWriter.get(), &QTimer::timeout, [this] { RunRealTimeWriter(); });
    }
    if (mtmrRealTimeWriter->isActive()) return;
    constexpr qint64 kInterval = 100;
    const qint64 since = mtimLastWriterRun.isValid() ? mtimLastWriterRun.elapsed() : kInterval;
    mtmrRealTimeWriter->start(int(std::clamp<qint64>(kInterval - since, 0, kInterval)));
}

void Logging::RunRealTimeWriter()
{
    mtimLastWriterRun.start();
    if (gstrData.isEmpty() || !frmMain::IsLoaded()) return;
    Trap(kDisplayRealTime, [] { frmMain::Instance()->tmrRealTimeData_Timer(); });
}

// Whether the connection lies on the path from the root to the tree's
// highlighted node; one of its event nodes does not count. Any failure (no
// highlighted node, no history, no node for its partners) answers false.
bool Logging::IsSocketPairSelected(const QString& strKey)
{
    const tsy::KeyedTree* tree = SocketTree();
    return tree && IsSocketPairUnder(strKey, tree->SelectedKey());
}

// The same path test for any node of the tree.
bool Logging::IsSocketPairUnder(const QString& strKey, const QString& strNode)
{
    try {
        const tsy::KeyedTree* tree = SocketTree();
        if (!tree || strNode.isEmpty()) return false;
        if (strNode == QLatin1String("ROOT")) return true;
        const SocketPairHistory& h = *mobjSocketPairHistory.Item(strKey);
        if (strNode == ProtocolKey(h.mlngLocalServerPort)) return true;
        const QString partners = ConnectionKey(h);
        if (!tree->Exists(partners)) return false;
        return strNode == partners || (strNode == strKey && tree->Exists(strKey));
    } catch (...) {
        return false;
    }
}

// ---------------------------------------------------------------------------
// Details list (the rows: LoggingDetails.cpp)

bool Logging::ShouldSocketDetailsBeUpdated()
{
    tsy::KeyedTree* tree = SocketTree();
    const QString selected = SelectedNodeKey();
    if (!tree || !tree->Exists(selected)) return false;
    const QString image = tree->Image(selected);
    return image == kImgAllActivity || image == kImgProtocol || image == kImgConnection;
}

// Whether the list shows connections and a click on its node, the one last
// clicked (not the highlight, which the keyboard moves without a refill),
// would list this one.
bool Logging::IsConnectionOfListedNode(const QString& strKey)
{
    return ShouldSocketDetailsBeUpdated() && IsSocketPairUnder(strKey, SelectedNodeKey());
}

// A connection whose attempt succeeded or failed has moved to other partners:
// it joins or leaves the listed partners' rows as a click there would show it.
void Logging::FollowMovedConnection(const SocketPairHistory& h)
{
    const bool listed = IsSocketListed(h.mstrSocketPairKey);
    if (IsConnectionOfListedNode(h.mstrSocketPairKey)) {
        if (!listed) AddConnectionRow(h);
    } else if (listed && ShouldSocketDetailsBeUpdated()) {
        RemoveRow(h.mstrSocketPairKey);
    }
}

// ---------------------------------------------------------------------------
// Purge

namespace {

// The purge limits as the options window holds them at this moment: what is
// typed there applies at the next pass, stored or not. Reading the window
// loads it, hidden.
struct PurgeOptions {
    bool discard = true;
    QString numberToKeep;
    QString maxMemorySize;
    QString maxEventCount;
    bool removeEphemeralReferences = true;
};

PurgeOptions ReadPurgeOptions()
{
    frmOptions* options = frmOptions::Instance();
    PurgeOptions o;
    o.discard = frmOptions::Value(options->chkDiscard) == 1;
    o.numberToKeep = options->txtNumberToKeep->text();
    o.maxMemorySize = options->txtMaxMemorySize->text();
    o.maxEventCount = options->txtMaximumEventCount->text();
    o.removeEphemeralReferences = frmOptions::Value(options->chkRemoveEphemeralPortReferences) == 1;
    return o;
}

} // namespace

void Logging::KillDeadSocketConnections()
{
    Trap(kKillDead, [&] {
        const PurgeOptions o = ReadPurgeOptions();
        if (o.discard) RemoveEmptyEphemeralPorts();

        const auto keep = tsy::Numbers::ParseNumeric(o.numberToKeep);
        const auto memory = tsy::Numbers::ParseNumeric(o.maxMemorySize);
        if (!keep || !memory || *keep < 0 || *memory < 0 || !o.discard) return;

        // Dead histories beyond the number to keep, oldest first; the live ones
        // passed count against the steps.
        const int histories = mobjSocketPairHistory.Count();
        if (*keep < histories) {
            const qint64 steps = qint64(tsy::Numbers::RoundHalfEven(histories - *keep));
            int position = 1;
            for (qint64 step = 0; step < steps && position <= mobjSocketPairHistory.Count(); ++step) {
                if (mobjSocketPairHistory.Item(position)->mblnDead && KillSocketHistory(position)) continue;
                ++position;
            }
        }

        // Dead histories while the data held exceeds the memory limit. A removal
        // that fails moves on, so one bad history cannot stall the pass.
        const double limitBytes = *memory * 1024.0;
        int position = 1;
        while (limitBytes < double(mlngTotalMemoryAllocated) && position <= mobjSocketPairHistory.Count()) {
            if (mobjSocketPairHistory.Item(position)->mblnDead && KillSocketHistory(position)) continue;
            ++position;
        }

        // Every history down to its newest events. A negative limit keeps
        // everything, like a negative number to keep, and so does one of 2^31
        // or more: no history can hold that many.
        const auto maxEvents = tsy::Numbers::ParseNumeric(o.maxEventCount);
        if (!maxEvents || *maxEvents < 0 || *maxEvents >= 2147483648.0) return;
        const qint64 limit = qint64(tsy::Numbers::RoundHalfEven(*maxEvents));
        tsy::KeyedTree* tree = SocketTree();
        const int count = mobjSocketPairHistory.Count();
        for (int i = 1; i <= count && i <= mobjSocketPairHistory.Count(); ++i) {
            const auto& h = mobjSocketPairHistory.Item(i);
            auto& events = h->mobjSocketPairEvents;
            if (events.Count() <= limit) continue;
            const qint64 excess = events.Count() - limit;
            const QString socketKey = h->mstrSocketPairKey;
            const bool shown = tree && tree->Exists(socketKey);
            if (shown) {
                tree->RemoveFirstChildren(socketKey, int(std::min<qint64>(excess, tree->Children(socketKey))));
                if (frmMain::IsLoaded()) frmMain::Instance()->gblnRequestRedraw = true;
            }
            for (qint64 n = 0; n < excess; ++n) {
                const qint64 length = events.Item(1)->mstrData.size();
                events.Remove(1);
                mobjHeapTrim.Freed(length);
                mlngTotalMemoryAllocated -= length;
                h->mlngMemoryAllocated -= length;
                --mlngTotalEvents;
            }
            if (shown) RenumberEventNodes(socketKey);
            if (frmMain::IsLoaded()) frmMain::Instance()->FollowSelectedEvent(*h);
            RefreshListedSocket(socketKey);
        }
    });
    if (mobjHeapTrim.AfterPass(mlngEventsLogged, mfnReadHeapUse)) TrimHeap();
}

// Event nodes are numbered by position; after the oldest went, the rest take
// the numbers from 1 again. Their tags keep the numbers they were added with.
void Logging::RenumberEventNodes(const QString& strSocketKey)
{
    tsy::KeyedTree* tree = SocketTree();
    const QString selected = tree->SelectedKey();
    const bool childSelected = tree->Exists(selected) && tree->ParentKey(selected) == strSocketKey;
    // Only the oldest went, so each key goes to a lower number that is
    // already free: the nodes keep their places instead of being rebuilt,
    // which under traffic happened at every purge pass.
    const bool renumbered = tree->RenumberChildren(strSocketKey, strSocketKey + QLatin1Char('-'));
    if (renumbered && childSelected) tree->Select(strSocketKey);
}

bool Logging::KillSocketHistory(int intPosition)
{
    return Trap(kKillHistory, [&] {
        const auto h = mobjSocketPairHistory.Item(intPosition);
        const QString key = h->mstrSocketPairKey;
        mlngTotalMemoryAllocated -= h->mlngMemoryAllocated;
        mlngTotalEvents -= h->mobjSocketPairEvents.Count();
        mobjHeapTrim.Freed(h->mlngMemoryAllocated);
        // The pair itself is unloaded by the main window's timer once terminated,
        // never from here: this can run inside one of that pair's own reports.
        if (General::gobjListening && General::gobjListening->mobjSocketPairs.Exists(key))
            General::gobjListening->mobjSocketPairs.Remove(key);
        tsy::KeyedTree* tree = SocketTree();
        if (tree && tree->Exists(key)) tree->Remove(key);
        if (IsSocketListed(key)) RemoveRow(key);
        // The diagram's history goes with the rest, not kept alive by it.
        if (frmMain::IsLoaded() && frmMain::Instance()->mobjCurrentHistory == h)
            frmMain::Instance()->mobjCurrentHistory.reset();
        mobjSocketPairHistory.Remove(intPosition);
    });
}

void Logging::RemoveEmptyEphemeralPorts()
{
    RemoveEmptyEphemeralPorts(ReadPurgeOptions().removeEphemeralReferences);
}

void Logging::RemoveEmptyEphemeralPorts(bool blnRemoveReferences)
{
    Trap(kRemoveEphemeral, [&] {
        const auto ports = tsy::Settings::GetAllSettings(QStringLiteral("PortsInUse"));
        for (const auto& [portText, description] : ports) {
            if (!description.contains(QLatin1String("Dynamically allocated"))) continue;
            const QString socketKey = QStringLiteral("KEY") + portText;
            Listening* listening = General::gobjListening;
            if (listening && listening->mcolListeningSocket.Exists(socketKey)) {
                const tsy::Winsock* socket = listening->mcolListeningSocket.Item(socketKey);
                if (socket && socket->State() == tsy::Winsock::sckListening) continue;
            }
            const int port = portText.toInt();
            int found = 0;
            for (int i = 1; i <= mobjSocketPairHistory.Count(); ++i) {
                if (mobjSocketPairHistory.Item(i)->mlngWasListeningOnPort == port) {
                    found = i;
                    break;
                }
            }
            if (found && !mobjSocketPairHistory.Item(found)->mblnDead) continue;
            if (found && !blnRemoveReferences) continue;
            tsy::KeyedTree* tree = SocketTree();
            const QString portKey = QStringLiteral("PROTO") + portText;
            if (tree && tree->Exists(portKey)) tree->Remove(portKey);
            General::DeleteEphemeralPort(port);
            if (found) KillSocketHistory(found);
        }
    });
}

void Logging::ClearAllData()
{
    Trap(kClearAll, [&] {
        const int steps = mobjSocketPairHistory.Count();
        int position = 1;
        for (int step = 0; step < steps && position <= mobjSocketPairHistory.Count(); ++step) {
            if (mobjSocketPairHistory.Item(position)->mblnDead && KillSocketHistory(position)) continue;
            ++position;
        }
        // Their dead histories are gone, so the reference switch does not matter here.
        RemoveEmptyEphemeralPorts(true);

        // The root through the tree's own click, which rebuilds the lower
        // levels and the list and resets what hangs on the selection.
        if (frmMain::IsLoaded()) {
            frmMain* main = frmMain::Instance();
            if (main->tvwSockets->Exists(QStringLiteral("ROOT"))) main->tvwSockets->Select(QStringLiteral("ROOT"));
            main->tvwSockets_NodeClick(QStringLiteral("ROOT"));
        }
        if (frmMain::IsLoaded() && frmMain::Instance()->txtRealTime) frmMain::Instance()->txtRealTime->clear();
    });
}
