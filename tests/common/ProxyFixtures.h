#pragma once
// Shared pieces of the tests that run real connections through the proxy:
// free ports, port-table entries, the program-wide recorder and listener,
// and a raw loopback client.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>

class QTcpServer;
class SocketPairHistory;

namespace tsytest {

// A port nothing listens on right now (on any address).
int FreePort();

// Port-table entries of a Pass Through port in front of server:serverPort;
// with a description, also its PortsInUse entry.
void SavePassThroughPort(int port, const QString& server, int serverPort, const QString& description = QString());

// Makes the server listen on loopback and echo back whatever each
// connection sends; a connection that ends is closed and deleted.
bool ListenAsEcho(QTcpServer& server);

// Puts the protocol on a fresh port of the table and starts listening on it.
int ListenWithProtocol(const QString& protocol);

// Creates the program-wide recorder and listener.
void StartEngine();
// Stops listening, unloads every socket pair and deletes recorder and listener.
void StopEngine();

// After a main-window test: unloads the main and options windows, stops and
// deletes recorder and listener, unloads the error window as the shutdown
// does and drops the end-of-program hook.
void UnloadMainWindowAndEngine();

// Every failure-simulation switch off.
void SwitchOffFailureSimulation();
// Raises the history limits so every event of every connection is kept.
void KeepAllEvents();

// The history added last, or nullptr when there is none.
std::shared_ptr<SocketPairHistory> LastHistory();
QList<int> EventTypes(const SocketPairHistory& h);

// The whole shared error log (new entries go in front).
QString WholeErrorLog();

// A plain loopback client that keeps what it receives.
struct RawClient {
    QTcpSocket sock;
    QByteArray got;
    bool closed = false;
    explicit RawClient(int port);
    void Send(const QByteArray& d);
    bool WaitFor(const QByteArray& text, int ms = 30000);
};

// The real recorder and listener with every event kept and no failure
// simulated, and the recorded histories read back by pair key.
class RelayFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static std::shared_ptr<SocketPairHistory> History(const QString& key);
    static bool IsDead(const QString& key);
    static QList<int> Types(const QString& key);
    static QStringList Descriptions(const QString& key);
    static bool HasEvent(const QString& key, int type) { return Types(key).contains(type); }
};

} // namespace tsytest
