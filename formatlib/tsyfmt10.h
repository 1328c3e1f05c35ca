#pragma once
// The dump formatter: lays bytes out as rows of offset, characters and
// values (hexadecimal, octal, decimal or binary).
//
// Usage: n = FormatTextRequiredLength(len, code, bpr); allocate n zeroed
// characters; m = FormatText(data, buf, code, bpr, len); keep buf[0..m).
// The library keeps no state between calls and allocates nothing.

#if defined(TSYFMT10_BUILDING)
#define TSYFMT10_API __attribute__((visibility("default")))
#else
#define TSYFMT10_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Format codes: the character codes of the letters.
enum {
    TSYFMT10_HEX = 104,      // 'h'
    TSYFMT10_OCTAL = 111,    // 'o'
    TSYFMT10_DECIMAL = 100,  // 'd'
    TSYFMT10_BINARY = 98     // 'b'
};

// Writes the rows for dataLength bytes into output and returns the number
// of characters written (no terminating zero). Writes nothing and returns 0
// when dataLength <= 0, bytesPerRow <= 0, the format code is unknown or the
// output would not fit a signed 32-bit length.
TSYFMT10_API int FormatText(const unsigned char* data, char* output,
                            unsigned char format, int bytesPerRow, int dataLength);

// The buffer size FormatText needs, terminating zero included: 1 for no
// data (and for a bytesPerRow <= 0 or an unknown format code, which produce
// nothing); -1 when the size does not fit a signed 32-bit length.
TSYFMT10_API int FormatTextRequiredLength(int dataLength, unsigned char format,
                                          int bytesPerRow);

#ifdef __cplusplus
}
#endif
