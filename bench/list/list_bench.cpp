// The details list's cost, in process and offscreen:
//
//   list_bench [--mib N] [--rounds N] [--events N] [--histories N]
//
// 1. Throughput of one bulk transfer through a Pass Through port of the real
//    engine and main window while the root is selected (the connection's row
//    is updated on every event), against a node whose list shows nothing (a
//    finished connection's socket node in the diagram view), and against an
//    unrelated port node (whose list still gets the new connection's row, as
//    every port's list does).
// 2. A refill of the socket layout for one history of N events and of the
//    connection layout for N histories, against adding the same rows as plain
//    QTreeWidgetItems with one addTopLevelItems.
// Rounds of each comparison alternate; medians are printed.
#include "bench/common/Loopback.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/frmMain.h"
#include "platform/KeyedList.h"
#include "platform/KeyedTree.h"
#include "platform/Settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

using namespace tsybench;

// Runs the event loop until done holds.
void RunUntil(const std::atomic<bool>& done)
{
    QTimer tick;
    tick.start(5);
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Pushes bytes through the proxy port into a sink on other threads while
// this thread runs the program; returns MB/s.
double Transfer(int proxyPort, int sinkFd, long long bytes)
{
    std::atomic<bool> done{false};
    QElapsedTimer t;
    t.start();
    std::thread sink([&] {
        const int c = ::accept(sinkFd, nullptr, nullptr);
        std::vector<char> buf(1 << 20);
        long long got = 0;
        while (got < bytes) {
            const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            got += n;
        }
        ::close(c);
        done = true;
    });
    std::thread client([&] {
        const int fd = Dial(proxyPort);
        if (fd < 0) {
            std::perror("connect");
            std::exit(1);
        }
        SendPattern(fd, bytes, 1 << 16);
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::close(fd);
    });
    RunUntil(done);
    const double seconds = t.nsecsElapsed() / 1e9;
    client.join();
    sink.join();
    // Let the pair end before the next round.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return bytes / seconds / 1e6;
}

double TimeMs(const std::function<void()>& fn)
{
    QElapsedTimer t;
    t.start();
    fn();
    return t.nsecsElapsed() / 1e6;
}

void Select(frmMain* main, const QString& key)
{
    if (!main->tvwSockets->Exists(key)) {
        std::fprintf(stderr, "no node %s in the tree\n", qPrintable(key));
        std::exit(1);
    }
    main->tvwSockets->Select(key);
    main->tvwSockets_NodeClick(key);
}

} // namespace

