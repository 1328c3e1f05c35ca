#pragma once
// One relayed client connection: the local server socket facing the remote
// client, the local client socket facing the remote server, the throttle,
// dangle and termination timers, and the protocol handler that decides what
// happens to the bytes. A hidden "window" named "SocketPair" while loaded.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

#include "engine/ThrottlePacer.h"
#include "platform/ByteCount.h"

class ProtocolHandler;

namespace tsy {
class Winsock;
class PeerLeaving;
class WindowTimer;
}

class SocketPair : public QObject {
    Q_OBJECT
public:
    explicit SocketPair(QObject* parent = nullptr);   // loads it (Form_Load)
    ~SocketPair() override;

    // Unloading: drops it from the loaded windows, releases the handler and
    // destroys the object (and its sockets and timers) once control returns
    // to the event loop. Safe to call from any slot, also the pair's own.
    void Unload();
    bool IsLoadedWindow() const { return mblnLoaded; }

    // ---- public variables ---------------------------------------------------
    std::shared_ptr<ProtocolHandler> mobjProtocolHandler;
    bool mblnTerminated = false;
    int mlngTimeDuringDangle = 0;
    int mintDataToDangle = 0;

    // ---- controls -------------------------------------------------------------
    tsy::Winsock* sckServer = nullptr;   // peer: the remote client
    tsy::Winsock* sckClient = nullptr;   // peer: the remote server
    tsy::WindowTimer* tmrC2SThrottleDataRequest = nullptr;
    tsy::WindowTimer* tmrS2CThrottleDataRequest = nullptr;
    tsy::WindowTimer* tmrDangleStartTimer = nullptr;
    tsy::WindowTimer* tmrDangleStopTimer = nullptr;
    tsy::WindowTimer* tmrTerminationTime = nullptr;
    // How its peers left, told by the handler where it learns of it; both
    // sockets, and what lingers of them, take their bound from it.
    tsy::PeerLeaving& Leaving() { return *mLeaving; }

    // ---- public members, in declaration order ----------------------------------
    void Terminate();
    void ServerConnected(qint64 lngRequestId, std::shared_ptr<ProtocolHandler> objProtocolHandler);
    void ConnectionRejected(qint64 lngRequestId, std::shared_ptr<ProtocolHandler> objProtocolHandler);
    bool AttemptConnectionToRemoteServer(const QString& strServerIP, int lngServerPort,
                                         QString& strError, int& lngErrorCode);
    int RemoteServerPort() const;
    QString RemoteServerIP() const;
    QString RemoteServerName() const;
    int RemoteClientPort() const;
    QString RemoteClientIP() const;
    QString RemoteClientName() const;
    int LocalServerPort() const;
    QString LocalServerIP() const;
    QString LocalServerName() const;
    int LocalClientPort() const;
    QString LocalClientIP() const;
    QString LocalClientName() const;
    bool Dead() const { return mblnDead; }
    void SetDead(bool value) { mblnDead = value; }
    QString SocketPairKey() const { return mstrSocketPairKey; }
    void SetSocketPairKey(const QString& value) { mstrSocketPairKey = value; }
    int ServerState() const;
    int ClientState() const;
    void ServerDisconnect();
    void ClientDisconnect();
    bool IsClientSendingData() const;
    bool IsServerSendingData() const;
    // Returns whether the send was throttled. strData is taken by value, so a
    // caller may pass its own buffer as strDataStillToBeSent.
    bool ClientSendData(QByteArray strData, QByteArray& strDataSent, QByteArray& strDataStillToBeSent);
    bool ServerSendData(QByteArray strData, QByteArray& strDataSent, QByteArray& strDataStillToBeSent);
    bool ClientInitialised() const { return mblnClientInitialised; }
    void tmrDangleStartTimer_Timer();
    void tmrTerminationTime_Timer();
    bool IsDanglingCurrentlyOn(bool blnClientToServer) const;

    // Back-pressure seam for the handlers: stop or resume reading from a peer.
    void SetServerReadingPaused(bool paused);
    void SetClientReadingPaused(bool paused);

private slots:
    void sckClient_Connect();
    void sckClient_DataArrival(qint64 bytesTotal);
    void sckServer_DataArrival(qint64 bytesTotal);
    void sckClient_Close();
    void sckServer_Close();
    void sckClient_Error(int Number, const QString& Description);
    void sckServer_Error(int Number, const QString& Description);
    void sckClient_SendComplete();
    void sckServer_SendComplete();
    void tmrC2SThrottleDataRequest_Timer();
    void tmrS2CThrottleDataRequest_Timer();
    void tmrDangleStopTimer_Timer();

private:
    std::shared_ptr<tsy::PeerLeaving> mLeaving;
    void Form_Load();
    void Form_Unload();
    bool SendData(bool blnClientSide, QByteArray& strData, QByteArray& strDataSent,
                  QByteArray& strDataStillToBeSent);
    static bool Armed(const tsy::WindowTimer* timer);
    static void Arm(tsy::WindowTimer* timer, int period);
    static void Disarm(tsy::WindowTimer* timer);

#ifdef TSY_BYTE_COUNT
    // Writes a breach of a socket's send count to the error log, once per socket.
    void CheckSendCount(bool blnClientSide);
    bool mblnClientCountBreached = false;
    bool mblnServerCountBreached = false;
#endif

    ThrottlePacer mC2SPacer;
    ThrottlePacer mS2CPacer;
    bool mblnDead = false;
    bool mblnClientInitialised = false;
    bool mblnLoaded = false;
    QString mstrSocketPairKey;
};
