#pragma once
// Stand-in for the classic event-driven socket control: one object per TCP
// socket, IPv4, addresses always dotted, events delivered on the event loop.
#include <QByteArray>
#include <QHostInfo>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

#include "platform/ByteCount.h"
#include "platform/Descriptors.h"

class QSocketNotifier;
class QTimer;

namespace tsy {

namespace detail {
struct Outgoing;
class PeerProgress;
}

// How a connection's peers have left, shared by its sockets and by what
// lingers of them after their close: it decides how long a peer that takes
// nothing of what is still sent to it is kept. A peer that left in order (a
// close or half-close, or the program's own orderly close) leaves a socket
// that a direct connection would keep for minutes while the other peer's
// TCP still answers, so the long bound applies; after a reset or a socket
// error, from either peer, a direct connection drops everything at once, so
// the short one does. A reset seen later shortens it.
class PeerLeaving {
public:
    void LeftInOrder()
    {
        if (mHow == How::NotYet) mHow = How::InOrder;
    }
    void Failed() { mHow = How::Failed; }
    bool InOrder() const { return mHow == How::InOrder; }
    int TakesNothingMs() const;

private:
    enum class How : unsigned char { NotYet, InOrder, Failed };
    How mHow = How::NotYet;
};

struct SocketError {
    int number = 0;
    QString description;
    explicit operator bool() const { return number != 0; }
};

// Classic socket error numbers the program tests.
namespace SockErr {
constexpr int AddressInUse = 10048;
constexpr int AccessDenied = 10013;
constexpr int ConnectionRefused = 10061;
constexpr int TimedOut = 10060;
constexpr int ConnectionAborted = 10053;
constexpr int ConnectionReset = 10054;
constexpr int HostNotFound = 11001;
constexpr int TryAgain = 11002;
constexpr int InvalidArgument = 10022;   // bad port / empty host / wrong state
constexpr int NotConnected = 10057;
constexpr int TooManySockets = 10024;
constexpr int NoBufferSpace = 10055;
constexpr int AddressNotAvailable = 10049;
constexpr int NetworkUnreachable = 10051;
constexpr int HostUnreachable = 10065;
constexpr int Unknown = 10004;           // anything Qt cannot name more precisely
}

class Winsock : public QObject {
    Q_OBJECT
public:
    enum StateCode {
        sckClosed = 0, sckOpen = 1, sckListening = 2, sckConnectionPending = 3,
        sckResolvingHost = 4, sckHostResolved = 5, sckConnecting = 6,
        sckConnected = 7, sckClosing = 8, sckError = 9
    };

    explicit Winsock(QObject* parent = nullptr);
    ~Winsock() override;

    // Methods. Each returns false and fills *err when it fails at once;
    // nothing fails at once by raising an event. Connect and Accept need the
    // closed state (Accept closes whatever the object held first).
    // On LocalPort. It needs room for its descriptor beside the reserve
    // (Descriptors), unless it is given a claim: it then takes the claim over,
    // its own descriptor and those of the connections it accepts are drawn
    // from it, and what is left goes back when it closes. A failed Listen
    // leaves the claim with the caller.
    bool Listen(SocketError* err = nullptr, DescriptorClaim* claim = nullptr);
    bool Accept(qint64 requestId, SocketError* err = nullptr);
    bool Connect(const QString& host, int port, SocketError* err = nullptr);
    bool SendData(const QByteArray& data, SocketError* err = nullptr);
    // Takes what has arrived: at most kMaxChunk bytes, the rest is announced
    // by the next DataArrival.
    QByteArray GetData();
    static constexpr qint64 kMaxChunk = 64 * 1024;
    // Graceful: what SendData took is still delivered after the object is
    // closed or deleted (the socket lingers on its own while the peer takes
    // something at least once within PeerTakesNothingMs, then waits a
    // bounded while for the peer's own close). While its peer has not all
    // of it, a request short of descriptors may give it up (StalledDelivery).
    // Raises no Closed/Error/SendComplete, now or later.
    void Close();
    // For a peer given up on: closes at once with a reset, and what it has
    // not taken is dropped.
    void Abort();

    // How long the peer has taken nothing of what we sent it, in ms, as its
    // TCP tells (see detail::PeerProgress). The clock starts at the first
    // call, or again with restart; a Close hands it on to the socket's
    // linger, so one stall is measured once.
    qint64 MsPeerTookNothing(bool restart = false);
    // How long a peer may take nothing of what we still have for it before
    // it is given up on: a side whose far peer has left, and a closed
    // socket's flush. The short bound holds after a reset or an error, and
    // for a socket whose connection has said nothing of its peers; the long
    // one once a peer has left in order. Tests shorten both.
    static inline int gPeerTakesNothingMs = 30000;
    static inline int gPeerTakesNothingAfterOrderlyCloseMs = 300000;
    // The sockets of one connection share how its peers left; the bound
    // that applies to this socket now.
    void ShareLeaving(std::shared_ptr<PeerLeaving> leaving) { mLeaving = std::move(leaving); }
    int PeerTakesNothingMs() const { return PeerTakesNothingMs(mLeaving.get()); }
    // The same for a socket of a connection that has said nothing, or none.
    static int PeerTakesNothingMs(const PeerLeaving* leaving)
    {
        return leaving ? leaving->TakesNothingMs() : gPeerTakesNothingMs;
    }
    // How often a watcher of a bound looks.
    static int PeerWatchMs(int boundMs);

    // Properties.
    int State() const;
    int LocalPort() const;
    void SetLocalPort(int port);
    QString LocalIP() const;
    static QString LocalHostName();
    int RemotePort() const;
    QString RemoteHost() const;      // as given to Connect; empty for an accepted socket
    QString RemoteHostIP() const;
    QString Tag() const { return mTag; }
    void SetTag(const QString& tag) { mTag = tag; }

