#pragma once
// The relay behaviour every handler shares: a buffer and flags per direction,
// send at once when idle and queue otherwise, each completion pulls the next
// piece, throttling and dangling hold data back, and a peer's disconnection
// closes the other side at once or after its pending data has gone.
// Handler classes derive from it and override the steps that are their own.
#include <QByteArray>
#include <QString>
#include <QTimer>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "platform/ByteCount.h"
#include "platform/ClosingSocket.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolHandler.h"
#include "protocols/RelayBuffer.h"

class SocketPair;

class ProtocolRelay : public ProtocolHandler {
public:
    ~ProtocolRelay() override;

    void LocalServerRejectedConnection() override;
    void ConnectedToRemoteServer(const QString& strComment) override;
    void RemoteServerInitiatedDisconnection(const QString& strComment) override;
    void ClientBytesReceived(const QByteArray& strData) override;
    void ClientBytesSent() override;
    void RemoteClientInitiatedDisconnection() override;
    void ServerBytesReceived(const QByteArray& strData) override;
    void ServerError(int lngError, const QString& strError) override;
    void ClientError(int lngError, const QString& strError) override;
    void ServerBytesSent() override;
    bool ResumeThrottledOrDangledClientSend(bool blnDiscardData) override;
    bool ResumeThrottledOrDangledServerSend(bool blnDiscardData) override;
    void DanglingStatusChanged(bool blnDanglingOn, int intDataBeingDangled, int lngTimeDuringDangle) override;

    // A direction whose waiting data exceeds this stops reading from its
    // source until the backlog has drained to half of it.
    static constexpr qint64 kBackPressureBytes = 1024 * 1024;
    // Before the login, while more of the proxy's own replies than this wait
    // unsent for the client, the client's further commands are not read;
    // reading goes on once half of it is left.
    static constexpr qint64 kRepliesBeforeLoginBytes = 64 * 1024;

#ifdef TSY_BYTE_COUNT
    // Told of every discard by a failure rule, so that a soak can tell the
    // gap it leaves from a lost block.
    static inline std::function<void(SocketPair* objSocketPair, qint64 lngBytes)> gDiscardObserver;
#endif

    // How long a side whose far peer has left may take nothing of what is
    // still sent to it before it is given up on: its socket is reset and
    // what waited for it dropped. The bounds of the platform's sockets: the
    // short one after a reset or an error, the long one once a peer has
    // left in order (SocketPair::Leaving).
    static inline int& gFlushWithoutProgressMs = tsy::Winsock::gPeerTakesNothingMs;
    static inline int& gFlushAfterOrderlyCloseMs = tsy::Winsock::gPeerTakesNothingAfterOrderlyCloseMs;

    // Read-only views for tests and diagnostics.
    qint64 C2SBufferedBytes() const { return mvarC2SBuffer.size(); }
    qint64 S2CBufferedBytes() const { return mvarS2CBuffer.size(); }

protected:
    // Members named in the error sentences.
    enum class Member {
        LocalServerAcceptedConnection, LocalServerRejectedConnection, ConnectedToRemoteServer,
        RemoteServerInitiatedDisconnection, ClientBytesReceived, ClientBytesSent,
        RemoteClientInitiatedDisconnection, ServerBytesReceived, ServerError, ClientError,
        ServerBytesSent, ResumeThrottledOrDangledClientSend, ResumeThrottledOrDangledServerSend,
        SendDataToRemoteClient
    };

    // ---- what each class says of itself -------------------------------------
    virtual QString ProtocolText() const = 0;                 // reported through GotProtocol
    virtual QString ProtocolWord() const { return GetProtocolName(); }   // in error sentences
    virtual QString ActionPhrase(Member m) const;             // default: the HTTP wording
    // Routing classes choose their server from the first client data.
    virtual bool IsRoutingClass() const { return true; }
    // Whether the buffered client data goes out when the outgoing connection comes up.
    virtual bool FlushesBufferAtConnect() const { return true; }
    // Largest continuation piece handed to a socket on a completion; 0 = whole buffer.
    virtual qint64 ContinuationPieceLimit() const { return 0; }
    // Failed lookups answer the client with the protocol's NoSiteError text.
    virtual bool UsesNoSiteError() const { return true; }
    // A dangle's start and end also act on the closes pending for it.
    virtual bool ClosesPendingOnDangle() const { return false; }
    // Every byte a peer sends is relayed as it came: nothing is rewritten,
    // added or answered by the proxy, so the byte count can hold it to that.
    virtual bool RelaysUnchanged() const { return false; }
    // Client data that arrives before the outgoing connection is up.
    virtual void ServerBytesBeforeConnected(const QByteArray& strData);

