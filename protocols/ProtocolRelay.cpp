// The relay shared by every handler. Each direction runs a send chain: data
// is sent at once when the direction is idle and queued otherwise, and each
// send completion hands the socket the next piece of the queue.
#include "protocols/ProtocolRelay.h"

#include "engine/General.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "history/Logging.h"
#include "platform/KeyedCollection.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/RoutingText.h"

#include <QTimer>

ProtocolRelay::~ProtocolRelay() = default;

// ---- words of the steps ------------------------------------------------------

SocketPair& ProtocolRelay::Pair() const
{
    SocketPair* pair = mobjSocketPair.data();
    if (!pair) throw tsy::CollectionError(91, "Object variable or With block variable not set");
    return *pair;
}

Logging& ProtocolRelay::Log() const
{
    if (!mobjLogging) throw tsy::CollectionError(91, "Object variable or With block variable not set");
    return *mobjLogging;
}

bool ProtocolRelay::ServerConnected() const { return Pair().ServerState() == tsy::Winsock::sckConnected; }
bool ProtocolRelay::ClientConnected() const { return Pair().ClientState() == tsy::Winsock::sckConnected; }
bool ProtocolRelay::C2SDangling() const { return Pair().IsDanglingCurrentlyOn(true); }
bool ProtocolRelay::S2CDangling() const { return Pair().IsDanglingCurrentlyOn(false); }

void ProtocolRelay::CloseServerSide(bool blnGiveUp)
{
    if (blnGiveUp) Pair().sckServer->Abort();
    else Pair().ServerDisconnect();
    Log().LocalServerDisconnected(&Pair(), false);
}

void ProtocolRelay::CloseClientSide(bool blnGiveUp)
{
    if (blnGiveUp) Pair().sckClient->Abort();
    else Pair().ClientDisconnect();
    Log().LocalClientDisconnected(&Pair(), false);
}

void ProtocolRelay::CloseServerSideIfConnected()
{
    if (ServerConnected()) CloseServerSide();
}

void ProtocolRelay::CloseClientSideIfConnected()
{
    if (ClientConnected()) CloseClientSide();
}

void ProtocolRelay::MarkDead()
{
    Pair().SetDead(true);
    ConnectionEnded();
}
void ProtocolRelay::ReportDeath() { Log().Dead(&Pair()); }

void ProtocolRelay::C2SBadState()
{
    Log().ClientInBadState(&Pair(), -1, QStringLiteral("Socket not connected"), false);
}

void ProtocolRelay::S2CBadState()
{
    Log().ServerInBadState(&Pair(), -1, QStringLiteral("Socket not connected"), false);
}

void ProtocolRelay::EndC2SInBadState(bool blnCloseClientSide)
{
    C2SBadState();
    if (blnCloseClientSide) CloseClientSide();
    CloseServerSideIfConnected();
    MarkDead();
    ReportDeath();
}

void ProtocolRelay::EndS2CInBadState()
{
    S2CBadState();
    CloseServerSide();
    CloseClientSideIfConnected();
    MarkDead();
    ReportDeath();
}

bool ProtocolRelay::C2SHasNowhereToGo() const
{
    return mblnCloseAfterS2CFlush && Pair().ClientInitialised() && !ClientConnected() && ServerConnected();
}

bool ProtocolRelay::S2CHasNowhereToGo() const
{
    return mblnCloseAfterC2SFlush && !ServerConnected() && ClientConnected();
}

void ProtocolRelay::DropC2S(qint64 lngBytes)
{
    if (lngBytes <= 0) return;
#ifdef TSY_BYTE_COUNT
    mC2SCount.dropped += lngBytes;
#endif
    if (!mblnC2SDropReported) {
        mblnC2SDropReported = true;
        C2SBadState();
    }
}

void ProtocolRelay::DropS2C(qint64 lngBytes)
{
    if (lngBytes <= 0) return;
#ifdef TSY_BYTE_COUNT
    mS2CCount.dropped += lngBytes;
#endif
    if (!mblnS2CDropReported) {
        mblnS2CDropReported = true;
        S2CBadState();
    }
}

void ProtocolRelay::DropWaitingC2S()
{
    DropC2S(mvarC2SBuffer.size());
    mvarC2SBuffer.clear();
    mblnC2SSendInProgress = false;
    // A send to a closed side never completes.
    mblnC2SSendOutstanding = false;
}

void ProtocolRelay::DropWaitingS2C()
{
    DropS2C(mvarS2CBuffer.size());
    mvarS2CBuffer.clear();
    mblnS2CSendInProgress = false;
    mblnS2CSendOutstanding = false;
}

void ProtocolRelay::NothingMoreForTheServer()
{
    DropWaitingC2S();
    UpdateBackPressure();
}

void ProtocolRelay::NothingMoreForTheClient()
{
    DropWaitingS2C();
    UpdateBackPressure();
}

bool ProtocolRelay::C2SFlushAfterLeaving() const
{
    return mblnCloseAfterC2SFlush && mblnC2SSendOutstanding && Pair().ClientInitialised() && !ServerConnected()
           && ClientConnected() && !C2SDangling();
}

