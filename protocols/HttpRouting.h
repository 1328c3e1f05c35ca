#pragma once
// Routing of the first client data of an HTTP or HTTPS proxy connection:
// where to connect, and the request rewritten for a direct server. Pure
// functions over the bytes and the port's settings, so they can be tested
// without sockets; the handlers read the settings and act on the result.
#include <QByteArray>
#include <QString>

namespace HttpRouting {

// The port's settings as the store gives them, defaults already applied
// (absent ConnectToProxy "False", Port and SpecificPort "80", Proxy a
// placeholder host name).
struct RouteSettings {
    QString strConnectToProxy;
    QString strProxy;
    QString strPort;
    QString strSpecificPort;
};

// Where the connection goes. When blnFailed is set, routing stopped at a
// setting or text it could not convert: strServerName and lngPort hold what
// had been found by then (port 0 when no port was settled) and lngError /
// strError describe the failure.
struct RouteResult {
    QString strServerName;
    int lngPort = 0;
    bool blnFailed = false;
    int lngError = 0;
    QString strError;
    // Direct mode found the request line and rewrote its target.
    bool blnRewritten = false;
};

// Host used when an upstream proxy is switched on but none is named; it can
// never resolve, so the client gets the NoSiteError text.
inline constexpr const char* kPlaceholderProxy = "upstream-proxy.invalid";

// Reads "Protocols\<protocol>\Port <port>" with the defaults above.
RouteSettings ReadRouteSettings(const QString& strProtocolName, int lngLocalPort);

// HTTP: the first data of the connection, rewritten in place in direct mode
// (absolute target → path, then CloseAfterOneResponse), untouched in
// upstream-proxy mode.
RouteResult RouteHttpRequest(QByteArray& strData, const RouteSettings& settings);
// HTTPS: the same with the "https://" prefix (the data is dropped by the
// handler afterwards, so the rewrite has no effect on the wire).
RouteResult RouteHttpsRequest(QByteArray& strData, const RouteSettings& settings);

// Shared body: strPrefix is the scheme prefix removed from the target.
RouteResult RouteRequest(QByteArray& strData, const RouteSettings& settings, const QByteArray& strPrefix);

// A connection is routed once, by its first request, so the origin server
// must not keep it open for a next request that may name another host: a
// "Connection: close" line goes right after the request line, and the header
// lines that speak to the proxy rather than the server (Connection,
// Proxy-Connection, Keep-Alive, Proxy-Authorization, with their continuation
// lines) are dropped where they lie wholly within the data, before the blank
// line that ends the header. A request that asks to upgrade its connection
// (a Connection field naming "upgrade" and an Upgrade field, both within the
// data) keeps its Connection field and gets no close: an upgraded connection
// stays with its server anyway. Every other byte stays as it was. Needs the
// request line's end (LF or CR LF) within the data; without it the data is
// left alone and the result is false.
bool CloseAfterOneResponse(QByteArray& strData);

// Text → truth value as the store keeps it ("True"/"False", or a number,
// non-zero meaning true); false when it is neither.
bool ParseTruth(const QString& text, bool* value);

} // namespace HttpRouting
