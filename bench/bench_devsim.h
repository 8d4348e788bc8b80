// The simulator as its own process for the benchmarks: a private folder,
// tessaly-devsim in update mode inside it, its folder's back ends registered,
// and every report counted on the host's side of the link.
#pragma once

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common_k52/hidc.h"
#include "core/log.h"
#include "platform/hid_transport.h"
#include "platform/sim_folder.h"
#include "sim/sim_device.h"

namespace bench_devsim {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kLatencyUs = 1000;
constexpr const char* kDeviceId = "bench";

// ---------------------------------------------------------------------------
// The simulator process and its folder

// A private folder under $TMPDIR (mkdtemp makes it 0700), removed with
// everything in it when the record goes.
class TempFolder {
public:
    TempFolder()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessaly-bench-XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder()
    {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    bool ok() const { return !path_.empty(); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// tessaly-devsim in update mode, its stderr going to a log file. Stopped
// (SIGTERM, then SIGKILL after a bounded wait) when the record goes; it also
// dies with this thread (PR_SET_PDEATHSIG) should the benchmark crash.
class Devsim {
public:
    ~Devsim() { stop(); }

    // Starts the simulator and waits until its socket is listening. False
    // with *error when it did not come up within 10 s.
    bool start(const fs::path& simDir, const fs::path& logFile, const std::string& preset, std::string* error)
    {
        socketPath_ = SimFolder_entryPath(simDir.string(), SimFolder_socketName(kSimVendorId, kSimProductId, kDeviceId));
        logFile_ = logFile;
        std::vector<std::string> args = {TESSALY_DEVSIM, "--dir",    simDir.string(), "--id",
                                         kDeviceId,      "--mode",   "hid",           "--preset",
                                         preset,         "--latency-us", std::to_string(kLatencyUs)};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string log = logFile.string();
        pid_t parent = getpid();

        pid_ = fork();
        if (pid_ < 0) {
            *error = "fork failed";
            return false;
        }
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd >= 0) dup2(fd, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const auto limit = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < limit) {
            if (SimFolder_isTrustedEntry(socketPath_, SIM_ENTRY_SOCKET)) return true;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                *error = "tessaly-devsim exited at start: " + lastLogLine();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        *error = "tessaly-devsim did not listen within 10 s";
        return false;
    }

    // Stops the simulator; harmless when it is not running.
    void stop()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        const auto limit = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= limit) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }

    const std::string& socketPath() const { return socketPath_; }

    // The device's report counters of the last host session, from the line
    // the simulator logs when a host leaves; false when there is none.
    bool sessionCounters(uint64_t* in, uint64_t* out) const
    {
        std::ifstream log(logFile_);
        bool found = false;
        for (std::string line; std::getline(log, line);) {
            unsigned long long a = 0, b = 0;
            size_t at = line.find("host session ended:");
            if (at != std::string::npos &&
                std::sscanf(line.c_str() + at, "host session ended: %llu reports in, %llu out", &a, &b) == 2) {
                *in = a;
                *out = b;
                found = true;
            }
        }
        return found;
    }

private:
    std::string lastLogLine() const
    {
        std::ifstream log(logFile_);
        std::string line, last;
        while (std::getline(log, line))
            if (!line.empty()) last = line;
        return last;
    }

    pid_t pid_ = -1;
    std::string socketPath_;
    fs::path logFile_;
};

// ---------------------------------------------------------------------------
// Reports counted on the host's side of the link

// Every report of the session, from the port's opening.
struct LinkCounts {
    std::atomic<uint64_t> written{0};  // reports the device took
    std::atomic<uint64_t> read{0};     // reports the device sent
    uint64_t total() const { return written.load() + read.load(); }
};

struct CountedDevice {
    HidDevice head;
    HidDevice* inner;
    LinkCounts* counts;
};

inline HidIoStatus countedWrite(HidDevice* d, const uint8_t* report, size_t length, int timeoutMs, HidCancel* cancel,
                         size_t* taken)
{
    auto* c = reinterpret_cast<CountedDevice*>(d);
    HidIoStatus st = HidDevice_write(c->inner, report, length, timeoutMs, cancel, taken);
    if (st == HID_IO_OK) ++c->counts->written;
    return st;
}

inline HidIoStatus countedRead(HidDevice* d, uint8_t* report, size_t capacity, int timeoutMs, HidCancel* cancel,
                        size_t* delivered)
{
    auto* c = reinterpret_cast<CountedDevice*>(d);
    HidIoStatus st = HidDevice_read(c->inner, report, capacity, timeoutMs, cancel, delivered);
    if (st == HID_IO_OK) ++c->counts->read;
    return st;
}

inline void countedDiscard(HidDevice* d) { HidDevice_discardPending(reinterpret_cast<CountedDevice*>(d)->inner); }

inline void countedClose(HidDevice* d)
{
    auto* c = reinterpret_cast<CountedDevice*>(d);
    HidDevice_close(c->inner);
    delete c;
}

inline const HidTransportOps kCountedOps = {"counted", countedWrite, countedRead, countedDiscard, countedClose};

// Opens the simulator's socket with every report counted; null when it does not open.
inline HidcPort* openCountedPort(const std::string& path, LinkCounts* counts)
{
    HidDevice* inner = HidTransport_open(path.c_str());
    if (!inner) return nullptr;
    return Hidc_portFromDevice(&(new CountedDevice{{&kCountedOps}, inner, counts})->head);
}

// The simulation folder's back ends, registered for one benchmark.
class SimFolderUse {
public:
    explicit SimFolderUse(std::string dir) : dir_(std::move(dir)), ok_(SimFolder_registerBackends(dir_)) {}
    ~SimFolderUse()
    {
        if (ok_) SimFolder_unregisterBackends(dir_);
    }
    bool ok() const { return ok_; }

private:
    std::string dir_;
    bool ok_;
};

// Everything a benchmark against the simulator needs, torn down in reverse.
struct DevsimBench {
    TempFolder temp;
    std::unique_ptr<SimFolderUse> folder;
    Devsim devsim;

