// A whole write run (plan, then write with its closing identification) of an
// 8 MiB package into the in-process simulated device with zero latency. The
// link, not the host, must be what an update waits for: the host's CPU time
// is set against the time the same reports take on the wire at 1 ms each.
// The process CPU time measured here includes the simulated device's own
// work, so it overstates the host's share.
#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common_k52/machine.h"
#include "common_k52/machine_verify.h"
#include "core/log.h"
#include "core/stream.h"
#include "sim/presets.h"
#include "bench/bench_packages.h"
#include "tools/container_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

uint64_t round256(uint64_t n) { return (n + 255) / 256 * 256; }

// Boot, program, voice, radar mute, update tool, OLED and GPS adding up to
// 8 MiB, for a 502-map board with a server and a track area.
PackagePtr makePackage(std::vector<uint32_t>* imageSizes)
{
    ContainerSpec spec = Bench_eightMiBPackage("Halcyon Path", imageSizes);
    Bytes data;
    std::string error;
    if (!ContainerBuilder_build(spec, &data, &error)) return nullptr;
    ZR_Stream* stream = ZR_Stream_openMemory(data.data(), uint32_t(data.size()));
    ZR_Stream_seekTo(stream, uint32_t(data.size()));
    PackagePtr package(ZR_Package_loadFromStream(stream));
    ZR_Stream_release(stream);
    return package;
}

void BM_WriteRun8MiB(benchmark::State& state)
{
    void* logContext = nullptr;
    ZR_LogSink logSink = ZR_logGetSink(&logContext);
    ZR_logSetSink(nullptr, nullptr);

    std::vector<uint32_t> imageSizes;
    auto package = makePackage(&imageSizes);
    auto device = SimPreset_make("502");
    MachinePtr machine(ZR_Machine_create(nullptr, nullptr, nullptr, nullptr));
    machine->channel->port = Hidc_portFromDevice(SimDevice_openTransport(device.get()));
    if (!package || !ZR_Machine_identify(machine.get())) {
        state.SkipWithError("setup failed");
        return;
    }
    device->resetCounters();
    ZR_Machine_identify(machine.get());
    const uint64_t identifyReports = device->reportsIn() + device->reportsOut();

    uint64_t reports = 0, commands = 0, dataReports = 0;
    double cpu = 0;
    for (auto _ : state) {
        ZR_WritePlan plan{};
        plan.writeBoot = plan.writeProgram = plan.writeVoice = plan.writeRadarMute = plan.writeGps =
            plan.writeUpdateTool = plan.resetSetting = plan.writeClientId = 1;
        plan.verifyMode = ZR_VERIFY_OFF;  // the write alone; BM_ReadBack8MiB measures the read-back
        device->resetCounters();
        double start = processCpuSeconds();
        if (ZR_Machine_checkParamAndMainSetting(machine.get(), &plan, package.get()) != ZR_PLAN_READY ||
            ZR_Machine_write(&plan, machine.get(), package.get()) != ZR_WRITE_OK) {
            state.SkipWithError("write run failed");
            break;
        }
        cpu += processCpuSeconds() - start;
        commands = device->commandsIn();
        dataReports = device->reportsIn() - commands;
        reports = device->reportsIn() + device->reportsOut();
    }

    // Every image the run sends: the package's seven, the parameter image,
    // the program flag block and the client block.
    uint64_t rounded = round256(ZR_PARAM_IMAGE_SIZE) + round256(12) + round256(ZR_CLIENT_BLOCK_SIZE);
    uint64_t images = 3;
    for (uint32_t size : imageSizes) {
        rounded += round256(size);
        ++images;
    }
    // Five erases (other parameter sector, server, track, settings, client)
    // and DONE are a command and a reply each.
    const uint64_t bound = rounded / 64 + 2 * images + 2 * 6 + identifyReports;
    const double wireSeconds = double(reports) * 1e-3;
    const double cpuPerRun = state.iterations() ? cpu / double(state.iterations()) : 0;

    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(8u << 20));
    state.counters["reports"] = double(reports);
    state.counters["report_bound"] = double(bound);
    state.counters["identify_reports"] = double(identifyReports);
    state.counters["wire_ms_at_1ms"] = wireSeconds * 1e3;
    state.counters["cpu_ms"] = cpuPerRun * 1e3;
    state.counters["cpu_pct_of_wire"] = wireSeconds > 0 ? 100.0 * cpuPerRun / wireSeconds : 0;
    state.counters["write_amplification"] = rounded ? double(dataReports * 64) / double(rounded) : 0;

    ZR_logSetSink(logSink, logContext);
}
BENCHMARK(BM_WriteRun8MiB)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// What the read-back after the same write run costs on the wire, by mode
// (0 the blocks and the ends of every area, 1 every byte), set against the
// write run itself: the ends must stay a few hundred reports.
void BM_ReadBack8MiB(benchmark::State& state)
{
    void* logContext = nullptr;
    ZR_LogSink logSink = ZR_logGetSink(&logContext);
    ZR_logSetSink(nullptr, nullptr);

    auto package = makePackage(nullptr);
    auto device = SimPreset_make("502");
    ZR_Machine* machine = ZR_Machine_create(nullptr, nullptr, nullptr, nullptr);
    machine->channel->port = Hidc_portFromDevice(SimDevice_openTransport(device.get()));
    ZR_WritePlan plan{};
    plan.writeBoot = plan.writeProgram = plan.writeVoice = plan.writeRadarMute = plan.writeGps =
        plan.writeUpdateTool = plan.resetSetting = plan.writeClientId = 1;
    plan.verifyMode = ZR_VERIFY_OFF;
    device->resetCounters();
    if (!package || !ZR_Machine_identify(machine) ||
        ZR_Machine_checkParamAndMainSetting(machine, &plan, package.get()) != ZR_PLAN_READY ||
        ZR_Machine_write(&plan, machine, package.get()) != ZR_WRITE_OK) {
        state.SkipWithError("setup failed");
        ZR_Machine_release(machine);
        ZR_logSetSink(logSink, logContext);
        return;
    }
    const uint64_t writeReports = device->reportsIn() + device->reportsOut();

    const uint32_t mode = uint32_t(state.range(0));
    uint64_t reports = 0;
    double cpu = 0;
    for (auto _ : state) {
        device->resetCounters();
        double start = processCpuSeconds();
        char cause[256];
        if (!ZR_Machine_verify(machine, &plan, package.get(), mode, cause, sizeof cause)) {
            state.SkipWithError(cause);
            break;
        }
        cpu += processCpuSeconds() - start;
        reports = device->reportsIn() + device->reportsOut();
    }
    state.counters["write_reports"] = double(writeReports);
    state.counters["reports"] = double(reports);
    state.counters["wire_ms_at_1ms"] = double(reports);
    state.counters["pct_of_write"] = writeReports ? 100.0 * double(reports) / double(writeReports) : 0;
    state.counters["cpu_ms"] = state.iterations() ? cpu / double(state.iterations()) * 1e3 : 0;

    ZR_Machine_release(machine);
    ZR_logSetSink(logSink, logContext);
}
BENCHMARK(BM_ReadBack8MiB)->Arg(ZR_VERIFY_ENDS)->Arg(ZR_VERIFY_FULL)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
