// Pushes data through four paths to the same local servers and compares
// them: directly, through socat, through haproxy in tcp mode, and through a
// Pass Through port of the real TessalyApp (offscreen, with every event
// recorded). Rounds are interleaved across the paths; medians are printed.
//
//   relay_bench [--mib N] [--pings N] [--conns N] [--rounds N]
//               [--paths direct,socat,haproxy,tsy] [--app PATH] [--base PATH]
//               [--load N [--load-mib M]]
//   relay_bench --log [--rounds N] [--mib N] [--conns N] [--app PATH]
//   relay_bench --throttle [--app PATH]
//
// Prints MB/s for a one-way bulk transfer, the round-trip time of a 1-byte
// ping-pong, connections per second (connect, 1 byte each way, close) and
// TessalyApp's peak resident memory. --load adds N concurrent clients each
// echoing M MiB (default 1) through each path: failures, time, and
// TessalyApp's memory before, at its peak and once the connections are dead
// and purged. --log compares the program with its real-time log off and on.
// --throttle measures, for several slice sizes and periods (fixed and
// random), the rate a throttled connection actually runs at, both ways
// through a Pass Through and an HTTP port. --base adds a second TessalyApp
// (another build, with a settings store of its own), interleaved with the
// first, so a change and its base are measured in one run.
#include "bench/common/Loopback.h"
#include "platform/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tsybench;

// Counts what each connection sends it.
struct Sink {
    int port = 0;
    std::atomic<long long> received{0};
    std::mutex m;
    std::condition_variable cv;
    void Start() { port = Serve({false, &received, &cv, 1 << 20, &m}); }
};

// Echoes every byte back.
struct Echo {
    int port = 0;
    void Start() { port = Serve({true, nullptr, nullptr, 65536}); }
};

struct Path {
    std::string name;
    std::string key;    // as named in --paths
    int bulkPort = 0;   // leads to the sink
    int echoPort = 0;   // leads to the echo server
    std::vector<double> mbps, rttUs, rttP99Us, cps;
};

// N clients at once, each sending `bytes` in random chunk sizes to the echo
// server through `port` while reading the echo back. Returns how many
// failed (refused, reset, or data not echoed intact).
int ConcurrentEcho(int port, int clients, long long bytes, double& seconds)
{
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    const auto t0 = Clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            const int fd = Dial(port);
            if (fd < 0) {
                ++failed;
                return;
            }
            std::mt19937 rng(unsigned(c) * 7919u + 1u);
            std::vector<char> out(static_cast<size_t>(bytes));
            for (auto& b : out) b = char(rng());
            std::thread reader([&, fd] {
                std::vector<char> in(static_cast<size_t>(bytes));
                size_t got = 0;
                while (got < in.size()) {
                    const ssize_t n = ::recv(fd, in.data() + got, in.size() - got, 0);
                    if (n <= 0) break;
                    got += size_t(n);
                }
                if (got != in.size() || in != out) ++failed;
            });
            size_t sent = 0;
            while (sent < out.size()) {
                const size_t n = std::min(out.size() - sent, size_t(1 + rng() % 65536));
                if (!SendAll(fd, out.data() + sent, n)) break;
                sent += n;
            }
            reader.join();
            ::close(fd);
        });
    for (auto& t : threads) t.join();
    seconds = Seconds(t0, Clock::now());
    return failed.load();
}

double Throughput(Sink& sink, int port, long long bytes)
{
    const long long start = sink.received.load();
    const auto t0 = Clock::now();
    const int fd = Dial(port);
    if (fd < 0) return 0;
    SendPattern(fd, bytes);
    {
        std::unique_lock<std::mutex> lock(sink.m);
        sink.cv.wait_for(lock, std::chrono::seconds(300),
                         [&] { return sink.received.load() - start >= bytes; });
    }
    const auto t1 = Clock::now();
    ::close(fd);
    return double(sink.received.load() - start) / 1e6 / Seconds(t0, t1);
}