bool ProtocolRelay::S2CFlushAfterLeaving() const
{
    return mblnCloseAfterS2CFlush && mblnS2CSendOutstanding && !ClientConnected() && ServerConnected()
           && !S2CDangling();
}

void ProtocolRelay::WatchFlushAfterLeaving()
{
    if (!mblnCloseAfterC2SFlush && !mblnCloseAfterS2CFlush) [[likely]]
        return;
    SocketPair& pair = Pair();
    const bool blnC2S = C2SFlushAfterLeaving();
    if (pair.Dead() || (!blnC2S && !S2CFlushAfterLeaving())) {
        StopWatchingTheFlush();
        return;
    }
    if (!mtmrFlushGuard) {
        mtmrFlushGuard = std::make_unique<QTimer>();
        QObject::connect(mtmrFlushGuard.get(), &QTimer::timeout, [this] { GiveUpTheFlush(); });
    }
    if (mtmrFlushGuard->isActive()) return;
    tsy::Winsock* sck = blnC2S ? pair.sckClient : pair.sckServer;
    sck->MsPeerTookNothing(true);
    mtmrFlushGuard->start(tsy::Winsock::PeerWatchMs(sck->PeerTakesNothingMs()));
    mobjStalledFlush = std::make_unique<tsy::StalledDelivery>([this] { return FlushStalledMs(); },
                                                              [this] { GiveUpTheFlushForRoom(); });
}

void ProtocolRelay::StopWatchingTheFlush()
{
    if (mtmrFlushGuard) mtmrFlushGuard->stop();
    mobjStalledFlush.reset();
}

qint64 ProtocolRelay::FlushStalledMs() const
{
    SocketPair* pair = mobjSocketPair.data();
    if (!pair || pair->Dead()) return -1;
    const bool blnC2S = C2SFlushAfterLeaving();
    if (!blnC2S && !S2CFlushAfterLeaving()) return -1;
    return (blnC2S ? pair->sckClient : pair->sckServer)->MsPeerTookNothing();
}

void ProtocolRelay::GiveUpTheFlush()
{
    if (!mobjSocketPair) return;
    Trap(mblnCloseAfterC2SFlush ? Member::ClientBytesSent : Member::ServerBytesSent, [&] {
        SocketPair& pair = Pair();
        const bool blnC2S = C2SFlushAfterLeaving();
        if (pair.Dead() || (!blnC2S && !S2CFlushAfterLeaving())) {
            StopWatchingTheFlush();
            return;
        }
        tsy::Winsock* sck = blnC2S ? pair.sckClient : pair.sckServer;
        // A reset seen meanwhile may have shortened the bound.
        const int lngBoundMs = sck->PeerTakesNothingMs();
        if (sck->MsPeerTookNothing() < lngBoundMs) {
            const int lngPaceMs = tsy::Winsock::PeerWatchMs(lngBoundMs);
            if (mtmrFlushGuard->interval() != lngPaceMs) mtmrFlushGuard->setInterval(lngPaceMs);
            return;
        }
        StopWatchingTheFlush();
        // The peer has taken nothing for the whole bound: what its socket
        // still holds goes with a reset, and what waited here is dropped,
        // and said so.
        EndTheFlush(blnC2S, tsy::SockErr::TimedOut,
                    QStringLiteral("Timed out: the remote %1 took nothing for %2 s; the %3 bytes still "
                                   "waiting for it were dropped")
                        .arg(blnC2S ? QStringLiteral("server") : QStringLiteral("client"))
                        .arg(lngBoundMs / 1000.0)
                        .arg((blnC2S ? mvarC2SBuffer : mvarS2CBuffer).size()));
    });
}

void ProtocolRelay::GiveUpTheFlushForRoom()
{
    SocketPair* pair = mobjSocketPair.data();
    if (!pair) return;
    const bool blnC2S = C2SFlushAfterLeaving();
    tsy::Winsock* sck = blnC2S ? pair->sckClient : pair->sckServer;
    const qint64 lngIdleMs = sck->MsPeerTookNothing();
    // The descriptor goes now, for the request that wants it; the pair ends
    // from the event loop, never inside that request's accept.
    sck->Abort();
    StopWatchingTheFlush();
    QTimer::singleShot(0, pair, [this, pair, blnC2S, lngIdleMs] {
        if (pair->mobjProtocolHandler.get() != this || pair->Dead()) return;
        Trap(blnC2S ? Member::ClientBytesSent : Member::ServerBytesSent, [&] {
            EndTheFlush(blnC2S, tsy::SockErr::TooManySockets,
                        QStringLiteral("Given up to make room for new connections: every file descriptor but a "
                                       "reserve of %1 was in use, and the remote %2 had taken nothing for %3 s; the "
                                       "%4 bytes still waiting for it were dropped")
                            .arg(tsy::Descriptors::kReserve)
                            .arg(blnC2S ? QStringLiteral("server") : QStringLiteral("client"))
                            .arg(QString::number(lngIdleMs / 1000.0, 'f', 1))
                            .arg((blnC2S ? mvarC2SBuffer : mvarS2CBuffer).size()));
        });
    });
}

