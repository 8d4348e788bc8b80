// Host cost of the command channel against the in-process simulated device
// with zero latency: what the tool itself spends per report.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "common_k52/hidc.h"
#include "sim/sim_device.h"

namespace {

void countProgress(void* user, uint32_t, uint32_t, uint32_t) { ++*static_cast<uint64_t*>(user); }

void BM_WriteFlash8MiB(benchmark::State& state)
{
    const uint32_t size = 8u << 20;
    SimDeviceOptions options;
    options.flashSize = size;
    SimDevice device(options);
    HidcChannel channel{};
    channel.port = Hidc_portFromDevice(SimDevice_openTransport(&device));
    channel.bootVersion = 1046;
    uint64_t progressCalls = 0;
    channel.progress = countProgress;
    channel.progressUser = &progressCalls;

    std::vector<uint8_t> image(size);
    std::mt19937 rng(7);
    for (auto& b : image) b = uint8_t(rng());
    bool encoded = state.range(0) != 0;

    uint64_t commands = 0, dataReports = 0, replies = 0;
    for (auto _ : state) {
        device.resetCounters();
        if (!Hidc_writeFlash(&channel, 0, image.data(), size, encoded, 0)) {
            state.SkipWithError("write failed");
            break;
        }
        commands = device.commandsIn();
        dataReports = device.reportsIn() - commands;
        replies = device.reportsOut();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
    state.counters["command_reports"] = double(commands);
    state.counters["data_reports"] = double(dataReports);
    state.counters["replies"] = double(replies);
    state.counters["sec_per_report"] = benchmark::Counter(double(dataReports + commands + replies),
                                                         benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
    Hidc_closePort(channel.port);
}
BENCHMARK(BM_WriteFlash8MiB)->Arg(0)->Arg(1)->ArgName("encoded")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadFlash8MiB(benchmark::State& state)
{
    const uint32_t size = 8u << 20;
    SimDevice device;
    HidcChannel channel{};
    channel.port = Hidc_portFromDevice(SimDevice_openTransport(&device));
    std::vector<uint8_t> out(size);
    for (auto _ : state) {
        if (!Hidc_readFlash(&channel, 0, out.data(), size, 0)) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
    Hidc_closePort(channel.port);
}
BENCHMARK(BM_ReadFlash8MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
