// Throughput of the content digest, which bounds how fast changed files are
// fingerprinted.
#include <benchmark/benchmark.h>

#include <vector>

#include "fingerprint/cubehash.hpp"

namespace {

void digest_bytes(benchmark::State& state) {
    std::vector<unsigned char> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
    for (auto _ : state) {
        ombu::cubehash_state hash;
        hash.absorb(data.data(), data.size());
        benchmark::DoNotOptimize(hash.finish());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(digest_bytes)->Arg(0)->Arg(4096)->Arg(1 << 20);

}  // namespace
