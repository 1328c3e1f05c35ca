// The relay's byte queue against a plain byte array doing the same steps.
#include "FuzzSupport.h"
#include "protocols/RelayBuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider in(bytes, size);
    RelayBuffer buffer;
    QByteArray model;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: {
            const QByteArray d = Bytes(in.ConsumeRandomLengthString(64));
            buffer.append(d);
            model.append(d);
            break;
        }
        case 1: {
            const QByteArray d = Bytes(in.ConsumeRandomLengthString(64));
            buffer.prepend(d);
            model.prepend(d);
            break;
        }
        case 2: {
            const qint64 n = in.ConsumeBool() ? in.ConsumeIntegralInRange<qint64>(-2, 80) : in.ConsumeIntegral<qint64>();
            const QByteArray got = buffer.takeFront(n);
            const qsizetype take = n <= 0 ? 0 : qsizetype(std::min<qint64>(n, model.size()));
            FUZZ_CHECK(got == model.left(take));
            model.remove(0, take);
            break;
        }
        case 3:
            FUZZ_CHECK(buffer.takeAll() == model);
            model.clear();
            break;
        case 4:
            buffer.clear();
            model.clear();
            break;
        default:
            FUZZ_CHECK(buffer.toByteArray() == model);
            break;
        }
        FUZZ_CHECK(buffer.size() == model.size() && buffer.isEmpty() == model.isEmpty());
    }
    FUZZ_CHECK(buffer.toByteArray() == model);
    return 0;
}
