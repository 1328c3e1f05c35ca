#include "platform/Winsock.h"

#include <QCoreApplication>
#include <QHash>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tsy {

namespace {

// While reading is paused the socket holds at most this much; the rest waits
// in the kernel and TCP flow control slows the sender down.
constexpr qint64 kPausedReadBuffer = 64 * 1024;
// How long a socket we closed may go on flushing and waiting for the peer's
// own close before it is cut off.
constexpr int kLingerMs = 30000;
// A connect attempt that the OS has not settled by then fails as timed out.
constexpr int kConnectTimeoutMs = 30000;

QString describe(int number)
{
    switch (number) {
    case SockErr::AccessDenied: return QStringLiteral("Permission denied");
    case SockErr::InvalidArgument: return QStringLiteral("Invalid argument");
    case SockErr::AddressInUse: return QStringLiteral("Address in use");
    case SockErr::TooManySockets: return QStringLiteral("Too many open sockets");
    case SockErr::AddressNotAvailable: return QStringLiteral("Address is not available from the local machine");
    case SockErr::NetworkUnreachable: return QStringLiteral("The network cannot be reached from this host at this time");
    case SockErr::ConnectionAborted: return QStringLiteral("Connection is aborted due to timeout or other failure");
    case SockErr::ConnectionReset: return QStringLiteral("The connection is reset by remote side");
    case SockErr::NoBufferSpace: return QStringLiteral("No buffer space is available");
    case SockErr::NotConnected: return QStringLiteral("Socket is not connected");
    case SockErr::TimedOut: return QStringLiteral("Attempt to connect timed out");
    case SockErr::ConnectionRefused: return QStringLiteral("Connection is forcefully rejected");
    case SockErr::HostUnreachable: return QStringLiteral("No route to host");
    case SockErr::HostNotFound: return QStringLiteral("Authoritative answer: Host not found");
    case SockErr::TryAgain: return QStringLiteral("Non-Authoritative answer: Host not found");
    default: return QStringLiteral("Unknown error");
    }
}

SocketError makeError(int number, const QString& text = QString())
{
    return SocketError{number, text.isEmpty() ? describe(number) : text};
}

bool failNow(SocketError* err, int number, const QString& text = QString())
{
    if (err) *err = makeError(number, text);
    return false;
}

QString dotted(const QHostAddress& a)
{
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : a.toString();
}

// Errno refines what Qt reports vaguely; only the values we understand count.
int fromErrno(int e, bool connecting)
{
    switch (e) {
    case ECONNRESET:
    case EPIPE: return SockErr::ConnectionReset;
    case ECONNREFUSED: return SockErr::ConnectionRefused;
    case ETIMEDOUT: return connecting ? SockErr::TimedOut : SockErr::ConnectionAborted;
    case ECONNABORTED: return SockErr::ConnectionAborted;
    case ENETUNREACH: return SockErr::NetworkUnreachable;
    case EHOSTUNREACH: return SockErr::HostUnreachable;
    case EACCES:
    case EPERM: return SockErr::AccessDenied;
    case EADDRINUSE: return SockErr::AddressInUse;
    case EADDRNOTAVAIL: return SockErr::AddressNotAvailable;
    case EMFILE:
    case ENFILE: return SockErr::TooManySockets;
    case ENOBUFS:
    case ENOMEM: return SockErr::NoBufferSpace;
    default: return 0;
    }
}

SocketError mapSocketError(QAbstractSocket::SocketError e, const QString& qtText, int savedErrno, bool connecting)
{
    switch (e) {
    case QAbstractSocket::ConnectionRefusedError: return makeError(SockErr::ConnectionRefused);
    case QAbstractSocket::RemoteHostClosedError: return makeError(SockErr::ConnectionReset);
    case QAbstractSocket::HostNotFoundError: return makeError(SockErr::HostNotFound);
    case QAbstractSocket::SocketAccessError: return makeError(SockErr::AccessDenied);
    case QAbstractSocket::SocketResourceError: return makeError(SockErr::NoBufferSpace);
    case QAbstractSocket::SocketTimeoutError: return makeError(connecting ? SockErr::TimedOut : SockErr::ConnectionAborted);
    case QAbstractSocket::AddressInUseError: return makeError(SockErr::AddressInUse);
    case QAbstractSocket::SocketAddressNotAvailableError: return makeError(SockErr::AddressNotAvailable);
    case QAbstractSocket::NetworkError: {
        if (const int n = fromErrno(savedErrno, connecting)) return makeError(n);
        if (qtText.contains(QLatin1String("timed out"), Qt::CaseInsensitive))
            return makeError(connecting ? SockErr::TimedOut : SockErr::ConnectionAborted);
        if (qtText.contains(QLatin1String("Network unreachable"), Qt::CaseInsensitive)) return makeError(SockErr::NetworkUnreachable);
        if (qtText.contains(QLatin1String("unreachable"), Qt::CaseInsensitive)) return makeError(SockErr::HostUnreachable);
        if (qtText.contains(QLatin1String("reset"), Qt::CaseInsensitive)) return makeError(SockErr::ConnectionReset);
        return makeError(SockErr::ConnectionAborted, qtText);
    }
    default:
        if (const int n = fromErrno(savedErrno, connecting)) return makeError(n);
        return makeError(SockErr::Unknown, qtText);
    }
}

// Requests taken from a listening socket and offered through ConnectionRequest.
struct PendingRequests {
    QHash<qint64, QPointer<QTcpSocket>> sockets;
    qint64 lastId = 0;
};

PendingRequests& pending()
{
    static PendingRequests p;
    return p;
}

// Refuses a connection so that the client sees a reset, not an orderly close.
void resetConnection(QTcpSocket* s)
{
    s->disconnect();
    const qintptr fd = s->socketDescriptor();
    if (fd != -1) {
        linger l{1, 0};
        ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    s->abort();
    s->deleteLater();
}

// Closes a socket we no longer want without losing what it still has to
// send: it leaves its owner, flushes, half-closes, discards whatever the peer
// still sends (closing with unread data would make the kernel send a reset,
// which can destroy our last bytes at the peer) and deletes itself once the
// peer has closed too, or after kLingerMs without progress.
void lingerClose(QTcpSocket* s)
{
    s->disconnect();
    s->setParent(QCoreApplication::instance());
    const auto state = s->state();
    if (state != QAbstractSocket::ConnectedState && state != QAbstractSocket::ClosingState) {
        s->abort();
        s->deleteLater();
        return;
    }
    auto* guard = new QTimer(s);
    guard->setSingleShot(true);
    guard->setInterval(kLingerMs);
    QObject::connect(guard, &QTimer::timeout, s, [s] { s->abort(); s->deleteLater(); });
    guard->start();
    QObject::connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
    QObject::connect(s, &QAbstractSocket::errorOccurred, s, &QObject::deleteLater);
    if (state == QAbstractSocket::ClosingState) return;   // Qt is already flushing and closing

    s->setReadBufferSize(0);
    s->readAll();
    QObject::connect(s, &QIODevice::readyRead, s, [s] { s->readAll(); });
    auto shut = std::make_shared<bool>(false);
    auto shutWhenFlushed = [s, guard, shut] {
        guard->start();
        if (*shut || s->bytesToWrite() > 0) return;
        *shut = true;
        if (s->socketDescriptor() != -1) ::shutdown(int(s->socketDescriptor()), SHUT_WR);
    };
    QObject::connect(s, &QIODevice::bytesWritten, s, shutWhenFlushed);
    shutWhenFlushed();
}

} // namespace

int PendingConnectionRequests()
{
    return int(pending().sockets.size());
}

Winsock::Winsock(QObject* parent) : QObject(parent) {}

Winsock::~Winsock()
{
    Close();
}

void Winsock::fail(int number, const QString& description)
{
    mState = sckError;
    mSendPending = false;
    emit Error(number, description);
}

bool Winsock::Listen(SocketError* err)
{
    if (mState != sckClosed) return failNow(err, SockErr::InvalidArgument);
    if (mLocalPort < 0 || mLocalPort > 65535) return failNow(err, SockErr::InvalidArgument);

    auto* srv = new QTcpServer(this);
    if (!srv->listen(QHostAddress::AnyIPv4, quint16(mLocalPort))) {
        const int savedErrno = errno;
        SocketError e;
        switch (srv->serverError()) {
        case QAbstractSocket::AddressInUseError: e = makeError(SockErr::AddressInUse); break;
        case QAbstractSocket::SocketAccessError: e = makeError(SockErr::AccessDenied); break;
        default: e = mapSocketError(srv->serverError(), srv->errorString(), savedErrno, false); break;
        }
        delete srv;
        if (err) *err = e;
        return false;
    }
    connect(srv, &QTcpServer::newConnection, this, &Winsock::onNewConnection);
    // Qt stops accepting after a hard accept failure (e.g. out of descriptors);
    // try again a little later rather than go deaf for good.
    connect(srv, &QTcpServer::acceptError, srv, [srv] {
        QTimer::singleShot(500, srv, [srv] { srv->resumeAccepting(); });
    });
    mServer = srv;
    mState = sckListening;
    return true;
}

void Winsock::onNewConnection()
{
    QPointer<Winsock> self(this);
    QPointer<QTcpServer> srv = mServer;
    while (self && srv && srv == mServer && srv->hasPendingConnections()) {
        QTcpSocket* s = srv->nextPendingConnection();
        if (!s) break;
        s->setParent(nullptr);
        auto& table = pending();
        const qint64 id = ++table.lastId;
        table.sockets.insert(id, s);
        emit ConnectionRequest(id);
        // Left neither accepted nor refused: reset it rather than let it
        // linger (and, under Qt, fill the listen backlog).
        auto it = table.sockets.find(id);
        if (it != table.sockets.end()) {
            QPointer<QTcpSocket> left = it.value();
            table.sockets.erase(it);
            if (left) resetConnection(left);
        }
    }
}

bool Winsock::Accept(qint64 requestId, SocketError* err)
{
    auto& table = pending();
    auto it = table.sockets.find(requestId);
    if (it == table.sockets.end() || !it.value()) {
        if (it != table.sockets.end()) table.sockets.erase(it);
        return failNow(err, SockErr::InvalidArgument);
    }
    QTcpSocket* s = it.value();
    table.sockets.erase(it);

    Close();
    mPeerClosed = false;
    mPeerIP = dotted(s->peerAddress());
    // No reverse lookup: an accepted socket knows its peer only by address,
    // so its host name stays empty and callers fall back to the address.
    mRemoteHost.clear();
    mRemotePort = s->peerPort();
    mBoundIP = dotted(s->localAddress());
    mBoundPort = s->localPort();
    attach(s);
    mState = sckConnected;
    if (s->state() != QAbstractSocket::ConnectedState) {
        // Gone before we took it: report the peer's close from the event loop.
        const quint64 gen = mGeneration;
        QTimer::singleShot(0, this, [this, gen] {
            if (gen != mGeneration || mPeerClosed || mState != sckConnected) return;
            mPeerClosed = true;
            mState = sckClosing;
            emit Closed();
        });
    }
    if (s->bytesAvailable() > 0) raiseDataArrivalLater();
    return true;
}

bool Winsock::Connect(const QString& host, int port, SocketError* err)
{
    if (port < 1 || port > 65535) return failNow(err, SockErr::InvalidArgument);
    const QString name = host.trimmed();
    if (name.isEmpty()) return failNow(err, SockErr::InvalidArgument);
    if (mState != sckClosed)
        return failNow(err, SockErr::InvalidArgument,
                       QStringLiteral("Wrong protocol or connection state for the requested transaction or request"));

    mRemoteHost = host;
    mRemotePort = port;
    mPeerIP.clear();
    mBoundIP.clear();
    mBoundPort = 0;
    mPeerClosed = false;
    mState = sckConnecting;
    const quint64 gen = mGeneration;

    QHostAddress literal;
    if (literal.setAddress(name)) {
        bool v4 = false;
        const quint32 ip = literal.toIPv4Address(&v4);
        // Even a literal address connects from the event loop, so that no
        // event is ever raised inside Connect itself.
        QTimer::singleShot(0, this, [this, gen, v4, ip] {
            if (gen != mGeneration) return;
            if (v4) startConnect(ip);
            else fail(SockErr::HostNotFound, describe(SockErr::HostNotFound));
        });
        return true;
    }
    // A lookup overtaken by Close is left to finish and ignored (aborting
    // one leaks Qt's callback object).
    QHostInfo::lookupHost(name, this, [this, gen](const QHostInfo& info) {
        if (gen != mGeneration) return;
        if (info.error() == QHostInfo::UnknownError) {
            // getaddrinfo's "try again" (no answer from the name server) lands here.
            fail(SockErr::TryAgain, describe(SockErr::TryAgain));
            return;
        }
        for (const QHostAddress& a : info.addresses()) {
            bool v4 = false;
            const quint32 ip = a.toIPv4Address(&v4);
            if (v4) {
                startConnect(ip);
                return;
            }
        }
        fail(SockErr::HostNotFound, describe(SockErr::HostNotFound));
    });
    return true;
}

void Winsock::startConnect(quint32 ipv4)
{
    mPeerIP = QHostAddress(ipv4).toString();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int e = errno;
        const int n = fromErrno(e, true);
        fail(n ? n : SockErr::Unknown, n ? describe(n) : QString::fromLocal8Bit(std::strerror(e)));
        return;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(quint16(mRemotePort));
    sa.sin_addr.s_addr = htonl(ipv4);
    mConnectFd = fd;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        finishConnect();
        return;
    }
    if (errno != EINPROGRESS) {
        const int e = errno;
        abandonConnect();
        const int n = fromErrno(e, true);
        fail(n ? n : SockErr::Unknown, n ? describe(n) : QString::fromLocal8Bit(std::strerror(e)));
        return;
    }
    mConnectNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
    connect(mConnectNotifier, &QSocketNotifier::activated, this, [this] {
        int e = 0;
        socklen_t len = sizeof e;
        if (::getsockopt(mConnectFd, SOL_SOCKET, SO_ERROR, &e, &len) != 0) e = errno;
        if (e == 0) {
            finishConnect();
            return;
        }
        abandonConnect();
        const int n = fromErrno(e, true);
        fail(n ? n : SockErr::Unknown, n ? describe(n) : QString::fromLocal8Bit(std::strerror(e)));
    });
    mConnectTimer = new QTimer(this);
    mConnectTimer->setSingleShot(true);
    connect(mConnectTimer, &QTimer::timeout, this, [this] {
        abandonConnect();
        fail(SockErr::TimedOut, describe(SockErr::TimedOut));
    });
    mConnectTimer->start(kConnectTimeoutMs);
}

