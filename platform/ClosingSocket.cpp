#include "platform/ClosingSocket.h"

#include "platform/Descriptors.h"
#include "platform/Winsock.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <map>
#include <vector>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tsy::detail {

namespace {
// Pieces written by one sendmsg.
constexpr int kMaxIov = 64;
// Once the peer has all of ours, how long a silent peer and how much a
// talking one (for about the bound on taking nothing) is read and discarded
// while waiting for its own close.
constexpr int kSilenceMs = 2000;
constexpr qint64 kDiscardBytes = 64 * 1024 * 1024;
// TCP_CLOSE of <netinet/tcp.h>, which clashes with <linux/tcp.h>.
constexpr int kTcpClosed = 7;
} // namespace

int PendingError(int fd, int fallback)
{
    int e = 0;
    socklen_t len = sizeof e;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0 || e == 0) return fallback;
    return e;
}

void CloseHeld(int fd)
{
    Descriptors::Close(fd);
}

void ResetAndClose(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    CloseHeld(fd);
}

void Retire(QSocketNotifier*& n)
{
    if (!n) return;
    n->setEnabled(false);
    n->disconnect();
    n->deleteLater();
    n = nullptr;
}

bool Outgoing::write(int fd, int* err)
{
    while (!chunks.empty()) {
        iovec iov[kMaxIov];
        int count = 0;
        for (auto it = chunks.begin(); it != chunks.end() && count < kMaxIov; ++it, ++count) {
            const qsizetype skip = count == 0 ? offset : 0;
            iov[count].iov_base = const_cast<char*>(it->constData()) + skip;
            iov[count].iov_len = size_t(it->size() - skip);
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(count);
        const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            *err = PendingError(fd, errno);
            return false;
        }
#ifdef TSY_BYTE_COUNT
        written += n;
#endif
        consume(qint64(n));
        if (count < kMaxIov && !chunks.empty()) return true;   // the socket took less than offered
    }
    return true;
}

void Outgoing::consume(qint64 n)
{
    bytes -= n;
    while (n > 0 && !chunks.empty()) {
        const qint64 left = chunks.front().size() - offset;
        if (n < left) {
            offset += qsizetype(n);
            return;
        }
        n -= left;
        chunks.pop_front();
        offset = 0;
    }
}

// ---- what the peer takes ---------------------------------------------------------

namespace {
// Sent and not yet acknowledged, or not yet sent, by our kernel.
qint64 KernelQueue(int fd)
{
    int n = 0;
    return ::ioctl(fd, TIOCOUTQ, &n) == 0 ? n : 0;
}
} // namespace

void PeerProgress::Restart()
{
    mSince.start();
    mQueued = -1;
}

TcpLook LookAt(int fd)
{
    TcpLook look;
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0) {
        look.state = info.tcpi_state;
        if (len >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) look.acked = info.tcpi_bytes_acked;
    }
    look.queued = KernelQueue(fd);
    return look;
}

bool TcpLook::Failed(bool finSent) const
{
    return state == kTcpClosed && (!finSent || queued > 0);
}

qint64 PeerProgress::Idle(int fd, bool queuedHere)
{
    if (!mSince.isValid()) Restart();
    mLook = LookAt(fd);
    if (Took(mAcked, mQueued, mLook.acked, mLook.queued, queuedHere)) mSince.start();
    mAcked = std::max(mAcked, mLook.acked);
    mQueued = mLook.queued;
    return mSince.elapsed();
}

int PeerProgress::PollMs(int boundMs)
{
    return std::clamp(boundMs / 8, 5, 500);
}

// ---- the socket after its close ----------------------------------------------------

