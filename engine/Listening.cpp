// The listening side: a socket per configured port, the protocol handler and
// socket pair for every connection request, and the close-down of everything.
#include "engine/Listening.h"

#include "engine/General.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "history/Logging.h"
#include "mainwindow/frmMain.h"
#include "platform/KeyedTree.h"
#include "platform/LoadedWindows.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolFactory.h"
#include "protocols/ProtocolHandler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <exception>

namespace {

const QString kProtocols = QStringLiteral("Protocols");
const QString kPortsInUse = QStringLiteral("PortsInUse");
const QString kDontUse = QStringLiteral("<Don't use>");

QString PortKey(int lngPort) { return QStringLiteral("KEY") + QString::number(lngPort); }
QString NodeKey(int lngPort) { return QStringLiteral("PROTO") + QString::number(lngPort); }

void LogTrapped(const QString& strSentence, std::exception_ptr e)
{
    General::LogFailure(strSentence + QStringLiteral("  The operating system reports: "), e);
}

[[noreturn]] void ThrowNotSet()
{
    throw tsy::CollectionError(91, "Object variable or With block variable not set");
}

// The main window's tree, or nullptr while no main window exists (tests).
tsy::KeyedTree* Tree() { return General::SocketTree(); }

void RepaintTree()
{
    if (tsy::KeyedTree* tree = Tree()) tree->viewport()->repaint();
}

void RefreshPaneTitles()
{
    if (frmMain::IsLoaded()) frmMain::Instance()->RefreshPaneTitles();
}

void CheckAnimation()
{
    if (frmMain::IsLoaded()) frmMain::Instance()->CheckAnimation();
}

void SetNodeText(int lngPort, const QString& strText)
{
    if (tsy::KeyedTree* tree = Tree()) tree->SetText(NodeKey(lngPort), strText);
}

} // namespace

Listening::Listening(QObject* parent) : QObject(parent)
{
    // Element 0: the template, which never listens.
    sckServer.push_back(new tsy::Winsock(this));
    tsy::LoadedWindows::Register(this, QStringLiteral("Listening"));
    // Once per spell of shortage, not once per waiting client.
    tsy::Descriptors::SetShortageHandler([](int limit) {
        frmError::LogError(
            QStringLiteral("An error occurred while attempting to accept connection requests: every file descriptor "
                           "but a reserve of %1 is in use (the limit is %2). Further requests wait until "
                           "connections close.  The operating system reports: %3, Too many open sockets")
                .arg(tsy::Descriptors::kReserve)
                .arg(limit)
                .arg(tsy::SockErr::TooManySockets));
    });
    // Instead of that when the spell's first request made room by giving up
    // stalled connections, and once more at the spell's end with what it cost.
    tsy::Descriptors::SetGiveUpHandler([](int limit, int givenUp, bool over) {
        if (over) {
            frmError::LogError(QStringLiteral("File descriptors are free again; %1 connections that only waited to "
                                              "deliver to a peer that took nothing were given up to make room "
                                              "while they were short.")
                                   .arg(givenUp));
            return;
        }
        frmError::LogError(
            QStringLiteral("An error occurred while attempting to accept connection requests: every file descriptor "
                           "but a reserve of %1 is in use (the limit is %2). Connections that only wait to deliver to "
                           "a peer that takes nothing, once the other peer has left, are given up to make room, the "
                           "one idle longest first (%3 so far).  The operating system reports: %4, Too many open "
                           "sockets")
                .arg(tsy::Descriptors::kReserve)
                .arg(limit)
                .arg(givenUp)
                .arg(tsy::SockErr::TooManySockets));
    });
}

Listening::~Listening()
{
    tsy::LoadedWindows::Unregister(this);
    tsy::Descriptors::SetShortageHandler(nullptr);
    tsy::Descriptors::SetGiveUpHandler(nullptr);
    // Handlers that go with our pairs must not reach us half destroyed.
    if (General::gobjListening == this) General::gobjListening = nullptr;
}

tsy::Winsock* Listening::SocketElement(int index) const
{
    if (index < 0 || index >= int(sckServer.size())) return nullptr;
    return sckServer[size_t(index)].data();
}

int Listening::HighestElement() const
{
    for (int i = int(sckServer.size()) - 1; i > 0; --i)
        if (sckServer[size_t(i)]) return i;
    return 0;
}

