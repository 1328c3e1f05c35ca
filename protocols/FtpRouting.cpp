#include "protocols/FtpRouting.h"

#include "protocols/RoutingText.h"

#include <QList>
#include <cmath>

namespace FtpRouting {

namespace {

const char kPasvWords[] = "227 Entering Passive Mode";

// A whole number 0-255 written in decimal digits only.
bool ByteField(const QByteArray& piece, int& value)
{
    const QByteArray t = RoutingText::Trimmed(piece);
    if (t.isEmpty() || t.size() > 8) return false;
    int v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > 255) return false;
    value = v;
    return true;
}

QString DataPortFailureSentence(const DataPortResult& r)
{
    return QStringLiteral("An error occurred while attempting to listen on an Ephemeral port %1 "
                          "(a short-lived random port in the range 1024-5000).  The operating system reports: %2, %3")
        .arg(r.lngPort)
        .arg(r.lngError)
        .arg(r.strError);
}

QString RouteFailureSentence(const char* command, const RoutingError& e)
{
    return QStringLiteral("An error occurred while attempting to route the %1 command (FTP).  The operating system reports: %2, %3")
        .arg(QLatin1String(command))
        .arg(e.lngError)
        .arg(e.strError);
}

// Moves whatever follows the first LF into rest.
void SplitFirstLine(QByteArray& text, QByteArray& rest)
{
    const qsizetype nl = text.indexOf('\n');
    if (nl >= 0 && nl + 1 < text.size()) {
        rest = text.mid(nl + 1);
        text.truncate(nl + 1);
    }
}

const RoutingError kBadLocalAddress{13, QStringLiteral("The proxy's local address is not an IPv4 address")};

} // namespace

bool RouteFtpRequest(QByteArray& strRequest, QString& strHostName, int& lngPort, RoutingError* err)
{
    const QList<QByteArray> atPieces = strRequest.split('@');
    const QByteArray hostPart = atPieces.last();
    const QList<QByteArray> colonPieces = hostPart.split(':');
    QByteArray host = colonPieces.first();
    host.replace("\r\n", "");
    strHostName = QString::fromLatin1(host);
    if (colonPieces.size() > 1) {
        int code = 0;
        QString text;
        int port = 0;
        if (!RoutingText::WholeNumber(colonPieces.at(1), 0, 65535, port, code, text)) {
            lngPort = 0;
            if (err) *err = {code, text};
            return false;
        }
        lngPort = port;
    } else {
        lngPort = kDefaultFtpPort;
    }
    if (atPieces.size() < 2) {
        strRequest.clear();
        if (err) *err = {9, QStringLiteral("Subscript out of range")};
        return false;
    }
    const qsizetype lastAt = strRequest.lastIndexOf('@');
    strRequest = strRequest.left(lastAt) + "\r\n";
    return true;
}

int RandomDataPort(double r)
{
    return int(std::nearbyint(r * (kDataPortHigh - kDataPortLow) + kDataPortLow));
}

bool IsServerGreeting(const QByteArray& strData) { return strData.startsWith("220 "); }

bool IsPortCommand(const QByteArray& strData) { return strData.left(5).toLower() == "port "; }

bool IsPasvReply(const QByteArray& strData)
{
    const qsizetype n = sizeof(kPasvWords) - 1;
    return strData.left(n).toLower() == QByteArray(kPasvWords).toLower();
}

bool IsExtendedDataCommand(const QByteArray& strData)
{
    const QByteArray word = strData.left(4).toLower();
    if (word != "epsv" && word != "eprt") return false;
    if (strData.size() == 4) return true;
    const char next = strData[4];
    return next == ' ' || next == '\r' || next == '\n';
}

bool ParseHostPort(const QByteArray& strText, QString& strIP, int& lngPort, RoutingError* err)
{
    const QList<QByteArray> pieces = strText.split(',');
    if (pieces.size() < 6) {
        if (err) *err = {9, QStringLiteral("The address must be six comma-separated numbers")};
        return false;
    }
    QByteArray first = pieces.at(0);
    const qsizetype blank = first.indexOf(' ');
    if (blank >= 0) first = first.mid(blank + 1);
    int n[6];
    for (int i = 0; i < 6; ++i) {
        if (!ByteField(i == 0 ? first : pieces.at(i), n[i])) {
            if (err) *err = {13, QStringLiteral("Each of the six address numbers must be a whole number from 0 to 255")};
            return false;
        }
    }
    strIP = QStringLiteral("%1.%2.%3.%4").arg(n[0]).arg(n[1]).arg(n[2]).arg(n[3]);
    lngPort = n[4] * 256 + n[5];
    return true;
}

