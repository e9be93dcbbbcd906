// Throughput of the passthrough encoder on ZPL II and EPL2 labels and on the worst token mix
// (one-character tokens), at 10 KB, 1 MB and 10 MB: time per byte should not grow with size.
#include "transport/passthrough_encoder.h"
#include "platform/testing.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <malloc.h>
#include <string>

namespace {

const char kZplLabel[] = "^XA\n"
                         "^FO50,50^ADN,36,20^FDSHIP TO: ACME WAREHOUSE 7^FS\n"
                         "^FO50,100^BY2^BCN,100,Y,N,N^FD0123456789^FS\n"
                         "^FO50,250^GB700,3,3^FS\n"
                         "~JA\n"
                         "^PQ1\n"
                         "^XZ\n";

const char kEplLabel[] = "N\r\n"
                         "q609\r\n"
                         "Q203,26\r\n"
                         "A50,0,0,1,1,1,N,\"SHIP TO: ACME WAREHOUSE 7\"\r\n"
                         "B50,50,0,1,2,2,100,B,\"0123456789\"\r\n"
                         "LO50,200,500,3\r\n"
                         "P2\r\n";

std::string Repeat(const char* unit, size_t size) {
    std::string text;
    text.reserve(size);
    while (text.size() < size) {
        text += unit;
    }
    text.resize(size);
    return text;
}

void RunEncoder(benchmark::State& state, const std::string& input) {
    substitute::Reset();
    size_t outputLength = 0;
    int64_t runs = 0;
    for (auto _ : state) {
        char* output = EncodePassthrough(input.c_str(), &outputLength);
        if (output == nullptr) {
            state.SkipWithError("EncodePassthrough ran out of memory");
            break;
        }
        benchmark::DoNotOptimize(output);
        ReleasePassthrough(output);
        // The substitute heap logs every call; keep that log from growing without bound.
        if (++runs % 1024 == 0) {
            substitute::ClearCallLog();
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
    state.counters["output_bytes"] = static_cast<double>(outputLength);
    substitute::Reset();
}

void BM_EncodeZpl(benchmark::State& state) {
    RunEncoder(state, Repeat(kZplLabel, static_cast<size_t>(state.range(0))));
}

void BM_EncodeEpl(benchmark::State& state) {
    RunEncoder(state, Repeat(kEplLabel, static_cast<size_t>(state.range(0))));
}

void BM_EncodeOneCharacterTokens(benchmark::State& state) {
    RunEncoder(state, std::string(static_cast<size_t>(state.range(0)), '^'));
}

void BM_EncodeBlankLines(benchmark::State& state) {
    RunEncoder(state, std::string(static_cast<size_t>(state.range(0)), '\n'));
}

constexpr int64_t k10KB = 10 * 1024;
constexpr int64_t k1MB = 1024 * 1024;
constexpr int64_t k10MB = 10 * 1024 * 1024;

BENCHMARK(BM_EncodeZpl)->Arg(k10KB)->Arg(k1MB)->Arg(k10MB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeEpl)->Arg(k10KB)->Arg(k1MB)->Arg(k10MB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeOneCharacterTokens)
    ->Arg(k10KB)
    ->Arg(k1MB)
    ->Arg(k10MB)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeBlankLines)->Arg(k10KB)->Arg(k1MB)->Arg(k10MB)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    // Every size takes its blocks from the reused heap, as the 10 KB and 1 MB cases do by
    // themselves; left alone, the allocator maps the 10 MB case's output (up to 50 MB) fresh
    // from the system on every run, and that case alone would time the page faults.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
