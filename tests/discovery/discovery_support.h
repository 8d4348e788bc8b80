// Shared pieces of the discovery tests: a recording main window (the hooks)
// and a HID back end whose enumeration order the test fixes.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common_k52/discovery.h"
#include "platform/removable_storage.h"
#include "platform/sim_folder.h"
#include "sim/sim_device.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace disc_test {

namespace fs = std::filesystem;

using test_support::readText;
using test_support::TempDir;
using test_support::waitUntil;

// A disk-mode device as the simulation folder shows it.
inline void makeDisk(const std::string& dir, const std::string& id, const std::string& vendor)
{
    fs::path disk = fs::path(dir) / SimFolder_diskName(id);
    fs::create_directories(disk / kSimRootFolder);
    std::ofstream(disk / kSimVendorFile, std::ios::binary) << vendor;
}

// The main window as discovery sees it: its record, the titles it was given,
// and for each connection refresh whether a port was there.
struct RecordingWindow {
    RecordingWindow()
    {
        machine = ZR_Machine_create(nullptr, nullptr, nullptr, nullptr);
        hooks.machine = machine;
        hooks.user = this;
        hooks.refreshConnection = [](void* user) {
            auto* w = static_cast<RecordingWindow*>(user);
            w->refreshedWithPort.push_back(w->connected());
            w->refreshes.fetch_add(1);
        };
        hooks.setTitle = [](void* user, const char* title) {
            static_cast<RecordingWindow*>(user)->titles.push_back(title);
        };
    }
    ~RecordingWindow() { ZR_Machine_release(machine); }

    bool connected() const { return machine->channel->port != nullptr; }
    static std::string connectingTitle() { return std::string(kDiscoveryAppTitle) + kDiscoveryConnectingText; }

    ZR_Machine* machine = nullptr;
    DiscoveryHooks hooks{};
    std::vector<std::string> titles;
    std::vector<bool> refreshedWithPort;
    std::atomic<int> refreshes{0};
};

// HID interfaces "fake:<name>#vid_xxxx&pid_xxxx" in the order they were
// added, each opening an in-process device; opens and closes are recorded.
class FakeHid {
public:
    FakeHid()
    {
        current() = this;
        HidTransport_registerBackend(&kBackend);
    }
    ~FakeHid()
    {
        HidTransport_unregisterBackend(&kBackend);
        current() = nullptr;
    }
    const std::string& add(const std::string& name, uint16_t vid, uint16_t pid, SimDevice* device)
    {
        entries.push_back({"fake:" + name + "#" + HidTransport_idToken(vid, pid), device});
        return entries.back().first;
    }

    std::vector<std::pair<std::string, SimDevice*>> entries;
    std::vector<std::string> opened;
    int closes = 0;

private:
    struct Handle : HidDevice {
        HidDevice* inner;
    };
    static FakeHid*& current()
    {
        static FakeHid* instance = nullptr;
        return instance;
    }
    static HidDevice* inner(HidDevice* d) { return static_cast<Handle*>(d)->inner; }
    static HidIoStatus write(HidDevice* d, const uint8_t* r, size_t n, int ms, HidCancel* c, size_t* taken)
    {
        return HidDevice_write(inner(d), r, n, ms, c, taken);
    }
    static HidIoStatus read(HidDevice* d, uint8_t* r, size_t n, int ms, HidCancel* c, size_t* got)
    {
        return HidDevice_read(inner(d), r, n, ms, c, got);
    }
    static void discard(HidDevice* d) { HidDevice_discardPending(inner(d)); }
    static void close(HidDevice* d)
    {
        HidDevice_close(inner(d));
        if (current()) ++current()->closes;
        delete static_cast<Handle*>(d);
    }
    static bool claims(const char* path) { return std::strncmp(path, "fake:", 5) == 0; }
    static HidDevice* open(const char* path)
    {
        for (auto& [p, device] : current()->entries) {
            if (p != path) continue;
            current()->opened.push_back(p);
            auto* handle = new Handle{};
            handle->ops = &kOps;
            handle->inner = SimDevice_openTransport(device);
            return handle;
        }
        return nullptr;
    }
    static void enumerate(std::vector<HidDeviceInfo>* out)
    {
        for (auto& e : current()->entries) out->push_back({e.first, 0, 0, "fake"});
    }
    static constexpr HidTransportOps kOps = {"fake", write, read, discard, close};
    static constexpr HidBackend kBackend = {"fake", claims, open, enumerate};
};

// Tests see only their own drives, never the live system's.
class NoSystemDrives : public ::testing::Test {
protected:
    void SetUp() override { RemovableStorage_setSystemRoot(""); }
    void TearDown() override { RemovableStorage_setSystemRoot("/"); }
};

} // namespace disc_test
