// Saving one long connection: a synthetic history (mixed event types, data of
// 0 to 1 KiB on the data events) exported as HTML, as text (Hex, 16 bytes per
// row) and as raw data, each beside a baseline that writes the very same
// output bytes from memory with plain QFile writes. Rounds alternate export
// and baseline; medians are printed. Before the timed rounds one HTML export
// measures the peak RSS above the idle RSS (VmHWM reset through clear_refs).
// Every timed step starts after a sync, and the order alternates by round.
//
//   export_bench [--events 100000] [--rounds 3] [--dir /tmp]
#include "export/ExportChoices.h"
#include "export/SavingData.h"
#include "export/SavingHTML.h"
#include "history/SocketPairHistory.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double StatusMiB(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field)) return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

void ResetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly)) f.write("5");
}

std::shared_ptr<SocketPairHistory> Synthetic(int events)
{
    static const int kTypes[] = {9, 14, 16, 17, 9, 14, 16, 17, 10, 12, 15, 18, 0, 2, 4, 5, 7, 21, 23};
    auto h = std::make_shared<SocketPairHistory>();
    h->mstrRemoteClientIP = QStringLiteral("127.0.0.1");
    h->mlngRemoteClientPort = 40001;
    h->mstrRemoteServerIP = QStringLiteral("10.0.0.2");
    h->mlngRemoteServerPort = 80;
    h->mlngLocalServerPort = h->mlngWasListeningOnPort = 8080;
    h->mstrProtocol = QStringLiteral("HTTP");
    QRandomGenerator rng(19);
    for (int i = 0; i < events; ++i) {
        auto e = std::make_shared<SocketEvent>();
        e->mobjEventType = kTypes[rng.bounded(int(std::size(kTypes)))];
        e->mblnNextEventFollowOn = rng.bounded(4) == 0;
        e->mstrEventTime = QStringLiteral("12:34:56.789");
        const bool data = e->mobjEventType >= 9 && e->mobjEventType <= 18;
        if (data) {
            QByteArray bytes(rng.bounded(1025), Qt::Uninitialized);
            for (char& c : bytes) c = char(rng.bounded(256));
            e->mstrData = bytes;
        }
        e->mstrDescription = QString::number(e->mstrData.size()) + QStringLiteral(" bytes of data has been sent.");
        h->AddEvent(e);
    }
    return h;
}

struct Output {
    QString relative;
    QByteArray bytes;
};

// Every file under dir, read into memory.
std::vector<Output> Load(const QString& dir)
{
    std::vector<Output> files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        files.push_back({QDir(dir).relativeFilePath(path), f.readAll()});
    }
    return files;
}

constexpr qsizetype kSlice = 1 << 20;

// The baseline: the same folders and files, written with QFile.
void WritePlain(const QString& dir, const std::vector<Output>& files)
{
    QDir().mkpath(dir);
    QString lastFolder;
    for (const Output& o : files) {
        const QString path = QDir(dir).filePath(o.relative);
        const QString folder = QFileInfo(path).path();
        if (folder != lastFolder) {
            QDir().mkpath(folder);
            lastFolder = folder;
        }
        // In slices of 1 MiB: one huge write is slower than slices on Linux,
        // and would flatter the exports.
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly)) std::fprintf(stderr, "open failed\n");
        for (qsizetype at = 0; at < o.bytes.size(); at += kSlice) {
            const qsizetype n = std::min(kSlice, o.bytes.size() - at);
            if (f.write(o.bytes.constData() + at, n) != n) std::fprintf(stderr, "write failed\n");
        }
    }
}

