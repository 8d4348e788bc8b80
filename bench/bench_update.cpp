// Updates against tessaly-devsim, the simulated device as its own process on
// the socket transport, with 1 ms per report as USB full speed gives. The
// link must be what an update waits for: the total time is set against the
// time its reports take on the wire, and the progress text must reach the
// window at most 20 times a second.
//
// Each benchmark starts its own simulator in a private temporary folder and
// stops it and removes the folder on every way out. Reports are counted on
// the host side of the link and must agree with the simulator's own counters,
// which it logs when the host leaves.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common_k52/hidc.h"
#include "common_k52/machine.h"
#include "core/log.h"
#include "platform/hid_transport.h"
#include "platform/sim_folder.h"
#include "platform/text_codec.h"
#include "sim/sim_device.h"
#include "bench/bench_devsim.h"
#include "bench/bench_packages.h"
#include "tools/container_builder.h"
#include "ui/tessaly_dlg.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

using namespace bench_devsim;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// ---------------------------------------------------------------------------
// The link alone: one long write through the command channel

void BM_WriteOverDevsim(benchmark::State& state)
{
    QuietLog quiet;
    DevsimBench bench;
    if (!bench.start("502", state)) return;
    std::string error;
    LinkCounts counts;
    HidcChannel channel{};
    channel.port = openCountedPort(bench.devsim.socketPath(), &counts);
    channel.bootVersion = channel.port ? Hidc_getBootVersion(&channel) : 0;
    if (channel.bootVersion == 0) {
        Hidc_closePort(channel.port);
        state.SkipWithError("the simulated device did not answer");
        return;
    }

    const uint32_t size = uint32_t(state.range(0));
    Bytes image(size);
    std::mt19937 rng(11);
    for (auto& b : image) b = uint8_t(rng());
    double total = 0;
    uint64_t reports = 0;
    for (auto _ : state) {
        const uint64_t before = counts.total();
        auto start = Clock::now();
        if (!Hidc_writeFlash(&channel, 0x400000, image.data(), size, false, 0)) {
            state.SkipWithError("write failed");
            break;
        }
        total = secondsSince(start);
        reports = counts.total() - before;
    }
    Hidc_closePort(channel.port);
    bench.devsim.stop();

    const double wire = double(reports) * kLatencyUs * 1e-6;
    state.counters["reports"] = double(reports);
    state.counters["wire_s"] = wire;
    state.counters["total_s"] = total;
    state.counters["ratio"] = wire > 0 ? total / wire : 0;
    if (!state.error_occurred()) checkDeviceCounters(state, bench.devsim, counts);
}
BENCHMARK(BM_WriteOverDevsim)->Arg(1 << 20)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// ---------------------------------------------------------------------------
// The whole update through the main window's logic

// A window host for CTessalyDlg: the benchmark's thread is the window thread
// and pumps its messages; the times of the progress texts are recorded.
class ProgressHost : public DialogHost {
public:
    std::string openFile;  // answer of the file-open dialog

    // Runs messages on the calling thread until done() holds or the limit
    // passes (false).
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit)
    {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (done()) return true;
            std::function<void()> job;
            {
                std::unique_lock g(lock_);
                if (Clock::now() >= deadline) return false;
                // Woken by a message, else every 20 ms to look at done() again.
                wake_.wait_for(g, std::chrono::milliseconds(20), [this] { return !queue_.empty(); });
                if (queue_.empty()) continue;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            job();
        }
    }

    // Progress texts are timed from here on.
    void startTiming()
    {
        std::lock_guard g(lock_);
        progressTimes_.clear();
        timing_ = true;
    }
    std::vector<Clock::time_point> progressTimes() const
    {
        std::lock_guard g(lock_);
        return progressTimes_;
    }
    int boxCount() const
    {
        std::lock_guard g(lock_);
        return boxCount_;
    }
    unsigned lastBoxFlags() const
    {
        std::lock_guard g(lock_);
        return lastBoxFlags_;
    }
    std::string lastBoxText() const
    {
        std::lock_guard g(lock_);
        return lastBoxText_;
    }

    void setMessageHandler(MessageHandler handler) override
    {
        std::lock_guard g(lock_);
        handler_ = std::move(handler);
    }
    void setText(int id, const std::string& text) override
    {
        std::lock_guard g(lock_);
        texts_[id] = text;
        if (id == IDC_PROGRESS && timing_) progressTimes_.push_back(Clock::now());
    }
    std::string text(int id) const override
    {
        std::lock_guard g(lock_);
        auto it = texts_.find(id);
        return it == texts_.end() ? std::string() : it->second;
    }
    void setEnabled(int, bool) override {}
    bool isEnabled(int) const override { return true; }
    void setVisible(int, bool) override {}
    void setChecked(int, bool) override {}
    bool isChecked(int) const override { return false; }
    void setFocus(int) override {}
    void setTitle(const std::string&) override {}
    std::string title() const override { return {}; }
    void setProgressRange(int, uint32_t, uint32_t) override {}
    void setProgressPos(int, uint32_t) override {}
    int messageBox(const std::string& text, const std::string&, unsigned flags) override
    {
        std::lock_guard g(lock_);
        ++boxCount_;
        lastBoxFlags_ = flags;
        lastBoxText_ = text;
        return (flags & 0x0F) == HOST_MB_YESNO ? HOST_IDYES : HOST_IDOK;
    }
    bool chooseOpenFile(const std::string&, const std::string&, std::string* path) override
    {
        if (openFile.empty()) return false;
        *path = openFile;
        return true;
    }
    bool chooseSaveFile(const std::string&, const std::string&, std::string*) override { return false; }
    intptr_t sendMessage(unsigned message, uintptr_t wParam, intptr_t lParam) override
    {
        if (onWindowThread()) return deliver(message, wParam, lParam);
        auto answer = std::make_shared<std::promise<intptr_t>>();
        auto result = answer->get_future();
        enqueue([this, message, wParam, lParam, answer] { answer->set_value(deliver(message, wParam, lParam)); });
        return result.get();
    }
    void postMessage(unsigned message, uintptr_t wParam, intptr_t lParam) override
    {
        enqueue([this, message, wParam, lParam] { deliver(message, wParam, lParam); });
    }
    // Not used by the window; run with the next messages instead of delayed.
    void singleShot(uint32_t, std::function<void()> fn) override { enqueue(std::move(fn)); }
    bool onWindowThread() const override { return std::this_thread::get_id() == windowThread_; }

