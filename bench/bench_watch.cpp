// `tessaly-cli watch` at a bench of tessaly-devsim devices, 1 ms per report,
// each taking a 1 MiB package. Devices updated side by side must not slow
// each other down: four at once take at most 1.15 times as long as one alone,
// both measured in the same run. And a device that drops off in the middle
// of its write must not cost the others their update.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_devsim.h"
#include "bench/bench_packages.h"
#include "platform/sim_folder.h"
#include "sim/sim_device.h"
#include "tools/container_builder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench_devsim::TempFolder;

constexpr int kDevices = 4;
// Far above what a round takes: only a hang meets it.
constexpr auto kRoundLimit = std::chrono::minutes(5);

// A child process with its output in files, in a process group of its own;
// killed when the record goes.
class Process {
public:
    Process(std::vector<std::string> args, const fs::path& out, const fs::path& err)
    {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        if (posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process()
    {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool started() const { return pid_ > 0; }
    // Sends sig and waits for the end; the exit status, -1 when it did not end in time.
    int stop(int sig, std::chrono::seconds limit)
    {
        if (pid_ <= 0) return -1;
        kill(pid_, sig);
        const auto until = Clock::now() + limit;
        int raw = 0;
        while (waitpid(pid_, &raw, WNOHANG) == 0) {
            if (Clock::now() > until) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }

private:
    pid_t pid_ = -1;
};

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

// One round: `devices` simulated devices in a fresh folder (the first
// `faulty` of them dropping off after faultReports reports), watch started
// and run until every device has its line. Wall time from watch's start to
// the last line; the number of devices updated.
struct Round {
    double seconds = 0;
    int updated = 0;
    std::string error;
};

Round runRound(const fs::path& base, const std::string& package, int devices, int faulty, int faultReports)
{
    Round round;
    const fs::path dir = base / ("round-" + std::to_string(devices) + "-" + std::to_string(faulty));
    const fs::path sim = dir / "sim";
    std::error_code ec;
    fs::create_directories(sim, ec);
    fs::permissions(sim, fs::perms::owner_all, ec);
    std::vector<std::unique_ptr<Process>> sims;
    for (int i = 0; i < devices; ++i) {
        const std::string id = "w" + std::to_string(i);
        std::vector<std::string> args = {TESSALY_DEVSIM, "--dir", sim.string(), "--id", id, "--mode", "hid",
                                         "--preset", "502", "--latency-us", std::to_string(bench_devsim::kLatencyUs)};
        if (i < faulty) args.insert(args.end(), {"--fault", "disconnect:" + std::to_string(faultReports)});
        sims.push_back(std::make_unique<Process>(args, "/dev/null", dir / (id + ".log")));
        const std::string socket =
            SimFolder_entryPath(sim.string(), SimFolder_socketName(kSimVendorId, kSimProductId, id));
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (!SimFolder_isTrustedEntry(socket, SIM_ENTRY_SOCKET) && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!SimFolder_isTrustedEntry(socket, SIM_ENTRY_SOCKET)) {
            round.error = "tessaly-devsim " + id + " did not come up";
            return round;
        }
    }

    const fs::path out = dir / "watch.out", err = dir / "watch.err";
    const auto start = Clock::now();
    Process watch({TESSALY_CLI, "--sim-dir", sim.string(), "watch", "--package", package, "--json", "-y"}, out, err);
    while (int(lines(readText(out)).size()) < devices && Clock::now() - start < kRoundLimit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    round.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    watch.stop(SIGINT, std::chrono::seconds(60));
    const std::vector<std::string> results = lines(readText(out));
    if (int(results.size()) < devices) {
        round.error = "watch gave " + std::to_string(results.size()) + " of " + std::to_string(devices) +
                      " lines: " + readText(err);
        return round;
    }
    for (const std::string& line : results) round.updated += line.find("\"outcome\":\"updated\"") != std::string::npos;
    return round;
}

// The 1 MiB package in the bench's folder; "" with the skip reason set.
std::string writePackage(const TempFolder& temp, benchmark::State& state)
{
    std::string error;
    const fs::path path = temp.path() / "watch.dzr";
    if (!ContainerBuilder_writeFile(Bench_package("Halcyon Path", 1u << 20), path.string(), &error)) {
        state.SkipWithError(("cannot build the package: " + error).c_str());
        return std::string();
    }
    return path.string();
}

// One device alone, then four side by side, in the same run.
void BM_WatchFourDevices(benchmark::State& state)
{
    TempFolder temp;
    const std::string package = temp.ok() ? writePackage(temp, state) : std::string();
    if (package.empty()) {
        if (!temp.ok()) state.SkipWithError("cannot create a temporary folder");
        return;
    }
    Round one, four;
    for (auto _ : state) {
        one = runRound(temp.path(), package, 1, 0, 0);
        four = runRound(temp.path(), package, kDevices, 0, 0);
    }
    if (!one.error.empty() || !four.error.empty()) {
        state.SkipWithError((one.error + four.error).c_str());
        return;
    }
    state.counters["one_device_s"] = one.seconds;
    state.counters["four_devices_s"] = four.seconds;
    state.counters["ratio"] = one.seconds > 0 ? four.seconds / one.seconds : 0;
    state.counters["budget_ratio"] = 1.15;
    state.counters["updated"] = four.updated;
    if (four.updated != kDevices) state.SkipWithError("not every device was updated");
}
BENCHMARK(BM_WatchFourDevices)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Four devices, one of which vanishes in the middle of its write.
void BM_WatchOneFaulty(benchmark::State& state)
{
    TempFolder temp;
    const std::string package = temp.ok() ? writePackage(temp, state) : std::string();
    if (package.empty()) {
        if (!temp.ok()) state.SkipWithError("cannot create a temporary folder");
        return;
    }
    Round round;
    for (auto _ : state) round = runRound(temp.path(), package, kDevices, 1, 8000);
    if (!round.error.empty()) {
        state.SkipWithError(round.error.c_str());
        return;
    }
    state.counters["seconds"] = round.seconds;
    state.counters["others_updated"] = round.updated;
    if (round.updated != kDevices - 1) state.SkipWithError("the healthy devices were not all updated");
}
BENCHMARK(BM_WatchOneFaulty)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace
