// Memory of the real TessalyApp (offscreen) under the default purge limits,
// read from /proc/PID/status (VmRSS, VmHWM):
//
//   short   N short Pass Through connections, 100 bytes each way: RSS idle,
//           at N/3 and at N connections, each after the purge has had a
//           second to run.
//   bulk    one one-way transfer of M MiB to a sink, in a fresh program each
//           run: peak RSS. The baseline keeps everything (Discard 0).
//   burst   B connections at once, 1 MiB each echoed back, in a fresh
//           program: RSS idle, peak, and 3 s and 10 s after the last one
//           closed (the purge and the unload timer have run by then).
//
//   memory_bench [--conns 30000] [--runs 5] [--mib 1024] [--baseline-mib 512]
//                [--burst 500] [--only short|bulk|burst] [--app PATH]
//
// Everything here runs on one Qt event loop; the program under test is a
// separate process with its own settings and runtime folders.
#include "bench/common/Loopback.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

struct Memory {
    double rssMiB = 0;
    double hwmMiB = 0;
};

Memory Read(qint64 pid)
{
    Memory m;
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return m;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const auto kib = [&] { return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0; };
        if (line.startsWith("VmRSS:")) m.rssMiB = kib();
        else if (line.startsWith("VmHWM:")) m.hwmMiB = kib();
    }
    return m;
}

// User and system CPU seconds the process has used so far.
double CpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QByteArray stat = f.readAll();
    // Fields after the command name, which is in brackets and may hold blanks.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

using namespace tsybench;

void Pause(int ms)
{
    SpinUntil([] { return false; }, ms);
}

// Echoes back what each connection sends.
struct Echo : QTcpServer {
    Echo()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
};

// Counts and drops what each connection sends.
struct Sink : QTcpServer {
    qint64 received = 0;
    Sink()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] { received += s->readAll().size(); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
};

// The program with its own store: two Pass Through ports, no first-run
// table, no configuration window; the purge options as given.
class Program {
public:
    Program(const QString& app, int echoTarget, int sinkTarget, bool discard) : mApp(app)
    {
        for (const char* d : {"config", "data", "run"}) QDir().mkpath(mHome.filePath(QString::fromLatin1(d)));
        QFile::setPermissions(mHome.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        echoPort = FreePort();
        sinkPort = FreePort();
        // The store's published layout: each "\" of a section is a group's "/".
        QSettings store(mHome.filePath(QStringLiteral("config/Tessaly/Tessaly.ini")), QSettings::IniFormat);
        store.setValue(QStringLiteral("FirstRun/FirstRun"), QStringLiteral("False"));
        store.setValue(QStringLiteral("Options/ShowConfigAtStartUp"), QStringLiteral("0"));
        if (!discard) store.setValue(QStringLiteral("Options/Discard"), QStringLiteral("0"));
        const auto passThrough = [&store](int port, int target, const QString& what) {
            const QString p = QString::number(port);
            store.setValue(QStringLiteral("Protocols/") + p, QStringLiteral("Pass Through"));
            store.setValue(QStringLiteral("PortsInUse/") + p, what);
            store.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Server").arg(p), QStringLiteral("127.0.0.1"));
            store.setValue(QStringLiteral("Protocols/Pass Through/Port %1/Port").arg(p), QString::number(target));
        };
        passThrough(echoPort, echoTarget, QStringLiteral("Bench echo"));
        passThrough(sinkPort, sinkTarget, QStringLiteral("Bench sink"));
        store.sync();
    }

    bool Start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("TSY_AUTO_ANSWER"), QStringLiteral("1"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), mHome.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), mHome.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), mHome.filePath(QStringLiteral("run")));
        mProcess.setProcessEnvironment(env);
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mProcess.start(mApp, {});
        if (!mProcess.waitForStarted(10000)) return false;
        // Ready once a byte comes back through the echo port; the echo server
        // runs on this thread's loop, so the probe never blocks it.
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 30000) {
            QTcpSocket probe;
            QObject::connect(&probe, &QTcpSocket::connected, &probe, [&probe] { probe.write("r"); });
            probe.connectToHost(QHostAddress::LocalHost, quint16(echoPort));
            if (SpinUntil([&probe] { return probe.bytesAvailable() > 0; }, 1000)) return true;
            probe.abort();
            Pause(100);
        }
        return false;
    }

    Memory Now() const { return Read(mProcess.processId()); }
    double Cpu() const { return CpuSeconds(mProcess.processId()); }

    ~Program()
    {
        mProcess.terminate();
        if (!mProcess.waitForFinished(5000)) mProcess.kill();
        mProcess.waitForFinished(3000);
    }

    int echoPort = 0;
    int sinkPort = 0;

