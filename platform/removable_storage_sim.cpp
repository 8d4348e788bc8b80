// Simulation-folder back end: every trusted disk#<id> folder with a root/
// folder is a mounted removable drive. The vendor file holds the raw vendor
// field; the eject request is the empty file eject, written at once (the
// simulated device waits for both the request and the trigger file).
#include "platform/removable_storage_backend.h"
#include "platform/sim_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

struct SimVolume : RemovableVolume {
    std::string diskDir;
};

RemovableVolume* simOpen(const RemovableDrive* drive);
int simEject(RemovableVolume* volume);
void simClose(RemovableVolume* volume);

const RemovableStorageOps kSimOps = {"simfolder", simOpen, simEject, simClose};

// Reads the vendor file without following a link planted in its place;
// false when there is none.
bool readVendorField(const std::string& path, RemovableDrive* drive)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        return false;
    }
    uint8_t field[kStorageVendorMax];
    size_t length = 0;
    while (length < sizeof field) {
        ssize_t n = read(fd, field + length, sizeof field - length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        length += size_t(n);
    }
    close(fd);
    RemovableDrive_setVendorField(drive, field, length);
    return true;
}

void simList(const RemovableStorage* storage, std::vector<RemovableDrive>* out)
{
    for (const SimFolderEntry& e : SimFolder_scan(storage->dir)) {
        if (e.kind != SIM_ENTRY_DISK) continue;
        RemovableDrive drive;
        drive.name = e.name;
        drive.root = SimFolder_entryPath(e.path, kSimRootFolder);
        // Until root/ is there the device has not finished appearing: no
        // drive letter yet, in Windows terms.
        if (!SimFolder_isTrustedEntry(drive.root, SIM_ENTRY_DISK)) continue;
        readVendorField(SimFolder_entryPath(e.path, kSimVendorFile), &drive);
        drive.node = e.path;
        drive.ops = &kSimOps;
        out->push_back(std::move(drive));
    }
}

RemovableVolume* simOpen(const RemovableDrive* drive)
{
    if (!SimFolder_isTrustedEntry(drive->node, SIM_ENTRY_DISK)) return nullptr;
    return new SimVolume{{&kSimOps}, drive->node};
}

int simEject(RemovableVolume* volume)
{
    auto* v = static_cast<SimVolume*>(volume);
    std::string path = SimFolder_entryPath(v->diskDir, kSimEjectFile);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return 0;
    close(fd);
    return 1;
}

void simClose(RemovableVolume* volume) { delete static_cast<SimVolume*>(volume); }

} // namespace

RemovableStorage* RemovableStorage_openSimFolder(const char* dir)
{
    return new RemovableStorage{simList, dir ? dir : ""};
}