int main(int argc, char** argv)
{
    long long mib = 256;
    int rounds = 3, events = 50000, histories = 10000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--mib")) mib = std::atoll(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--events")) events = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--histories")) histories = std::atoi(argv[i + 1]);
    }
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath("data").toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");   // as the program runs
    QApplication app(argc, argv);

    int sinkPort = 0;
    const int sinkFd = Listen(sinkPort);
    const int proxyPort = FreePort();
    const int otherPort = FreePort();
    using tsy::Settings::SaveSetting;
    for (int port : {proxyPort, otherPort}) {
        const QString p = QString::number(port);
        SaveSetting("Protocols", p, "Pass Through");
        SaveSetting("PortsInUse", p, port == proxyPort ? "Bench" : "Other");
        SaveSetting("Protocols\\Pass Through\\Port " + p, "Server", "127.0.0.1");
        SaveSetting("Protocols\\Pass Through\\Port " + p, "Port", QString::number(sinkPort));
    }

    // Keep the finished connections (each trimmed to its newest 200 events),
    // so the first one's socket node stays to be selected.
    SaveSetting("Options", "NumberToKeep", "1000");
    SaveSetting("Options", "MaxMemorySize", "100000000");
    SaveSetting("Options", "MaxEventCount", "200");

    frmMain::SetEndProgramHook([] {});
    General::gblnLoggingEnabled = true;
    General::gobjLogging = new Logging();
    General::gobjListening = new Listening();
    General::gobjListening->InitaliseListeningSockets();
    frmMain* main = frmMain::Instance();
    main->show();   // offscreen, but painted like a shown window
    Logging& logging = *General::gobjLogging;
    tsy::KeyedTree* tree = main->tvwSockets;
    tsy::KeyedList* list = main->lvwDetails;

    // 1. Throughput. A short first transfer leaves a finished connection whose
    // socket node lists nothing in the diagram view.
    Select(main, "ROOT");
    Transfer(proxyPort, sinkFd, 1 << 20);
    const QString deadKey = logging.mobjSocketPairHistory.KeyAt(1);
    const QString portKey = "PROTO" + QString::number(proxyPort);
    const QString otherKey = "PROTO" + QString::number(otherPort);
    const QString conKey = Logging::ConnectionKey(*logging.mobjSocketPairHistory.Item(1));
    std::vector<double> root, nothing, other;
    const long long bytes = mib << 20;
    for (int r = 0; r < rounds; ++r) {
        Select(main, "ROOT");
        root.push_back(Transfer(proxyPort, sinkFd, bytes));
        Select(main, portKey);
        Select(main, conKey);
        Select(main, deadKey);
        nothing.push_back(Transfer(proxyPort, sinkFd, bytes));
        Select(main, otherKey);
        other.push_back(Transfer(proxyPort, sinkFd, bytes));
    }
    std::printf("throughput, %lld MiB a round, %d rounds, median MB/s:\n", mib, rounds);
    std::printf("  root selected (row updated per event): %8.1f\n", UpperMedian(root));
    std::printf("  socket node selected (nothing listed): %8.1f\n", UpperMedian(nothing));
    std::printf("  unrelated port node selected:          %8.1f\n", UpperMedian(other));
    std::printf("  root / nothing listed: %.1f %%\n", 100.0 * UpperMedian(root) / UpperMedian(nothing));

    // 2. Refills, against plain rows added at once to a plain list of the same size.
    Select(main, "ROOT");
    logging.ClearAllData();
    auto baselineList = new QTreeWidget(list->parentWidget());
    baselineList->setGeometry(list->geometry());
    baselineList->setRootIsDecorated(false);
    baselineList->setUniformRowHeights(true);
    baselineList->show();
    QIcon icon;   // the rows' own icon, once the list has shown one

    // One history of many events, half of them with data.
    auto big = std::make_shared<SocketPairHistory>();
    big->mstrSocketPairKey = "KEYBENCH";
    for (int i = 0; i < events; ++i) {
        auto ev = std::make_shared<SocketEvent>();
        ev->mstrEventTime = "12:34:56.789";
        ev->mobjEventType = i % 2 ? SocketEventType::ServerBytesReceived : SocketEventType::ServerBytesSendStart;
        ev->mstrData = QByteArray(i % 2 ? 1460 : 0, 'x');
        ev->mstrDescription = QString::number(ev->mstrData.size()) + " bytes of data has been received from the remote client.";
        big->AddEvent(ev);
    }
    logging.mobjSocketPairHistory.Add(big, big->mstrSocketPairKey);
    tree->Add("ROOT", big->mstrSocketPairKey, "Alive", "Socket");
    General::gblnConnectionDiagramView = false;

    std::vector<double> socketRefill, socketBase;
    for (int r = 0; r < rounds; ++r) {
        list->Clear();
        main->mnodSelectedNode = big->mstrSocketPairKey;
        socketRefill.push_back(TimeMs([&] { logging.RefreshAllDetails("Socket"); }));
        if (list->Count() != events) std::fprintf(stderr, "socket refill listed %d rows\n", list->Count());
        if (icon.isNull() && list->Count() > 0) icon = list->topLevelItem(0)->icon(0);
        baselineList->clear();
        baselineList->setColumnCount(3);
        socketBase.push_back(TimeMs([&] {
            QList<QTreeWidgetItem*> rows;
            rows.reserve(events);
            for (const auto& ev : big->mobjSocketPairEvents) {
                auto* row = new QTreeWidgetItem;
                row->setText(0, ev->mstrEventTime);
                row->setText(1, ev->mstrDescription);
                if (!ev->mstrData.isEmpty()) row->setText(2, QString::number(ev->mstrData.size()));
                row->setIcon(0, icon);
                rows.append(row);
            }
            baselineList->addTopLevelItems(rows);
        }));
    }
    std::printf("socket layout, %d events, median ms: refill %.1f, plain rows %.1f (%.2fx)\n", events,
                UpperMedian(socketRefill), UpperMedian(socketBase), UpperMedian(socketRefill) / UpperMedian(socketBase));

    // Many small histories under the root.
    logging.mobjSocketPairHistory.Clear();
    tree->Remove(big->mstrSocketPairKey);
    for (int i = 0; i < histories; ++i) {
        auto h = std::make_shared<SocketPairHistory>();
        h->mstrSocketPairKey = "KEYH" + QString::number(i);
        h->mstrRemoteClientIP = "10.0." + QString::number(i / 250) + "." + QString::number(i % 250);
        h->mlngRemoteClientPort = 40000 + i % 20000;
        h->mstrRemoteServerIP = "192.168.1.1";
        h->mlngRemoteServerPort = 80;
        h->mlngLocalServerPort = 8080;
        h->mstrProtocol = "HTTP";
        h->mblnDead = i % 3 == 0;
        for (int e = 0; e < 3; ++e) {
            auto ev = std::make_shared<SocketEvent>();
            ev->mstrEventTime = "12:34:56.789";
            ev->mstrDescription = "The remote client has disconnected.";
            h->AddEvent(ev);
        }
        logging.mobjSocketPairHistory.Add(h, h->mstrSocketPairKey);
    }
    std::vector<double> connectionRefill, connectionBase, sortedRefill;
    for (int r = 0; r < rounds; ++r) {
        list->Clear();
        tree->Select("ROOT");
        main->mnodSelectedNode = "ROOT";
        connectionRefill.push_back(TimeMs([&] { logging.RefreshAllDetails("AllActivity"); }));
        if (list->Count() != histories) std::fprintf(stderr, "connection refill listed %d rows\n", list->Count());
        icon = list->topLevelItem(0)->icon(0);
        list->SetSorting(true, 0, Qt::AscendingOrder);
        list->Clear();
        sortedRefill.push_back(TimeMs([&] { logging.RefreshAllDetails("AllActivity"); }));
        list->SetSorting(false, 0, Qt::AscendingOrder);
        baselineList->clear();
        baselineList->setColumnCount(9);
        connectionBase.push_back(TimeMs([&] {
            QList<QTreeWidgetItem*> rows;
            rows.reserve(histories);
            for (const auto& h : logging.mobjSocketPairHistory) {
                auto* row = new QTreeWidgetItem;
                row->setText(0, h->mstrRemoteClientIP + ':' + QString::number(h->mlngRemoteClientPort));
                row->setText(1, h->mstrRemoteServerIP + ':' + QString::number(h->mlngRemoteServerPort));
                row->setText(2, h->mstrProtocol);
                row->setText(3, h->mobjSocketPairEvents.Item(1)->mstrEventTime);
                row->setText(4, h->mobjSocketPairEvents.Item(3)->mstrEventTime);
                row->setText(5, h->mobjSocketPairEvents.Item(3)->mstrDescription);
                row->setText(6, QString::number(h->mlngBytesC2S));
                row->setText(7, QString::number(h->mlngBytesS2C));
                row->setText(8, QString::number(h->mobjSocketPairEvents.Count()));
                row->setIcon(0, icon);
                rows.append(row);
            }
            baselineList->addTopLevelItems(rows);
        }));
    }
    std::printf("connection layout, %d histories, median ms: refill %.1f, plain rows %.1f (%.2fx); sorted refill %.1f\n",
                histories, UpperMedian(connectionRefill), UpperMedian(connectionBase),
                UpperMedian(connectionRefill) / UpperMedian(connectionBase), UpperMedian(sortedRefill));

    list->Clear();
    logging.mobjSocketPairHistory.Clear();
    General::gobjListening->DeInitaliseListeningSockets();
    ::close(sinkFd);
    std::fflush(stdout);
    std::_Exit(0);   // the program's own shutdown is not what is measured
}
