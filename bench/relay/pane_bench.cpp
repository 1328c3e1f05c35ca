// The real-time pane's cost: two TessalyApp processes side by side, one with
// the pane switched off and one with it on (all connections, all four
// directions and buffered data, Hex, 16 bytes per row, colours, 50 KB), in
// alternating rounds. Each round pushes a bulk transfer through one of them
// while a second connection through the same program plays a 1-byte
// ping-pong every 10 ms; it prints MB/s (median of the rounds) and the
// ping's p50/p99/max over all rounds.
//
//   relay_pane_bench [--mib N] [--rounds N] [--app PATH]
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int ListenOnLoopback(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int UnusedPort()
{
    int port = 0;
    ::close(ListenOnLoopback(port));
    return port;
}

int Dial(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

bool SendAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Serves every connection on its own thread: the sink counts, the echo answers.
void Serve(int& port, bool echo, std::atomic<long long>* counted)
{
    const int lfd = ListenOnLoopback(port);
    std::thread([=] {
        for (;;) {
            const int c = ::accept(lfd, nullptr, nullptr);
            if (c < 0) continue;
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::thread([=] {
                std::vector<char> buf(1 << 20);
                for (;;) {
                    const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
                    if (n <= 0) break;
                    if (counted) *counted += n;
                    if (echo && !SendAll(c, buf.data(), size_t(n))) break;
                }
                ::close(c);
            }).detach();
        }
    }).detach();
}

struct Side {
    Side(const char* n, bool p) : name(n), pane(p) {}
    const char* name;
    bool pane;
    int bulkPort = 0, echoPort = 0;
    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<QProcess> app;
    std::vector<double> mbps, pingsMs;
};

void WriteSettings(Side& s, int sinkPort, int echoPort)
{
    QDir(s.home->path()).mkpath("config/Tessaly");
    QDir(s.home->path()).mkpath("data");
    QSettings ini(s.home->path() + "/config/Tessaly/Tessaly.ini", QSettings::IniFormat);
    ini.setValue("FirstRun/FirstRun", "False");
    ini.setValue("Options/ShowConfigAtStartUp", "0");
    for (auto [port, target] : {std::pair{s.bulkPort, sinkPort}, std::pair{s.echoPort, echoPort}}) {
        const QString p = QString::number(port);
        ini.setValue("Protocols/" + p, "Pass Through");
        ini.setValue("PortsInUse/" + p, "Bench");
        ini.setValue("Protocols/Pass Through/Port " + p + "/Server", "127.0.0.1");
        ini.setValue("Protocols/Pass Through/Port " + p + "/Port", QString::number(target));
    }
    ini.setValue("RealTime/ShowRealTimeData", s.pane ? "1" : "0");
    for (const char* key : {"ClientToTSY", "TSYToClient", "ServerToTSY", "TSYToServer", "IncludeBufferedData",
                            "IncludeDateTimeStamp", "IncludeDataDirection", "IncludeDescription", "ColourCode"})
        ini.setValue(QString("RealTime/") + key, "1");
    ini.setValue("RealTime/DisplayAs", "1");
    ini.setValue("RealTime/BytesPerRow", "16");
    ini.setValue("Options/RealTimeDataSize", "50");
    ini.setValue("Options/RealTimeDataSelection", "True");
}

bool Answers(int port, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        const int fd = Dial(port);
        char b = 'r';
        const bool ok = fd >= 0 && SendAll(fd, &b, 1) && ::recv(fd, &b, 1, MSG_WAITALL) == 1;
        if (fd >= 0) ::close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// One bulk transfer through the side while its echo port is pinged every 10 ms.
void Round(Side& s, std::atomic<long long>& sunk, long long bytes)
{
    std::atomic<bool> done{false};
    std::vector<double> pings;
    std::thread pinger([&] {
        const int fd = Dial(s.echoPort);
        if (fd < 0) return;
        char b = 'p';
        auto next = Clock::now();
        while (!done) {
            const auto t0 = Clock::now();
            if (!SendAll(fd, &b, 1) || ::recv(fd, &b, 1, MSG_WAITALL) != 1) break;
            pings.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(std::max(next, Clock::now()));
        }
        ::close(fd);
    });
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = char(i * 131 + 7);
    const long long start = sunk.load();
    const auto t0 = Clock::now();
    const int fd = Dial(s.bulkPort);
    for (long long left = bytes; fd >= 0 && left > 0;) {
        const size_t n = size_t(std::min<long long>(left, (long long)chunk.size()));
        if (!SendAll(fd, chunk.data(), n)) break;
        left -= (long long)n;
    }
    while (sunk.load() - start < bytes && Clock::now() - t0 < std::chrono::seconds(300))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    done = true;
    pinger.join();
    if (fd >= 0) ::close(fd);
    s.mbps.push_back(double(sunk.load() - start) / 1e6 / seconds);
    s.pingsMs.insert(s.pingsMs.end(), pings.begin(), pings.end());
}

double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(double(v.size() - 1) * q)];
}

} // namespace

