#include "core/pool.h"
#include "core/runtime.h"
#include "core/thread.h"
#include "core/timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace {

using Clock = std::chrono::steady_clock;

using test_support::waitUntil;

int64_t msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---- Locks, semaphores, tick

TEST(Lock, IsReentrantAndExcludesOtherThreads)
{
    ZR_Lock* lock = ZR_lockCreate();
    ASSERT_NE(lock, nullptr);
    ZR_lockEnter(lock);
    ZR_lockEnter(lock);
    ZR_lockLeave(lock);
    ZR_lockLeave(lock);

    // A plain counter: ThreadSanitizer reports it if the lock lets both in.
    long counter = 0;
    auto add = [&] {
        for (int i = 0; i < 20000; ++i) {
            ZR_lockEnter(lock);
            ++counter;
            ZR_lockLeave(lock);
        }
    };
    std::thread other(add);
    add();
    other.join();
    EXPECT_EQ(counter, 40000);
    ZR_lockDestroy(lock);
    ZR_lockDestroy(nullptr);
}

TEST(Semaphore, CountsSignalsUpToItsMaximum)
{
    ZR_Semaphore* s = ZR_semaphoreCreate();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ZR_semaphoreWait(s, 0), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ZR_semaphoreSignal(s), 1);
    EXPECT_EQ(ZR_semaphorePending(s), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ZR_semaphoreWait(s, 0), 1);
    EXPECT_EQ(ZR_semaphoreWait(s, 0), 0);

    int accepted = 0;
    while (ZR_semaphoreSignal(s) == 1 && accepted <= ZR_SEMAPHORE_MAX_COUNT)
        ++accepted;
    EXPECT_EQ(accepted, ZR_SEMAPHORE_MAX_COUNT);
    EXPECT_EQ(ZR_semaphorePending(s), ZR_SEMAPHORE_MAX_COUNT);
    ZR_semaphoreDestroy(s);

    EXPECT_EQ(ZR_semaphoreSignal(nullptr), 0);
    EXPECT_EQ(ZR_semaphoreWait(nullptr, 0), 0);
}

TEST(Semaphore, TimedWaitGivesUpAndUntimedWaitGetsALateSignal)
{
    ZR_Semaphore* s = ZR_semaphoreCreate();
    auto start = Clock::now();
    EXPECT_EQ(ZR_semaphoreWait(s, 30), 0);
    EXPECT_GE(msSince(start), 30);

    std::thread late([s] {
        ZR_sleepMs(20);
        ZR_semaphoreSignal(s);
    });
    EXPECT_EQ(ZR_semaphoreWait(s, ZR_WAIT_FOREVER), 1);
    late.join();
    ZR_semaphoreDestroy(s);
}

TEST(Tick, AdvancesAtLeastAsMuchAsASleep)
{
    uint32_t before = ZR_tickCount();
    ZR_sleepMs(20);
    EXPECT_GE(int32_t(ZR_tickCount() - before), 20);
}

// ---- Condition variable

// Waiter threads that count themselves under the outer lock before waiting,
// so once ready() == n, all n are counted as the cond's waiters.
struct CondWaiters {
    ZR_Lock* outer = ZR_lockCreate();
    ZR_Cond* cond = ZR_condCreate();
    int readyCount = 0; // under outer
    int wokenCount = 0; // under outer
    std::vector<std::thread> threads;

    ~CondWaiters()
    {
        for (auto& t : threads)
            t.join();
        ZR_condDestroy(cond);
        ZR_lockDestroy(outer);
    }

    void start(int n)
    {
        for (int i = 0; i < n; ++i)
            threads.emplace_back([this] {
                ZR_lockEnter(outer);
                ++readyCount;
                wokenCount += ZR_condWait(cond, outer, ZR_WAIT_FOREVER);
                ZR_lockLeave(outer);
            });
    }

    int read(const int& field)
    {
        ZR_lockEnter(outer);
        int value = field;
        ZR_lockLeave(outer);
        return value;
    }
    int ready() { return read(readyCount); }
    int woken() { return read(wokenCount); }

