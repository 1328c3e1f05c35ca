#include "protocols/ProtocolFTP.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "history/Logging.h"
#include "platform/KeyedTree.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/FtpRouting.h"
#include "protocols/ProtocolPropertyPage.h"
#include "protocols/frmProtocolFTPPP.h"

#include <QObject>
#include <QTimer>
#include <stdexcept>
#include <utility>

namespace {

const QString kEphemeralTag = QStringLiteral("Ephemeral");
const int kMaxDataPortTries = 10;
const int kDataConnectionDescriptors = 3;

QString Sentence(const QString& strAction, int lngNumber, const QString& strDescription)
{
    return QStringLiteral("An error occurred while attempting to %1.  The operating system reports: %2, %3")
        .arg(strAction)
        .arg(lngNumber)
        .arg(strDescription);
}

// Logs the failure being handled as one of the action.
void LogCurrentFailure(const QString& strAction)
{
    General::LogFailure(QStringLiteral("An error occurred while attempting to ") + strAction
                            + QStringLiteral(".  The operating system reports: "),
                        std::current_exception());
}

QString PassThroughSection(int lngPort) { return QStringLiteral("Protocols\\Pass Through\\Port %1").arg(lngPort); }

} // namespace

ProtocolFTP::ProtocolFTP() = default;
ProtocolFTP::~ProtocolFTP() { ConnectionEnded(); }

void ProtocolFTP::ConnectionEnded()
{
    Listening* listening = General::gobjListening;
    const auto ports = std::exchange(mcolDataPorts, {});
    if (!listening) return;
    for (const QPointer<tsy::Winsock>& port : ports) listening->RetireUnusedOneShotPort(port.data());
}

void ProtocolFTP::ShowProperties(int lngPort, QWidget* frmParent)
{
    ShowPropertyPage<frmProtocolFTPPP>(this, lngPort, frmParent);
}

QString ProtocolFTP::ActionPhrase(Member m) const
{
    switch (m) {
    case Member::LocalServerAcceptedConnection: return QStringLiteral("accept the remote client's connection request");
    case Member::ClientBytesReceived: return QStringLiteral("process the data that arrived on the local client");
    case Member::ClientBytesSent: return QStringLiteral("process the completion of the data being sent through the local client");
    case Member::RemoteClientInitiatedDisconnection: return QStringLiteral("process the local client's disconnection");
    case Member::ServerBytesReceived: return QStringLiteral("process data arriving on the local server");
    case Member::ServerError: return QStringLiteral("process an error on the local server");
    case Member::ClientError: return QStringLiteral("process an error on the local client");
    case Member::ServerBytesSent: return QStringLiteral("process the completion of the data being sent on the local server");
    case Member::SendDataToRemoteClient: return QStringLiteral("process the data to be sent to the remote client");
    default: return ProtocolRelay::ActionPhrase(m);
    }
}

void ProtocolFTP::LocalServerAcceptedConnection()
{
    Trap(Member::LocalServerAcceptedConnection, [&] {
        CommonOpening(false);
        SendDataToRemoteClient(QByteArrayLiteral("220 Tessaly FTP Server\r\n"));
    });
}

// ---- client to server ---------------------------------------------------------

void ProtocolFTP::ServerBytesReceived(const QByteArray& strData)
{
    Trap(Member::ServerBytesReceived, [&] {
        Log().ServerBytesReceived(&Pair(), strData, true);
        if (!Pair().ClientInitialised()) {
            ServerBytesBeforeConnected(strData);
            return;
        }
        ClientDataArrived(strData);
        UpdateBackPressure();
    });
}

void ProtocolFTP::ServerBytesBeforeConnected(const QByteArray& strData)
{
    if (mblnRequestRouted) {
        AppendC2S(strData, false);
        UpdateBackPressure();
        return;
    }
    // Commands before the login get our own reply: routed, they would name
    // a host that does not exist.
    QByteArray strLine;
    if (!TakeLogin(strData, "USER", FtpRouting::kLogInFirstReply, FtpRouting::kGoodbyeReply, strLine)) return;
    mblnRequestRouted = true;
    QString strHost;
    int lngPort = 0;
    RouteFtpRequest(strLine, strHost, lngPort);
    // Held until the server's greeting; queued before the attempt starts (an
    // attempt that cannot start ends the pair and drops it).
    mvarC2SBuffer.append(strLine);
    mblnHoldingRequest = true;
    ConnectAttempt(strHost, lngPort);
}

