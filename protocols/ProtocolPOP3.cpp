#include "protocols/ProtocolPOP3.h"

#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "history/Logging.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/Pop3Routing.h"
#include "protocols/ProtocolPropertyPage.h"
#include "protocols/frmProtocolPOP3PP.h"

void ProtocolPOP3::ShowProperties(int lngPort, QWidget* frmParent)
{
    ShowPropertyPage<frmProtocolPOP3PP>(this, lngPort, frmParent);
}

void ProtocolPOP3::LocalServerAcceptedConnection()
{
    Trap(Member::LocalServerAcceptedConnection, [&] {
        CommonOpening(false);
        // Our own greeting: the mail server is chosen by the first command.
        SendDataToRemoteClient(QByteArrayLiteral("+OK\r\n"));
        mblnAwaitingServerGreeting = true;
    });
}

bool ProtocolPOP3::HoldingRequest() const
{
    return mblnAwaitingServerGreeting && mobjSocketPair && mobjSocketPair->ClientInitialised()
        && !mvarC2SBuffer.isEmpty() && !C2SDangling();
}

void ProtocolPOP3::ServerBytesReceived(const QByteArray& strData)
{
    if (!HoldingRequest()) {
        ProtocolRelay::ServerBytesReceived(strData);
        return;
    }
    // The routing command is still waiting for the mail server's greeting:
    // anything the client sends now queues behind it, so nothing overtakes it.
    Trap(Member::ServerBytesReceived, [&] {
        Log().ServerBytesReceived(&Pair(), strData, true);
        AppendC2S(strData, false);
        UpdateBackPressure();
    });
}

void ProtocolPOP3::ServerBytesBeforeConnected(const QByteArray& strData)
{
    if (mblnRequestRouted) {
        AppendC2S(strData, false);
        UpdateBackPressure();
        return;
    }
    // Commands before the login (CAPA, say) get our own reply: routed, they
    // would name no mail server.
    QByteArray strRequest;
    if (!TakeLogin(strData, "USER", Pop3Routing::kLogInFirstReply, Pop3Routing::kGoodbyeReply, strRequest)) return;
    mblnRequestRouted = true;
    QString strServerName;
    int lngServerPort = 0;
    RoutePop3Request(strRequest, strServerName, lngServerPort);
    // Held until the mail server has greeted. Queued before the attempt
    // starts; an attempt that cannot start ends the pair, dropping it.
    mvarC2SBuffer.append(strRequest);
    ConnectAttempt(strServerName, lngServerPort);
}

void ProtocolPOP3::ClientBytesReceived(const QByteArray& strData)
{
    bool blnHandled = true;
    Trap(Member::ClientBytesReceived, [&] {
        const bool blnGreeting = mblnAwaitingServerGreeting && Pop3Routing::IsPositiveGreeting(strData)
            && !mvarC2SBuffer.isEmpty() && Pair().ClientState() == tsy::Winsock::sckConnected;
        if (!blnGreeting) {
            blnHandled = false;
            return;
        }
        Log().ClientBytesReceived(&Pair(), strData, false);
        mblnC2SSendInProgress = true;
        mblnC2SSendOutstanding = true;
        SendC2S(mvarC2SBuffer.takeAll());
        UpdateBackPressure();
        // The client already had our "+OK": the server's greeting stops here.
        mblnAwaitingServerGreeting = false;
    });
    if (!blnHandled) ProtocolRelay::ClientBytesReceived(strData);
}

bool ProtocolPOP3::RoutePop3Request(QByteArray& strRequest, QString& strServerName, int& lngServerPort)
{
    bool blnResult = false;
    try {
        const QString section = QStringLiteral("Protocols\\POP3\\Port %1").arg(Pair().LocalServerPort());
        const QString strPort = tsy::Settings::GetSetting(section, QStringLiteral("Port"), QStringLiteral("110"));
        Pop3Routing::RoutingError err;
        blnResult = Pop3Routing::RoutePop3Request(strRequest, strServerName, lngServerPort, strPort, &err);
        if (err.lngError != 0)
            frmError::LogError(QStringLiteral("An error occurred while attempting to route the POP3 request (POP3).  "
                                              "The operating system reports: %1, %2")
                                   .arg(err.lngError)
                                   .arg(err.strError));
    } catch (...) {
        int n = 0;
        QString d;
        DescribeFailure(std::current_exception(), n, d);
        frmError::LogError(QStringLiteral("An error occurred while attempting to route the POP3 request (POP3).  "
                                          "The operating system reports: %1, %2")
                               .arg(n)
                               .arg(d));
    }
    return blnResult;
}
