// A child process at a pseudo-terminal: its stdin and stderr are the
// terminal's far end, which the test reads (everything shown) and types into;
// stdout goes to a file. For what a program does only when a person sits at
// it: questions, prompts asked again, a progress line rewritten in place.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

// Starts argv[0] (a path) with env in a process group of its own, its
// descriptors set up by actions; the process id, or -1.
pid_t spawnInOwnGroup(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const posix_spawn_file_actions_t& actions);

// The exit status of a collected process (128 + the signal for a killed one).
int exitStatus(int raw);

class PtyChild {
public:
    // Starts argv[0] (a path) with env in a process group of its own.
    PtyChild(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& outFile);
    // Kills what still runs of the child's group.
    ~PtyChild();
    PtyChild(const PtyChild&) = delete;
    PtyChild& operator=(const PtyChild&) = delete;

    bool started() const { return pid_ > 0; }
    // True once the terminal has shown text `times` times; false after timeoutMs.
    bool waitFor(const std::string& text, int timeoutMs, size_t times = 1) const;
    // How often the terminal has shown text.
    size_t count(const std::string& text) const;
    // Types text at the terminal ("\n" ends a line).
    void type(const std::string& text);
    // Everything the terminal has shown, typed echoes included.
    std::string screen() const;
    // The exit status (128 + the signal for a killed process) once the
    // process ended within timeoutMs; otherwise -1, and the group is killed.
    int wait(int timeoutMs);
    // The process and its group get sig (nothing once it was collected).
    void signal(int sig);

private:
    void drain();

    pid_t pid_ = -1;
    int master_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::string screen_;
    std::thread reader_;
};

} // namespace test_support
