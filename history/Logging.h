#pragma once
// The one event recorder: every socket event of every connection becomes a
// SocketEvent in that connection's SocketPairHistory, and is fanned out to
// the tree, the list, the real-time pane, the diagram, the log and the tray.
#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QElapsedTimer>
#include <functional>
#include <memory>

#include "history/HeapTrim.h"
#include "history/SocketEvent.h"
#include "history/SocketPairHistory.h"
#include "platform/KeyedCollection.h"
#include "platform/PairKeyMap.h"

class SocketPair;
class Listening;
class QTimer;
class QTreeWidgetItem;
namespace tsy { class KeyedTree; }

class Logging {
public:
    Logging();
    ~Logging();

    // Real-time queues: parallel, first in first out; the pane writer takes
    // the front entry of all three together.
    QList<QByteArray> gstrData;
    QList<QString> gstrPreamble;
    QList<int> gcolColour;            // 0x00BBGGRR, 0 = plain text
    // Draws every queued block into the main window's pane now (nothing when
    // there is no main window); a failure is reported and leaves the rest queued.
    void RunRealTimeWriter();

    // Every connection's history under its pair key, oldest first; the keys
    // it holds are not handed out again.
    tsy::KeyedCollection<std::shared_ptr<SocketPairHistory>, tsy::PairKeyMap> mobjSocketPairHistory;
    qint64 mlngTotalMemoryAllocated = 0;   // data length of all events held
    qint64 mlngTotalEvents = 0;            // events held

    // Connection lifecycle.
    void LocalServerAcceptedConnection(SocketPair* objSocketPair, bool blnNextEventFollowOn, int lngWasListeningOnPort);
    void LocalServerRejectedConnection(SocketPair* objSocketPair, bool blnNextEventFollowOn, int lngWasListeningOnPort);
    void ConnectionAttemptToRemoteServer(SocketPair* objSocketPair, const QString& strRemoteServer, int lngRemotePort, bool blnNextEventFollowOn);
    void ConnectionAttemptFailed(SocketPair* objSocketPair, bool blnNextEventFollowOn, const QString& strError, int lngErrorNumber);
    void ConnectionAttemptSuccessful(SocketPair* objSocketPair, bool blnNextEventFollowOn, const QString& strComment);
    void RemoteServerDisconnected(SocketPair* objSocketPair, bool blnNextEventFollowOn, const QString& strComment);
    void LocalServerDisconnected(SocketPair* objSocketPair, bool blnNextEventFollowOn);
    void RemoteClientDisconnected(SocketPair* objSocketPair, bool blnNextEventFollowOn);
    void LocalClientDisconnected(SocketPair* objSocketPair, bool blnNextEventFollowOn);

    // Data. The bytes are kept by sharing the QByteArray, never copied.
    void ClientBytesReceived(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn);
    void ClientBytesBuffered(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn, bool blnBufferedBecauseOfDangling);
    void ServerBytesBuffered(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn, bool blnBufferedBecauseOfDangling);
    void ServerBytesSendStart(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn, bool blnUsesThrottling);
    void ServerBytesSendStop(SocketPair* objSocketPair);
    void ServerBytesReceived(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn);
    void ClientBytesSendStart(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn, bool blnUsesThrottling);
    void ClientBytesSendStop(SocketPair* objSocketPair);

    // Socket errors, names, protocol, death.
    void ServerInBadState(SocketPair* objSocketPair, int lngError, const QString& strError, bool blnNextEventFollowOn);
    void ClientInBadState(SocketPair* objSocketPair, int lngError, const QString& strError, bool blnNextEventFollowOn);
    void GotNameOfRemoteServer(SocketPair* objSocketPair, const QString& strName);
    void GotNameOfRemoteClient(SocketPair* objSocketPair, const QString& strName);
    void GotProtocol(SocketPair* objSocketPair, const QString& strProtocol);
    void Dead(SocketPair* objSocketPair);

    // Tree loaders: fill one level of frmMain::tvwSockets from the histories.
    void LoadAllCommsPartners(int lngListeningPort);
    void LoadAllConnections(const QString& strClientAddress, const QString& strServerAddress, int lngListeningPort);
    void LoadAllProtocols(Listening* mobjListening);
    void LoadAllEvents(const QString& strSocketHistoryKey);

    // Details list: refill for the selected node's image.
    void RefreshAllDetails(const QString& strImage);

    // Purge.
    void KillDeadSocketConnections();
    void RemoveEmptyEphemeralPorts();
    void ClearAllData();
    // When the purge gives freed memory back to the system; tests replace
    // the reader of the heap's use and count the trims.
    HeapTrim mobjHeapTrim;
    std::function<HeapUse()> mfnReadHeapUse = ReadHeapUse;
    qint64 mlngEventsLogged = 0;   // every event ever logged, purged or not

    void DanglingStatusChanged(SocketPair* objSocketPair, bool blnDanglingOn, int intDataBeingDangled, int lngTimeDuringDangle);

    // Text of a partners' node: "client (name) to server (name)".
    QString GetConnectionName(const SocketPairHistory& objHistory);

    // Tree keys.
    static QString ProtocolKey(int lngPort);
    static QString ConnectionKey(int lngPort, const QString& strClient, const QString& strServer);
    static QString ConnectionKey(const SocketPairHistory& objHistory);

