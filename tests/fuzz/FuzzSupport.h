#pragma once
// Shared by the fuzz targets: a broken property aborts, so libFuzzer keeps
// the input that broke it.
#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__);  \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

inline QByteArray Bytes(const std::string& s) { return QByteArray(s.data(), qsizetype(s.size())); }

// Decimal digits only, each value 0-255, exactly six comma-separated numbers
// and nothing else.
inline bool SixNumbers(const QByteArray& text, int out[6])
{
    const QList<QByteArray> pieces = text.split(',');
    if (pieces.size() != 6) return false;
    for (int i = 0; i < 6; ++i) {
        const QByteArray& p = pieces[i];
        if (p.isEmpty() || p.size() > 3) return false;
        int v = 0;
        for (char c : p) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        if (v > 255) return false;
        out[i] = v;
    }
    return true;
}
