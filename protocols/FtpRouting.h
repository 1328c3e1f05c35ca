#pragma once
// FTP control-connection rewriting: the server chosen from the first client
// line ("user@host[:port]"), and PORT commands and passive-mode replies
// turned towards a one-shot proxy data port. Pure functions over the bytes;
// opening the data port is handed in by the caller, so the rewrites can be
// tested without sockets.
#include <QByteArray>
#include <QString>
#include <functional>

namespace FtpRouting {

inline constexpr const char* kDataPortName = "FTP Data - Dynamically allocated";

// Data ports are drawn from this range.
inline constexpr int kDataPortLow = 1024;
inline constexpr int kDataPortHigh = 5000;

// The data port for a draw r in [0, 1): r * 3976 + 1024 rounded to the
// nearest whole number, a half to the even neighbour.
int RandomDataPort(double r);

// Default port of the FTP server when the first line names none.
inline constexpr int kDefaultFtpPort = 21;

struct RoutingError {
    int lngError = 0;
    QString strError;
};

// The first client line. The host part is the text after the last "@"; its
// first ":"-piece, without CR LF pairs, is the host name and its second, read
// as a number 0-65535, the port (21 without one). The line becomes the text
// before the last "@" followed by CR LF. Result false, with *err, when the
// port is not a number (port 0, line unchanged) or the line holds no "@"
// (line empty, host and port from the whole line).
bool RouteFtpRequest(QByteArray& strRequest, QString& strHostName, int& lngPort, RoutingError* err = nullptr);

// The proxy's own replies before the login: to a command other than USER
// (which is not routed), and to QUIT (after which the connection closes).
inline constexpr char kLogInFirstReply[] = "530 Tessaly: log in first with USER user@host\r\n";
inline constexpr char kGoodbyeReply[] = "221 Tessaly: goodbye\r\n";

// True when the server's data opens with "220 " exactly (its greeting).
bool IsServerGreeting(const QByteArray& strData);
// True when a client's data opens with "port " in any case.
bool IsPortCommand(const QByteArray& strData);
// True when a server's data opens with "227 Entering Passive Mode" in any case.
bool IsPasvReply(const QByteArray& strData);
// True when a client's data opens with the command EPSV or EPRT in any case.
// Their replies and arguments carry a port without an address (or an address
// the proxy cannot stand in for), so they are declined and the client falls
// back to PASV or PORT, which the proxy rewrites.
bool IsExtendedDataCommand(const QByteArray& strData);

// The six comma-separated numbers h1,h2,h3,h4,p1,p2. The first is read after
// the first blank of the first piece (the whole piece without a blank).
// Blanks and line ends around each piece are allowed; each must be a whole
// number 0-255, and fewer than six pieces fail. Fields after the sixth are
// ignored.
bool ParseHostPort(const QByteArray& strText, QString& strIP, int& lngPort, RoutingError* err = nullptr);

// "h1,h2,h3,h4,p1,p2" for a dotted IPv4 address and a port 0-65535; empty when
// the address is not four numbers 0-255 (an IPv4-mapped IPv6 address is taken
// as its IPv4 part).
QByteArray EncodeHostPort(const QString& strIP, int lngPort);

// The text inside the first "(" ... ")" of a passive-mode reply (all of it
// from the start when there is no "("); false when no ")" follows.
bool PasvAddressText(const QByteArray& strReply, QByteArray& strInner);

// "451 Tessaly: " text CR LF, with line ends in the text blanked out so the
// reply stays one line.
QByteArray ErrorReply(const QString& strError);

// What opening a data port gave: the port tried last and, on failure, the
// last listening error.
struct DataPortResult {
    bool blnOK = false;
    int lngPort = 0;
    int lngError = 0;
    QString strError;
};
// Opens a one-shot data port relaying to strIP:lngRemotePort.
using DataPortOpener = std::function<DataPortResult(const QString& strIP, int lngRemotePort)>;

// What a rewrite did. blnForward: the text now holds the rewritten command or
// reply; otherwise it holds what goes to the remote client instead.
// strLog: a sentence for the error log (empty when nothing is to be logged).
struct RewriteResult {
    bool blnForward = false;
    bool blnOpened = false;   // a data port was opened
    int lngDataPort = 0;
    QString strLog;
    // Whatever followed the first line end of the data (a client that sends
    // its next command in the same chunk): relayed on as it came, after the
    // rewritten line or the reply that replaces it.
    QByteArray strRest;
};

// EPSV or EPRT: the first line becomes the proxy's own "502 Tessaly: " reply
// for the client (blnForward false, nothing is logged); the rest goes to strRest.
RewriteResult DeclineExtendedDataCommand(QByteArray& strCommand);

// Only the first line of the data is rewritten; the rest goes to strRest.
// PORT h1,h2,h3,h4,p1,p2: opens a data port towards the announced address
// and, on success, becomes "PORT " + strLocalIP's numbers + new port + CR LF.
// A command that cannot be parsed, a data port that cannot be opened, and a
// local address that cannot be encoded all give the "451 Tessaly: " reply.
RewriteResult RouteFtpPortCommand(QByteArray& strCommand, const QString& strLocalIP, const DataPortOpener& open);

// 227 Entering Passive Mode (h1,...,p2): likewise; on success the reply
// becomes "227 Entering Passive Mode (" ... ")" CR LF (what followed the ")"
// is dropped). A reply that cannot be parsed is left unchanged (not
// forwarded as rewritten, the caller relays it as it came); a data port that
// cannot be opened gives the "451 Tessaly: " reply.
RewriteResult RouteFtpPasvReply(QByteArray& strReply, const QString& strLocalIP, const DataPortOpener& open);

} // namespace FtpRouting
