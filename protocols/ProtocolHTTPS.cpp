#include "protocols/ProtocolHTTPS.h"
#include "protocols/frmProtocolHTTPSPP.h"

#include "engine/SocketPair.h"
#include "history/Logging.h"

const QByteArray& ProtocolHTTPS::ConnectionEstablishedReply()
{
    static const QByteArray reply = QByteArrayLiteral(
        "HTTP/1.0 200 Connection established\r\n"
        "Proxy-agent: Netscape -Proxy / 1.1 \r\n"
        "\r\n");
    return reply;
}

void ProtocolHTTPS::ShowProperties(int lngPort, QWidget* frmParent)
{
    ShowPropertyPage<frmProtocolHTTPSPP>(this, lngPort, frmParent);
}

HttpRouting::RouteResult ProtocolHTTPS::Route(QByteArray& strData, const HttpRouting::RouteSettings& settings) const
{
    return HttpRouting::RouteHttpsRequest(strData, settings);
}

void ProtocolHTTPS::ConnectedToRemoteServer(const QString& strComment)
{
    Trap(Member::ConnectedToRemoteServer, [&] {
        SocketPair& pair = Pair();
        Log().ConnectionAttemptSuccessful(&pair, false, strComment);
        SendDataToRemoteClient(ConnectionEstablishedReply());
        // A client that left before the connection came up: the reply found
        // its socket closed and the connection has already been ended.
        if (pair.Dead()) return;
        FinishConnection();
    });
}