void ProtocolFTP::ClientDataArrived(const QByteArray& strData)
{
    if (mblnRewritingC2S) {
        // A PORT command of ours is being rewritten: this goes out after it.
        mcolC2SDuringRewrite.append(strData);
        return;
    }
    ProcessClientData(strData);
    DrainClientData();
}

void ProtocolFTP::DrainClientData()
{
    while (!mblnRewritingC2S && !mcolC2SDuringRewrite.isEmpty() && !PairEnded())
        ProcessClientData(mcolC2SDuringRewrite.takeFirst());
    if (PairEnded()) mcolC2SDuringRewrite.clear();
}

void ProtocolFTP::ProcessClientData(const QByteArray& strData)
{
    // Declined even while this direction is stalled: held, the command would
    // reach the server later and open a data connection around the proxy.
    if (!mblnHoldingRequest && FtpRouting::IsExtendedDataCommand(strData)) {
        DeclineExtendedDataCommand(strData);
        return;
    }
    if (C2SDangling()) {
        AppendC2S(strData, true);
        return;
    }
    if (mblnHoldingRequest) {
        // The USER line still waits for the server's greeting: keep the order.
        AppendC2S(strData, false);
        return;
    }
    if (FtpRouting::IsPortCommand(strData)) {
        mblnRewritingC2S = true;
        Defer([this, strData] { RewritePortCommandAndRelay(strData); });
        return;
    }
    RelayToRemoteServer(strData);
}

void ProtocolFTP::DeclineExtendedDataCommand(const QByteArray& strData)
{
    QByteArray strReply = strData;
    const FtpRouting::RewriteResult r = FtpRouting::DeclineExtendedDataCommand(strReply);
    SendDataToRemoteClient(strReply);
    if (!r.strRest.isEmpty() && !PairEnded()) ProcessClientData(r.strRest);
}

void ProtocolFTP::RewritePortCommandAndRelay(const QByteArray& strData)
{
    Trap(Member::ServerBytesReceived, [&] {
        QByteArray strCommand = strData;
        QByteArray strRest;
        bool blnForward = false;
        if (!PairEnded()) {
            try {
                blnForward = RouteFtpPortCommand(strCommand, strRest);   // processes events
            } catch (...) {
                mblnRewritingC2S = false;
                throw;
            }
        }
        mblnRewritingC2S = false;
        // The connection may have ended while the data port was opened.
        if (PairEnded()) {
            mcolC2SDuringRewrite.clear();
            return;
        }
        if (blnForward) RelayToRemoteServer(strCommand);
        else SendDataToRemoteClient(strCommand);
        // Further commands sent in the same chunk are examined like any
        // other client data: a second PORT is rewritten too.
        if (!strRest.isEmpty() && !PairEnded()) ProcessClientData(strRest);
        DrainClientData();
        UpdateBackPressure();
    });
}

void ProtocolFTP::RelayToRemoteServer(const QByteArray& strData)
{
    ForwardC2S(strData);
}

void ProtocolFTP::SendDataToRemoteServer(const QByteArray& strData)
{
    try {
        if (Pair().ClientState() == tsy::Winsock::sckConnected) {
            if (mblnC2SSendInProgress) {
                AppendC2S(strData, false);
            } else {
                mblnC2SSendInProgress = true;
                mblnC2SSendOutstanding = true;
                mvarC2SBuffer.append(strData);
                SendC2S(mvarC2SBuffer.takeAll());
            }
        } else {
            EndC2SInBadState(true);
        }
    } catch (...) {
        LogCurrentFailure(QStringLiteral("process the data to be sent to the remote server (FTP)"));
    }
}

// ---- server to client ---------------------------------------------------------

void ProtocolFTP::ClientBytesReceived(const QByteArray& strData)
{
    Trap(Member::ClientBytesReceived, [&] {
        if (FtpRouting::IsServerGreeting(strData)) {
            // The client had our own greeting; this one releases the held text.
            Log().ClientBytesReceived(&Pair(), strData, false);
            mblnHoldingRequest = false;
            const QByteArray strHeld = mvarC2SBuffer.takeAll();
            if (!strHeld.isEmpty()) SendDataToRemoteServer(strHeld);
            UpdateBackPressure();
            return;
        }
        Log().ClientBytesReceived(&Pair(), strData, true);
        ServerDataArrived(strData);
        UpdateBackPressure();
    });
}

void ProtocolFTP::ServerDataArrived(const QByteArray& strData)
{
    if (mblnRewritingS2C) {
        mcolS2CDuringRewrite.append(strData);
        return;
    }
    ProcessServerData(strData);
    DrainServerData();
}

