// The parts of device events every back end shares: the class table,
// waiting and waking, and the group of sources.
#include "platform/device_events_backend.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

const uint8_t kDeviceClassGuids[kDeviceClassCount][kDeviceClassGuidSize] = {
    // {A5DCBF10-6530-11D2-901F-00C04FB951ED} USB device
    {0x10, 0xBF, 0xDC, 0xA5, 0x30, 0x65, 0xD2, 0x11, 0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED},
    // {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B} volume
    {0x0D, 0x63, 0xF5, 0x53, 0xBF, 0xB6, 0xD0, 0x11, 0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B},
    // {53F56307-B6BF-11D0-94F2-00A0C91EFB8B} disk
    {0x07, 0x63, 0xF5, 0x53, 0xBF, 0xB6, 0xD0, 0x11, 0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B},
    // {4D1E55B2-F16F-11CF-88CB-001111000030} HID interface
    {0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11, 0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30},
    // {AD498944-762F-11D0-8DCB-00C04FC3358C} network adapter
    {0x44, 0x89, 0x49, 0xAD, 0x2F, 0x76, 0xD0, 0x11, 0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C},
};

namespace {

void drainWake(DeviceEventSource* source)
{
    uint64_t count;
    while (read(source->wakeFd, &count, sizeof count) == ssize_t(sizeof count)) {
    }
}

// ---- group ------------------------------------------------------------------

struct GroupSource : DeviceEventSource {
    std::vector<DeviceEventSource*> members;
    std::vector<bool> failed;
};

int groupRead(DeviceEventSource* source, std::vector<DeviceEvent>* out)
{
    auto* g = static_cast<GroupSource*>(source);
    int total = 0;
    size_t alive = 0;
    for (size_t i = 0; i < g->members.size(); ++i) {
        if (g->failed[i]) continue;
        int n = DeviceEvents_read(g->members[i], out);
        if (n < 0) {
            // A failed member would stay readable and spin the wait.
            epoll_ctl(g->pollFd, EPOLL_CTL_DEL, g->members[i]->pollFd, nullptr);
            g->failed[i] = true;
            continue;
        }
        ++alive;
        total += n;
    }
    return alive || g->members.empty() ? total : -1;
}

void groupClose(DeviceEventSource* source)
{
    auto* g = static_cast<GroupSource*>(source);
    for (DeviceEventSource* m : g->members) DeviceEvents_close(m);
    DeviceEvents_closeHead(g);
    delete g;
}

const DeviceEventSourceOps kGroupOps = {"group", groupRead, groupClose};

} // namespace

DeviceEvent DeviceEvent_make(DeviceEventKind kind, DeviceInterfaceClass cls, std::string path)
{
    DeviceEvent event;
    event.kind = kind;
    event.interfaceClass = cls >= 1 && cls <= kDeviceClassCount ? cls : DEVICE_CLASS_VOLUME;
    event.path = std::move(path);
    return event;
}

bool DeviceEvents_initHead(DeviceEventSource* head, const DeviceEventSourceOps* ops)
{
    head->ops = ops;
    head->pollFd = epoll_create1(EPOLL_CLOEXEC);
    head->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (head->pollFd < 0 || head->wakeFd < 0 || !DeviceEvents_watchFd(head, head->wakeFd, EPOLLIN)) {
        DeviceEvents_closeHead(head);
        return false;
    }
    return true;
}

bool DeviceEvents_watchFd(DeviceEventSource* head, int fd, uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    return fd >= 0 && epoll_ctl(head->pollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void DeviceEvents_closeHead(DeviceEventSource* head)
{
    if (head->pollFd >= 0) close(head->pollFd);
    if (head->wakeFd >= 0) close(head->wakeFd);
    head->pollFd = head->wakeFd = -1;
}

int DeviceEvents_fd(DeviceEventSource* source) { return source ? source->pollFd : -1; }

int DeviceEvents_read(DeviceEventSource* source, std::vector<DeviceEvent>* out)
{
    if (!source || !out) return -1;
    drainWake(source);
    return source->ops->read(source, out);
}

int DeviceEvents_wait(DeviceEventSource* source, int timeoutMs, std::vector<DeviceEvent>* out)
{
    if (!source || !out) return -1;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    int wait = timeoutMs;
    for (;;) {
        epoll_event ready[8];
        int n = epoll_wait(source->pollFd, ready, 8, wait);
        if (n < 0 && errno != EINTR) return -1;
        if (n == 0) return 0;
        bool woken = false;
        for (int i = 0; i < n; ++i) woken = woken || ready[i].data.fd == source->wakeFd;
        if (n > 0) {
            // A back end may be readable for something it filters out (an
            // event of another subsystem): keep waiting then.
            int count = DeviceEvents_read(source, out);
            if (count != 0 || woken) return count;
        }
        if (timeoutMs < 0) continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return 0;
        wait = int(left);
    }
}

void DeviceEvents_wake(DeviceEventSource* source)
{
    if (!source) return;
    uint64_t one = 1;
    ssize_t ignored = write(source->wakeFd, &one, sizeof one);
    (void)ignored;
}

void DeviceEvents_close(DeviceEventSource* source)
{
    if (source) source->ops->close(source);
}

DeviceEventSource* DeviceEvents_openGroup(std::vector<DeviceEventSource*> sources)
{
    auto* g = new GroupSource;
    bool ok = DeviceEvents_initHead(g, &kGroupOps);
    for (DeviceEventSource* s : sources) {
        if (!s) continue;
        g->members.push_back(s);
        g->failed.push_back(false);
        ok = ok && DeviceEvents_watchFd(g, s->pollFd, EPOLLIN);
    }
    if (!ok) {
        groupClose(g);
        return nullptr;
    }
    return g;
}
