// A pool of worker threads over a FIFO job queue. It keeps at least
// ZR_POOL_MIN_WORKERS threads, grows to ZR_POOL_MAX_WORKERS while every worker
// is busy, and lets idle workers beyond the minimum end on their own.
//
// A submit starts a new worker only when no worker is idle, and a worker woken
// for a job counts as idle until it runs. Short jobs thus stay on a few
// threads, but jobs must not wait for one another: a burst of jobs that all
// block can leave later jobs queued until further submits grow the pool.
#pragma once

#include <cstdint>

struct ZR_Pool;

typedef void (*ZR_JobFn)(void* arg);

inline constexpr uint32_t ZR_POOL_MIN_WORKERS = 10;
inline constexpr uint32_t ZR_POOL_MAX_WORKERS = 500;
inline constexpr uint32_t ZR_POOL_MAX_WAITING = 5000;

// Results of ZR_poolSubmit.
inline constexpr int ZR_POOL_QUEUED = 0;
inline constexpr int ZR_POOL_FULL = -1;     // ZR_POOL_MAX_WAITING jobs are waiting
inline constexpr int ZR_POOL_NO_MEMORY = -2; // the job could not be made (also: null pool or function)

// A pool with ZR_POOL_MIN_WORKERS workers started, or null (nothing left behind).
ZR_Pool* ZR_poolCreate();

// Queues fn(arg); a free worker (or a new one) runs it. ZR_POOL_QUEUED, _FULL or
// _NO_MEMORY. Safe from any thread, including the pool's own jobs.
int ZR_poolSubmit(ZR_Pool* pool, ZR_JobFn fn, void* arg);

// As ZR_poolSubmit; after fn(arg) the worker calls completion(arg) when it is
// not null, then, when ownsArg is non-zero, frees arg with free() (so an owned
// argument comes from malloc, calloc or ZR_strDup). On any result other than
// ZR_POOL_QUEUED the argument stays the caller's.
int ZR_poolSubmitEx(ZR_Pool* pool, ZR_JobFn fn, void* arg, int ownsArg, ZR_JobFn completion);

// Stops the pool: the workers first run every job still queued, then end; this
// returns when the last has ended and frees the pool. Accepts null. Must not be
// called from one of the pool's jobs (it would wait for itself), and nobody may
// submit to the pool from outside its jobs once this has been called.
void ZR_poolDestroy(ZR_Pool* pool);

// A snapshot of the pool's counters, for tests and diagnostics. busy counts
// workers that are starting or running a job, idle those waiting for one.
struct ZR_PoolStats {
    uint32_t busy;
    uint32_t idle;
    uint32_t queued;
};

// 1 with *stats filled, 0 when pool or stats is null.
int ZR_poolStats(ZR_Pool* pool, ZR_PoolStats* stats);
