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
    std::string error;
    if (!bench.start("502", &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
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
            app.processEvents(QEventLoop::WaitForMoreEvents, 50);
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

} // namespace

#endif // TESSALY_BENCH_WINDOW
