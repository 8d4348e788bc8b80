// Shared pieces of the terminal front end's end-to-end tests: tessaly-cli and
// tessaly-devsim as child processes bounded by deadlines, a private work
// folder per test (simulation folder, the CLI's TMPDIR, logs), the sample
// packages, and a loopback update server.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/http_server.h"
#include "support/pty_child.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "tools/container_builder.h"

extern char** environ;

namespace cli_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Bounds of one CLI run: far above what a run takes here, so only a hang meets them.
constexpr int kRunMs = 30000;
constexpr int kDevsimReadyMs = test_support::kPatienceMs;

using test_support::readText;
using test_support::TempDir;
using test_support::TestHttpServer;
using test_support::waitUntil;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The test's environment for a child, with TMPDIR replaced, loopback kept
// away from any proxy the environment names, and the original texts (the C
// locale) whatever language the developer's session speaks.
inline std::vector<std::string> childEnvironment(const fs::path& tmpDir)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (name == "TMPDIR" || name == "TESSALY_SIM_DIR" || name == "no_proxy" || name == "NO_PROXY") continue;
        if (name == "LANGUAGE" || name == "LC_ALL" || name == "LC_MESSAGES" || name == "LANG") continue;
        env.push_back(entry);
    }
    env.push_back("LC_ALL=C");
    env.push_back("TMPDIR=" + tmpDir.string());
    env.push_back("no_proxy=127.0.0.1,localhost");
    return env;
}

// One child process in a process group of its own, stdin from /dev/null (so
// it is not a terminal), stdout and stderr into files. Whatever still runs
// of it when the record goes is killed.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& outFile,
          const fs::path& errFile)
        : outFile_(outFile), errFile_(errFile), start_(Clock::now())
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_ = test_support::spawnInOwnGroup(argv, env, actions);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { kill(SIGKILL); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }

    // True while the process has not ended.
    bool running() { return pid_ > 0 && !reap(WNOHANG); }

    // Sends sig to the process and everything it started; a process that
    // ended already is left alone (its id may be someone else's by now).
    void signal(int sig)
    {
        if (running()) ::kill(-pid_, sig);
    }

    // Kills the group and collects the process.
    void kill(int sig)
    {
        if (!running()) return;
        ::kill(-pid_, sig);
        reap(0);
    }

    // The exit status (128 + the signal for a killed process) once the process
    // ended within timeoutMs; otherwise -1, and the process is killed.
    int wait(int timeoutMs)
    {
        if (pid_ <= 0) return -1;
        if (!waitUntil([this] { return !running(); }, timeoutMs)) {
            kill(SIGKILL);
            timedOut_ = true;
            return -1;
        }
        return status_;
    }

    bool timedOut() const { return timedOut_; }
    // Seconds from the start to the moment the end was seen.
    double seconds() const { return std::chrono::duration<double>(ended_ - start_).count(); }
    std::string out() const { return readText(outFile_); }
    std::string err() const { return readText(errFile_); }

private:
    // True once the process has been collected.
    bool reap(int flags)
    {
        if (reaped_) return true;
        int raw = 0;
        if (waitpid(pid_, &raw, flags) != pid_) return false;
        reaped_ = true;
        ended_ = Clock::now();
        status_ = test_support::exitStatus(raw);
        return true;
    }

    fs::path outFile_, errFile_;
    Clock::time_point start_, ended_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    bool timedOut_ = false;
    int status_ = -1;
};

// The outcome of one finished CLI run.
struct RunResult {
    int status = -1;   // exit status; -1 when the run was killed at its deadline
    std::string out;   // stdout
    std::string err;   // stderr
    double seconds = 0;
};

inline std::ostream& operator<<(std::ostream& os, const RunResult& r)
{
    return os << "exit " << r.status << " after " << r.seconds << " s\n--- stdout\n"
              << r.out << "--- stderr\n"
              << r.err << "---";
}

