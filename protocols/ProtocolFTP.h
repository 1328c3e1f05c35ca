#pragma once
// FTP proxy for the control connection: greets the client itself, takes the
// server from the USER line ("USER user@host[:port]"; lines before it get
// the proxy's own "530"), holds the rewritten USER line until the server's
// "220 " greeting (which the client never sees), and turns PORT commands and
// passive-mode replies towards one-shot proxy data ports, each relayed by a
// Pass Through handler; EPSV and EPRT are declined so that no data
// connection goes around the proxy.
#include "protocols/ProtocolRelay.h"

#include <QList>
#include <QPointer>
#include <functional>
#include <memory>

class QObject;
namespace tsy {
class Winsock;
}

class ProtocolFTP : public ProtocolRelay {
public:
    ProtocolFTP();
    ~ProtocolFTP() override;

    QString GetProtocolName() const override { return QStringLiteral("FTP"); }
    void ShowProperties(int lngPort, QWidget* frmParent) override;
    void LocalServerAcceptedConnection() override;
    void ClientBytesReceived(const QByteArray& strData) override;
    void ServerBytesReceived(const QByteArray& strData) override;

    // Registers and opens one data port from 1024 to 5000 that relays to
    // strIP:lngRemotePort: settings, listening socket tagged "Ephemeral", tree
    // node. Up to 10 random ports are tried; a port that the port table holds
    // or that a socket of ours already listens on counts as in use. On success
    // the pending events are processed once before it returns True.
    bool StartListeningOnRandomPort(int& lngPort, const QString& strDescription, int& lngError, QString& strError,
                                    const QString& strName, int lngRemotePort, const QString& strIP);

    // Read-only view for tests.
    bool HoldingRequest() const { return mblnHoldingRequest; }

protected:
    QString ProtocolText() const override { return QStringLiteral("FTP"); }
    QString ActionPhrase(Member m) const override;
    bool FlushesBufferAtConnect() const override { return false; }
    bool UsesNoSiteError() const override { return false; }
    void ServerBytesBeforeConnected(const QByteArray& strData) override;
    // Data ports opened for this connection that were never used stop
    // listening: a stranger must not reach the FTP server's data port later.
    void ConnectionEnded() override;

private:
    bool RouteFtpRequest(QByteArray& strRequest, QString& strHostName, int& lngPort);
    bool RouteFtpPortCommand(QByteArray& strCommand, QByteArray& strRest);
    bool RouteFtpPasvReply(QByteArray& strReply, QByteArray& strRest);
    void SendDataToRemoteServer(const QByteArray& strData);

    // Client data once connected: examined, rewritten and relayed in order.
    void ClientDataArrived(const QByteArray& strData);
    void ProcessClientData(const QByteArray& strData);
    void RewritePortCommandAndRelay(const QByteArray& strData);
    // EPSV and EPRT get the proxy's own refusal; the client falls back to
    // PASV or PORT, whose data ports run through the proxy.
    void DeclineExtendedDataCommand(const QByteArray& strData);
    void DrainClientData();
    void RelayToRemoteServer(const QByteArray& strData);
    // Server data after the greeting test, likewise.
    void ServerDataArrived(const QByteArray& strData);
    void ProcessServerData(const QByteArray& strData);
    void RewritePasvReplyAndRelay(const QByteArray& strData);
    void DrainServerData();
    void RelayToRemoteClient(const QByteArray& strData);

    // Runs fn from the event loop, outside the socket event being handled:
    // opening a data port processes events, in which this connection's
    // sockets may close and go away.
    void Defer(std::function<void()> fn);
    std::unique_ptr<QObject> mobjDeferral;

    // Keeps this handler alive across the event processing of a data port's
    // opening, in which its pair may be unloaded.
    std::shared_ptr<ProtocolHandler> KeepAlive() const;
    bool PairEnded() const;
    bool PortTaken(int lngPort) const;

    // The data ports this connection opened (gone or retired once used).
    QList<QPointer<tsy::Winsock>> mcolDataPorts;

    // The USER line waits for the server's greeting; client data queues behind it.
    bool mblnHoldingRequest = false;
    // A rewrite of this direction is pending or opening a data port (and
    // processing events): data of that direction arriving meanwhile waits
    // here, and goes on after the rewritten command or reply.
    bool mblnRewritingC2S = false;
    bool mblnRewritingS2C = false;
    QList<QByteArray> mcolC2SDuringRewrite;
    QList<QByteArray> mcolS2CDuringRewrite;
};
