// The delayed-call service: one per process, a timer thread that hands each
// call to a worker pool when it falls due. Calls run in due-time order, calls
// with the same due time in the order they were scheduled, each on a pool
// worker thread (never on the thread that scheduled it).
#pragma once

#include <cstdint>

// One scheduled call. Callers only compare it with null: the service frees it
// once the call has run, possibly before ZR_timerSchedule has even returned.
struct ZR_Timer;

typedef void (*ZR_TimerFn)(void* arg);

// Longest delay ZR_timerSchedule accepts (about 12 days). Due times are
// compared by their signed difference, which keeps the order right across the
// tick's wrap as long as all pending calls lie within half the tick's range;
// a quarter leaves room for calls that are running late.
inline constexpr uint32_t ZR_TIMER_MAX_DELAY_MS = 0x3FFFFFFF;

// Starts the service. 1 when it was started now, 0 when it was already
// running, -1 when it could not be started or a stop is in progress.
int ZR_timerServiceStart();

// Calls callback(arg) on a pool worker once delayMs have passed on
// ZR_tickCount(), starting the service when it is not running. Null when the
// callback is null, delayMs is 0 or above ZR_TIMER_MAX_DELAY_MS, memory runs
// out, or the service is stopping or cannot start. The call is lost (and an
// owned argument freed) when the pool refuses it at its due time or the service
// stops first.
ZR_Timer* ZR_timerSchedule(ZR_TimerFn callback, uint32_t delayMs, void* arg);

// As ZR_timerSchedule; when ownsArg is non-zero the service frees arg with
// free() after the call has run or when the call is dropped. When the result is
// null the argument stays the caller's.
ZR_Timer* ZR_timerScheduleEx(ZR_TimerFn callback, uint32_t delayMs, void* arg, int ownsArg);

// Stops the service: calls already due are run; the others are dropped
// without running. Returns when the timer thread has ended (it is let go after
// ZR_THREAD_STOP_WAIT_MS) and every handed-out call has finished, so no
// callback runs after this returns. Calls scheduled while the stop is under way
// are refused. Does nothing when the service is not running. Must not be called
// from a callback of the service (it would wait for itself).
void ZR_timerServiceStop();

// Test and benchmark seam: observer(context, arg) is called on the timer
// thread, in order, as each call is handed to the pool. Null removes it.
typedef void (*ZR_TimerDispatchObserver)(void* context, void* arg);
void ZR_timerSetDispatchObserver(ZR_TimerDispatchObserver observer, void* context);