tsy::Winsock* Listening::CreateListeningSocket()
{
    try {
        const int index = HighestElement() + 1;
        auto* socket = new tsy::Winsock(this);
        if (int(sckServer.size()) <= index) sckServer.resize(size_t(index) + 1);
        sckServer[size_t(index)] = socket;
        connect(socket, &tsy::Winsock::ConnectionRequest, this,
                [this, index](qint64 requestID) { sckServer_ConnectionRequest(index, requestID); });
        return socket;
    } catch (...) {
        LogTrapped(QStringLiteral("An error occurred while attempting to create a listening socket."),
                   std::current_exception());
        return nullptr;
    }
}

void Listening::UnloadElement(int index)
{
    if (index < 1 || index >= int(sckServer.size())) return;
    tsy::Winsock* socket = sckServer[size_t(index)].data();
    sckServer[size_t(index)] = nullptr;
    if (!socket) return;
    socket->disconnect(this);
    socket->Close();
    // It may be the very socket whose request is being handled.
    socket->deleteLater();
}

void Listening::RetireElement(int index, int lngPort)
{
    StopListeningOnSocket(SocketElement(index));
    const QString portKey = PortKey(lngPort);
    if (mcolListeningSocket.Exists(portKey)) mcolListeningSocket.Remove(portKey);
    SetNodeText(lngPort, tsy::Settings::GetSetting(kPortsInUse, QString::number(lngPort), QStringLiteral("<Unloaded>"))
                             + QStringLiteral(" (") + QString::number(lngPort) + QStringLiteral(") - Not Listening"));
    RepaintTree();
    UnloadElement(index);
}

void Listening::RetireUnusedOneShotPort(tsy::Winsock* objListeningSocket)
{
    try {
        if (!objListeningSocket || objListeningSocket->Tag() != QStringLiteral("Ephemeral")
            || objListeningSocket->State() != tsy::Winsock::sckListening)
            return;
        for (int i = 1; i <= HighestElement(); ++i) {
            if (SocketElement(i) != objListeningSocket) continue;
            RetireElement(i, objListeningSocket->LocalPort());
            return;
        }
    } catch (...) {
        LogTrapped(QStringLiteral("An error occurred while attempting to stop the socket from listening."),
                   std::current_exception());
    }
}

bool Listening::StartListeningOnSocket(tsy::Winsock*& objListeningSocket, int lngPort, int& lngError,
                                       QString& strError, tsy::DescriptorClaim* objClaim)
{
    try {
        // Idle sockets have no port (0): a bad port number must not take them.
        for (int i = 1; lngPort >= 1 && i <= HighestElement(); ++i) {
            tsy::Winsock* element = SocketElement(i);
            if (element && element->LocalPort() == lngPort) UnloadElement(i);
        }
        const QString key = PortKey(lngPort);
        if (mcolListeningSocket.Exists(key)) mcolListeningSocket.Remove(key);

        tsy::Winsock* socket = CreateListeningSocket();
        if (!socket) ThrowNotSet();
        objListeningSocket = socket;
        mcolListeningSocket.Add(socket, key);

        if (lngPort < 1 || lngPort > 65535) {
            lngError = tsy::SockErr::InvalidArgument;
            strError = QStringLiteral("Invalid argument");
            return false;
        }
        socket->SetLocalPort(lngPort);
        tsy::SocketError err;
        if (!socket->Listen(&err, objClaim)) {
            lngError = err.number;
            strError = err.description;
            return false;
        }
        QElapsedTimer waited;
        waited.start();
        while (socket->State() != tsy::Winsock::sckListening) {
            if (waited.elapsed() > kListenWaitMs) {
                socket->Close();
                lngError = tsy::SockErr::TimedOut;
                strError = QStringLiteral("The socket did not start listening");
                return false;
            }
            if (frmMain::IsLoaded()) frmMain::Instance()->Refresh();
        }
        return true;
    } catch (...) {
        General::DescribeError(std::current_exception(), lngError, strError);
        return false;
    }
}

