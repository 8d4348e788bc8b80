#include "core/thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

// The record has two holders: the caller, until ZR_threadStop, and the thread
// itself, until its routine has returned. Whoever lets go last frees it, so a
// thread that was given up on after the bounded wait never touches freed memory.
struct ZR_Thread {
    std::atomic<int> holders{2};
    ZR_Semaphore* stop = nullptr;
    ZR_ThreadRoutine routine = nullptr;
    void* arg = nullptr;
    std::thread handle; // joined or detached by ZR_threadStop, never by the thread
    std::mutex mutex;   // guards ended; held by the creator until handle is set
    std::condition_variable endedChanged;
    bool ended = false;
};

namespace {

void release(ZR_Thread* thread)
{
    if (thread->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        ZR_semaphoreDestroy(thread->stop);
        delete thread;
    }
}

void threadBody(ZR_Thread* thread)
{
    // Wait for the creator to store the handle, which ZR_threadStop reads when
    // the routine stops its own thread.
    { std::lock_guard gate(thread->mutex); }
    thread->routine(thread, thread->arg);
    {
        std::lock_guard guard(thread->mutex);
        thread->ended = true;
        thread->endedChanged.notify_all();
    }
    release(thread);
}

} // namespace

ZR_Thread* ZR_threadStart(ZR_ThreadRoutine routine, void* arg)
{
    if (!routine)
        return nullptr;
    auto* thread = new (std::nothrow) ZR_Thread;
    if (!thread)
        return nullptr;
    thread->stop = ZR_semaphoreCreate();
    if (!thread->stop) {
        delete thread;
        return nullptr;
    }
    thread->routine = routine;
    thread->arg = arg;
    bool started = true;
    {
        std::lock_guard gate(thread->mutex);
        try {
            thread->handle = std::thread(threadBody, thread);
        } catch (...) {
            started = false;
        }
    }
    if (!started) {
        ZR_semaphoreDestroy(thread->stop);
        delete thread;
        return nullptr;
    }
    return thread;
}

ZR_Semaphore* ZR_threadStopSemaphore(ZR_Thread* thread) { return thread ? thread->stop : nullptr; }

void ZR_threadStop(ZR_Thread* thread, int wait) { ZR_threadStopWithin(thread, wait ? ZR_THREAD_STOP_WAIT_MS : 0); }

int ZR_threadStopWithin(ZR_Thread* thread, uint32_t waitMs)
{
    if (!thread)
        return 0;
    ZR_semaphoreSignal(thread->stop);
    bool self = thread->handle.get_id() == std::this_thread::get_id();
    bool ended = false;
    if (!self) {
        std::unique_lock guard(thread->mutex);
        ended = thread->endedChanged.wait_for(guard, std::chrono::milliseconds(waitMs),
                                              [thread] { return thread->ended; });
    }
    // An ended routine leaves its thread within moments, so joining it costs
    // nothing; anything else is let go rather than waited for without limit.
    if (ended)
        thread->handle.join();
    else
        thread->handle.detach();
    release(thread);
    return ended ? 1 : 0;
}
