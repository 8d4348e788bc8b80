// sysfs back end: removable block devices (<root>/sys/block/*/removable is
// 1) whose disk or one of its partitions is mounted (<root>/proc/self/mounts).
// The vendor field is the disk's device/vendor attribute, the SCSI inquiry
// vendor as the kernel shows it (blank-padded; sysfs adds one line end, which
// is not part of the field).
//
// Eject: udisks2 over the system bus (Filesystem.Unmount on every mounted
// partition, then Drive.Eject), else umount2 and the eject ioctl on the device
// node (CDROMEJECT, then SCSI START STOP UNIT). Unmounting takes the root the
// trigger file goes into, so the request is held until the volume is closed.
#include "platform/removable_storage_backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

constexpr const char* kUdisksService = "org.freedesktop.UDisks2";
constexpr uint64_t kBusTimeoutUsec = 10'000'000;

struct LinuxVolume : RemovableVolume {
    std::string disk;                      // "sdb"
    std::string node;                      // "/dev/sdb"
    std::vector<std::string> partitions;   // mounted block names of the disk at open
    std::vector<std::string> mountPoints;  // their mount points, same order
    bool live;                             // the tree is the running system
    bool ejectHeld = false;
};

RemovableVolume* linuxOpen(const RemovableDrive* drive);
int linuxEject(RemovableVolume* volume);
void linuxClose(RemovableVolume* volume);

const RemovableStorageOps kLinuxOps = {"sysfs", linuxOpen, linuxEject, linuxClose};

