// Where the network layer's messages go: the main window's message queue in
// the program, a plain queue in tests. The messages and their two values are
// the window messages of the downloader (WM_DOWNLOAD_*).
#pragma once

#include <cstdint>

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Queues one message for the receiver's thread and returns without waiting
    // for it to be handled (a posted, not a sent, message). Called from any
    // thread, possibly from two at once; messages from one thread must reach
    // the receiver in the order they were posted.
    virtual void post(unsigned message, uintptr_t wParam, intptr_t lParam) = 0;
};
