#pragma once
// POP3 proxy: greets the mail client with its own "+OK", takes the mail
// server from the USER command ("USER name#server"; commands before it get
// the proxy's own "-ERR"), forwards that command
// without the "#" part once the mail server has greeted, and keeps the mail
// server's greeting from the client. Afterwards both directions are relayed
// unchanged.
#include "protocols/ProtocolRelay.h"

class ProtocolPOP3 : public ProtocolRelay {
public:
    QString GetProtocolName() const override { return QStringLiteral("POP3"); }
    void ShowProperties(int lngPort, QWidget* frmParent) override;
    void LocalServerAcceptedConnection() override;
    void ClientBytesReceived(const QByteArray& strData) override;
    void ServerBytesReceived(const QByteArray& strData) override;

    // Read-only views for tests.
    bool AwaitingServerGreeting() const { return mblnAwaitingServerGreeting; }

protected:
    QString ProtocolText() const override { return QStringLiteral("POP3"); }
    bool FlushesBufferAtConnect() const override { return false; }
    void ServerBytesBeforeConnected(const QByteArray& strData) override;

private:
    bool RoutePop3Request(QByteArray& strRequest, QString& strServerName, int& lngServerPort);
    // The routing command (and whatever followed it) waits for the greeting.
    bool HoldingRequest() const;

    bool mblnAwaitingServerGreeting = false;
};