// The sample packages of `tessaly-pack sample`, written once per test
// program, plus k502-full.dzr zipped as the update server hands it out.
class Samples {
public:
    static const Samples& get()
    {
        static Samples samples;
        return samples;
    }
    fs::path file(const std::string& name) const { return folder_.path() / name; }
    fs::path k502Zip() const { return file("k502-full.zip"); }
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

private:
    Samples() : folder_("tessaly-cli-samples-")
    {
        const fs::path dir = folder_.path() / "out";
        Child pack({TESSALY_PACK, "sample", folder_.path().string()}, childEnvironment(fs::temp_directory_path()),
                   dir.string() + ".stdout", dir.string() + ".stderr");
        if (pack.wait(kRunMs) != 0) {
            error_ = "tessaly-pack sample failed: " + pack.err();
            return;
        }
        std::string dzr = readText(file("k502-full.dzr"));
        if (dzr.empty() || !ContainerBuilder_zip(k502Zip().string(),
                                                 {{"k502-full.dzr", std::vector<uint8_t>(dzr.begin(), dzr.end())}},
                                                 &error_) ||
            !fs::exists(k502Zip()))
            error_ = "cannot zip k502-full.dzr: " + error_;
    }

    TempDir folder_;
    std::string error_;
};

// One tessaly-devsim process, its stderr (the device's command log) in a file.
class Devsim {
public:
    Devsim(const fs::path& simDir, const fs::path& logFile, const std::vector<std::string>& args)
        : log_(logFile), child_(argv(simDir, args), childEnvironment(fs::temp_directory_path()), "/dev/null",
                                logFile)
    {
    }
    // True once the device is in the folder: as a disk, or answering in
    // update mode (a socket a killed device left behind does not count).
    bool waitReady(int timeoutMs)
    {
        return child_.started() && waitUntil(
                                       [this] {
                                           std::string text = log();
                                           return text.find("disk mode at") != std::string::npos ||
                                                  text.find("update mode at") != std::string::npos ||
                                                  !child_.running();
                                       },
                                       timeoutMs) &&
               child_.running();
    }
    void kill(int sig) { child_.kill(sig); }
    // Unplugs the device the clean way (SIGTERM); true when it went within 3 s.
    bool unplug()
    {
        child_.signal(SIGTERM);
        return child_.wait(3000) == 0;
    }
    bool running() { return child_.running(); }
    std::string log() const { return readText(log_); }

private:
    static std::vector<std::string> argv(const fs::path& simDir, const std::vector<std::string>& args)
    {
        std::vector<std::string> v = {TESSALY_DEVSIM, "--dir", simDir.string()};
        v.insert(v.end(), args.begin(), args.end());
        return v;
    }
    fs::path log_;
    Child child_;
};

// `key:value` lines of `tessaly-cli info`.
using DeviceInfo = std::map<std::string, std::string>;

inline DeviceInfo parseInfo(const std::string& text)
{
    DeviceInfo info;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        if (colon != std::string::npos) info[line.substr(0, colon)] = line.substr(colon + 1);
    }
    return info;
}

// The date part of an info value such as "20240603;size:69632".
inline std::string dateOf(const DeviceInfo& info, const std::string& key)
{
    auto it = info.find(key);
    return it == info.end() ? "<missing>" : it->second.substr(0, it->second.find(';'));
}

inline std::string valueOf(const DeviceInfo& info, const std::string& key)
{
    auto it = info.find(key);
    return it == info.end() ? "<missing>" : it->second;
}

// The update server on a loopback port:
//   /v/<version>/<path>   a version file naming <version> and the package at /<path>
//   /pkg.zip              k502-full.dzr in a zip archive
//   /cut/pkg.zip          the same headers, then half the body and the connection closed
//   /cut/version.txt      a version file announced whole and cut after its first bytes
class UpdateServer {
public:
    UpdateServer()
        : server_([](httplib::Server& s, TestHttpServer& srv) {
              s.Get(R"(/v/(\d+)/(.+))", [&srv](const httplib::Request& req, httplib::Response& res) {
                  const std::string package = req.matches[2].str();
                  res.set_content(req.matches[1].str() + "\r\n" + srv.url(std::string(1, '/') + package) + "\r\n",
                                  "text/plain");
              });
          })
    {
        const std::string zip = readText(Samples::get().k502Zip());
        server_.serve("/pkg.zip", zip);
        server_.serveCut("/cut/pkg.zip", zip, zip.size() / 2);
        server_.serveCut("/cut/version.txt", "20250101\r\n" + server_.url("/pkg.zip") + "\r\n", 6);
    }
    std::string url(const std::string& path) const { return server_.url(path); }
    std::string versionUrl(const std::string& version, const std::string& package = "pkg.zip") const
    {
        return url("/v/" + version + "/" + package);
    }
    bool requested(const std::string& path) const { return server_.requested(path); }

private:
    TestHttpServer server_;
};