void PingPong(int port, int rounds, double& meanUs, double& p99Us)
{
    const int fd = Dial(port);
    if (fd < 0) return;
    std::vector<double> rtts;
    rtts.reserve(size_t(rounds));
    char b = 'x';
    for (int i = 0; i < rounds + 50; ++i) {
        const auto t0 = Clock::now();
        if (!SendAll(fd, &b, 1) || ::recv(fd, &b, 1, MSG_WAITALL) != 1) break;
        if (i >= 50) rtts.push_back(Seconds(t0, Clock::now()) * 1e6);   // after a warm-up
    }
    ::close(fd);
    if (rtts.empty()) return;
    double sum = 0;
    for (double r : rtts) sum += r;
    meanUs = sum / double(rtts.size());
    std::sort(rtts.begin(), rtts.end());
    p99Us = rtts[size_t(double(rtts.size() - 1) * 0.99)];
}

double ConnectionsPerSecond(int port, int count)
{
    const auto t0 = Clock::now();
    int done = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = Dial(port);
        if (fd < 0) continue;
        char b = 'c';
        if (SendAll(fd, &b, 1) && ::recv(fd, &b, 1, MSG_WAITALL) == 1) ++done;
        ::close(fd);
    }
    return double(done) / Seconds(t0, Clock::now());
}

// ---- --log: the program with the real-time log off and on ---------------------

// The program's settings for a bench: no first-run table and no
// configuration window at start-up; Pass Through ports to its servers.
void SaveBenchStart()
{
    tsy::Settings::SaveSetting("FirstRun", "FirstRun", "False");
    tsy::Settings::SaveSetting("Options", "ShowConfigAtStartUp", "0");
}

void SavePassThrough(int port, int target, const char* what = "Bench")
{
    using tsy::Settings::SaveSetting;
    const QString p = QString::number(port);
    SaveSetting("Protocols", p, "Pass Through");
    SaveSetting("PortsInUse", p, what);
    SaveSetting("Protocols\\Pass Through\\Port " + p, "Server", "127.0.0.1");
    SaveSetting("Protocols\\Pass Through\\Port " + p, "Port", QString::number(target));
}

// A program for a round, ended by closing its standard input; false when
// its echo port never answered.
bool StartForRounds(QProcess& tessaly, const QString& app, int echoPort)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TSY_AUTO_ANSWER", "1");
    env.insert("TSY_QUIT_ON_EOF", "1");
    tessaly.setProcessEnvironment(env);
    tessaly.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tessaly.start(app, {});
    if (WaitForEcho(echoPort, 30000)) return true;
    std::fprintf(stderr, "the program never answered\n");
    return false;
}

// Rounds alternate logging off and on (one program at a time: it runs as a
// single instance); each round starts a fresh program, measures throughput
// and connections per second, reads its peak RSS and ends it.
int LogMode(const QString& app, const QString& home, Sink& sink, Echo& echo, long long mib, int conns, int rounds)
{
    using tsy::Settings::SaveSetting;
    SaveBenchStart();
    const int bulkPort = FreePort(), echoPort = FreePort();
    SavePassThrough(bulkPort, sink.port);
    SavePassThrough(echoPort, echo.port);
    const QString logFile = QDir(home).filePath("data/bench-log.csv");
    SaveSetting("RealTimeLogging", "LogFile", logFile);

    std::vector<double> mbps[2], cps[2], rss[2];
    qint64 logBytes = 0;
    std::printf("relay_bench --log: %lld MiB one way, %d connections, %d rounds each, log %s\n", mib, conns, rounds,
                qPrintable(logFile));
    for (int round = 0; round < rounds * 2; ++round) {
        const int on = round % 2;
        QFile::remove(logFile);
        SaveSetting("RealTimeLogging", "LoggingOn", on ? "1" : "0");
        tsy::Settings::Sync();
        QProcess tessaly;
        if (!StartForRounds(tessaly, app, echoPort)) return 1;
        mbps[on].push_back(Throughput(sink, bulkPort, mib * 1024 * 1024));
        cps[on].push_back(ConnectionsPerSecond(echoPort, conns));
        rss[on].push_back(StatusMiB(tessaly.processId(), "VmHWM"));
        tessaly.closeWriteChannel();
        if (!tessaly.waitForFinished(60000)) tessaly.kill();
        tessaly.waitForFinished(3000);
        if (on) logBytes = QFileInfo(logFile).size();
        std::printf("round %d, logging %-3s: %8.1f MB/s %8.1f conn/s %7.1f MB peak RSS\n", round / 2 + 1,
                    on ? "on" : "off", mbps[on].back(), cps[on].back(), rss[on].back());
        std::fflush(stdout);
    }
    QFile::remove(logFile);
    std::printf("\nmedians        %12s %12s %14s\n", "MB/s", "conn/s", "peak RSS MB");
    for (int on = 0; on < 2; ++on)
        std::printf("logging %-3s    %12.1f %12.1f %14.1f\n", on ? "on" : "off", Median(mbps[on]), Median(cps[on]),
                    Median(rss[on]));
    std::printf("on / off: throughput %.2fx (target >= 0.40), conn/s %.2fx (target >= 0.50), "
                "peak RSS %+.1f MB (target <= +32); last log %lld bytes\n",
                Median(mbps[1]) / Median(mbps[0]), Median(cps[1]) / Median(cps[0]), Median(rss[1]) - Median(rss[0]),
                (long long)logBytes);
    return 0;
}