int main(int argc, char** argv)
{
    long long mib = 256;
    int rounds = 3;
    QString appPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--mib") mib = std::atoll(argv[i + 1]);
        else if (a == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--app") appPath = QString::fromLocal8Bit(argv[i + 1]);
    }
    QCoreApplication qapp(argc, argv);
    if (appPath.isEmpty()) appPath = QDir(QCoreApplication::applicationDirPath()).filePath("TessalyApp");
    if (!QFileInfo::exists(appPath)) {
        std::fprintf(stderr, "TessalyApp not found at %s\n", qPrintable(appPath));
        return 1;
    }

    std::atomic<long long> sunk{0};
    int sinkPort = 0, echoPort = 0;
    Serve(sinkPort, false, &sunk);
    Serve(echoPort, true, nullptr);

    Side sides[2] = {{"pane off", false}, {"pane on", true}};
    bool ok = true;
    for (Side& s : sides) {
        s.bulkPort = UnusedPort();
        do s.echoPort = UnusedPort(); while (s.echoPort == s.bulkPort);
        s.home = std::make_unique<QTemporaryDir>();
        WriteSettings(s, sinkPort, echoPort);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", s.home->path() + "/config");
        env.insert("XDG_DATA_HOME", s.home->path() + "/data");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TSY_AUTO_ANSWER", "1");
        s.app = std::make_unique<QProcess>();
        s.app->setProcessEnvironment(env);
        s.app->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        s.app->start(appPath, {});
    }
    for (Side& s : sides)
        if (!Answers(s.echoPort, 30000)) {
            std::fprintf(stderr, "%s: port %d never answered\n", s.name, s.echoPort);
            ok = false;
        }

    if (ok) {
        const long long bytes = mib * 1024 * 1024;
        std::printf("relay_pane_bench: %lld MiB per transfer, %d rounds per side, ping every 10 ms\n", mib, rounds);
        // Alternating which side goes first evens out what the machine is doing.
        for (int r = 0; r < rounds; ++r) {
            Round(sides[r % 2], sunk, bytes);
            Round(sides[1 - r % 2], sunk, bytes);
        }
        std::printf("%-10s %10s %10s %10s %10s %8s\n", "side", "MB/s", "ping p50", "ping p99", "ping max", "pings");
        for (Side& s : sides)
            std::printf("%-10s %10.1f %8.2fms %8.2fms %8.2fms %8zu\n", s.name, Median(s.mbps), Percentile(s.pingsMs, 0.5),
                        Percentile(s.pingsMs, 0.99), Percentile(s.pingsMs, 1.0), s.pingsMs.size());
        const double ratio = Median(sides[1].mbps) / Median(sides[0].mbps);
        const double p99 = Percentile(sides[1].pingsMs, 0.99);
        std::printf("\npane on / off throughput %.2f (target >= 0.50): %s\n", ratio, ratio >= 0.5 ? "met" : "NOT met");
        std::printf("ping p99 with the pane on %.2f ms (target <= 100 ms): %s\n", p99, p99 <= 100 ? "met" : "NOT met");
    }
    for (Side& s : sides) {
        s.app->terminate();
        if (!s.app->waitForFinished(3000)) s.app->kill();
        s.app->waitForFinished(3000);
    }
    std::fflush(stdout);
    // The server threads block in accept(); leave without joining them.
    std::_Exit(ok ? 0 : 1);
}
