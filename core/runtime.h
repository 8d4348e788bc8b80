// The runtime's base primitives: a millisecond tick, sleeping, locks, counting
// semaphores and a condition variable built from them. Threads that can be
// asked to stop are in core/thread.h, the worker pool in core/pool.h, delayed
// calls in core/timer.h.
//
// Time-outs are in milliseconds; ZR_WAIT_FOREVER (or any negative value) waits
// without limit. Every record is created on the heap by its create function and
// freed by its destroy function, which accepts null.
#pragma once

#include <cstdint>

inline constexpr int32_t ZR_WAIT_FOREVER = -1;

// Milliseconds of a monotonic clock, truncated to 32 bits: the value wraps
// about every 49.7 days, so compare ticks only by their difference,
// int32_t(later - earlier), never with < on the raw values.
uint32_t ZR_tickCount();

// Test seam: added to every later ZR_tickCount() result, so a test can put the
// tick just before its wrap. 0 in normal use.
void ZR_tickSetOffset(uint32_t offset);

void ZR_sleepMs(uint32_t milliseconds);

// A recursive lock: the thread that holds it may enter it again and must leave
// it as often as it entered. Entering spins briefly before it blocks, because
// the runtime's critical regions are a few instructions long.
struct ZR_Lock;

ZR_Lock* ZR_lockCreate();
void ZR_lockDestroy(ZR_Lock* lock);
void ZR_lockEnter(ZR_Lock* lock);
void ZR_lockLeave(ZR_Lock* lock);

// A counting semaphore that starts at 0 and holds at most
// ZR_SEMAPHORE_MAX_COUNT signals.
struct ZR_Semaphore;

inline constexpr int32_t ZR_SEMAPHORE_MAX_COUNT = 0x8000;

ZR_Semaphore* ZR_semaphoreCreate();
// Must not be called while a thread still waits on the semaphore. It may be
// called as soon as a waiter has taken the last signal: a signalling thread no
// longer touches the record once the waiter can see its signal.
void ZR_semaphoreDestroy(ZR_Semaphore* semaphore);
// Adds one signal. 1 on success; 0 when the semaphore already holds the
// maximum count or is null.
int ZR_semaphoreSignal(ZR_Semaphore* semaphore);
// Takes one signal, waiting for it at most timeoutMs (0 only tries). 1 when a
// signal was taken, 0 on time-out or a null semaphore.
int ZR_semaphoreWait(ZR_Semaphore* semaphore, int32_t timeoutMs);
// Signals given and not yet taken; for tests and diagnostics.
int32_t ZR_semaphorePending(ZR_Semaphore* semaphore);

// A condition variable whose signal hands the wake-up to one counted waiter and
// waits until that waiter has acknowledged it. The acknowledgement comes before
// the waiter re-enters its outer lock, so a signaller may hold that lock.
struct ZR_Cond;

ZR_Cond* ZR_condCreate();
// Must not be called while a thread waits on or signals the cond.
void ZR_condDestroy(ZR_Cond* cond);
// Wakes one waiter that has no wake-up yet and waits for its acknowledgement.
// 1 when a waiter was woken, 0 when nobody was left to wake (or cond is null).
int ZR_condSignal(ZR_Cond* cond);
// Wakes every waiter that has no wake-up yet and waits for all their
// acknowledgements. 1 when any waiter was woken, 0 when none (or cond is null).
int ZR_condBroadcast(ZR_Cond* cond);
// Leaves outerLock (when not null; it must be held exactly once), waits for a
// wake-up at most timeoutMs, then re-enters outerLock. 1 when woken, 0 on
// time-out or a null cond. A wake-up that arrives just as the time-out expires
// may be consumed by this waiter and still give 0, so callers re-check their
// condition after every return, as with any condition variable.
int ZR_condWait(ZR_Cond* cond, ZR_Lock* outerLock, int32_t timeoutMs);