// ---- --throttle: the rate a throttle is set to against the rate measured ------

// What one connection delivered: every read's moment and the bytes by then.
struct Arrivals {
    std::vector<std::pair<double, long long>> samples;   // seconds, bytes so far
    long long Bytes() const { return samples.empty() ? 0 : samples.back().second; }
};

Arrivals ReadToEnd(int fd)
{
    Arrivals a;
    std::vector<char> buf(1 << 20);
    const auto t0 = Clock::now();
    long long total = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        total += n;
        a.samples.emplace_back(Seconds(t0, Clock::now()), total);
    }
    return a;
}

// The slope of bytes over time by least squares, in bytes per second. A
// throttled stream is a staircase (a slice each period) or, with slices
// larger than what each send holds, a ramp; the slope of either is its rate,
// with no edge effect from the first or the last slice.
double Slope(const Arrivals& a)
{
    const size_t n = a.samples.size();
    if (n < 2) return 0;
    double mt = 0, mb = 0;
    for (const auto& [t, b] : a.samples) {
        mt += t;
        mb += double(b);
    }
    mt /= double(n);
    mb /= double(n);
    double num = 0, den = 0;
    for (const auto& [t, b] : a.samples) {
        num += (t - mt) * (double(b) - mb);
        den += (t - mt) * (t - mt);
    }
    // Everything in one instant: as fast as the reads went.
    if (den <= 0) return double(a.Bytes()) / std::max(a.samples.back().first, 1e-6);
    return num / den;
}

// One listener on its own threads, a thread per connection running `serve`.
int ServeEach(std::function<void(int)> serve)
{
    int port = 0;
    const int listener = Listen(port);
    std::thread([listener, serve] {
        for (;;) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd >= 0) std::thread(serve, fd).detach();
        }
    }).detach();
    return port;
}

// Delivered results, one connection at a time.
struct Mailbox {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Arrivals> got;
    void Put(Arrivals a)
    {
        std::lock_guard<std::mutex> lock(m);
        got.push_back(std::move(a));
        cv.notify_all();
    }
    bool Take(Arrivals& a, int seconds)
    {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return !got.empty(); })) return false;
        a = std::move(got.front());
        got.erase(got.begin());
        return true;
    }
};

struct ThrottleCase {
    int bytes, period;          // fixed; for random the lower ends
    int bytesTo, periodTo;      // random: the upper ends; 0 for fixed
    int slices;                 // at least ten
    double AskedBytesPerSecond() const
    {
        const double b = bytesTo ? (bytes + bytesTo) / 2.0 : bytes;
        const double p = periodTo ? (period + periodTo) / 2.0 : period;
        return b * 1000.0 / p;
    }
    long long Total() const { return (long long)(bytesTo ? (bytes + bytesTo) / 2 : bytes) * slices; }
};

