// The worker pool's throughput for tiny jobs and the delayed-call service's
// ordering under load. Budgets: 100,000 tiny jobs from one submitter done in
// 1 s; 10,000 delayed calls dispatched strictly in due order.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/pool.h"
#include "core/runtime.h"
#include "core/timer.h"

namespace {

struct TinyJobs {
    std::atomic<int> done{0};
    int total = 0;
    ZR_Semaphore* allDone = ZR_semaphoreCreate();
    ~TinyJobs() { ZR_semaphoreDestroy(allDone); }

    static void run(void* arg)
    {
        auto* jobs = static_cast<TinyJobs*>(arg);
        if (jobs->done.fetch_add(1, std::memory_order_acq_rel) + 1 == jobs->total)
            ZR_semaphoreSignal(jobs->allDone);
    }
};

// Submit-to-all-done for 100,000 jobs from one thread. A full queue (-1) is
// answered as a real caller would: yield and submit the same job again.
void BM_Pool100kTinyJobs(benchmark::State& state)
{
    const int total = 100000;
    ZR_Pool* pool = ZR_poolCreate();
    if (!pool) {
        state.SkipWithError("pool not created");
        return;
    }
    int64_t refusals = 0;
    uint32_t peakWorkers = 0;
    for (auto _ : state) {
        TinyJobs jobs;
        jobs.total = total;
        for (int i = 0; i < total; ++i) {
            int result;
            while ((result = ZR_poolSubmit(pool, TinyJobs::run, &jobs)) == ZR_POOL_FULL) {
                ++refusals;
                std::this_thread::yield();
            }
            if (result != ZR_POOL_QUEUED) {
                state.SkipWithError("submit failed");
                break;
            }
            if (i % 4096 == 0) {
                ZR_PoolStats s{};
                ZR_poolStats(pool, &s);
                peakWorkers = std::max(peakWorkers, s.busy + s.idle);
            }
        }
        if (!ZR_semaphoreWait(jobs.allDone, 30000)) {
            state.SkipWithError("jobs did not finish");
            break;
        }
    }
    ZR_PoolStats after{};
    ZR_poolStats(pool, &after);
    state.counters["refused_per_run"] = double(refusals) / double(std::max<int64_t>(1, state.iterations()));
    state.counters["peak_workers"] = double(peakWorkers);
    state.counters["workers_after"] = double(after.busy + after.idle);
    state.SetItemsProcessed(int64_t(state.iterations()) * total);
    ZR_poolDestroy(pool);
}
BENCHMARK(BM_Pool100kTinyJobs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// One delayed call: its due time is known to lie in [dueLow, dueHigh], the
// ticks just before and after scheduling plus the delay.
struct Delayed {
    int index = 0;
    uint32_t dueLow = 0;
    uint32_t dueHigh = 0;
    uint32_t ranAt = 0;
};

struct DelayedRun {
    std::vector<Delayed> calls;
    std::mutex mutex;
    std::vector<int> dispatched; // indexes in the order the timer handed them out
    std::vector<int> started;    // indexes in the order callbacks began on workers
    std::atomic<int> ran{0};
    ZR_Semaphore* allRan = ZR_semaphoreCreate();
    ~DelayedRun() { ZR_semaphoreDestroy(allRan); }
};

DelayedRun* currentRun = nullptr; // read by the callbacks; set before scheduling

void observeDispatch(void* context, void* arg)
{
    auto* run = static_cast<DelayedRun*>(context);
    std::lock_guard lock(run->mutex);
    run->dispatched.push_back(static_cast<Delayed*>(arg)->index);
}

void delayedCallback(void* arg)
{
    auto* call = static_cast<Delayed*>(arg);
    call->ranAt = ZR_tickCount();
    DelayedRun* run = currentRun;
    {
        std::lock_guard lock(run->mutex);
        run->started.push_back(call->index);
    }
    if (run->ran.fetch_add(1) + 1 == int(run->calls.size()))
        ZR_semaphoreSignal(run->allRan);
}

// Dispatches that contradict due order: a call handed out after one that was
// certainly due later, or after a later-scheduled call with the same due time.
int64_t dueOrderViolations(const DelayedRun& run)
{
    int64_t violations = 0;
    bool any = false;
    uint32_t latestDueLow = 0;
    std::map<uint32_t, int> lastExactIndex; // exact due time -> last index dispatched with it
    for (int index : run.dispatched) {
        const Delayed& call = run.calls[size_t(index)];
        if (any && int32_t(call.dueHigh - latestDueLow) < 0)
            ++violations;
        if (!any || int32_t(call.dueLow - latestDueLow) > 0)
            latestDueLow = call.dueLow;
        any = true;
        if (call.dueLow == call.dueHigh) {
            auto [it, inserted] = lastExactIndex.emplace(call.dueLow, index);
            if (!inserted) {
                if (index < it->second)
                    ++violations;
                it->second = index;
            }
        }
    }
    return violations;
}

// 10,000 calls with random delays of 1 to 200 ms, scheduled in one burst.
void BM_Timer10kOrder(benchmark::State& state)
{
    const int total = 10000;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<uint32_t> delay(1, 200);
    int64_t violations = 0, lost = 0, startInversions = 0;
    uint32_t worstLateness = 0;
    double scheduleMs = 0;
    for (auto _ : state) {
        DelayedRun run;
        run.calls.resize(total);
        run.dispatched.reserve(total);
        run.started.reserve(total);
        currentRun = &run;
        ZR_timerSetDispatchObserver(observeDispatch, &run);
        ZR_timerServiceStart();
        auto scheduleStart = std::chrono::steady_clock::now();
        for (int i = 0; i < total; ++i) {
            Delayed& call = run.calls[size_t(i)];
            uint32_t d = delay(rng);
            call.index = i;
            call.dueLow = ZR_tickCount() + d;
            if (!ZR_timerSchedule(delayedCallback, d, &call)) {
                state.SkipWithError("schedule refused");
                break;
            }
            call.dueHigh = ZR_tickCount() + d;
        }
        scheduleMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - scheduleStart).count();
        bool finished = ZR_semaphoreWait(run.allRan, 30000) == 1;
        ZR_timerServiceStop();
        ZR_timerSetDispatchObserver(nullptr, nullptr);

        violations += dueOrderViolations(run);
        lost += total - run.ran.load();
        for (size_t i = 0; i < run.started.size() && i < run.dispatched.size(); ++i)
            startInversions += run.started[i] != run.dispatched[i];
        for (const Delayed& call : run.calls)
            if (call.ranAt)
                worstLateness = std::max(worstLateness, uint32_t(std::max(0, int32_t(call.ranAt - call.dueHigh))));
        if (!finished) {
            state.SkipWithError("calls were lost");
            break;
        }
    }
    if (violations)
        state.SkipWithError("dispatch left due order");
    state.counters["order_violations"] = double(violations);
    state.counters["lost_calls"] = double(lost);
    state.counters["worst_late_ms"] = double(worstLateness);
    state.counters["schedule_10k_ms"] = scheduleMs / double(std::max<int64_t>(1, state.iterations()));
    // Workers run handed-out calls concurrently, so their start order may
    // differ from the dispatch order; reported, not a failure.
    state.counters["start_order_diffs"] = double(startInversions) / double(std::max<int64_t>(1, state.iterations()));
    state.SetItemsProcessed(int64_t(state.iterations()) * total);
}
BENCHMARK(BM_Timer10kOrder)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace
