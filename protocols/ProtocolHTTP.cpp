#include "protocols/ProtocolHTTP.h"
#include "protocols/frmProtocolHTTPPP.h"

#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "history/Logging.h"

void ProtocolHTTP::ShowProperties(int lngPort, QWidget* frmParent)
{
    ShowPropertyPage<frmProtocolHTTPPP>(this, lngPort, frmParent);
}

void ProtocolHTTP::LocalServerAcceptedConnection()
{
    // Nothing is sent and nothing attempted: the request names the server.
    Trap(Member::LocalServerAcceptedConnection, [&] { CommonOpening(false); });
}

void ProtocolHTTP::ServerBytesBeforeConnected(const QByteArray& strData)
{
    if (mblnRequestRouted) {
        // Routed once: later data (even a further request naming another
        // host) queues behind the first request for the same server, which
        // was asked to close after answering the first.
        AppendC2S(strData, false);
        return;
    }
    mblnRequestRouted = true;
    QByteArray strRequest = strData;
    QString strServerName;
    int lngServerPort = 0;
    RouteHttpRequest(strRequest, strServerName, lngServerPort);
    // Queued ahead of the attempt without a buffering report; an attempt that
    // cannot start ends the pair, and the request goes with it.
    if (ForwardsFirstData()) mvarC2SBuffer.append(strRequest);
    ConnectAttempt(strServerName, lngServerPort);
}

HttpRouting::RouteResult ProtocolHTTP::Route(QByteArray& strData, const HttpRouting::RouteSettings& settings) const
{
    return HttpRouting::RouteHttpRequest(strData, settings);
}

bool ProtocolHTTP::RouteHttpRequest(QByteArray& strData, QString& strServerName, int& lngServerPort)
{
    int lngError = 0;
    QString strError;
    try {
        const auto settings = HttpRouting::ReadRouteSettings(GetProtocolName(), Pair().LocalServerPort());
        const auto result = Route(strData, settings);
        strServerName = result.strServerName;
        lngServerPort = result.lngPort;
        if (!result.blnFailed) return true;
        lngError = result.lngError;
        strError = result.strError;
    } catch (...) {
        DescribeFailure(std::current_exception(), lngError, strError);
    }
    frmError::LogError(QStringLiteral("An error occurred while attempting to route the ") + GetProtocolName()
                       + QStringLiteral(" request (") + ProtocolWord() + QStringLiteral(").  The operating system reports: ")
                       + QString::number(lngError) + QStringLiteral(", ") + strError);
    return false;
}