void ProtocolRelay::EndTheFlush(bool blnC2S, int lngError, const QString& strWhy)
{
    SocketPair& pair = Pair();
    if (blnC2S) {
        Log().ClientInBadState(&pair, lngError, strWhy, false);
        mblnC2SDropReported = true;
        DropWaitingC2S();
        MarkDead();
        CloseClientSide(true);
    } else {
        Log().ServerInBadState(&pair, lngError, strWhy, false);
        mblnS2CDropReported = true;
        DropWaitingS2C();
        MarkDead();
        CloseServerSide(true);
    }
    ReportDeath();
}

void ProtocolRelay::SendC2S(const QByteArray& T)
{
    SocketPair& pair = Pair();
    QByteArray sent;
    QByteArray held = T;   // a send that cannot start keeps T waiting
    const bool blnThrottled = pair.ClientSendData(T, sent, held);
    mvarC2SBuffer.prepend(held);
#ifdef TSY_BYTE_COUNT
    mC2SCount.sent += sent.size();
    CheckByteCount(true);
#endif
    Log().ClientBytesSendStart(&pair, sent, false, blnThrottled);
}

void ProtocolRelay::SendS2C(const QByteArray& T)
{
    SocketPair& pair = Pair();
    QByteArray sent;
    QByteArray held = T;
    const bool blnThrottled = pair.ServerSendData(T, sent, held);
    mvarS2CBuffer.prepend(held);
#ifdef TSY_BYTE_COUNT
    mS2CCount.sent += sent.size();
    CheckByteCount(false);
#endif
    Log().ServerBytesSendStart(&pair, sent, false, blnThrottled);
}

void ProtocolRelay::AppendC2S(const QByteArray& strData, bool blnBecauseOfDangling)
{
    mvarC2SBuffer.append(strData);
    Log().ClientBytesBuffered(&Pair(), strData, false, blnBecauseOfDangling);
}

void ProtocolRelay::AppendS2C(const QByteArray& strData, bool blnBecauseOfDangling)
{
    mvarS2CBuffer.append(strData);
    Log().ServerBytesBuffered(&Pair(), strData, false, blnBecauseOfDangling);
}

QByteArray ProtocolRelay::NextPiece(RelayBuffer& buffer)
{
    const qint64 limit = ContinuationPieceLimit();
    if (limit <= 0 || buffer.size() < limit) return buffer.takeAll();
    return buffer.takeFront(limit);
}

void ProtocolRelay::ActOnIdlePendingCloses()
{
    SocketPair& pair = Pair();
    if (pair.Dead()) return;
    // A throttle's pacing with nothing left to pace holds nothing back.
    if (mblnCloseAfterC2SFlush && pair.ClientInitialised() && mvarC2SBuffer.isEmpty() && !mblnC2SSendOutstanding
        && !C2SDangling()) {
        mblnC2SSendInProgress = false;
        MarkDead();
        CloseClientSideIfConnected();
        ReportDeath();
        return;
    }
    if (mblnCloseAfterS2CFlush && mvarS2CBuffer.isEmpty() && !mblnS2CSendOutstanding && !S2CDangling()) {
        mblnS2CSendInProgress = false;
        MarkDead();
        CloseServerSideIfConnected();
        ReportDeath();
    }
}

// Held by a dangle counts too: as after a close, it goes once the dangle ends.
bool ProtocolRelay::C2SStillOnItsWay() const
{
    return !mvarC2SBuffer.isEmpty() && ClientConnected()
           && (C2SDangling() || mblnC2SSendOutstanding || Pair().IsClientSendingData());
}

bool ProtocolRelay::S2CStillOnItsWay() const
{
    return !mvarS2CBuffer.isEmpty() && ServerConnected()
           && (S2CDangling() || mblnS2CSendOutstanding || Pair().IsServerSendingData());
}

void ProtocolRelay::UpdateBackPressure()
{
    SocketPair* pair = mobjSocketPair.data();
    if (!pair) return;
    const qint64 c2s = mvarC2SBuffer.size();
    if (!mblnC2SPaused && c2s > kBackPressureBytes) {
        mblnC2SPaused = true;
        pair->SetServerReadingPaused(true);
    } else if (mblnC2SPaused && c2s <= kBackPressureBytes / 2) {
        mblnC2SPaused = false;
        pair->SetServerReadingPaused(false);
    }
    const qint64 s2c = mvarS2CBuffer.size();
    if (!mblnS2CPaused && s2c > kBackPressureBytes) {
        mblnS2CPaused = true;
        pair->SetClientReadingPaused(true);
    } else if (mblnS2CPaused && s2c <= kBackPressureBytes / 2) {
        mblnS2CPaused = false;
        pair->SetClientReadingPaused(false);
    }
}