void Listening::InitaliseListeningSockets()
{
    const QStringList keys = tsy::Settings::GetKeys(kProtocols);
    for (const QString& strKey : keys) {
        const QString value = tsy::Settings::GetSetting(kProtocols, strKey);
        bool ok = false;
        const int lngPort = strKey.trimmed().toInt(&ok);
        if (value != kDontUse) {
            tsy::Winsock* socket = nullptr;
            int lngError = 0;
            QString strError;
            if (!StartListeningOnSocket(socket, ok ? lngPort : 0, lngError, strError)) {
                frmError::LogError(
                    QStringLiteral("A problem occurred while attempting to listen on port ") + strKey
                    + QStringLiteral(". This generally indicates that another application is already listening on "
                                     "this port. Terminate this other application and then attempt to resume "
                                     "listening on this port. The operating system reports: 0x")
                    + QString::number(quint32(lngError), 16).toUpper() + QStringLiteral(" (")
                    + QString::number(lngError) + QStringLiteral("), ") + strError);
            }
        } else {
            try {
                tsy::Winsock* socket = CreateListeningSocket();
                if (socket) mcolListeningSocket.Add(socket, QStringLiteral("KEY") + strKey);
            } catch (...) {
                LogTrapped(QStringLiteral("An error occurred while attempting to create a listening socket."),
                           std::current_exception());
            }
        }
    }
}

void Listening::StopListeningOnSocket(tsy::Winsock* objListeningSocket)
{
    try {
        if (!objListeningSocket) return;
        if (objListeningSocket->State() == tsy::Winsock::sckListening) objListeningSocket->Close();
    } catch (...) {
        LogTrapped(QStringLiteral("An error occurred while attempting to stop the socket from listening."),
                   std::current_exception());
    }
}

void Listening::CheckListeningStatus(int lngPort)
{
    try {
        const QString port = QString::number(lngPort);
        const QString key = PortKey(lngPort);
        const QString value = tsy::Settings::GetSetting(kProtocols, port);
        const auto socketUnderKey = [&]() -> tsy::Winsock* {
            tsy::Winsock* socket = mcolListeningSocket.Item(key).data();
            if (!socket) ThrowNotSet();
            return socket;
        };
        if (value.isEmpty()) {
            StopListeningOnSocket(socketUnderKey());
            mcolListeningSocket.Remove(key);
        } else if (value == kDontUse) {
            StopListeningOnSocket(socketUnderKey());
            mcolListeningSocket.Remove(key);
            tsy::Winsock* socket = CreateListeningSocket();
            if (!socket) ThrowNotSet();
            mcolListeningSocket.Add(socket, key);
            SetNodeText(lngPort, tsy::Settings::GetSetting(kPortsInUse, port, QStringLiteral("<Unloaded>"))
                                     + QStringLiteral(" (") + port + QStringLiteral(") - Not Listening"));
            RepaintTree();
            RefreshPaneTitles();
        } else {
            if (socketUnderKey()->State() != tsy::Winsock::sckListening) {
                tsy::Winsock* socket = nullptr;
                int lngError = 0;
                QString strError;
                if (!StartListeningOnSocket(socket, lngPort, lngError, strError)) {
                    frmError::LogError(QStringLiteral("A problem occurred while attempting to listen on port ") + port
                                       + QStringLiteral(". This generally indicates that another application is "
                                                        "already listening on this port.  The operating system "
                                                        "reports: ")
                                       + QString::number(lngError) + QStringLiteral(", ") + strError);
                } else {
                    SetNodeText(lngPort, tsy::Settings::GetSetting(kPortsInUse, port) + QStringLiteral(" (") + port
                                             + QStringLiteral(")"));
                    RepaintTree();
                }
            }
            RefreshPaneTitles();
        }
    } catch (...) {
        LogTrapped(QStringLiteral("An error occurred while attempting to check the listening status."),
                   std::current_exception());
    }
}

void Listening::CreateNewSocket(int lngPort, const QString& strDescription)
{
    try {
        const QString port = QString::number(lngPort);
        tsy::Winsock* socket = CreateListeningSocket();
        if (!socket) ThrowNotSet();
        mcolListeningSocket.Add(socket, PortKey(lngPort));
        tsy::KeyedTree* tree = Tree();
        if (!tree) return;
        if (General::NodeExists(tree, NodeKey(lngPort))) {
            tree->SetText(NodeKey(lngPort), tsy::Settings::GetSetting(kPortsInUse, port) + QStringLiteral(" (") + port
                                                + QStringLiteral(") - Not Listening"));
            RepaintTree();
            RefreshPaneTitles();
        } else {
            tree->Add(QStringLiteral("ROOT"), NodeKey(lngPort),
                      strDescription + QStringLiteral(" (") + port + QStringLiteral(") - Not Listening"),
                      QStringLiteral("Protocol"));
            RepaintTree();
            RefreshPaneTitles();
            tree->SetTag(NodeKey(lngPort), lngPort);
        }
    } catch (...) {
        LogTrapped(QStringLiteral("An error occurred while attempting to create a new socket."),
                   std::current_exception());
    }
}