private:
    void enqueue(std::function<void()> fn)
    {
        {
            std::lock_guard g(lock_);
            queue_.push_back(std::move(fn));
        }
        wake_.notify_one();
    }
    intptr_t deliver(unsigned message, uintptr_t wParam, intptr_t lParam)
    {
        MessageHandler handler;
        {
            std::lock_guard g(lock_);
            handler = handler_;
        }
        return handler ? handler(message, wParam, lParam) : 0;
    }

    const std::thread::id windowThread_ = std::this_thread::get_id();
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    MessageHandler handler_;
    std::map<int, std::string> texts_;
    bool timing_ = false;
    std::vector<Clock::time_point> progressTimes_;
    int boxCount_ = 0;
    unsigned lastBoxFlags_ = 0;
    std::string lastBoxText_;
};

// Connects the window straight to the simulator's socket through a counted port.
class CountedDiscovery : public TessalyDiscovery {
public:
    CountedDiscovery(std::string path, LinkCounts* counts) : path_(std::move(path)), counts_(counts) {}
    void onStartup(DiscoveryHooks* hooks) override
    {
        hooks->machine->channel->port = openCountedPort(path_, counts_);
        if (hooks->machine->channel->port) ZR_Machine_identify(hooks->machine);
        if (hooks->refreshConnection) hooks->refreshConnection(hooks->user);
    }
    void onDeviceChange(DiscoveryHooks*, const DeviceEvent&) override {}

private:
    std::string path_;
    LinkCounts* counts_;
};

// Boot, program, voice, radar mute, update tool, OLED and GPS adding up to
// 8 MiB, with a program entry for the 502 preset's board HB6T.
ContainerSpec packageSpec(const std::string& client) { return Bench_eightMiBPackage(client); }

// The most progress texts that fell within any one second.
size_t mostInOneSecond(const std::vector<Clock::time_point>& times)
{
    size_t most = 0, first = 0;
    for (size_t last = 0; last < times.size(); ++last) {
        while (times[last] - times[first] >= std::chrono::seconds(1)) ++first;
        most = std::max(most, last - first + 1);
    }
    return most;
}

void BM_UpdateOverDevsim(benchmark::State& state)
{
    QuietLog quiet;
    DevsimBench bench;
    if (!bench.start("502", state)) return;
    std::string error;
    const std::string client = "Halcyon Path";  // the 502 preset's client
    const fs::path packagePath = bench.temp.path() / "update.dzr";
    if (!ContainerBuilder_writeFile(packageSpec(client), packagePath.string(), &error)) {
        state.SkipWithError(("cannot build the package: " + error).c_str());
        return;
    }

    LinkCounts counts;
    ProgressHost host;
    host.openFile = packagePath.string();
    TessalyDlgHooks hooks;
    hooks.discovery = std::make_shared<CountedDiscovery>(bench.devsim.socketPath(), &counts);
    hooks.clientName = client;
    auto dlg = std::make_unique<CTessalyDlg>(host, hooks);
    dlg->OnOpenPackage();
    if (!dlg->OnInitDialog() || !dlg->isConnected()) {
        state.SkipWithError("the simulated device did not identify");
        return;
    }
    const uint64_t identifyReports = counts.total();

    double total = 0;
    uint64_t reports = 0;
    for (auto _ : state) {
        const int boxes = host.boxCount();
        const uint64_t before = counts.total();
        host.startTiming();
        auto start = Clock::now();
        dlg->OnSend();
        bool ended = host.runUntil([&] { return !dlg->isUpdating(); }, std::chrono::minutes(10));
        total = secondsSince(start);
        reports = counts.total() - before;
        // The end message and the result box.
        host.runUntil([&] { return host.boxCount() > boxes; }, std::chrono::seconds(5));
        if (!ended || host.boxCount() == boxes || host.lastBoxFlags() != HOST_MB_ICONINFORMATION) {
            state.SkipWithError(("update failed: " + Text_gbkToUtf8(host.lastBoxText())).c_str());
            break;
        }
    }
    std::vector<Clock::time_point> progress = host.progressTimes();
    dlg.reset();  // closes the port: the simulator logs the session's counters
    bench.devsim.stop();

    const double wire = double(reports) * kLatencyUs * 1e-6;
    state.counters["reports"] = double(reports);
    state.counters["identify_reports"] = double(identifyReports);
    state.counters["wire_s"] = wire;
    state.counters["total_s"] = total;
    state.counters["ratio"] = wire > 0 ? total / wire : 0;
    state.counters["progress_updates"] = double(progress.size());
    state.counters["progress_updates_per_s_max"] = double(mostInOneSecond(progress));
    if (!state.error_occurred()) checkDeviceCounters(state, bench.devsim, counts);
}
BENCHMARK(BM_UpdateOverDevsim)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