void ProtocolFTP::DrainServerData()
{
    while (!mblnRewritingS2C && !mcolS2CDuringRewrite.isEmpty() && !PairEnded())
        ProcessServerData(mcolS2CDuringRewrite.takeFirst());
    if (PairEnded()) mcolS2CDuringRewrite.clear();
}

void ProtocolFTP::ProcessServerData(const QByteArray& strData)
{
    if (FtpRouting::IsPasvReply(strData)) {
        mblnRewritingS2C = true;
        Defer([this, strData] { RewritePasvReplyAndRelay(strData); });
        return;
    }
    RelayToRemoteClient(strData);
}

void ProtocolFTP::RewritePasvReplyAndRelay(const QByteArray& strData)
{
    Trap(Member::ClientBytesReceived, [&] {
        QByteArray strReply = strData;
        QByteArray strRest;
        bool blnForward = false;
        if (!PairEnded()) {
            try {
                blnForward = RouteFtpPasvReply(strReply, strRest);   // processes events
            } catch (...) {
                mblnRewritingS2C = false;
                throw;
            }
        }
        mblnRewritingS2C = false;
        if (PairEnded()) {
            mcolS2CDuringRewrite.clear();
            return;
        }
        if (blnForward) RelayToRemoteClient(strReply);
        else SendDataToRemoteClient(strReply);
        if (!strRest.isEmpty() && !PairEnded()) ProcessServerData(strRest);
        DrainServerData();
        UpdateBackPressure();
    });
}

void ProtocolFTP::RelayToRemoteClient(const QByteArray& strData)
{
    if (S2CDangling()) AppendS2C(strData, true);
    else ForwardS2C(strData);
}

// ---- routing and rewriting ------------------------------------------------------

bool ProtocolFTP::RouteFtpRequest(QByteArray& strRequest, QString& strHostName, int& lngPort)
{
    try {
        FtpRouting::RoutingError err;
        if (FtpRouting::RouteFtpRequest(strRequest, strHostName, lngPort, &err)) return true;
        frmError::LogError(Sentence(QStringLiteral("route the FTP request (FTP)"), err.lngError, err.strError));
    } catch (...) {
        LogCurrentFailure(QStringLiteral("route the FTP request (FTP)"));
    }
    return false;
}

namespace {

FtpRouting::DataPortOpener Opener(ProtocolFTP* handler)
{
    return [handler](const QString& strIP, int lngRemotePort) {
        FtpRouting::DataPortResult r;
        const QString name = QString::fromLatin1(FtpRouting::kDataPortName);
        r.blnOK = handler->StartListeningOnRandomPort(r.lngPort, name, r.lngError, r.strError, name, lngRemotePort, strIP);
        return r;
    };
}

} // namespace

bool ProtocolFTP::RouteFtpPortCommand(QByteArray& strCommand, QByteArray& strRest)
{
    try {
        const FtpRouting::RewriteResult r = FtpRouting::RouteFtpPortCommand(strCommand, Pair().LocalClientIP(), Opener(this));
        if (!r.strLog.isEmpty()) frmError::LogError(r.strLog);
        strRest = r.strRest;
        return r.blnForward;
    } catch (...) {
        int n = 0;
        QString d;
        DescribeFailure(std::current_exception(), n, d);
        frmError::LogError(Sentence(QStringLiteral("route the PORT command (FTP)"), n, d));
        strCommand = FtpRouting::ErrorReply(d);
        strRest.clear();
        return false;
    }
}

bool ProtocolFTP::RouteFtpPasvReply(QByteArray& strReply, QByteArray& strRest)
{
    const QByteArray strOriginal = strReply;
    try {
        const FtpRouting::RewriteResult r = FtpRouting::RouteFtpPasvReply(strReply, Pair().LocalClientIP(), Opener(this));
        if (!r.strLog.isEmpty()) frmError::LogError(r.strLog);
        strRest = r.strRest;
        return r.blnForward;
    } catch (...) {
        LogCurrentFailure(QStringLiteral("route the PASV command (FTP)"));
        strReply = strOriginal;
        strRest.clear();
        return false;
    }
}

// ---- data ports -------------------------------------------------------------------

bool ProtocolFTP::PortTaken(int lngPort) const
{
    // A port of the port table, or one a socket of ours listens on, is never
    // taken over: its settings and socket belong to someone else.
    if (tsy::Settings::KeyExists(QStringLiteral("Protocols"), QString::number(lngPort))) return true;
    Listening* listening = General::gobjListening;
    if (!listening) return false;
    for (int i = 1; i <= listening->HighestElement(); ++i) {
        tsy::Winsock* s = listening->SocketElement(i);
        if (s && s->LocalPort() == lngPort && s->State() == tsy::Winsock::sckListening) return true;
    }
    return false;
}

