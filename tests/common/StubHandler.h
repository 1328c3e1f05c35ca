#pragma once
// A protocol prototype that only names its protocol: every event is ignored.
// Tests derive from it to watch the calls they care about.
#include "protocols/ProtocolHandler.h"

#include <QString>
#include <utility>

namespace tsytest {

class StubHandler : public ProtocolHandler {
public:
    explicit StubHandler(QString name) : mName(std::move(name)) {}
    QString GetProtocolName() const override { return mName; }
    void LocalServerAcceptedConnection() override {}
    void LocalServerRejectedConnection() override {}
    void ConnectedToRemoteServer(const QString&) override {}
    void RemoteServerInitiatedDisconnection(const QString&) override {}
    void ClientBytesReceived(const QByteArray&) override {}
    void ClientBytesSent() override {}
    void RemoteClientInitiatedDisconnection() override {}
    void ServerBytesReceived(const QByteArray&) override {}
    void ServerError(int, const QString&) override {}
    void ClientError(int, const QString&) override {}
    void ServerBytesSent() override {}
    bool ResumeThrottledOrDangledClientSend(bool) override { return false; }
    bool ResumeThrottledOrDangledServerSend(bool) override { return false; }
    void DanglingStatusChanged(bool, int, int) override {}

private:
    QString mName;
};

} // namespace tsytest
