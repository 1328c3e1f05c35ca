// The real-time pane's cost: two TessalyApp processes side by side, one with
// the pane switched off and one with it on (all connections, all four
// directions and buffered data, Hex, 16 bytes per row, colours, 50 KB), in
// alternating rounds. Each round pushes a bulk transfer through one of them
// while a second connection through the same program plays a 1-byte
// ping-pong every 10 ms; it prints MB/s (median of the rounds) and the
// ping's p50/p99/max over all rounds.
//
//   relay_pane_bench [--mib N] [--rounds N] [--app PATH]
#include "bench/common/Loopback.h"

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

using namespace tsybench;

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

// One bulk transfer through the side while its echo port is pinged every 10 ms.
void Round(Side& s, std::atomic<long long>& sunk, long long bytes)
{
    std::atomic<bool> done{false};
    std::vector<double> pings;
    std::thread pinger([&] {
        const int fd = Dial(s.echoPort);
        if (fd < 0) return;
        timeval tv{10, 0};   // a stalled program ends the pings, not the benchmark
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
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
    const long long start = sunk.load();
    const auto t0 = Clock::now();
    const int fd = Dial(s.bulkPort);
    if (fd >= 0) SendPattern(fd, bytes);
    while (sunk.load() - start < bytes && Clock::now() - t0 < std::chrono::seconds(300))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    done = true;
    pinger.join();
    if (fd >= 0) ::close(fd);
    s.mbps.push_back(double(sunk.load() - start) / 1e6 / seconds);
    s.pingsMs.insert(s.pingsMs.end(), pings.begin(), pings.end());
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
    const int sinkPort = Serve({false, &sunk});
    const int echoPort = Serve({true});

    Side sides[2] = {{"pane off", false}, {"pane on", true}};
    bool ok = true;
    for (Side& s : sides) {
        s.bulkPort = FreePort();
        s.echoPort = FreePort();
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
        if (!WaitForEcho(s.echoPort, 30000)) {
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
            std::printf("%-10s %10.1f %8.2fms %8.2fms %8.2fms %8zu\n", s.name, UpperMedian(s.mbps), Percentile(s.pingsMs, 0.5),
                        Percentile(s.pingsMs, 0.99), Percentile(s.pingsMs, 1.0), s.pingsMs.size());
        const double ratio = UpperMedian(sides[1].mbps) / UpperMedian(sides[0].mbps);
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