#ifdef TSY_BYTE_COUNT
void ProtocolRelay::CheckByteCount(bool blnC2S)
{
    ByteCount& count = blnC2S ? mC2SCount : mS2CCount;
    if (count.breached || !RelaysUnchanged()) return;
    const qint64 waiting = blnC2S ? mvarC2SBuffer.size() : mvarS2CBuffer.size();
    if (count.received == count.sent + waiting + count.discarded + count.dropped) return;
    count.breached = true;
    SocketPair* pair = mobjSocketPair.data();
    const QString strBreach =
        QStringLiteral("Byte count of ") + (pair ? pair->SocketPairKey() : QStringLiteral("?"))
        + (blnC2S ? QStringLiteral(", client to server: ") : QStringLiteral(", server to client: "))
        + QStringLiteral("received %1, sent on %2, waiting %3, discarded by a failure rule %4, dropped after a close %5, "
                         "unaccounted %6")
              .arg(count.received)
              .arg(count.sent)
              .arg(waiting)
              .arg(count.discarded)
              .arg(count.dropped)
              .arg(count.received - count.sent - waiting - count.discarded - count.dropped);
    // Also on the console, where a test run shows it.
    qWarning("%s", qPrintable(strBreach));
    frmError::LogError(strBreach);
}
#endif

void ProtocolRelay::DescribeFailure(std::exception_ptr e, int& lngNumber, QString& strDescription)
{
    General::DescribeError(e, lngNumber, strDescription);
}

void ProtocolRelay::ReportFailure(Member m, std::exception_ptr e)
{
    General::LogFailure(QStringLiteral("An error occurred while attempting to ") + ActionPhrase(m) + QStringLiteral(" (")
                            + ProtocolWord() + QStringLiteral(").  The operating system reports: "),
                        e);
}

QString ProtocolRelay::ActionPhrase(Member m) const
{
    switch (m) {
    case Member::LocalServerAcceptedConnection: return QStringLiteral("process the local server accepting the connection request");
    case Member::LocalServerRejectedConnection: return QStringLiteral("process the rejected connection request");
    case Member::ConnectedToRemoteServer: return QStringLiteral("process the successful connection to the remote server");
    case Member::RemoteServerInitiatedDisconnection: return QStringLiteral("process the remote server's disconnection");
    case Member::ClientBytesReceived: return QStringLiteral("process the data arriving on the local client");
    case Member::ClientBytesSent: return QStringLiteral("process the data sent by the local client");
    case Member::RemoteClientInitiatedDisconnection: return QStringLiteral("process the disconnection by the remote client");
    case Member::ServerBytesReceived: return QStringLiteral("process the data received by the local server");
    case Member::ServerError: return QStringLiteral("process the local server error");
    case Member::ClientError: return QStringLiteral("process the local client error");
    case Member::ServerBytesSent: return QStringLiteral("process the data sent through the local server");
    case Member::ResumeThrottledOrDangledClientSend: return QStringLiteral("process the data during the throttled send through the local client");
    case Member::ResumeThrottledOrDangledServerSend: return QStringLiteral("process the data during the throttled send through the local server");
    case Member::SendDataToRemoteClient: return QStringLiteral("send data to the remote client");
    }
    return QString();
}

// ---- common opening and connect attempt -------------------------------------------

void ProtocolRelay::CommonOpening(bool blnFollowOn)
{
    SocketPair& pair = Pair();
    Log().LocalServerAcceptedConnection(&pair, blnFollowOn, mlngWasListeningOnPort);
    Log().GotProtocol(&pair, ProtocolText());
    const QString name = pair.RemoteClientName();
    if (!name.isEmpty()) Log().GotNameOfRemoteClient(&pair, name);
}

void ProtocolRelay::ConnectAttempt(const QString& strServer, int lngPort)
{
    SocketPair& pair = Pair();
    Log().ConnectionAttemptToRemoteServer(&pair, strServer, lngPort, false);
    QString strError;
    int lngError = 0;
    if (!pair.AttemptConnectionToRemoteServer(strServer, lngPort, strError, lngError)) {
        pair.Leaving().Failed();
        Log().ConnectionAttemptFailed(&pair, true, strError, lngError);
        MarkDead();
        CloseServerSideIfConnected();
        ReportDeath();
    }
}

// ---- members ---------------------------------------------------------------------

void ProtocolRelay::LocalServerRejectedConnection()
{
    Trap(Member::LocalServerRejectedConnection, [&] {
        Log().LocalServerRejectedConnection(&Pair(), true, mlngWasListeningOnPort);
        Log().GotProtocol(&Pair(), ProtocolText());
        ReportDeath();
    });
}

void ProtocolRelay::ConnectedToRemoteServer(const QString& strComment)
{
    Trap(Member::ConnectedToRemoteServer, [&] {
        Log().ConnectionAttemptSuccessful(&Pair(), false, strComment);
        FinishConnection();
    });
}

void ProtocolRelay::FinishConnection()
{
    if (FlushesBufferAtConnect() && !mvarC2SBuffer.isEmpty()) {
        mblnC2SSendInProgress = true;
        mblnC2SSendOutstanding = true;
        SendC2S(mvarC2SBuffer.takeAll());
        UpdateBackPressure();
        WatchFlushAfterLeaving();
        return;
    }
    if (mblnCloseAfterC2SFlush) {
        MarkDead();
        CloseClientSideIfConnected();
        CloseServerSideIfConnected();
        ReportDeath();
    }
}

void ProtocolRelay::ServerBytesBeforeConnected(const QByteArray& strData)
{
    AppendC2S(strData, false);
}