    // ---- the common steps ----------------------------------------------------
    void CommonOpening(bool blnFollowOn);
    void ConnectAttempt(const QString& strServer, int lngPort);
    void SendDataToRemoteClient(const QByteArray& strData);
    // Client data before the login of a class whose login names the server.
    // Each whole command other than the login word is answered with
    // strLogInFirst and goes no further; QUIT is answered with strGoodbye and
    // the connection closes once that has gone, dropping what follows. True
    // when strLogin holds the data to route, from the login command on.
    // A client that does not read its replies is not read from meanwhile
    // (kRepliesBeforeLoginBytes); what it sent stays in order, and is taken
    // up again, through ServerBytesBeforeConnected, once the replies drain.
    bool TakeLogin(const QByteArray& strData, const QByteArray& strLoginWord, const QByteArray& strLogInFirst,
                   const QByteArray& strGoodbye, QByteArray& strLogin);

    SocketPair& Pair() const;   // throws when the pair has gone
    Logging& Log() const;       // throws when no recorder is attached
    bool ServerConnected() const;
    bool ClientConnected() const;
    bool C2SDangling() const;
    bool S2CDangling() const;
    // A side given up on is reset, not closed.
    void CloseServerSide(bool blnGiveUp = false);
    void CloseClientSide(bool blnGiveUp = false);
    void CloseServerSideIfConnected();
    void CloseClientSideIfConnected();
    void MarkDead();
    // Called once the pair is marked dead, for what a protocol must undo then.
    virtual void ConnectionEnded() {}
    void ReportDeath();
    void C2SBadState();
    void S2CBadState();
    // A direction whose receiving socket is gone: report it, close what is
    // left and end the pair.
    void EndC2SInBadState(bool blnCloseClientSide);
    void EndS2CInBadState();
    // A direction whose receiving side we closed because that side's peer
    // went away, while the other direction is still being delivered: what
    // comes for it has nowhere to go. It is dropped (the first drop is
    // recorded as the bad state of that side) and the pair lives on until
    // the other direction has delivered what it holds.
    bool C2SHasNowhereToGo() const;
    bool S2CHasNowhereToGo() const;
    void DropC2S(qint64 lngBytes);
    void DropS2C(qint64 lngBytes);
    // Drops all that waits for that side, and the send it was in.
    void DropWaitingC2S();
    void DropWaitingS2C();
    // A side closed because its peer left, while the other direction still
    // delivers: what waits for it is dropped at once and its far peer is
    // read from again (what it sends is dropped as it comes), so that a peer
    // blocked sending to us goes on to read what is still delivered to it.
    void NothingMoreForTheServer();
    void NothingMoreForTheClient();
    // A side whose far peer has left is still sent what waits for it; one
    // that takes nothing of it for its bound, as its socket measures what
    // the peer takes, is given up on. The watch starts here,
    // with a fresh clock, and stops while nothing is on its way (a dangle,
    // a throttle's pause).
    // Meanwhile the flush is enlisted as a stalled delivery, which a
    // request short of descriptors may give up.
    void WatchFlushAfterLeaving();
    bool C2SFlushAfterLeaving() const;
    bool S2CFlushAfterLeaving() const;
    void GiveUpTheFlush();
    void StopWatchingTheFlush();
    qint64 FlushStalledMs() const;
    void GiveUpTheFlushForRoom();
    // Resets the side that takes nothing, drops what waited for it with
    // strWhy as that side's state, and ends the pair.
    void EndTheFlush(bool blnC2S, int lngError, const QString& strWhy);
    // Sends T; what throttling holds back goes in front of the buffer.
    void SendC2S(const QByteArray& T);
    void SendS2C(const QByteArray& T);
    void AppendC2S(const QByteArray& strData, bool blnBecauseOfDangling);
    void AppendS2C(const QByteArray& strData, bool blnBecauseOfDangling);
    QByteArray NextPiece(RelayBuffer& buffer);
    // Sends the data at once when the direction is idle, or queues it behind
    // the send in progress; a destination that is not connected ends the pair.
    // Dangling is the caller's affair.
    void ForwardC2S(const QByteArray& strData);
    void ForwardS2C(const QByteArray& strData);
    // What arrived for an idle, connected, undangled direction: sent, then
    // recorded as received and sent.
    void RelayAtOnceC2S(const QByteArray& strData);
    void RelayAtOnceS2C(const QByteArray& strData);
    // Once the outgoing connection is up: sends the client data held
    // meanwhile, or carries out a close that came meanwhile.
    void FinishConnection();