void Winsock::abandonConnect()
{
    if (mConnectNotifier) {
        mConnectNotifier->setEnabled(false);
        mConnectNotifier->disconnect(this);
        mConnectNotifier->deleteLater();   // we may be inside its signal
        mConnectNotifier = nullptr;
    }
    if (mConnectTimer) {
        mConnectTimer->stop();
        mConnectTimer->disconnect(this);
        mConnectTimer->deleteLater();
        mConnectTimer = nullptr;
    }
    if (mConnectFd != -1) {
        ::close(mConnectFd);
        mConnectFd = -1;
    }
}

void Winsock::finishConnect()
{
    const int fd = mConnectFd;
    mConnectFd = -1;   // from here on the QTcpSocket owns it
    abandonConnect();
    auto* s = new QTcpSocket(this);
    attach(s);
    if (!s->setSocketDescriptor(fd, QAbstractSocket::ConnectedState)) {
        ::close(fd);
        const QString text = s->errorString();
        mSocket = nullptr;
        s->disconnect(this);
        s->deleteLater();
        fail(SockErr::Unknown, text);
        return;
    }
    mBoundIP = dotted(s->localAddress());
    mBoundPort = s->localPort();
    mPeerIP = dotted(s->peerAddress());
    mState = sckConnected;
    emit Connected();
}

