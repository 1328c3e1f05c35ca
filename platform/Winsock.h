#pragma once
// Stand-in for the classic event-driven socket control: one object per TCP
// socket, IPv4, addresses always dotted, events delivered on the event loop.
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace tsy {

struct SocketError {
    int number = 0;
    QString description;
    explicit operator bool() const { return number != 0; }
};

// Classic socket error numbers the program tests.
namespace SockErr {
constexpr int AddressInUse = 10048;
constexpr int AccessDenied = 10013;
constexpr int ConnectionRefused = 10061;
constexpr int TimedOut = 10060;
constexpr int ConnectionAborted = 10053;
constexpr int ConnectionReset = 10054;
constexpr int HostNotFound = 11001;
constexpr int TryAgain = 11002;
constexpr int InvalidArgument = 10022;   // bad port / empty host / wrong state
constexpr int NotConnected = 10057;
constexpr int Unknown = 10004;           // anything Qt cannot name more precisely
}

class Winsock : public QObject {
    Q_OBJECT
public:
    enum StateCode {
        sckClosed = 0, sckOpen = 1, sckListening = 2, sckConnectionPending = 3,
        sckResolvingHost = 4, sckHostResolved = 5, sckConnecting = 6,
        sckConnected = 7, sckClosing = 8, sckError = 9
    };

    explicit Winsock(QObject* parent = nullptr);
    ~Winsock() override;

    // Methods. Each returns false and fills *err when it fails at once.
    bool Listen(SocketError* err = nullptr);                 // on LocalPort
    bool Accept(qint64 requestId, SocketError* err = nullptr);
    bool Connect(const QString& host, int port, SocketError* err = nullptr);
    bool SendData(const QByteArray& data, SocketError* err = nullptr);
    QByteArray GetData();                                     // takes everything available
    void Close();                                             // raises no Close/Error, now or later

    // Properties.
    int State() const;
    int LocalPort() const;
    void SetLocalPort(int port);
    QString LocalIP() const;
    static QString LocalHostName();
    int RemotePort() const;
    QString RemoteHost() const;      // as given to Connect, or the peer's address
    QString RemoteHostIP() const;
    QString Tag() const { return mTag; }
    void SetTag(const QString& tag) { mTag = tag; }

    // Back-pressure: while paused, no DataArrival is raised and the socket
    // reads at most a small bounded amount from the OS, so TCP pushes back.
    void SetReadingPaused(bool paused);
    bool ReadingPaused() const { return mPaused; }
    qint64 BytesAvailable() const;   // read from the OS, not yet taken
    qint64 BytesToWrite() const;     // handed to SendData, not yet left the buffer

signals:
    void ConnectionRequest(qint64 requestId);
    void Connected();                  // the classic Connect event
    void DataArrival(qint64 bytesTotal);
    void SendComplete();
    void Closed();                     // the classic Close event: the peer closed
    void Error(int number, const QString& description);

private:
    void attach(QTcpSocket* s);
    void detach();
    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();
    void onSocketError();
    void onNewConnection();
    void scheduleSendCompleteCheck();

    QPointer<QTcpServer> mServer;
    QPointer<QTcpSocket> mSocket;
    QString mTag;
    QString mRemoteHost;
    int mLocalPort = 0;
    int mState = sckClosed;
    bool mPaused = false;
    bool mSendPending = false;
    bool mPeerClosed = false;
};

// For tests: how many pending requests are held unclaimed right now.
int PendingConnectionRequests();

} // namespace tsy
