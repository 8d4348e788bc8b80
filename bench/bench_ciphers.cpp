// Container cipher throughput on a 16 MiB buffer, with Crypto++'s ECB TEA
// decryption in the same run as the yardstick.
#include <benchmark/benchmark.h>
#include <cryptopp/modes.h>
#include <cryptopp/tea.h>

#include <cstring>
#include <vector>

#include "core/build_keys.h"
#include "core/bytes.h"
#include "core/ciphers.h"

namespace {

constexpr uint32_t kBufferBytes = 16u << 20;

// Allocated and touched once: first-touch page faults would otherwise
// dominate the first iterations.
std::vector<uint8_t>& sharedBuffer()
{
    static std::vector<uint8_t> buffer = [] {
        std::vector<uint8_t> b(kBufferBytes);
        for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 2654435761u >> 13);
        return b;
    }();
    return buffer;
}

void BM_TeaBlockDecipher(benchmark::State& state)
{
    auto& buf = sharedBuffer();
    for (auto _ : state) {
        ZR_blockDecipher(buf.data(), kBufferBytes);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBufferBytes);
    static const char* const kNames[] = {"scalar", "avx2", "avx512"};
    state.SetLabel(kNames[int(ZR_blockDecipherImpl())]);
}
BENCHMARK(BM_TeaBlockDecipher)->Unit(benchmark::kMillisecond);

void BM_TeaBlockDecipherWith(benchmark::State& state)
{
    const auto impl = TeaImpl(state.range(0));
    auto& buf = sharedBuffer();
    if (!ZR_blockDecipherWith(impl, buf.data(), 8)) {
        state.SkipWithError("not supported on this CPU");
        return;
    }
    for (auto _ : state) {
        ZR_blockDecipherWith(impl, buf.data(), kBufferBytes);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBufferBytes);
}
BENCHMARK(BM_TeaBlockDecipherWith)
    ->ArgName("impl")
    ->Arg(int(TeaImpl::Scalar))
    ->Arg(int(TeaImpl::Avx2))
    ->Arg(int(TeaImpl::Avx512))
    ->Unit(benchmark::kMillisecond);

void BM_TeaCryptoppEcbDecipher(benchmark::State& state)
{
    uint8_t key[16];
    for (int i = 0; i < 4; ++i) bytes::putBe32(key + 4 * i, build_keys::kContainerKey[i]);
    CryptoPP::ECB_Mode<CryptoPP::TEA>::Decryption ecb(key, sizeof key);
    auto& buf = sharedBuffer();
    for (auto _ : state) {
        ecb.ProcessData(buf.data(), buf.data(), kBufferBytes);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBufferBytes);
}
BENCHMARK(BM_TeaCryptoppEcbDecipher)->Unit(benchmark::kMillisecond);

void BM_RollingXor(benchmark::State& state)
{
    auto& buf = sharedBuffer();
    for (auto _ : state) {
        ZR_rollingXorReset();
        ZR_rollingXor(kBufferBytes, buf.data());
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBufferBytes);
}
BENCHMARK(BM_RollingXor)->Unit(benchmark::kMillisecond);

} // namespace
