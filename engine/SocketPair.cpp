// One relayed connection: turns every socket event and timer tick into a
// call of its protocol handler, and offers the handler connect, send (with
// throttling), close and the peers' addresses.
#include "engine/SocketPair.h"

#include "engine/General.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "platform/KeyedCollection.h"
#include "platform/LoadedWindows.h"
#include "platform/WindowTimer.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolHandler.h"

#include <exception>
#include <limits>

namespace {

// A failure inside an event of the pair is written to the error log so the
// program goes on; the handler is not told.
void LogEventFailure(const QString& strWhat, std::exception_ptr e)
{
    General::LogFailure(QStringLiteral("An error occurred while attempting to ") + strWhat
                            + QStringLiteral(".  The operating system reports: "),
                        e);
}

} // namespace

SocketPair::SocketPair(QObject* parent) : QObject(parent), mLeaving(std::make_shared<tsy::PeerLeaving>())
{
    sckServer = new tsy::Winsock(this);
    sckClient = new tsy::Winsock(this);
    // The outgoing socket takes the descriptor set aside when the request was taken.
    sckClient->DrawReserveFrom(sckServer);
    sckServer->ShareLeaving(mLeaving);
    sckClient->ShareLeaving(mLeaving);
    tmrC2SThrottleDataRequest = new tsy::WindowTimer(this);
    tmrS2CThrottleDataRequest = new tsy::WindowTimer(this);
    tmrDangleStartTimer = new tsy::WindowTimer(this);
    tmrDangleStopTimer = new tsy::WindowTimer(this);
    tmrTerminationTime = new tsy::WindowTimer(this);

    connect(sckClient, &tsy::Winsock::Connected, this, &SocketPair::sckClient_Connect);
    connect(sckClient, &tsy::Winsock::DataArrival, this, &SocketPair::sckClient_DataArrival);
    connect(sckServer, &tsy::Winsock::DataArrival, this, &SocketPair::sckServer_DataArrival);
    connect(sckClient, &tsy::Winsock::Closed, this, &SocketPair::sckClient_Close);
    connect(sckServer, &tsy::Winsock::Closed, this, &SocketPair::sckServer_Close);
    connect(sckClient, &tsy::Winsock::Error, this, &SocketPair::sckClient_Error);
    connect(sckServer, &tsy::Winsock::Error, this, &SocketPair::sckServer_Error);
    connect(sckClient, &tsy::Winsock::SendComplete, this, &SocketPair::sckClient_SendComplete);
    connect(sckServer, &tsy::Winsock::SendComplete, this, &SocketPair::sckServer_SendComplete);
    connect(tmrC2SThrottleDataRequest, &tsy::WindowTimer::Timer, this, &SocketPair::tmrC2SThrottleDataRequest_Timer);
    connect(tmrS2CThrottleDataRequest, &tsy::WindowTimer::Timer, this, &SocketPair::tmrS2CThrottleDataRequest_Timer);
    connect(tmrDangleStartTimer, &tsy::WindowTimer::Timer, this, &SocketPair::tmrDangleStartTimer_Timer);
    connect(tmrDangleStopTimer, &tsy::WindowTimer::Timer, this, &SocketPair::tmrDangleStopTimer_Timer);
    connect(tmrTerminationTime, &tsy::WindowTimer::Timer, this, &SocketPair::tmrTerminationTime_Timer);

    Form_Load();
}

SocketPair::~SocketPair()
{
    if (mblnLoaded) tsy::LoadedWindows::Unregister(this);
}

void SocketPair::Form_Load()
{
    mblnDead = false;
    mblnClientInitialised = false;
    mblnLoaded = true;
    tsy::LoadedWindows::Register(this, QStringLiteral("SocketPair"));
}

void SocketPair::Form_Unload()
{
    mobjProtocolHandler.reset();
}

