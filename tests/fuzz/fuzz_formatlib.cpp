// The formatting library: a buffer of exactly the length it asks for is
// never overrun, and the length it reports is what it wrote.
#include "FuzzSupport.h"
#include "tsyfmt10.h"

#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider in(bytes, size);
    static const unsigned char kCodes[] = {TSYFMT10_HEX, TSYFMT10_OCTAL, TSYFMT10_DECIMAL, TSYFMT10_BINARY};
    const unsigned char code = in.ConsumeBool() ? kCodes[in.ConsumeIntegralInRange<int>(0, 3)] : in.ConsumeIntegral<unsigned char>();
    const int perRow = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(-2, 130) : in.ConsumeIntegral<int>();
    // Any length alone: the required length never overflows silently.
    const int anyLength = in.ConsumeIntegral<int>();
    const int anyRequired = FormatTextRequiredLength(anyLength, code, perRow);
    FUZZ_CHECK(anyRequired == -1 || anyRequired >= 1);

    const std::vector<unsigned char> data = in.ConsumeRemainingBytes<unsigned char>();
    const int length = int(data.size());
    const int required = FormatTextRequiredLength(length, code, perRow);
    FUZZ_CHECK(required == -1 || required >= 1);
    const bool valid = length > 0 && perRow > 0
                       && (code == TSYFMT10_HEX || code == TSYFMT10_OCTAL || code == TSYFMT10_DECIMAL || code == TSYFMT10_BINARY);
    if (!valid) FUZZ_CHECK(required == 1);
    // Rows hundreds of megabytes wide are valid but would slow the search to a crawl.
    if (required > (1 << 24)) return 0;
    const size_t capacity = required > 0 ? size_t(required) : 1;
    // Exactly the size asked for, so AddressSanitizer sees any write past it.
    std::unique_ptr<char[]> out(new char[capacity]());
    const int written = FormatText(data.data(), out.get(), code, perRow, length);
    if (required <= 1) {
        FUZZ_CHECK(written == 0);
    } else {
        FUZZ_CHECK(written > 0 && written <= required - 1);
        // Text only: no zero inside what was reported written.
        FUZZ_CHECK(std::memchr(out.get(), 0, size_t(written)) == nullptr);
    }
    return 0;
}