// The work folder of one test: a private simulation folder, the CLI's own
// TMPDIR, and the logs of what ran; helpers to plug devices in and run the CLI.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(work_.ok());
        ASSERT_TRUE(Samples::get().ok()) << Samples::get().error();
        simDir = work_.path() / "sim";
        tmpDir = work_.path() / "tmp";
        ASSERT_EQ(mkdir(simDir.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(tmpDir.c_str(), 0700), 0);
    }

    void TearDown() override
    {
        if (!HasFailure()) return;
        for (size_t i = 0; i < devsims_.size(); ++i)
            std::cerr << "--- devsim " << i << " log (last lines)\n" << tail(devsims_[i]->log(), 30);
    }

    // A simulated device started in the simulation folder and waited for;
    // null (with the failure recorded) when it did not come up.
    Devsim* plugIn(const std::string& id, const std::string& mode, const std::string& preset,
                   std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--id", id, "--mode", mode, "--preset", preset};
        args.insert(args.end(), extra.begin(), extra.end());
        fs::path log = work_.path() / ("devsim-" + std::to_string(devsims_.size()) + ".log");
        devsims_.push_back(std::make_unique<Devsim>(simDir, log, args));
        Devsim* sim = devsims_.back().get();
        if (!sim->waitReady(kDevsimReadyMs)) {
            ADD_FAILURE() << "tessaly-devsim did not come up:\n" << sim->log();
            return nullptr;
        }
        return sim;
    }

    // tessaly-cli started with --sim-dir and the private TMPDIR, not waited for.
    std::unique_ptr<Child> startCli(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {TESSALY_CLI, "--sim-dir", simDir.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string base = (work_.path() / ("cli-" + std::to_string(++runs_))).string();
        return std::make_unique<Child>(argv, childEnvironment(tmpDir), base + ".stdout", base + ".stderr");
    }

    static RunResult finish(Child& child, int timeoutMs = kRunMs)
    {
        RunResult r;
        r.status = child.wait(timeoutMs);
        r.seconds = child.seconds();
        r.out = child.out();
        r.err = child.err();
        if (child.timedOut()) ADD_FAILURE() << "tessaly-cli killed after " << timeoutMs << " ms\n" << r;
        return r;
    }

    RunResult cli(const std::vector<std::string>& args, int timeoutMs = kRunMs)
    {
        auto child = startCli(args);
        EXPECT_TRUE(child->started());
        return finish(*child, timeoutMs);
    }

    // What `tessaly-cli info` says of the device; empty (with the failure
    // recorded) when it cannot tell.
    DeviceInfo deviceInfo()
    {
        RunResult r = cli({"info"});
        if (r.status != 0) {
            ADD_FAILURE() << "info failed: " << r;
            return {};
        }
        return parseInfo(r.out);
    }

    // Everything under the CLI's TMPDIR that is not a folder.
    std::vector<std::string> tempFilesLeft() const
    {
        std::vector<std::string> files;
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(tmpDir, ec))
            if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), tmpDir).string());
        return files;
    }

    static std::string tail(const std::string& text, size_t lines)
    {
        size_t pos = text.size();
        while (lines-- > 0 && pos > 0) pos = text.rfind('\n', pos - 1);
        return pos == std::string::npos || pos == 0 ? text : text.substr(pos + 1);
    }

    // A place for the test's own files, outside the simulation folder and TMPDIR.
    fs::path workDir() const { return work_.path(); }

    fs::path simDir;
    fs::path tmpDir;

private:
    TempDir work_{"tessaly-cli-"};
    std::vector<std::unique_ptr<Devsim>> devsims_;
    int runs_ = 0;
};

// The final messages, as the device's users read them.
inline const std::string kSuccess = "更新成功！\n";
inline const std::string kFailedPrefix = "更新失败！";
inline const std::string kTooLong = "数据已超过长度！  1\n";
inline const std::string kDownloadFailed = "下载出错，请使用本地文件更新！\n";
inline const std::string kWrongFile = "请选择正确的更新文件！\n";

} // namespace cli_test
