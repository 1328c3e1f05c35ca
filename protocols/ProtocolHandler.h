#pragma once
// The contract every protocol handler keeps, so that any of them can stand
// behind a socket pair.
#include <QByteArray>
#include <QPointer>
#include <QString>

class QWidget;
class SocketPair;
class Logging;

class ProtocolHandler {
public:
    virtual ~ProtocolHandler() = default;

    // Attached values, set by others.
    QPointer<SocketPair> mobjSocketPair;
    Logging* mobjLogging = nullptr;
    int mlngWasListeningOnPort = 0;

    virtual QString GetProtocolName() const = 0;
    virtual void ShowProperties(int lngPort, QWidget* frmParent) = 0;
    virtual void LocalServerAcceptedConnection() = 0;
    virtual void LocalServerRejectedConnection() = 0;
    virtual void ConnectedToRemoteServer(const QString& strComment) = 0;
    virtual void RemoteServerInitiatedDisconnection(const QString& strComment) = 0;
    virtual void ClientBytesReceived(const QByteArray& strData) = 0;
    virtual void ClientBytesSent() = 0;
    virtual void RemoteClientInitiatedDisconnection() = 0;
    virtual void ServerBytesReceived(const QByteArray& strData) = 0;
    virtual void ServerError(int lngError, const QString& strError) = 0;
    virtual void ClientError(int lngError, const QString& strError) = 0;
    virtual void ServerBytesSent() = 0;
    virtual bool ResumeThrottledOrDangledClientSend(bool blnDiscardData) = 0;
    virtual bool ResumeThrottledOrDangledServerSend(bool blnDiscardData) = 0;
    virtual void DanglingStatusChanged(bool blnDanglingOn, int intDataBeingDangled, int lngTimeDuringDangle) = 0;
};
