// Formats 64 MiB of random bytes at 16 bytes per row in each format and
// reports the input rate. TSY_FMT_BENCH_FILE names a file to format instead
// (compare_xxd.sh passes the file it gives xxd).
#include "tsyfmt10.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace {

constexpr int kBytesPerRow = 16;

const std::vector<unsigned char>& Input()
{
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> d;
        if (const char* path = std::getenv("TSY_FMT_BENCH_FILE")) {
            std::ifstream in(path, std::ios::binary);
            d.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (d.empty())
                std::fprintf(stderr, "cannot read %s\n", path);
        }
        if (d.empty()) {
            d.resize(64u << 20);
            std::mt19937_64 rng(42);
            for (size_t i = 0; i + 8 <= d.size(); i += 8) {
                const auto v = rng();
                for (int k = 0; k < 8; ++k) d[i + static_cast<size_t>(k)] = static_cast<unsigned char>(v >> (8 * k));
            }
        }
        return d;
    }();
    return data;
}

void BM_FormatText(benchmark::State& state)
{
    const auto code = static_cast<unsigned char>(state.range(0));
    const auto& data = Input();
    const int length = static_cast<int>(data.size());
    const int required = FormatTextRequiredLength(length, code, kBytesPerRow);
    if (required < 1) {
        state.SkipWithError("input too large for one call");
        return;
    }
    std::vector<char> out(static_cast<size_t>(required), '\0');
    int written = 0;
    for (auto _ : state) {
        written = FormatText(data.data(), out.data(), code, kBytesPerRow, length);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    state.SetLabel(std::string(1, static_cast<char>(code)) + ", output " +
                   std::to_string(written / (1 << 20)) + " MiB");
}

BENCHMARK(BM_FormatText)->Arg('h')->Arg('o')->Arg('d')->Arg('b')
    ->Unit(benchmark::kMillisecond)->MinTime(1.0);

} // namespace

BENCHMARK_MAIN();
