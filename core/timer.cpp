#include "core/timer.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

#include "core/pool.h"
#include "core/runtime.h"
#include "core/thread.h"

struct ZR_Timer {
    ZR_Timer* prev = nullptr;
    ZR_Timer* next = nullptr;
    bool oneShot = true;
    bool stopMarker = false; // ends the timer thread when it comes first
    uint32_t delay = 0;      // ms
    uint32_t due = 0;        // ZR_tickCount() value
    ZR_TimerFn callback = nullptr;
    void* arg = nullptr;
    int ownsArg = 0; // free() arg with the entry
};

namespace {

void freeEntry(ZR_Timer* entry)
{
    if (entry->ownsArg)
        std::free(entry->arg);
    delete entry;
}

// Shared by the service's owner and its timer thread, so that a timer thread
// let go after the bounded wait still finds its lock, cond and list.
struct Service {
    ZR_Lock* lock = nullptr;
    ZR_Cond* cond = nullptr; // the timer thread waits here with lock as outer lock
    ZR_Pool* pool = nullptr; // null once the stop has taken it
    ZR_Thread* thread = nullptr;
    ZR_Timer* head = nullptr; // pending calls in due order
    ZR_Timer* tail = nullptr;
    uint32_t count = 0;
    ZR_Timer stopMarker; // part of the service, so stopping needs no allocation
    bool stopped = false; // no more dispatching; the pending list is the stop's

    Service() { stopMarker.stopMarker = true; }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    ~Service()
    {
        dropPending();
        ZR_poolDestroy(pool);
        ZR_condDestroy(cond);
        ZR_lockDestroy(lock);
    }

    void unlink(ZR_Timer* entry)
    {
        (entry->prev ? entry->prev->next : head) = entry->next;
        (entry->next ? entry->next->prev : tail) = entry->prev;
        entry->prev = entry->next = nullptr;
        --count;
    }

    // After every entry that is due no later than this one, so equal due times
    // keep their scheduling order. The scan starts at the back because a new
    // call is most often the latest one.
    void insert(ZR_Timer* entry)
    {
        ZR_Timer* before = tail;
        while (before && int32_t(before->due - entry->due) > 0)
            before = before->prev;
        entry->prev = before;
        entry->next = before ? before->next : head;
        (entry->next ? entry->next->prev : tail) = entry;
        (before ? before->next : head) = entry;
        ++count;
    }

    void dropPending()
    {
        while (ZR_Timer* entry = head) {
            unlink(entry);
            if (!entry->stopMarker)
                freeEntry(entry);
        }
    }
};

struct Registry {
    std::mutex mutex;
    std::shared_ptr<Service> running; // also set while a stop is under way
    bool stopping = false;
    std::mutex stopSerial; // a second stop returns only when the first is done

    std::mutex observerMutex;
    ZR_TimerDispatchObserver observer = nullptr;
    void* observerContext = nullptr;
};

// Never destroyed: a service still running at exit must not lose its state
// under the timer thread's feet.
Registry& registry()
{
    static Registry* instance = new Registry;
    return *instance;
}

void runTimerJob(void* arg)
{
    auto* entry = static_cast<ZR_Timer*>(arg);
    entry->callback(entry->arg);
    freeEntry(entry);
}

void observeDispatch(void* arg)
{
    Registry& r = registry();
    std::lock_guard guard(r.observerMutex);
    if (r.observer)
        r.observer(r.observerContext, arg);
}

void timerRoutine(ZR_Thread*, void* arg)
{
    std::unique_ptr<std::shared_ptr<Service>> hold(static_cast<std::shared_ptr<Service>*>(arg));
    Service* s = hold->get();
    ZR_lockEnter(s->lock);
    while (!s->stopped) {
        ZR_Timer* first = s->head;
        if (!first) {
            ZR_condWait(s->cond, s->lock, ZR_WAIT_FOREVER);
            continue;
        }
        if (first->stopMarker) {
            s->unlink(first);
            break;
        }
        int32_t remaining = int32_t(first->due - ZR_tickCount());
        if (remaining > 0) {
            ZR_condWait(s->cond, s->lock, remaining);
            continue;
        }
        s->unlink(first);
        observeDispatch(first->arg);
        if (ZR_poolSubmit(s->pool, runTimerJob, first) != ZR_POOL_QUEUED)
            freeEntry(first);
    }
    ZR_lockLeave(s->lock);
}

// Called with the registry's mutex held.
int startLocked(Registry& r)
{
    if (r.stopping)
        return -1;
    if (r.running)
        return 0;
    std::shared_ptr<Service> service;
    try {
        service = std::make_shared<Service>();
    } catch (...) {
        return -1;
    }
    service->lock = ZR_lockCreate();
    service->cond = ZR_condCreate();
    service->pool = ZR_poolCreate();
    if (!service->lock || !service->cond || !service->pool)
        return -1;
    auto* threadHold = new (std::nothrow) std::shared_ptr<Service>(service);
    if (!threadHold)
        return -1;
    service->thread = ZR_threadStart(timerRoutine, threadHold);
    if (!service->thread) {
        delete threadHold;
        return -1;
    }
    r.running = std::move(service);
    return 1;
}

} // namespace

