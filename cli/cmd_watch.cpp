// `tessaly-cli watch`: the shop's bench. Every device plugged in is switched,
// identified and updated, several at once, until Ctrl-C.
//
// Each device gets a worker thread of its own, and its update runs as a
// separate `tessaly-cli update --device ID` process in a process group of its
// own: one device that hangs, fails or crashes its run never stalls or takes
// down the others, and a Ctrl-C at the terminal reaches watch alone, which
// then lets the running writes finish. Every run keeps its temporary files in
// its own private run folder.
//
// The package is settled once, before any device is touched: a local file,
// or the one the version file names, downloaded into the user's cache
// ($XDG_CACHE_HOME/tessaly, else ~/.cache/tessaly) and reused while the
// version file names the same version and file.
//
// Output: one line per device on stdout, tab-separated,
//   <id> <board> <outcome> <seconds>s <final message>
// outcome being updated, current (the device's GPS data already as new as the
// version file's version; nothing written),
// failed or skipped (stopped before its update began); with --json one
// object per line instead. A failure's cause follows on stderr as
// "watch: <id>: <cause>".
// Exit status: 0 when every device handled was updated (or already current),
// 1 when one was not or the package could not be had, 2 for a usage error,
// 130 when stopped before watching began (during the download).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "cli/connect.h"
#include "cli/device_json.h"
#include "cli/shared_package.h"
#include "core/strings.h"
#include "cli/update_cause.h"
#include "common_k52/discovery.h"
#include "core/regular_file.h"
#include "core/run_folder.h"
#include "net/version_lookup.h"
#include "platform/device_events.h"
#include "platform/translate_marks.h"
#include "ui/tessaly_dlg.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct WatchArgs {
    std::string package;
    std::string versionUrl;
    std::string provinces;
    bool provincesGiven = false;
    bool yes = false;
    bool json = false;
};

// Rescans happen at least this often, events or not.
constexpr int kRescanMs = 500;
// How often a worker looks for its switched device in update mode.
constexpr int kSwitchPollMs = 100;
// What is kept of a run's output to find its final message and cause.
constexpr std::streamoff kOutputTail = 64 * 1024;

// Signals reach the loop through a counter and a wakeup of the event source.
std::atomic<int> g_signals{0};
std::atomic<DeviceEventSource*> g_events{nullptr};

void onSignal(int)
{
    g_signals.fetch_add(1);
    if (DeviceEventSource* events = g_events.load()) DeviceEvents_wake(events);
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string trim(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// ---------------------------------------------------------------------------
// One device's run

enum Outcome { OUTCOME_UPDATED, OUTCOME_CURRENT, OUTCOME_FAILED, OUTCOME_SKIPPED };
const char* const kOutcomeNames[] = {"updated", "current", "failed", "skipped"};

struct DeviceResult {
    std::string id;
    std::string board;         // "" when the device never identified
    int programVersion = -1;
    uint32_t gpsDate = 0;      // the device's GPS data date as YYYYMMDD; 0 when it holds none
    Outcome outcome = OUTCOME_FAILED;
    std::string message;       // the final message as the window shows it (UTF-8)
    std::string cause;         // why it failed, when known
    int exitCode = -1;         // the update run's exit status; -1 when none ran
    double seconds = 0;
};

// The non-empty lines, trimmed, of at most the file's last kOutputTail bytes.
std::vector<std::string> tailLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(size > kOutputTail ? size - kOutputTail : 0);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (std::string text = trim(line); !text.empty()) lines.push_back(std::move(text));
    return lines;
}

// Reads what an update run said: the final message is its stdout's last
// line; its cause is the last "update: " line on stderr.
void readRunOutput(const std::string& outPath, const std::string& errPath, DeviceResult* r)
{
    std::vector<std::string> out = tailLines(outPath), err = tailLines(errPath);
    if (!out.empty()) r->message = out.back();
    if (r->exitCode == CLI_EXIT_OK) {
        r->outcome = r->message.empty() ? OUTCOME_CURRENT : OUTCOME_UPDATED;
        return;
    }
    r->outcome = OUTCOME_FAILED;
    for (auto it = err.rbegin(); it != err.rend() && r->cause.empty(); ++it)
        if (it->rfind("update: ", 0) == 0) r->cause = it->substr(8);
    if (r->cause.empty() && !err.empty()) r->cause = err.back();
}

// What the workers share with the loop.
struct WatchShared {
    std::mutex mutex;
    std::vector<DeviceResult> finished;  // results the loop has not printed yet
    std::map<std::string, pid_t> running; // update runs not yet collected, by device id
    std::atomic<bool> stopping{false};   // Ctrl-C: start no new run
};

// Everything a worker needs, fixed before it starts.
struct WorkerJob {
    std::string id;
    Clock::time_point seen;       // when the device was first seen
    std::vector<std::string> argv; // the update run's command line
    int outFd = -1, errFd = -1;   // where its stdout and stderr go (closed by the worker)
    std::string outPath, errPath;
    int waitSeconds = 15;
    int networkVersion = 0;       // the version file's number; 0 for a local package
    bool assumeYes = false;       // -y: update devices that hold the newest data too
};

// The device's update-mode path, or "" when it is not (yet) in update mode.
std::string updatePathOf(const std::string& id)
{
    for (const DiscoveryDevice& device : Discovery_listDevices())
        if (device.updateMode && device.id == id) return device.path;
    return std::string();
}

// Switches a disk-mode device and waits for it in update mode; its path, or
// "" with *cause.
std::string reachUpdateMode(const WorkerJob& job, WatchShared* shared, std::string* cause)
{
    std::string path = updatePathOf(job.id);
    if (!path.empty()) return path;
    Discovery_switchToUpdateMode(job.id);
    const auto limit = Clock::now() + std::chrono::seconds(job.waitSeconds);
    while (Clock::now() < limit && !shared->stopping.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSwitchPollMs));
        path = updatePathOf(job.id);
        if (!path.empty()) return path;
    }
    if (!shared->stopping.load())
        *cause = ZR_formatString(N_("the device was switched but did not come back in update mode within %d s"),
                            job.waitSeconds);
    return std::string();
}