bool ProtocolFTP::StartListeningOnRandomPort(int& lngPort, const QString& strDescription, int& lngError, QString& strError,
                                             const QString& strName, int lngRemotePort, const QString& strIP)
{
    try {
        Listening* listening = General::gobjListening;
        if (!listening) throw std::runtime_error("The listening side is not running");
        const QString protocols = QStringLiteral("Protocols");
        const QString portsInUse = QStringLiteral("PortsInUse");
        // The data connection belongs to a session already served: its
        // descriptors (the port's own, the accepted socket, the socket to the
        // far side) are set aside now, or no port is opened. What is not used
        // goes back when the port closes, or here when none opens.
        tsy::DescriptorClaim claim;
        for (int intTries = 1;; ++intTries) {
            lngPort = FtpRouting::RandomDataPort(tsy::Runtime::Rnd());
            const QString key = QString::number(lngPort);
            tsy::Winsock* sock = nullptr;
            bool blnListening = false;
            if (!claim && !(claim = tsy::Descriptors::SetAside(kDataConnectionDescriptors))) {
                lngError = tsy::SockErr::TooManySockets;
                strError = QStringLiteral("Too many open sockets");
                return false;
            }
            if (PortTaken(lngPort)) {
                lngError = tsy::SockErr::AddressInUse;
                strError = QStringLiteral("Address already in use");
            } else {
                tsy::Settings::SaveSetting(protocols, key, strName);
                tsy::Settings::SaveSetting(PassThroughSection(lngPort), QStringLiteral("Port"), QString::number(lngRemotePort));
                tsy::Settings::SaveSetting(PassThroughSection(lngPort), QStringLiteral("Server"), strIP);
                tsy::Settings::SaveSetting(portsInUse, key, strName);
                blnListening = listening->StartListeningOnSocket(sock, lngPort, lngError, strError, &claim);
                if (!blnListening) {
                    tsy::Settings::DeleteSetting(protocols, key);
                    tsy::Settings::DeleteSetting(PassThroughSection(lngPort), QStringLiteral("Port"));
                    tsy::Settings::DeleteSetting(PassThroughSection(lngPort), QStringLiteral("Server"));
                    tsy::Settings::DeleteSetting(portsInUse, key);
                }
            }
            if (blnListening && sock) {
                sock->SetTag(kEphemeralTag);
                mcolDataPorts.append(sock);
                if (tsy::KeyedTree* tree = General::SocketTree(); tree && tree->Exists(QStringLiteral("ROOT"))) {
                    const QString nodeKey = QStringLiteral("PROTO") + key;
                    if (!General::NodeExists(nodeKey)) {
                        tree->Add(QStringLiteral("ROOT"), nodeKey, QStringLiteral("%1 (%2)").arg(strDescription, key),
                                  QStringLiteral("Protocol"));
                        tree->update();
                        tree->SetTag(nodeKey, lngPort);
                    } else {
                        tree->SetText(nodeKey, QStringLiteral("%1 (%2)").arg(tsy::Settings::GetSetting(portsInUse, key), key));
                        tree->update();
                    }
                }
                tsy::Runtime::DoEvents();
                return true;
            }
            if (lngError != tsy::SockErr::AddressInUse) return false;
            if (intTries >= kMaxDataPortTries) {
                frmError::LogError(QStringLiteral("An error occurred while attempting to listen on an Ephemeral port "
                                                  "(a short-lived random port in the range 1024-5000).  The operating "
                                                  "system reports: %1, %2")
                                       .arg(lngError)
                                       .arg(strError));
                return false;
            }
        }
    } catch (...) {
        LogCurrentFailure(QStringLiteral("listen on a random port"));
        return false;
    }
}

// ---- lifetimes ------------------------------------------------------------------------

void ProtocolFTP::Defer(std::function<void()> fn)
{
    if (!mobjDeferral) mobjDeferral = std::make_unique<QObject>();
    // The context object dies with the handler, cancelling what is pending;
    // the kept reference holds the handler while the call runs.
    QTimer::singleShot(0, mobjDeferral.get(), [keep = KeepAlive(), fn = std::move(fn)] { fn(); });
}

std::shared_ptr<ProtocolHandler> ProtocolFTP::KeepAlive() const
{
    if (mobjSocketPair && mobjSocketPair->mobjProtocolHandler.get() == this) return mobjSocketPair->mobjProtocolHandler;
    return {};
}

bool ProtocolFTP::PairEnded() const
{
    return !mobjSocketPair || mobjSocketPair->Dead() || mobjSocketPair->mblnTerminated;
}
