// POP3 routing of the first block ("USER name#server") and the port setting.
#include "FuzzSupport.h"
#include "protocols/Pop3Routing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider in(bytes, size);
    const QString setting = QString::fromLatin1(Bytes(in.ConsumeRandomLengthString(32)));
    const QByteArray original = Bytes(in.ConsumeRemainingBytesAsString());

    int settingPort = -1;
    Pop3Routing::RoutingError settingErr;
    const bool settingOk = Pop3Routing::ParsePortSetting(setting, settingPort, &settingErr);
    if (!settingOk) FUZZ_CHECK(settingPort == 0 && (settingErr.lngError == 6 || settingErr.lngError == 13));

    QByteArray request = original;
    QString server = "before";
    int port = -1;
    Pop3Routing::RoutingError err;
    const bool routed = Pop3Routing::RoutePop3Request(request, server, port, setting, &err);
    FUZZ_CHECK(port == settingPort);
    if (!settingOk) {
        FUZZ_CHECK(!routed && server.isEmpty() && request == original && err.lngError == settingErr.lngError);
    } else if (routed) {
        // One "#": the user part and CR LF go on.
        FUZZ_CHECK(original.count('#') == 1);
        const qsizetype hash = original.indexOf('#');
        FUZZ_CHECK(request == original.left(hash) + "\r\n");
        FUZZ_CHECK(!server.contains(QLatin1Char('#')));
    } else {
        FUZZ_CHECK(original.count('#') != 1 && request == original && server == "before");
    }
    (void)Pop3Routing::IsPositiveGreeting(original);
    return 0;
}
