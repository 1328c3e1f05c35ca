// Soak: checksummed bulk echo streams through a Pass Through port of the
// real program (in process, its main window offscreen, the real-time pane
// on), while a seeded random "user" switches every failure rule and its
// fields (text that is not a number included), clears all data,
// double-clicks the status panels and changes the purge limits.
//
//   soak [--seconds N] [--seed S] [--streams K] [--mib M] [--tick MS] [--stall S] [--gone S]
//
// Half the streams send M MiB of a seeded pattern to a local echo server and
// check what comes back: whole, cut short (a termination, a close after a
// dangle, a refusal), or with a gap. A gap that no failure rule discarded is
// a lost block: it is printed with the run's seed, and the exit status is 1.
// So is any byte-count breach the program writes to its error log (Debug
// and sanitizer builds keep the count).
// A quarter of them send to the echo server without reading, then leave by
// a reset or by a half-close (and a reset a moment later); the rest send
// 20 MiB with a blocking send to a server that floods them without reading
// and leaves, then read what it sent (checked as the echo is) to the end.
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

// One stream: a sender and a receiver thread on one connection.
struct Stream {
    // Echo: sends and reads the echo. Leaves: sends without reading, then
    // resets or half-closes. Blocked: sends 20 MiB to a server that floods
    // without reading and leaves, then reads to the end.
    enum Kind { Echo, Leaves, Blocked };
    int id = 0;
    Kind kind = Echo;
    bool halfClose = false;
    explicit Stream(const std::vector<char>& pattern) : data(pattern) {}
    const std::vector<char>& data;
    std::vector<char> got;
    int fd = -1;
    int localPort = 0;
    std::thread sender, receiver;
    std::atomic<long long> received{0};
    std::atomic<bool> ended{false};   // the receiver has finished
    std::atomic<bool> stop{false};
    Clock::time_point started, lastProgress;
    std::mutex progressLock;

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
        std::vector<char> buf(256 * 1024);
        got.reserve(data.size());
        while (!stop && got.size() < data.size()) {
            const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            got.insert(got.end(), buf.data(), buf.data() + n);
            received = (long long)got.size();
            Progress();
        }
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
    double IdleSeconds()
    {
        std::lock_guard<std::mutex> g(progressLock);
        return Seconds(lastProgress, Clock::now());
    }
    void Finish()
    {
        stop = true;
        if (fd >= 0 && kind != Leaves) ::shutdown(fd, SHUT_RDWR);
        if (sender.joinable()) sender.join();
        if (receiver.joinable()) receiver.join();
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

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
    else v.kind = j == s.data.size() ? Verdict::Whole : Verdict::Short;
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

class Soak {
public:
    explicit Soak(const Args& a) : args(a), rng(a.seed) {}

    int Run();

private:
    void Act();
    void Poll();
    void StartStream();
    // After a stream has ended: its connection must go.
    void WatchEnding(const Stream& s);
    void JudgeEnding();
    QString RandomText(bool time);
    void SetBox(QLineEdit* box, bool time);

    Args args;
    std::mt19937_64 rng;
    int proxyPort = 0;
    int floodProxyPort = 0;
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
    long long kinds[3] = {0, 0, 0};
    std::vector<char> pattern;
    int errorEntriesSeen = 0;
    std::vector<std::unique_ptr<Stream>> live;
    std::map<int, long long> discardedByPort;   // remote client port -> bytes a rule discarded
    long long whole = 0, cut = 0, gapsExplained = 0, losses = 0, bytesChecked = 0, actions = 0;
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
    auto s = std::make_unique<Stream>(pattern);
    s->id = ++nextId;
    const int pick = int(rng() % 8);
    s->kind = pick < 4 ? Stream::Echo : pick < 6 ? Stream::Leaves : Stream::Blocked;
    s->halfClose = rng() % 2;
    ++kinds[s->kind];
    s->Start(s->kind == Stream::Blocked ? floodProxyPort : proxyPort, args.seed ^ uint64_t(s->id));
    live.push_back(std::move(s));
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
            static const char* kindNames[] = {"echo", "client leaves", "server leaves"};
            std::printf("OUTLIVES seed=%llu stream=%d (%s) port=%d: %s still open %.0f s after its stream ended, "
                        "unchanged for %.0f s: %s\n",
                        (unsigned long long)args.seed, e.id, kindNames[e.kind], e.port, qPrintable(e.key),
                        Seconds(e.since, now), Seconds(e.changed, now), seen);
            std::fflush(stdout);
            ending.erase(ending.begin() + std::ptrdiff_t(k));
            continue;
        }
        ++k;
    }
}