int ZR_timerServiceStart()
{
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    return startLocked(r);
}

ZR_Timer* ZR_timerSchedule(ZR_TimerFn callback, uint32_t delayMs, void* arg)
{
    return ZR_timerScheduleEx(callback, delayMs, arg, 0);
}

ZR_Timer* ZR_timerScheduleEx(ZR_TimerFn callback, uint32_t delayMs, void* arg, int ownsArg)
{
    // Callers always give a callback and at least 1 ms; anything else is a
    // caller's mistake, refused rather than run.
    if (!callback || delayMs == 0 || delayMs > ZR_TIMER_MAX_DELAY_MS)
        return nullptr;
    Registry& r = registry();
    std::shared_ptr<Service> service;
    {
        std::lock_guard guard(r.mutex);
        if (startLocked(r) < 0)
            return nullptr;
        service = r.running;
    }
    auto* entry = new (std::nothrow) ZR_Timer;
    if (!entry)
        return nullptr;
    entry->delay = delayMs;
    entry->callback = callback;
    entry->arg = arg;
    entry->ownsArg = ownsArg;
    entry->due = ZR_tickCount() + delayMs;

    ZR_lockEnter(service->lock);
    if (service->stopped) {
        // The stop began after we looked it up: refuse rather than leave the
        // call in a list nobody will read.
        ZR_lockLeave(service->lock);
        delete entry;
        return nullptr;
    }
    service->insert(entry);
    ZR_condSignal(service->cond);
    ZR_lockLeave(service->lock);
    return entry;
}

void ZR_timerServiceStop()
{
    Registry& r = registry();
    std::lock_guard serial(r.stopSerial);
    std::shared_ptr<Service> service;
    {
        std::lock_guard guard(r.mutex);
        if (!r.running)
            return;
        service = r.running;
        r.stopping = true;
    }

    // The marker is due now, so calls already due still go out before it.
    ZR_lockEnter(service->lock);
    service->stopMarker.due = ZR_tickCount();
    service->insert(&service->stopMarker);
    ZR_condSignal(service->cond);
    ZR_lockLeave(service->lock);

    ZR_threadStop(service->thread, 1);
    service->thread = nullptr;

    // Whether the timer thread ended or was let go, from here on it dispatches
    // nothing: it reads stopped before each step, under the same lock.
    ZR_lockEnter(service->lock);
    service->stopped = true;
    service->dropPending();
    ZR_Pool* pool = service->pool;
    service->pool = nullptr;
    ZR_lockLeave(service->lock);

    // Runs the calls already handed out, so none runs after we return.
    ZR_poolDestroy(pool);

    std::lock_guard guard(r.mutex);
    r.running.reset();
    r.stopping = false;
}

void ZR_timerSetDispatchObserver(ZR_TimerDispatchObserver observer, void* context)
{
    Registry& r = registry();
    std::lock_guard guard(r.observerMutex);
    r.observer = observer;
    r.observerContext = context;
}
