// POP3 routing of the first block ("USER name#server") and the port setting,
// and how the data before a login is told apart (shared with FTP).
#include "FuzzSupport.h"
#include "protocols/Pop3Routing.h"
#include "protocols/RoutingText.h"

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

    // Before the login the data is only split, never changed: a login is left
    // whole, another command gives up one whole line (or the longest held).
    QByteArray pending = original;
    QByteArray line = "stale";
    using RoutingText::BeforeLogin;
    const BeforeLogin step = RoutingText::TakeCommandBeforeLogin(pending, line, "USER");
    FUZZ_CHECK(line + pending == original);
    const qsizetype nl = original.indexOf('\n');
    switch (step) {
    case BeforeLogin::Login:
        FUZZ_CHECK(line.isEmpty() && original.size() > 4 && original.left(4).toUpper() == "USER");
        FUZZ_CHECK(QByteArray(" \t\r\n").contains(original[4]));
        break;
    case BeforeLogin::Wait:
        FUZZ_CHECK(line.isEmpty() && nl < 0 && original.size() < RoutingText::kMaxLineBeforeLogin);
        break;
    default:
        FUZZ_CHECK(line.size() == (nl >= 0 ? nl + 1 : original.size()) && !line.isEmpty());
        FUZZ_CHECK(nl >= 0 || original.size() >= RoutingText::kMaxLineBeforeLogin);
        if (step == BeforeLogin::Quit) FUZZ_CHECK(line.left(4).toUpper() == "QUIT");
        break;
    }
    return 0;
}
