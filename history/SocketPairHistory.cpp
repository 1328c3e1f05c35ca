#include "history/SocketPairHistory.h"

qint64 SocketPairHistory::AddEvent(const std::shared_ptr<SocketEvent>& objEvent)
{
    mobjSocketPairEvents.Add(objEvent, QStringLiteral("KEY") + QString::number(mlngEventCount));
    ++mlngEventCount;

    const int count = mobjSocketPairEvents.Count();
    if (count > 1)
        mblnPreviousEventFollowOn = mobjSocketPairEvents.Item(count - 1)->mblnNextEventFollowOn;

    // The totals count what each peer actually sent us: bytes received from the
    // remote client are client-to-server, bytes received from the remote server
    // server-to-client. Buffered and sent events repeat those bytes.
    const qint64 length = objEvent->mstrData.size();
    switch (objEvent->mobjEventType) {
    case SocketEventType::ServerBytesReceived: mlngBytesC2S += length; break;
    case SocketEventType::ClientBytesReceived: mlngBytesS2C += length; break;
    default: break;
    }
    mlngMemoryAllocated += length;
    return length;
}