private:
    QString mApp;
    QTemporaryDir mHome;
    QProcess mProcess;
};

// `count` connections, `parallel` at a time: each sends `payload` and closes
// once as many bytes came back. Returns how many finished; `whole` counts
// those that got every byte back.
int EchoConnections(int port, int count, int parallel, const QByteArray& payload, int* whole = nullptr)
{
    int started = 0, finished = 0, complete = 0;
    std::function<void()> next = [&] {
        if (started >= count) return;
        ++started;
        auto* s = new QTcpSocket;
        auto* got = new qint64(0);
        QObject::connect(s, &QTcpSocket::connected, s, [s, &payload] { s->write(payload); });
        QObject::connect(s, &QTcpSocket::readyRead, s, [s, got, &payload] {
            *got += s->readAll().size();
            if (*got >= payload.size()) s->disconnectFromHost();
        });
        QObject::connect(s, &QTcpSocket::disconnected, s, [&, s, got] {
            complete += *got == payload.size();
            delete got;
            s->deleteLater();
            ++finished;
            next();
        });
        QObject::connect(s, &QTcpSocket::errorOccurred, s, [s](QAbstractSocket::SocketError e) {
            if (e == QAbstractSocket::RemoteHostClosedError) return;
            std::fprintf(stderr, "connection failed: %s\n", qPrintable(s->errorString()));
            s->abort();
        });
        s->connectToHost(QHostAddress::LocalHost, quint16(port));
    };
    for (int i = 0; i < parallel; ++i) next();
    SpinUntil([&] { return finished >= count; }, 600000);
    if (whole) *whole = complete;
    return finished;
}

// Short connections: 100 bytes out, 100 back, close.
int ShortConnections(int port, int count, int parallel)
{
    return EchoConnections(port, count, parallel, QByteArray(100, 's'));
}

// One one-way transfer of `bytes` to the sink through the program; false
// when the sink did not get it all.
bool Bulk(int port, Sink& sink, qint64 bytes)
{
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < chunk.size(); ++i) chunk[i] = char(i * 131 + 7);
    const qint64 start = sink.received;
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!SpinUntil([&s] { return s.state() == QAbstractSocket::ConnectedState; }, 5000)) return false;
    qint64 sent = 0;
    const bool ok = SpinUntil([&] {
        while (sent < bytes && s.bytesToWrite() < 4 * chunk.size()) {
            const qint64 n = std::min<qint64>(chunk.size(), bytes - sent);
            s.write(chunk.constData(), n);
            sent += n;
        }
        return sink.received - start >= bytes;
    }, 600000);
    s.disconnectFromHost();
    Pause(200);
    return ok;
}

// An echo burst of 1 MiB a connection. Returns how many got every byte back.
int EchoBurst(int port, int count, int parallel)
{
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < chunk.size(); ++i) chunk[i] = char(i * 131 + 7);
    int complete = 0;
    EchoConnections(port, count, parallel, chunk, &complete);
    return complete;
}

} // namespace

