// Ctrl-C (SIGINT) and SIGTERM during an update. The handler only counts the
// signal; the update's loop takes the count and decides with InterruptRule:
// before the device is written the run stops at once, during the write the
// first signal only warns (stopping leaves the device without data) and a
// second one soon after cancels the transfer.
#pragma once

// What one signal means.
enum class InterruptAction {
    stop,    // nothing is being written: end the run now
    warn,    // a write runs: say what stopping costs and go on
    cancel,  // a second signal within the grace time: cancel the transfer
};

struct InterruptRule {
    static constexpr double kGraceSeconds = 5.0;
    // The time (seconds on any steady clock) of the warning a next signal
    // would confirm; negative: none.
    double warnedAt = -1.0;

    // The action for a signal seen at now; writing: the device is being
    // written. A warning older than the grace time counts as none, so a late
    // second signal warns again rather than cancelling.
    InterruptAction onSignal(bool writing, double now);
};

// Installs the handlers for the life of the record (no SA_RESTART: a read
// waiting on the terminal ends with the signal) and puts the previous ones
// back when it goes. One at a time.
class CliInterrupts {
public:
    CliInterrupts();
    ~CliInterrupts();
    CliInterrupts(const CliInterrupts&) = delete;
    CliInterrupts& operator=(const CliInterrupts&) = delete;

    // Signals that arrived since the last call; *signal gets the latest one's
    // number when there was any.
    int take(int* signal);
};

// True once any signal arrived while handlers are installed: loops that wait
// on their own (the wait for a device) end on it.
bool Cli_interruptPending();

// The exit status of a run ended by signal: 128 + its number, as a shell
// reports a process the signal ended.
inline int Cli_interruptExitStatus(int signal) { return 128 + signal; }
