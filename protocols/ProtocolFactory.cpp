#include "protocols/ProtocolFactory.h"

#include "protocols/ProtocolPassThru.h"

std::shared_ptr<ProtocolHandler> CreateProtocolHandler(const QString& protocolTableValue)
{
    // Exact, case-sensitive names as the port table stores them.
    if (protocolTableValue == QStringLiteral("Pass Through")
        || protocolTableValue == QStringLiteral("FTP Data - Dynamically allocated"))
        return std::make_shared<ProtocolPassThru>();
    return nullptr;
}
