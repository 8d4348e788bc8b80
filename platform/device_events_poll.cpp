// Polling back end, for systems where no monitor can be made: rescans every
// interval (a timerfd, so the source waits like the others) and reports the
// differences between two snapshots.
#include "platform/device_events_backend.h"
#include "platform/hid_transport.h"
#include "platform/removable_storage.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <set>

namespace {

using PathSet = std::set<std::string>;

struct PollSource : DeviceEventSource {
    int timerFd = -1;
    DeviceScanFn scan = nullptr;
    void* user = nullptr;
    PathSet hid;
    PathSet volumes;
};

// Removals first: a device that switched personality leaves before it comes
// back, as it does on the bus.
void diff(const PathSet& before, const PathSet& after, DeviceInterfaceClass cls, std::vector<DeviceEvent>* gone,
          std::vector<DeviceEvent>* came)
{
    for (const std::string& p : before)
        if (!after.count(p)) gone->push_back(DeviceEvent_make(DEVICE_REMOVE_COMPLETE, cls, p));
    for (const std::string& p : after)
        if (!before.count(p)) came->push_back(DeviceEvent_make(DEVICE_ARRIVAL, cls, p));
}

void takeSnapshot(PollSource* s, PathSet* hid, PathSet* volumes)
{
    DeviceSnapshot snapshot;
    s->scan(s->user, &snapshot);
    hid->insert(snapshot.hidPaths.begin(), snapshot.hidPaths.end());
    volumes->insert(snapshot.volumePaths.begin(), snapshot.volumePaths.end());
}

int pollRead(DeviceEventSource* source, std::vector<DeviceEvent>* out)
{
    auto* s = static_cast<PollSource*>(source);
    uint64_t expirations = 0;
    if (read(s->timerFd, &expirations, sizeof expirations) != ssize_t(sizeof expirations)) return 0;
    PathSet hid, volumes;
    takeSnapshot(s, &hid, &volumes);
    std::vector<DeviceEvent> gone, came;
    diff(s->hid, hid, DEVICE_CLASS_HID, &gone, &came);
    diff(s->volumes, volumes, DEVICE_CLASS_VOLUME, &gone, &came);
    s->hid = std::move(hid);
    s->volumes = std::move(volumes);
    out->insert(out->end(), gone.begin(), gone.end());
    out->insert(out->end(), came.begin(), came.end());
    return int(gone.size() + came.size());
}

void pollClose(DeviceEventSource* source)
{
    auto* s = static_cast<PollSource*>(source);
    if (s->timerFd >= 0) close(s->timerFd);
    DeviceEvents_closeHead(s);
    delete s;
}

const DeviceEventSourceOps kPollOps = {"poll", pollRead, pollClose};

} // namespace

void DeviceEvents_systemScan(void*, DeviceSnapshot* out)
{
    std::vector<HidDeviceInfo> hid;
    HidTransport_hidapiBackend()->enumerate(&hid);
    for (const HidDeviceInfo& info : hid) out->hidPaths.push_back(info.path);
    RemovableStorage* storage = RemovableStorage_openSysfs("/");
    std::vector<RemovableDrive> drives;
    RemovableStorage_list(storage, &drives);
    RemovableStorage_release(storage);
    for (const RemovableDrive& d : drives) out->volumePaths.push_back(d.root);
}

DeviceEventSource* DeviceEvents_openPolling(int intervalMs, DeviceScanFn scan, void* user)
{
    auto* s = new PollSource;
    s->scan = scan ? scan : DeviceEvents_systemScan;
    s->user = user;
    if (!DeviceEvents_initHead(s, &kPollOps)) {
        delete s;
        return nullptr;
    }
    intervalMs = std::max(intervalMs, 10);
    s->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    itimerspec period{};
    period.it_interval.tv_sec = intervalMs / 1000;
    period.it_interval.tv_nsec = long(intervalMs % 1000) * 1000000L;
    period.it_value = period.it_interval;
    if (s->timerFd < 0 || timerfd_settime(s->timerFd, 0, &period, nullptr) != 0 ||
        !DeviceEvents_watchFd(s, s->timerFd, EPOLLIN)) {
        pollClose(s);
        return nullptr;
    }
    takeSnapshot(s, &s->hid, &s->volumes);
    return s;
}
