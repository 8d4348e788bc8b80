// Waiting on conditions instead of sleeping: a test states what it waits for
// and a bound far above what it takes, so it holds on a loaded machine and
// only a hang meets the bound.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace test_support {

// The bound for anything that should happen "soon": generous, because a
// build or another test run may share the machine.
constexpr int kPatienceMs = 20000;

// Polls cond until it holds; false when timeoutMs passed first.
bool waitUntil(const std::function<bool()>& cond, int timeoutMs = kPatienceMs);

// A one-way signal between threads: open() once, wait() any number of times.
// Orders threads where a sleep used to.
class Gate {
public:
    void open();
    bool isOpen() const;
    // True once the gate is open; false when timeoutMs passed first.
    bool wait(int timeoutMs = kPatienceMs) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable opened_;
    bool open_ = false;
};

} // namespace test_support