void Soak::Poll()
{
    const bool over = Clock::now() >= end;
    for (size_t k = 0; k < live.size();) {
        Stream& s = *live[k];
        const bool done = s.ended || s.IdleSeconds() > args.stallSeconds || over;
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
        bytesChecked += (long long)s.got.size();
        const long long discarded = discardedByPort.count(s.localPort) ? discardedByPort[s.localPort] : 0;
        switch (v.kind) {
        case Verdict::Whole: ++whole; break;
        case Verdict::Short: ++(s.kind == Stream::Blocked ? whole : cut); break;
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
            }
            break;
        case Verdict::Corrupt:
            ++losses;
            std::printf("CORRUPT seed=%llu stream=%d port=%d: a wrong byte at offset %lld after %zu gap(s), %zu of %zu "
                        "bytes received (rules discarded %lld on its pair)\n",
                        (unsigned long long)args.seed, s.id, s.localPort, v.corruptAt, v.gaps.size(), s.got.size(),
                        s.data.size(), discarded);
            break;
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
        // still hold goes; a minute later the soak ends regardless.
        if (!rulesOff) {
            rulesOff = true;
            frmProblemSimulation* sim = frmProblemSimulation::Instance();
            for (QCheckBox* rule : {sim->chkThrottleS2CData, sim->chkThrottleC2SData, sim->chkDangleConnections,
                                    sim->chkTerminateConnections, sim->chkRefuseConnections})
                rule->setChecked(false);
        }
        if ((live.empty() && ending.empty()) || Clock::now() > end + std::chrono::seconds(60)) QCoreApplication::quit();
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
    const int floodPort = ServeFlood(std::make_shared<const std::vector<char>>(pattern), args.seed);
    proxyPort = FreePort();
    floodProxyPort = FreePort();
    tsy::Settings::SaveSetting(QStringLiteral("FirstRun"), QStringLiteral("FirstRun"), QStringLiteral("False"));
    for (const auto& [from, to] : {std::pair{proxyPort, echoPort}, std::pair{floodProxyPort, floodPort}}) {
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

    std::printf("soak: seed %llu, %d s, %d streams of %d MiB, an action every %d ms, proxy ports %d (echo server %d) "
                "and %d (flooding server %d)\n",
                (unsigned long long)args.seed, args.seconds, args.streams, args.mib, args.tickMs, proxyPort, echoPort,
                floodProxyPort, floodPort);
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
        std::printf("  %.0f s: %lld streams whole, %lld cut short, %lld gaps a rule discarded, %lld lost; %.0f MiB checked, "
                    "%lld actions; %lld connections gone after their stream, %lld outlived it\n",
                    Seconds(start, Clock::now()), whole, cut, gapsExplained, losses, double(bytesChecked) / (1 << 20),
                    actions, gone, outlived);
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
    }
    std::printf("soak done: seed %llu, %.0f s, %lld streams (%lld echo, %lld whose client leaves, %lld whose server "
                "leaves): %lld whole, %lld cut short, %lld gaps a rule discarded, %lld lost or corrupt; %.0f MiB "
                "checked; %lld actions (%lld message boxes); %d byte-count breaches; %lld connections gone after "
                "their stream, %lld outlived it\n",
                (unsigned long long)args.seed, Seconds(start, Clock::now()), kinds[0] + kinds[1] + kinds[2], kinds[0],
                kinds[1], kinds[2], whole, cut, gapsExplained, losses, double(bytesChecked) / (1 << 20), actions,
                modal->shown, breachesSeen, gone, outlived);
    std::printf("  actions:");
    for (const auto& [name, count] : actionCounts) std::printf(" %s %lld;", name.c_str(), count);
    std::printf("\n");
    ProtocolRelay::gDiscardObserver = nullptr;
    std::fflush(stdout);
    if (General::gobjListening) General::gobjListening->DeInitaliseListeningSockets();
    return losses > 0 || breachesSeen > 0 || outlived > 0 ? 1 : 0;
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