void ProtocolRelay::ServerBytesReceived(const QByteArray& strData)
{
#ifdef TSY_BYTE_COUNT
    mC2SCount.received += strData.size();
#endif
    Trap(Member::ServerBytesReceived, [&] {
        SocketPair& pair = Pair();
        if (pair.ClientInitialised() && !mblnC2SSendInProgress && mvarC2SBuffer.isEmpty() && !C2SDangling()
            && ClientConnected()) {
            RelayAtOnceC2S(strData);
            UpdateBackPressure();
            return;
        }
        if (pair.ClientInitialised() && C2SHasNowhereToGo()) {
            Log().ServerBytesReceived(&pair, strData, !mblnC2SDropReported);
            DropC2S(strData.size());
            return;
        }
        Log().ServerBytesReceived(&pair, strData, true);
        if (pair.ClientInitialised()) {
            if (C2SDangling()) {
                AppendC2S(strData, true);
            } else {
                ForwardC2S(strData);
            }
        } else {
            ServerBytesBeforeConnected(strData);
        }
        UpdateBackPressure();
    });
}

void ProtocolRelay::ClientBytesReceived(const QByteArray& strData)
{
#ifdef TSY_BYTE_COUNT
    mS2CCount.received += strData.size();
#endif
    Trap(Member::ClientBytesReceived, [&] {
        SocketPair& pair = Pair();
        if (!mblnS2CSendInProgress && mvarS2CBuffer.isEmpty() && !S2CDangling() && ServerConnected()) {
            RelayAtOnceS2C(strData);
            UpdateBackPressure();
            return;
        }
        if (S2CHasNowhereToGo()) {
            Log().ClientBytesReceived(&pair, strData, !mblnS2CDropReported);
            DropS2C(strData.size());
            return;
        }
        Log().ClientBytesReceived(&pair, strData, true);
        if (S2CDangling()) {
            AppendS2C(strData, true);
        } else {
            ForwardS2C(strData);
        }
        UpdateBackPressure();
    });
}

// An idle direction sends what arrived before recording it: the recording
// stays off the data's way through, and the history still reads received,
// then sent.
void ProtocolRelay::RelayAtOnceC2S(const QByteArray& strData)
{
    SocketPair& pair = Pair();
    mblnC2SSendInProgress = true;
    mblnC2SSendOutstanding = true;
    QByteArray sent;
    QByteArray held = strData;
    bool blnThrottled = false;
    try {
        blnThrottled = pair.ClientSendData(strData, sent, held);
    } catch (...) {
        Log().ServerBytesReceived(&pair, strData, true);
        throw;
    }
    Log().ServerBytesReceived(&pair, strData, true);
    mvarC2SBuffer.prepend(held);
#ifdef TSY_BYTE_COUNT
    mC2SCount.sent += sent.size();
    CheckByteCount(true);
#endif
    Log().ClientBytesSendStart(&pair, sent, false, blnThrottled);
}

void ProtocolRelay::RelayAtOnceS2C(const QByteArray& strData)
{
    SocketPair& pair = Pair();
    mblnS2CSendInProgress = true;
    mblnS2CSendOutstanding = true;
    QByteArray sent;
    QByteArray held = strData;
    bool blnThrottled = false;
    try {
        blnThrottled = pair.ServerSendData(strData, sent, held);
    } catch (...) {
        Log().ClientBytesReceived(&pair, strData, true);
        throw;
    }
    Log().ClientBytesReceived(&pair, strData, true);
    mvarS2CBuffer.prepend(held);
#ifdef TSY_BYTE_COUNT
    mS2CCount.sent += sent.size();
    CheckByteCount(false);
#endif
    Log().ServerBytesSendStart(&pair, sent, false, blnThrottled);
}

void ProtocolRelay::ForwardC2S(const QByteArray& strData)
{
    if (!ClientConnected()) {
        if (C2SHasNowhereToGo()) DropC2S(strData.size());
        else EndC2SInBadState(false);
    } else if (mblnC2SSendInProgress) {
        AppendC2S(strData, false);
    } else {
        mblnC2SSendInProgress = true;
        mblnC2SSendOutstanding = true;
        // Whatever still waits goes first; new data never replaces it.
        if (!mvarC2SBuffer.isEmpty()) {
            mvarC2SBuffer.append(strData);
            SendC2S(mvarC2SBuffer.takeAll());
        } else {
            SendC2S(strData);
        }
    }
}

void ProtocolRelay::ForwardS2C(const QByteArray& strData)
{
    if (!ServerConnected()) {
        if (S2CHasNowhereToGo()) DropS2C(strData.size());
        else EndS2CInBadState();
    } else if (mblnS2CSendInProgress) {
        AppendS2C(strData, false);
    } else {
        mblnS2CSendInProgress = true;
        mblnS2CSendOutstanding = true;
        if (!mvarS2CBuffer.isEmpty()) {
            mvarS2CBuffer.append(strData);
            SendS2C(mvarS2CBuffer.takeAll());
        } else {
            SendS2C(strData);
        }
    }
}

