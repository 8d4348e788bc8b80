// Unpacking a 20 MiB container from its zip archive into a file, the way the
// update workflow does it, against `unzip -p` doing the same job in the same
// run. Both include opening the archive and closing the output file; unzip
// also pays for starting a shell and itself, a few milliseconds.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/extract.h"
#include "core/stream.h"

namespace {

constexpr size_t kContainerBytes = 20u << 20;

// Records shaped like GPS data: slowly walking coordinates, a handful of
// kinds, short labels. Deflate takes it to roughly a third.
std::vector<uint8_t> containerBytes()
{
    static const char* const kLabels[] = {"cam", "speed", "hazard", "tunnel", "bridge", "school", "radar", "zone"};
    std::vector<uint8_t> out;
    out.reserve(kContainerBytes);
    uint32_t seed = 0x2545F491, lat = 22000000, lon = 113000000, id = 0;
    auto rnd = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    auto put32 = [&out](uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
    };
    while (out.size() < kContainerBytes) {
        lat += (rnd() >> 20) % 4096;
        lon += (rnd() >> 20) % 4096;
        put32(id++);
        put32(lat);
        put32(lon);
        uint32_t r = rnd();
        out.push_back(uint8_t(r >> 29));          // kind
        out.push_back(uint8_t(30 + (r >> 24) % 8 * 10)); // speed limit
        for (const char* c = kLabels[(r >> 16) % 8]; *c; ++c) out.push_back(uint8_t(*c));
        out.push_back(0);
    }
    out.resize(kContainerBytes);
    return out;
}

// The archive is made once per run with Info-ZIP zip at its default level and
// removed, with its folder, when the program ends.
struct Workspace {
    std::filesystem::path dir;
    std::string archive;
    std::string error;

    Workspace()
    {
        char pattern[] = "/tmp/tessaly_bench_extract_XXXXXX";
        if (!mkdtemp(pattern)) {
            error = "mkdtemp failed";
            return;
        }
        dir = pattern;
        auto bytes = containerBytes();
        std::string container = (dir / "pack.dzr").string();
        FILE* f = std::fopen(container.c_str(), "wb");
        if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
            error = "cannot write the container";
            return;
        }
        archive = (dir / "pack.zip").string();
        std::string cmd = "zip -q -j '" + archive + "' '" + container + "'";
        if (std::system(cmd.c_str()) != 0)
            error = "zip failed (scripts/install-deps.sh installs it)";
        std::filesystem::remove(container);
    }
    ~Workspace()
    {
        std::error_code ignored;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ignored);
    }
    std::string output(const char* name) const { return (dir / name).string(); }
};

const Workspace& workspace()
{
    static Workspace w;
    return w;
}

void BM_ExtractContainer(benchmark::State& state)
{
    const Workspace& w = workspace();
    if (!w.error.empty()) {
        state.SkipWithError(w.error.c_str());
        return;
    }
    const std::string out = w.output("extracted.dzr");
    for (auto _ : state) {
        ZR_Stream* sink = ZR_Stream_openFile(out.c_str(), ZR_STREAM_WRITE);
        int ok = ZR_extractContainer(w.archive.c_str(), nullptr, nullptr, sink);
        ZR_Stream_release(sink);
        if (ok != 1) {
            state.SkipWithError("extraction failed");
            return;
        }
    }
    if (std::filesystem::file_size(out) != kContainerBytes)
        state.SkipWithError("extracted container has the wrong size");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kContainerBytes));
    state.counters["archive_MiB"] = double(std::filesystem::file_size(w.archive)) / (1 << 20);
}
BENCHMARK(BM_ExtractContainer)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UnzipP(benchmark::State& state)
{
    const Workspace& w = workspace();
    if (!w.error.empty()) {
        state.SkipWithError(w.error.c_str());
        return;
    }
    const std::string out = w.output("unzipped.dzr");
    const std::string cmd = "unzip -p '" + w.archive + "' > '" + out + "'";
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("unzip failed (scripts/install-deps.sh installs it)");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kContainerBytes));
}
BENCHMARK(BM_UnzipP)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