void SocketPair::Unload()
{
    if (!mblnLoaded) return;
    mblnLoaded = false;
    tsy::LoadedWindows::Unregister(this);
    // Nothing reaches the handler any more: the sockets and timers go with us.
    for (QObject* control : {static_cast<QObject*>(sckServer), static_cast<QObject*>(sckClient),
                             static_cast<QObject*>(tmrC2SThrottleDataRequest),
                             static_cast<QObject*>(tmrS2CThrottleDataRequest),
                             static_cast<QObject*>(tmrDangleStartTimer), static_cast<QObject*>(tmrDangleStopTimer),
                             static_cast<QObject*>(tmrTerminationTime)})
        control->disconnect(this);
    for (tsy::WindowTimer* t : {tmrC2SThrottleDataRequest, tmrS2CThrottleDataRequest, tmrDangleStartTimer,
                                tmrDangleStopTimer, tmrTerminationTime})
        t->SetEnabled(false);
    Form_Unload();
    deleteLater();
}

// ---- timers ------------------------------------------------------------------

bool SocketPair::Armed(const tsy::WindowTimer* timer) { return timer->Enabled() && timer->Interval() >= 1; }

void SocketPair::Arm(tsy::WindowTimer* timer, int period)
{
    // Arming always starts a fresh count: a second dangle start during a
    // dangle runs the full duration again, and each throttled slice's wait
    // counts from its own send.
    timer->SetEnabled(false);
    timer->SetInterval(period < 0 ? 0 : period);
    timer->SetEnabled(true);
}

void SocketPair::Disarm(tsy::WindowTimer* timer)
{
    timer->SetInterval(0);
    timer->SetEnabled(false);
}

// ---- public members ----------------------------------------------------------

void SocketPair::Terminate()
{
    if (sckServer->State() == tsy::Winsock::sckConnected) sckServer->Close();
    if (sckClient->State() == tsy::Winsock::sckConnected) sckClient->Close();
    mblnTerminated = true;
}

void SocketPair::ServerConnected(qint64 lngRequestId, std::shared_ptr<ProtocolHandler> objProtocolHandler)
{
    try {
        mobjProtocolHandler = objProtocolHandler;
        objProtocolHandler->mobjSocketPair = this;
        objProtocolHandler->mobjLogging = General::gobjLogging;
        tsy::SocketError err;
        if (!sckServer->Accept(lngRequestId, &err)) {
            objProtocolHandler->ServerError(err.number, err.description);
            return;
        }
        objProtocolHandler->LocalServerAcceptedConnection();
    } catch (...) {
        int number = 0;
        QString description;
        General::DescribeError(std::current_exception(), number, description);
        if (objProtocolHandler) objProtocolHandler->ServerError(number, description);
    }
}

void SocketPair::ConnectionRejected(qint64 /*lngRequestId*/, std::shared_ptr<ProtocolHandler> objProtocolHandler)
{
    try {
        mobjProtocolHandler = objProtocolHandler;
        objProtocolHandler->mobjSocketPair = this;
        objProtocolHandler->mobjLogging = General::gobjLogging;
        objProtocolHandler->LocalServerRejectedConnection();
    } catch (...) {
        int number = 0;
        QString description;
        General::DescribeError(std::current_exception(), number, description);
        if (objProtocolHandler) objProtocolHandler->ServerError(number, description);
    }
}

bool SocketPair::AttemptConnectionToRemoteServer(const QString& strServerIP, int lngServerPort, QString& strError,
                                                 int& lngErrorCode)
{
    try {
        tsy::SocketError err;
        if (!sckClient->Connect(strServerIP, lngServerPort, &err)) {
            strError = err.description;
            lngErrorCode = err.number;
            return false;
        }
        return true;
    } catch (...) {
        General::DescribeError(std::current_exception(), lngErrorCode, strError);
        return false;
    }
}

