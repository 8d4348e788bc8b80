// The desktop window's budgets: during an update over tessaly-devsim at 1 ms
// per report the window's loop keeps turning (a 10 ms timer never waits more
// than 50 ms) and the progress bar repaints at most 20 times a second; the
// program shows its window within 300 ms of its start and stays under 80 MiB
// resident when idle. Built with the window only.
#ifdef TESSALY_BENCH_WINDOW

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QUrl>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_devsim.h"
#include "bench/bench_packages.h"
#include "common_k52/discovery.h"
#include "tools/container_builder.h"
#include "ui/qt/main_window.h"
#include "ui/qt/single_instance.h"
#include "ui/qt/text_progress.h"

namespace {

using namespace bench_devsim;

// One application object for the whole process, offscreen unless told otherwise.
QApplication& application()
{
    static int argc = 1;
    static char name[] = "tessaly_bench";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication app(argc, argv);
    return app;
}

// The simulator's socket, opened as discovery would open it.
class SocketDiscovery : public TessalyDiscovery {
public:
    explicit SocketDiscovery(std::string path) : path_(std::move(path)) {}
    void onStartup(DiscoveryHooks* hooks) override
    {
        Discovery_openChannel(hooks->machine, path_.c_str());
        hooks->refreshConnection(hooks->user);
    }
    void onDeviceChange(DiscoveryHooks*, const DeviceEvent&) override {}

private:
    std::string path_;
};

struct Tick {
    qint64 ms;
    int paints;
};

void BM_WindowDuringUpdate(benchmark::State& state)
{
    QApplication& app = application();
    QuietLog quiet;
    DevsimBench bench;
    if (!bench.start("502", state)) return;
    std::string error;
    const fs::path packagePath = bench.temp.path() / "update.dzr";
    if (!ContainerBuilder_writeFile(Bench_package("Halcyon Path", 2u << 20), packagePath.string(), &error)) {
        state.SkipWithError(("cannot build the package: " + error).c_str());
        return;
    }

    TessalyWindowOptions options;
    options.discovery = std::make_shared<SocketDiscovery>(bench.devsim.socketPath());
    options.prepare = [](CTessalyDlg& dlg) { dlg.versionLookup().clientName = "No Such Client"; };
    auto window = std::make_unique<TessalyWindow>(options);
    unsigned lastFlags = 0;
    int boxes = 0;
    window->host().answerMessageBox = [&](const QString&, const QString&, unsigned flags) {
        lastFlags = flags;
        ++boxes;
        return (flags & 0x0F) == HOST_MB_YESNO ? HOST_IDYES : HOST_IDOK;
    };
    if (!window->start() || !window->dialog()->isConnected()) {
        state.SkipWithError("the simulated device did not identify");
        return;
    }
    window->show();
    window->dropFiles({QUrl::fromLocalFile(QString::fromStdString(packagePath.string()))});

    std::vector<Tick> ticks;
    QElapsedTimer clock;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&] { ticks.push_back({clock.elapsed(), window->progressBar()->paintCount()}); });
    for (auto _ : state) {
        clock.start();
        timer.start(10);
        window->dialog()->windowProc(WM_COMMAND, IDC_SEND, 0);
        QElapsedTimer limit;
        limit.start();
        while ((window->dialog()->isUpdating() || boxes == 0) && limit.elapsed() < 10 * 60 * 1000)
            app.processEvents(QEventLoop::WaitForMoreEvents); // the 10 ms timer wakes it
        timer.stop();
    }
    if (boxes == 0 || (lastFlags & 0xF0) != HOST_MB_ICONINFORMATION) state.SkipWithError("the update did not succeed");

    qint64 longestGap = 0;
    int mostPaints = 0;
    for (size_t i = 1, first = 0; i < ticks.size(); ++i) {
        longestGap = std::max(longestGap, ticks[i].ms - ticks[i - 1].ms);
        while (ticks[i].ms - ticks[first].ms > 1000) ++first;
        mostPaints = std::max(mostPaints, ticks[i].paints - ticks[first].paints);
    }
    state.counters["seconds"] = ticks.empty() ? 0 : double(ticks.back().ms) / 1000;
    state.counters["longest_gap_ms"] = double(longestGap);
    state.counters["repaints_per_s_max"] = double(mostPaints);
    window.reset();
}
BENCHMARK(BM_WindowDuringUpdate)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Resident memory of a process, in KiB; 0 when unknown.
long residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

// The program from its start until its window answers from outside (it
// opens that door once the window is shown), offscreen and without a device;
// then its idle resident memory.
void BM_WindowStartUp(benchmark::State& state)
{
    application();
    TempFolder temp;
    const fs::path runtime = temp.path() / "runtime", sim = temp.path() / "sim";
    std::error_code ec;
    fs::create_directories(runtime, ec);
    fs::create_directories(sim, ec);
    fs::permissions(runtime, fs::perms::owner_all, ec);
    fs::permissions(sim, fs::perms::owner_all, ec);
    const std::string runtimeEnv = "XDG_RUNTIME_DIR=" + runtime.string(), simEnv = "TESSALY_SIM_DIR=" + sim.string();
    const QString folder = QString::fromStdString(runtime.string());

    double slowest = 0, total = 0;
    long rss = 0;
    int runs = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            char* argv[] = {const_cast<char*>(TESSALY_PROGRAM), nullptr};
            char* envp[] = {const_cast<char*>("QT_QPA_PLATFORM=offscreen"), const_cast<char*>(runtimeEnv.c_str()),
                            const_cast<char*>(simEnv.c_str()), nullptr};
            execve(argv[0], argv, envp);
            _exit(127);
        }
        bool up = false;
        while (!up && Clock::now() - start < std::chrono::seconds(20)) up = SingleInstance::activateRunning(folder, 20);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        if (up) {
            std::this_thread::sleep_for(std::chrono::seconds(1)); // idle
            rss = std::max(rss, residentKiB(pid));
        }
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!up) {
            state.SkipWithError("the window did not come up");
            break;
        }
        slowest = std::max(slowest, seconds);
        total += seconds;
        ++runs;
    }
    state.counters["startup_ms_mean"] = runs ? total / runs * 1000 : 0;
    state.counters["startup_ms_max"] = slowest * 1000;
    state.counters["idle_rss_mib"] = double(rss) / 1024;
}
BENCHMARK(BM_WindowStartUp)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

#endif // TESSALY_BENCH_WINDOW
