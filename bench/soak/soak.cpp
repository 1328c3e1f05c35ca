// Soak: checksummed bulk streams through Pass Through ports of the real
// program (in process, its main window offscreen, the real-time pane on),
// while a seeded random "user" switches every failure rule and its fields
// (text that is not a number included), clears all data, double-clicks the
// status panels and changes the purge limits.
//
//   soak [--seconds N] [--seed S] [--streams K] [--mib M] [--tick MS] [--stall S] [--gone S]
//
// Half the streams send M MiB of a seeded pattern to a local echo server and
// check what comes back. An eighth send to the echo server without reading,
// then leave by a reset or by a half-close (and a reset a moment later); an
// eighth send 20 MiB with a blocking send to a server that floods them
// without reading and leaves, then read what it sent to the end. In an
// eighth a server sends 14 MiB and closes, in the last eighth the client
// sends 3 MiB and half-closes; the other side reads slowly (a little every
// few seconds, for longer than the program gives a peer that takes nothing
// after a reset), then to the end; or, half of them, once its peer has
// left it pauses for 45-90 s (longer than that bound, shorter than the one
// after an orderly close), then reads the rest.
// What arrives is judged whole, cut short or with a gap, once the stream
// has ended or has stalled: nothing for --stall seconds (20), a reader's
// deliberate pause and a running dangle on its connection apart. A stream
// that ends short while no failure rule acted on its connection (a
// termination, a refusal, or a dangle that discarded or closed) is lost; so
// is a gap that no rule discarded, and corrupt data. Each is printed with
// the run's seed and every event of its connection as it was logged, and
// the exit status is 1. So is any byte-count breach the program writes to
// its error log (Debug and sanitizer builds keep the count).
// Once a stream has ended, its connection must be gone from the program
// (unloaded, or dead with both sockets closed) within S seconds of the last
// change seen in it (the default is 10); one that outlives its peers is
// printed with the seed, and the exit status is 1.
#include "bench/common/Loopback.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "history/Logging.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/LoadedWindows.h"
#include "platform/Modal.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolRelay.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef TSY_BYTE_COUNT
#error "the soak needs the byte count: build it in a Debug or sanitizer build (bench/soak/run.sh does)"
#endif

namespace {

using namespace tsybench;

std::vector<char> Pattern(size_t size, uint64_t seed)
{
    std::vector<char> out(size);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(out.data() + i, &x, std::min<size_t>(8, size - i));
    }
    return out;
}

// Connections the slow peer server accepted, by the stream id each one
// announced, until their stream takes them.
struct Handoff {
    std::mutex lock;
    std::map<int, int> fds;
    std::set<int> gone;   // streams that no longer wait: a late connection is closed
    std::set<int> sent;   // streams the server has sent all to and closed
};

// What a slow reader reads while its peer has left: 64-128 KiB every 2-3 s
// (a receiver's window reopens only once about 64 KiB are read), for longer
// than the program's 30 s guard. The sizes leave the rest in the program's
// and the sockets' buffers once the sender has gone.
constexpr size_t kSlowS2CBytes = 14u << 20;
constexpr size_t kSlowC2SBytes = 3u << 20;
constexpr uint32_t kSendToMe = 0x80000000u;   // in the id a slow stream announces

// One stream: a sender and a receiver thread on one connection.
struct Stream {
    // Echo: sends and reads the echo. Leaves: sends without reading, then
    // resets or half-closes. Blocked: sends 20 MiB to a server that floods
    // without reading and leaves, then reads to the end. SlowClient: the
    // server sends 14 MiB and closes; the client reads some fast, then
    // slowly, then to the end. SlowServer: the client sends 3 MiB and
    // half-closes; the server reads slowly, then to the end. A slow reader
    // that pauses does so once its peer has left, for longer than the
    // program keeps a peer that takes nothing after a reset and shorter
    // than after an orderly close, then reads to the end.
    enum Kind { Echo, Leaves, Blocked, SlowClient, SlowServer };
    int id = 0;
    Kind kind = Echo;
    bool halfClose = false;
    bool pauses = false;   // a slow reader that pauses
    std::atomic<bool> peerLeft{false};   // a SlowServer's client has half-closed
    std::atomic<bool> pausing{false};    // a deliberate pause: no stall
    Clock::time_point heldAt{};          // last seen held by a dangle
    bool heldPastStall = false;          // a dangle held it for longer than --stall
    Stream(const std::vector<char>& pattern, Handoff& h) : data(pattern), size(pattern.size()), handoff(h) {}
    const std::vector<char>& data;
    size_t size;   // what a whole stream delivers
    Handoff& handoff;
    std::vector<char> got;
    int fd = -1;
    std::atomic<int> peerFd{-1};   // the slow server's end of a SlowServer stream
    long long refusalsBefore = 0;   // refusals the program had logged when it started
    int localPort = 0;
    std::thread sender, receiver;
    std::atomic<long long> received{0};
    std::atomic<bool> ended{false};   // the receiver has finished
    std::atomic<bool> stop{false};
    Clock::time_point started, lastProgress;
    mutable std::mutex progressLock;