    // The signaller holds the outer lock throughout, as the pool and the
    // delayed-call service do.
    int underOuter(int (*wake)(ZR_Cond*))
    {
        ZR_lockEnter(outer);
        int result = wake(cond);
        ZR_lockLeave(outer);
        return result;
    }
};

TEST(Cond, NobodyWaitingMeansNothingToWakeAndWaitsTimeOut)
{
    ZR_Cond* cond = ZR_condCreate();
    ASSERT_NE(cond, nullptr);
    EXPECT_EQ(ZR_condSignal(cond), 0);
    EXPECT_EQ(ZR_condBroadcast(cond), 0);
    EXPECT_EQ(ZR_condWait(cond, nullptr, 0), 0);

    ZR_Lock* outer = ZR_lockCreate();
    ZR_lockEnter(outer);
    auto start = Clock::now();
    EXPECT_EQ(ZR_condWait(cond, outer, 30), 0);
    EXPECT_GE(msSince(start), 30);
    ZR_lockLeave(outer); // held again after the wait, exactly once

    // Timed-out waiters count themselves out again.
    EXPECT_EQ(ZR_condSignal(cond), 0);
    ZR_lockDestroy(outer);
    ZR_condDestroy(cond);

    EXPECT_EQ(ZR_condSignal(nullptr), 0);
    EXPECT_EQ(ZR_condWait(nullptr, nullptr, 0), 0);
}

TEST(Cond, SignalWakesExactlyOneWaiterBroadcastWakesAllTheOthers)
{
    CondWaiters w;
    w.start(4);
    ASSERT_TRUE(waitUntil([&] { return w.ready() == 4; }));

    EXPECT_EQ(w.underOuter(ZR_condSignal), 1);
    ASSERT_TRUE(waitUntil([&] { return w.woken() == 1; }));
    EXPECT_FALSE(waitUntil([&] { return w.woken() > 1; }, 30)) << "a signal woke more than one waiter";

    EXPECT_EQ(w.underOuter(ZR_condBroadcast), 1);
    ASSERT_TRUE(waitUntil([&] { return w.woken() == 4; }));
    EXPECT_EQ(ZR_condSignal(w.cond), 0);
    EXPECT_EQ(ZR_condBroadcast(w.cond), 0);
}

