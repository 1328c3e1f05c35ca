// The connection diagram inside the real main window, offscreen, in process:
//
//   diagram_bench [--pages N] [--mib N] [--rounds N] [--pane] [--collapse]
//
// (a) Draws a full 20-row page of a connection N times (default 50) and
//     prints the median and worst time of DisplayConnectionDiagram.
// (b) Pushes N MiB (default 64) one way through a Pass Through port to a
//     sink, alternately with the connection's socket node selected in
//     diagram mode (its diagram drawn live) and with the root selected;
//     prints the median throughput of each and their ratio. The real-time
//     pane is off unless --pane is given (with it on, the selected
//     connection's bytes are also dumped into the pane). --collapse closes
//     the socket node's branch after selecting it, so that the tree's event
//     nodes (and their renumbering by the purge) are left out of the cost.
#include "bench/common/Loopback.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmProblemSimulation.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/frmMain.h"
#include "platform/KeyedTree.h"
#include "platform/Settings.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using namespace tsybench;

// (a) A history of 20 events, each on its own row, four elements and more a row.
std::vector<double> PageTimes(frmMain* main, int pages)
{
    auto h = std::make_shared<SocketPairHistory>();
    h->mstrSocketPairKey = QStringLiteral("KEYBENCH");
    h->mstrRemoteClientIP = QStringLiteral("127.0.0.1");
    h->mstrRemoteServerIP = QStringLiteral("127.0.0.1");
    for (int i = 0; i < 20; ++i) {
        auto e = std::make_shared<SocketEvent>();
        e->mobjEventType = i % 2 ? SocketEventType::ClientBytesSendStart : SocketEventType::ServerBytesReceived;
        e->mstrDescription = QStringLiteral("Received data from the remote client");
        e->mstrEventTime = QStringLiteral("12:00:00.000");
        h->AddEvent(e);
    }
    General::gobjLogging->mobjSocketPairHistory.Add(h, h->mstrSocketPairKey);
    main->tvwSockets->Add(QStringLiteral("ROOT"), h->mstrSocketPairKey, QStringLiteral("Alive"), QStringLiteral("Socket"));
    main->tvwSockets->SetTag(h->mstrSocketPairKey, h->mstrSocketPairKey);
    main->mnodSelectedNode = h->mstrSocketPairKey;
    main->ShowDetailsView();
    std::vector<double> ms;
    for (int i = 0; i < pages; ++i) {
        QElapsedTimer t;
        t.start();
        main->DisplayConnectionDiagram(h);
        ms.push_back(t.nsecsElapsed() / 1e6);
        // Outside a running event loop the last page's elements are only
        // deleted when asked to.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    if (main->aniTSY.size() != 20) std::fprintf(stderr, "page has %d rows, expected 20\n", int(main->aniTSY.size()));
    main->tvwSockets->Remove(h->mstrSocketPairKey);
    General::gobjLogging->mobjSocketPairHistory.Remove(h->mstrSocketPairKey);
    main->tvwSockets_NodeClick(QStringLiteral("ROOT"));
    return ms;
}

// (b) One connection through the proxy to a sink; the bytes pushed one way.
struct Transfer {
    QTcpServer sink;
    QTcpSocket* sinkSide = nullptr;
    qint64 received = 0;
    QTcpSocket client;
};

// Lets a change of view finish (the page drawn, the window painted) before
// a transfer is timed: the rounds compare the views while traffic flows.
void Settle()
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 250) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double gCpu = 0;   // CPU seconds of the last transfer

