#include "core/pool.h"

#include <cstdlib>
#include <new>

#include "core/runtime.h"
#include "core/thread.h"

namespace {

struct Job {
    Job* next = nullptr;
    ZR_JobFn fn = nullptr;
    void* arg = nullptr;
    int ownsArg = 0;
    ZR_JobFn completion = nullptr; // may be null
};

} // namespace

// Workers are only counted, not listed: nothing ever needs to reach a
// particular worker, and each one frees its own thread record as it ends.
struct ZR_Pool {
    uint32_t minWorkers = ZR_POOL_MIN_WORKERS;
    uint32_t maxWorkers = ZR_POOL_MAX_WORKERS;
    // Kept for the record's shape; POSIX workers stay at the default
    // scheduling, since raising it needs privileges and lowering it would
    // starve delayed calls behind busy user-interface work.
    int priority = 0;
    uint32_t maxWaiting = ZR_POOL_MAX_WAITING;
    // A worker is idle from the moment it starts waiting until it holds the
    // lock again, woken or not. A submit therefore starts no new worker while
    // woken workers are still on their way, which keeps a burst of short jobs
    // on a few threads instead of hundreds.
    uint32_t busy = 0; // starting or running a job
    uint32_t idle = 0; // waiting on cond, or woken and not yet back
    Job* head = nullptr;
    Job* tail = nullptr;
    uint32_t queued = 0;
    ZR_Lock* lock = nullptr;
    ZR_Cond* cond = nullptr; // idle workers wait here with lock as outer lock
    bool stopping = false;
    ZR_Semaphore* allGone = nullptr; // signalled by the last worker to end
};

namespace {

void runJob(Job* job)
{
    job->fn(job->arg);
    if (job->completion)
        job->completion(job->arg);
    if (job->ownsArg)
        std::free(job->arg);
    delete job;
}

void workerRoutine(ZR_Thread* self, void* arg)
{
    auto* pool = static_cast<ZR_Pool*>(arg);
    // Let the submitter that started us finish its turn under the pool lock.
    ZR_sleepMs(1);
    ZR_lockEnter(pool->lock);
    for (;;) {
        if (Job* job = pool->head) {
            pool->head = job->next;
            if (!pool->head)
                pool->tail = nullptr;
            --pool->queued;
            ZR_lockLeave(pool->lock);
            runJob(job);
            ZR_lockEnter(pool->lock);
            continue;
        }
        --pool->busy;
        if (pool->stopping || pool->busy + pool->idle > pool->minWorkers)
            break;
        ++pool->idle;
        ZR_condWait(pool->cond, pool->lock, ZR_WAIT_FOREVER);
        --pool->idle;
        ++pool->busy;
    }
    bool last = pool->busy + pool->idle == 0;
    ZR_Semaphore* allGone = pool->allGone;
    ZR_lockLeave(pool->lock);
    ZR_threadStop(self, 0);
    // The destroyer frees the pool as soon as this lands: touch nothing after.
    if (last)
        ZR_semaphoreSignal(allGone);
}

// Called with the pool lock held. The worker counts as busy from here on, so
// the pool never looks empty while one is still starting.
bool startWorker(ZR_Pool* pool)
{
    ++pool->busy;
    if (ZR_threadStart(workerRoutine, pool))
        return true;
    --pool->busy;
    return false;
}

} // namespace

ZR_Pool* ZR_poolCreate()
{
    auto* pool = new (std::nothrow) ZR_Pool;
    if (!pool)
        return nullptr;
    pool->lock = ZR_lockCreate();
    pool->cond = ZR_condCreate();
    pool->allGone = ZR_semaphoreCreate();
    bool ok = pool->lock && pool->cond && pool->allGone;
    if (ok) {
        ZR_lockEnter(pool->lock);
        for (uint32_t i = 0; ok && i < pool->minWorkers; ++i)
            ok = startWorker(pool);
        ZR_lockLeave(pool->lock);
    }
    if (!ok) {
        ZR_poolDestroy(pool);
        return nullptr;
    }
    return pool;
}

int ZR_poolSubmit(ZR_Pool* pool, ZR_JobFn fn, void* arg) { return ZR_poolSubmitEx(pool, fn, arg, 0, nullptr); }

int ZR_poolSubmitEx(ZR_Pool* pool, ZR_JobFn fn, void* arg, int ownsArg, ZR_JobFn completion)
{
    if (!pool || !fn)
        return ZR_POOL_NO_MEMORY;
    ZR_lockEnter(pool->lock);
    if (pool->queued >= pool->maxWaiting) {
        ZR_lockLeave(pool->lock);
        return ZR_POOL_FULL;
    }
    auto* job = new (std::nothrow) Job;
    if (!job) {
        ZR_lockLeave(pool->lock);
        return ZR_POOL_NO_MEMORY;
    }
    job->fn = fn;
    job->arg = arg;
    job->ownsArg = ownsArg;
    job->completion = completion;
    if (pool->tail)
        pool->tail->next = job;
    else
        pool->head = job;
    pool->tail = job;
    ++pool->queued;
    // A failed start is not the submitter's problem: the job is queued and the
    // workers that exist will reach it.
    if (pool->idle == 0 && pool->busy < pool->maxWorkers)
        startWorker(pool);
    ZR_condSignal(pool->cond);
    ZR_lockLeave(pool->lock);
    return ZR_POOL_QUEUED;
}

void ZR_poolDestroy(ZR_Pool* pool)
{
    if (!pool)
        return;
    bool workersLeft = false;
    if (pool->lock && pool->cond) {
        ZR_lockEnter(pool->lock);
        pool->stopping = true;
        workersLeft = pool->busy + pool->idle > 0;
        ZR_condBroadcast(pool->cond);
        ZR_lockLeave(pool->lock);
    }
    if (workersLeft)
        ZR_semaphoreWait(pool->allGone, ZR_WAIT_FOREVER);
    while (Job* job = pool->head) {
        pool->head = job->next;
        if (job->ownsArg)
            std::free(job->arg);
        delete job;
    }
    ZR_semaphoreDestroy(pool->allGone);
    ZR_condDestroy(pool->cond);
    ZR_lockDestroy(pool->lock);
    delete pool;
}

int ZR_poolStats(ZR_Pool* pool, ZR_PoolStats* stats)
{
    if (!pool || !stats)
        return 0;
    ZR_lockEnter(pool->lock);
    stats->busy = pool->busy;
    stats->idle = pool->idle;
    stats->queued = pool->queued;
    ZR_lockLeave(pool->lock);
    return 1;
}
