#include "platform/Descriptors.h"

#include "platform/ClosingSocket.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tsy {

namespace {

// How often a waiting listener looks again at what the rest of the program
// holds: it closes files and windows without telling the socket layer.
constexpr int kRecountMs = 250;

int gHeld = 0;           // open descriptors of the socket layer, wherever they are by now
int gSetAside = 0;       // promised to connections not yet made
int gLimit = 0;          // soft limit, as last read
int gElsewhere = -1;     // descriptors the rest of the program holds, as last counted
// A spell of shortage: from the first request that found no room until one
// finds room for itself and a reserve's width more, once those that waited
// have been taken. It is logged once at its start, and at its end only when
// it cost connections.
bool gSpell = false;
int gGivenUp = 0;        // stalled deliveries given up for room in this spell

std::function<void(int)>& ShortageHandler()
{
    static auto* handler = new std::function<void(int)>;
    return *handler;
}

std::function<void(int, int, bool)>& GiveUpHandler()
{
    static auto* handler = new std::function<void(int, int, bool)>;
    return *handler;
}

struct Waiter {
    QPointer<QObject> listener;
    std::function<void()> resume;
};

// Never destroyed: sockets may outlive static destruction.
std::vector<Waiter>& Waiting()
{
    static auto* waiting = new std::vector<Waiter>;
    return *waiting;
}

// Listeners let go on whose queues may still hold requests that waited.
std::vector<QPointer<QObject>>& Behind()
{
    static auto* behind = new std::vector<QPointer<QObject>>;
    return *behind;
}

void DropBehind(QObject* listener)
{
    auto& behind = Behind();
    behind.erase(std::remove_if(behind.begin(), behind.end(),
                                [listener](const QPointer<QObject>& l) { return !l || l == listener; }),
                 behind.end());
}

int ReadLimit()
{
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY || r.rlim_cur > rlim_t(INT_MAX))
        return INT_MAX;
    return int(r.rlim_cur);
}

// Counts what is open now. Needs a descriptor itself; at the very limit the
// last count stands.
void Count()
{
    gLimit = ReadLimit();
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) {
        if (gElsewhere < 0) gElsewhere = 0;
        return;
    }
    int open = -1;   // the directory's own descriptor
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++open;
    ::closedir(dir);
    gElsewhere = std::max(0, open - gHeld);
}

bool Fits(int n)
{
    return qint64(gElsewhere) + gHeld + gSetAside + n + Descriptors::kReserve <= gLimit;
}

// Whether n more fit beside the reserve. The limit is read each time (it
// may be changed from outside while we run); within a reserve's width of it,
// what the rest of the program holds is counted afresh: threads, files and
// windows come and go.
bool RoomFor(int n)
{
    gLimit = ReadLimit();
    if (gElsewhere < 0) Count();
    if (qint64(gElsewhere) + gHeld + gSetAside + n + 2 * Descriptors::kReserve > gLimit) Count();
    return Fits(n);
}

// Gives up stalled deliveries until n more fit; whether they fit now.
bool MakeRoomFor(int n)
{
    const qint64 needed = qint64(gElsewhere) + gHeld + gSetAside + n + Descriptors::kReserve - gLimit;
    const int givenUp = StalledDelivery::MakeRoom(int(std::min<qint64>(needed, INT_MAX)));
    if (givenUp == 0) return false;
    gGivenUp += givenUp;
    if (!std::exchange(gSpell, true))
        if (const auto& handler = GiveUpHandler()) handler(gLimit, gGivenUp, false);
    return Fits(n);
}

// Room for n more and a reserve's width besides: the shortage is over, not
// merely eased by a close that freed a descriptor or two. Requests that
// waited and are still queued belong to the spell: a burst of closes that
// lets them in does not end it.
void EndTheSpellIfRoomFor(int n)
{
    if (!gSpell || !Fits(n + Descriptors::kReserve) || !Waiting().empty()) return;
    DropBehind(nullptr);
    if (!Behind().empty()) return;
    gSpell = false;
    const int givenUp = std::exchange(gGivenUp, 0);
    if (givenUp > 0)
        if (const auto& handler = GiveUpHandler()) handler(gLimit, givenUp, true);
}

QTimer* RecountTimer();

