// A recording DialogHost. The thread that creates it is the window thread:
// messages posted or sent from other threads wait until that thread pumps, so
// a test decides when the window handles what. Controls, titles, progress and
// message boxes are recorded; box answers and file-dialog paths are scripted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/dialog_host.h"

class FakeHost : public DialogHost {
public:
    struct Box {
        std::string text, caption;
        unsigned flags;
    };

    void setMessageHandler(MessageHandler handler) override { locked([&] { handler_ = std::move(handler); }); }

    void setText(int id, const std::string& text) override
    {
        record("setText", [&] { texts_[id].push_back(text); });
    }
    std::string text(int id) const override
    {
        std::lock_guard guard(mutex_);
        auto it = texts_.find(id);
        return it == texts_.end() ? std::string() : it->second.back();
    }
    void setEnabled(int id, bool enabled) override { record("setEnabled", [&] { enabled_[id] = enabled; }); }
    bool isEnabled(int id) const override
    {
        std::lock_guard guard(mutex_);
        return !enabled_.count(id) || enabled_.at(id);
    }
    void setVisible(int, bool) override {}
    void setChecked(int id, bool checked) override { record("setChecked", [&] { checked_[id] = checked; }); }
    bool isChecked(int id) const override
    {
        std::lock_guard guard(mutex_);
        return checked_.count(id) && checked_.at(id);
    }
    void setFocus(int id) override { focus = id; }
    void setTitle(const std::string& title) override { record("setTitle", [&] { titles_.push_back(title); }); }
    std::string title() const override
    {
        std::lock_guard guard(mutex_);
        return titles_.empty() ? std::string() : titles_.back();
    }
    void setProgressRange(int, uint32_t, uint32_t high) override { record("range", [&] { rangeHigh_ = high; }); }
    void setProgressPos(int, uint32_t position) override { record("pos", [&] { positions_.push_back(position); }); }

    int messageBox(const std::string& text, const std::string& caption, unsigned flags) override
    {
        int answer = (flags & 0x0F) == HOST_MB_YESNO ? HOST_IDYES : HOST_IDOK;
        record("messageBox", [&] {
            boxes_.push_back({text, caption, flags});
            if (!answers_.empty()) answer = answers_.front(), answers_.pop_front();
        });
        return answer;
    }
    bool chooseOpenFile(const std::string& filter, const std::string&, std::string* path) override
    {
        return choose(filter, path);
    }
    bool chooseSaveFile(const std::string& filter, const std::string&, std::string* path) override
    {
        return choose(filter, path);
    }

    intptr_t sendMessage(unsigned message, uintptr_t wParam, intptr_t lParam) override
    {
        if (onWindowThread()) return deliver(message, wParam, lParam);
        std::promise<intptr_t> done;
        enqueue([&] { done.set_value(deliver(message, wParam, lParam)); });
        return done.get_future().get();
    }
    void postMessage(unsigned message, uintptr_t wParam, intptr_t lParam) override
    {
        enqueue([=, this] { deliver(message, wParam, lParam); });
    }
    void singleShot(uint32_t, std::function<void()> fn) override { enqueue(std::move(fn)); }
    bool onWindowThread() const override { return std::this_thread::get_id() == windowThread_; }

    // Runs what is queued; pumpUntil keeps at it until done() holds (false after timeoutMs).
    void pump()
    {
        for (std::function<void()> next; (next = take());) next();
    }
    bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 20000)
    {
        auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (pump(); !done(); pump()) {
            if (std::chrono::steady_clock::now() >= limit) return false;
            std::unique_lock lock(mutex_);
            queued_.wait_for(lock, std::chrono::milliseconds(5), [this] { return !queue_.empty(); });
        }
        return true;
    }

    void answerNext(int answer) { locked([&] { answers_.push_back(answer); }); }
    void chooseNext(const std::string& path) { locked([&] { files_.push_back(path); }); }

    std::vector<Box> boxes() const { return copy(boxes_); }
    std::vector<std::string> titles() const { return copy(titles_); }
    std::vector<std::string> textHistory(int id) const
    {
        std::lock_guard guard(mutex_);
        return texts_.count(id) ? texts_.at(id) : std::vector<std::string>();
    }
    std::vector<std::string> filters() const { return copy(filters_); }
    std::vector<uint32_t> positions() const { return copy(positions_); }
    uint32_t rangeHigh() const { return copy(rangeHigh_); }
    // Host calls made from some other thread than the window's.
    std::vector<std::string> offThreadCalls() const { return copy(offThread_); }

    int focus = 0;

private:
    template <class F> void locked(F f)
    {
        std::lock_guard guard(mutex_);
        f();
    }
    template <class T> T copy(const T& value) const
    {
        std::lock_guard guard(mutex_);
        return value;
    }
    template <class F> void record(const char* what, F f)
    {
        std::lock_guard guard(mutex_);
        if (!onWindowThread()) offThread_.push_back(what);
        f();
    }
    void enqueue(std::function<void()> fn)
    {
        locked([&] { queue_.push_back(std::move(fn)); });
        queued_.notify_all();
    }
    std::function<void()> take()
    {
        std::lock_guard guard(mutex_);
        if (queue_.empty()) return {};
        std::function<void()> next = std::move(queue_.front());
        queue_.pop_front();
        return next;
    }
    intptr_t deliver(unsigned message, uintptr_t wParam, intptr_t lParam)
    {
        MessageHandler handler = copy(handler_); // none once the window is gone: dropped
        return handler ? handler(message, wParam, lParam) : 0;
    }
    bool choose(const std::string& filter, std::string* path)
    {
        std::lock_guard guard(mutex_);
        filters_.push_back(filter);
        if (files_.empty()) return false;
        *path = files_.front();
        files_.pop_front();
        return true;
    }

    const std::thread::id windowThread_ = std::this_thread::get_id();
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    MessageHandler handler_;
    std::deque<std::function<void()>> queue_;
    std::map<int, std::vector<std::string>> texts_;
    std::map<int, bool> enabled_, checked_;
    std::vector<std::string> titles_, filters_, offThread_;
    std::deque<std::string> files_;
    std::vector<uint32_t> positions_;
    uint32_t rangeHigh_ = 0;
    std::vector<Box> boxes_;
    std::deque<int> answers_;
};
