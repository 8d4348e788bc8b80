#include "cli/interrupt.h"

#include <atomic>
#include <csignal>
#include <pthread.h>

namespace {

std::atomic<int> received{0};
std::atomic<int> lastSignal{0};
std::atomic<bool> pending{false};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free counters");

struct sigaction previousInt, previousTerm;
pthread_t handlingThread;

void onSignal(int signal)
{
    // A signal for the process may land on any thread; the one that installed
    // the handlers gets it too, so that a read it waits in (a question on the
    // terminal, the wait for a device) ends.
    if (!pthread_equal(pthread_self(), handlingThread)) {
        pthread_kill(handlingThread, signal);
        return;
    }
    lastSignal.store(signal, std::memory_order_relaxed);
    pending.store(true, std::memory_order_relaxed);
    received.fetch_add(1, std::memory_order_release);
}

} // namespace

InterruptAction InterruptRule::onSignal(bool writing, double now)
{
    if (!writing) return InterruptAction::stop;
    if (warnedAt >= 0 && now - warnedAt <= kGraceSeconds) return InterruptAction::cancel;
    warnedAt = now;
    return InterruptAction::warn;
}

CliInterrupts::CliInterrupts()
{
    received = 0;
    pending = false;
    handlingThread = pthread_self();
    struct sigaction action = {};
    action.sa_handler = ::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
}

CliInterrupts::~CliInterrupts()
{
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    pending = false;
}

int CliInterrupts::take(int* signal)
{
    int count = received.exchange(0, std::memory_order_acquire);
    if (count > 0 && signal) *signal = lastSignal.load(std::memory_order_relaxed);
    return count;
}

bool Cli_interruptPending() { return pending.load(std::memory_order_relaxed); }