void ProtocolRelay::ClientBytesSent()
{
    Trap(Member::ClientBytesSent, [&] {
        SocketPair& pair = Pair();
        mblnC2SSendOutstanding = false;
        Log().ClientBytesSendStop(&pair);
        if (!mvarC2SBuffer.isEmpty() && !C2SDangling()) {
            if (ClientConnected()) {
                if (!pair.IsClientSendingData()) {
                    mblnC2SSendOutstanding = true;
                    SendC2S(NextPiece(mvarC2SBuffer));
                }
            } else if (C2SHasNowhereToGo()) {
                DropWaitingC2S();
            } else {
                EndC2SInBadState(true);
            }
        } else {
            // While the throttle paces, the chain ends at its tick, so that
            // data arriving before it waits its turn.
            if (!pair.IsClientSendingData()) mblnC2SSendInProgress = false;
            // Data held by a dangle still goes out after it; the close waits.
            if (mblnCloseAfterC2SFlush && mvarC2SBuffer.isEmpty()) {
                MarkDead();
                CloseClientSideIfConnected();
                ReportDeath();
            }
        }
#ifdef TSY_BYTE_COUNT
        CheckByteCount(true);
#endif
        UpdateBackPressure();
        WatchFlushAfterLeaving();
    });
}

void ProtocolRelay::ServerBytesSent()
{
    Trap(Member::ServerBytesSent, [&] {
        SocketPair& pair = Pair();
        mblnS2CSendOutstanding = false;
        Log().ServerBytesSendStop(&pair);
        if (!mvarS2CBuffer.isEmpty() && !S2CDangling()) {
            if (ServerConnected()) {
                if (!pair.IsServerSendingData()) {
                    mblnS2CSendOutstanding = true;
                    SendS2C(NextPiece(mvarS2CBuffer));
                }
            } else if (S2CHasNowhereToGo()) {
                DropWaitingS2C();
            } else {
                EndS2CInBadState();
            }
        } else {
            if (!pair.IsServerSendingData()) mblnS2CSendInProgress = false;
            if (mblnCloseAfterS2CFlush && mvarS2CBuffer.isEmpty()) {
                MarkDead();
                CloseServerSideIfConnected();
                ReportDeath();
            }
        }
#ifdef TSY_BYTE_COUNT
        CheckByteCount(false);
#endif
        UpdateBackPressure();
        WatchFlushAfterLeaving();
    });
    if (mblnRepliesBeforeLoginWait) [[unlikely]]
        AnswerTheRestBeforeLogin();
}

void ProtocolRelay::RemoteServerInitiatedDisconnection(const QString& strComment)
{
    Trap(Member::RemoteServerInitiatedDisconnection, [&] {
        SocketPair& pair = Pair();
        // Also the program's own orderly closes: a graceful termination, the
        // dangle's close.
        pair.Leaving().LeftInOrder();
        // With the remote client gone too, what waits for it has nowhere to go.
        const bool blnClientGone = mblnCloseAfterC2SFlush && !ServerConnected();
        if ((S2CDangling() || mblnS2CSendInProgress) && !blnClientGone) {
            mblnCloseAfterS2CFlush = true;
            pair.ClientDisconnect();
            Log().RemoteServerDisconnected(&pair, false, strComment);
            NothingMoreForTheServer();
            ActOnIdlePendingCloses();
            WatchFlushAfterLeaving();
        } else {
            MarkDead();
            pair.ClientDisconnect();
            if (ServerConnected()) {
                Log().RemoteServerDisconnected(&pair, true, strComment);
                CloseServerSide();
            } else {
                Log().RemoteServerDisconnected(&pair, false, strComment);
            }
            ReportDeath();
        }
    });
}

void ProtocolRelay::RemoteClientInitiatedDisconnection()
{
    Trap(Member::RemoteClientInitiatedDisconnection, [&] {
        SocketPair& pair = Pair();
        pair.Leaving().LeftInOrder();
        // With the remote server gone too, what waits for it has nowhere to go.
        const bool blnServerGone = mblnCloseAfterS2CFlush && pair.ClientInitialised() && !ClientConnected();
        if ((C2SDangling() || mblnC2SSendInProgress) && !blnServerGone) {
            mblnCloseAfterC2SFlush = true;
            pair.ServerDisconnect();
            Log().RemoteClientDisconnected(&pair, false);
            NothingMoreForTheClient();
            ActOnIdlePendingCloses();
            WatchFlushAfterLeaving();
        } else if (pair.ClientInitialised()) {
            MarkDead();
            pair.ServerDisconnect();
            if (ClientConnected()) {
                Log().RemoteClientDisconnected(&pair, true);
                CloseClientSide();
            } else {
                Log().RemoteClientDisconnected(&pair, false);
            }
            ReportDeath();
        } else {
            pair.ServerDisconnect();
            mblnCloseAfterC2SFlush = true;
            Log().RemoteClientDisconnected(&pair, false);
            // No connection was ever attempted: nothing else will end the pair.
            if (IsRoutingClass() && !mblnRequestRouted) ReportDeath();
        }
    });
}

