// Dump formatter. Every row is built from table lookups: one table maps a
// byte to its character-column glyph, one per format maps a byte to its
// value text. Sizes are worked out in 64 bits so a large input can never
// make a row run past the buffer the caller sized with
// FormatTextRequiredLength.
#include "tsyfmt10.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

// Each value entry holds the digits, the value's own blank and one spare
// blank: copying width + 1 characters lays down the value, and the spare
// blank is either the extra blank after every 8th value or gets overwritten
// by what follows (the next value or CR LF), so it never leaves the row.
struct Tables {
    char glyph[256];
    char hex[256][4];
    char oct[256][8];
    char dec[256][8];
    char bin[256][16];
    char pairs[100][2];   // "00".."99" for the offsets
};

constexpr Tables MakeTables()
{
    Tables t{};
    constexpr char digits[] = "0123456789abcdef";
    for (int b = 0; b < 256; ++b) {
        t.glyph[b] = (b >= 32 && b <= 126) ? static_cast<char>(b) : '.';

        t.hex[b][0] = digits[b >> 4];
        t.hex[b][1] = digits[b & 15];
        t.hex[b][2] = ' ';
        t.hex[b][3] = ' ';

        t.oct[b][0] = digits[(b >> 6) & 7];
        t.oct[b][1] = digits[(b >> 3) & 7];
        t.oct[b][2] = digits[b & 7];
        t.dec[b][0] = digits[b / 100];
        t.dec[b][1] = digits[(b / 10) % 10];
        t.dec[b][2] = digits[b % 10];
        for (int i = 3; i < 8; ++i) {
            t.oct[b][i] = ' ';
            t.dec[b][i] = ' ';
        }

        for (int i = 0; i < 8; ++i)
            t.bin[b][i] = ((b >> (7 - i)) & 1) ? '1' : '0';
        for (int i = 8; i < 16; ++i)
            t.bin[b][i] = ' ';
    }
    for (int i = 0; i < 100; ++i) {
        t.pairs[i][0] = digits[i / 10];
        t.pairs[i][1] = digits[i % 10];
    }
    return t;
}

constexpr Tables kTables = MakeTables();

constexpr int64_t kOffsetField = 8;   // "%06d" and two blanks
constexpr int64_t kSeparator = 2;     // between the character and value columns
constexpr int64_t kLineEnd = 2;       // CR LF

// Characters per value, its trailing blank included; 0 for an unknown code.
int ValueWidth(unsigned char format)
{
    switch (format) {
    case TSYFMT10_HEX: return 3;
    case TSYFMT10_OCTAL:
    case TSYFMT10_DECIMAL: return 4;
    case TSYFMT10_BINARY: return 9;
    default: return 0;
    }
}

// The buffer size (terminating zero included) for valid arguments, in 64
// bits; 1 when there is nothing to write.
int64_t Required64(int dataLength, int width, int bytesPerRow)
{
    if (dataLength <= 0 || bytesPerRow <= 0 || width == 0)
        return 1;
    const int64_t bpr = bytesPerRow;
    const int64_t rows = (static_cast<int64_t>(dataLength) + bpr - 1) / bpr;
    const int64_t row = bpr / 8 + bpr + width * bpr + kOffsetField + kSeparator + kLineEnd;
    return rows * row + 1;   // at most ~2^31 * 10.2 * 2^31: fits 64 bits
}

// The row offset as at least six zero-padded digits then two blanks, cut to
// eight characters: seven digits keep one blank, eight none, and longer
// numbers lose their last digits to the character column.
inline char* WriteOffset(char* out, uint32_t v)
{
    if (v < 1000000) {
        std::memcpy(out, kTables.pairs[v / 10000], 2);
        std::memcpy(out + 2, kTables.pairs[(v / 100) % 100], 2);
        std::memcpy(out + 4, kTables.pairs[v % 100], 2);
        out[6] = ' ';
        out[7] = ' ';
        return out + 8;
    }
    char tmp[10];
    int n = 0;
    while (v != 0) {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    int i = 0;
    for (; i < 8 && i < n; ++i)
        out[i] = tmp[n - 1 - i];
    for (; i < 8; ++i)
        out[i] = ' ';
    return out + 8;
}

template <int Width, int Entry>
char* WriteRows(const unsigned char* data, char* out, int bytesPerRow, int dataLength,
                const char (*values)[Entry])
{
    static_assert(Width + 1 <= Entry);
    const char* glyph = kTables.glyph;
    for (int64_t r = 0; r < dataLength; r += bytesPerRow) {
        const unsigned char* row = data + r;
        const int count = static_cast<int>(dataLength - r < bytesPerRow ? dataLength - r : bytesPerRow);

        out = WriteOffset(out, static_cast<uint32_t>(r));

        int i = 0;
        for (; i + 8 <= count; i += 8) {
            for (int j = 0; j < 8; ++j)
                out[i + j] = glyph[row[i + j]];
        }
        for (; i < count; ++i)
            out[i] = glyph[row[i]];
        if (count < bytesPerRow)
            std::memset(out + count, ' ', static_cast<size_t>(bytesPerRow - count));
        out += bytesPerRow;

        out[0] = ' ';
        out[1] = ' ';
        out += 2;

        i = 0;
        for (; i + 8 <= count; i += 8) {
            for (int j = 0; j < 8; ++j) {
                std::memcpy(out, values[row[i + j]], Width + 1);
                out += Width;
            }
            ++out;   // the extra blank after every 8th value, already laid down
        }
        for (; i < count; ++i) {
            std::memcpy(out, values[row[i]], Width + 1);
            out += Width;
        }

        out[0] = '\r';
        out[1] = '\n';
        out += 2;
    }
    return out;
}

} // namespace

extern "C" TSYFMT10_API int FormatTextRequiredLength(int dataLength, unsigned char format,
                                                     int bytesPerRow)
{
    const int64_t n = Required64(dataLength, ValueWidth(format), bytesPerRow);
    return n > INT_MAX ? -1 : static_cast<int>(n);
}

extern "C" TSYFMT10_API int FormatText(const unsigned char* data, char* output,
                                       unsigned char format, int bytesPerRow, int dataLength)
{
    const int width = ValueWidth(format);
    if (dataLength <= 0 || bytesPerRow <= 0 || width == 0 || !data || !output)
        return 0;
    // The caller sized its buffer from the required length; if that could
    // not be told, nothing may be written.
    if (Required64(dataLength, width, bytesPerRow) > INT_MAX)
        return 0;

    char* end = nullptr;
    switch (format) {
    case TSYFMT10_HEX:
        end = WriteRows<3>(data, output, bytesPerRow, dataLength, kTables.hex);
        break;
    case TSYFMT10_OCTAL:
        end = WriteRows<4>(data, output, bytesPerRow, dataLength, kTables.oct);
        break;
    case TSYFMT10_DECIMAL:
        end = WriteRows<4>(data, output, bytesPerRow, dataLength, kTables.dec);
        break;
    default:
        end = WriteRows<9>(data, output, bytesPerRow, dataLength, kTables.bin);
        break;
    }
    return static_cast<int>(end - output);
}