void Winsock::attach(QTcpSocket* s)
{
    s->setParent(this);
    s->setReadBufferSize(mPaused ? kPausedReadBuffer : 0);
    // A relay forwards what it has at once; Nagle would only add delay.
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    mSocket = s;
    connect(s, &QIODevice::readyRead, this, &Winsock::onReadyRead);
    connect(s, &QIODevice::bytesWritten, this, &Winsock::onBytesWritten);
    connect(s, &QAbstractSocket::disconnected, this, &Winsock::onDisconnected);
    connect(s, &QAbstractSocket::errorOccurred, this, &Winsock::onSocketError);
}

void Winsock::onReadyRead()
{
    if (mPaused || !mSocket) return;
    if (mState != sckConnected && mState != sckClosing) return;
    const qint64 n = mSocket->bytesAvailable();
    if (n <= 0) return;
    QPointer<Winsock> self(this);
    emit DataArrival(n);
    // Bytes that came in while the handler ran (it may process events) get
    // no readyRead of their own: raise another arrival for them.
    if (self && mSocket && !mPaused && mSocket->bytesAvailable() > 0) raiseDataArrivalLater();
}

void Winsock::raiseDataArrivalLater()
{
    if (mArrivalQueued) return;
    mArrivalQueued = true;
    const quint64 gen = mGeneration;
    QTimer::singleShot(0, this, [this, gen] {
        if (gen != mGeneration) return;
        mArrivalQueued = false;
        onReadyRead();
    });
}

