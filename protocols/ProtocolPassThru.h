#pragma once
// Relays a connection unchanged to the server configured for its listening
// port ("Protocols\Pass Through\Port <port>", keys Server and Port).
#include "protocols/ProtocolRelay.h"

class ProtocolPassThru : public ProtocolRelay {
public:
    QString GetProtocolName() const override { return QStringLiteral("Pass Through"); }
    void ShowProperties(int lngPort, QWidget* frmParent) override;
    void LocalServerAcceptedConnection() override;

    // Host used when a port has no Server setting: never resolves.
    static constexpr const char* kPlaceholderServer = "no-server-configured.invalid";

protected:
    QString ProtocolText() const override { return QStringLiteral("Pass Thru"); }
    QString ActionPhrase(Member m) const override;
    bool IsRoutingClass() const override { return false; }
    qint64 ContinuationPieceLimit() const override { return 8192; }
    bool UsesNoSiteError() const override { return false; }
    bool ClosesPendingOnDangle() const override { return true; }
    bool RelaysUnchanged() const override { return true; }

private:
    bool GetDestinationServerAndPort(int lngPort, QString& strServer, int& lngRemotePort);
};