// Board and program version, read before the run so that even a failed run
// says which device it was. False with r->cause when the device does not answer.
bool identify(const std::string& path, DeviceResult* r)
{
    return Cli_askDevice(
        path, N_("the device did not answer"),
        [r](const ZR_Machine* machine) {
            CliJson summary = Cli_deviceSummaryJson(machine);
            r->board = summary["board"].get<std::string>();
            r->programVersion = summary["program_version"].get<int>();
            r->gpsDate = TessalyDlg_dateNumber(machine->gpsDate);
        },
        &r->cause);
}

// Starts the update run in a process group of its own, its signals at their
// defaults; -1 with errno set when it cannot start.
pid_t spawnRun(const WorkerJob& job)
{
    std::vector<std::string> args = job.argv;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, job.outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, job.errFd, STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    // The runs speak the original texts: their final message and cause
    // become the result line and the JSON, which scripts read.
    std::vector<std::string> environment;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "LC_ALL=", 7) != 0) environment.emplace_back(*e);
    environment.emplace_back("LC_ALL=C");
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (int failed = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()); failed != 0) {
        pid = -1;
        errno = failed;  // the caller reports it as any other system error
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for the run; the loop may signal it until it is marked collected, so
// the id is released under the lock before the process is reaped.
int waitRun(pid_t pid, const std::string& id, WatchShared* shared)
{
    siginfo_t info{};
    while (waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->running.erase(id);
    }
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

DeviceResult runDevice(const WorkerJob& job, WatchShared* shared)
{
    DeviceResult r;
    r.id = job.id;
    std::string path = reachUpdateMode(job, shared, &r.cause);
    bool identified = !path.empty() && identify(path, &r);
    // As the window asks before writing over data as new as the server's,
    // and watch has no one to ask.
    if (identified && job.networkVersion > 0 && !job.assumeYes && r.gpsDate != 0 &&
        r.gpsDate >= uint32_t(job.networkVersion)) {
        r.outcome = OUTCOME_CURRENT;
        identified = false;
    }
    if (identified && !shared->stopping.load()) {
        std::fprintf(stderr, "watch: %s (%s): %s\n", job.id.c_str(), r.board.c_str(), _("updating"));
        pid_t pid = -1;
        int spawnError = 0;
        {
            // Registered before it can end, so a Ctrl-C never misses it.
            std::lock_guard<std::mutex> lock(shared->mutex);
            pid = spawnRun(job);
            spawnError = errno;
            if (pid > 0) shared->running[job.id] = pid;
        }
        if (pid <= 0) {
            r.cause = ZR_formatString(N_("cannot start the update run: %s"), std::strerror(spawnError));
        } else {
            r.exitCode = waitRun(pid, job.id, shared);
            readRunOutput(job.outPath, job.errPath, &r);
            if (r.exitCode > 128 && r.cause.empty())
                r.cause = ZR_formatString(N_("the update run was ended by signal %d"), r.exitCode - 128);
        }
    }
    if (r.exitCode < 0 && r.cause.empty() && r.outcome != OUTCOME_CURRENT) r.outcome = OUTCOME_SKIPPED;
    close(job.outFd);
    close(job.errFd);
    r.seconds = secondsSince(job.seen);
    return r;
}

// ---------------------------------------------------------------------------
// The loop

void printResult(const DeviceResult& r, bool json)
{
    if (json) {
        CliJson line = {{"device", r.id},
                        {"board", r.board.empty() ? CliJson(nullptr) : CliJson(r.board)},
                        {"program_version", r.programVersion < 0 ? CliJson(nullptr) : CliJson(r.programVersion)},
                        {"outcome", kOutcomeNames[r.outcome]},
                        {"message", r.message},
                        {"cause", r.cause.empty() ? CliJson(nullptr) : CliJson(r.cause)},
                        {"exit_code", r.exitCode < 0 ? CliJson(nullptr) : CliJson(r.exitCode)},
                        {"seconds", double(int64_t(r.seconds * 10 + 0.5)) / 10}};
        std::printf("%s\n", line.dump(-1, ' ', false, CliJson::error_handler_t::replace).c_str());
    } else {
        std::printf("%s\t%s\t%s\t%.1fs\t%s\n", r.id.c_str(), r.board.empty() ? "-" : r.board.c_str(),
                    kOutcomeNames[r.outcome], r.seconds, r.message.c_str());
    }
    std::fflush(stdout);
    // The line and the JSON are for scripts and keep the English; the cause
    // on stderr is for the user.
    if (!r.cause.empty()) std::fprintf(stderr, "watch: %s: %s\n", r.id.c_str(), Cli_translatedCause(r.cause).c_str());
}

// The path of this program, to start the update runs with.
std::string selfPath()
{
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string("tessaly-cli");
}

class Watcher {
public:
    Watcher(const CliOptions& options, const WatchArgs& args, const CliSharedPackage& package,
            DeviceEventSource* events)
        : options_(options), args_(args), package_(package), events_(events), folder_(ZR_RunFolder_create())
    {
    }
    ~Watcher()
    {
        for (auto& [id, device] : devices_)
            if (device.worker.joinable()) device.worker.join();
    }

    // Runs until a signal and the end of the runs it let finish. The exit status.
    int run()
    {
        if (!folder_) {
            std::fprintf(stderr, "watch: %s\n",
                         ZR_formatString(_("cannot create a temporary folder: %s"), std::strerror(errno)).c_str());
            return CLI_EXIT_ERROR;
        }
        int handledSignals = 0;
        std::vector<DeviceEvent> events;
        for (;;) {
            handledSignals = takeSignals(handledSignals);
            collect();
            if (shared_.stopping.load() && runningCount() == 0) break;
            if (!shared_.stopping.load()) scan(events);
            events.clear();
            // A source that failed no longer waits: the rescans pace the loop then.
            if (DeviceEvents_wait(events_, kRescanMs, &events) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(kRescanMs));
        }
        return allGood_ ? CLI_EXIT_OK : CLI_EXIT_ERROR;
    }

private:
    struct Tracked {
        std::thread worker;
        bool done = false;       // its result is printed
        std::string outName, errName;
    };

    // The first signal stops new runs; each later one is passed on to the
    // runs, whose own rules then apply (a second within their time cancels).
    int takeSignals(int handled)
    {
        int now = g_signals.load();
        if (now == handled) return handled;
        if (!shared_.stopping.exchange(true)) {
            int n = runningCount();
            std::fprintf(stderr, "watch: %s\n",
                         n == 1 ? _("stopping; waiting for 1 running update (Ctrl-C again passes it on to them)")
                                : ZR_formatString(_("stopping; waiting for %d running updates (Ctrl-C again passes it on to "
                                               "them)"),
                                             n)
                                      .c_str());
        } else {
            std::lock_guard<std::mutex> lock(shared_.mutex);
            for (const auto& [id, pid] : shared_.running) kill(-pid, SIGINT);
        }
        return now;
    }

    int runningCount() const
    {
        int n = 0;
        for (const auto& [id, device] : devices_) n += device.done ? 0 : 1;
        return n;
    }

    void collect()
    {
        std::vector<DeviceResult> results;
        {
            std::lock_guard<std::mutex> lock(shared_.mutex);
            results.swap(shared_.finished);
        }
        for (const DeviceResult& r : results) {
            Tracked& device = devices_[r.id];
            if (device.worker.joinable()) device.worker.join();
            device.done = true;
            ZR_RunFolder_removeFile(folder_.get(), device.outName.c_str());
            ZR_RunFolder_removeFile(folder_.get(), device.errName.c_str());
            if (r.outcome != OUTCOME_UPDATED && r.outcome != OUTCOME_CURRENT) allGood_ = false;
            printResult(r, args_.json);
        }
    }

    // New devices get a worker; a handled device that is gone (in neither
    // mode, or its update interface reported removed) is forgotten, so
    // plugging it in again updates it again, however quickly that happens.
    void scan(const std::vector<DeviceEvent>& events)
    {
        for (const DeviceEvent& event : events) {
            if (event.kind != DEVICE_REMOVE_COMPLETE || !Discovery_isUpdateInterface(event)) continue;
            auto it = devices_.find(Discovery_hidDeviceId(event.path));
            if (it != devices_.end() && it->second.done) devices_.erase(it);
        }
        std::vector<std::string> present;
        for (const DiscoveryDevice& device : Discovery_listDevices())
            if (options_.device.empty() || device.id == options_.device) present.push_back(device.id);
        for (auto it = devices_.begin(); it != devices_.end();) {
            bool here = std::find(present.begin(), present.end(), it->first) != present.end();
            it = it->second.done && !here ? devices_.erase(it) : std::next(it);
        }
        for (const std::string& id : present)
            if (!devices_.count(id)) start(id);
    }

    void start(const std::string& id)
    {
        Tracked& device = devices_[id];
        WorkerJob job;
        job.id = id;
        job.seen = Clock::now();
        job.waitSeconds = options_.waitSeconds;
        job.networkVersion = package_.version;
        job.assumeYes = args_.yes;
        // The file names carry a sequence number: an id may hold any character.
        const std::string base = "run" + std::to_string(++runs_);
        device.outName = base + ".out";
        device.errName = base + ".err";
        job.outFd = ZR_RunFolder_createFile(folder_.get(), device.outName.c_str());
        job.errFd = ZR_RunFolder_createFile(folder_.get(), device.errName.c_str());
        job.outPath = ZR_RunFolder_pathOf(folder_.get(), device.outName.c_str());
        job.errPath = ZR_RunFolder_pathOf(folder_.get(), device.errName.c_str());
        job.argv = {selfPath(), "--wait", std::to_string(options_.waitSeconds)};
        if (!options_.simDir.empty()) job.argv.insert(job.argv.end(), {"--sim-dir", options_.simDir});
        job.argv.insert(job.argv.end(), {"update", "--device", id, "--package", package_.path});
        if (args_.provincesGiven) job.argv.insert(job.argv.end(), {"--provinces", args_.provinces});
        if (args_.yes) job.argv.push_back("--yes");
        WatchShared* shared = &shared_;
        DeviceEventSource* events = events_;
        if (job.outFd < 0 || job.errFd < 0) {
            // Reported like any other device that failed.
            DeviceResult r;
            r.id = id;
            r.cause = ZR_formatString(N_("cannot create the run's output files: %s"), std::strerror(errno));
            if (job.outFd >= 0) close(job.outFd);
            if (job.errFd >= 0) close(job.errFd);
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->finished.push_back(std::move(r));
            return;
        }
        device.worker = std::thread([job, shared, events] {
            DeviceResult r = runDevice(job, shared);
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                shared->finished.push_back(std::move(r));
            }
            DeviceEvents_wake(events);
        });
    }

    const CliOptions& options_;
    const WatchArgs& args_;
    const CliSharedPackage& package_;
    DeviceEventSource* events_;
    ZR_RunFolderPtr folder_;
    WatchShared shared_;
    std::map<std::string, Tracked> devices_;
    int runs_ = 0;
    bool allGood_ = true;
};

struct EventsCloser {
    void operator()(DeviceEventSource* s) const { DeviceEvents_close(s); }
};

// Installs the watch's own handlers for the signals that end it; the previous
// ones come back when the record goes.
class SignalScope {
public:
    SignalScope()
    {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &action, &old_[i]);
    }
    ~SignalScope()
    {
        for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &old_[i], nullptr);
    }