    void Start(int proxyPort, uint64_t seed)
    {
        started = lastProgress = Clock::now();
        fd = Dial(proxyPort);
        if (fd < 0) {
            ended = true;
            return;
        }
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        localPort = ntohs(a.sin_port);
        if (kind == Leaves) {
            sender = std::thread([this, seed] { SendAndLeave(seed); });
            return;
        }
        if (kind == Blocked) {
            sender = std::thread([this] { SendThenRead(); });
            return;
        }
        if (kind == SlowClient || kind == SlowServer) {
            size = std::min(data.size(), kind == SlowClient ? kSlowS2CBytes : kSlowC2SBytes);
            const uint32_t announce = uint32_t(id) | (kind == SlowClient ? kSendToMe : 0);
            if (!SendAll(fd, reinterpret_cast<const char*>(&announce), sizeof announce)) {
                ended = true;
                return;
            }
            if (kind == SlowClient) {
                receiver = std::thread([this, seed] {
                    pauses ? ReadPausing(fd, seed, 8u << 20) : ReadSlowly(fd, seed, 8u << 20);
                });
                return;
            }
            sender = std::thread([this] {
                // The server's close, or the program's, ends it.
                if (SendAll(fd, data.data(), size)) {
                    ::shutdown(fd, SHUT_WR);
                    peerLeft = true;
                }
                char sink[4096];
                while (!stop && ::recv(fd, sink, sizeof sink, 0) > 0) {}
            });
            receiver = std::thread([this, seed] { ServeSlowly(seed); });
            return;
        }
        sender = std::thread([this, seed] {
            std::mt19937_64 rng(seed);
            size_t at = 0;
            while (at < data.size() && !stop) {
                const size_t n = std::min<size_t>(data.size() - at, 1 + rng() % (256 * 1024));
                const ssize_t w = ::send(fd, data.data() + at, n, MSG_NOSIGNAL);
                if (w <= 0) break;
                at += size_t(w);
            }
        });
        receiver = std::thread([this] { ReadToTheEnd(); });
    }
    void ReadToTheEnd()
    {
        Read(fd, size);
        ended = true;
    }
    // Reads from `from` until `upTo` bytes are in; false at its end.
    bool Read(int from, size_t upTo)
    {
        std::vector<char> buf(256 * 1024);
        got.reserve(size);
        while (!stop && got.size() < upTo) {
            const ssize_t n = ::recv(from, buf.data(), std::min(buf.size(), upTo - got.size()), 0);
            if (n <= 0) return false;
            got.insert(got.end(), buf.data(), buf.data() + n);
            received = (long long)got.size();
            Progress();
        }
        return !stop;
    }
    void Pause(int ms)
    {
        for (; ms > 0 && !stop; ms -= 50) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Up to `fast` bytes at once, then 64-128 KiB every 2-3 s for 35-50 s,
    // then the rest.
    void ReadSlowly(int from, uint64_t seed, size_t fast)
    {
        std::mt19937_64 rng(seed);
        bool more = fast == 0 || Read(from, fast / 2 + rng() % (fast / 2));
        const auto until = Clock::now() + std::chrono::seconds(35 + rng() % 16);
        while (more && Clock::now() < until) {
            more = Read(from, got.size() + (64u << 10) + rng() % (64u << 10));
            Pause(2000 + int(rng() % 1000));
        }
        if (more) Read(from, size);
        ended = true;
    }
    // As ReadSlowly, but its slow reads end once the peer has left (or a
    // minute on); then 45-90 s of nothing, and the rest.
    void ReadPausing(int from, uint64_t seed, size_t fast)
    {
        std::mt19937_64 rng(seed);
        bool more = fast == 0 || Read(from, fast / 2 + rng() % (fast / 2));
        const auto until = Clock::now() + std::chrono::seconds(60);
        while (more && !PeerHasLeft() && Clock::now() < until) {
            more = Read(from, got.size() + (64u << 10) + rng() % (64u << 10));
            Pause(2000 + int(rng() % 1000));
        }
        pausing = true;
        if (more) Pause(45000 + int(rng() % 45001));
        Progress();
        pausing = false;
        if (more) Read(from, size);
        ended = true;
    }
    bool PeerHasLeft()
    {
        if (kind == SlowServer) return peerLeft;
        std::lock_guard<std::mutex> g(handoff.lock);
        return handoff.sent.count(id) > 0;
    }
    // A SlowServer's far end: the connection the slow server took for it.
    void ServeSlowly(uint64_t seed)
    {
        for (bool last = false; !last; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            std::lock_guard<std::mutex> g(handoff.lock);
            if (const auto it = handoff.fds.find(id); it != handoff.fds.end()) {
                peerFd = it->second;
                handoff.fds.erase(it);
            }
            last = peerFd >= 0 || stop;
            if (last) handoff.gone.insert(id);
        }
        if (peerFd >= 0) pauses ? ReadPausing(peerFd, seed, 0) : ReadSlowly(peerFd, seed, 0);
        ended = true;
    }
    void Progress()
    {
        std::lock_guard<std::mutex> g(progressLock);
        lastProgress = Clock::now();
    }
    // Sends for up to three seconds without reading, as a client that gives
    // up on its own timeouts; then a reset, or a half-close and, a moment
    // later, the reset of a close with data unread.
    void SendAndLeave(uint64_t seed)
    {
        std::mt19937_64 rng(seed);
        const auto until = Clock::now() + std::chrono::milliseconds(200 + rng() % 2800);
        size_t at = 0;
        while (!stop && at < data.size() && Clock::now() < until) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const size_t n = std::min<size_t>(data.size() - at, 1 + rng() % (256 * 1024));
            const ssize_t w = ::send(fd, data.data() + at, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (w <= 0) break;
            at += size_t(w);
            Progress();
        }
        if (halfClose) {
            ::shutdown(fd, SHUT_WR);
            for (int i = int(rng() % 20); i > 0 && !stop; --i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ended = true;
    }
    // A blocking send of 20 MiB, which completes only once the proxy reads
    // (and drops) what the departed server can no longer take; then what the
    // server sent, to the end.
    void SendThenRead()
    {
        const size_t total = std::min<size_t>(data.size(), 20u << 20);
        for (size_t at = 0; at < total && !stop;) {
            const ssize_t w = ::send(fd, data.data() + at, std::min<size_t>(total - at, 256 * 1024), MSG_NOSIGNAL);
            if (w <= 0) break;
            at += size_t(w);
            Progress();
        }
        ReadToTheEnd();
    }
    double IdleSeconds() const
    {
        std::lock_guard<std::mutex> g(progressLock);
        return Seconds(lastProgress, Clock::now());
    }
    void Finish()
    {
        stop = true;
        if (fd >= 0 && kind != Leaves) ::shutdown(fd, SHUT_RDWR);
        if (peerFd >= 0) ::shutdown(peerFd, SHUT_RDWR);
        if (sender.joinable()) sender.join();
        if (receiver.joinable()) receiver.join();
        if (fd >= 0) ::close(fd);
        if (peerFd >= 0) ::close(peerFd);
        fd = peerFd = -1;
    }
};

const char* const kKindNames[] = {"echo", "client leaves", "server leaves", "slow-reading client",
                                  "slow-reading server"};

struct Verdict {
    enum Kind { Whole, Short, Gaps, Corrupt } kind = Whole;
    // Each gap: the offset received, and where the bytes received there belong.
    std::vector<std::pair<long long, long long>> gaps;
    long long missing = 0;   // bytes the gaps left out
    long long corruptAt = -1;
};

// Compares what came back with what was sent: a prefix of it, with gaps
// (blocks left out, everything after each one right) or corrupt.
Verdict Check(const Stream& s)
{
    Verdict v;
    const size_t n = s.got.size();
    size_t i = 0;   // in what came back
    size_t j = 0;   // in what was sent
    for (;;) {
        while (i < n && j < s.data.size() && s.got[i] == s.data[j]) ++i, ++j;
        if (i == n) break;
        // Where the bytes after the mismatch belong: a gap's far side.
        const size_t probe = std::min<size_t>(64, n - i);
        const auto it = probe < 16 || j >= s.data.size()
            ? s.data.end()
            : std::search(s.data.begin() + std::ptrdiff_t(j + 1), s.data.end(), s.got.begin() + std::ptrdiff_t(i),
                          s.got.begin() + std::ptrdiff_t(i + probe));
        if (it == s.data.end() || v.gaps.size() >= 64) {
            v.kind = Verdict::Corrupt;
            v.corruptAt = (long long)i;
            return v;
        }
        const size_t to = size_t(it - s.data.begin());
        v.gaps.emplace_back((long long)i, (long long)to);
        v.missing += (long long)(to - j);
        j = to;
    }
    if (!v.gaps.empty()) v.kind = Verdict::Gaps;
    else v.kind = j == s.size ? Verdict::Whole : Verdict::Short;
    return v;
}

// Message boxes as a user meets them: the box is up for a while, and the
// program goes on meanwhile in the box's own event loop, then OK.
class UserModal : public tsy::Modal::ScriptedBackend {
public:
    explicit UserModal(std::mt19937_64& r) : rng(r) {}
    tsy::Modal::Answer MsgBox(QWidget*, const QString&, tsy::Modal::Icon, tsy::Modal::Buttons, const QString&) override
    {
        ++shown;
        open = true;
        QEventLoop loop;
        QTimer::singleShot(int(20 + rng() % 800), &loop, &QEventLoop::quit);
        loop.exec();
        open = false;
        return tsy::Modal::Answer::Ok;
    }
    std::mt19937_64& rng;
    long long shown = 0;
    bool open = false;
};

struct Args {
    int seconds = 600;
    uint64_t seed = 0;
    int streams = 2;
    int mib = 50;
    int tickMs = 150;
    int stallSeconds = 20;
    int goneSeconds = 10;
};

// A server that sends the pattern without reading, for up to three seconds
// a connection, then leaves: a reset, since what it was sent lies unread.
int ServeFlood(std::shared_ptr<const std::vector<char>> shared, uint64_t seed)
{
    int port = 0;
    const int lfd = Listen(port);
    // Its threads may outlive the soak by a moment: they keep the pattern.
    std::thread([shared, seed, lfd] {
        for (uint64_t n = 0;; ++n) {
            const int c = ::accept(lfd, nullptr, nullptr);
            if (c < 0) continue;
            std::thread([shared, c, seed, n] {
                const std::vector<char>& pattern = *shared;
                std::mt19937_64 rng(seed ^ (n * 0x9E3779B97F4A7C15ull));
                const auto until = Clock::now() + std::chrono::milliseconds(100 + rng() % 2900);
                size_t at = 0;
                while (at < pattern.size() && Clock::now() < until) {
                    pollfd p{c, POLLOUT, 0};
                    if (::poll(&p, 1, 50) <= 0) continue;
                    const ssize_t w = ::send(c, pattern.data() + at, std::min<size_t>(pattern.size() - at, 64 * 1024),
                                             MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
                    if (w <= 0) break;
                    at += size_t(w);
                }
                ::close(c);
            }).detach();
        }
    }).detach();
    return port;
}

// The far end of the slow streams. Each connection first names its stream:
// one that asks is sent the pattern's first kSlowS2CBytes and closed; the
// others are handed to their stream, which reads them slowly.
int ServeSlowPeer(std::shared_ptr<const std::vector<char>> shared, std::shared_ptr<Handoff> handoff)
{
    int port = 0;
    const int lfd = Listen(port);
    std::thread([shared, handoff, lfd] {
        for (;;) {
            const int c = ::accept(lfd, nullptr, nullptr);
            if (c < 0) continue;
            std::thread([shared, handoff, c] {
                uint32_t announce = 0;
                if (::recv(c, &announce, sizeof announce, MSG_WAITALL) != ssize_t(sizeof announce)) {
                    ::close(c);
                    return;
                }
                if (announce & kSendToMe) {
                    const bool all = SendAll(c, shared->data(), std::min(shared->size(), kSlowS2CBytes));
                    ::close(c);
                    if (all) {
                        std::lock_guard<std::mutex> g(handoff->lock);
                        handoff->sent.insert(int(announce & ~kSendToMe));
                    }
                    return;
                }
                std::lock_guard<std::mutex> g(handoff->lock);
                if (handoff->gone.count(int(announce))) ::close(c);
                else handoff->fds[int(announce)] = c;
            }).detach();
        }
    }).detach();
    return port;
}

class Soak {
public:
    // A slow stream takes up to about a minute, a pausing one nearly three:
    // a fast read, slow reads until its peer leaves (a minute at most), a
    // pause of 90 s at most, and the rest.
    static constexpr int kGraceSeconds = 170;

    explicit Soak(const Args& a) : args(a), rng(a.seed) {}

    int Run();

private:
    void Act();
    void Poll();
    void StartStream();
    // After a stream has ended: its connection must go.
    void WatchEnding(const Stream& s);
    // Whether a dangle runs on the connection from that client port.
    bool Dangled(int port);
    void JudgeEnding();
    void Observe(bool death);
    void JudgeShort(const Stream& s, bool stalled);
    QString RandomText(bool time);
    void SetBox(QLineEdit* box, bool time);

    Args args;
    std::mt19937_64 rng;
    int proxyPort = 0;
    int floodProxyPort = 0;
    int slowProxyPort = 0;
    std::shared_ptr<Handoff> handoff = std::make_shared<Handoff>();
    // What the failure rules did to each connection, by its remote client
    // port, taken from every event as it is logged: purges and "Clear All
    // Data" may drop the events, or the history, before its stream ends.
    struct Seen {
        const char* rule = nullptr;   // a termination, once one acted
        bool dangled = false;
        QString lastError;            // the last error state logged on it
        long long fromServer = 0;     // what the program received from the server
        QString key;
        // Every event of the connection as it was logged (and its death),
        // a run of data events folded into one step: printed with a verdict
        // against it.
        struct Step {
            double at = 0, until = 0;   // seconds into the soak
            int type = -1;              // a SocketEventType, kDeath or kData
            QString text;
            std::map<int, std::pair<int, long long>> data;   // a run's events and bytes by type
        };
        std::vector<Step> trail;
        bool dead = false;
    };
    static constexpr int kDeath = -1;
    static constexpr int kData = -2;
    void Record(Seen& seen, int type, long long bytes, const QString& text);
    std::string Trail(int port) const;
    void PrintTrail(const Stream& s);
    Clock::time_point started = Clock::now();
    std::map<int, Seen> seenByPort;
    std::map<std::weak_ptr<SocketPairHistory>, int, std::owner_less<>> watched;   // -> events seen
    long long refusals = 0;
    int nextId = 0;
    // Connections whose stream has ended, until they are gone.
    struct Ending {
        int id = 0;
        int port = 0;
        Stream::Kind kind = Stream::Echo;
        QPointer<SocketPair> pair;
        QString key;
        std::string seen;   // what was last seen of it
        Clock::time_point since, changed;
    };
    std::vector<Ending> ending;
    long long gone = 0, outlived = 0;
    bool rulesOff = false;
    long long kinds[5] = {0, 0, 0, 0, 0};
    long long pausing = 0, pausingWhole = 0;   // slow readers that pause, and those whole
    long long heldPastStall = 0, heldPastStallWhole = 0;   // streams a dangle held for longer than --stall
    std::vector<char> pattern;
    int errorEntriesSeen = 0;
    std::vector<std::unique_ptr<Stream>> live;
    std::map<int, long long> discardedByPort;   // remote client port -> bytes a rule discarded
    long long whole = 0, cut = 0, gapsExplained = 0, losses = 0, lostShort = 0, unfinished = 0, bytesChecked = 0,
              actions = 0;
    int breachesSeen = 0;
    std::map<std::string, long long> actionCounts;
    Clock::time_point end;
    UserModal* modal = nullptr;
};

QString Soak::RandomText(bool time)
{
    static const char* odd[] = {"abc", "", "12a", "0", "-3", "1e3", "0.5", "99999999999", " 7 ", "1,5", "+20"};
    if (rng() % 5 == 0) return QString::fromLatin1(odd[rng() % (sizeof odd / sizeof *odd)]);
    if (time) return QString::number(1 + rng() % 3000);
    return QString::number(1 + rng() % 5);
}

void Soak::SetBox(QLineEdit* box, bool time)
{
    box->setText(RandomText(time));
    // Now and then the box loses the focus, and the window checks it.
    if (rng() % 2) frmProblemSimulation::Instance()->NumberBox_LostFocus(box);
}

void Soak::Act()
{
    ++actions;
    frmProblemSimulation* sim = frmProblemSimulation::Instance();
    frmMain* main = frmMain::Instance();
    frmOptions* options = frmOptions::Instance();
    const auto chance = [this](int percent) { return int(rng() % 100) < percent; };
    const auto pickOption = [this](OptionGroup& g) { g(int(rng() % g.Count()))->setChecked(true); };
    const int what = int(rng() % 20);
    std::string name;
    switch (what) {
    case 0: name = "terminate switch"; sim->chkTerminateConnections->setChecked(chance(15)); break;
    case 1: name = "refuse switch"; sim->chkRefuseConnections->setChecked(chance(15)); break;
    case 2: name = "throttle S2C switch"; sim->chkThrottleS2CData->setChecked(chance(40)); break;
    case 3: name = "throttle C2S switch"; sim->chkThrottleC2SData->setChecked(chance(40)); break;
    case 4: name = "dangle switch"; sim->chkDangleConnections->setChecked(chance(70)); break;
    case 5: {
        name = "option group";
        OptionGroup* groups[] = {&sim->optClose, &sim->optCloseTime, &sim->optGracefulTermination, &sim->optRefuse,
                                 &sim->optS2CThrottle, &sim->optC2SThrottle, &sim->optDangle,
                                 &sim->optDangleStartTime, &sim->optDangleStopTime, &sim->optDangleClose,
                                 &sim->optDangleDirections};
        pickOption(*groups[rng() % (sizeof groups / sizeof *groups)]);
        break;
    }
    case 6: {
        name = "dangle close option";
        pickOption(sim->optDangleClose);
        break;
    }
    case 7: case 8: {
        name = "time box";
        QLineEdit* boxes[] = {sim->txtTerminateTime, sim->txtTerminateTimeFrom, sim->txtTerminateTimeTo,
                              sim->txtDangleStartTime, sim->txtDangleStartTimeFrom, sim->txtDangleStartTimeTo,
                              sim->txtDangleStopTime, sim->txtDangleStopTimeFrom, sim->txtDangleStopTimeTo,
                              sim->txtS2CPeriod, sim->txtS2CPeriodFrom, sim->txtS2CPeriodTo,
                              sim->txtC2SPeriod, sim->txtC2SPeriodFrom, sim->txtC2SPeriodTo};
        QLineEdit* box = boxes[rng() % (sizeof boxes / sizeof *boxes)];
        // Throttle periods stay short, so that a stream still moves.
        const bool period = box == sim->txtS2CPeriod || box == sim->txtS2CPeriodFrom || box == sim->txtS2CPeriodTo
                            || box == sim->txtC2SPeriod || box == sim->txtC2SPeriodFrom || box == sim->txtC2SPeriodTo;
        box->setText(period && rng() % 5 ? QString::number(1 + rng() % 100) : RandomText(true));
        if (rng() % 2) sim->NumberBox_LostFocus(box);
        break;
    }
    case 9: {
        name = "count box";
        QLineEdit* boxes[] = {sim->txtTerminateNthConnection, sim->txtTerminateNPercOfConnections,
                              sim->txtRefuseNthConnection, sim->txtRefuseNPercOfConnections,
                              sim->txtDangleNthConnection, sim->txtDangleNPercOfConnections};
        SetBox(boxes[rng() % (sizeof boxes / sizeof *boxes)], false);
        break;
    }
    case 10: {
        name = "throttle bytes box";
        QLineEdit* boxes[] = {sim->txtS2CBytes, sim->txtS2CBytesFrom, sim->txtS2CBytesTo,
                              sim->txtC2SBytes, sim->txtC2SBytesFrom, sim->txtC2SBytesTo};
        QLineEdit* box = boxes[rng() % (sizeof boxes / sizeof *boxes)];
        box->setText(rng() % 5 ? QString::number(1000 + rng() % 200000) : RandomText(false));
        if (rng() % 2) sim->NumberBox_LostFocus(box);
        break;
    }
    case 11: name = "clear all data"; main->mnuClearAllData_Click(); break;
    case 12: case 13: name = "status panel"; main->barStatus_PanelDblClick(4 + int(rng() % 5)); break;
    case 14: {
        name = "purge limits";
        QLineEdit* boxes[] = {options->txtMaxMemorySize, options->txtNumberToKeep, options->txtMaximumEventCount};
        static const char* values[] = {"abc", "400", "1", "0", "100", "", "50000", "-1", "2.5"};
        boxes[rng() % 3]->setText(QString::fromLatin1(values[rng() % (sizeof values / sizeof *values)]));
        if (chance(20)) options->chkDiscard->setChecked(!options->chkDiscard->isChecked());
        break;
    }
    case 15:
        name = "dangle all";
        if (chance(30)) sim->cmdDangleAll_Click();
        break;
    case 16:
        name = "terminate all";
        if (chance(3)) sim->cmdTerminateAllConnections_Click();
        break;
    case 17: {
        name = "tree click";
        const int count = General::gobjLogging->mobjSocketPairHistory.Count();
        if (count > 0 && chance(70)) {
            const QString key = General::gobjLogging->mobjSocketPairHistory.KeyAt(1 + int(rng() % count));
            if (main->tvwSockets->Exists(key)) main->tvwSockets_NodeClick(key);
        } else {
            main->tvwSockets_NodeClick(QStringLiteral("ROOT"));
        }
        break;
    }
    case 18: name = "view switch"; (chance(50) ? main->mnuConnectionDiagram_Click() : main->mnuEventHistory_Click()); break;
    default: name = "nothing"; break;
    }
    ++actionCounts[name];
}

void Soak::StartStream()
{
    auto s = std::make_unique<Stream>(pattern, *handoff);
    s->id = ++nextId;
    static const Stream::Kind mix[] = {Stream::Echo,    Stream::Echo,       Stream::Echo,      Stream::Echo,
                                       Stream::Leaves,  Stream::Blocked,    Stream::SlowClient, Stream::SlowServer};
    s->kind = mix[rng() % 8];
    // One draw for both: a stream of each kind uses one of them at most.
    s->halfClose = rng() % 2;
    s->pauses = s->halfClose && (s->kind == Stream::SlowClient || s->kind == Stream::SlowServer);
    pausing += s->pauses;
    s->refusalsBefore = refusals;
    ++kinds[s->kind];
    const int port = s->kind == Stream::Blocked ? floodProxyPort
                     : s->kind == Stream::SlowClient || s->kind == Stream::SlowServer ? slowProxyPort
                                                                                        : proxyPort;
    s->Start(port, args.seed ^ uint64_t(s->id));
    live.push_back(std::move(s));
}

bool Soak::Dangled(int port)
{
    for (QObject* w : tsy::LoadedWindows::Named(QStringLiteral("SocketPair"))) {
        auto* pair = qobject_cast<SocketPair*>(w);
        if (pair && pair->RemoteClientPort() == port
            && (pair->IsDanglingCurrentlyOn(true) || pair->IsDanglingCurrentlyOn(false)))
            return true;
    }
    return false;
}

void Soak::WatchEnding(const Stream& s)
{
    Ending e;
    e.id = s.id;
    e.port = s.localPort;
    e.kind = s.kind;
    e.since = e.changed = Clock::now();
    for (QObject* w : tsy::LoadedWindows::Named(QStringLiteral("SocketPair"))) {
        auto* pair = qobject_cast<SocketPair*>(w);
        if (pair && pair->RemoteClientPort() == s.localPort && !pair->Dead()) e.pair = pair;
    }
    if (!e.pair) {   // gone already
        ++gone;
        return;
    }
    e.key = e.pair->SocketPairKey();
    ending.push_back(e);
}

// A connection is gone once unloaded, or dead with both sockets closed. One
// in which nothing changes (no byte waiting or queued, no event) for --gone
// seconds while it is still there, and no dangle holds, has outlived its
// peers. A dangle holds a close until it ends, and "Dangle All" restarts it.
void Soak::JudgeEnding()
{
    const auto now = Clock::now();
    const auto closed = [](int state) { return state == tsy::Winsock::sckClosed || state == tsy::Winsock::sckError; };
    for (size_t k = 0; k < ending.size();) {
        Ending& e = ending[k];
        SocketPair* pair = e.pair.data();
        if (!pair || !pair->IsLoadedWindow() || (pair->Dead() && closed(pair->ServerState()) && closed(pair->ClientState()))) {
            ++gone;
            ending.erase(ending.begin() + std::ptrdiff_t(k));
            continue;
        }
        auto* relay = dynamic_cast<ProtocolRelay*>(pair->mobjProtocolHandler.get());
        const auto history = General::gobjLogging ? General::gobjLogging->mobjSocketPairHistory.Find(e.key) : nullptr;
        char seen[256];
        std::snprintf(seen, sizeof seen,
                      "dead %d, client socket state %d, server socket state %d, waiting %lld to the server and %lld "
                      "to the client, queued %lld and %lld, %lld events, dangling %d%d",
                      int(pair->Dead()), pair->ServerState(), pair->ClientState(),
                      relay ? relay->C2SBufferedBytes() : -1LL, relay ? relay->S2CBufferedBytes() : -1LL,
                      (long long)pair->sckClient->BytesToWrite(), (long long)pair->sckServer->BytesToWrite(),
                      history ? (long long)history->mobjSocketPairEvents.Count() : -1LL,
                      int(pair->IsDanglingCurrentlyOn(true)), int(pair->IsDanglingCurrentlyOn(false)));
        if (e.seen != seen || pair->IsDanglingCurrentlyOn(true) || pair->IsDanglingCurrentlyOn(false)) {
            e.seen = seen;
            e.changed = now;
        } else if (Seconds(e.changed, now) > args.goneSeconds) {
            ++outlived;
            std::printf("OUTLIVES seed=%llu stream=%d (%s) port=%d: %s still open %.0f s after its stream ended, "
                        "unchanged for %.0f s: %s\n",
                        (unsigned long long)args.seed, e.id, kKindNames[e.kind], e.port, qPrintable(e.key),
                        Seconds(e.since, now), Seconds(e.changed, now), seen);
            std::printf("%s", Trail(e.port).c_str());
            std::fflush(stdout);
            ending.erase(ending.begin() + std::ptrdiff_t(k));
            continue;
        }
        ++k;
    }
}

const char* EventName(int type)
{
    // By SocketEventType, in its order.
    static const char* const names[] = {
        "accepted", "refused", "connecting", "connect failed", "connected", "server disconnected",
        "local server closed", "client disconnected", "local client closed", "from the server",
        "to the server, buffered", "to the server, dangled", "to the client, buffered", "to the client, dangled",
        "sent to the client", "sent to the client, throttled", "from the client", "sent to the server",
        "sent to the server, throttled", "local server socket error", "local client socket error",
        "local server dangle on", "local client dangle on", "local server dangle off", "local client dangle off"};
    if (type == -1) return "dead";
    return type >= 0 && type < int(sizeof names / sizeof *names) ? names[type] : "?";
}

void Soak::Record(Seen& seen, int type, long long bytes, const QString& text)
{
    const double at = Seconds(started, Clock::now());
    if (type < SocketEventType::ClientBytesReceived || type > SocketEventType::ClientBytesSendStartThrottled) {
        seen.trail.push_back({at, at, type, text, {}});
        return;
    }
    if (seen.trail.empty() || seen.trail.back().type != kData) seen.trail.push_back({at, at, kData, QString(), {}});
    Seen::Step& run = seen.trail.back();
    run.until = at;
    ++run.data[type].first;
    run.data[type].second += bytes;
}

// The trail of the connection from that client port, one step a line.
std::string Soak::Trail(int port) const
{
    const auto it = seenByPort.find(port);
    if (it == seenByPort.end()) return "  (no event of it was logged)\n";
    std::string out;
    char line[256];
    for (const Seen::Step& step : it->second.trail) {
        if (step.type == kData) {
            std::snprintf(line, sizeof line, "  %9.3f-%.3f s  data:", step.at, step.until);
            out += line;
            for (const auto& [type, n] : step.data) {
                std::snprintf(line, sizeof line, " %s %d (%lld bytes);", EventName(type), n.first, n.second);
                out += line;
            }
            out += "\n";
            continue;
        }
        std::snprintf(line, sizeof line, "  %9.3f s  %s", step.at, EventName(step.type));
        out += line;
        if (!step.text.isEmpty()) out += ": " + step.text.toStdString();
        out += "\n";
    }
    return out;
}

// Called as each event is logged, once it is in its history (before the
// purge can trim it), and as a connection dies.
void Soak::Observe(bool death)
{
    auto& histories = General::gobjLogging->mobjSocketPairHistory;
    // A new history is added last, just before its first event.
    if (const int n = histories.Count(); !death && n > 0 && !watched.count(histories.Item(n))) {
        const auto& h = histories.Item(n);
        watched[h] = 0;
        Seen& seen = seenByPort[h->mlngRemoteClientPort] = Seen{};
        seen.key = h->mstrSocketPairKey;
    }
    for (auto it = watched.begin(); it != watched.end();) {
        const auto h = it->first.lock();
        if (!h) {
            it = watched.erase(it);
            continue;
        }
        const int fresh = h->mlngEventCount - it->second;
        it->second = h->mlngEventCount;
        Seen& seen = seenByPort[h->mlngRemoteClientPort];
        // Refused requests share the port -1: they are counted, not traced.
        const bool traced = h->mlngRemoteClientPort > 0;
        const auto& events = h->mobjSocketPairEvents;
        if (traced && fresh > events.Count())
            Record(seen, SocketEventType::ClientInBadState, 0,
                   QStringLiteral("(the soak missed %1 events)").arg(fresh - events.Count()));
        for (int i = std::max(1, events.Count() - fresh + 1); fresh > 0 && i <= events.Count(); ++i) {
            const SocketEvent& e = *events.Item(i);
            if (traced) Record(seen, e.mobjEventType, e.mstrData.size(), e.mstrDescription);
            switch (e.mobjEventType) {
            case SocketEventType::LocalServerRejectedConnection: ++refusals; break;
            case SocketEventType::ServerDanglingStarted:
            case SocketEventType::ClientDanglingStarted:
                seen.dangled = true;
                break;
            case SocketEventType::RemoteServerDisconnected:
            case SocketEventType::ServerInBadState:
            case SocketEventType::ClientInBadState:
                // A scheduled termination, graceful or not, and "Terminate All".
                if (e.mstrDescription.contains(QLatin1String("terminat"), Qt::CaseInsensitive)) {
                    if (!seen.rule) seen.rule = "a termination";
                } else if (e.mobjEventType != SocketEventType::RemoteServerDisconnected) {
                    seen.lastError = e.mstrDescription;
                }
                break;
            default: break;
            }
        }
        if (traced && h->mblnDead && !seen.dead) {
            seen.dead = true;
            Record(seen, kDeath, 0, QString());
        }
        seen.fromServer = h->mlngBytesS2C;
        ++it;
    }
}

// A stream that ended short, with no gap: cut by a failure rule, or lost.
// A refused stream's connection has no history of its own: the program
// never accepted it, while it refused one.
void Soak::JudgeShort(const Stream& s, bool stalled)
{
    const auto it = seenByPort.find(s.localPort);
    const Seen* seen = it == seenByPort.end() ? nullptr : &it->second;
    // What the flooding server sent is what the program received from it.
    if (s.kind == Stream::Blocked && seen && (long long)s.got.size() >= seen->fromServer) {
        ++whole;
        return;
    }
    // A dangle shortens a stream only by what it discards, or by its close,
    // which is logged as a termination; held, its data still goes.
    const bool discarded = discardedByPort.count(s.localPort) && discardedByPort.at(s.localPort) > 0;
    if ((seen && (seen->rule || (seen->dangled && discarded))) || (!seen && refusals > s.refusalsBefore)) {
        ++cut;
        return;
    }
    ++lostShort;
    const long long expected = s.kind == Stream::Blocked && seen ? seen->fromServer : (long long)s.size;
    std::printf("LOST seed=%llu stream=%d (%s%s) port=%d: %zu of %lld bytes arrived%s, and no termination, refusal "
                "or discarding dangle acted on its connection%s%s\n",
                (unsigned long long)args.seed, s.id, kKindNames[s.kind], s.pauses ? ", pausing" : "", s.localPort,
                s.got.size(), expected,
                stalled ? " (then nothing for --stall seconds)" : "", seen ? "" : " (the program never accepted it)",
                seen && !seen->lastError.isEmpty() ? qPrintable(QStringLiteral("; last error: ") + seen->lastError)
                                                   : "");
    PrintTrail(s);
}

// The stream's own times, then every event of its connection.
void Soak::PrintTrail(const Stream& s)
{
    std::printf("  the stream started at %.3f s and was judged at %.3f s (its last progress %.1f s before)\n%s",
                Seconds(started, s.started), Seconds(started, Clock::now()), s.IdleSeconds(),
                Trail(s.localPort).c_str());
}

void Soak::Poll()
{
    const auto now = Clock::now();
    const bool over = now >= end;
    // Streams under way at the end may finish, with the rules off; those
    // still under way a while later are cut by the soak, not judged short.
    const bool late = now >= end + std::chrono::seconds(kGraceSeconds);
    for (size_t k = 0; k < live.size();) {
        Stream& s = *live[k];
        // Neither a reader's deliberate pause nor a dangle that holds its
        // connection's data is a stall: the clock starts again after either.
        if (!s.ended && s.IdleSeconds() > 1 && Dangled(s.localPort)) {
            s.heldAt = now;
            if (s.IdleSeconds() > args.stallSeconds) s.heldPastStall = true;
        }
        const double idle = std::min(s.IdleSeconds(), Seconds(s.heldAt, now));
        const bool stalled = !s.ended && !s.pausing && idle > args.stallSeconds;
        const bool done = s.ended || stalled || late;
        if (!done) {
            ++k;
            continue;
        }
        s.Finish();
        WatchEnding(s);
        if (s.kind == Stream::Leaves) {
            ++cut;
            live.erase(live.begin() + std::ptrdiff_t(k));
            continue;
        }
        const Verdict v = Check(s);
        const long long wholeBefore = whole;
        bytesChecked += (long long)s.got.size();
        const long long discarded = discardedByPort.count(s.localPort) ? discardedByPort[s.localPort] : 0;
        switch (v.kind) {
        case Verdict::Whole: ++whole; break;
        case Verdict::Short:
            if (!s.ended && !stalled) ++unfinished;
            else JudgeShort(s, stalled);
            break;
        case Verdict::Gaps:
            if (discarded >= v.missing) {
                ++gapsExplained;
            } else {
                ++losses;
                std::printf("LOSS seed=%llu stream=%d port=%d: %lld bytes missing in %zu gap(s), rules discarded %lld "
                            "on its pair; %zu of %zu bytes received\n",
                            (unsigned long long)args.seed, s.id, s.localPort, v.missing, v.gaps.size(), discarded,
                            s.got.size(), s.data.size());
                for (const auto& [at, belongs] : v.gaps)
                    std::printf("  offset %lld received what belongs at %lld\n", at, belongs);
                PrintTrail(s);
            }
            break;
        case Verdict::Corrupt:
            ++losses;
            std::printf("CORRUPT seed=%llu stream=%d port=%d: a wrong byte at offset %lld after %zu gap(s), %zu of %zu "
                        "bytes received (rules discarded %lld on its pair)\n",
                        (unsigned long long)args.seed, s.id, s.localPort, v.corruptAt, v.gaps.size(), s.got.size(),
                        s.data.size(), discarded);
            PrintTrail(s);
            break;
        }
        if (s.pauses) pausingWhole += whole - wholeBefore;
        if (s.heldPastStall) {
            ++heldPastStall;
            heldPastStallWhole += whole - wholeBefore;
            static const char* const verdicts[] = {"whole", "short", "with gaps", "corrupt"};
            std::printf("  stream %d (%s) was held by a dangle for longer than --stall: %s, %zu bytes\n", s.id,
                        kKindNames[s.kind], verdicts[v.kind], s.got.size());
        }
        std::fflush(stdout);
        live.erase(live.begin() + std::ptrdiff_t(k));
    }
    // Byte-count breaches the program logged.
    if (frmError::IsLoaded() && frmError::Instance()->EntryCount() != errorEntriesSeen) {
        errorEntriesSeen = frmError::Instance()->EntryCount();
        const QString log = frmError::Instance()->LogText();
        const int breaches = int(log.count(QStringLiteral("Byte count of")));
        if (breaches > breachesSeen) {
            std::printf("BYTE COUNT BREACH seed=%llu:\n%s\n", (unsigned long long)args.seed, qPrintable(log));
            std::fflush(stdout);
            breachesSeen = breaches;
        }
    }
    JudgeEnding();
    if (over) {
        // The user switches the rules off at the end, so that what they
        // still hold goes; the soak ends after the grace regardless.
        if (!rulesOff) {
            rulesOff = true;
            frmProblemSimulation* sim = frmProblemSimulation::Instance();
            for (QCheckBox* rule : {sim->chkThrottleS2CData, sim->chkThrottleC2SData, sim->chkDangleConnections,
                                    sim->chkTerminateConnections, sim->chkRefuseConnections})
                rule->setChecked(false);
        }
        if ((live.empty() && ending.empty()) || now > end + std::chrono::seconds(kGraceSeconds + args.goneSeconds + 5))
            QCoreApplication::quit();
        return;
    }
    while (int(live.size()) < args.streams) StartStream();
}

int Soak::Run()
{
    // The real program's own set-up, offscreen, with a Pass Through port in
    // front of a local echo server.
    pattern = Pattern(size_t(args.mib) << 20, args.seed);
    Server echo;
    echo.echo = true;
    echo.bufferBytes = 64 * 1024;
    const int echoPort = Serve(echo);
    const auto shared = std::make_shared<const std::vector<char>>(pattern);
    const int floodPort = ServeFlood(shared, args.seed);
    const int slowPort = ServeSlowPeer(shared, handoff);
    proxyPort = FreePort();
    floodProxyPort = FreePort();
    slowProxyPort = FreePort();
    tsy::Settings::SaveSetting(QStringLiteral("FirstRun"), QStringLiteral("FirstRun"), QStringLiteral("False"));
    for (const auto& [from, to] : {std::pair{proxyPort, echoPort}, std::pair{floodProxyPort, floodPort}, std::pair{slowProxyPort, slowPort}}) {
        const QString p = QString::number(from);
        tsy::Settings::SaveSetting(QStringLiteral("Protocols"), p, QStringLiteral("Pass Through"));
        tsy::Settings::SaveSetting(QStringLiteral("PortsInUse"), p, QStringLiteral("Soak"));
        const QString section = QStringLiteral("Protocols\\Pass Through\\Port ") + p;
        tsy::Settings::SaveSetting(section, QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
        tsy::Settings::SaveSetting(section, QStringLiteral("Port"), QString::number(to));
    }
    tsy::Settings::SaveSetting(QStringLiteral("RealTime"), QStringLiteral("ShowRealTimeData"), QStringLiteral("1"));
    {
        auto m = std::make_unique<UserModal>(rng);
        modal = m.get();
        tsy::Modal::SetBackend(std::move(m));
    }
    General::gblnLoggingEnabled = true;
    General::gobjLogging = new Logging();
    General::gobjLogging->mfnBeforeStep = [this](const char* step) {
        // The event is in its history now; a death is marked in it.
        if (std::strcmp(step, "Tree") == 0) Observe(false);
        else if (std::strcmp(step, "Dead.Tree") == 0) Observe(true);
    };
    General::gobjListening = new Listening();
    General::gobjListening->InitaliseListeningSockets();
    frmMain* main = frmMain::Instance();
    main->resize(1200, 800);
    main->show();
    // The proxy runs on this thread: the probe waits on another.
    std::atomic<int> echoed{0};
    std::thread probe([&] { echoed = WaitForEcho(proxyPort, 20000) ? 1 : 2; });
    SpinUntil([&] { return echoed != 0; }, 30000);
    probe.join();
    if (echoed != 1) {
        std::fprintf(stderr, "no echo through the proxy's port %d\n%s\n", proxyPort,
                     frmError::IsLoaded() ? qPrintable(frmError::Instance()->LogText()) : "");
        return 2;
    }
    ProtocolRelay::gDiscardObserver = [this](SocketPair* pair, qint64 bytes) {
        if (pair) discardedByPort[pair->RemoteClientPort()] += bytes;
    };
    // The failure rules start from a dangle of both directions that sends
    // what it held, as in the trial that lost a block.
    frmProblemSimulation* sim = frmProblemSimulation::Instance();
    sim->chkDangleConnections->setChecked(true);
    sim->txtDangleNthConnection->setText("1");
    sim->txtDangleStartTime->setText("300");
    sim->txtDangleStopTime->setText("1000");
    sim->optDangleClose(1)->setChecked(true);
    sim->optDangleDirections(2)->setChecked(true);
    sim->txtS2CBytes->setText("20000");
    sim->txtC2SBytes->setText("20000");

    std::printf("soak: seed %llu, %d s, %d streams of %d MiB, an action every %d ms, proxy ports %d (echo server %d), "
                "%d (flooding server %d) and %d (slow peer server %d)\n",
                (unsigned long long)args.seed, args.seconds, args.streams, args.mib, args.tickMs, proxyPort, echoPort,
                floodProxyPort, floodPort, slowProxyPort, slowPort);
    std::fflush(stdout);
    const auto start = Clock::now();
    end = start + std::chrono::seconds(args.seconds);
    QTimer act, poll, report;
    // While a message box is up, the user only reads it.
    QObject::connect(&act, &QTimer::timeout, [this] {
        if (Clock::now() < end && !modal->open) Act();
    });
    QObject::connect(&poll, &QTimer::timeout, [this] { Poll(); });
    QObject::connect(&report, &QTimer::timeout, [this, start] {
        std::printf("  %.0f s: %lld streams whole, %lld cut short, %lld gaps a rule discarded, %lld lost, %lld lost short; "
                    "%.0f MiB checked, %lld actions; %lld connections gone after their stream, %lld outlived it\n",
                    Seconds(start, Clock::now()), whole, cut, gapsExplained, losses, lostShort,
                    double(bytesChecked) / (1 << 20), actions, gone, outlived);
        std::fflush(stdout);
    });
    act.start(args.tickMs);
    poll.start(100);
    report.start(30000);
    QCoreApplication::exec();

    for (const Ending& e : ending) {
        ++outlived;
        std::printf("OUTLIVES seed=%llu stream=%d port=%d: %s still open when the soak ended: %s\n",
                    (unsigned long long)args.seed, e.id, e.port, qPrintable(e.key), e.seen.c_str());
        std::printf("%s", Trail(e.port).c_str());
    }
    std::printf("soak done: seed %llu, %.0f s, %lld streams (%lld echo, %lld whose client leaves, %lld whose server "
                "leaves, %lld read slowly by the client, %lld by the server, %lld of the slow readers pausing, %lld "
                "of them whole): %lld whole, %lld cut short by a rule, %lld lost short, %lld unfinished at the end, "
                "%lld gaps a rule discarded, %lld lost or corrupt; %lld held by a dangle for longer than --stall, %lld "
                "of them whole; %.0f MiB checked; %lld actions (%lld message boxes); %d byte-count breaches; %lld "
                "connections gone after their stream, %lld outlived it\n",
                (unsigned long long)args.seed, Seconds(start, Clock::now()),
                kinds[0] + kinds[1] + kinds[2] + kinds[3] + kinds[4], kinds[0], kinds[1], kinds[2], kinds[3], kinds[4],
                pausing, pausingWhole, whole, cut, lostShort, unfinished, gapsExplained, losses, heldPastStall,
                heldPastStallWhole, double(bytesChecked) / (1 << 20), actions, modal->shown, breachesSeen, gone,
                outlived);
    std::printf("  actions:");
    for (const auto& [name, count] : actionCounts) std::printf(" %s %lld;", name.c_str(), count);
    std::printf("\n");
    ProtocolRelay::gDiscardObserver = nullptr;
    General::gobjLogging->mfnBeforeStep = nullptr;
    std::fflush(stdout);
    if (General::gobjListening) General::gobjListening->DeInitaliseListeningSockets();
    return losses > 0 || lostShort > 0 || breachesSeen > 0 || outlived > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Settings and logs of this run only.
    QTemporaryDir home;
    for (const char* d : {"config", "data", "run"}) QDir(home.path()).mkpath(QString::fromLatin1(d));
    qputenv("XDG_CONFIG_HOME", QDir(home.path()).filePath("config").toLocal8Bit());
    qputenv("XDG_DATA_HOME", QDir(home.path()).filePath("data").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", QDir(home.path()).filePath("run").toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    Args args;
    args.seed = uint64_t(std::random_device{}()) << 32 | std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray a = argv[i];
        const QByteArray v = argv[i + 1];
        if (a == "--seconds") args.seconds = v.toInt();
        else if (a == "--seed") args.seed = v.toULongLong();
        else if (a == "--streams") args.streams = qMax(1, v.toInt());
        else if (a == "--mib") args.mib = qMax(1, v.toInt());
        else if (a == "--tick") args.tickMs = qMax(1, v.toInt());
        else if (a == "--stall") args.stallSeconds = qMax(1, v.toInt());
        else if (a == "--gone") args.goneSeconds = qMax(1, v.toInt());
        else {
            std::fprintf(stderr, "usage: soak [--seconds N] [--seed S] [--streams K] [--mib M] [--tick MS] [--stall S] "
                                 "[--gone S]\n");
            return 2;
        }
    }
    Soak soak(args);
    return soak.Run();
}
