#pragma once
// What a socket and its close share: the queue of what was handed to it, the
// measure of what its peer takes of it, and the socket that lingers after a
// close until the peer has taken what was still queued.
#include <QByteArray>
#include <QElapsedTimer>
#include <QtGlobal>

#include "platform/ByteCount.h"

#include <deque>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tsy {
class PeerLeaving;
}

namespace tsy::detail {

// The socket's own pending error; errno of the call that failed when the
// socket has none to give.
int PendingError(int fd, int fallback);
void CloseHeld(int fd);
// Closes so that the peer sees a reset, not an orderly close.
void ResetAndClose(int fd);
// Stops a notifier for good. It may be inside its own signal, so it is
// deleted later; disabled, it no longer watches its descriptor, which may
// therefore be closed or handed on at once.
void Retire(QSocketNotifier*& n);

// Chunks handed to SendData, written in order without copying them.
struct Outgoing {
    std::deque<QByteArray> chunks;
    qsizetype offset = 0;   // written part of the first chunk
    qint64 bytes = 0;
#ifdef TSY_BYTE_COUNT
    qint64 written = 0;
    // Counted from the chunks themselves, not from `bytes`.
    qint64 queued() const
    {
        qint64 n = -qint64(offset);
        for (const QByteArray& c : chunks) n += c.size();
        return chunks.empty() ? 0 : n;
    }
#endif

    bool empty() const { return chunks.empty(); }
    void push(QByteArray data, qsizetype from)
    {
        bytes += data.size() - from;
        if (chunks.empty()) offset = from;
        chunks.push_back(std::move(data));
    }
    // Writes as much as the socket takes. Returns false on an error other
    // than a full buffer, with the error in *err.
    bool write(int fd, int* err);
    void consume(qint64 n);
};

// One look at a connection's TCP: what the peer has acknowledged, what our
// kernel still holds for it, and whether the connection has failed.
struct TcpLook {
    quint64 acked = 0;
    qint64 queued = 0;
    int state = -1;   // tcpi_state; -1 when the kernel would not say
    // A reset or an error ends the connection at once and leaves our queue
    // as it was. An orderly end reaches the closed state only once our own
    // FIN, which counts in the queue, is acknowledged: closed before we sent
    // it, or with anything still queued, is a failure. Tells it without
    // reading the socket's pending error, which a read clears.
    bool Failed(bool finSent) const;
};
TcpLook LookAt(int fd);

// What the peer takes of what we sent it, as its TCP tells: the bytes it
// acknowledges, or our kernel's send queue shrinking. Our own writes say
// nothing of it (they stop only once the kernel's buffer is full, megabytes
// later), nor do completions. A reader that takes a little at a time is seen
// each time its TCP opens its window again, which it does once it has freed
// a segment or a sixteenth of its buffer.
class PeerProgress {
public:
    // The clock starts now, as if the peer had just taken something.
    void Restart();
    bool Running() const { return mSince.isValid(); }
    // Looks at the kernel. Nothing of ours waiting anywhere (queuedHere is
    // what waits in our own queue) counts as progress: nothing is held up.
    // Returns how long the peer has taken nothing, in ms.
    qint64 Idle(int fd, bool queuedHere);
    // What the kernel still held for the peer at that look, and the look.
    qint64 KernelQueued() const { return mQueued; }
    const TcpLook& LastLook() const { return mLook; }
    // How often a watcher of a bound of boundMs looks.
    static int PollMs(int boundMs);
    // Whether two looks at the kernel show that the peer took something:
    // acknowledged more, or let the queue shrink (a kernel without the
    // acknowledged count), or nothing of ours waits anywhere.
    static bool Took(quint64 ackedBefore, qint64 queuedBefore, quint64 acked, qint64 queued, bool queuedHere)
    {
        return acked > ackedBefore || (queuedBefore >= 0 && queued < queuedBefore) || (queued == 0 && !queuedHere);
    }

private:
    quint64 mAcked = 0;
    qint64 mQueued = -1;
    TcpLook mLook;
    QElapsedTimer mSince;
};

// Takes the descriptor of a connected socket that is being closed: what was
// still queued is written, the peer's taking of it watched with the clock
// it had, and the descriptor closed once the peer has it all and has closed
// too, or has been given up on after the bound that `leaving` names (the
// short one without it). A reset it sees is told to `leaving`.
void Linger(int fd, Outgoing&& out, bool peerClosed, const PeerProgress& progress,
            std::shared_ptr<PeerLeaving> leaving);
// How many closes have lingered so far (for tests: a socket reset at once
// never does).
int LingersStarted();

} // namespace tsy::detail

namespace tsy {

// A connection that only waits to deliver to a peer that takes nothing, once
// the other peer has left: a socket closed with data its peer has not yet
// acknowledged, or a relay still flushing towards a peer after the other
// left. Enlisted while it lives. A request that finds no room for its
// descriptors gives such deliveries up, the one whose peer has taken
// nothing for the longest first, rather than wait behind them for minutes.
class StalledDelivery {
public:
    // How long a peer must have taken nothing before its delivery may be
    // given up. A peer that reads is seen to take something only when its
    // window reopens, about a segment at a time, so anything much shorter
    // would cut off readers that are merely slow. Tests shorten it.
    static inline int gGiveUpAfterMs = 10000;

    // idleMs: how long its peer has taken nothing, or -1 while it is not to
    // be given up (its peer has all of its data, say). giveUp: closes its
    // descriptors at once with a reset; it raises no event and unloads
    // nothing, since it runs inside the accept that wants the room.
    StalledDelivery(std::function<qint64()> idleMs, std::function<void()> giveUp, int descriptors = 1);
    ~StalledDelivery();
    StalledDelivery(const StalledDelivery&) = delete;
    StalledDelivery& operator=(const StalledDelivery&) = delete;

    // Gives up deliveries idle for gGiveUpAfterMs or more until `needed`
    // descriptors are freed, and none when all of those together would free
    // fewer. How many were given up.
    static int MakeRoom(int needed);

private:
    quint64 mId;
};

} // namespace tsy