private:
    static constexpr size_t kCount = 3;
    static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction old_[kCount];
};

int runWatch(const CliOptions& options, const WatchArgs& args)
{
    // The in-process device lives in one process only; the runs are others.
    if (options.simulate) {
        std::fprintf(stderr, "tessaly-cli: %s\n%s\n",
                     _("watch works with the simulation folder (--sim-dir) and real devices, not with --simulate"),
                     _("Run with --help for more information."));
        return CLI_EXIT_USAGE;
    }
    SignalScope signals;
    g_signals.store(0);

    CliSharedPackage package;
    std::string error;
    bool ok = false;
    if (!args.package.empty()) {
        std::string reason;
        ok = ZR_isRegularFile(args.package.c_str(), &reason);
        if (!ok)
            error = args.package + ": " + reason;
        else
            ok = Cli_settleLocalPackage(args.package, &package, &error);
        package.description = args.package;
    } else {
        std::string url = !args.versionUrl.empty()
                              ? args.versionUrl
                              : VersionLookup_addressFor(TESSALY_CLIENT, TESSALY_UPDATE_HOST);
        if (url.empty()) error = N_("this build names no version file; use --package or --version-url");
        ok = !url.empty() && Cli_settleServerPackage(url, [] { return g_signals.load() == 0; }, &package, &error);
    }
    if (!ok) {
        // Decided before the cause is shown: a Ctrl-C that comes after it changes nothing.
        const int status = g_signals.load() ? 130 : CLI_EXIT_ERROR;
        std::fprintf(stderr, "watch: %s\n", Cli_translatedCause(error).c_str());
        return status;
    }

    // Listening starts before the first scan, so no arrival slips by.
    std::string dir = Cli_simFolder(options);
    DeviceEventSource* raw = nullptr;
    int listening = Discovery_registerNotifications(dir.empty() ? nullptr : dir.c_str(), &raw);
    std::unique_ptr<DeviceEventSource, EventsCloser> events(raw);
    if (!listening && !dir.empty()) {
        std::fprintf(stderr, "watch: %s\n",
                     ZR_formatString(_("the simulation folder %s cannot be used (missing, a symlink, or not private)"),
                                dir.c_str())
                         .c_str());
        return CLI_EXIT_ERROR;
    }
    if (!events) events.reset(DeviceEvents_openPolling(kRescanMs, nullptr, nullptr));
    if (!events) {
        std::fprintf(stderr, "watch: %s\n", _("cannot follow device events"));
        return CLI_EXIT_ERROR;
    }
    g_events.store(events.get());
    std::fprintf(stderr, "watch: %s\nwatch: %s\n", ZR_formatString(_("package %s"), package.description.c_str()).c_str(),
                 _("waiting for devices (Ctrl-C to stop)"));
    int status;
    {
        Watcher watcher(options, args, package, events.get());
        status = g_signals.load() ? CLI_EXIT_OK : watcher.run();
    }
    g_events.store(nullptr);
    return status;
}

} // namespace

void Cli_addWatchCommand(CLI::App& app, CliOptions& options, int* exitStatus)
{
    auto* cmd = app.add_subcommand("watch", "update every device plugged in, several at once, until Ctrl-C");
    auto args = std::make_shared<WatchArgs>();
    auto* package = cmd->add_option("--package", args->package,
                                    "a local update package (.dzr, or a zip archive holding one)");
    cmd->add_option("--version-url", args->versionUrl,
                    "the version file to take the package from (downloaded once, kept in the cache)")
        ->excludes(package);
    auto* provinces = cmd->add_option("--provinces", args->provinces,
                                      "provinces to write when the data does not fit (names or numbers 0-33)");
    cmd->add_flag("-y,--yes,--assume-yes", args->yes, "update devices whose data is as new as the version file's too");
    cmd->add_flag("--json", args->json, "one JSON object per device instead of a line");
    cmd->callback([=, &options] {
        args->provincesGiven = provinces->count() > 0;
        *exitStatus = runWatch(options, *args);
    });
}
