#pragma once
// Which events share a row of a connection diagram: the rule the main
// window's diagram and the HTML export both draw by.
#include "history/SocketEvent.h"

namespace DiagramRows {

enum class Side { None, Client, Server };

// The side of the proxy on which an event type draws its arrow.
constexpr Side ArrowSide(int type)
{
    using namespace SocketEventType;
    switch (type) {
    case LocalServerAcceptedConnection:
    case LocalServerRejectedConnection:
    case LocalServerDisconnected:
    case RemoteClientDisconnected:
    case ServerBytesBuffered:
    case ServerBytesBufferedDangling:
    case ServerBytesSendStart:
    case ServerBytesSendStartThrottled:
    case ServerBytesReceived:
    case ServerInBadState:
    case ClientDanglingStarted:
    case ClientDanglingStopped:
        return Side::Client;
    case ConnectionAttemptToRemoteServer:
    case ConnectionAttemptFailed:
    case ConnectionAttemptSuccessful:
    case RemoteServerDisconnected:
    case LocalClientDisconnected:
    case ClientBytesReceived:
    case ClientBytesBuffered:
    case ClientBytesBufferedDangling:
    case ClientBytesSendStart:
    case ClientBytesSendStartThrottled:
    case ClientInBadState:
    case ServerDanglingStarted:
    case ServerDanglingStopped:
        return Side::Server;
    default:
        return Side::None;
    }
}

// Whether `next` joins the row of `previous`, the event just before it. A row
// holds one arrow on each side of the proxy: a follow-on joins only a row
// that `previous` started (`blnPreviousJoined` false) and only when its arrow
// falls on the other side. Otherwise it would take the place of an arrow
// already drawn, and that event could no longer be clicked or linked.
inline bool JoinsRow(const SocketEvent& previous, bool blnPreviousJoined, const SocketEvent& next)
{
    if (!previous.mblnNextEventFollowOn || blnPreviousJoined) return false;
    const Side a = ArrowSide(previous.mobjEventType);
    return a == Side::None || a != ArrowSide(next.mobjEventType);
}

} // namespace DiagramRows