namespace {

// Closing with unread data, or before the peer has taken our last bytes,
// would reset the connection and can destroy those bytes at the peer. So
// what was queued is written, what the peer sends meanwhile is read and
// discarded (an echoing peer goes on reading us only while it can send),
// and the descriptor is closed once the peer has taken all of ours and
// closed too. A peer that takes nothing for the bound is given up on.
class Lingerer : public QObject {
public:
    Lingerer(int fd, Outgoing&& out, bool peerClosed, const PeerProgress& progress,
             std::shared_ptr<PeerLeaving> leaving)
        : QObject(QCoreApplication::instance()), mFd(fd), mPeerClosed(peerClosed), mOut(std::move(out)),
          mProgress(progress), mLeaving(std::move(leaving))
    {
        if (!mProgress.Running()) mProgress.Restart();
        connect(&mPoll, &QTimer::timeout, this, [this] { watchTheTaking(); });
        mSilence.setSingleShot(true);
        connect(&mSilence, &QTimer::timeout, this, [this] { finish(false); });
        if (!mPeerClosed) {
            mRead = new QSocketNotifier(qintptr(mFd), QSocketNotifier::Read, this);
            connect(mRead, &QSocketNotifier::activated, this, [this] { discard(); });
        }
        flush();
    }
    ~Lingerer() override { closeFd(false); }

private:
    void flush()
    {
        int e = 0;
        if (!mOut.write(mFd, &e)) {
            peerFailed();
            finish(true);
            return;
        }
        if (!mOut.empty()) {
            if (!mWrite) {
                mWrite = new QSocketNotifier(qintptr(mFd), QSocketNotifier::Write, this);
                connect(mWrite, &QSocketNotifier::activated, this, [this] { flush(); });
            }
            pace();
            return;
        }
        Retire(mWrite);
        // Most closes find all of ours taken already: one look, no watch.
        const bool taken = KernelQueue(mFd) == 0;
        if (taken && mPeerClosed) {
            finish(false);
            return;
        }
        ::shutdown(mFd, SHUT_WR);
        if (taken) allTaken();
        else watchTheTaking();
    }
    void watchTheTaking()
    {
        if (mAllTaken) return;
        const qint64 idle = mProgress.Idle(mFd, !mOut.empty());
        // Our FIN went as soon as the queue here emptied. A peer that reset
        // will never take what is left: its descriptor goes now, and the
        // connection hears of it (its other peer's bound is the short one).
        if (mProgress.LastLook().Failed(mOut.empty())) {
            peerFailed();
            finish(true);
            return;
        }
        if (!mOut.empty() || mProgress.KernelQueued() > 0) {
            if (idle >= bound()) finish(true);
            else pace();
            return;
        }
        if (mPeerClosed) finish(false);
        else allTaken();
    }
    int bound() const { return Winsock::PeerTakesNothingMs(mLeaving.get()); }
    // Whether its peer still has something of ours to take, and for how long
    // it has taken nothing.
    qint64 stalledMs()
    {
        if (mAllTaken || mFd == -1) return -1;
        const qint64 idle = mProgress.Idle(mFd, !mOut.empty());
        return !mOut.empty() || mProgress.KernelQueued() > 0 ? idle : -1;
    }
    // The pace follows the bound, which a reset seen meanwhile shortens.
    void pace()
    {
        // Enlisted only once it waits: most closes find everything taken.
        if (!mStalled)
            mStalled = std::make_unique<StalledDelivery>([this] { return stalledMs(); }, [this] { finish(true); });
        const int ms = Winsock::PeerWatchMs(bound());
        if (!mPoll.isActive()) mPoll.start(ms);
        else if (mPoll.interval() != ms) mPoll.setInterval(ms);
    }
    void peerFailed()
    {
        if (mLeaving) mLeaving->Failed();
    }
    // The peer has all of ours: what it still says is all that keeps us.
    void allTaken()
    {
        mAllTaken = true;
        mStalled.reset();
        mPoll.stop();
        mSinceAllTaken.start();
        mSilence.start(kSilenceMs);
    }
    void discard()
    {
        char buf[65536];
        bool talked = false;
        for (;;) {
            const ssize_t n = ::recv(mFd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                talked = true;
                mDiscarded += n;
                if (mDiscarded > kDiscardBytes) {
                    // Enough: held back by TCP from now on, and let go once
                    // it has all of ours.
                    Retire(mRead);
                    if (mAllTaken) finish(true);
                    return;
                }
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            // The peer closed (or failed): nothing more will come.
            mPeerClosed = true;
            if (n < 0) peerFailed();
            Retire(mRead);
            if (n < 0 || mAllTaken) finish(n < 0);
            return;
        }
        // A talking peer keeps the wait going, for about the bound in all.
        if (talked && mAllTaken && mSinceAllTaken.elapsed() < Winsock::gPeerTakesNothingMs) mSilence.start(kSilenceMs);
    }
    void closeFd(bool hard)
    {
        Retire(mRead);
        Retire(mWrite);
        if (mFd == -1) return;
        if (hard) ResetAndClose(mFd);
        else CloseHeld(mFd);
        mFd = -1;
    }
    void finish(bool hard)
    {
        mStalled.reset();
        mPoll.stop();
        mSilence.stop();
        closeFd(hard);
        deleteLater();
    }

    int mFd;
    bool mPeerClosed;
    bool mAllTaken = false;
    Outgoing mOut;
    PeerProgress mProgress;
    std::shared_ptr<PeerLeaving> mLeaving;
    qint64 mDiscarded = 0;
    QElapsedTimer mSinceAllTaken;
    QSocketNotifier* mRead = nullptr;
    QSocketNotifier* mWrite = nullptr;
    QTimer mPoll;      // while the peer has not taken all of ours
    QTimer mSilence;   // once it has: how long it may say nothing before we let go
    std::unique_ptr<StalledDelivery> mStalled;   // while the peer has not all of ours
};

} // namespace

namespace {
int gLingersStarted = 0;
}

int LingersStarted()
{
    return gLingersStarted;
}

void Linger(int fd, Outgoing&& out, bool peerClosed, const PeerProgress& progress,
            std::shared_ptr<PeerLeaving> leaving)
{
    ++gLingersStarted;
    new Lingerer(fd, std::move(out), peerClosed, progress, std::move(leaving));
}

} // namespace tsy::detail

