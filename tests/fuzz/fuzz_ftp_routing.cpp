// FTP routing: the first client line, PORT commands and passive-mode replies.
#include "FuzzSupport.h"
#include "protocols/FtpRouting.h"

namespace {

// The rewritten line carries the proxy's address and the data port opened.
void CheckAddress(const QByteArray& numbers, const QString& localIP, int dataPort)
{
    int n[6];
    FUZZ_CHECK(SixNumbers(numbers, n));
    FUZZ_CHECK(QStringLiteral("%1.%2.%3.%4").arg(n[0]).arg(n[1]).arg(n[2]).arg(n[3]) == localIP);
    FUZZ_CHECK(n[4] * 256 + n[5] == dataPort);
}

// One line: the 451 reply, CR LF only at its end.
void CheckErrorReply(const QByteArray& text)
{
    FUZZ_CHECK(text.startsWith("451 Tessaly: ") && text.endsWith("\r\n"));
    FUZZ_CHECK(text.count('\r') == 1 && text.count('\n') == 1);
}

QByteArray FirstLine(const QByteArray& data)
{
    const qsizetype nl = data.indexOf('\n');
    return nl < 0 ? data : data.left(nl + 1);
}

void CheckUser(const QByteArray& original)
{
    QByteArray request = original;
    QString host;
    int port = -1;
    FtpRouting::RoutingError err;
    if (FtpRouting::RouteFtpRequest(request, host, port, &err)) {
        FUZZ_CHECK(port >= 0 && port <= 65535);
        FUZZ_CHECK(request == original.left(original.lastIndexOf('@')) + "\r\n");
    } else {
        FUZZ_CHECK(err.lngError == 6 || err.lngError == 13 || err.lngError == 9);
        if (err.lngError == 9) FUZZ_CHECK(request.isEmpty() && !original.contains('@'));
        else FUZZ_CHECK(port == 0 && request == original);
    }
}

void CheckRewrite(FuzzedDataProvider& in, bool pasv)
{
    static const char* const kLocal[] = {"127.0.0.1", "10.1.2.3", "::ffff:192.168.0.9", "255.255.255.255", "0.0.0.0",
                                         "not an address", ""};
    const QString localIP = QString::fromLatin1(kLocal[in.ConsumeIntegralInRange<int>(0, 6)]);
    const bool openOk = in.ConsumeBool();
    const int dataPort = in.ConsumeIntegralInRange<int>(FtpRouting::kDataPortLow, FtpRouting::kDataPortHigh);
    const QByteArray original = Bytes(in.ConsumeRemainingBytesAsString());

    int calls = 0;
    QString askedIP;
    int askedPort = -1;
    auto open = [&](const QString& ip, int port) {
        ++calls;
        askedIP = ip;
        askedPort = port;
        FtpRouting::DataPortResult r;
        r.blnOK = openOk;
        r.lngPort = dataPort;
        if (!openOk) {
            r.lngError = 10048;
            r.strError = QStringLiteral("Address in use\r\nsecond line");
        }
        return r;
    };
    QByteArray text = original;
    const auto res = pasv ? FtpRouting::RouteFtpPasvReply(text, localIP, open) : FtpRouting::RouteFtpPortCommand(text, localIP, open);

    // Only the first line is rewritten; the rest follows as it came.
    const QByteArray first = FirstLine(original);
    FUZZ_CHECK(res.strRest == original.mid(first.size()));
    FUZZ_CHECK(calls <= 1);
    if (calls == 1) {
        // The data port relays to the address the line announced.
        QByteArray inner = first;
        if (pasv) FUZZ_CHECK(FtpRouting::PasvAddressText(first, inner));
        QString ip;
        int port = -1;
        FUZZ_CHECK(FtpRouting::ParseHostPort(inner, ip, port));
        FUZZ_CHECK(ip == askedIP && port == askedPort && port >= 0 && port <= 65535);
    }
    if (res.blnForward) {
        FUZZ_CHECK(calls == 1 && openOk && res.blnOpened && res.lngDataPort == dataPort);
        const QByteArray head = pasv ? "227 Entering Passive Mode (" : "PORT ";
        const QByteArray tail = pasv ? ")\r\n" : "\r\n";
        FUZZ_CHECK(text.startsWith(head) && text.endsWith(tail));
        CheckAddress(text.mid(head.size(), text.size() - head.size() - tail.size()),
                     localIP.startsWith(QLatin1String("::ffff:")) ? localIP.mid(7) : localIP, dataPort);
        return;
    }
    FUZZ_CHECK(!res.blnOpened && !res.strLog.isEmpty());
    if (!pasv || calls == 1) CheckErrorReply(text);
    else FUZZ_CHECK(text == first);   // an unusable reply is relayed as it came
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider in(bytes, size);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: CheckUser(Bytes(in.ConsumeRemainingBytesAsString())); break;
    case 1: CheckRewrite(in, false); break;
    default: CheckRewrite(in, true); break;
    }
    return 0;
}