void Winsock::deferToLoop(std::function<void()> work)
{
    const quint64 generation = mGeneration;
    QMetaObject::invokeMethod(this, [this, generation, work = std::move(work)] {
        if (generation == mGeneration) work();
    }, Qt::QueuedConnection);
}

void Winsock::onBytesWritten()
{
    // Our own flush checks for completion once it returns.
    if (mInSendData) return;
    if (!mSendPending || !mSocket || mSocket->bytesToWrite() > 0) return;
    mSendPending = false;
    emit SendComplete();
}

void Winsock::onSocketError()
{
    const int savedErrno = errno;
    errno = 0;   // so that a later, unrelated error cannot read this one
    if (mInSendData) {
        // Raised by our own flush: nothing is raised inside a call.
        deferToLoop([this, savedErrno] { handleSocketError(savedErrno); });
        return;
    }
    handleSocketError(savedErrno);
}

void Winsock::handleSocketError(int savedErrno)
{
    if (!mSocket) return;
    const auto e = mSocket->error();
    if (e == QAbstractSocket::RemoteHostClosedError) {
        // Qt reports a reset by the peer as an orderly close; errno tells them apart.
        if (savedErrno == ECONNRESET || savedErrno == EPIPE || mState == sckConnecting) {
            if (mState == sckConnected || mState == sckClosing || mState == sckConnecting)
                fail(SockErr::ConnectionReset, describe(SockErr::ConnectionReset));
            return;
        }
        if (mState == sckConnected && !mPeerClosed) {
            mPeerClosed = true;
            mState = sckClosing;
            emit Closed();
        }
        return;
    }
    if (mState == sckError || mState == sckClosed) return;
    const SocketError se = mapSocketError(e, mSocket->errorString(), savedErrno, mState == sckConnecting);
    fail(se.number, se.description);
}

