#pragma once
// A fresh handler for a port-table value ("Pass Through", "HTTP"...), or
// nullptr when no handler serves that value.
#include <QString>
#include <memory>

class ProtocolHandler;

std::shared_ptr<ProtocolHandler> CreateProtocolHandler(const QString& protocolTableValue);