void ProtocolRelay::ServerError(int lngError, const QString& strError)
{
    Trap(Member::ServerError, [&] {
        SocketPair& pair = Pair();
        pair.Leaving().Failed();
        Log().ServerInBadState(&pair, lngError, strError, false);
        if (C2SStillOnItsWay()) {
            // What the client sent before it failed still reaches the
            // server; that side closes once it has gone.
            mblnCloseAfterC2SFlush = true;
            CloseServerSide();
            NothingMoreForTheClient();
            ActOnIdlePendingCloses();
            WatchFlushAfterLeaving();
            return;
        }
        CloseServerSide();
        if (ClientConnected()) CloseClientSide();
        else if (!pair.ClientInitialised()) mblnCloseAfterC2SFlush = true;
        MarkDead();
        ReportDeath();
    });
}

void ProtocolRelay::ClientError(int lngError, const QString& strError)
{
    Trap(Member::ClientError, [&] {
        SocketPair& pair = Pair();
        // Also a failed connect, and the program's forced termination.
        pair.Leaving().Failed();
        if (lngError == tsy::SockErr::TimedOut || lngError == tsy::SockErr::HostNotFound
            || lngError == tsy::SockErr::TryAgain) {
            Log().ConnectionAttemptFailed(&pair, false, strError, lngError);
            if (UsesNoSiteError()) {
                const QString text = tsy::Settings::GetSetting(QStringLiteral("Protocols\\") + GetProtocolName(),
                                                               QStringLiteral("NoSiteError"));
                SendDataToRemoteClient(text.toLatin1());
                // A client already gone ends the pair inside that send; its death
                // is reported once, there.
                if (pair.Dead()) return;
            }
        } else {
            Log().ClientInBadState(&pair, lngError, strError, false);
            // A forced termination (number 0) closes at once, as it says.
            if (lngError != 0 && S2CStillOnItsWay()) {
                // What the server sent before it failed still reaches the
                // client; that side closes once it has gone.
                mblnCloseAfterS2CFlush = true;
                if (pair.ClientInitialised()) CloseClientSide();
                NothingMoreForTheServer();
                ActOnIdlePendingCloses();
                WatchFlushAfterLeaving();
                return;
            }
        }
        if (UsesNoSiteError() && mblnS2CSendInProgress) mblnCloseAfterS2CFlush = true;
        if (pair.ClientInitialised()) CloseClientSide();
        CloseServerSideIfConnected();
        MarkDead();
        ReportDeath();
    });
}

bool ProtocolRelay::ResumeThrottledOrDangledClientSend(bool blnDiscardData)
{
    bool blnResult = false;
    Trap(Member::ResumeThrottledOrDangledClientSend, [&] {
        if (blnDiscardData && !DiscardCollected(mvarC2SBuffer, mlngC2SBeforeDangle, true)) {
            ActOnIdlePendingCloses();
            UpdateBackPressure();
            return;
        }
        if (mvarC2SBuffer.isEmpty() || C2SDangling()) {
            mblnC2SSendInProgress = false;
            ActOnIdlePendingCloses();
            return;
        }
        if (C2SHasNowhereToGo()) {
            DropWaitingC2S();
            ActOnIdlePendingCloses();
            UpdateBackPressure();
            return;
        }
        blnResult = true;
        if (!ClientConnected()) {
            EndC2SInBadState(false);
        } else if (!mblnC2SSendOutstanding) {
            mblnC2SSendOutstanding = true;
            // The chain runs again, so new data queues behind what is left.
            mblnC2SSendInProgress = true;
            SendC2S(mvarC2SBuffer.takeAll());
        }
        UpdateBackPressure();
        WatchFlushAfterLeaving();
    });
    return blnResult;
}

bool ProtocolRelay::ResumeThrottledOrDangledServerSend(bool blnDiscardData)
{
    bool blnResult = false;
    Trap(Member::ResumeThrottledOrDangledServerSend, [&] {
        if (blnDiscardData && !DiscardCollected(mvarS2CBuffer, mlngS2CBeforeDangle, false)) {
            ActOnIdlePendingCloses();
            UpdateBackPressure();
            return;
        }
        if (mvarS2CBuffer.isEmpty() || S2CDangling()) {
            mblnS2CSendInProgress = false;
            ActOnIdlePendingCloses();
            return;
        }
        if (S2CHasNowhereToGo()) {
            DropWaitingS2C();
            ActOnIdlePendingCloses();
            UpdateBackPressure();
            return;
        }
        blnResult = true;
        if (!ServerConnected()) {
            EndS2CInBadState();
        } else if (!mblnS2CSendOutstanding) {
            mblnS2CSendOutstanding = true;
            mblnS2CSendInProgress = true;
            SendS2C(mvarS2CBuffer.takeAll());
        }
        UpdateBackPressure();
        WatchFlushAfterLeaving();
    });
    return blnResult;
}

bool ProtocolRelay::DiscardCollected(RelayBuffer& buffer, qint64& lngBeforeDangle, bool blnC2S)
{
    // The front of the buffer waited before the dangle (a throttle's
    // backlog, data a slow peer held back): it was not collected by the
    // dangle, and goes on as after a dangle that transmits.
    const qint64 keep = qMin(lngBeforeDangle, buffer.size());
    lngBeforeDangle = 0;
    const QByteArray kept = buffer.takeFront(keep);
#ifdef TSY_BYTE_COUNT
    (blnC2S ? mC2SCount : mS2CCount).discarded += buffer.size();
    if (gDiscardObserver && !buffer.isEmpty()) gDiscardObserver(mobjSocketPair.data(), buffer.size());
#else
    Q_UNUSED(blnC2S);
#endif
    buffer.clear();
    buffer.prepend(kept);
    return !buffer.isEmpty();
}

