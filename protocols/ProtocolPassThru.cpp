// Pass Through: connect out at once to the port's configured server and relay
// both directions unchanged.
#include "protocols/ProtocolPassThru.h"
#include "protocols/frmProtocolPassThruPP.h"

#include "engine/General.h"
#include "engine/SocketPair.h"
#include "history/Logging.h"
#include "platform/KeyedCollection.h"
#include "platform/Numbers.h"
#include "platform/Settings.h"

#include <limits>

QString ProtocolPassThru::ActionPhrase(Member m) const
{
    switch (m) {
    case Member::LocalServerAcceptedConnection: return QStringLiteral("process the connection request from the remote client");
    case Member::ClientBytesSent: return QStringLiteral("process the data sent through the local client");
    case Member::RemoteClientInitiatedDisconnection: return QStringLiteral("process the remote client's disconnection");
    case Member::ServerBytesReceived: return QStringLiteral("process the data arriving on the local server");
    case Member::ServerError: return QStringLiteral("process the local server's error");
    case Member::ClientError: return QStringLiteral("process the local client's error");
    default: return ProtocolRelay::ActionPhrase(m);
    }
}

void ProtocolPassThru::ShowProperties(int lngPort, QWidget* frmParent)
{
    ShowPropertyPage<frmProtocolPassThruPP>(this, lngPort, frmParent);
}

void ProtocolPassThru::LocalServerAcceptedConnection()
{
    Trap(Member::LocalServerAcceptedConnection, [&] {
        CommonOpening(true);
        const int lngPort = Pair().LocalServerPort();
        QString strServer;
        int lngRemotePort = 0;
        GetDestinationServerAndPort(lngPort, strServer, lngRemotePort);
        ConnectAttempt(strServer, lngRemotePort);
    });
}

bool ProtocolPassThru::GetDestinationServerAndPort(int lngPort, QString& strServer, int& lngRemotePort)
{
    try {
        const QString section = QStringLiteral("Protocols\\Pass Through\\Port ") + QString::number(lngPort);
        const QString port = tsy::Settings::GetSetting(section, QStringLiteral("Port"), QStringLiteral("80"));
        if (!tsy::Numbers::IsNumeric(port)) throw tsy::CollectionError(13, "Type mismatch");
        const auto value = tsy::Numbers::WholeInRange(port, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
        if (!value) throw tsy::CollectionError(6, "Overflow");
        const QString server =
            tsy::Settings::GetSetting(section, QStringLiteral("Server"), QString::fromLatin1(kPlaceholderServer));
        lngRemotePort = int(*value);
        strServer = server;
        return true;
    } catch (...) {
        General::LogFailure(QStringLiteral("An error occurred while attempting to get the destination server and port "
                                           "(Pass Through).  The operating system reports: "),
                            std::current_exception());
        return false;
    }
}