int main(int argc, char** argv)
{
    int conns = 30000;
    int runs = 5;
    qint64 mib = 1024;
    qint64 baselineMib = 512;
    int burst = 500;
    int burstParallel = 50;
    QString only;
    QString app;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        const QString v = QString::fromLocal8Bit(argv[i + 1]);
        if (a == QLatin1String("--conns")) conns = v.toInt();
        else if (a == QLatin1String("--runs")) runs = v.toInt();
        else if (a == QLatin1String("--mib")) mib = v.toLongLong();
        else if (a == QLatin1String("--baseline-mib")) baselineMib = v.toLongLong();
        else if (a == QLatin1String("--burst")) burst = v.toInt();
        else if (a == QLatin1String("--burst-parallel")) burstParallel = v.toInt();
        else if (a == QLatin1String("--only")) only = v;
        else if (a == QLatin1String("--app")) app = v;
    }
    QCoreApplication qapp(argc, argv);
    if (app.isEmpty()) app = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("TessalyApp"));
    if (!QFileInfo::exists(app)) {
        std::fprintf(stderr, "TessalyApp not found at %s\n", qPrintable(app));
        return 1;
    }
    Echo echo;
    Sink sink;
    bool ok = true;

    if (only.isEmpty() || only == QLatin1String("short")) {
        Program program(app, echo.serverPort(), sink.serverPort(), true);
        if (!program.Start()) {
            std::fprintf(stderr, "the program never answered\n");
            return 1;
        }
        Pause(1000);
        const Memory idle = program.Now();
        const int third = conns / 3;
        int done = ShortConnections(program.echoPort, third, 8);
        Pause(1500);   // the purge timer runs, terminated pairs unload
        const Memory atThird = program.Now();
        done += ShortConnections(program.echoPort, conns - third, 8);
        Pause(1500);
        const Memory atAll = program.Now();
        std::printf("short connections (100 bytes each way, default limits): %d of %d completed\n", done, conns);
        std::printf("  RSS idle %.1f MiB, at %d %.1f MiB, at %d %.1f MiB; growth from %d to %d: %.1f MiB (target <= 8)\n",
                    idle.rssMiB, third, atThird.rssMiB, conns, atAll.rssMiB, third, conns, atAll.rssMiB - atThird.rssMiB);
        ok = ok && done == conns;
    }

    if (only.isEmpty() || only == QLatin1String("bulk")) {
        std::vector<double> peaks;
        std::vector<double> baselines;
        // Interleaved: a default run, then (once) the keep-everything baseline.
        for (int r = 0; r < runs; ++r) {
            {
                Program program(app, echo.serverPort(), sink.serverPort(), true);
                if (!program.Start() || !Bulk(program.sinkPort, sink, mib << 20)) {
                    std::fprintf(stderr, "bulk run %d failed\n", r + 1);
                    ok = false;
                    continue;
                }
                const Memory m = program.Now();
                peaks.push_back(m.hwmMiB);
                std::printf("bulk %lld MiB, default limits, run %d: peak RSS %.1f MiB, RSS after %.1f MiB\n",
                            (long long)mib, r + 1, m.hwmMiB, m.rssMiB);
            }
            if (r == 0 && baselineMib > 0) {
                Program program(app, echo.serverPort(), sink.serverPort(), false);
                if (program.Start() && Bulk(program.sinkPort, sink, baselineMib << 20)) {
                    const Memory m = program.Now();
                    baselines.push_back(m.hwmMiB);
                    std::printf("bulk %lld MiB, Discard 0 (baseline): peak RSS %.1f MiB, RSS after %.1f MiB\n",
                                (long long)baselineMib, m.hwmMiB, m.rssMiB);
                }
            }
            std::fflush(stdout);
        }
        if (!peaks.empty())
            std::printf("  default limits: peak RSS max %.1f MiB, median %.1f MiB over %zu runs (target <= 150 MB each)\n",
                        *std::max_element(peaks.begin(), peaks.end()), UpperMedian(peaks), peaks.size());
    }
    if (only.isEmpty() || only == QLatin1String("burst")) {
        Program program(app, echo.serverPort(), sink.serverPort(), true);
        if (!program.Start()) {
            std::fprintf(stderr, "the program never answered\n");
            return 1;
        }
        Pause(1000);
        const Memory idle = program.Now();
        const double cpuBefore = program.Cpu();
        QElapsedTimer took;
        took.start();
        const int done = EchoBurst(program.echoPort, burst, burstParallel);
        const double seconds = took.elapsed() / 1000.0;
        const double cpu = program.Cpu() - cpuBefore;
        Pause(3000);
        const Memory after3 = program.Now();
        Pause(7000);
        const Memory after10 = program.Now();
        std::printf("echo burst (%d x 1 MiB, %d at a time, default limits): %d of %d echoed in full in %.2f s, "
                    "the program's CPU %.2f s\n", burst, burstParallel, done, burst, seconds, cpu);
        std::printf("  RSS idle %.1f MiB, peak %.1f MiB, 3 s after %.1f MiB, 10 s after %.1f MiB; "
                    "above idle 10 s after: %.1f MiB (target <= 50 MB)\n",
                    idle.rssMiB, after10.hwmMiB, after3.rssMiB, after10.rssMiB, after10.rssMiB - idle.rssMiB);
        ok = ok && done == burst;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
