// The formatter on its own: exact layouts, sizes, and that nothing is ever
// written past the characters it reports.
#include "tsyfmt10.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string Format(const Bytes& data, char code, int bpr)
{
    const int n = FormatTextRequiredLength(static_cast<int>(data.size()), code, bpr);
    if (n < 1)
        return "<required " + std::to_string(n) + ">";
    std::string buf(static_cast<size_t>(n), '\0');
    const int m = FormatText(data.data(), buf.data(), code, bpr, static_cast<int>(data.size()));
    buf.resize(static_cast<size_t>(m));
    return buf;
}

// A deliberately naive layout built with snprintf, to hold the table-driven
// one to.
std::string Reference(const Bytes& d, char code, int bpr)
{
    std::string out;
    char tmp[32];
    for (size_t r = 0; r < d.size(); r += static_cast<size_t>(bpr)) {
        std::snprintf(tmp, sizeof tmp, "%06d  ", static_cast<int>(r));
        out += std::string(tmp).substr(0, 8);
        const size_t count = std::min(static_cast<size_t>(bpr), d.size() - r);
        for (size_t i = 0; i < static_cast<size_t>(bpr); ++i) {
            if (i >= count) out += ' ';
            else out += (d[r + i] >= 32 && d[r + i] <= 126) ? static_cast<char>(d[r + i]) : '.';
        }
        out += "  ";
        for (size_t i = 0; i < count; ++i) {
            const unsigned v = d[r + i];
            switch (code) {
            case 'h': std::snprintf(tmp, sizeof tmp, "%02x ", v); break;
            case 'o': std::snprintf(tmp, sizeof tmp, "%03o ", v); break;
            case 'd': std::snprintf(tmp, sizeof tmp, "%03d ", v); break;
            default:
                for (int b = 0; b < 8; ++b) tmp[b] = ((v >> (7 - b)) & 1) ? '1' : '0';
                tmp[8] = ' ';
                tmp[9] = 0;
            }
            out += tmp;
            if ((i + 1) % 8 == 0) out += ' ';
        }
        out += "\r\n";
    }
    return out;
}

TEST(FormatText, GoldenRowsPerFormat)
{
    EXPECT_EQ(Format({65, 66, 13}, 'h', 8), "000000  AB.       41 42 0d \r\n");
    EXPECT_EQ(Format({65, 66, 13}, 'h', 8).size(), 29u);

    const Bytes odd = {0, 9, 32, 126, 127, 128, 255, 10, 7};
    EXPECT_EQ(Format(odd, 'h', 8),
              "000000  .. ~....  00 09 20 7e 7f 80 ff 0a  \r\n"
              "000008  .         07 \r\n");
    EXPECT_EQ(Format(odd, 'o', 8),
              "000000  .. ~....  000 011 040 176 177 200 377 012  \r\n"
              "000008  .         007 \r\n");
    EXPECT_EQ(Format(odd, 'd', 8),
              "000000  .. ~....  000 009 032 126 127 128 255 010  \r\n"
              "000008  .         007 \r\n");
    EXPECT_EQ(Format(odd, 'b', 4),
              "000000  .. ~  00000000 00001001 00100000 01111110 \r\n"
              "000004  ....  01111111 10000000 11111111 00001010 \r\n"
              "000008  .     00000111 \r\n");
}

TEST(FormatText, RowBoundariesAndExtraBlanks)
{
    Bytes sixteen(16);
    for (int i = 0; i < 16; ++i) sixteen[static_cast<size_t>(i)] = static_cast<unsigned char>('a' + i);
    const std::string one = Format(sixteen, 'd', 16);
    EXPECT_EQ(one,
              "000000  abcdefghijklmnop  097 098 099 100 101 102 103 104  "
              "105 106 107 108 109 110 111 112  \r\n");
    // 16 values of 4 plus blanks after the 8th and the 16th.
    EXPECT_EQ(one.size(), 8u + 16 + 2 + 16 * 4 + 2 + 2);
    EXPECT_EQ(FormatTextRequiredLength(16, 'd', 16), static_cast<int>(one.size()) + 1);

    Bytes seventeen = sixteen;
    seventeen.push_back('q');
    EXPECT_EQ(Format(seventeen, 'd', 16), one + "000016  q" + std::string(15, ' ') + "  113 \r\n");
}