// Each setting gets a fresh program (the throttle boxes are read at start)
// with both directions throttled alike and a Pass Through and an HTTP port;
// for each port and direction one connection carries `slices` slices'
// worth. Prints the rate asked, the rate measured and their ratio.
int ThrottleMode(const QString& app)
{
    using tsy::Settings::SaveSetting;
    static Mailbox sinkBox;
    static std::atomic<long long> sourceBytes{0};
    // The sink reads each connection to its end; the source answers a
    // request (anything up to a blank line) with sourceBytes, then closes.
    const int sinkPort = ServeEach([](int fd) {
        Arrivals a = ReadToEnd(fd);
        ::close(fd);
        sinkBox.Put(std::move(a));
    });
    const int sourcePort = ServeEach([](int fd) {
        std::string head;
        char c = 0;
        while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
        SendPattern(fd, sourceBytes.load());
        ::close(fd);
    });
    Echo echo;
    echo.Start();

    SaveBenchStart();
    const int echoPort = FreePort(), ptC2S = FreePort(), ptS2C = FreePort(), httpPort = FreePort();
    SavePassThrough(echoPort, echo.port);
    SavePassThrough(ptC2S, sinkPort);
    SavePassThrough(ptS2C, sourcePort);
    SaveSetting("Protocols", QString::number(httpPort), "HTTP");
    SaveSetting("PortsInUse", QString::number(httpPort), "Bench HTTP");

    const std::vector<ThrottleCase> cases = {
        {200, 100, 0, 0, 20},           {1, 10, 0, 0, 30},         {20000, 10, 0, 0, 50},
        {65536, 20, 0, 0, 30},          {200000, 100, 0, 0, 20},   {1000000, 100, 0, 0, 20},
        // Random slices: enough of them that the mean of the draws is within
        // a few per cent of the mean asked.
        {16777216, 500, 0, 0, 12},      {100, 10, 300, 30, 400},   {100000, 10, 300000, 30, 400},
    };
    std::printf("relay_bench --throttle: rate asked against rate measured (slope of bytes over time at the "
                "receiver), %s\n", qPrintable(app));
    std::printf("%-28s %-12s %-4s %9s %12s %12s %7s\n", "setting", "port", "dir", "bytes", "asked B/s",
                "measured B/s", "ratio");
    int failures = 0;
    for (const ThrottleCase& c : cases) {
        const bool random = c.bytesTo > 0;
        for (const char* dir : {"C2S", "S2C"}) {
            SaveSetting("FailureSim", QString("chkThrottle%1Data").arg(dir), "1");
            SaveSetting("FailureSim", QString("opt%1Throttle_0").arg(dir), random ? "False" : "True");
            SaveSetting("FailureSim", QString("opt%1Throttle_1").arg(dir), random ? "True" : "False");
            SaveSetting("FailureSim", QString("txt%1Bytes").arg(dir), QString::number(c.bytes));
            SaveSetting("FailureSim", QString("txt%1Period").arg(dir), QString::number(c.period));
            SaveSetting("FailureSim", QString("txt%1BytesFrom").arg(dir), QString::number(c.bytes));
            SaveSetting("FailureSim", QString("txt%1BytesTo").arg(dir), QString::number(random ? c.bytesTo : c.bytes));
            SaveSetting("FailureSim", QString("txt%1PeriodFrom").arg(dir), QString::number(c.period));
            SaveSetting("FailureSim", QString("txt%1PeriodTo").arg(dir), QString::number(random ? c.periodTo : c.period));
        }
        tsy::Settings::Sync();
        QProcess tessaly;
        if (!StartForRounds(tessaly, app, echoPort)) return 1;
        const QString setting = random ? QString("%1-%2 B / %3-%4 ms").arg(c.bytes).arg(c.bytesTo).arg(c.period).arg(c.periodTo)
                                       : QString("%1 B / %2 ms").arg(c.bytes).arg(c.period);
        const long long total = c.Total();
        // Generous: a throttle that holds still gets ten times its time.
        const int patience = int(std::max(30.0, 10.0 * double(total) / c.AskedBytesPerSecond()));
        for (const bool http : {false, true})
            for (const bool c2s : {true, false}) {
                Arrivals a;
                bool ok = false;
                const int fd = Dial(http ? httpPort : (c2s ? ptC2S : ptS2C));
                if (fd >= 0) {
                    const std::string target = "127.0.0.1:" + std::to_string(c2s ? sinkPort : sourcePort);
                    const std::string head = (c2s ? "POST http://" : "GET http://") + target + "/ HTTP/1.0\r\nHost: "
                                             + target + "\r\n\r\n";
                    if (c2s) {
                        // Only what follows the request line counts.
                        if ((!http || SendAll(fd, head.data(), head.size())) && SendPattern(fd, total)) {
                            ::close(fd);
                            ok = sinkBox.Take(a, patience);
                        } else {
                            ::close(fd);
                        }
                    } else {
                        sourceBytes = total;
                        timeval tv{patience, 0};
                        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                        ok = SendAll(fd, head.data(), head.size());
                        if (ok) a = ReadToEnd(fd);
                        ::close(fd);
                    }
                }
                const double asked = c.AskedBytesPerSecond(), measured = Slope(a);
                const bool whole = ok && a.Bytes() >= total;
                if (!whole) ++failures;
                std::printf("%-28s %-12s %-4s %9lld %12.0f %12.0f %7.3f%s\n", qPrintable(setting),
                            http ? "HTTP" : "Pass Through", c2s ? "C2S" : "S2C", a.Bytes(), asked, measured,
                            measured / asked, whole ? "" : "  (incomplete)");
                std::fflush(stdout);
            }
        tessaly.closeWriteChannel();
        if (!tessaly.waitForFinished(30000)) tessaly.kill();
        tessaly.waitForFinished(3000);
    }
    return failures ? 1 : 0;
}