int SocketPair::RemoteServerPort() const { return sckClient->RemotePort(); }
QString SocketPair::RemoteServerIP() const { return sckClient->RemoteHostIP(); }
QString SocketPair::RemoteServerName() const { return sckClient->RemoteHost(); }
int SocketPair::RemoteClientPort() const { return sckServer->RemotePort(); }
QString SocketPair::RemoteClientIP() const { return sckServer->RemoteHostIP(); }
QString SocketPair::RemoteClientName() const { return sckServer->RemoteHost(); }
int SocketPair::LocalServerPort() const { return sckServer->LocalPort(); }
QString SocketPair::LocalServerIP() const { return sckServer->LocalIP(); }
QString SocketPair::LocalServerName() const { return tsy::Winsock::LocalHostName(); }
int SocketPair::LocalClientPort() const { return sckClient->LocalPort(); }
QString SocketPair::LocalClientIP() const { return sckClient->LocalIP(); }
QString SocketPair::LocalClientName() const { return tsy::Winsock::LocalHostName(); }

int SocketPair::ServerState() const { return sckServer->State(); }
int SocketPair::ClientState() const { return sckClient->State(); }
void SocketPair::ServerDisconnect() { sckServer->Close(); }
void SocketPair::ClientDisconnect() { sckClient->Close(); }

bool SocketPair::IsClientSendingData() const { return Armed(tmrC2SThrottleDataRequest); }
bool SocketPair::IsServerSendingData() const { return Armed(tmrS2CThrottleDataRequest); }

bool SocketPair::ClientSendData(QByteArray strData, QByteArray& strDataSent, QByteArray& strDataStillToBeSent)
{
    return SendData(true, strData, strDataSent, strDataStillToBeSent);
}

bool SocketPair::ServerSendData(QByteArray strData, QByteArray& strDataSent, QByteArray& strDataStillToBeSent)
{
    return SendData(false, strData, strDataSent, strDataStillToBeSent);
}

bool SocketPair::SendData(bool blnClientSide, QByteArray& strData, QByteArray& strDataSent,
                          QByteArray& strDataStillToBeSent)
{
    tsy::Winsock* socket = blnClientSide ? sckClient : sckServer;
    tsy::WindowTimer* timer = blnClientSide ? tmrC2SThrottleDataRequest : tmrS2CThrottleDataRequest;
    ThrottlePacer& pacer = blnClientSide ? mC2SPacer : mS2CPacer;
    if (socket->State() != tsy::Winsock::sckConnected || strData.isEmpty()) return false;
    try {
        int lngAmount = 0;
        int lngPeriod = 0;
        const int length = int(qMin<qsizetype>(strData.size(), std::numeric_limits<int>::max()));
        const bool blnThrottle =
            frmProblemSimulation::Instance()->IsThrottlingNeeded(!blnClientSide, length, lngAmount, lngPeriod, &pacer);
        tsy::SocketError err;
        if (blnThrottle) {
            // A slice of nothing would never finish the transfer.
            if (lngAmount < 1) lngAmount = 1;
            QByteArray sent = strData.left(lngAmount);
            QByteArray rest = strData.mid(sent.size());
            if (!socket->SendData(sent, &err)) throw tsy::CollectionError(err.number, err.description.toUtf8().constData());
#ifdef TSY_BYTE_COUNT
            CheckSendCount(blnClientSide);
#endif
            strDataSent = sent;
            strDataStillToBeSent = rest;
            Arm(timer, lngPeriod);
            return true;
        }
        timer->SetEnabled(false);
        if (!socket->SendData(strData, &err)) throw tsy::CollectionError(err.number, err.description.toUtf8().constData());
#ifdef TSY_BYTE_COUNT
        CheckSendCount(blnClientSide);
#endif
        strDataSent = strData;
        strDataStillToBeSent.clear();
        return false;
    } catch (...) {
        frmError::LogError(blnClientSide
                               ? QStringLiteral("An error occurred while sending the data through the client (Low Level)")
                               : QStringLiteral("An error occurred while sending the data through the server (Low Level)"));
        return false;
    }
}

#ifdef TSY_BYTE_COUNT
void SocketPair::CheckSendCount(bool blnClientSide)
{
    bool& breached = blnClientSide ? mblnClientCountBreached : mblnServerCountBreached;
    if (breached) return;
    const QString figures = (blnClientSide ? sckClient : sckServer)->SendCountBreach();
    if (figures.isEmpty()) return;
    breached = true;
    const QString strBreach = QStringLiteral("Byte count of ") + mstrSocketPairKey
                              + (blnClientSide ? QStringLiteral(", local client socket (to the remote server): ")
                                               : QStringLiteral(", local server socket (to the remote client): "))
                              + figures;
    qWarning("%s", qPrintable(strBreach));
    frmError::LogError(strBreach);
}
#endif

