#include "core/runtime.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constinit std::atomic<uint32_t> tickOffset{0};

// Enough to cover a holder that is a few instructions from leaving, short
// enough that a holder which was preempted costs little before we block.
constexpr int kLockSpins = 2000;

} // namespace

uint32_t ZR_tickCount()
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    return uint32_t(uint64_t(ms)) + tickOffset.load(std::memory_order_relaxed);
}

void ZR_tickSetOffset(uint32_t offset) { tickOffset.store(offset, std::memory_order_relaxed); }

void ZR_sleepMs(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// ---- Lock

struct ZR_Lock {
    std::recursive_mutex mutex;
};

ZR_Lock* ZR_lockCreate() { return new (std::nothrow) ZR_Lock; }

void ZR_lockDestroy(ZR_Lock* lock) { delete lock; }

void ZR_lockEnter(ZR_Lock* lock)
{
    if (!lock)
        return;
    for (int i = 0; i < kLockSpins; ++i)
        if (lock->mutex.try_lock())
            return;
    lock->mutex.lock();
}

void ZR_lockLeave(ZR_Lock* lock)
{
    if (lock)
        lock->mutex.unlock();
}

// ---- Semaphore

struct ZR_Semaphore {
    std::mutex mutex;
    std::condition_variable available;
    int32_t count = 0; // signals given and not yet taken
};

ZR_Semaphore* ZR_semaphoreCreate() { return new (std::nothrow) ZR_Semaphore; }

void ZR_semaphoreDestroy(ZR_Semaphore* semaphore) { delete semaphore; }

int ZR_semaphoreSignal(ZR_Semaphore* semaphore)
{
    if (!semaphore)
        return 0;
    // Notify while holding the mutex: a waiter cannot return (and its owner
    // then free the record) until we have let go of it for good.
    std::lock_guard guard(semaphore->mutex);
    if (semaphore->count >= ZR_SEMAPHORE_MAX_COUNT)
        return 0;
    ++semaphore->count;
    semaphore->available.notify_one();
    return 1;
}

int ZR_semaphoreWait(ZR_Semaphore* semaphore, int32_t timeoutMs)
{
    if (!semaphore)
        return 0;
    std::unique_lock guard(semaphore->mutex);
    auto signalled = [semaphore] { return semaphore->count > 0; };
    if (timeoutMs < 0)
        semaphore->available.wait(guard, signalled);
    else if (!semaphore->available.wait_for(guard, std::chrono::milliseconds(timeoutMs), signalled))
        return 0;
    --semaphore->count;
    return 1;
}

int32_t ZR_semaphorePending(ZR_Semaphore* semaphore)
{
    if (!semaphore)
        return 0;
    std::lock_guard guard(semaphore->mutex);
    return semaphore->count;
}

// ---- Condition variable
//
// Invariant, under the cond's lock: outstanding <= waiters, and the wake
// semaphore holds exactly the outstanding wake-ups that no waiter has taken yet.

struct ZR_Cond {
    ZR_Lock* lock = nullptr;
    int32_t waiters = 0;     // threads between counting themselves in and out
    int32_t outstanding = 0; // wake-ups handed out and not yet acknowledged
    ZR_Semaphore* wake = nullptr;
    ZR_Semaphore* acknowledge = nullptr;
};

ZR_Cond* ZR_condCreate()
{
    auto* cond = new (std::nothrow) ZR_Cond;
    if (!cond)
        return nullptr;
    cond->lock = ZR_lockCreate();
    cond->wake = ZR_semaphoreCreate();
    cond->acknowledge = ZR_semaphoreCreate();
    if (!cond->lock || !cond->wake || !cond->acknowledge) {
        ZR_condDestroy(cond);
        return nullptr;
    }
    return cond;
}

void ZR_condDestroy(ZR_Cond* cond)
{
    if (!cond)
        return;
    ZR_semaphoreDestroy(cond->acknowledge);
    ZR_semaphoreDestroy(cond->wake);
    ZR_lockDestroy(cond->lock);
    delete cond;
}

namespace {

// Hands out n wake-ups and waits until each has been acknowledged. Called with
// the cond's lock held; leaves it before waiting.
int wakeAndAwaitAcknowledgements(ZR_Cond* cond, int32_t n)
{
    cond->outstanding += n;
    for (int32_t i = 0; i < n; ++i)
        ZR_semaphoreSignal(cond->wake);
    ZR_lockLeave(cond->lock);
    for (int32_t i = 0; i < n; ++i)
        ZR_semaphoreWait(cond->acknowledge, ZR_WAIT_FOREVER);
    return 1;
}

} // namespace

int ZR_condSignal(ZR_Cond* cond)
{
    if (!cond)
        return 0;
    ZR_lockEnter(cond->lock);
    if (cond->outstanding >= cond->waiters) {
        ZR_lockLeave(cond->lock);
        return 0;
    }
    return wakeAndAwaitAcknowledgements(cond, 1);
}

int ZR_condBroadcast(ZR_Cond* cond)
{
    if (!cond)
        return 0;
    ZR_lockEnter(cond->lock);
    int32_t n = cond->waiters - cond->outstanding;
    if (n <= 0) {
        ZR_lockLeave(cond->lock);
        return 0;
    }
    return wakeAndAwaitAcknowledgements(cond, n);
}

int ZR_condWait(ZR_Cond* cond, ZR_Lock* outerLock, int32_t timeoutMs)
{
    if (!cond)
        return 0;
    ZR_lockEnter(cond->lock);
    ++cond->waiters;
    ZR_lockLeave(cond->lock);

    ZR_lockLeave(outerLock);
    int woken = ZR_semaphoreWait(cond->wake, timeoutMs);

    ZR_lockEnter(cond->lock);
    if (cond->outstanding > 0) {
        // A waiter that timed out while wake-ups were outstanding takes one if
        // it is still in the semaphore, so the signaller is not left waiting for
        // an acknowledgement nobody will give. It only tries: when the
        // semaphore is empty, every outstanding wake-up is already held by a
        // waiter that is about to acknowledge it, and waiting here (with the
        // cond's lock held) would block that waiter for ever.
        bool took = woken || ZR_semaphoreWait(cond->wake, 0);
        if (took) {
            ZR_semaphoreSignal(cond->acknowledge);
            --cond->outstanding;
        }
    }
    --cond->waiters;
    ZR_lockLeave(cond->lock);

    ZR_lockEnter(outerLock);
    return woken;
}
