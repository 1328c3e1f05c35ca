#include "platform/Winsock.h"

#include "platform/ClosingSocket.h"

#include <QAbstractEventDispatcher>
#include <QBasicTimer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tsy {

using detail::CloseHeld;
using detail::PendingError;
using detail::ResetAndClose;
using detail::Retire;

namespace {

// Reads one wake-up may make before the loop turns again: up to 1 MiB of a
// bulk transfer per turn, each turn's own cost (the poll, timers, posted
// events) shared by sixteen chunks rather than four.
constexpr int kReadsPerWakeUp = 16;
// Right after traffic, the loop looks at its sockets for a moment before it
// sleeps: an answer that comes within that moment is taken without the
// sleep and wake-up, which cost a relayed round trip more than the work.
// A loopback peer on a virtual machine takes some 60 to 100 µs to answer,
// so a moment of 50 µs mostly ended just before the answer came.
constexpr auto kSpinAfterTraffic = std::chrono::microseconds(500);
constexpr auto kSpin = std::chrono::microseconds(150);
constexpr int kSpinSockets = 16;   // more connections than that: sleep at once
// What a socket may gather in one read round before it writes anyway.
constexpr qint64 kGatherBytes = 1024 * 1024;
// A connect attempt that the OS has not settled by then fails as timed out.
constexpr int kConnectTimeoutMs = 30000;

QString describe(int number)
{
    switch (number) {
    case SockErr::AccessDenied: return QStringLiteral("Permission denied");
    case SockErr::InvalidArgument: return QStringLiteral("Invalid argument");
    case SockErr::AddressInUse: return QStringLiteral("Address in use");
    case SockErr::TooManySockets: return QStringLiteral("Too many open sockets");
    case SockErr::AddressNotAvailable: return QStringLiteral("Address is not available from the local machine");
    case SockErr::NetworkUnreachable: return QStringLiteral("The network cannot be reached from this host at this time");
    case SockErr::ConnectionAborted: return QStringLiteral("Connection is aborted due to timeout or other failure");
    case SockErr::ConnectionReset: return QStringLiteral("The connection is reset by remote side");
    case SockErr::NoBufferSpace: return QStringLiteral("No buffer space is available");
    case SockErr::NotConnected: return QStringLiteral("Socket is not connected");
    case SockErr::TimedOut: return QStringLiteral("Attempt to connect timed out");
    case SockErr::ConnectionRefused: return QStringLiteral("Connection is forcefully rejected");
    case SockErr::HostUnreachable: return QStringLiteral("No route to host");
    case SockErr::HostNotFound: return QStringLiteral("Authoritative answer: Host not found");
    case SockErr::TryAgain: return QStringLiteral("Non-Authoritative answer: Host not found");
    default: return QStringLiteral("Unknown error");
    }
}

SocketError makeError(int number, const QString& text = QString())
{
    return SocketError{number, text.isEmpty() ? describe(number) : text};
}

bool failNow(SocketError* err, int number, const QString& text = QString())
{
    if (err) *err = makeError(number, text);
    return false;
}

// Errno refines what Qt reports vaguely; only the values we understand count.
int fromErrno(int e, bool connecting)
{
    switch (e) {
    case ECONNRESET:
    case EPIPE: return SockErr::ConnectionReset;
    case ECONNREFUSED: return SockErr::ConnectionRefused;
    case ETIMEDOUT: return connecting ? SockErr::TimedOut : SockErr::ConnectionAborted;
    case ECONNABORTED: return SockErr::ConnectionAborted;
    case ENETUNREACH: return SockErr::NetworkUnreachable;
    case EHOSTUNREACH: return SockErr::HostUnreachable;
    case EACCES:
    case EPERM: return SockErr::AccessDenied;
    case EADDRINUSE: return SockErr::AddressInUse;
    case EADDRNOTAVAIL: return SockErr::AddressNotAvailable;
    case EMFILE:
    case ENFILE: return SockErr::TooManySockets;
    case ENOBUFS:
    case ENOMEM: return SockErr::NoBufferSpace;
    default: return 0;
    }
}


// Connected sockets and their peers' addresses waiting in ConnectionRequest.
struct PendingRequest {
    int fd = -1;
    sockaddr_in peer{};
    sockaddr_in local{};
    // The descriptors set aside for it (its own, and its outgoing socket's);
    // drawn from its listener's claim when `own`.
    DescriptorClaim claim;
    bool own = false;
};

struct PendingRequests {
    std::unordered_map<qint64, PendingRequest> sockets;
    qint64 lastId = 0;
};

PendingRequests& pending()
{
    static PendingRequests p;
    return p;
}

QString dottedIPv4(const sockaddr_in& a)
{
    return QHostAddress(ntohl(a.sin_addr.s_addr)).toString();
}

SocketError errnoError(int e, bool connecting)
{
    if (const int n = fromErrno(e, connecting)) return makeError(n);
    return makeError(SockErr::Unknown, QString::fromLocal8Bit(std::strerror(e)));
}

int opened(int fd)
{
    return Descriptors::Opened(fd);
}

// The largest read that leaves as whole segments when it is sent on: 64 KiB
// over loopback's segment size of 65483 bytes would go out as a full
// segment and a 53-byte one, which doubles the packets a bulk transfer costs
// and halves its rate. The segment size we advertise stands for both sides.
qint64 chunkFor(int fd)
{
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 || info.tcpi_advmss == 0
        || info.tcpi_advmss >= Winsock::kMaxChunk)
        return Winsock::kMaxChunk;
    return Winsock::kMaxChunk / info.tcpi_advmss * info.tcpi_advmss;
}