bool readFile(const std::string& path, std::string* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string joinRoot(const std::string& rootDir, const std::string& absolute)
{
    if (rootDir.empty() || rootDir == "/") return absolute;
    std::string base = rootDir;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + absolute;
}

std::string parentOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

bool isLive(const std::string& rootDir) { return rootDir == "/"; }

// Fields of the mount table escape blank, tab, line end and backslash as
// three octal digits (\040).
std::string decodeMountField(const std::string& field)
{
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
            octal(field[i + 3])) {
            out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

struct MountEntry {
    std::string device;
    std::string mountPoint;
};

std::vector<MountEntry> parseMounts(const std::string& table)
{
    std::vector<MountEntry> mounts;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint;
        if (!(fields >> device >> mountPoint)) continue;
        mounts.push_back({decodeMountField(device), decodeMountField(mountPoint)});
    }
    return mounts;
}

// The block name a mount table device refers to ("/dev/sdb1" → "sdb1"); on
// the running system a link such as /dev/disk/by-label/X is followed first.
std::string blockNameOf(const std::string& device, bool live)
{
    if (device.compare(0, 5, "/dev/") != 0) return {};
    std::string resolved = device;
    if (live) {
        char buffer[PATH_MAX];
        if (realpath(device.c_str(), buffer)) resolved = buffer;
    }
    return resolved.substr(resolved.rfind('/') + 1);
}

// First mount point of a block name, empty when it is not mounted.
std::string mountPointOf(const std::vector<MountEntry>& mounts, const std::string& block, bool live)
{
    for (const MountEntry& m : mounts) {
        if (blockNameOf(m.device, live) == block) return m.mountPoint;
    }
    return {};
}

std::vector<std::string> listDir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool isRemovable(const std::string& blockDir)
{
    std::string flag;
    return readFile(blockDir + "/removable", &flag) && flag.compare(0, 1, "1") == 0;
}

// The disk itself and its partitions (sub-folders named after the disk that
// carry a partition attribute).
std::vector<std::string> blocksOfDisk(const std::string& blockDir, const std::string& disk)
{
    std::vector<std::string> blocks{disk};
    struct stat st;
    for (const std::string& name : listDir(blockDir)) {
        if (name.size() > disk.size() && name.compare(0, disk.size(), disk) == 0 &&
            stat((blockDir + "/" + name + "/partition").c_str(), &st) == 0)
            blocks.push_back(name);
    }
    return blocks;
}

void sysfsList(const RemovableStorage* storage, std::vector<RemovableDrive>* out)
{
    const bool live = isLive(storage->dir);
    const std::string sysBlock = joinRoot(storage->dir, "/sys/block");
    std::string table;
    readFile(joinRoot(storage->dir, "/proc/self/mounts"), &table);
    const std::vector<MountEntry> mounts = parseMounts(table);

    for (const std::string& disk : listDir(sysBlock)) {
        const std::string blockDir = sysBlock + "/" + disk;
        if (!isRemovable(blockDir)) continue;
        std::string vendor;
        bool hasVendor = readFile(blockDir + "/device/vendor", &vendor);
        if (hasVendor && !vendor.empty() && vendor.back() == '\n') vendor.pop_back();
        for (const std::string& block : blocksOfDisk(blockDir, disk)) {
            std::string mountPoint = mountPointOf(mounts, block, live);
            if (mountPoint.empty()) continue;
            RemovableDrive drive;
            drive.name = block;
            drive.root = joinRoot(storage->dir, mountPoint);
            while (drive.root.size() > 1 && drive.root.back() == '/') drive.root.pop_back();
            if (hasVendor)
                RemovableDrive_setVendorField(&drive, reinterpret_cast<const uint8_t*>(vendor.data()), vendor.size());
            drive.node = joinRoot(storage->dir, "/dev/" + disk);
            drive.ops = &kLinuxOps;
            out->push_back(std::move(drive));
        }
    }
}

// ---- udisks2 ----------------------------------------------------------------

// udisks names its block objects after the kernel name with every byte
// outside [A-Za-z0-9] written as _xx.
std::string udisksBlockPath(const std::string& block)
{
    std::string path = "/org/freedesktop/UDisks2/block_devices/";
    static const char hex[] = "0123456789abcdef";
    for (unsigned char c : block) {
        if (std::isalnum(c)) {
            path += char(c);
        } else {
            path += '_';
            path += hex[c >> 4];
            path += hex[c & 15];
        }
    }
    return path;
}

// Calls a method that takes one empty a{sv} of options. Returns 1 on
// success, 0 on a failure of the call, -1 when udisks is not there.
int callWithNoOptions(sd_bus* bus, const std::string& object, const char* interface, const char* method)
{
    sd_bus_message* message = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = 0;
    if (sd_bus_message_new_method_call(bus, &message, kUdisksService, object.c_str(), interface, method) >= 0 &&
        sd_bus_message_append(message, "a{sv}", 0) >= 0) {
        if (sd_bus_call(bus, message, kBusTimeoutUsec, &error, &reply) >= 0) {
            result = 1;
        } else if (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                   sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
            result = -1;
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(message);
    return result;
}

bool udisksEject(const LinuxVolume* v)
{
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;
    bool ok = true;
    for (const std::string& block : v->partitions) {
        // A partition that will not unmount still lets the eject be tried:
        // udisks refuses it then if it must.
        if (callWithNoOptions(bus, udisksBlockPath(block), "org.freedesktop.UDisks2.Filesystem", "Unmount") < 0) {
            ok = false;
            break;
        }
    }
    std::string drivePath;
    if (ok) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const char* path = nullptr;
        if (sd_bus_get_property(bus, kUdisksService, udisksBlockPath(v->disk).c_str(), "org.freedesktop.UDisks2.Block",
                                "Drive", &error, &reply, "o") >= 0 &&
            sd_bus_message_read(reply, "o", &path) >= 0 && path)
            drivePath = path;
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }
    ok = ok && !drivePath.empty() && drivePath != "/" &&
         callWithNoOptions(bus, drivePath, "org.freedesktop.UDisks2.Drive", "Eject") == 1;
    sd_bus_flush_close_unref(bus);
    return ok;
}

// ---- without udisks ---------------------------------------------------------

bool scsiCommand(int fd, const uint8_t (&cdb)[6])
{
    sg_io_hdr_t io{};
    uint8_t sense[32];
    io.interface_id = 'S';
    io.cmd_len = sizeof cdb;
    io.cmdp = const_cast<uint8_t*>(cdb);
    io.dxfer_direction = SG_DXFER_NONE;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = 10000;
    return ioctl(fd, SG_IO, &io) == 0 && (io.info & SG_INFO_OK_MASK) == SG_INFO_OK;
}

bool ioctlEject(const LinuxVolume* v)
{
    for (const std::string& mountPoint : v->mountPoints) umount2(mountPoint.c_str(), 0);
    int fd = open(v->node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ioctl(fd, CDROMEJECT) == 0;
    if (!ok) {
        static const uint8_t allowRemoval[6] = {0x1E, 0, 0, 0, 0, 0};
        static const uint8_t startUnit[6] = {0x1B, 0, 0, 0, 0x01, 0};
        static const uint8_t ejectUnit[6] = {0x1B, 0, 0, 0, 0x02, 0};
        ok = scsiCommand(fd, allowRemoval) && scsiCommand(fd, startUnit) && scsiCommand(fd, ejectUnit);
    }
    close(fd);
    return ok;
}

// ---- volume operations ------------------------------------------------------

RemovableVolume* linuxOpen(const RemovableDrive* drive)
{
    const std::string& node = drive->node;
    std::string disk = node.substr(node.rfind('/') + 1);
    std::string treeRoot = parentOf(parentOf(node));  // <root>/dev/sdb → <root>
    auto* v = new LinuxVolume{{&kLinuxOps}, disk, node, {}, {}, isLive(treeRoot)};
    // Every mounted partition of the disk goes before the disk is ejected,
    // not only the one that was probed.
    RemovableStorage tree{sysfsList, treeRoot};
    std::vector<RemovableDrive> drives;
    sysfsList(&tree, &drives);
    for (const RemovableDrive& d : drives) {
        if (d.node != node) continue;
        v->partitions.push_back(d.name);
        v->mountPoints.push_back(d.root);
    }
    if (v->partitions.empty()) {
        delete v;
        return nullptr;
    }
    return v;
}

int linuxEject(RemovableVolume* volume)
{
    auto* v = static_cast<LinuxVolume*>(volume);
    // A fake tree has nothing to eject.
    if (!v->live) return 0;
    v->ejectHeld = true;
    return 1;
}

void linuxClose(RemovableVolume* volume)
{
    auto* v = static_cast<LinuxVolume*>(volume);
    if (v->ejectHeld) {
        sync();
        if (!udisksEject(v)) ioctlEject(v);
    }
    delete v;
}

} // namespace

RemovableStorage* RemovableStorage_openSysfs(const char* rootDir)
{
    return new RemovableStorage{sysfsList, rootDir && *rootDir ? rootDir : "/"};
}