bool Listening::CreateProtocolHandler(int lngPort, std::shared_ptr<ProtocolHandler>& objHandler)
{
    try {
        objHandler = ::CreateProtocolHandler(tsy::Settings::GetSetting(kProtocols, QString::number(lngPort)));
        return objHandler != nullptr;
    } catch (...) {
        LogTrapped(QStringLiteral("An error occurred while attempting get the protocol type."),
                   std::current_exception());
        return false;
    }
}

int Listening::NextFreeSocketPairKey()
{
    // The running number wraps after 65536 requests; a key still held is
    // skipped, so requests go on being served while any key is free.
    // At most 1,025 words of each map: a full key space costs microseconds.
    const tsy::PairKeyMap* histories =
        General::gobjLogging ? &General::gobjLogging->mobjSocketPairHistory.Watch() : nullptr;
    return tsy::PairKeyMap::FirstFree(mintSocketPairCount + 1,
                                      {&mobjSocketPairs.Watch(), histories, &SocketPair::LoadedKeys()});
}

void Listening::RefuseForWantOfKeys()
{
    // Once per spell, as for a shortage of descriptors: an entry per request
    // would bury the program under its own Error window.
    if (mlngRefusedForWantOfKeys++ > 0) return;
    frmError::LogError(
        QStringLiteral("An error occurred while attempting to process the remote client's connection request: all "
                       "%1 socket pair keys are held by connections that are live, kept dead, or were refused by a "
                       "rule. Further requests are refused until the purge or Clear All Data frees keys.")
            .arg(tsy::PairKeyMap::kKeys));
}

void Listening::sckServer_ConnectionRequest(int Index, qint64 requestID)
{
    try {
        tsy::Winsock* element = SocketElement(Index);
        if (!element) return;
        const int lngPort = element->LocalPort();

        const int keyBit = NextFreeSocketPairKey();
        if (keyBit < 0) {
            // Left unaccepted, the request is reset by the socket layer.
            RefuseForWantOfKeys();
            return;
        }
        std::shared_ptr<ProtocolHandler> handler;
        if (!CreateProtocolHandler(lngPort, handler)) {
            // Left unaccepted, the request is reset by the socket layer.
            frmError::LogError(QStringLiteral(
                "A socket connection request has been received on a listening socket with no associated protocol."));
            return;
        }
        handler->mlngWasListeningOnPort = lngPort;

        mintSocketPairCount = qint16(quint16(keyBit));
        if (mlngRefusedForWantOfKeys > 0) {
            // The spell is over: how many it cost, which its first entry
            // could not know.
            frmError::LogError(QStringLiteral("Socket pair keys are free again; %1 connection requests were refused "
                                              "while every key was held.")
                                   .arg(mlngRefusedForWantOfKeys));
            mlngRefusedForWantOfKeys = 0;
        }
        const QString key = tsy::PairKeyMap::Key(keyBit);
        auto* pair = new SocketPair(this);
        pair->SetSocketPairKey(key);
        mobjSocketPairs.Add(QPointer<SocketPair>(pair), key);

        if (frmProblemSimulation::Instance()->ShouldConnectionRequestBeRefused()) {
            pair->ConnectionRejected(requestID, handler);
        } else {
            pair->ServerConnected(requestID, handler);
            // A one-shot data port retires after its one connection.
            if (element->Tag() == QStringLiteral("Ephemeral")) RetireElement(Index, lngPort);
        }
        RefreshPaneTitles();
        CheckAnimation();
    } catch (...) {
        LogTrapped(QStringLiteral("An error occurred while attempting to process the remote client's connection request."),
                   std::current_exception());
    }
}

void Listening::DeInitaliseListeningSockets()
{
    for (const QPointer<SocketPair>& pair : mobjSocketPairs) {
        try {
            if (pair) pair->Terminate();
        } catch (...) {
        }
    }
    for (const QPointer<tsy::Winsock>& socket : mcolListeningSocket) {
        try {
            StopListeningOnSocket(socket.data());
        } catch (...) {
        }
    }
    for (int i = 1; i < int(sckServer.size()); ++i) {
        try {
            UnloadElement(i);
        } catch (...) {
        }
    }
    mcolListeningSocket.Clear();
    mobjSocketPairs.Clear();
}