    // Back-pressure: while paused, no DataArrival is raised and the socket
    // reads at most kMaxChunk from the OS, so TCP pushes back.
    void SetReadingPaused(bool paused);
    bool ReadingPaused() const { return mPaused; }
    qint64 BytesAvailable() const;   // read from the OS, not yet taken
    qint64 BytesToWrite() const;     // handed to SendData, not yet left the buffer

    // Descriptors. A served connection holds two: its accepted socket and
    // its outgoing one. A request is taken from a listen queue only while
    // both fit beside the reserve (Descriptors), or are drawn from the
    // listening socket's claim; otherwise the listening sockets stop taking
    // requests, which wait in the queue, until there is room again.
    // The outgoing socket of a connection accepted on `accepted`: its
    // descriptor is the one reserved when that request was taken.
    void DrawReserveFrom(Winsock* accepted);

#ifdef TSY_BYTE_COUNT
    // What SendData took must have been written, still be queued, have gone
    // with a close to be flushed, or have been abandoned by a failure. Empty
    // when that holds; otherwise the figures.
    QString SendCountBreach() const;
#endif

signals:
    // Raised synchronously for each incoming connection. Accept it on another
    // Winsock inside the slot; a request still unclaimed when the slot
    // returns is reset at once (the client sees a reset).
    void ConnectionRequest(qint64 requestId);
    void Connected();                  // the classic Connect event
    void DataArrival(qint64 bytesTotal);
    // Everything handed to SendData has left our buffer. One event per drain:
    // several sends made before the buffer empties share one SendComplete.
    // Sends made inside a DataArrival that more data follows (a full read)
    // are gathered and written together when that read round ends, before
    // the loop turns again; they count as written at once.
    void SendComplete();
    void Closed();                     // the classic Close event: the peer closed
    void Error(int number, const QString& description);

private slots:
    void onHostLookedUp(const QHostInfo& info);

private:
    void attach(int fd);
    void dropNotifiers();
    void startConnect(quint32 ipv4);
    void finishConnect();
    void abandonConnect();
    void onAcceptable();
    void onReadable();
    void onWritable();
    bool readInto(qint64 room);
    void peerClosed();
    void socketFailed(int savedErrno);
    void failAfterReading(const SocketError& error);
    void deliverDrained();
    void waitForDescriptors();
    void deferToLoop(std::function<void()> work);
    void raiseDataArrivalLater();
    void queueCompletionCheck();
    void updateReadNotifier();
    // Paused reading holds what has arrived, unless the peer has closed.
    bool holding() const { return mPaused && !mDrainToEnd; }
    void watchWhilePaused();
    bool probePeerWhilePaused();   // false once there is nothing more to watch
    void fail(int number, const QString& description);
    void closeNow(bool reset);
    static void beforeSleep();
    void flushGathered();
    static void writeGathered();

    // The native descriptor of the listening, connecting or connected
    // socket; the notifiers watching it are always gone before it is closed
    // or handed on.
    int mFd = -1;
    QSocketNotifier* mReadNotifier = nullptr;
    QSocketNotifier* mWriteNotifier = nullptr;
    QSocketNotifier* mConnectNotifier = nullptr;
    QTimer* mConnectTimer = nullptr;
    std::unique_ptr<detail::Outgoing> mOut;   // handed to SendData, not yet written
    std::unique_ptr<detail::PeerProgress> mProgress;   // only once someone asks
    std::shared_ptr<PeerLeaving> mLeaving;             // kept across closes: the connection's
    QByteArray mHeld;                 // read from the OS, not yet taken by GetData
    QString mTag;
    QString mRemoteHost;
    int mRemotePort = 0;
    int mLocalPort = 0;
    qint64 mChunk = kMaxChunk;   // what one read takes at most
    int mState = sckClosed;
    int mLookupId = -1;        // the host lookup whose answer is awaited
    quint64 mGeneration = 0;   // bumped by Close: queued work of an older socket is dropped
    bool mPaused = false;
    bool mDrainToEnd = false;   // paused, but the peer has closed: read up to its end
    bool mProbed = false;       // listed for the probe of paused sockets
    bool mSendPending = false;
    bool mGathered = false;      // mOut is a gathered batch, not yet offered to the OS
    bool mCompletionQueued = false;
    bool mPeerClosed = false;
    bool mArrivalQueued = false;
    bool mInArrival = false;     // inside our own DataArrival: nested reads wait
    bool mReadDeferred = false;  // a read was skipped while inside DataArrival
    // A failed connection's last bytes, read before its error is raised.
    bool mFailing = false;
    SocketError mFailure;
    QList<QByteArray> mDrained;   // empty, a list allocates nothing (a deque would, per socket)
    DescriptorClaim mReserve;          // an accepted socket's: the descriptor of its outgoing one
    DescriptorClaim mClaim;            // a listening socket's: drawn on by the connections it accepts
    QPointer<Winsock> mReserveFrom;    // the accepted socket this one's descriptor was reserved by
    // Addresses of the current or last connection, kept readable after the
    // peer has gone.
    QString mPeerIP;
    QString mBoundIP;
    int mBoundPort = 0;
#ifdef TSY_BYTE_COUNT
    struct SendCount {
        qint64 handed = 0;      // taken by SendData
        qint64 written = 0;     // by queues already retired
        qint64 lingered = 0;    // queued when the socket was closed: flushed by the close
        qint64 abandoned = 0;   // queued, or sent, when the connection failed
    };
    SendCount mSendCount;
    void settleOut(qint64 SendCount::*where);
#endif
};

// For tests: how many pending requests are held unclaimed right now.
int PendingConnectionRequests();

} // namespace tsy