    // The tree the history is shown in (General::SocketTree()); null when none.
    static tsy::KeyedTree* SocketTree();

    // Called with a step name before each step of LogEvent and Dead; lets tests
    // prove that a failing step never skips the later ones.
    std::function<void(const char* strStep)> mfnBeforeStep;

private:
    void LogEvent(SocketPair* objSocketPair, const std::shared_ptr<SocketEvent>& objEvent);

    // Fan-out targets of LogEvent.
    bool IsRealTimeDataShown();
    bool IsRealTimeLoggingOn();
    void AddConnectionDiagramEvent(const std::shared_ptr<SocketPairHistory>& objHistory);
    void SaveEventToLogFile(SocketPair* objSocketPair, const std::shared_ptr<SocketEvent>& objEvent);
    void SignalDataSent(bool blnToServer);

    // Real-time queues.
    void ManageRealTimeData(const std::shared_ptr<SocketEvent>& objEvent, SocketPair* objSocketPair);
    // Live blocks are drawn by a coalesced writer run; the replay draws at once.
    void DisplayRealTimeData(const std::shared_ptr<SocketEvent>& objEvent, bool blnDrawAtOnce = false);
    bool IsSocketPairSelected(const QString& strKey);
    bool IsSocketPairUnder(const QString& strKey, const QString& strNode);
    void RequestRealTimeWriterRun();
    // Drops the queued blocks that a newer queued block would empty the pane
    // of before they could be seen.
    void DropHiddenRealTimeBlocks();

    // Details list rows.
    void RefreshDetails(QTreeWidgetItem* objRow, const SocketPairHistory& objHistory);
    void RefreshListedSocket(const QString& strSocketKey);
    bool IsSocketListed(const QString& strKey);
    bool ShouldSocketDetailsBeUpdated();
    bool IsConnectionOfListedNode(const QString& strKey);
    void FollowMovedConnection(const SocketPairHistory& objHistory);
    void RemoveProvisionalNodeWhenNoneWaits(int lngPort, const QString& strClient);
    void UpdateDetails(const std::shared_ptr<SocketEvent>& objEvent, const SocketPairHistory& objHistory);
    void UpdateConnectionDetails(const std::shared_ptr<SocketEvent>& objEvent, const SocketPairHistory& objHistory);
    void UpdateByteColumns(const SocketPairHistory& objHistory);
    void AddConnectionRow(const SocketPairHistory& objHistory);
    void AddEventRow(const QString& strPairKey, int lngEventNumber, const SocketEvent& objEvent);
    void SetRowColumn(const QString& strKey, int intColumn, const QString& strText);
    void ShowPeerName(const SocketPairHistory& h, int intColumn, const QString& strIP, int lngPort,
                      const QString& strName);
    void SetRowIcon(const QString& strKey, const QString& strImage);
    void RemoveRow(const QString& strKey);
    void RefreshRow(const std::shared_ptr<SocketEvent>& objEvent, const SocketPairHistory& objHistory,
                    bool blnServerName, bool blnBytes);
    // Data events come many to a paint: their rows are refreshed together,
    // from the history, at most kRowRefreshMs later.
    void RefreshRowLater(const SocketPairHistory& objHistory);
    void RefreshPendingRows();
    static constexpr int kRowRefreshMs = 40;

    // Purge.
    bool KillSocketHistory(int intPosition);   // false when it failed (reported)
    void RemoveEmptyEphemeralPorts(bool blnRemoveReferences);
    void RenumberEventNodes(const QString& strSocketKey);

    // Shared pieces of the event members.
    std::shared_ptr<SocketEvent> NewEvent(bool blnNextEventFollowOn, int intType, const QString& strDescription,
                                          const QByteArray& strData = QByteArray());
    std::shared_ptr<SocketPairHistory> FindHistory(SocketPair* objSocketPair) const;
    void AddNewConnectionNodes(const SocketPairHistory& objHistory);
    void RecordSimpleEvent(SocketPair* objSocketPair, bool blnNextEventFollowOn, int intType,
                           const QString& strDescription, const char* strErrorText);
    void RecordDataEvent(SocketPair* objSocketPair, const char* strErrorText, bool blnNextEventFollowOn, int intType,
                         const QByteArray& strData, const char* strText);
    void RecordBadState(SocketPair* objSocketPair, const char* strErrorText, int intType, const char* strText,
                        int lngError, const QString& strError, bool blnNextEventFollowOn);
    void StampSendStop(SocketPair* objSocketPair, const char* strErrorText, int intType, int intThrottledType);

    int mintEventsSincePurge = 0;
    std::unique_ptr<QTimer> mtmrRealTimeWriter;   // one pending writer run at most
    QElapsedTimer mtimLastWriterRun;
    // The writer's plan for the queued blocks: the pane's length after them,
    // how many there were and the pane's length the plan started from.
    qint64 mlngPlannedLength = 0;
    qsizetype mlngPlannedBlocks = 0;
    qint64 mlngPlannedFromPane = 0;
    std::unique_ptr<QTimer> mtmrRowRefresh;
    QSet<QString> mPendingRows;
};