void Winsock::onDisconnected()
{
    if (mInSendData) {
        deferToLoop([this] { onDisconnected(); });
        return;
    }
    // Normally the close was reported by onSocketError already; this catches
    // a disconnection that came without an error.
    if (mState == sckConnected && !mPeerClosed) {
        mPeerClosed = true;
        mState = sckClosing;
        emit Closed();
    }
}

bool Winsock::SendData(const QByteArray& data, SocketError* err)
{
    if (mState != sckConnected || !mSocket || mSocket->state() != QAbstractSocket::ConnectedState)
        return failNow(err, SockErr::NotConnected);
    if (data.isEmpty()) return true;
    if (mSocket->write(data) != data.size()) {
        const int savedErrno = errno;
        const SocketError se = mapSocketError(mSocket->error(), mSocket->errorString(), savedErrno, false);
        if (err) *err = se;
        return false;
    }
    mSendPending = true;
    // Put the bytes on the wire now instead of on the next loop turn (one turn
    // less of latency per relayed chunk); whatever the write raises is deferred.
    mInSendData = true;
    mSocket->flush();
    mInSendData = false;
    // The flush's own bytesWritten was ignored above (and Qt swallows it anyway
    // when the send started from SendComplete): a drained buffer completes here;
    // otherwise the rest is written later and its bytesWritten completes it.
    if (mSocket && mSocket->bytesToWrite() == 0) deferToLoop([this] { onBytesWritten(); });
    return true;
}