void setNoDelay(int fd)
{
    // A relay forwards what it has at once; Nagle would only add delay.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

int PendingConnectionRequests()
{
    return int(pending().sockets.size());
}

void Winsock::DrawReserveFrom(Winsock* accepted)
{
    mReserveFrom = accepted;
}

void Winsock::waitForDescriptors()
{
    // A freed descriptor, or the count of what the rest of the program holds
    // going down, wakes us.
    if (mReadNotifier) mReadNotifier->setEnabled(false);
    const quint64 gen = mGeneration;
    Descriptors::WaitForRoom(this, [this, gen] {
        if (gen != mGeneration || mState != sckListening || !mReadNotifier) return;
        mReadNotifier->setEnabled(true);
        // The claim comes before the accept, so a listener may have waited
        // with nothing queued; no wake-up will then say its queue is taken.
        pollfd p{mFd, POLLIN, 0};
        if (::poll(&p, 1, 0) == 0) Descriptors::QueueTaken(this);
    });
}

namespace {

using SpinClock = std::chrono::steady_clock;
// Sockets with notifiers. Never destroyed: a socket may outlive static
// destruction.
QSet<Winsock*>& Watched()
{
    static auto* watched = new QSet<Winsock*>;
    return *watched;
}
SpinClock::time_point gLastRead;   // when a read last found data

// Sends made inside an arrival that more data follows are gathered and
// written together when the read round ends: one sendmsg of many chunks
// costs the kernel far less per byte than a send per chunk (fewer pushes,
// fewer wake-ups of the peer), and the loop does not turn in between.
bool gGathering = false;
std::vector<QPointer<Winsock>>& Gathered()
{
    static auto* gathered = new std::vector<QPointer<Winsock>>;
    return *gathered;
}

} // namespace

void Winsock::writeGathered()
{
    auto& all = Gathered();
    // A failure found here arrives later, as an event, and the sockets are
    // only written to, so the list stays as it is while it is walked.
    for (const QPointer<Winsock>& w : all)
        if (w) w->flushGathered();
    all.clear();
}

void Winsock::flushGathered()
{
    if (!mGathered) return;
    mGathered = false;
    if (mFd == -1 || !mOut) return;
    int e = 0;
    if (!mOut->write(mFd, &e)) {
        deferToLoop([this, e] { socketFailed(e); });
        return;
    }
    if (!mOut->empty() && mWriteNotifier) mWriteNotifier->setEnabled(true);
}

void Winsock::beforeSleep()
{
    // A handler that ran a loop of its own inside an arrival: nothing
    // gathered waits through the sleep. Then, right after traffic, a short
    // spin.
    if (!Gathered().empty()) writeGathered();
    if (Watched().isEmpty() || Watched().size() > kSpinSockets) return;
    const auto start = SpinClock::now();
    if (start - gLastRead > kSpinAfterTraffic) return;
    pollfd fds[kSpinSockets];
    nfds_t n = 0;
    for (const Winsock* w : std::as_const(Watched())) {
        short events = 0;
        if (w->mReadNotifier && w->mReadNotifier->isEnabled()) events |= POLLIN;
        if (w->mWriteNotifier && w->mWriteNotifier->isEnabled()) events |= POLLOUT;
        if (events) fds[n++] = pollfd{w->mFd, events, 0};
    }
    if (n == 0) return;
    do {
        if (::poll(fds, n, 0) != 0) return;   // ready (or failed): the loop's own wait finds it
    } while (SpinClock::now() - start < kSpin);
}

Winsock::Winsock(QObject* parent) : QObject(parent) {}

Winsock::~Winsock()
{
    Close();
    Watched().remove(this);
}

void Winsock::fail(int number, const QString& description)
{
    // The socket is of no more use: it goes at once, hard.
    dropNotifiers();
    if (mFd != -1) {
        ResetAndClose(mFd);
        mFd = -1;
    }
    mReserve.Release();
#ifdef TSY_BYTE_COUNT
    settleOut(&SendCount::abandoned);
#endif
    mOut.reset();
    mProgress.reset();
    mGathered = false;
    mFailing = false;
    mDrained.clear();
    mState = sckError;
    mSendPending = false;
    emit Error(number, description);
}

void Winsock::dropNotifiers()
{
    Watched().remove(this);
    Retire(mReadNotifier);
    Retire(mWriteNotifier);
}

bool Winsock::Listen(SocketError* err, DescriptorClaim* claim)
{
    if (mState != sckClosed) return failNow(err, SockErr::InvalidArgument);
    if (mLocalPort < 0 || mLocalPort > 65535) return failNow(err, SockErr::InvalidArgument);
    if (!(claim && *claim) && !Descriptors::RoomForOne()) return failNow(err, SockErr::TooManySockets);

    const int fd = opened(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd < 0) {
        if (err) *err = errnoError(errno, false);
        return false;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(quint16(mLocalPort));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    // The system's largest backlog: a burst of clients waits in the kernel
    // instead of being refused.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int e = errno;
        CloseHeld(fd);
        if (err) *err = errnoError(e, false);
        return false;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    mBoundPort = ntohs(sa.sin_port);
    mFd = fd;
    if (claim) {
        mClaim = std::move(*claim);
        mClaim.TakeOne();
    }
    mReadNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(mReadNotifier, &QSocketNotifier::activated, this, &Winsock::onAcceptable);
    mState = sckListening;
    return true;
}

void Winsock::onAcceptable()
{
    QPointer<Winsock> self(this);
    const quint64 gen = mGeneration;
    // Every request waiting in the backlog, not one per wake-up.
    while (self && gen == mGeneration && mState == sckListening) {
        // A connection of a served session (an FTP data port's) draws on
        // what was set aside for it; any other must fit beside the reserve.
        const bool own = mClaim.Count() >= 2;
        DescriptorClaim claim = own ? mClaim.Split(2) : Descriptors::ClaimConnection();
        if (!claim) {
            waitForDescriptors();
            return;
        }
        PendingRequest r;
        socklen_t len = sizeof r.peer;
        const int fd = opened(::accept4(mFd, reinterpret_cast<sockaddr*>(&r.peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd < 0) {
            const int e = errno;
            if (own) mClaim.Absorb(std::move(claim));
            if (e == EINTR || e == ECONNABORTED) continue;
            if (e == EAGAIN || e == EWOULDBLOCK) {
                Descriptors::QueueTaken(this);
                return;
            }
            // Out of descriptors or memory: stop watching for a moment rather
            // than spin, and try again.
            mReadNotifier->setEnabled(false);
            QTimer::singleShot(500, this, [this, gen] {
                if (gen == mGeneration && mReadNotifier) mReadNotifier->setEnabled(true);
            });
            return;
        }
        len = sizeof r.local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&r.local), &len);
        r.fd = fd;
        r.claim = std::move(claim);
        r.own = own;
        auto& table = pending();
        const qint64 id = ++table.lastId;
        table.sockets.emplace(id, std::move(r));
        emit ConnectionRequest(id);
        // Left neither accepted nor refused: reset it rather than leave it
        // open with nobody reading. What was set aside for it stays with a
        // listener that goes on listening.
        auto it = table.sockets.find(id);
        if (it != table.sockets.end()) {
            PendingRequest left = std::move(it->second);
            table.sockets.erase(it);
            ResetAndClose(left.fd);
            if (left.own && self && gen == mGeneration && mState == sckListening) mClaim.Absorb(std::move(left.claim));
        }
    }
}

bool Winsock::Accept(qint64 requestId, SocketError* err)
{
    auto& table = pending();
    auto it = table.sockets.find(requestId);
    if (it == table.sockets.end()) return failNow(err, SockErr::InvalidArgument);
    PendingRequest r = std::move(it->second);
    table.sockets.erase(it);

    Close();
    mPeerClosed = false;
    mPeerIP = dottedIPv4(r.peer);
    // No reverse lookup: an accepted socket knows its peer only by address,
    // so its host name stays empty and callers fall back to the address.
    mRemoteHost.clear();
    mRemotePort = ntohs(r.peer.sin_port);
    mBoundIP = dottedIPv4(r.local);
    mBoundPort = ntohs(r.local.sin_port);
    attach(r.fd);
    mState = sckConnected;
    // One of what was set aside is its own descriptor; the other waits for
    // its outgoing socket.
    r.claim.TakeOne();
    mReserve = std::move(r.claim);
    // A peer already gone, or data already there, is seen by the read
    // notifier from the event loop.
    return true;
}

bool Winsock::Connect(const QString& host, int port, SocketError* err)
{
    if (port < 1 || port > 65535) return failNow(err, SockErr::InvalidArgument);
    const QString name = host.trimmed();
    if (name.isEmpty()) return failNow(err, SockErr::InvalidArgument);
    if (mState != sckClosed)
        return failNow(err, SockErr::InvalidArgument,
                       QStringLiteral("Wrong protocol or connection state for the requested transaction or request"));

    mRemoteHost = host;
    mRemotePort = port;
    mPeerIP.clear();
    mBoundIP.clear();
    mBoundPort = 0;
    mPeerClosed = false;
    mState = sckConnecting;
    const quint64 gen = mGeneration;

    QHostAddress literal;
    if (literal.setAddress(name)) {
        bool v4 = false;
        const quint32 ip = literal.toIPv4Address(&v4);
        // Even a literal address connects from the event loop, so that no
        // event is ever raised inside Connect itself.
        QTimer::singleShot(0, this, [this, gen, v4, ip] {
            if (gen != mGeneration) return;
            if (v4) startConnect(ip);
            else fail(SockErr::HostNotFound, describe(SockErr::HostNotFound));
        });
        return true;
    }
    // A lookup overtaken by Close is left to finish and ignored (aborting
    // one leaks Qt's callback object). The answer comes to a named slot, not
    // a lambda: Qt drops a lambda's callback object without freeing it when
    // the socket is deleted before the lookup ends.
    mLookupId = QHostInfo::lookupHost(name, this, SLOT(onHostLookedUp(QHostInfo)));
    return true;
}

void Winsock::onHostLookedUp(const QHostInfo& info)
{
    if (info.lookupId() != mLookupId || mState != sckConnecting) return;
    mLookupId = -1;
    if (info.error() == QHostInfo::UnknownError) {
        // getaddrinfo's "try again" (no answer from the name server) lands here.
        fail(SockErr::TryAgain, describe(SockErr::TryAgain));
        return;
    }
    for (const QHostAddress& a : info.addresses()) {
        bool v4 = false;
        const quint32 ip = a.toIPv4Address(&v4);
        if (v4) {
            startConnect(ip);
            return;
        }
    }
    fail(SockErr::HostNotFound, describe(SockErr::HostNotFound));
}

void Winsock::startConnect(quint32 ipv4)
{
    mPeerIP = QHostAddress(ipv4).toString();
    const int fd = opened(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd < 0) {
        const SocketError e = errnoError(errno, true);
        fail(e.number, e.description);
        return;
    }
    if (mReserveFrom) mReserveFrom->mReserve.TakeOne();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(quint16(mRemotePort));
    sa.sin_addr.s_addr = htonl(ipv4);
    mFd = fd;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        finishConnect();
        return;
    }
    if (errno != EINPROGRESS) {
        const SocketError e = errnoError(errno, true);
        abandonConnect();
        fail(e.number, e.description);
        return;
    }
    mConnectNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
    connect(mConnectNotifier, &QSocketNotifier::activated, this, [this] {
        const int e = PendingError(mFd, 0);
        if (e == 0) {
            finishConnect();
            return;
        }
        if (e == ECONNRESET || e == EPIPE) {
            // Connected, then reset before we looked (a refusal reads
            // ECONNREFUSED): the connection was made, and what the peer sent
            // before its reset is handed on before the error.
            QPointer<Winsock> self(this);
            const quint64 gen = mGeneration;
            finishConnect();
            if (self && gen == mGeneration && mState == sckConnected) socketFailed(e);
            return;
        }
        abandonConnect();
        const SocketError se = errnoError(e, true);
        fail(se.number, se.description);
    });
    mConnectTimer = new QTimer(this);
    mConnectTimer->setSingleShot(true);
    connect(mConnectTimer, &QTimer::timeout, this, [this] {
        abandonConnect();
        fail(SockErr::TimedOut, describe(SockErr::TimedOut));
    });
    mConnectTimer->start(kConnectTimeoutMs);
}

void Winsock::abandonConnect()
{
    Retire(mConnectNotifier);
    if (mConnectTimer) {
        mConnectTimer->stop();
        mConnectTimer->disconnect(this);
        mConnectTimer->deleteLater();
        mConnectTimer = nullptr;
    }
    if (mFd != -1 && mState == sckConnecting) {
        CloseHeld(mFd);
        mFd = -1;
    }
}

void Winsock::finishConnect()
{
    const int fd = mFd;
    mFd = -1;   // kept open: the connected socket takes it over
    abandonConnect();
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    mBoundIP = dottedIPv4(a);
    mBoundPort = ntohs(a.sin_port);
    attach(fd);
    mState = sckConnected;
    emit Connected();
}

namespace {

// Work that runs from the event loop rather than inside the call that caused
// it: send completions, late arrivals, failures found by a send. One
// zero-interval timer serves every socket, so queuing costs no wake-up write,
// and a chain of continuation sends that each complete at once runs on within
// one turn instead of one loop turn per piece. A turn runs a bounded number
// of items; the rest wait for the next turn, after the sockets and timers
// that are ready have had theirs.
class LoopQueue : public QObject {
public:
    static LoopQueue& Instance()
    {
        static QPointer<LoopQueue> queue;
        if (!queue) queue = new LoopQueue(QCoreApplication::instance());
        return *queue;
    }
    void Push(Winsock* target, std::function<void()> work)
    {
        mItems.push_back({QPointer<Winsock>(target), std::move(work)});
        if (!mTimer.isActive()) mTimer.start(0, Qt::PreciseTimer, this);
    }

    // Runs what is queued, within one turn's bound.
    void RunPending()
    {
        for (int budget = kItemsPerTurn; budget > 0 && !mItems.empty(); --budget) {
            Item item = std::move(mItems.front());
            mItems.pop_front();
            if (item.target) item.work();
        }
        if (mItems.empty()) mTimer.stop();
    }

protected:
    void timerEvent(QTimerEvent* e) override
    {
        if (e->timerId() == mTimer.timerId()) RunPending();
    }

private:
    explicit LoopQueue(QObject* parent) : QObject(parent) {}
    static constexpr int kItemsPerTurn = 256;
    struct Item {
        QPointer<Winsock> target;
        std::function<void()> work;
    };
    std::deque<Item> mItems;
    QBasicTimer mTimer;
};

} // namespace

void Winsock::failAfterReading(const SocketError& error)
{
    // What the peer sent before the failure is still in the kernel, readable
    // after a reset as it is for any reader: it is read now, and handed on
    // before the error is raised. Writing to the peer is over.
    mFailing = true;
    mFailure = error;
    constexpr qint64 kMostDrained = 64 * 1024 * 1024;
    qint64 drained = 0;
    QByteArray block(qsizetype(mChunk), Qt::Uninitialized);
    while (!mPeerClosed && drained < kMostDrained) {
        const ssize_t n = ::recv(mFd, block.data(), size_t(block.size()), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        mDrained.append(QByteArray(block.constData(), qsizetype(n)));
        drained += n;
    }
    dropNotifiers();
    ResetAndClose(mFd);
    mFd = -1;
    mReserve.Release();
#ifdef TSY_BYTE_COUNT
    settleOut(&SendCount::abandoned);
#endif
    mOut.reset();
    mGathered = false;
    mSendPending = false;
    deliverDrained();
}

void Winsock::deliverDrained()
{
    QPointer<Winsock> self(this);
    const quint64 gen = mGeneration;
    // A pause does not hold these back: they are read already, and the
    // reader may be waiting for this very failure to free the way they
    // would have waited for.
    while (!mHeld.isEmpty() || !mDrained.isEmpty()) {
        if (mInArrival) {
            deferToLoop([this] { if (mFailing) deliverDrained(); });
            return;
        }
        if (mHeld.isEmpty()) {
            mHeld = mDrained.takeFirst();
        }
        mInArrival = true;
        emit DataArrival(mHeld.size());
        if (!self) return;
        mInArrival = false;
        if (gen != mGeneration) return;
        if (!mHeld.isEmpty()) break;   // not taken: it goes with the socket
        // What the arrival set going is finished before the next piece, as
        // between two reads.
        LoopQueue::Instance().RunPending();
        if (!self || gen != mGeneration || !mFailing) return;
    }
    mHeld.clear();
    fail(mFailure.number, mFailure.description);
}

void Winsock::attach(int fd)
{
    setNoDelay(fd);
    mFd = fd;
    mChunk = chunkFor(fd);
    static const bool spinning = [] {
        if (auto* dispatcher = QAbstractEventDispatcher::instance())
            QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [] { beforeSleep(); });
        return true;
    }();
    Q_UNUSED(spinning);
    Watched().insert(this);
#ifdef TSY_BYTE_COUNT
    mSendCount = {};
#endif
    mOut = std::make_unique<detail::Outgoing>();
    mHeld.clear();
    mReadNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(mReadNotifier, &QSocketNotifier::activated, this, &Winsock::onReadable);
    mWriteNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
    mWriteNotifier->setEnabled(false);
    connect(mWriteNotifier, &QSocketNotifier::activated, this, &Winsock::onWritable);
}

// Reads at most `room` bytes behind what is held. False when the socket has
// nothing more to give now (would block, closed by the peer, or failed; the
// last two are handled here).
bool Winsock::readInto(qint64 room)
{
    // With nothing held, a read lands in one spare block that every socket
    // shares (one thread): a large read takes the block over, a few bytes
    // are copied out of it, and a read that finds nothing costs no block.
    static QByteArray spare;
    constexpr qsizetype kFewBytes = 4096;
    const qsizetype had = mHeld.size();
    QByteArray& into = had == 0 ? spare : mHeld;
    if (had == 0) {
        if (spare.size() < room) spare = QByteArray(qsizetype(room), Qt::Uninitialized);
    } else {
        mHeld.resize(had + qsizetype(room));
    }
    ssize_t n;
    do {
        n = ::recv(mFd, into.data() + had, size_t(room), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const int e = errno;
    if (n > 0) {
        gLastRead = SpinClock::now();
        if (had == 0 && n <= kFewBytes) {
            mHeld = QByteArray(spare.constData(), qsizetype(n));
        } else {
            if (had == 0) mHeld = std::exchange(spare, QByteArray());
            mHeld.resize(had + qsizetype(n));
            // A short read keeps no 64 KiB block alive behind it: the data
            // may live on in a history.
            if (mHeld.capacity() - mHeld.size() > kFewBytes) mHeld.squeeze();
        }
        return true;
    }
    if (had != 0) mHeld.resize(had);
    if (n == 0) {
        peerClosed();
        return false;
    }
    if (e == EAGAIN || e == EWOULDBLOCK) return false;
    socketFailed(PendingError(mFd, e));
    return false;
}

void Winsock::onReadable()
{
    if (mInArrival) {
        // A handler that runs the event loop: wait until it returns rather
        // than raise arrivals inside one another (and spin meanwhile).
        mReadDeferred = true;
        if (mReadNotifier) mReadNotifier->setEnabled(false);
        return;
    }
    if (mState != sckConnected || mFd == -1) return;
    // A few reads per wake-up. Between two, what the first set going (a send
    // that completed at once) is finished first, so the receiver meets each
    // chunk in the same state as after a loop turn and sends it on at once
    // rather than queue it behind the last one.
    // A close or failure found by the read is raised inside it, and its
    // receiver may delete us.
    QPointer<Winsock> self(this);
    const quint64 gen = mGeneration;
    for (int read = 0; read < kReadsPerWakeUp; ++read) {
        if (read > 0) {
            LoopQueue::Instance().RunPending();
            if (!self || gen != mGeneration || mState != sckConnected || holding() || !mHeld.isEmpty()) break;
        }
        const qint64 room = mChunk - mHeld.size();
        if (room <= 0 || !readInto(room) || holding()) break;
        const bool drained = mHeld.size() < mChunk;   // the kernel had no more
        mInArrival = true;
        gGathering = !drained;
        emit DataArrival(mHeld.size());
        gGathering = false;
        if (!self) {
            writeGathered();
            return;
        }
        mInArrival = false;
        mReadDeferred = false;
        if (drained || gen != mGeneration || mState != sckConnected) break;
    }
    // What the round gathered goes out, and what the last arrival set going
    // is finished, before the loop sleeps again.
    writeGathered();
    LoopQueue::Instance().RunPending();
    if (self && gen == mGeneration && mState == sckConnected) updateReadNotifier();
}

void Winsock::updateReadNotifier()
{
    if (!mReadNotifier) return;
    // Stop watching while the bound is held: TCP pushes back meanwhile.
    const bool want = !mPeerClosed && mHeld.size() < mChunk;
    if (mReadNotifier->isEnabled() != want) mReadNotifier->setEnabled(want);
}

void Winsock::peerClosed()
{
    Retire(mReadNotifier);
    if (mState != sckConnected || mPeerClosed) return;
    mPeerClosed = true;
    mState = sckClosing;
    // What is still queued towards the peer goes on being written: it has
    // only closed its own direction.
    emit Closed();
}

void Winsock::socketFailed(int savedErrno)
{
    if (mState == sckError || mState == sckClosed || mFailing) return;
    const SocketError se = errnoError(savedErrno, mState == sckConnecting);
    if ((mState == sckConnected || mState == sckClosing) && mFd != -1) {
        failAfterReading(se);
        return;
    }
    fail(se.number, se.description);
}

void Winsock::raiseDataArrivalLater()
{
    if (mArrivalQueued) return;
    mArrivalQueued = true;
    deferToLoop([this] {
        mArrivalQueued = false;
        if (holding() || mHeld.isEmpty() || mInArrival) return;
        if (mState != sckConnected && mState != sckClosing) return;
        QPointer<Winsock> self(this);
        const quint64 gen = mGeneration;
        mInArrival = true;
        emit DataArrival(mHeld.size());
        if (!self) return;
        mInArrival = false;
        if (gen != mGeneration) return;
        mReadDeferred = false;
        updateReadNotifier();
    });
}

void Winsock::deferToLoop(std::function<void()> work)
{
    const quint64 generation = mGeneration;
    LoopQueue::Instance().Push(this, [this, generation, work = std::move(work)] {
        if (generation == mGeneration) work();
    });
}

void Winsock::queueCompletionCheck()
{
    if (mCompletionQueued) return;
    mCompletionQueued = true;
    deferToLoop([this] {
        mCompletionQueued = false;
        if (!mSendPending || !mOut || (!mOut->empty() && !mGathered)) return;
        mSendPending = false;
        emit SendComplete();
    });
}

void Winsock::onWritable()
{
    if (!mOut || mFd == -1) return;
    int e = 0;
    if (!mOut->write(mFd, &e)) {
        socketFailed(e);
        return;
    }
    if (!mOut->empty()) return;
    if (mWriteNotifier) mWriteNotifier->setEnabled(false);
    if (!mSendPending) return;
    mSendPending = false;
    emit SendComplete();
}

bool Winsock::SendData(const QByteArray& data, SocketError* err)
{
    // The peer has gone; its error follows the bytes it sent last. What is
    // sent meanwhile goes nowhere, as it would on the wire.
    if (mFailing) {
#ifdef TSY_BYTE_COUNT
        mSendCount.handed += data.size();
        mSendCount.abandoned += data.size();
#endif
        return true;
    }
    if (mState != sckConnected || mFd == -1 || !mOut) return failNow(err, SockErr::NotConnected);
    if (data.isEmpty()) return true;
#ifdef TSY_BYTE_COUNT
    mSendCount.handed += data.size();
#endif
    mSendPending = true;
    if (mGathered) {
        mOut->push(data, 0);
        if (gGathering && mOut->bytes < kGatherBytes) {
            queueCompletionCheck();
            return true;
        }
        // In order behind the gathered chunks, and now.
        flushGathered();
        if (mOut->empty()) queueCompletionCheck();
        return true;
    }
    if (!mOut->empty()) {
        // Behind what is already waiting; the write notifier is on.
        mOut->push(data, 0);
        return true;
    }
    if (gGathering) {
        mOut->push(data, 0);
        mGathered = true;
        Gathered().emplace_back(this);
        queueCompletionCheck();
        return true;
    }
    // Straight onto the wire: one loop turn less of latency per relayed chunk.
    ssize_t n;
    do {
        n = ::send(mFd, data.constData(), size_t(data.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        const int e = errno;
        if (e != EAGAIN && e != EWOULDBLOCK) {
            // Nothing is raised inside a call: the failure arrives as an event.
            const int socketError = PendingError(mFd, e);
            deferToLoop([this, socketError] { socketFailed(socketError); });
#ifdef TSY_BYTE_COUNT
            mSendCount.abandoned += data.size();
#endif
            return true;
        }
        n = 0;
    }
#ifdef TSY_BYTE_COUNT
    mSendCount.written += n;
#endif
    if (n == data.size()) {
        queueCompletionCheck();
        return true;
    }
    mOut->push(data, qsizetype(n));
    if (mWriteNotifier) mWriteNotifier->setEnabled(true);
    return true;
}

QByteArray Winsock::GetData()
{
    QByteArray taken = std::move(mHeld);
    mHeld = QByteArray();
    // Taking from outside an arrival (after a close, or late) frees the
    // bound: reading goes on.
    if (!mInArrival && !holding() && mState == sckConnected) updateReadNotifier();
    return taken;
}

void Winsock::Close()
{
    closeNow(false);
}

void Winsock::Abort()
{
    closeNow(true);
}

qint64 Winsock::MsPeerTookNothing(bool restart)
{
    if (!mProgress) mProgress = std::make_unique<detail::PeerProgress>();
    if (restart) mProgress->Restart();
    if (mFd == -1 || (mState != sckConnected && mState != sckClosing)) return 0;
    return mProgress->Idle(mFd, mOut && !mOut->empty());
}

int Winsock::PeerWatchMs(int boundMs)
{
    return detail::PeerProgress::PollMs(boundMs);
}

int PeerLeaving::TakesNothingMs() const
{
    return mHow == How::InOrder ? Winsock::gPeerTakesNothingAfterOrderlyCloseMs : Winsock::gPeerTakesNothingMs;
}

void Winsock::closeNow(bool reset)
{
    ++mGeneration;
    mLookupId = -1;
    abandonConnect();
    dropNotifiers();
#ifdef TSY_BYTE_COUNT
    // What is still queued goes with the close to be flushed, or is lost
    // with a connection that never came up or has failed.
    settleOut(!reset && mFd != -1 && (mState == sckConnected || mState == sckClosing) ? &SendCount::lingered
                                                                                       : &SendCount::abandoned);
#endif
    if (mFd != -1) {
        const int fd = mFd;
        mFd = -1;
        if (mState == sckListening) {
            Descriptors::StopWaiting(this);
            CloseHeld(fd);
        } else if (!reset && (mState == sckConnected || mState == sckClosing)) {
            detail::Linger(fd, mOut ? std::move(*mOut) : detail::Outgoing(), mPeerClosed,
                           mProgress ? *mProgress : detail::PeerProgress(), mLeaving);
        } else {
            ResetAndClose(fd);
        }
    }
    mReserve.Release();
    mClaim.Release();
    mOut.reset();
    mProgress.reset();
    mGathered = false;
    mFailing = false;
    mDrained.clear();
    mHeld = QByteArray();
    mSendPending = false;
    mCompletionQueued = false;
    mArrivalQueued = false;
    mInArrival = false;
    mReadDeferred = false;
    mPeerClosed = false;
    mDrainToEnd = false;
    mState = sckClosed;
}

int Winsock::State() const
{
    return mState;
}

int Winsock::LocalPort() const
{
    if (mState == sckClosed) return mLocalPort;
    return mBoundPort ? mBoundPort : mLocalPort;
}

void Winsock::SetLocalPort(int port)
{
    mLocalPort = port;
}

QString Winsock::LocalIP() const
{
    if (mState != sckClosed && mState != sckListening && !mBoundIP.isEmpty()) return mBoundIP;
    // The machine's own address, as the classic control reports it.
    const auto all = QNetworkInterface::allAddresses();
    for (const QHostAddress& a : all) {
        bool v4 = false;
        const quint32 ip = a.toIPv4Address(&v4);
        if (v4 && !a.isLoopback() && !a.isLinkLocal()) return QHostAddress(ip).toString();
    }
    return QStringLiteral("127.0.0.1");
}

QString Winsock::LocalHostName()
{
    return QHostInfo::localHostName();
}

int Winsock::RemotePort() const
{
    return mRemotePort;
}

QString Winsock::RemoteHost() const
{
    return mRemoteHost;
}

QString Winsock::RemoteHostIP() const
{
    return mPeerIP;
}

// A socket that is not read from hears nothing of its peer, and one that
// is not written to either would never learn that the peer has gone. So
// while reading is paused, the connection's state is looked at now and then:
// a reset fails the socket as a read would (its last bytes first), and a
// close, once it has reached us, lets the bytes queued before it be read,
// paused or not (the kernel holds them already), up to the end.
namespace {
constexpr int kPausedProbeMs = 500;
std::vector<QPointer<Winsock>>& PausedSockets()
{
    static std::vector<QPointer<Winsock>> all;
    return all;
}
} // namespace

void Winsock::watchWhilePaused()
{
    // Back-pressure pauses and resumes a busy socket often: it is listed once.
    if (mProbed) return;
    mProbed = true;
    PausedSockets().emplace_back(this);
    static QPointer<QTimer> probe;
    if (!probe && QCoreApplication::instance()) {
        probe = new QTimer(QCoreApplication::instance());
        QObject::connect(probe, &QTimer::timeout, [] {
            // Each probe may raise events whose receivers pause or close
            // other sockets: it runs over a copy.
            std::vector<QPointer<Winsock>> watched;
            watched.swap(PausedSockets());
            for (const QPointer<Winsock>& w : watched) {
                if (!w) continue;
                if (w->probePeerWhilePaused()) PausedSockets().push_back(w);
                else w->mProbed = false;
            }
            if (PausedSockets().empty()) probe->stop();
        });
    }
    if (probe && !probe->isActive()) probe->start(kPausedProbeMs);
}

bool Winsock::probePeerWhilePaused()
{
    if (!mPaused || mFd == -1 || mState != sckConnected || mFailing || mDrainToEnd) return false;
    // A live socket has sent no FIN of its own.
    const detail::TcpLook look = detail::LookAt(mFd);
    if (look.Failed(false)) {
        socketFailed(PendingError(mFd, ECONNRESET));
        return false;
    }
    if (look.state != TCP_CLOSE_WAIT) return true;
    mDrainToEnd = true;
    if (!mInArrival) {
        if (!mHeld.isEmpty()) raiseDataArrivalLater();
        updateReadNotifier();
    }
    return false;
}

void Winsock::SetReadingPaused(bool paused)
{
    if (mPaused == paused) return;
    mPaused = paused;
    if (paused) watchWhilePaused();
    if (mState != sckConnected && mState != sckClosing) return;
    if (mFailing) return;   // its last bytes are handed on, paused or not
    if (!paused && !mHeld.isEmpty()) raiseDataArrivalLater();
    if (!mInArrival) updateReadNotifier();
}

qint64 Winsock::BytesAvailable() const
{
    return mHeld.size();
}

qint64 Winsock::BytesToWrite() const
{
    return mOut ? mOut->bytes : 0;
}

#ifdef TSY_BYTE_COUNT
void Winsock::settleOut(qint64 SendCount::*where)
{
    if (!mOut) return;
    mSendCount.written += mOut->written;
    mSendCount.*where += mOut->queued();
    // The queue is retired or emptied right after.
    mOut->written = 0;
}

QString Winsock::SendCountBreach() const
{
    const qint64 written = mSendCount.written + (mOut ? mOut->written : 0);
    const qint64 queued = mOut ? mOut->queued() : 0;
    if (mSendCount.handed == written + queued + mSendCount.lingered + mSendCount.abandoned
        && (!mOut || queued == mOut->bytes))
        return QString();
    return QStringLiteral("taken %1, written %2, queued %3 (counted as %4), flushed by the close %5, abandoned %6")
        .arg(mSendCount.handed)
        .arg(written)
        .arg(queued)
        .arg(mOut ? mOut->bytes : 0)
        .arg(mSendCount.lingered)
        .arg(mSendCount.abandoned);
}
#endif

} // namespace tsy