namespace tsy {

namespace {
struct Enlisted {
    std::function<qint64()> idleMs;
    std::function<void()> giveUp;
    int descriptors;
};
// Never destroyed: a socket may linger past static destruction.
std::map<quint64, Enlisted>& Stalled()
{
    static auto* stalled = new std::map<quint64, Enlisted>;
    return *stalled;
}
quint64 gLastStalledId = 0;
} // namespace

StalledDelivery::StalledDelivery(std::function<qint64()> idleMs, std::function<void()> giveUp, int descriptors)
    : mId(++gLastStalledId)
{
    Stalled().emplace(mId, Enlisted{std::move(idleMs), std::move(giveUp), descriptors});
}

StalledDelivery::~StalledDelivery()
{
    Stalled().erase(mId);
}

int StalledDelivery::MakeRoom(int needed)
{
    if (needed <= 0) return 0;
    struct Candidate {
        qint64 idle;
        quint64 id;
        int descriptors;
    };
    std::vector<Candidate> candidates;
    int freeable = 0;
    for (const auto& [id, e] : Stalled()) {
        const qint64 idle = e.idleMs();
        // -1 (not to be given up) falls below any minimum too.
        if (idle < qMax(0, gGiveUpAfterMs)) continue;
        candidates.push_back({idle, id, e.descriptors});
        freeable += e.descriptors;
    }
    // Files or live connections hold the rest: giving these up would lose
    // their data and still leave the request waiting.
    if (freeable < needed) return 0;
    // The older one first among equals.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.idle > b.idle; });
    int freed = 0, givenUp = 0;
    for (const Candidate& c : candidates) {
        if (freed >= needed) break;
        auto it = Stalled().find(c.id);
        if (it == Stalled().end()) continue;
        // Delisted first: the give-up may destroy its own entry.
        const std::function<void()> giveUp = std::move(it->second.giveUp);
        Stalled().erase(it);
        giveUp();
        freed += c.descriptors;
        ++givenUp;
    }
    return givenUp;
}

} // namespace tsy
