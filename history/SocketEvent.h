#pragma once
// One recorded socket event of a connection.
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

// The kinds of event. "Client" means the program's local client socket (facing
// the remote server); "Server" its local server socket (facing the remote client).
namespace SocketEventType {
enum : int {
    LocalServerAcceptedConnection = 0,
    LocalServerRejectedConnection = 1,
    ConnectionAttemptToRemoteServer = 2,
    ConnectionAttemptFailed = 3,
    ConnectionAttemptSuccessful = 4,
    RemoteServerDisconnected = 5,
    LocalServerDisconnected = 6,
    RemoteClientDisconnected = 7,
    LocalClientDisconnected = 8,
    ClientBytesReceived = 9,
    ClientBytesBuffered = 10,
    ClientBytesBufferedDangling = 11,
    ServerBytesBuffered = 12,
    ServerBytesBufferedDangling = 13,
    ServerBytesSendStart = 14,
    ServerBytesSendStartThrottled = 15,
    ServerBytesReceived = 16,
    ClientBytesSendStart = 17,
    ClientBytesSendStartThrottled = 18,
    ServerInBadState = 19,
    ClientInBadState = 20,
    ServerDanglingStarted = 21,
    ClientDanglingStarted = 22,
    ServerDanglingStopped = 23,
    ClientDanglingStopped = 24,
};
} // namespace SocketEventType

class SocketEvent {
public:
    QString mstrEventTime;        // hh:mm:ss.mmm when logged
    QString mstrEventEndTime;     // when the send it reports completed (send events only)
    int mobjEventType = 0;        // a SocketEventType value
    QByteArray mstrData;          // relayed bytes of a data event, shared with the relay (no copy)
    QString mstrDescription;
    bool mblnNextEventFollowOn = false;
    QString mstrErrorString;      // failed connection attempts only
    int mlngErrorNumber = 0;
    QPointer<QObject> mobjUIObject;   // the diagram element drawing this event, while drawn
};