TEST(FormatText, LongOffsetsRunIntoTheCharacterColumn)
{
    // Row at 1,000,000 (4 per row, hex): seven digits and one blank.
    Bytes big(1000004, 'x');
    std::string out = Format(big, 'h', 4);
    const size_t row = 8 + 4 + 2 + 4 * 3 + 2;
    EXPECT_EQ(out.substr(250000 * row, row), "1000000 xxxx  78 78 78 78 \r\n");

    // Row at 10,000,000 (128 per row): eight digits and no blank.
    big.assign(10000001, 'y');
    out = Format(big, 'h', 128);
    const size_t full = 8 + 128 + 2 + 128 * 3 + 16 + 2;
    EXPECT_EQ(out.substr(78125 * full), "10000000y" + std::string(127, ' ') + "  79 \r\n");
}

TEST(FormatText, RequiredLength)
{
    EXPECT_EQ(FormatTextRequiredLength(0, 'h', 16), 1);
    EXPECT_EQ(FormatTextRequiredLength(-5, 'h', 16), 1);
    EXPECT_EQ(FormatTextRequiredLength(1, 'b', 128), 16 + 128 + 9 * 128 + 12 + 1);
    // Largest binary dump at 4 per row that still fits, then one byte more.
    EXPECT_EQ(FormatTextRequiredLength(165191048, 'b', 4), 41297762 * 52 + 1);
    EXPECT_EQ(FormatTextRequiredLength(165191049, 'b', 4), -1);
    EXPECT_EQ(FormatTextRequiredLength(INT_MAX, 'h', 4), -1);
    EXPECT_EQ(FormatTextRequiredLength(1, 'h', INT_MAX), -1);
}

TEST(FormatText, RefusedInputsWriteNothing)
{
    const Bytes data(64, 'z');
    struct Case { int length; int code; int bpr; };
    const Case cases[] = {
        {0, 'h', 16}, {-1, 'h', 16},            // no data
        {64, 'h', 0}, {64, 'h', -4},            // no row width
        {64, 'x', 16}, {64, 0, 16}, {64, 'H', 16},   // unknown codes
        {INT_MAX, 'b', 4},                      // would not fit the count
        {1, 'h', INT_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << " " << c.code << " " << c.bpr);
        const int n = FormatTextRequiredLength(c.length, static_cast<unsigned char>(c.code), c.bpr);
        EXPECT_LE(n, 1);
        std::string buf(64, '\x5a');
        EXPECT_EQ(FormatText(data.data(), buf.data(), static_cast<unsigned char>(c.code), c.bpr, c.length), 0);
        EXPECT_EQ(buf, std::string(64, '\x5a'));
    }
}

TEST(FormatText, SweepStaysInsideTheRequiredLength)
{
    std::mt19937 rng(20240611);
    Bytes data(300);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    const char codes[] = {'h', 'o', 'd', 'b'};
    const char sentinel = '\x7c';
    // Widths the program uses, plus a few odd ones the library also lays out.
    std::vector<int> widths;
    for (int bpr = 4; bpr <= 128; bpr += 4) widths.push_back(bpr);
    for (int bpr : {1, 3, 7, 9, 13}) widths.push_back(bpr);

    for (char code : codes) {
        for (int bpr : widths) {
            for (int len = 0; len <= 300; ++len) {
                const Bytes d(data.begin(), data.begin() + len);
                const int n = FormatTextRequiredLength(len, code, bpr);
                ASSERT_GE(n, 1);
                std::string buf(static_cast<size_t>(n) + 16, sentinel);
                const int m = FormatText(d.data(), buf.data(), code, bpr, len);
                ASSERT_LE(m, n - 1) << code << " " << bpr << " " << len;
                ASSERT_EQ(buf.find_first_not_of(sentinel, static_cast<size_t>(m)), std::string::npos)
                    << code << " " << bpr << " " << len;
                ASSERT_EQ(buf.substr(0, static_cast<size_t>(m)), Reference(d, code, bpr))
                    << code << " " << bpr << " " << len;
                if (len % bpr == 0) {   // only full rows: the required length is exact
                    ASSERT_EQ(m, n - 1);
                }
            }
        }
    }
}

} // namespace
