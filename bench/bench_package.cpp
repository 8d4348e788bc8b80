// Container loading and province GPS assembly at the sizes of a large update:
// a 16 MiB block-enciphered container (GPS 5 MiB, radar-mute 0.8 MiB, voice
// 2 MiB, province records 8 MiB), and one million 16-byte province records.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/ciphers.h"
#include "core/package.h"
#include "core/stream.h"
#include "tools/encode/cipher_encode.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (size_t i = 0; i + 4 <= n; i += 4) bytes::putLe32(&b[i], rng());
    return b;
}

// The province records section in plain form: 34 entries, one per province,
// sharing `records` 16-byte records as evenly as they divide.
Bytes provinceRecordsPlain(uint32_t records, uint32_t seed)
{
    Bytes s(16, 0);
    bytes::putLe32(&s[0], 1700000000);
    bytes::putLe32(&s[8], 16);
    bytes::putLe32(&s[12], PROVINCE_COUNT);
    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        Bytes entry(54, 0);
        std::memcpy(entry.data(), ProvinceTable[p], std::strlen(ProvinceTable[p]));
        const uint32_t count = records / PROVINCE_COUNT + (uint32_t(p) < records % PROVINCE_COUNT ? 1 : 0);
        bytes::putLe32(&entry[50], count);
        s.insert(s.end(), entry.begin(), entry.end());
    }
    const Bytes body = randomBytes(size_t(records) * 16, seed);
    s.insert(s.end(), body.begin(), body.end());
    s.resize((s.size() + 7) / 8 * 8, 0);
    return s;
}

// A minimal version 3 writer: section bodies in table order, then the
// trailer. Block-type sections are enciphered whole; the content is random,
// so only the province table's head needs to survive the round trip.
Bytes buildContainer(uint32_t magic, const std::vector<std::pair<ZR_Section, Bytes>>& sections)
{
    Bytes file(64, 0);
    Bytes trailer(520, 0);
    for (const auto& [section, plain] : sections) {
        Bytes stored = plain;
        if (magic == ZR_PACKAGE_MAGIC_BLOCK && section != ZR_Section::voice)
            ZR_blockEncipher(stored.data(), uint32_t(stored.size()));
        bytes::putLe32(&trailer[264 + 8 * int(section)], uint32_t(file.size()));
        bytes::putLe32(&trailer[268 + 8 * int(section)], uint32_t(stored.size()));
        file.insert(file.end(), stored.begin(), stored.end());
    }
    bytes::putLe32(&trailer[0], 516);
    bytes::putLe32(&trailer[4], 5);
    std::memcpy(&trailer[8], "Halcyon Path", 12);
    bytes::putLe32(&trailer[512], magic);
    bytes::putLe32(&trailer[516], bytes::sum32(trailer.data(), 516));
    ZR_headerXor(520, trailer.data());
    file.insert(file.end(), trailer.begin(), trailer.end());
    return file;
}

struct BigContainer {
    std::string path;
    size_t size = 0;
};

const BigContainer& bigContainer()
{
    static const BigContainer container = [] {
        const uint32_t provinceRecords = (8u << 20) / 16 - 200; // section of just under 8 MiB
        const Bytes file = buildContainer(ZR_PACKAGE_MAGIC_BLOCK,
                                          {{ZR_Section::radarMute, randomBytes(819200, 1)},
                                           {ZR_Section::voice, randomBytes(2u << 20, 2)},
                                           {ZR_Section::gps, randomBytes(5u << 20, 3)},
                                           {ZR_Section::gpsProvinceRecords, provinceRecordsPlain(provinceRecords, 4)}});
        BigContainer c;
        c.path = "/tmp/tessaly_bench_package_" + std::to_string(getpid()) + ".dzr";
        c.size = file.size();
        FILE* f = std::fopen(c.path.c_str(), "wb");
        if (!f || std::fwrite(file.data(), 1, file.size(), f) != file.size())
            std::abort();
        std::fclose(f);
        std::atexit([] { std::remove(bigContainer().path.c_str()); });
        return c;
    }();
    return container;
}

// Peak of the bytes the package holds at once, through its allocator seam.
struct PeakAllocator {
    size_t live = 0;
    size_t peak = 0;
};

void* peakAllocate(void* context, size_t size)
{
    auto* a = static_cast<PeakAllocator*>(context);
    auto* block = static_cast<size_t*>(std::malloc(size + 16));
    if (!block)
        return nullptr;
    block[0] = size;
    a->live += size;
    a->peak = std::max(a->peak, a->live);
    return block + 2;
}

