#include "protocols/Pop3Routing.h"

#include "protocols/RoutingText.h"

namespace Pop3Routing {

bool ParsePortSetting(const QString& strPortSetting, int& lngPort, RoutingError* err)
{
    int code = 0;
    QString text;
    if (!RoutingText::WholeNumber(strPortSetting.toLatin1(), INT32_MIN, INT32_MAX, lngPort, code, text)) {
        lngPort = 0;
        if (err) *err = {code, text};
        return false;
    }
    return true;
}

bool RoutePop3Request(QByteArray& strRequest, QString& strServerName, int& lngServerPort,
                      const QString& strPortSetting, RoutingError* err)
{
    if (!ParsePortSetting(strPortSetting, lngServerPort, err)) {
        strServerName.clear();
        return false;
    }
    if (strRequest.count('#') != 1) return false;
    const int hash = strRequest.indexOf('#');
    QByteArray server = strRequest.mid(hash + 1);
    server.replace("\r\n", "");
    strServerName = QString::fromLatin1(server);
    strRequest = strRequest.left(hash) + "\r\n";
    return true;
}

bool IsPositiveGreeting(const QByteArray& strData)
{
    return strData.size() >= 3 && strData.left(3).toLower() == "+ok";
}

} // namespace Pop3Routing
