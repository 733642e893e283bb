// Speed of the component CRC on the boot path: image_crc32 (four
// interleaved lanes) against zlib's crc32 over the same 64 MiB buffer, in
// the same run. Both compute the same CRC (zlib's result is the ones'
// complement of the register), which the program checks before it measures
// anything. Each is run several times, the two in random order, and the
// fastest run of each stands for it: other work on the machine only ever
// adds time. After the runs it prints the throughput ratio the boot path is
// held to. Times are reported, never judged: the program fails only when
// the two CRCs disagree or a run fails.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "bench/ratio_reporter.h"
#include "image/crc32.h"

namespace {

constexpr std::uint32_t kBufferBytes = 64u << 20;

// The same pseudo-random 64 MiB for both, made once.
const std::uint8_t* buffer() {
    static std::unique_ptr<std::uint8_t[]> bytes = [] {
        std::unique_ptr<std::uint8_t[]> made(new (std::nothrow) std::uint8_t[kBufferBytes]);
        if (made) {
            std::uint32_t state = 0x12345678u;
            for (std::uint32_t i = 0; i < kBufferBytes; ++i) {
                state = state * 1664525u + 1013904223u;
                made[i] = static_cast<std::uint8_t>(state >> 24);
            }
        }
        return made;
    }();
    return bytes.get();
}

void BM_ImageCrc32(benchmark::State& state) {
    const std::uint8_t* data = buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(image_crc32(data, kBufferBytes, kImageCrcStart));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBufferBytes);
}

void BM_ZlibCrc32(benchmark::State& state) {
    const std::uint8_t* data = buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32_z(0, data, kBufferBytes));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBufferBytes);
}

// Runs of each, unless --benchmark_repetitions says otherwise.
constexpr int kRuns = 5;

BENCHMARK(BM_ImageCrc32)->Unit(benchmark::kMillisecond)->Repetitions(kRuns);
BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond)->Repetitions(kRuns);

// Both must give the same CRC, or the comparison means nothing.
bool same_crc() {
    const std::uint8_t* data = buffer();
    if (!data) {
        std::fprintf(stderr, "crc32_bench: no memory for the 64 MiB buffer\n");
        return false;
    }
    std::uint32_t ours = image_crc32(data, kBufferBytes, kImageCrcStart);
    std::uint32_t theirs = static_cast<std::uint32_t>(crc32_z(0, data, kBufferBytes));
    if (ours != ~theirs) {
        std::fprintf(stderr, "crc32_bench: image_crc32 0x%08x is not ~zlib 0x%08x\n", ours,
                     ~theirs);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The runs of the two alternate in random order, so that a busy spell
    // of the machine does not fall on one of them only; the command line
    // may still say otherwise (a later flag wins).
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()) || !same_crc()) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double time = reporter.ratio("BM_ImageCrc32", "BM_ZlibCrc32");
    if (time > 0) {
        std::printf("\nCRC of 64 MiB, throughput image_crc32 / zlib crc32: %.2fx (goal >= 1.0x)\n",
                    1 / time);
    }
    benchmark::Shutdown();
    return 0;
}
