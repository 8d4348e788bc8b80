#include "support/pty_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/wait.h"

namespace test_support {

pid_t spawnInOwnGroup(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const posix_spawn_file_actions_t& actions)
{
    std::vector<std::string> args = argv, vars = env;
    std::vector<char*> rawArgs, rawVars;
    for (auto& a : args) rawArgs.push_back(a.data());
    rawArgs.push_back(nullptr);
    for (auto& v : vars) rawVars.push_back(v.data());
    rawVars.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, rawArgs[0], &actions, &attr, rawArgs.data(), rawVars.data()) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    return pid;
}

int exitStatus(int raw)
{
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

PtyChild::PtyChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& outFile)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* slave = ptsname(master_);
    if (!slave) return;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, slave, O_RDWR | O_NOCTTY, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_ = spawnInOwnGroup(argv, env, actions);
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ > 0) reader_ = std::thread([this] { drain(); });
}

PtyChild::~PtyChild()
{
    if (pid_ > 0 && !reaped_) {
        ::kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (master_ >= 0) close(master_);
}

// Keeps the terminal read, so that a child writing much never blocks on it.
void PtyChild::drain()
{
    char buffer[4096];
    while (!stop_) {
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            // EIO: no process holds the terminal's far end (any more).
            if (stop_) break;
            usleep(10000);
            continue;
        }
        std::lock_guard<std::mutex> g(mutex_);
        screen_.append(buffer, size_t(n));
    }
}

size_t PtyChild::count(const std::string& text) const
{
    std::lock_guard<std::mutex> g(mutex_);
    size_t n = 0;
    for (size_t at = screen_.find(text); at != std::string::npos; at = screen_.find(text, at + text.size())) ++n;
    return n;
}

bool PtyChild::waitFor(const std::string& text, int timeoutMs, size_t times) const
{
    return waitUntil([&] { return count(text) >= times; }, timeoutMs);
}

void PtyChild::type(const std::string& text)
{
    if (master_ >= 0 && write(master_, text.data(), text.size()) < 0) return;
}

std::string PtyChild::screen() const
{
    std::lock_guard<std::mutex> g(mutex_);
    return screen_;
}

int PtyChild::wait(int timeoutMs)
{
    if (pid_ <= 0) return -1;
    auto collected = [this] {
        if (reaped_) return true;
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) != pid_) return false;
        reaped_ = true;
        status_ = exitStatus(raw);
        return true;
    };
    if (waitUntil(collected, timeoutMs)) return status_;
    ::kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
    return -1;
}

void PtyChild::signal(int sig)
{
    if (pid_ > 0 && !reaped_) ::kill(-pid_, sig);
}

} // namespace test_support
