// A MessageSink that keeps every posted message, for tests to wait on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "net/message_sink.h"

struct PostedMessage {
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
};

class MessageQueue : public MessageSink {
public:
    void post(unsigned message, uintptr_t wParam, intptr_t lParam) override
    {
        std::lock_guard guard(mutex_);
        messages_.push_back({message, wParam, lParam});
        changed_.notify_all();
    }

    // The first message with this number, waiting for it up to timeoutMs.
    std::optional<PostedMessage> waitFor(unsigned message, int timeoutMs = 20000)
    {
        std::unique_lock lock(mutex_);
        std::optional<PostedMessage> found;
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const PostedMessage& m : messages_)
                if (m.message == message)
                    return found = m, true;
            return false;
        });
        return found;
    }

    // Waits until count messages with this number have arrived; how many there are.
    size_t waitForCount(unsigned message, size_t count, int timeoutMs = 20000)
    {
        std::unique_lock lock(mutex_);
        size_t n = 0;
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return (n = countLocked(message)) >= count; });
        return n;
    }

    void clear()
    {
        std::lock_guard guard(mutex_);
        messages_.clear();
    }

    std::vector<PostedMessage> all() const
    {
        std::lock_guard guard(mutex_);
        return messages_;
    }

    std::vector<PostedMessage> of(unsigned message) const
    {
        std::vector<PostedMessage> out;
        for (const PostedMessage& m : all())
            if (m.message == message)
                out.push_back(m);
        return out;
    }

private:
    size_t countLocked(unsigned message) const
    {
        size_t n = 0;
        for (const PostedMessage& m : messages_)
            n += m.message == message;
        return n;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<PostedMessage> messages_;
};
