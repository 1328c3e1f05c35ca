#pragma once
// HTTP forward proxy: the first request line of a connection names the web
// server (or the port sends everything to an upstream proxy); that line's
// absolute target is rewritten to its path, the server is asked to close
// after its answer and the proxy's own header lines are dropped, and from
// then on both directions are relayed unchanged. Each connection is routed
// exactly once, so a client's next request comes on a new connection.
#include "protocols/HttpRouting.h"
#include "protocols/ProtocolRelay.h"

class ProtocolHTTP : public ProtocolRelay {
public:
    QString GetProtocolName() const override { return QStringLiteral("HTTP"); }
    void ShowProperties(int lngPort, QWidget* frmParent) override;
    void LocalServerAcceptedConnection() override;

protected:
    QString ProtocolText() const override { return QStringLiteral("HTTP"); }
    void ServerBytesBeforeConnected(const QByteArray& strData) override;

    // What differs between HTTP and HTTPS routing.
    virtual HttpRouting::RouteResult Route(QByteArray& strData, const HttpRouting::RouteSettings& settings) const;
    // Whether the first data is forwarded once the attempt has started.
    virtual bool ForwardsFirstData() const { return true; }

    // Chooses the server and port from the first data, rewriting it in place;
    // a failure is reported and leaves what had been found by then.
    bool RouteHttpRequest(QByteArray& strData, QString& strServerName, int& lngServerPort);
};