    bool start(const std::string& preset, std::string* error)
    {
        if (!temp.ok()) {
            *error = "cannot create a temporary folder";
            return false;
        }
        fs::path sim = temp.path() / "sim";
        std::error_code ec;
        if (!fs::create_directory(sim, ec) || chmod(sim.c_str(), 0700) != 0) {
            *error = "cannot create the simulation folder";
            return false;
        }
        folder = std::make_unique<SimFolderUse>(sim.string());
        if (!folder->ok()) {
            *error = "the simulation folder is not usable";
            return false;
        }
        return devsim.start(sim, temp.path() / "devsim.log", preset, error);
    }
    // The same, marking the benchmark skipped with the reason when it fails.
    bool start(const std::string& preset, benchmark::State& state)
    {
        std::string error;
        if (start(preset, &error)) return true;
        state.SkipWithError(error.c_str());
        return false;
    }
};

// The log sink is silenced for the benchmark and put back afterwards.
class QuietLog {
public:
    QuietLog() : sink_(ZR_logGetSink(&context_)) { ZR_logSetSink(nullptr, nullptr); }
    ~QuietLog() { ZR_logSetSink(sink_, context_); }

private:
    void* context_ = nullptr;
    ZR_LogSink sink_;
};

// The device must have counted the session's reports as the host did;
// otherwise the figures are not the link's.
inline void checkDeviceCounters(benchmark::State& state, const Devsim& devsim, const LinkCounts& counts)
{
    uint64_t in = 0, out = 0;
    if (!devsim.sessionCounters(&in, &out)) {
        state.SkipWithError("the simulator logged no session counters");
        return;
    }
    state.counters["device_session_reports"] = double(in + out);
    if (in != counts.written.load() || out != counts.read.load())
        state.SkipWithError("host and device counted different reports");
}


} // namespace bench_devsim
