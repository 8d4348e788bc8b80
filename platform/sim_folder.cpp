#include "platform/sim_folder.h"

#include "platform/device_events.h"
#include "platform/hid_transport.h"
#include "platform/removable_storage.h"

#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr const char* kSocketPrefix = "hid#";
constexpr const char* kSocketSuffix = ".sock";
constexpr const char* kDiskPrefix = "disk#";

std::string dropTrailingSlashes(std::string dir)
{
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

bool validId(const std::string& id)
{
    return !id.empty() && id.find('/') == std::string::npos && id.find('#') == std::string::npos &&
           id != "." && id != "..";
}

// Four lower-case hex digits: the form HidTransport_idToken writes, so the
// path test of discovery finds the token in the socket path as it is.
bool parseHex4(const char* text, uint16_t* value)
{
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f') digit = unsigned(c - 'a' + 10);
        else return false;
        v = v * 16 + digit;
    }
    *value = uint16_t(v);
    return true;
}

const char* envValue(const char* name)
{
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

struct Registered {
    std::string dir;
    RemovableStorage* storage;
};

std::mutex g_registryLock;
std::vector<Registered>& registry()
{
    // Never destroyed: back ends stay registered for the life of the process,
    // and threads may still look them up while it exits.
    static auto* list = new std::vector<Registered>;
    return *list;
}

} // namespace

std::string SimFolder_defaultPath()
{
    if (const char* dir = envValue("TESSALY_SIM_DIR")) return dropTrailingSlashes(dir);
    if (const char* runtime = envValue("XDG_RUNTIME_DIR")) return dropTrailingSlashes(runtime) + "/tessaly-sim";
    return "/tmp/tessaly-sim-" + std::to_string(unsigned(geteuid()));
}

