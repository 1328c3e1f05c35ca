#include "protocols/ProtocolFactory.h"

#include "protocols/ProtocolFTP.h"
#include "protocols/ProtocolHTTP.h"
#include "protocols/ProtocolHTTPS.h"
#include "protocols/ProtocolPOP3.h"
#include "protocols/ProtocolPassThru.h"

std::shared_ptr<ProtocolHandler> CreateProtocolHandler(const QString& protocolTableValue)
{
    // Exact, case-sensitive names as the port table stores them.
    if (protocolTableValue == QStringLiteral("Pass Through")
        || protocolTableValue == QStringLiteral("FTP Data - Dynamically allocated"))
        return std::make_shared<ProtocolPassThru>();
    if (protocolTableValue == QStringLiteral("POP3")) return std::make_shared<ProtocolPOP3>();
    if (protocolTableValue == QStringLiteral("FTP")) return std::make_shared<ProtocolFTP>();
    if (protocolTableValue == QStringLiteral("HTTP")) return std::make_shared<ProtocolHTTP>();
    if (protocolTableValue == QStringLiteral("HTTPS")) return std::make_shared<ProtocolHTTPS>();
    return nullptr;
}
