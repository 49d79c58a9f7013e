// Throughput of the content digest, which bounds how fast changed files are
// fingerprinted: through the public state (the kernel this processor gets)
// and through each kernel the processor runs.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "fingerprint/cubehash.hpp"
#include "fingerprint/cubehash_kernels.hpp"

namespace {

std::vector<unsigned char> pattern(std::size_t length) {
    std::vector<unsigned char> data(length);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
    return data;
}

void digest_bytes(benchmark::State& state) {
    const auto data = pattern(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        ombu::cubehash_state hash;
        hash.absorb(data.data(), data.size());
        benchmark::DoNotOptimize(hash.finish());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(digest_bytes)->Arg(0)->Arg(4096)->Arg(1 << 20);

void digest_with_kernel(benchmark::State& state, const ombu::cubehash_kernels::kernel& with) {
    if (!with.supported()) {
        state.SkipWithError("not supported by this processor");
        return;
    }
    const auto data = pattern(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        ombu::cubehash_state hash;
        ombu::cubehash_kernels::absorb(with, hash, data.data(), data.size());
        benchmark::DoNotOptimize(ombu::cubehash_kernels::finish(with, hash));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

const bool registered = [] {
    for (const auto& k : ombu::cubehash_kernels::all_kernels())
        benchmark::RegisterBenchmark((std::string("digest_with_kernel/") + k.name).c_str(),
                                     digest_with_kernel, k)
            ->Arg(4096)
            ->Arg(1 << 20);
    return true;
}();

}  // namespace
