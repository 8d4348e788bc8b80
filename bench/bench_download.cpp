// Downloading a 100 MiB package from nginx on loopback into a file with
// CHttpDownload, against `curl -s -o FILE URL` doing the same in the same run.
// The curl figure includes starting a shell and curl itself, a few milliseconds.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "net/http_download.h"
#include "tests/net/nginx_fixture.h"

namespace {

constexpr size_t kPackageBytes = 100u << 20;

// The package and a private nginx serving it, made once per run; the folder
// goes when the program ends.
struct Workspace {
    std::filesystem::path dir;
    NginxServer nginx;
    std::string url;
    std::string error;

    Workspace()
    {
        char pattern[] = "/tmp/tessaly_bench_download_XXXXXX";
        if (!mkdtemp(pattern)) {
            error = "mkdtemp failed";
            return;
        }
        dir = pattern;
        std::filesystem::create_directories(dir / "www");
        std::vector<uint8_t> block(1u << 20);
        uint32_t x = 0x9E3779B9;
        FILE* f = std::fopen((dir / "www" / "package.dzr").c_str(), "wb");
        for (size_t done = 0; f && done < kPackageBytes; done += block.size()) {
            for (uint8_t& b : block)
                b = uint8_t((x = x * 1664525u + 1013904223u) >> 24);
            std::fwrite(block.data(), 1, block.size(), f);
        }
        if (!f || std::fclose(f) != 0) {
            error = "cannot write the package";
            return;
        }
        if (!nginx.start((dir / "www").string(), &error)) {
            error += " (scripts/install-deps.sh installs nginx-light)";
            return;
        }
        url = nginx.url("/package.dzr");
    }
    ~Workspace()
    {
        nginx.stop();
        std::error_code ignored;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ignored);
    }
    std::string output(const char* name) const { return (dir / name).string(); }
};

Workspace& workspace()
{
    static Workspace w;
    return w;
}

// Stands in for the window: takes the messages and keeps a count.
struct CountingSink : MessageSink {
    std::atomic<int> messages{0};
    std::atomic<uintptr_t> result{~uintptr_t(0)};
    void post(unsigned message, uintptr_t wParam, intptr_t) override
    {
        ++messages;
        if (message == WM_DOWNLOAD_DONE)
            result = wParam;
    }
};

void BM_HttpDownload(benchmark::State& state)
{
    Workspace& w = workspace();
    if (!w.error.empty()) {
        state.SkipWithError(w.error.c_str());
        return;
    }
    const std::string out = w.output("downloaded.dzr");
    CountingSink sink;
    CHttpDownload download;
    for (auto _ : state) {
        download.Setup(&sink, w.url.c_str(), out.c_str());
        std::string text = download.Start(1);
        if (!text.empty() || sink.result != DOWNLOAD_OK) {
            state.SkipWithError(("download failed: " + text).c_str());
            return;
        }
        download.Stop();
    }
    if (std::filesystem::file_size(out) != kPackageBytes)
        state.SkipWithError("downloaded file has the wrong size");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPackageBytes));
    state.counters["messages"] = double(sink.messages) / double(state.iterations());
}
BENCHMARK(BM_HttpDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CurlOutputFile(benchmark::State& state)
{
    Workspace& w = workspace();
    if (!w.error.empty()) {
        state.SkipWithError(w.error.c_str());
        return;
    }
    const std::string out = w.output("curled.dzr");
    const std::string cmd = "curl -s -o '" + out + "' '" + w.url + "'";
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("curl failed (scripts/install-deps.sh installs it)");
            return;
        }
    }
    if (std::filesystem::file_size(out) != kPackageBytes)
        state.SkipWithError("curl's file has the wrong size");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPackageBytes));
}
BENCHMARK(BM_CurlOutputFile)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
