#pragma once
// The one event recorder: every socket event of every connection becomes a
// SocketEvent in that connection's SocketPairHistory, and is fanned out to
// the tree, the list, the real-time pane, the diagram, the log and the tray.
#include <QByteArray>
#include <QString>
#include <memory>

#include "platform/KeyedCollection.h"

class SocketPair;
class Listening;
class SocketPairHistory;

class Logging {
public:
    Logging();
    ~Logging();

    tsy::KeyedCollection<std::shared_ptr<SocketPairHistory>> mobjSocketPairHistory;

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

    // Data.
    void ClientBytesReceived(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn);
    void ClientBytesBuffered(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn, bool blnBufferedBecauseOfDangling);
    void ServerBytesBuffered(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn, bool blnBufferedBecauseOfDangling);
    void ServerBytesSendStart(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn, bool blnUsesThrottling);
    void ServerBytesSendStop(SocketPair* objSocketPair);
    void ServerBytesReceived(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn);
    void ClientBytesSendStart(SocketPair* objSocketPair, const QByteArray& strData, bool blnNextEventFollowOn, bool blnUsesThrottling);
    void ClientBytesSendStop(SocketPair* objSocketPair);

    // Socket errors, names, protocol, death, dangling.
    void ServerInBadState(SocketPair* objSocketPair, int lngError, const QString& strError, bool blnNextEventFollowOn);
    void ClientInBadState(SocketPair* objSocketPair, int lngError, const QString& strError, bool blnNextEventFollowOn);
    void GotNameOfRemoteClient(SocketPair* objSocketPair, const QString& strName);
    void GotProtocol(SocketPair* objSocketPair, const QString& strProtocol);
    void Dead(SocketPair* objSocketPair);
    void DanglingStatusChanged(SocketPair* objSocketPair, bool blnDanglingOn, int intDataBeingDangled, int lngTimeDuringDangle);

    // Tree and purge.
    void LoadAllProtocols(Listening* mobjListening);
    void KillDeadSocketConnections();
    void RemoveEmptyEphemeralPorts();
    void ClearAllData();
};