QByteArray EncodeHostPort(const QString& strIP, int lngPort)
{
    if (lngPort < 0 || lngPort > 65535) return {};
    QString ip = strIP.trimmed();
    if (ip.startsWith(QLatin1String("::ffff:"), Qt::CaseInsensitive)) ip = ip.mid(7);
    const QStringList parts = ip.split(QLatin1Char('.'));
    if (parts.size() != 4) return {};
    QByteArray out;
    for (const QString& p : parts) {
        int v = 0;
        if (!ByteField(p.toLatin1(), v) || p != p.trimmed()) return {};
        out += QByteArray::number(v) + ',';
    }
    out += QByteArray::number(lngPort / 256) + ',' + QByteArray::number(lngPort % 256);
    return out;
}

bool PasvAddressText(const QByteArray& strReply, QByteArray& strInner)
{
    const qsizetype open = strReply.indexOf('(');
    const QByteArray after = open >= 0 ? strReply.mid(open + 1) : strReply;
    const qsizetype close = after.indexOf(')');
    if (close < 0) return false;
    strInner = after.left(close);
    return true;
}

QByteArray ErrorReply(const QString& strError)
{
    QByteArray text = strError.toLatin1();
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return "451 Tessaly: " + text + "\r\n";
}

RewriteResult DeclineExtendedDataCommand(QByteArray& strCommand)
{
    RewriteResult res;
    SplitFirstLine(strCommand, res.strRest);
    const QByteArray word = strCommand.left(4).toUpper();
    strCommand = "502 Tessaly: " + word + " is not offered through this proxy; use " + (word == "EPSV" ? "PASV" : "PORT")
        + "\r\n";
    return res;
}

RewriteResult RouteFtpPortCommand(QByteArray& strCommand, const QString& strLocalIP, const DataPortOpener& open)
{
    RewriteResult res;
    SplitFirstLine(strCommand, res.strRest);
    QString ip;
    int port = 0;
    RoutingError e;
    if (!ParseHostPort(strCommand, ip, port, &e)) {
        res.strLog = RouteFailureSentence("PORT", e);
        strCommand = ErrorReply(e.strError);
        return res;
    }
    // Checked before a port is opened, so a failure leaves no data port behind.
    if (EncodeHostPort(strLocalIP, 0).isEmpty()) {
        res.strLog = RouteFailureSentence("PORT", kBadLocalAddress);
        strCommand = ErrorReply(kBadLocalAddress.strError);
        return res;
    }
    const DataPortResult dp = open(ip, port);
    if (!dp.blnOK) {
        res.strLog = DataPortFailureSentence(dp);
        strCommand = ErrorReply(dp.strError);
        return res;
    }
    res.blnOpened = true;
    res.lngDataPort = dp.lngPort;
    res.blnForward = true;
    strCommand = "PORT " + EncodeHostPort(strLocalIP, dp.lngPort) + "\r\n";
    return res;
}

RewriteResult RouteFtpPasvReply(QByteArray& strReply, const QString& strLocalIP, const DataPortOpener& open)
{
    RewriteResult res;
    SplitFirstLine(strReply, res.strRest);
    QByteArray inner;
    QString ip;
    int port = 0;
    RoutingError e;
    if (!PasvAddressText(strReply, inner)) {
        e = {9, QStringLiteral("The passive-mode reply holds no closing bracket")};
        res.strLog = RouteFailureSentence("PASV", e);
        return res;
    }
    if (!ParseHostPort(inner, ip, port, &e)) {
        res.strLog = RouteFailureSentence("PASV", e);
        return res;
    }
    if (EncodeHostPort(strLocalIP, 0).isEmpty()) {
        res.strLog = RouteFailureSentence("PASV", kBadLocalAddress);
        return res;
    }
    const DataPortResult dp = open(ip, port);
    if (!dp.blnOK) {
        res.strLog = DataPortFailureSentence(dp);
        strReply = ErrorReply(dp.strError);
        return res;
    }
    res.blnOpened = true;
    res.lngDataPort = dp.lngPort;
    res.blnForward = true;
    strReply = QByteArray(kPasvWords) + " (" + EncodeHostPort(strLocalIP, dp.lngPort) + ")\r\n";
    return res;
}

} // namespace FtpRouting