QByteArray Winsock::GetData()
{
    if (!mSocket) return {};
    return mSocket->readAll();
}

void Winsock::detach()
{
    ++mGeneration;
    abandonConnect();
    if (QTcpServer* srv = mServer) {
        mServer = nullptr;
        srv->disconnect(this);
        srv->close();
        // We may be inside its own newConnection signal.
        srv->setParent(nullptr);
        srv->deleteLater();
    }
    if (QTcpSocket* s = mSocket) {
        mSocket = nullptr;
        lingerClose(s);
    }
    mSendPending = false;
    mArrivalQueued = false;
    mPeerClosed = false;
}

void Winsock::Close()
{
    detach();
    mState = sckClosed;
}

int Winsock::State() const
{
    return mState;
}

int Winsock::LocalPort() const
{
    if (mServer) return mServer->serverPort();
    if (mState == sckClosed) return mLocalPort;
    if (mSocket && mSocket->localPort() != 0) return mSocket->localPort();
    return mBoundPort ? mBoundPort : mLocalPort;
}

void Winsock::SetLocalPort(int port)
{
    mLocalPort = port;
}

QString Winsock::LocalIP() const
{
    if (mState != sckClosed && mState != sckListening && !mBoundIP.isEmpty()) return mBoundIP;
    // The machine's own address, as the classic control reports it.
    const auto all = QNetworkInterface::allAddresses();
    for (const QHostAddress& a : all) {
        bool v4 = false;
        const quint32 ip = a.toIPv4Address(&v4);
        if (v4 && !a.isLoopback() && !a.isLinkLocal()) return QHostAddress(ip).toString();
    }
    return QStringLiteral("127.0.0.1");
}

QString Winsock::LocalHostName()
{
    return QHostInfo::localHostName();
}

int Winsock::RemotePort() const
{
    return mRemotePort;
}

QString Winsock::RemoteHost() const
{
    return mRemoteHost;
}

QString Winsock::RemoteHostIP() const
{
    return mPeerIP;
}

void Winsock::SetReadingPaused(bool paused)
{
    if (mPaused == paused) return;
    mPaused = paused;
    if (mSocket) mSocket->setReadBufferSize(paused ? kPausedReadBuffer : 0);
    if (!paused && mSocket && mSocket->bytesAvailable() > 0) raiseDataArrivalLater();
}

qint64 Winsock::BytesAvailable() const
{
    return mSocket ? mSocket->bytesAvailable() : 0;
}

qint64 Winsock::BytesToWrite() const
{
    return mSocket ? mSocket->bytesToWrite() : 0;
}

} // namespace tsy
