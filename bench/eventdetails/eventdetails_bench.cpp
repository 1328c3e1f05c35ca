// The event-details window in process, offscreen: SetDetails on one 4 MiB data
// event in Hex at 16 bytes per row, then ten activations. Prints the first
// show, each activation and the peak RSS.
//
//   build/bin/eventdetails_bench [MiB]
#include "export/frmEventDetails.h"
#include "history/SocketEvent.h"
#include "history/SocketPairHistory.h"
#include "platform/Runtime.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>

namespace {

long PeakRssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QDir(home.path()).filePath("config").toUtf8());
    qputenv("XDG_DATA_HOME", QDir(home.path()).filePath("data").toUtf8());
    QApplication app(argc, argv);
    tsy::Runtime::SetProgramDir(QCoreApplication::applicationDirPath());
    const int mib = argc > 1 ? std::max(1, atoi(argv[1])) : 4;

    auto history = std::make_shared<SocketPairHistory>();
    history->mstrRemoteClientIP = QStringLiteral("127.0.0.1");
    history->mlngRemoteClientPort = 40000;
    auto data = std::make_shared<SocketEvent>();
    data->mobjEventType = SocketEventType::ServerBytesReceived;
    data->mstrDescription = QStringLiteral("%1 bytes of data has been received from the remote client.").arg(mib << 20);
    data->mstrData.resize(qsizetype(mib) << 20);
    for (qsizetype i = 0; i < data->mstrData.size(); ++i) data->mstrData[i] = char((i * 131) & 0xFF);
    history->mobjSocketPairEvents.Add(data, QStringLiteral("KEY0"));
    const long idle = PeakRssKiB();

    frmEventDetails* win = frmEventDetails::Instance();
    win->cboFormat->setCurrentText(QStringLiteral("Hex"));
    win->txtBytesPerRow->setText(QStringLiteral("16"));
    win->show();
    QCoreApplication::processEvents();

    QElapsedTimer t;
    t.start();
    win->SetDetails(history, 1);
    QCoreApplication::processEvents();
    const double first = t.nsecsElapsed() / 1e6;
    std::printf("event-details: %d MiB data event, Hex, 16 bytes per row\n", mib);
    std::printf("first show: %.1f ms (target <= 1000)\n", first);
    double worst = 0;
    for (int i = 1; i <= 10; ++i) {
        t.restart();
        win->Form_Activate();
        QCoreApplication::processEvents();
        const double ms = t.nsecsElapsed() / 1e6;
        worst = std::max(worst, ms);
        std::printf("activation %2d: %.2f ms\n", i, ms);
    }
    std::printf("slowest activation: %.2f ms (target <= 20)\n", worst);
    std::printf("peak RSS: %ld KiB (before the window: %ld KiB)\n", PeakRssKiB(), idle);
    frmEventDetails::Unload();
    return 0;
}
