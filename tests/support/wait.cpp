#include "support/wait.h"

#include <chrono>
#include <thread>

namespace test_support {

bool waitUntil(const std::function<bool()>& cond, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void Gate::open()
{
    std::lock_guard guard(mutex_);
    open_ = true;
    opened_.notify_all();
}

bool Gate::isOpen() const
{
    std::lock_guard guard(mutex_);
    return open_;
}

bool Gate::wait(int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    return opened_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return open_; });
}

} // namespace test_support
