#pragma once
// Routing of the first block a POP3 mail client sends: the user name carries
// the mail server after a "#". Pure functions over the bytes and the port's
// setting, so they can be tested without sockets; the handler reads the
// setting and acts on the result.
#include <QByteArray>
#include <QString>

namespace Pop3Routing {

// Why routing stopped: the setting could not be read as a port.
struct RoutingError {
    int lngError = 0;
    QString strError;
};

// The mail server's port from the port's "Port" setting (text, default
// "110"): numeric text rounded to a whole 32-bit number. False when it is not.
bool ParsePortSetting(const QString& strPortSetting, int& lngPort, RoutingError* err = nullptr);

// Rewrites the first block in place. The server port comes from the setting
// first, whatever the block holds; when the setting is not a number the port
// is 0, the server name empty, the block untouched, *err describes it and the
// result is false. With exactly one "#" the block becomes the part before it
// followed by CR LF, the server name the part after it with every CR LF pair
// removed, and the result is true. With none or several the block and the
// server name stay as they were and the result is false.
bool RoutePop3Request(QByteArray& strRequest, QString& strServerName, int& lngServerPort,
                      const QString& strPortSetting, RoutingError* err = nullptr);

// The proxy's own replies before the login: to a command other than USER
// (which is not routed), and to QUIT (after which the connection closes).
inline constexpr char kLogInFirstReply[] = "-ERR Tessaly: log in first with USER name#mailserver\r\n";
inline constexpr char kGoodbyeReply[] = "+OK\r\n";

// True when a block from the mail server opens with "+OK" in any case.
bool IsPositiveGreeting(const QByteArray& strData);

} // namespace Pop3Routing
