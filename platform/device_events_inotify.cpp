// Simulation-folder back end: inotify on the folder. A device publishes an
// entry under its final name when it is ready (created, or renamed in), and
// takes it away by deleting or renaming it out.
//
// Only entries that were trusted when they arrived are reported as removed,
// so a removal never names something that was never announced.
#include "platform/device_events_backend.h"
#include "platform/sim_folder.h"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF |
                                IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

struct InotifySource : DeviceEventSource {
    int inotifyFd = -1;
    std::string dir;
    std::map<std::string, SimEntryKind> known;  // entry name → kind, of announced entries
};

DeviceInterfaceClass classOf(SimEntryKind kind)
{
    return kind == SIM_ENTRY_SOCKET ? DEVICE_CLASS_HID : DEVICE_CLASS_VOLUME;
}

bool kindOf(const std::string& name, SimEntryKind* kind)
{
    if (SimFolder_parseSocketName(name, nullptr, nullptr, nullptr)) *kind = SIM_ENTRY_SOCKET;
    else if (SimFolder_parseDiskName(name, nullptr)) *kind = SIM_ENTRY_DISK;
    else return false;
    return true;
}

void announce(InotifySource* s, const std::string& name, SimEntryKind kind, std::vector<DeviceEvent>* out)
{
    s->known[name] = kind;
    out->push_back(DeviceEvent_make(DEVICE_ARRIVAL, classOf(kind), SimFolder_entryPath(s->dir, name)));
}

void retract(InotifySource* s, const std::string& name, std::vector<DeviceEvent>* out)
{
    auto it = s->known.find(name);
    if (it == s->known.end()) return;
    out->push_back(DeviceEvent_make(DEVICE_REMOVE_COMPLETE, classOf(it->second), SimFolder_entryPath(s->dir, name)));
    s->known.erase(it);
}

void handle(InotifySource* s, const inotify_event* e, std::vector<DeviceEvent>* out)
{
    if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
        // The folder itself went: everything in it went with it.
        while (!s->known.empty()) retract(s, s->known.begin()->first, out);
        return;
    }
    if (e->len == 0) return;
    std::string name = e->name;
    SimEntryKind kind;
    if (!kindOf(name, &kind)) return;
    if (e->mask & (IN_DELETE | IN_MOVED_FROM)) {
        retract(s, name, out);
        return;
    }
    // Created, renamed in, or changed owner: trusted now or not.
    bool trusted = SimFolder_isTrustedEntry(SimFolder_entryPath(s->dir, name), kind);
    bool announced = s->known.count(name) != 0;
    if (trusted && !announced) announce(s, name, kind, out);
    else if (!trusted && announced) retract(s, name, out);
}

int inotifyRead(DeviceEventSource* source, std::vector<DeviceEvent>* out)
{
    auto* s = static_cast<InotifySource*>(source);
    int count = 0;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        ssize_t n = read(s->inotifyFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            size_t before = out->size();
            handle(s, e, out);
            count += int(out->size() - before);
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
    return count;
}

void inotifyClose(DeviceEventSource* source)
{
    auto* s = static_cast<InotifySource*>(source);
    if (s->inotifyFd >= 0) close(s->inotifyFd);
    DeviceEvents_closeHead(s);
    delete s;
}

const DeviceEventSourceOps kInotifyOps = {"inotify", inotifyRead, inotifyClose};

} // namespace

DeviceEventSource* DeviceEvents_openSimFolder(const char* dir)
{
    if (!dir || !SimFolder_isUsable(dir)) return nullptr;
    auto* s = new InotifySource;
    s->dir = dir;
    if (!DeviceEvents_initHead(s, &kInotifyOps)) {
        delete s;
        return nullptr;
    }
    s->inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (s->inotifyFd < 0 || inotify_add_watch(s->inotifyFd, dir, kWatchMask) < 0 ||
        !DeviceEvents_watchFd(s, s->inotifyFd, EPOLLIN)) {
        inotifyClose(s);
        return nullptr;
    }
    // Watch first, then take what is there as the baseline: an entry made in
    // between is both in the baseline and in an event, and is announced once.
    for (const SimFolderEntry& e : SimFolder_scan(dir)) s->known[e.name] = e.kind;
    return s;
}