// Lets the waiting listeners go on once a connection fits again. The count
// of what the rest holds is renewed unless it already leaves room.
void ResumeWaiting()
{
    auto& waiting = Waiting();
    if (waiting.empty()) return;
    if (!Fits(2)) {
        Count();
        if (!Fits(2)) return;
    }
    if (QTimer* t = RecountTimer()) t->stop();
    const std::vector<Waiter> resumed = std::exchange(waiting, {});
    for (const Waiter& w : resumed) {
        if (!w.listener) continue;
        // Behind before it goes on: the resume may say at once that its queue is taken.
        if (std::find(Behind().begin(), Behind().end(), w.listener) == Behind().end()) Behind().push_back(w.listener);
        w.resume();
    }
}

// Runs only while a listener waits. The guard is never destroyed: a socket
// closed during static destruction may still ask for it.
QTimer* RecountTimer()
{
    static auto* guard = new QPointer<QTimer>;
    QPointer<QTimer>& timer = *guard;
    if (!timer && QCoreApplication::instance()) {
        timer = new QTimer(QCoreApplication::instance());
        timer->setInterval(kRecountMs);
        QObject::connect(timer, &QTimer::timeout, [] {
            Descriptors::StopWaiting(nullptr);   // drops listeners that are gone
            // Deliveries may have stalled since the request began to wait.
            if (!Waiting().empty() && !RoomFor(2)) MakeRoomFor(2);
            ResumeWaiting();
        });
    }
    return timer;
}

} // namespace

int Descriptors::Opened(int fd)
{
    if (fd >= 0) ++gHeld;
    return fd;
}

void Descriptors::Close(int fd)
{
    ::close(fd);
    --gHeld;
    ResumeWaiting();
}

bool Descriptors::RoomForOne()
{
    return RoomFor(1);
}

DescriptorClaim Descriptors::SetAside(int n)
{
    if (n <= 0) return {};
    if (RoomFor(n)) {
        EndTheSpellIfRoomFor(n);
    } else if (!MakeRoomFor(n)) {
        return {};
    }
    gSetAside += n;
    return DescriptorClaim(n);
}

DescriptorClaim Descriptors::ClaimConnection()
{
    return SetAside(2);
}

void Descriptors::WaitForRoom(QObject* listener, std::function<void()> resume)
{
    // The listen queue holds the requests meanwhile (and refuses new ones
    // once it is full).
    Waiting().push_back({QPointer<QObject>(listener), std::move(resume)});
    if (QTimer* t = RecountTimer(); t && !t->isActive()) t->start();
    if (std::exchange(gSpell, true)) return;
    if (const auto& handler = ShortageHandler()) handler(gLimit);
}

void Descriptors::StopWaiting(QObject* listener)
{
    if (listener) DropBehind(listener);
    auto& waiting = Waiting();
    if (waiting.empty()) return;
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                 [listener](const Waiter& w) { return !w.listener || w.listener == listener; }),
                  waiting.end());
    if (waiting.empty())
        if (QTimer* t = RecountTimer()) t->stop();
}

void Descriptors::QueueTaken(QObject* listener)
{
    DropBehind(listener);
}

void Descriptors::SetShortageHandler(std::function<void(int limit)> handler)
{
    ShortageHandler() = std::move(handler);
}

void Descriptors::SetGiveUpHandler(std::function<void(int limit, int givenUp, bool over)> handler)
{
    GiveUpHandler() = std::move(handler);
}

int Descriptors::SetAsideCount()
{
    return gSetAside;
}

int Descriptors::WaitingListenerCount()
{
    return int(Waiting().size());
}

DescriptorClaim& DescriptorClaim::operator=(DescriptorClaim&& other) noexcept
{
    if (this != &other) {
        Release();
        mCount = std::exchange(other.mCount, 0);
    }
    return *this;
}

void DescriptorClaim::TakeOne()
{
    if (mCount <= 0) return;
    --mCount;
    --gSetAside;
}

DescriptorClaim DescriptorClaim::Split(int n)
{
    const int k = std::clamp(n, 0, mCount);
    mCount -= k;
    return DescriptorClaim(k);
}

void DescriptorClaim::Absorb(DescriptorClaim&& other)
{
    mCount += std::exchange(other.mCount, 0);
}

void DescriptorClaim::Release()
{
    if (mCount <= 0) return;
    gSetAside -= std::exchange(mCount, 0);
    ResumeWaiting();
}

} // namespace tsy