double PushMiB(Transfer& t, qint64 bytes)
{
    const double cpu0 = CpuSeconds();
    const QByteArray chunk(64 * 1024, 'x');
    const qint64 target = t.received + bytes;
    qint64 sent = 0;
    QElapsedTimer timer;
    timer.start();
    while (t.received < target) {
        while (sent < bytes && t.client.bytesToWrite() < 4 * 1024 * 1024) {
            t.client.write(chunk);
            sent += chunk.size();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (timer.elapsed() > 120000) return 0;
    }
    gCpu = CpuSeconds() - cpu0;
    return bytes / 1e6 / (timer.nsecsElapsed() / 1e9);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_NO_GLIB", "1");   // as the program itself runs
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QDir(home.path()).filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", QDir(home.path()).filePath(QStringLiteral("data")).toUtf8());
    QApplication app(argc, argv);

    int pages = 50, mib = 64, rounds = 15;   // rounds of 64 MiB are short: the median of many
    bool pane = false, collapse = false;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--pane") pane = true;
        if (QByteArray(argv[i]) == "--collapse") collapse = true;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray a = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (a == "--pages") pages = v;
        else if (a == "--mib") mib = v;
        else if (a == "--rounds") rounds = v;
    }

    Transfer t;
    t.sink.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&t.sink, &QTcpServer::newConnection, [&t] {
        t.sinkSide = t.sink.nextPendingConnection();
        QObject::connect(t.sinkSide, &QTcpSocket::readyRead, [&t] { t.received += t.sinkSide->readAll().size(); });
    });
    const int port = FreePort();
    const QString p = QString::number(port);
    tsy::Settings::SaveSetting(QStringLiteral("Protocols"), p, QStringLiteral("Pass Through"));
    tsy::Settings::SaveSetting(QStringLiteral("PortsInUse"), p, QStringLiteral("Sink"));
    const QString section = QStringLiteral("Protocols\\Pass Through\\Port ") + p;
    tsy::Settings::SaveSetting(section, QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
    tsy::Settings::SaveSetting(section, QStringLiteral("Port"), QString::number(t.sink.serverPort()));

    // The real-time pane would dump every byte of the selected connection;
    // bench/relay --pane measures that. Here only the diagram differs.
    if (!pane) tsy::Settings::SaveSetting(QStringLiteral("RealTime"), QStringLiteral("ShowRealTimeData"), QStringLiteral("0"));
    General::gblnLoggingEnabled = true;
    General::gblnConnectionDiagramView = true;
    General::gobjLogging = new Logging();
    General::gobjListening = new Listening();
    for (QCheckBox* box : {frmProblemSimulation::Instance()->chkRefuseConnections,
                           frmProblemSimulation::Instance()->chkTerminateConnections,
                           frmProblemSimulation::Instance()->chkDangleConnections,
                           frmProblemSimulation::Instance()->chkThrottleC2SData,
                           frmProblemSimulation::Instance()->chkThrottleS2CData})
        box->setChecked(false);
    General::gobjListening->InitaliseListeningSockets();
    frmMain* main = frmMain::Instance();
    main->resize(1200, 800);
    main->show();
    QCoreApplication::processEvents();

    const std::vector<double> ms = PageTimes(main, pages);
    std::printf("(a) DisplayConnectionDiagram, full 20-row page, %d draws: median %.2f ms, worst %.2f ms (target <= 100 ms)\n",
                pages, Median(ms), *std::max_element(ms.begin(), ms.end()));

    t.client.connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!t.client.waitForConnected(5000) || !SpinUntil([&] { return t.sinkSide != nullptr; }, 20000)) {
        std::fprintf(stderr, "no connection through the proxy\n");
        return 1;
    }
    PushMiB(t, 1 << 20);   // warm-up; the server side is known afterwards
    const QString key = General::gobjLogging->mobjSocketPairHistory.KeyAt(1);
    const auto selectSocket = [&] {
        main->tvwSockets_NodeClick(QStringLiteral("ROOT"));
        main->tvwSockets_NodeClick(QStringLiteral("PROTO") + p);
        main->tvwSockets_NodeClick(QStringLiteral("CON") + p + QStringLiteral("127.0.0.1127.0.0.1"));
        main->tvwSockets_NodeClick(key);
        // As the user closes the branch by its sign: the diagram stays and
        // goes on drawing, the tree no longer lists the events.
        if (collapse) main->tvwSockets->SetExpanded(key, false);
        return main->mnodSelectedNode == key && main->aniTSY.size() > 0;
    };
    std::vector<double> shown, root, shownCpu, rootCpu;
    const qint64 bytes = qint64(mib) * 1024 * 1024;
    for (int r = 0; r < rounds; ++r) {
        if (!selectSocket()) {
            std::fprintf(stderr, "the socket node's diagram is not shown\n");
            return 1;
        }
        Settle();
        shown.push_back(PushMiB(t, bytes));
        shownCpu.push_back(mib / gCpu);
        main->tvwSockets_NodeClick(QStringLiteral("ROOT"));
        Settle();
        root.push_back(PushMiB(t, bytes));
        rootCpu.push_back(mib / gCpu);
    }
    const double s = Median(shown), r0 = Median(root);
    std::printf("(b) %d MiB through Pass Through, %d interleaved rounds: diagram shown %.0f MB/s, root selected %.0f MB/s, "
                "ratio %.0f %% (target >= 80 %%)\n", mib, rounds, s, r0, r0 > 0 ? 100 * s / r0 : 0.0);
    std::printf("    rounds shown:");
    for (double v : shown) std::printf(" %.0f", v);
    std::printf("; root:");
    for (double v : root) std::printf(" %.0f", v);
    std::printf(" MB/s\n");
    std::printf("    per CPU second (load-independent): diagram shown %.0f MiB, root selected %.0f MiB, ratio %.0f %%\n",
                Median(shownCpu), Median(rootCpu), 100 * Median(shownCpu) / Median(rootCpu));

    t.client.close();
    General::gobjListening->DeInitaliseListeningSockets();
    return 0;
}
