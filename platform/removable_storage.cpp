// The process-wide list of removable drives and the dispatch of volume
// operations to the back end that listed a drive.
#include "platform/removable_storage_backend.h"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>
#include <cstring>
#include <mutex>

namespace {

// Guards the registry and the system root; held while listing so an instance
// cannot be released under a running listAll.
std::mutex g_lock;

std::vector<RemovableStorage*>& registered()
{
    // Never destroyed, like the back ends it lists (see sim_folder.cpp).
    static auto* list = new std::vector<RemovableStorage*>;
    return *list;
}

std::string& systemRoot()
{
    static std::string root = "/";
    return root;
}

} // namespace

void RemovableStorage_sortForProbing(std::vector<RemovableDrive>::iterator first,
                                     std::vector<RemovableDrive>::iterator last)
{
    std::stable_sort(first, last, [](const RemovableDrive& a, const RemovableDrive& b) { return a.name > b.name; });
}

void RemovableDrive_setVendorField(RemovableDrive* drive, const uint8_t* field, size_t length)
{
    drive->descriptor.fill(0);
    length = std::min(length, kStorageVendorMax);
    if (length) std::memcpy(drive->descriptor.data() + kStorageVendorOffset, field, length);
    drive->vendorOffset = kStorageVendorOffset;
}

RemovableVolume* RemovableVolume_open(const RemovableDrive* drive)
{
    if (!drive || !drive->ops || !drive->ops->open) return nullptr;
    return drive->ops->open(drive);
}

int RemovableVolume_eject(RemovableVolume* volume)
{
    if (!volume || !volume->ops->eject) return 0;
    return volume->ops->eject(volume);
}

void RemovableVolume_close(RemovableVolume* volume)
{
    if (volume) volume->ops->close(volume);
}

void RemovableStorage_release(RemovableStorage* storage) { delete storage; }

void RemovableStorage_list(RemovableStorage* storage, std::vector<RemovableDrive>* out)
{
    if (!storage || !out) return;
    size_t first = out->size();
    storage->list(storage, out);
    RemovableStorage_sortForProbing(out->begin() + std::ptrdiff_t(first), out->end());
}

void RemovableStorage_register(RemovableStorage* storage)
{
    if (!storage) return;
    std::lock_guard<std::mutex> lock(g_lock);
    auto& list = registered();
    if (std::find(list.begin(), list.end(), storage) == list.end()) list.push_back(storage);
}

void RemovableStorage_unregister(RemovableStorage* storage)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto& list = registered();
    list.erase(std::remove(list.begin(), list.end(), storage), list.end());
}

void RemovableStorage_setSystemRoot(const char* rootDir)
{
    std::lock_guard<std::mutex> lock(g_lock);
    systemRoot() = rootDir ? rootDir : "";
}

std::vector<RemovableDrive> RemovableStorage_listAll()
{
    std::vector<RemovableDrive> drives;
    std::lock_guard<std::mutex> lock(g_lock);
    const auto& list = registered();
    for (auto it = list.rbegin(); it != list.rend(); ++it) RemovableStorage_list(*it, &drives);
    if (!systemRoot().empty()) {
        RemovableStorage* system = RemovableStorage_openSysfs(systemRoot().c_str());
        RemovableStorage_list(system, &drives);
        RemovableStorage_release(system);
    }
    return drives;
}

bool RemovableStorage_syncFile(const char* path)
{
    if (!path) return false;
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}