bool SocketPair::IsDanglingCurrentlyOn(bool blnClientToServer) const
{
    if (!Armed(tmrDangleStopTimer)) return false;
    return mintDataToDangle == 2 || (mintDataToDangle == 0 && blnClientToServer)
           || (mintDataToDangle == 1 && !blnClientToServer);
}

void SocketPair::SetServerReadingPaused(bool paused) { sckServer->SetReadingPaused(paused); }
void SocketPair::SetClientReadingPaused(bool paused) { sckClient->SetReadingPaused(paused); }

// ---- socket events -----------------------------------------------------------

void SocketPair::sckClient_Connect()
{
    mblnClientInitialised = true;
    frmProblemSimulation* sim = frmProblemSimulation::Instance();

    QString strTerminateComment;
    int lngPeriod = 0;
    bool blnTerminate = false;
    try {
        blnTerminate = sim->ShouldConnectionBeTerminated(lngPeriod, strTerminateComment);
    } catch (...) {
        // A setting the rule cannot use schedules nothing for this connection.
        LogEventFailure(QStringLiteral("decide whether to terminate the connection"), std::current_exception());
        blnTerminate = false;
    }
    if (blnTerminate) Arm(tmrTerminationTime, lngPeriod);
    else Disarm(tmrTerminationTime);

    QString strDangleComment;
    int lngBefore = 0;
    bool blnDangle = false;
    try {
        blnDangle = sim->ShouldConnectionBeDangled(lngBefore, mlngTimeDuringDangle, mintDataToDangle, strDangleComment);
    } catch (...) {
        LogEventFailure(QStringLiteral("decide whether to dangle the connection"), std::current_exception());
        blnDangle = false;
    }
    if (blnDangle) Arm(tmrDangleStartTimer, lngBefore);
    else Disarm(tmrDangleStartTimer);

    if (auto handler = mobjProtocolHandler)
        handler->ConnectedToRemoteServer(strTerminateComment + QStringLiteral(" ") + strDangleComment);
    tmrDangleStopTimer->SetEnabled(false);
}

void SocketPair::sckClient_DataArrival(qint64 /*bytesTotal*/)
{
    const int state = sckClient->State();
    if (state == tsy::Winsock::sckConnecting || state == tsy::Winsock::sckConnected
        || state == tsy::Winsock::sckClosing) {
        const QByteArray data = sckClient->GetData();
        if (data.isEmpty()) return;
        if (auto handler = mobjProtocolHandler) handler->ClientBytesReceived(data);
    } else {
        frmError::LogError(QStringLiteral("Data arrival on client state ") + QString::number(state));
    }
}

void SocketPair::sckServer_DataArrival(qint64 /*bytesTotal*/)
{
    const int state = sckServer->State();
    if (state == tsy::Winsock::sckConnected || state == tsy::Winsock::sckClosing) {
        const QByteArray data = sckServer->GetData();
        if (data.isEmpty()) return;
        if (auto handler = mobjProtocolHandler) handler->ServerBytesReceived(data);
    } else {
        frmError::LogError(QStringLiteral("Data arrival on server state ") + QString::number(state));
    }
}

void SocketPair::sckClient_Close()
{
    if (mblnDead) return;
    auto handler = mobjProtocolHandler;
    if (!handler) return;
    // Bytes held unread while reading was paused would go with the socket.
    if (sckClient->BytesAvailable() > 0) {
        const QByteArray data = sckClient->GetData();
        if (!data.isEmpty()) handler->ClientBytesReceived(data);
        if (mblnDead) return;
    }
    handler->RemoteServerInitiatedDisconnection(QString());
}