void peakRelease(void* context, void* block)
{
    size_t* header = static_cast<size_t*>(block) - 2;
    static_cast<PeakAllocator*>(context)->live -= header[0];
    std::free(header);
}

long statusKiB(const char* field)
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long value = -1;
    const size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0)
            value = std::strtol(line + n, nullptr, 10);
    std::fclose(f);
    return value;
}

// Growth of the resident high-water mark over one load, in a child process
// whose free heap has been handed back and whose high-water mark has been
// reset to its resident size, so that memory left over from earlier work
// neither hides nor inflates the load's own. Also times that first, cold load.
struct ChildLoad {
    long rssDeltaKiB = -1;
    double coldMs = -1;
};

ChildLoad loadInChild(const char* path)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        ChildLoad result;
        malloc_trim(0);
        FILE* clear = std::fopen("/proc/self/clear_refs", "w");
        const bool reset = clear && std::fputs("5", clear) >= 0 && std::fclose(clear) == 0;
        if (reset) {
            const long before = statusKiB("VmHWM:");
            const auto start = std::chrono::steady_clock::now();
            ZR_Package* p = ZR_Package_load(path);
            result.coldMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            if (p)
                result.rssDeltaKiB = statusKiB("VmHWM:") - before;
            ZR_Package_free(p);
        }
        [[maybe_unused]] ssize_t w = write(fds[1], &result, sizeof result);
        _exit(0);
    }
    close(fds[1]);
    ChildLoad result;
    if (read(fds[0], &result, sizeof result) != sizeof result)
        result = {};
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return result;
}

void BM_PackageLoad(benchmark::State& state)
{
    const BigContainer& c = bigContainer();
    for (auto _ : state) {
        ZR_Package* p = ZR_Package_load(c.path.c_str());
        if (!p || p->gpsProvinceRecords.count != PROVINCE_COUNT || p->gps.size != (5u << 20)) {
            state.SkipWithError("container did not load");
            ZR_Package_free(p);
            return;
        }
        benchmark::DoNotOptimize(p->gps.buffer);
        ZR_Package_free(p);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c.size));

    PeakAllocator peak;
    const ZR_PackageAllocator counting = {peakAllocate, peakRelease, &peak};
    ZR_Package_setAllocator(&counting);
    ZR_Package_free(ZR_Package_load(c.path.c_str()));
    ZR_Package_setAllocator(nullptr);
    const double fileMiB = double(c.size) / (1 << 20);
    state.counters["fileMiB"] = fileMiB;
    state.counters["peakHeldMiB"] = double(peak.peak) / (1 << 20);
    state.counters["peakHeldRatio"] = double(peak.peak) / double(c.size);
    const ChildLoad cold = loadInChild(c.path.c_str());
    state.counters["rssDeltaMiB"] = cold.rssDeltaKiB / 1024.0;
    state.counters["rssRatio"] = cold.rssDeltaKiB / 1024.0 / fileMiB;
    state.counters["coldLoadMs"] = cold.coldMs;
}
BENCHMARK(BM_PackageLoad)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AssembleProvinceGps(benchmark::State& state)
{
    const uint32_t records = uint32_t(state.range(0));
    static Bytes file;
    file = buildContainer(ZR_PACKAGE_MAGIC_PLAIN, {{ZR_Section::gpsProvinceRecords, provinceRecordsPlain(records, 5)}});
    ZR_Stream* stream = ZR_Stream_openMemory(file.data(), uint32_t(file.size()));
    ZR_Stream_seekTo(stream, uint32_t(file.size()));
    ZR_Package* p = ZR_Package_loadFromStream(stream);
    ZR_Stream_release(stream);
    if (!p || p->gpsProvinceRecords.count != PROVINCE_COUNT) {
        state.SkipWithError("records did not load");
        ZR_Package_free(p);
        return;
    }
    uint8_t all[PROVINCE_COUNT];
    std::memset(all, 1, sizeof all);
    for (auto _ : state) {
        if (!ZR_Package_assembleProvinceGps(p, all)) {
            state.SkipWithError("assembly failed");
            break;
        }
        benchmark::DoNotOptimize(p->gpsProvinceRecords.assembled.buffer);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * records);
    ZR_Package_free(p);
}
BENCHMARK(BM_AssembleProvinceGps)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