bool SimFolder_isUsable(const std::string& dir)
{
    struct stat st;
    if (dir.empty() || lstat(dir.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool SimFolder_prepare(const std::string& dir, std::string* error)
{
    if (dir.empty()) {
        if (error) *error = "no simulation folder given";
        return false;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (!SimFolder_isUsable(dir)) {
        if (error) *error = dir + " is not a private folder of this user (a symlink, someone else's, or writable by others)";
        return false;
    }
    return true;
}

std::string SimFolder_socketName(uint16_t vendorId, uint16_t productId, const std::string& id)
{
    return kSocketPrefix + HidTransport_idToken(vendorId, productId) + "#" + id + kSocketSuffix;
}

std::string SimFolder_diskName(const std::string& id) { return kDiskPrefix + id; }

bool SimFolder_parseSocketName(const std::string& name, uint16_t* vendorId, uint16_t* productId, std::string* id)
{
    // hid#vid_xxxx&pid_xxxx#<id>.sock
    const size_t prefix = std::strlen(kSocketPrefix), suffix = std::strlen(kSocketSuffix);
    const size_t tokenLength = 17;  // vid_xxxx&pid_xxxx
    if (name.size() < prefix + tokenLength + 1 + 1 + suffix) return false;
    if (name.compare(0, prefix, kSocketPrefix) != 0) return false;
    if (name.compare(name.size() - suffix, suffix, kSocketSuffix) != 0) return false;
    const char* token = name.c_str() + prefix;
    if (std::strncmp(token, "vid_", 4) != 0 || std::strncmp(token + 8, "&pid_", 5) != 0 || token[17] != '#')
        return false;
    uint16_t vid, pid;
    if (!parseHex4(token + 4, &vid) || !parseHex4(token + 13, &pid)) return false;
    std::string ident = name.substr(prefix + tokenLength + 1, name.size() - prefix - tokenLength - 1 - suffix);
    if (!validId(ident)) return false;
    if (vendorId) *vendorId = vid;
    if (productId) *productId = pid;
    if (id) *id = std::move(ident);
    return true;
}

bool SimFolder_parseDiskName(const std::string& name, std::string* id)
{
    const size_t prefix = std::strlen(kDiskPrefix);
    if (name.compare(0, prefix, kDiskPrefix) != 0) return false;
    std::string ident = name.substr(prefix);
    if (!validId(ident)) return false;
    if (id) *id = std::move(ident);
    return true;
}

std::string SimFolder_entryPath(const std::string& dir, const std::string& name)
{
    std::string base = dropTrailingSlashes(dir);
    if (base != "/") base += '/';
    return base + name;
}

bool SimFolder_isTrustedEntry(const std::string& path, SimEntryKind kind)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || st.st_uid != geteuid()) return false;
    return kind == SIM_ENTRY_SOCKET ? S_ISSOCK(st.st_mode) : S_ISDIR(st.st_mode);
}

std::vector<SimFolderEntry> SimFolder_scan(const std::string& dir)
{
    std::vector<SimFolderEntry> entries;
    if (!SimFolder_isUsable(dir)) return entries;
    DIR* d = opendir(dir.c_str());
    if (!d) return entries;
    while (dirent* e = readdir(d)) {
        SimFolderEntry entry;
        entry.name = e->d_name;
        if (SimFolder_parseSocketName(entry.name, &entry.vendorId, &entry.productId, &entry.id)) {
            entry.kind = SIM_ENTRY_SOCKET;
        } else if (SimFolder_parseDiskName(entry.name, &entry.id)) {
            entry.kind = SIM_ENTRY_DISK;
        } else {
            continue;
        }
        entry.path = SimFolder_entryPath(dir, entry.name);
        if (SimFolder_isTrustedEntry(entry.path, entry.kind)) entries.push_back(std::move(entry));
    }
    closedir(d);
    std::sort(entries.begin(), entries.end(),
              [](const SimFolderEntry& a, const SimFolderEntry& b) { return a.name < b.name; });
    return entries;
}

bool SimFolder_isRegisteredSocketPath(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    if (!SimFolder_parseSocketName(path.substr(slash + 1), nullptr, nullptr, nullptr)) return false;
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    std::lock_guard<std::mutex> lock(g_registryLock);
    for (const Registered& r : registry()) {
        if (r.dir == dir) return true;
    }
    return false;
}

std::vector<std::string> SimFolder_registeredFolders()
{
    std::lock_guard<std::mutex> lock(g_registryLock);
    std::vector<std::string> dirs;
    for (const Registered& r : registry()) dirs.push_back(r.dir);
    return dirs;
}

bool SimFolder_registerBackends(const std::string& dir)
{
    if (!SimFolder_isUsable(dir)) return false;
    std::string key = dropTrailingSlashes(dir);
    std::lock_guard<std::mutex> lock(g_registryLock);
    auto& list = registry();
    for (const Registered& r : list) {
        if (r.dir == key) return true;
    }
    RemovableStorage* storage = RemovableStorage_openSimFolder(key.c_str());
    list.push_back({key, storage});
    RemovableStorage_register(storage);
    HidTransport_registerBackend(HidTransport_socketBackend());
    return true;
}

DeviceEventSource* SimFolder_attach(const std::string& dir)
{
    if (!SimFolder_isUsable(dir)) return nullptr;
    DeviceEventSource* events = DeviceEvents_openSimFolder(dir.c_str());
    if (!events) return nullptr;
    if (!SimFolder_registerBackends(dir)) {
        DeviceEvents_close(events);
        return nullptr;
    }
    return events;
}

void SimFolder_unregisterBackends(const std::string& dir)
{
    std::string key = dropTrailingSlashes(dir);
    std::lock_guard<std::mutex> lock(g_registryLock);
    auto& list = registry();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->dir != key) continue;
        RemovableStorage_unregister(it->storage);
        RemovableStorage_release(it->storage);
        list.erase(it);
        break;
    }
    if (list.empty()) HidTransport_unregisterBackend(HidTransport_socketBackend());
}