struct Options {
    long long mib = 256;
    int pings = 5000;
    int conns = 1000;
    int rounds = 3;
    int load = 0;
    long long loadMib = 1;
    bool logMode = false;
    bool throttleMode = false;
    QString app;
    QString base;
    std::string paths = "direct,socat,haproxy,tsy";
};

// One entry per option: a further mode adds its own line here. Switches
// (no value) are listed apart.
bool ParseOptions(int argc, char** argv, Options& o)
{
    const std::map<std::string, std::function<void()>> switches = {
        {"--log", [&] { o.logMode = true; }},
        {"--throttle", [&] { o.throttleMode = true; }},
    };
    const std::map<std::string, std::function<void(const char*)>> table = {
        {"--mib", [&](const char* v) { o.mib = std::atoll(v); }},
        {"--pings", [&](const char* v) { o.pings = std::atoi(v); }},
        {"--conns", [&](const char* v) { o.conns = std::atoi(v); }},
        {"--rounds", [&](const char* v) { o.rounds = std::max(0, std::atoi(v)); }},
        {"--paths", [&](const char* v) { o.paths = v; }},
        {"--app", [&](const char* v) { o.app = QString::fromLocal8Bit(v); }},
        {"--base", [&](const char* v) { o.base = QString::fromLocal8Bit(v); }},
        {"--load", [&](const char* v) { o.load = std::atoi(v); }},
        {"--load-mib", [&](const char* v) { o.loadMib = std::atoll(v); }},
    };
    for (int i = 1; i < argc; i += 2) {
        if (const auto sw = switches.find(argv[i]); sw != switches.end()) {
            sw->second();
            --i;
            continue;
        }
        const auto it = table.find(argv[i]);
        if (it == table.end() || i + 1 >= argc) {
            std::fprintf(stderr, "unknown option or missing value: %s\n", argv[i]);
            return false;
        }
        it->second(argv[i + 1]);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o)) return 2;

    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QDir(home.path()).filePath("config").toUtf8());
    qputenv("XDG_DATA_HOME", QDir(home.path()).filePath("data").toUtf8());
    QDir().mkpath(QDir(home.path()).filePath("config"));
    QDir().mkpath(QDir(home.path()).filePath("data"));
    QCoreApplication qapp(argc, argv);
    QString app = o.app;
    if (app.isEmpty()) app = QDir(QCoreApplication::applicationDirPath()).filePath("TessalyApp");
    if (!QFileInfo::exists(app)) {
        std::fprintf(stderr, "TessalyApp not found at %s\n", qPrintable(app));
        return 1;
    }

    if (o.throttleMode) {
        const int rc = ThrottleMode(app);
        std::fflush(stdout);
        std::_Exit(rc);
    }
    Sink sink;
    sink.Start();
    Echo echo;
    echo.Start();
    if (o.logMode) {
        const int rc = LogMode(app, home.path(), sink, echo, o.mib, o.conns, o.rounds);
        std::fflush(stdout);
        std::_Exit(rc);
    }

    Path direct{"direct", "direct", sink.port, echo.port, {}, {}, {}, {}};
    Path socat{"socat", "socat", FreePort(), FreePort(), {}, {}, {}, {}};
    Path haproxy{"haproxy", "haproxy", FreePort(), FreePort(), {}, {}, {}, {}};
    Path tsy{"TessalyApp", "tsy", FreePort(), FreePort(), {}, {}, {}, {}};
    Path base{"base", "tsy", FreePort(), FreePort(), {}, {}, {}, {}};
    std::vector<Path*> all{&direct, &socat, &haproxy, &tsy};
    if (!o.base.isEmpty()) all.push_back(&base);
    std::vector<Path*> chosen;
    for (Path* p : all)
        if (o.paths.find(p->key) != std::string::npos) chosen.push_back(p);

    // The program's settings: two Pass Through ports, nothing else.
    SaveBenchStart();
    SavePassThrough(tsy.bulkPort, sink.port, "Bench bulk");
    SavePassThrough(tsy.echoPort, echo.port, "Bench echo");
    tsy::Settings::Sync();

    QProcess tessaly;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TSY_AUTO_ANSWER", "1");
    tessaly.setProcessEnvironment(env);
    tessaly.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tessaly.start(app, {});

    // The base build: the same settings under its own ports and store (one
    // instance runs per store).
    QProcess baseProcess;
    if (!o.base.isEmpty()) {
        const QString ours = QDir(home.path()).filePath("config/Tessaly/Tessaly.ini");
        const QString theirs = QDir(home.path()).filePath("base-config/Tessaly/Tessaly.ini");
        QDir().mkpath(QFileInfo(theirs).path());
        QFile in(ours), out(theirs);
        if (in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly))
            out.write(QString::fromUtf8(in.readAll())
                          .replace(QString::number(tsy.bulkPort), QString::number(base.bulkPort))
                          .replace(QString::number(tsy.echoPort), QString::number(base.echoPort))
                          .toUtf8());
        out.close();
        QProcessEnvironment baseEnv = env;
        baseEnv.insert("XDG_CONFIG_HOME", QDir(home.path()).filePath("base-config"));
        baseEnv.insert("XDG_DATA_HOME", QDir(home.path()).filePath("base-data"));
        baseProcess.setProcessEnvironment(baseEnv);
        baseProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        baseProcess.start(o.base, {});
    }

    QProcess socat1, socat2;
    socat1.start("socat", {QString("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork,backlog=4096").arg(socat.bulkPort),
                           QString("TCP:127.0.0.1:%1").arg(sink.port)});
    socat2.start("socat", {QString("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork,nodelay,backlog=4096").arg(socat.echoPort),
                           QString("TCP:127.0.0.1:%1,nodelay").arg(echo.port)});

    // haproxy in tcp mode, in the foreground, from a file of our own.
    const QString haproxyConfig = QDir(home.path()).filePath("haproxy.cfg");
    {
        QFile f(haproxyConfig);
        if (f.open(QIODevice::WriteOnly))
            f.write(QString("global\n  maxconn 4000\ndefaults\n  mode tcp\n  timeout connect 5s\n"
                            "  timeout client 120s\n  timeout server 120s\n"
                            "listen bulk\n  bind 127.0.0.1:%1\n  server sink 127.0.0.1:%2\n"
                            "listen echo\n  bind 127.0.0.1:%3\n  server echo 127.0.0.1:%4\n")
                        .arg(haproxy.bulkPort).arg(sink.port).arg(haproxy.echoPort).arg(echo.port).toUtf8());
    }
    QProcess haproxyProcess;
    haproxyProcess.setProcessChannelMode(QProcess::ForwardedChannels);
    haproxyProcess.start("haproxy", {"-db", "-f", haproxyConfig});

    bool ok = true;
    for (Path* p : chosen)
        if (p != &direct && !WaitForEcho(p->echoPort, 30000)) {
            std::fprintf(stderr, "%s: port %d never answered\n", p->name.c_str(), p->echoPort);
            ok = false;
        }
    // Those probes were connections too; let the program settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const qint64 pid = tessaly.processId();
    const double idleMB = StatusMiB(pid, "VmRSS");

    if (ok && o.rounds > 0 && o.mib > 0) {
        const long long bytes = o.mib * 1024 * 1024;
        std::printf("relay_bench: %lld MiB one way, %d ping-pongs, %d connections per path, %d rounds interleaved, medians\n",
                    o.mib, o.pings, o.conns, o.rounds);
        for (int r = 0; r < o.rounds; ++r)
            for (Path* p : chosen) {
                p->mbps.push_back(Throughput(sink, p->bulkPort, bytes));
                double mean = 0, p99 = 0;
                PingPong(p->echoPort, o.pings, mean, p99);
                p->rttUs.push_back(mean);
                p->rttP99Us.push_back(p99);
                p->cps.push_back(ConnectionsPerSecond(p->echoPort, o.conns));
            }
        const auto measured = [&](const Path* p) { return std::find(chosen.begin(), chosen.end(), p) != chosen.end(); };
        std::printf("%-12s %12s %14s %14s %12s\n", "path", "MB/s", "RTT mean us", "RTT p99 us", "conn/s");
        for (Path* p : chosen)
            std::printf("%-12s %12.1f %14.1f %14.1f %12.1f\n", p->name.c_str(), Median(p->mbps), Median(p->rttUs),
                        Median(p->rttP99Us), Median(p->cps));
        std::printf("TessalyApp memory: idle %.1f MB, peak %.1f MB\n", idleMB, StatusMiB(pid, "VmHWM"));
        if (measured(&base))
            std::printf("TessalyApp / base: throughput %.2fx, RTT %.2fx, conn/s %.2fx; base memory peak %.1f MB\n",
                        Median(tsy.mbps) / Median(base.mbps), Median(tsy.rttUs) / Median(base.rttUs),
                        Median(tsy.cps) / Median(base.cps), StatusMiB(baseProcess.processId(), "VmHWM"));
        const auto best = [&](auto field, bool lowest) {
            double b = lowest ? 1e300 : 0;
            for (Path* p : {&socat, &haproxy})
                if (std::find(chosen.begin(), chosen.end(), p) != chosen.end()) {
                    const double v = Median(p->*field);
                    b = lowest ? std::min(b, v) : std::max(b, v);
                }
            return b;
        };
        if (measured(&tsy) && (measured(&socat) || measured(&haproxy))) {
            std::printf("\nTessalyApp / better peer: throughput %.2fx, RTT %.2fx, conn/s %.2fx\n",
                        Median(tsy.mbps) / best(&Path::mbps, false), Median(tsy.rttUs) / best(&Path::rttUs, true),
                        Median(tsy.cps) / best(&Path::cps, false));
        }
        if (measured(&tsy) && measured(&direct))
            std::printf("TessalyApp / direct: throughput %.2fx\n", Median(tsy.mbps) / Median(direct.mbps));
    }

    if (ok && o.load > 0) {
        std::printf("\nload: %d clients at once, %lld MiB each echoed\n", o.load, o.loadMib);
        std::printf("%-12s %10s %10s\n", "path", "failed", "seconds");
        for (Path* p : chosen) {
            double secs = 0;
            const int failed = ConcurrentEcho(p->echoPort, o.load, o.loadMib * 1024 * 1024, secs);
            std::printf("%-12s %10d %10.2f\n", p->name.c_str(), failed, secs);
        }
        if (std::find(chosen.begin(), chosen.end(), &tsy) != chosen.end()) {
            const double peak = StatusMiB(pid, "VmHWM");
            // Dead connections go with the purge, which runs as events are
            // logged: a few short connections drive it.
            for (int i = 0; i < 60; ++i) {
                ConnectionsPerSecond(tsy.echoPort, 10);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            std::printf("TessalyApp memory: idle %.1f MB, peak %.1f MB, after the purge %.1f MB\n", idleMB, peak,
                        StatusMiB(pid, "VmRSS"));
        }
    }

    for (QProcess* p : {&tessaly, &baseProcess, &socat1, &socat2, &haproxyProcess}) {
        p->terminate();
        if (!p->waitForFinished(3000)) p->kill();
        p->waitForFinished(3000);
    }
    std::fflush(stdout);
    // The server threads block in accept(); leave without joining them.
    std::_Exit(ok ? 0 : 1);
}
