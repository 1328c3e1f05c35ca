#pragma once
// HTTPS tunnel for the CONNECT method: the CONNECT line names the server (or
// the port sends everything to an upstream proxy), the CONNECT request itself
// is never forwarded, the client gets the proxy's own reply once the
// outgoing connection is up, and the encrypted bytes are then relayed
// unchanged. Otherwise the same as the HTTP handler.
#include "protocols/ProtocolHTTP.h"

class ProtocolHTTPS : public ProtocolHTTP {
public:
    QString GetProtocolName() const override { return QStringLiteral("HTTPS"); }
    void ShowProperties(int lngPort, QWidget* frmParent) override;
    void ConnectedToRemoteServer(const QString& strComment) override;

    // Sent to the client when the outgoing connection has been made (76 bytes).
    static const QByteArray& ConnectionEstablishedReply();

protected:
    QString ProtocolText() const override { return QStringLiteral("HTTPS"); }
    HttpRouting::RouteResult Route(QByteArray& strData, const HttpRouting::RouteSettings& settings) const override;
    bool ForwardsFirstData() const override { return false; }
};
