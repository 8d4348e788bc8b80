// What a device event back end provides behind the opaque source of
// device_events.h. Only the back end files include this.
#pragma once

#include "platform/device_events.h"

struct DeviceEventSourceOps {
    const char* name;  // back end name, for diagnostics
    // Appends the events that are waiting without blocking, and drains the
    // back end's descriptor so it is not readable again for the same cause.
    // Returns the number appended, -1 when the source failed.
    int (*read)(DeviceEventSource* source, std::vector<DeviceEvent>* out);
    // Frees the back end's record and closes its descriptors.
    void (*close)(DeviceEventSource* source);
};

// The common head of every back end's record. pollFd watches the back end's
// descriptors and wakeFd, so readiness of any shows on one descriptor.
struct DeviceEventSource {
    const DeviceEventSourceOps* ops = nullptr;
    int pollFd = -1;  // epoll set: the back end's descriptors and wakeFd
    int wakeFd = -1;  // eventfd written by DeviceEvents_wake
};

// Sets up the head's descriptors. False when they cannot be made; the head
// is then left closed.
bool DeviceEvents_initHead(DeviceEventSource* head, const DeviceEventSourceOps* ops);

// Adds one of the back end's descriptors to the head's set, watched for
// `events` (EPOLLIN; EPOLLPRI for a mount table). False on failure.
bool DeviceEvents_watchFd(DeviceEventSource* head, int fd, uint32_t events);

// Closes the head's descriptors (back ends call it from their close).
void DeviceEvents_closeHead(DeviceEventSource* head);
