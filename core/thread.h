// Threads that can be asked to stop. The routine receives its own ZR_Thread so
// that it can wait on the thread's stop semaphore between steps of its work.
#pragma once

#include <cstdint>

#include "core/runtime.h"

struct ZR_Thread;

// Runs on the new thread. What it returns is the thread's end; a routine that
// should end early polls or waits on ZR_threadStopSemaphore(thread).
typedef void (*ZR_ThreadRoutine)(ZR_Thread* thread, void* arg);

// How long ZR_threadStop with the wait flag waits for the routine to return.
inline constexpr uint32_t ZR_THREAD_STOP_WAIT_MS = 5000;

// Starts a thread running routine(thread, arg). The thread is running when
// this returns. Null when routine is null or the thread or its stop semaphore
// cannot be made; nothing is left behind then.
ZR_Thread* ZR_threadStart(ZR_ThreadRoutine routine, void* arg);

// Signalled once when the thread is asked to stop. Valid for the routine until
// it returns (even after ZR_threadStop has released the caller's hold on the
// record); valid for other threads until they call ZR_threadStop.
ZR_Semaphore* ZR_threadStopSemaphore(ZR_Thread* thread);

// Signals the stop semaphore and, when wait is non-zero, waits up to
// ZR_THREAD_STOP_WAIT_MS for the routine to return. A thread that has not
// returned by then is left running on its own: POSIX has no safe way to end it.
// The record is the caller's no more once this returns; the routine's own use
// of it stays valid until the routine returns. Accepts null. May be called by
// the thread itself (it then never waits).
void ZR_threadStop(ZR_Thread* thread, int wait);

// ZR_threadStop with an explicit bound: waits up to waitMs (0: not at all).
// 1 when the routine had returned and the thread has been joined, 0 when it
// was left running (or thread is null).
int ZR_threadStopWithin(ZR_Thread* thread, uint32_t waitMs);