    // Closes pending for a direction that has gone quiet (nothing queued,
    // nothing outstanding, not dangled, not paced) are carried out now.
    void ActOnIdlePendingCloses();
    // Data queued for a side whose chain of sends is still running, or held
    // by a dangle: a failure of the other side lets it go before that side
    // closes.
    bool C2SStillOnItsWay() const;
    bool S2CStillOnItsWay() const;
    void UpdateBackPressure();

    // Runs body; a failure is reported with the member's sentence.
    template <class F>
    void Trap(Member m, F&& body)
    {
        try {
            std::forward<F>(body)();
        } catch (...) {
            ReportFailure(m, std::current_exception());
        }
    }
    void ReportFailure(Member m, std::exception_ptr e);
    static void DescribeFailure(std::exception_ptr e, int& lngNumber, QString& strDescription);

    // ---- relay state -----------------------------------------------------------
    RelayBuffer mvarC2SBuffer;
    RelayBuffer mvarS2CBuffer;
    bool mblnC2SSendInProgress = false;
    bool mblnS2CSendInProgress = false;
    bool mblnC2SSendOutstanding = false;
    bool mblnS2CSendOutstanding = false;
    bool mblnCloseAfterC2SFlush = false;
    bool mblnCloseAfterS2CFlush = false;
    bool mblnRequestRouted = false;   // routing classes only

private:
    qint64 RepliesWaitingForTheClient() const;
    void AnswerTheRestBeforeLogin();

    // TakeLogin's state: the commands not yet answered (the last perhaps not
    // whole), a QUIT answered, and the client not read from until the
    // replies to the earlier commands have drained.
    QByteArray mvarBeforeLogin;
    bool mblnQuitBeforeLogin = false;
    bool mblnRepliesBeforeLoginWait = false;

    std::unique_ptr<QTimer> mtmrFlushGuard;
    std::unique_ptr<tsy::StalledDelivery> mobjStalledFlush;   // while the guard runs

    bool mblnC2SPaused = false;
    bool mblnS2CPaused = false;
    bool mblnC2SDropReported = false;
    bool mblnS2CDropReported = false;
    // What already waited when the current dangle of a direction began: a
    // discard at its end drops only what came after.
    qint64 mlngC2SBeforeDangle = 0;
    qint64 mlngS2CBeforeDangle = 0;
    // Drops what the dangle collected from the back of the buffer; false
    // when nothing is left to send.
    bool DiscardCollected(RelayBuffer& buffer, qint64& lngBeforeDangle, bool blnC2S);

#ifdef TSY_BYTE_COUNT
    // Per direction: what the sending peer delivered must have been sent on,
    // still wait, have been discarded by a failure rule or dropped because
    // its side had closed.
    struct ByteCount {
        qint64 received = 0;
        qint64 sent = 0;
        qint64 discarded = 0;
        qint64 dropped = 0;
        bool breached = false;   // reported once
    };
    ByteCount mC2SCount;
    ByteCount mS2CCount;
    void CheckByteCount(bool blnC2S);
#endif
};
