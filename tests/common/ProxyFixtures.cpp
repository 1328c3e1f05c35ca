#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "history/Logging.h"
#include "history/SocketEvent.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"

#include <QCheckBox>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <gtest/gtest.h>

namespace tsytest {

int FreePort()
{
    // The system may offer a port again once its probe is closed: a test
    // that asks for two would get one port for both now and then.
    static QSet<int> given;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, 0)) return 0;
        const int port = probe.serverPort();
        if (!given.contains(port)) {
            given.insert(port);
            return port;
        }
    }
    return 0;
}

void SavePassThroughPort(int port, const QString& server, int serverPort, const QString& description)
{
    const QString p = QString::number(port);
    tsy::Settings::SaveSetting(QStringLiteral("Protocols"), p, QStringLiteral("Pass Through"));
    if (!description.isEmpty()) tsy::Settings::SaveSetting(QStringLiteral("PortsInUse"), p, description);
    const QString section = QStringLiteral("Protocols\\Pass Through\\Port ") + p;
    tsy::Settings::SaveSetting(section, QStringLiteral("Server"), server);
    tsy::Settings::SaveSetting(section, QStringLiteral("Port"), QString::number(serverPort));
}

bool ListenAsEcho(QTcpServer& server)
{
    if (!server.listen(QHostAddress::LocalHost, 0)) return false;
    QObject::connect(&server, &QTcpServer::newConnection, [&server] {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
            QObject::connect(s, &QTcpSocket::disconnected, s, [s] { s->close(); s->deleteLater(); });
        }
    });
    return true;
}

int ListenWithProtocol(const QString& protocol)
{
    const int port = FreePort();
    tsy::Settings::SaveSetting(QStringLiteral("Protocols"), QString::number(port), protocol);
    tsy::Winsock* sock = nullptr;
    int err = 0;
    QString text;
    EXPECT_TRUE(General::gobjListening->StartListeningOnSocket(sock, port, err, text)) << text.toStdString();
    return port;
}

void StartEngine()
{
    General::gobjLogging = new Logging;
    General::gobjListening = new Listening;
}

void StopEngine()
{
    General::gobjListening->DeInitaliseListeningSockets();
    Pump(50);
    for (const QPointer<SocketPair>& p : General::gobjListening->mobjSocketPairs)
        if (p) p->Unload();
    Pump(50);
    delete General::gobjListening;
    General::gobjListening = nullptr;
    delete General::gobjLogging;
    General::gobjLogging = nullptr;
}

void UnloadMainWindowAndEngine()
{
    frmMain::Unload();
    frmOptions::Unload();
    if (General::gobjListening) {
        General::gobjListening->DeInitaliseListeningSockets();
        delete General::gobjListening;
        General::gobjListening = nullptr;
    }
    delete General::gobjLogging;
    General::gobjLogging = nullptr;
    General::gblnApplicationClosing = true;
    frmError::Unload();
    General::gblnApplicationClosing = false;
    frmMain::SetEndProgramHook({});
    Pump(20);
}

void SwitchOffFailureSimulation()
{
    auto* sim = frmProblemSimulation::Instance();
    for (QCheckBox* box : {sim->chkRefuseConnections, sim->chkTerminateConnections, sim->chkDangleConnections,
                           sim->chkThrottleC2SData, sim->chkThrottleS2CData})
        box->setChecked(false);
}

void KeepAllEvents()
{
    tsy::Settings::SaveSetting(QStringLiteral("Options"), QStringLiteral("MaxEventCount"), QStringLiteral("100000000"));
    tsy::Settings::SaveSetting(QStringLiteral("Options"), QStringLiteral("MaxMemorySize"), QStringLiteral("100000000"));
    frmOptions::Unload();   // the purge reads the limits from its next load
}

std::shared_ptr<SocketPairHistory> LastHistory()
{
    const auto& col = General::gobjLogging->mobjSocketPairHistory;
    return col.Count() > 0 ? col.Item(col.Count()) : nullptr;
}

QList<int> EventTypes(const SocketPairHistory& h)
{
    QList<int> types;
    for (const auto& e : h.mobjSocketPairEvents) types << e->mobjEventType;
    return types;
}

QString WholeErrorLog() { return frmError::Loaded() ? frmError::Loaded()->LogText() : QString(); }

RawClient::RawClient(int port)
{
    QObject::connect(&sock, &QTcpSocket::readyRead, [this] { got += sock.readAll(); });
    QObject::connect(&sock, &QTcpSocket::disconnected, [this] { closed = true; });
    sock.connectToHost(QHostAddress::LocalHost, quint16(port));
}

void RawClient::Send(const QByteArray& d)
{
    sock.write(d);
    sock.flush();
}

bool RawClient::WaitFor(const QByteArray& text, int ms)
{
    return WaitUntil([&] { return got.contains(text); }, ms);
}

void RelayFixture::SetUp()
{
    ClearSettings();
    KeepAllEvents();
    General::gblnLoggingEnabled = true;
    General::gobjLogging = new Logging();
    General::gobjListening = new Listening();
    SwitchOffFailureSimulation();
}

void RelayFixture::TearDown()
{
    General::gobjListening->DeInitaliseListeningSockets();
    delete General::gobjListening;
    General::gobjListening = nullptr;
    delete General::gobjLogging;
    General::gobjLogging = nullptr;
    Pump(20);
}

std::shared_ptr<SocketPairHistory> RelayFixture::History(const QString& key)
{
    return General::gobjLogging->mobjSocketPairHistory.Find(key);
}

bool RelayFixture::IsDead(const QString& key)
{
    auto h = History(key);
    return h && h->mblnDead;
}

QList<int> RelayFixture::Types(const QString& key)
{
    auto h = History(key);
    return h ? EventTypes(*h) : QList<int>();
}

QStringList RelayFixture::Descriptions(const QString& key)
{
    QStringList out;
    if (auto h = History(key))
        for (const auto& e : h->mobjSocketPairEvents) out.append(e->mstrDescription);
    return out;
}

} // namespace tsytest