// Each step starts with nothing waiting to be written back, so one step's
// dirty pages or deletions are never charged to the next.
double Timed(const std::function<void()>& fn)
{
    ::sync();
    QElapsedTimer t;
    t.start();
    fn();
    return double(t.nsecsElapsed()) / 1e6;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int events = 100000;
    int rounds = 3;
    QString base = QDir::tempPath();
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--events") events = args[i + 1].toInt();
        else if (args[i] == "--rounds") rounds = args[i + 1].toInt();
        else if (args[i] == "--dir") base = args[i + 1];
    }
    QTemporaryDir tmp(QDir(base).filePath(QStringLiteral("export_bench-XXXXXX")));
    const auto h = Synthetic(events);
    tsy::Export::ExportChoices html;   // Hex, 16 per row
    tsy::Export::ExportChoices text;
    tsy::Export::ExportChoices raw;
    raw.chrFormat = 0;
    raw.intDirection = 0;
    std::printf("history: %d events, %.1f MiB of data\n", events, double(h->mlngMemoryAllocated) / 1048576.0);

    // Memory of one HTML export, before anything else is held.
    const QString probe = tmp.filePath(QStringLiteral("probe"));
    QDir().mkpath(probe);
    const double idle = StatusMiB("VmRSS:");
    ResetPeak();
    if (!SavingHTML::SaveHistoryAsHTML(probe + "/Log.htm", h, html)) return 1;
    const double peak = StatusMiB("VmHWM:");
    const double mainPage = double(QFileInfo(probe + "/Log.htm").size()) / 1048576.0;

    const std::vector<Output> htmlFiles = Load(probe);
    qint64 htmlBytes = 0;
    for (const Output& o : htmlFiles) htmlBytes += o.bytes.size();
    QDir(probe).removeRecursively();
    if (!SavingData::SaveHistoryAsText(tmp.filePath("probe.txt"), h, text)) return 1;
    if (!SavingData::SaveHistoryAsRawData(tmp.filePath("probe.bin"), h, raw)) return 1;
    QFile tf(tmp.filePath("probe.txt"));
    tf.open(QIODevice::ReadOnly);
    const std::vector<Output> textOut = {{QStringLiteral("data.txt"), tf.readAll()}};
    QFile rf(tmp.filePath("probe.bin"));
    rf.open(QIODevice::ReadOnly);
    const std::vector<Output> rawOut = {{QStringLiteral("data.bin"), rf.readAll()}};

    std::vector<double> tHtml, bHtml, tText, bText, tRaw, bRaw;
    for (int r = 0; r < rounds; ++r) {
        const QString e = tmp.filePath(QStringLiteral("e%1").arg(r));
        const QString b = tmp.filePath(QStringLiteral("b%1").arg(r));
        QDir().mkpath(e);
        // Odd rounds run the baseline first.
        const auto pair = [&](std::vector<double>& te, std::vector<double>& tb, const std::function<void()>& ex,
                              const std::function<void()>& bl) {
            if (r % 2) tb.push_back(Timed(bl));
            te.push_back(Timed(ex));
            if (!(r % 2)) tb.push_back(Timed(bl));
        };
        pair(tHtml, bHtml, [&] { SavingHTML::SaveHistoryAsHTML(e + "/Log.htm", h, html); },
             [&] { WritePlain(b, htmlFiles); });
        pair(tText, bText, [&] { SavingData::SaveHistoryAsText(e + "/data.txt", h, text); },
             [&] { WritePlain(b, textOut); });
        pair(tRaw, bRaw, [&] { SavingData::SaveHistoryAsRawData(e + "/data.bin", h, raw); },
             [&] { WritePlain(b, rawOut); });
        QDir(e).removeRecursively();
        QDir(b).removeRecursively();
    }

    const auto line = [](const char* what, double ms, double base, double mib, double target) {
        std::printf("%-5s export %8.1f ms   QFile baseline %8.1f ms   ratio %.2f (target <= %.1f)   %.1f MiB\n", what,
                    ms, base, ms / base, target, mib);
    };
    line("html", Median(tHtml), Median(bHtml), double(htmlBytes) / 1048576.0, 2.0);
    line("text", Median(tText), Median(bText), double(textOut[0].bytes.size()) / 1048576.0, 3.0);
    line("raw", Median(tRaw), Median(bRaw), double(rawOut[0].bytes.size()) / 1048576.0, 1.2);
    std::printf("html files: %zu; main page %.1f MiB; peak RSS above idle during the export %.1f MiB "
                "(target <= 3 x main page = %.1f MiB)\n",
                htmlFiles.size(), mainPage, peak - idle, 3 * mainPage);
    return 0;
}