void SocketPair::sckServer_Close()
{
    if (mblnDead) return;
    auto handler = mobjProtocolHandler;
    if (!handler) return;
    if (sckServer->BytesAvailable() > 0) {
        const QByteArray data = sckServer->GetData();
        if (!data.isEmpty()) handler->ServerBytesReceived(data);
        if (mblnDead) return;
    }
    handler->RemoteClientInitiatedDisconnection();
}

void SocketPair::sckClient_Error(int Number, const QString& Description)
{
    if (auto handler = mobjProtocolHandler) handler->ClientError(Number, Description);
}

void SocketPair::sckServer_Error(int Number, const QString& Description)
{
    if (auto handler = mobjProtocolHandler) handler->ServerError(Number, Description);
}

void SocketPair::sckClient_SendComplete()
{
#ifdef TSY_BYTE_COUNT
    CheckSendCount(true);
#endif
    if (auto handler = mobjProtocolHandler) handler->ClientBytesSent();
}

void SocketPair::sckServer_SendComplete()
{
#ifdef TSY_BYTE_COUNT
    CheckSendCount(false);
#endif
    if (auto handler = mobjProtocolHandler) handler->ServerBytesSent();
}

// ---- timer ticks ---------------------------------------------------------------

// A tick that finds nothing to send ends the transfer: data arriving later
// starts a fresh schedule instead of catching up on the idle time.
void SocketPair::tmrC2SThrottleDataRequest_Timer()
{
    auto handler = mobjProtocolHandler;
    if (!handler || !handler->ResumeThrottledOrDangledClientSend(false)) {
        tmrC2SThrottleDataRequest->SetEnabled(false);
        mC2SPacer.Restart();
    }
}

void SocketPair::tmrS2CThrottleDataRequest_Timer()
{
    auto handler = mobjProtocolHandler;
    if (!handler || !handler->ResumeThrottledOrDangledServerSend(false)) {
        tmrS2CThrottleDataRequest->SetEnabled(false);
        mS2CPacer.Restart();
    }
}

void SocketPair::tmrDangleStartTimer_Timer()
{
    tmrDangleStartTimer->SetEnabled(false);
    try {
        if (auto handler = mobjProtocolHandler)
            handler->DanglingStatusChanged(true, mintDataToDangle, mlngTimeDuringDangle);
    } catch (...) {
        LogEventFailure(QStringLiteral("start dangling the connection"), std::current_exception());
    }
    Arm(tmrDangleStopTimer, mlngTimeDuringDangle);
}

void SocketPair::tmrDangleStopTimer_Timer()
{
    tmrDangleStopTimer->SetEnabled(false);
    auto handler = mobjProtocolHandler;
    if (!handler) return;
    try {
        handler->DanglingStatusChanged(false, mintDataToDangle, mlngTimeDuringDangle);
    } catch (...) {
        LogEventFailure(QStringLiteral("stop dangling the connection"), std::current_exception());
    }
    const int direction = mintDataToDangle;
    const int chosen = frmProblemSimulation::Instance()->optDangleClose.Chosen();
    switch (chosen) {
    case 0:
        handler->RemoteServerInitiatedDisconnection(QStringLiteral("Connection terminated as per dangling schedule."));
        break;
    case 1:
    case 2: {
        const bool blnDiscard = chosen == 2;
        if (direction == 0 || direction == 2) handler->ResumeThrottledOrDangledClientSend(blnDiscard);
        if (direction == 1 || direction == 2) handler->ResumeThrottledOrDangledServerSend(blnDiscard);
        break;
    }
    default:
        break;
    }
}

void SocketPair::tmrTerminationTime_Timer()
{
    tmrTerminationTime->SetEnabled(false);
    auto handler = mobjProtocolHandler;
    if (!handler) return;
    switch (frmProblemSimulation::Instance()->optGracefulTermination.Chosen()) {
    case 0:
        handler->RemoteServerInitiatedDisconnection(QStringLiteral("Connection terminated as per schedule."));
        break;
    case 1:
        handler->ClientError(0, QStringLiteral("Socket connection scheduled for termination by TSY."));
        break;
    default:
        break;
    }
}