// Waiters with 0 and 1 ms time-outs against a signaller that never pauses: a
// waiter that times out just after another waiter took the only wake-up must
// not block the cond (and with it the signaller) waiting for that wake-up.
TEST(Cond, TimedOutWaitersRacingSignalsNeverDeadlock)
{
    // On the heap and left behind if the threads hang, so a failure is
    // reported instead of crashing on freed memory.
    auto* cond = ZR_condCreate();
    auto* stop = new std::atomic<bool>(false);
    auto* finished = new std::atomic<int>(0);
    auto* woken = new std::atomic<long>(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([=] {
            while (!stop->load())
                *woken += ZR_condWait(cond, nullptr, i % 2);
            ++*finished;
        });
    threads.emplace_back([=] {
        for (long n = 0; !stop->load(); ++n)
            (n % 8 == 7) ? ZR_condBroadcast(cond) : ZR_condSignal(cond);
        ++*finished;
    });
    // Race until many wake-ups went through; a deadlock stops the count.
    waitUntil([&] { return woken->load() >= 10000; });
    stop->store(true);
    bool ended = waitUntil([&] { return finished->load() == 4; }, 10000);
    EXPECT_TRUE(ended) << "cond deadlocked";
    for (auto& t : threads)
        ended ? t.join() : t.detach();
    if (!ended)
        return;
    EXPECT_GT(woken->load(), 0);
    EXPECT_EQ(ZR_condSignal(cond), 0);
    ZR_condDestroy(cond);
    delete stop;
    delete finished;
    delete woken;
}

// ---- Threads

struct StopWatcher {
    std::atomic<ZR_Thread*> seen{nullptr};
    std::atomic<void*> arg{nullptr};
    std::atomic<int> sawStop{0};
};

void watchForStop(ZR_Thread* self, void* arg)
{
    auto* w = static_cast<StopWatcher*>(arg);
    w->seen = self;
    w->arg = arg;
    w->sawStop = ZR_semaphoreWait(ZR_threadStopSemaphore(self), 10000);
}

TEST(Thread, RoutineGetsItsRecordAndEndsOnTheStopSignal)
{
    StopWatcher w;
    ZR_Thread* thread = ZR_threadStart(watchForStop, &w);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(waitUntil([&] { return w.seen.load() != nullptr; }));
    EXPECT_EQ(w.seen.load(), thread);
    EXPECT_EQ(w.arg.load(), &w);

    auto start = Clock::now();
    EXPECT_EQ(ZR_threadStopWithin(thread, ZR_THREAD_STOP_WAIT_MS), 1);
    EXPECT_LT(msSince(start), 5000);
    EXPECT_EQ(w.sawStop.load(), 1);

    EXPECT_EQ(ZR_threadStart(nullptr, nullptr), nullptr);
    ZR_threadStop(nullptr, 1);
}

// Outlive every test: the routine below is still running when its test ends.
ZR_Semaphore* lateProceed = ZR_semaphoreCreate();
ZR_Semaphore* lateDone = ZR_semaphoreCreate();
std::atomic<int> lateStopSeen{-1};

void ignoreStopThenUseRecord(ZR_Thread* self, void*)
{
    ZR_semaphoreWait(lateProceed, 10000);
    // The stopper has given up and released its hold; the record must still
    // be ours. AddressSanitizer reports it otherwise.
    lateStopSeen = ZR_semaphoreWait(ZR_threadStopSemaphore(self), 0);
    ZR_semaphoreSignal(lateDone);
}

TEST(Thread, ThreadIgnoringStopIsLetGoAfterTheBoundedWaitAndKeepsItsRecord)
{
    ZR_Thread* thread = ZR_threadStart(ignoreStopThenUseRecord, nullptr);
    ASSERT_NE(thread, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(ZR_threadStopWithin(thread, 100), 0);
    EXPECT_GE(msSince(start), 100);

    ZR_semaphoreSignal(lateProceed);
    ASSERT_EQ(ZR_semaphoreWait(lateDone, 10000), 1);
    EXPECT_EQ(lateStopSeen.load(), 1);
}

void stopSelf(ZR_Thread* self, void* arg)
{
    ZR_threadStop(self, 1); // must neither wait for itself nor join itself
    ZR_semaphoreSignal(static_cast<ZR_Semaphore*>(arg));
}

TEST(Thread, RoutineMayStopItsOwnThread)
{
    static ZR_Semaphore* done = ZR_semaphoreCreate();
    ASSERT_NE(ZR_threadStart(stopSelf, done), nullptr);
    EXPECT_EQ(ZR_semaphoreWait(done, 10000), 1);
}

// ---- Worker pool

struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    ZR_Semaphore* started = ZR_semaphoreCreate();
    ~Gate() { ZR_semaphoreDestroy(started); }

    static void block(void* arg)
    {
        auto* g = static_cast<Gate*>(arg);
        ZR_semaphoreSignal(g->started);
        std::unique_lock lock(g->mutex);
        g->opened.wait_for(lock, std::chrono::seconds(20), [g] { return g->open; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }
};

void countJob(void* arg) { ++*static_cast<std::atomic<int>*>(arg); }

ZR_PoolStats statsOf(ZR_Pool* pool)
{
    ZR_PoolStats s{};
    EXPECT_EQ(ZR_poolStats(pool, &s), 1);
    return s;
}

// Opens the gate before destroying the pool, so a failed assertion cannot
// leave workers blocked for ever or the gate freed under them.
struct OpenGateThenDestroy {
    Gate& gate;
    ZR_Pool* pool;
    ~OpenGateThenDestroy()
    {
        gate.release();
        ZR_poolDestroy(pool);
    }
};

TEST(Pool, GrowsToItsWorkerLimitRefusesAFullQueueAndShrinksWhenIdle)
{
    Gate gate;
    ZR_Pool* pool = ZR_poolCreate();
    ASSERT_NE(pool, nullptr);
    OpenGateThenDestroy cleanup{gate, pool};
    ZR_PoolStats fresh = statsOf(pool);
    EXPECT_EQ(fresh.busy + fresh.idle, ZR_POOL_MIN_WORKERS);
    ASSERT_TRUE(waitUntil([&] { return statsOf(pool).idle == ZR_POOL_MIN_WORKERS; }));

    // The first workers one blocker at a time: a worker woken for a job counts
    // as idle until it runs, and the pool grows only when none is idle. Once
    // they are all blocked, every further submit starts a worker, up to the
    // limit; the rest wait in the queue.
    for (uint32_t i = 0; i < ZR_POOL_MIN_WORKERS; ++i) {
        ASSERT_EQ(ZR_poolSubmit(pool, Gate::block, &gate), ZR_POOL_QUEUED);
        ASSERT_EQ(ZR_semaphoreWait(gate.started, 10000), 1);
    }
    for (uint32_t i = ZR_POOL_MIN_WORKERS; i < ZR_POOL_MAX_WORKERS + 100; ++i)
        ASSERT_EQ(ZR_poolSubmit(pool, Gate::block, &gate), ZR_POOL_QUEUED);
    for (uint32_t i = ZR_POOL_MIN_WORKERS; i < ZR_POOL_MAX_WORKERS; ++i)
        ASSERT_EQ(ZR_semaphoreWait(gate.started, 10000), 1) << "blocker " << i << " never ran";
    ZR_PoolStats full = statsOf(pool);
    EXPECT_EQ(full.busy, ZR_POOL_MAX_WORKERS);
    EXPECT_EQ(full.idle, 0u);
    EXPECT_EQ(full.queued, 100u);

    std::atomic<int> ran{0};
    int accepted = 0;
    while (ZR_poolSubmit(pool, countJob, &ran) == ZR_POOL_QUEUED && accepted < 10000)
        ++accepted;
    EXPECT_EQ(accepted, int(ZR_POOL_MAX_WAITING) - 100);
    EXPECT_EQ(statsOf(pool).queued, ZR_POOL_MAX_WAITING);
    EXPECT_EQ(statsOf(pool).busy, ZR_POOL_MAX_WORKERS) << "never more workers than the limit";

    gate.release();
    ASSERT_TRUE(waitUntil([&] { return ran.load() == accepted; }, 20000));
    // A worker with nothing to do ends while more than ten others remain.
    ASSERT_TRUE(waitUntil([&] {
        ZR_PoolStats s = statsOf(pool);
        return s.busy + s.idle <= ZR_POOL_MIN_WORKERS + 1;
    }, 20000));
    ZR_PoolStats settled = statsOf(pool);
    EXPECT_GE(settled.busy + settled.idle, ZR_POOL_MIN_WORKERS);
    EXPECT_EQ(settled.queued, 0u);
}

std::atomic<long> ownedSum{0};
std::atomic<int> completions{0};

void addOwned(void* arg) { ownedSum += *static_cast<int*>(arg); }
// Runs after the job and before the argument is freed.
void completeOwned(void* arg)
{
    ownedSum += 1000 * *static_cast<int*>(arg);
    ++completions;
}

TEST(Pool, DestroyFinishesQueuedJobsWithCompletionAndFreesOwnedArguments)
{
    ownedSum = 0;
    completions = 0;
    ZR_Pool* pool = ZR_poolCreate();
    ASSERT_NE(pool, nullptr);
    long expected = 0;
    for (int i = 1; i <= 300; ++i) {
        auto* value = static_cast<int*>(std::malloc(sizeof(int)));
        *value = i;
        expected += 1001L * i;
        ASSERT_EQ(ZR_poolSubmitEx(pool, addOwned, value, 1, completeOwned), ZR_POOL_QUEUED);
    }
    ZR_poolDestroy(pool);
    EXPECT_EQ(completions.load(), 300);
    EXPECT_EQ(ownedSum.load(), expected);
}

void submitFollowUp(void* arg);

struct Chain {
    ZR_Pool* pool;
    std::atomic<int> remaining;
};

void submitFollowUp(void* arg)
{
    auto* chain = static_cast<Chain*>(arg);
    if (--chain->remaining > 0) {
        EXPECT_EQ(ZR_poolSubmit(chain->pool, submitFollowUp, chain), ZR_POOL_QUEUED);
    }
}

TEST(Pool, JobsMaySubmitJobsAndBadArgumentsAreRefused)
{
    Chain chain{ZR_poolCreate(), 50};
    ASSERT_NE(chain.pool, nullptr);
    ASSERT_EQ(ZR_poolSubmit(chain.pool, submitFollowUp, &chain), ZR_POOL_QUEUED);
    ASSERT_TRUE(waitUntil([&] { return chain.remaining.load() == 0; }));

    EXPECT_EQ(ZR_poolSubmit(chain.pool, nullptr, nullptr), ZR_POOL_NO_MEMORY);
    EXPECT_EQ(ZR_poolSubmit(nullptr, countJob, nullptr), ZR_POOL_NO_MEMORY);
    EXPECT_EQ(ZR_poolStats(chain.pool, nullptr), 0);
    ZR_poolDestroy(chain.pool);
    ZR_poolDestroy(nullptr);
}

// ---- Delayed calls

// A scheduled call that notes when and on which thread it ran.
struct Call {
    ZR_Semaphore* done = nullptr;
    uint32_t ranAt = 0;
    std::thread::id thread;

    static void run(void* arg)
    {
        auto* call = static_cast<Call*>(arg);
        call->ranAt = ZR_tickCount();
        call->thread = std::this_thread::get_id();
        ZR_semaphoreSignal(call->done);
    }
};

class DelayedCalls : public testing::Test {
protected:
    void SetUp() override { ZR_timerSetDispatchObserver(observe, this); }
    void TearDown() override
    {
        ZR_timerServiceStop();
        ZR_timerSetDispatchObserver(nullptr, nullptr);
        ZR_tickSetOffset(0);
        ZR_semaphoreDestroy(done);
    }

    static void observe(void* context, void* arg)
    {
        auto* self = static_cast<DelayedCalls*>(context);
        std::lock_guard lock(self->mutex);
        self->dispatched.push_back(arg);
    }

    void schedule(Call& call, uint32_t delayMs)
    {
        call.done = done;
        ASSERT_NE(ZR_timerSchedule(Call::run, delayMs, &call), nullptr);
    }

    bool awaitRuns(int n)
    {
        for (int i = 0; i < n; ++i)
            if (!ZR_semaphoreWait(done, 10000))
                return false;
        return true;
    }

    std::vector<void*> dispatchedCalls()
    {
        std::lock_guard lock(mutex);
        return dispatched;
    }

    ZR_Semaphore* done = ZR_semaphoreCreate();
    std::mutex mutex;
    std::vector<void*> dispatched;
};

TEST_F(DelayedCalls, RunInDueOrderThenSchedulingOrderOnPoolThreads)
{
    Call calls[5];
    const uint32_t delays[5] = {300, 100, 200, 100, 100};
    // Due times from the tick at each scheduling, so that a scheduler held up
    // between two calls (a loaded machine) does not change what is expected.
    std::vector<std::pair<uint32_t, int>> due;
    const uint32_t base = ZR_tickCount();
    for (int i = 0; i < 5; ++i) {
        due.emplace_back(ZR_tickCount() - base + delays[i], i);
        schedule(calls[i], delays[i]);
    }
    std::stable_sort(due.begin(), due.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<void*> expected;
    for (auto& [at, i] : due)
        expected.push_back(&calls[i]);
    ASSERT_TRUE(awaitRuns(5));
    EXPECT_EQ(dispatchedCalls(), expected);
    for (const Call& call : calls)
        EXPECT_NE(call.thread, std::this_thread::get_id());
}

TEST_F(DelayedCalls, NeverRunBeforeTheirDelay)
{
    Call call;
    uint32_t before = ZR_tickCount();
    schedule(call, 150);
    ASSERT_TRUE(awaitRuns(1));
    EXPECT_GE(int32_t(call.ranAt - before), 150);
}

TEST_F(DelayedCalls, KeepTheirOrderAcrossTheTickWrap)
{
    ZR_tickSetOffset(0);
    ZR_tickSetOffset(0xFFFFFFFFu - 60 - ZR_tickCount());
    Call afterWrap, beforeWrap;
    uint32_t before = ZR_tickCount();
    schedule(afterWrap, 150);
    schedule(beforeWrap, 30);
    ASSERT_TRUE(awaitRuns(2));
    EXPECT_EQ(dispatchedCalls(), (std::vector<void*>{&beforeWrap, &afterWrap}));
    EXPECT_GE(int32_t(afterWrap.ranAt - before), 150);
}

std::atomic<int> droppedRuns{0};
void countDroppedRun(void*) { ++droppedRuns; }

struct SlowCall {
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
};
void slowCallback(void* arg)
{
    auto* slow = static_cast<SlowCall*>(arg);
    slow->started = true;
    ZR_sleepMs(100);
    slow->finished = true;
}

TEST_F(DelayedCalls, StopDropsPendingCallsAndWaitsForRunningOnes)
{
    droppedRuns = 0;
    SlowCall slow;
    ASSERT_NE(ZR_timerSchedule(slowCallback, 10, &slow), nullptr);
    // Owned arguments of dropped calls are freed (LeakSanitizer checks).
    for (int i = 0; i < 5; ++i)
        ASSERT_NE(ZR_timerScheduleEx(countDroppedRun, 60000, std::malloc(16), 1), nullptr);
    ASSERT_TRUE(waitUntil([&] { return slow.started.load(); }));

    auto start = Clock::now();
    ZR_timerServiceStop();
    EXPECT_TRUE(slow.finished.load()) << "a running call outlived the stop";
    EXPECT_EQ(droppedRuns.load(), 0);
    EXPECT_LT(msSince(start), 5000);
    EXPECT_EQ(dispatchedCalls().size(), 1u);
}

// The owned argument of a call that ran is freed after it (LeakSanitizer checks).
void signalFromOwnedArgument(void* arg) { ZR_semaphoreSignal(*static_cast<ZR_Semaphore**>(arg)); }

TEST_F(DelayedCalls, StartStopRestartAndRefusedCalls)
{
    EXPECT_EQ(ZR_timerServiceStart(), 1);
    EXPECT_EQ(ZR_timerServiceStart(), 0);
    ZR_timerServiceStop();
    ZR_timerServiceStop();
    EXPECT_EQ(ZR_timerServiceStart(), 1);

    EXPECT_EQ(ZR_timerSchedule(nullptr, 10, nullptr), nullptr);
    EXPECT_EQ(ZR_timerSchedule(countDroppedRun, 0, nullptr), nullptr);
    EXPECT_EQ(ZR_timerSchedule(countDroppedRun, ZR_TIMER_MAX_DELAY_MS + 1, nullptr), nullptr);

    ZR_timerServiceStop();
    auto* owned = static_cast<ZR_Semaphore**>(std::malloc(sizeof(ZR_Semaphore*)));
    *owned = done;
    ASSERT_NE(ZR_timerScheduleEx(signalFromOwnedArgument, 5, owned, 1), nullptr) << "scheduling starts the service";
    EXPECT_EQ(ZR_timerServiceStart(), 0);
    ASSERT_TRUE(awaitRuns(1));
}

struct DuringStop {
    ZR_Semaphore* proceed = ZR_semaphoreCreate();
    std::atomic<bool> started{false};
    std::atomic<int> scheduled{-1}; // 1 when the late schedule got an entry
    ~DuringStop() { ZR_semaphoreDestroy(proceed); }
};
void scheduleWhileStopping(void* arg)
{
    auto* d = static_cast<DuringStop*>(arg);
    d->started = true;
    ZR_semaphoreWait(d->proceed, 10000);
    d->scheduled = ZR_timerSchedule(countDroppedRun, 1, nullptr) != nullptr;
}

TEST_F(DelayedCalls, CallsScheduledWhileStoppingAreRefused)
{
    droppedRuns = 0;
    DuringStop d;
    ASSERT_NE(ZR_timerSchedule(scheduleWhileStopping, 5, &d), nullptr);
    ASSERT_TRUE(waitUntil([&] { return d.started.load(); }));
    std::thread stopper(ZR_timerServiceStop);
    // The stop cannot finish while our callback runs, so this sees it under way.
    EXPECT_TRUE(waitUntil([] { return ZR_timerServiceStart() == -1; }));
    ZR_semaphoreSignal(d.proceed);
    stopper.join();
    EXPECT_EQ(d.scheduled.load(), 0);
    EXPECT_EQ(droppedRuns.load(), 0);
    EXPECT_EQ(ZR_timerServiceStart(), 1) << "the refused call left no service behind";
}

} // namespace