void ProtocolRelay::DanglingStatusChanged(bool blnDanglingOn, int intDataBeingDangled, int lngTimeDuringDangle)
{
    SocketPair& pair = Pair();
    if (blnDanglingOn) {
        // A dangle that starts again while it runs keeps its first mark.
        if ((intDataBeingDangled == 0 || intDataBeingDangled == 2) && !C2SDangling())
            mlngC2SBeforeDangle = mvarC2SBuffer.size();
        if ((intDataBeingDangled == 1 || intDataBeingDangled == 2) && !S2CDangling())
            mlngS2CBeforeDangle = mvarS2CBuffer.size();
    }
    Log().DanglingStatusChanged(&pair, blnDanglingOn, intDataBeingDangled, lngTimeDuringDangle);
    if (ClosesPendingOnDangle()) {
        // Only a direction with nothing left to deliver is closed here. Data
        // still waiting is sent (or dropped, or the pair closed) as the
        // dangle's end chooses, and the completion that empties the
        // direction carries out the close.
        const bool blnC2SIdle = mvarC2SBuffer.isEmpty() && !mblnC2SSendOutstanding;
        const bool blnS2CIdle = mvarS2CBuffer.isEmpty() && !mblnS2CSendOutstanding;
        if (mblnCloseAfterC2SFlush && blnC2SIdle && (intDataBeingDangled == 0 || intDataBeingDangled == 2)) {
            MarkDead();
            CloseClientSideIfConnected();
            CloseServerSideIfConnected();
            ReportDeath();
        }
        if (mblnCloseAfterS2CFlush && blnS2CIdle && !pair.Dead()
            && (intDataBeingDangled == 1 || intDataBeingDangled == 2)) {
            MarkDead();
            CloseServerSideIfConnected();
            ReportDeath();
        }
    } else if (!blnDanglingOn) {
        // A close that came during the dangle is carried out once its
        // direction is quiet; with data waiting, the resume sends it first.
        ActOnIdlePendingCloses();
    }
}

void ProtocolRelay::SendDataToRemoteClient(const QByteArray& strData)
{
    Trap(Member::SendDataToRemoteClient, [&] {
        ForwardS2C(strData);
        UpdateBackPressure();
    });
}

qint64 ProtocolRelay::RepliesWaitingForTheClient() const
{
    const SocketPair* pair = mobjSocketPair.data();
    return mvarS2CBuffer.size() + (pair && pair->sckServer ? pair->sckServer->BytesToWrite() : 0);
}

// A completion on the client's side: once the replies have drained (or no
// send is left to report that they have), the commands read meanwhile are
// answered, and the client is read from again unless they fill it anew.
void ProtocolRelay::AnswerTheRestBeforeLogin()
{
    Trap(Member::ServerBytesReceived, [&] {
        SocketPair* pair = mobjSocketPair.data();
        if (!pair || pair->Dead()) return;
        if (mblnS2CSendInProgress && RepliesWaitingForTheClient() > kRepliesBeforeLoginBytes / 2) return;
        mblnRepliesBeforeLoginWait = false;
        ServerBytesBeforeConnected(QByteArray());
        if (!mblnRepliesBeforeLoginWait && !mblnC2SPaused && !pair->Dead()) pair->SetServerReadingPaused(false);
    });
}

bool ProtocolRelay::TakeLogin(const QByteArray& strData, const QByteArray& strLoginWord, const QByteArray& strLogInFirst,
                              const QByteArray& strGoodbye, QByteArray& strLogin)
{
    if (mblnQuitBeforeLogin) return false;
    mvarBeforeLogin.append(strData);
    for (;;) {
        // The rest waits, in order, for the replies to drain.
        if (mblnRepliesBeforeLoginWait) return false;
        QByteArray line;
        switch (RoutingText::TakeCommandBeforeLogin(mvarBeforeLogin, line, strLoginWord)) {
        case RoutingText::BeforeLogin::Wait:
            return false;
        case RoutingText::BeforeLogin::Login:
            strLogin = std::exchange(mvarBeforeLogin, {});
            return true;
        case RoutingText::BeforeLogin::Answer:
            SendDataToRemoteClient(strLogInFirst);
            if (Pair().Dead()) {
                mvarBeforeLogin.clear();
                return false;
            }
            if (RepliesWaitingForTheClient() > kRepliesBeforeLoginBytes) {
                mblnRepliesBeforeLoginWait = true;
                Pair().SetServerReadingPaused(true);
            }
            break;
        case RoutingText::BeforeLogin::Quit:
            mblnQuitBeforeLogin = true;
            Pair().Leaving().LeftInOrder();
            mvarBeforeLogin.clear();
            SendDataToRemoteClient(strGoodbye);
            if (!Pair().Dead()) {
                mblnCloseAfterS2CFlush = true;
                ActOnIdlePendingCloses();
                WatchFlushAfterLeaving();
            }
            return false;
        }
    }
}
