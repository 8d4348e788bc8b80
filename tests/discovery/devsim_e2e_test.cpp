// End to end with tessaly-devsim as its own process in a private simulation
// folder: the disk-mode device is switched and comes back in update mode,
// and a device that goes (cleanly or killed in the middle of a read) is let
// go and found again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <future>

#include "core/runtime.h"
#include "tests/discovery/discovery_support.h"

extern char** environ;

namespace {

using namespace disc_test;

// One tessaly-devsim process; its stderr goes to a log file shown on failure.
class Devsim {
public:
    // The log sits next to the simulation folder, out of its scan.
    Devsim(const std::string& dir, std::vector<std::string> args)
        : log_(fs::path(dir).parent_path() / ("devsim-" + std::to_string(++started_) + ".log"))
    {
        std::vector<std::string> argv = {TESSALY_DEVSIM, "--dir", dir};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (posix_spawn(&pid_, raw[0], &actions, nullptr, raw.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Devsim()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::remove(log_.c_str());
    }
    bool started() const { return pid_ > 0; }
    void signal(int sig) { kill(pid_, sig); }
    // The exit status once the process ended within timeoutMs, else -1.
    int waitExit(int timeoutMs)
    {
        int status = -1;
        bool ended = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs);
        if (!ended) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string log() const { return readText(log_); }

private:
    static inline int started_ = 0;
    pid_t pid_ = -1;
    std::string log_;
};

class DevsimEndToEnd : public NoSystemDrives {
protected:
    void SetUp() override
    {
        NoSystemDrives::SetUp();
        dir = (fs::path(temp.str()) / "sim").string();
        std::string error;
        ASSERT_TRUE(SimFolder_prepare(dir, &error)) << error;
        events = SimFolder_attach(dir);
        ASSERT_NE(events, nullptr);
    }
    void TearDown() override
    {
        DeviceEvents_close(events);
        SimFolder_unregisterBackends(dir);
        NoSystemDrives::TearDown();
    }

    // Hands every event to the window's handler until cond holds.
    bool pumpUntil(const std::function<bool()>& cond, int timeoutMs)
    {
        const uint32_t start = ZR_tickCount();
        for (;;) {
            if (cond()) return true;
            int32_t left = timeoutMs - int32_t(ZR_tickCount() - start);
            if (left <= 0) return false;
            std::vector<DeviceEvent> got;
            DeviceEvents_wait(events, std::min<int32_t>(left, 50), &got);
            for (const DeviceEvent& e : got) Discovery_handleEvent(&window.hooks, e);
        }
    }

    std::string socketPath(const std::string& id) const
    {
        return dir + "/" + SimFolder_socketName(kDiscoveryVendorId, kDiscoveryProductId, id);
    }

    TempDir temp;
    std::string dir;
    DeviceEventSource* events = nullptr;
    RecordingWindow window;
};

TEST_F(DevsimEndToEnd, DiskModeSwitchArrivalIdentify)
{
    Devsim sim(dir, {"--id", "a", "--mode", "disk"});
    ASSERT_TRUE(sim.started());

    // Volume arrival → switch (connecting title) → HID arrival → identified.
    ASSERT_TRUE(pumpUntil([&] { return window.refreshes.load() > 0; }, test_support::kPatienceMs)) << sim.log();
    EXPECT_EQ(window.titles, std::vector<std::string>{RecordingWindow::connectingTitle()});
    EXPECT_EQ(window.refreshedWithPort, std::vector<bool>{true});
    EXPECT_EQ(window.machine->bootVersion, 1046u);
    EXPECT_EQ(window.machine->flashSize, 8u << 20);
    EXPECT_EQ(window.machine->gpsDate.year, 2024);
    EXPECT_FALSE(fs::exists(fs::path(dir) / "disk#a"));
    EXPECT_NE(sim.log().find("BOOT"), std::string::npos) << sim.log();
}

TEST_F(DevsimEndToEnd, RemovalWhileIdleReleasesThePort)
{
    Devsim sim(dir, {"--id", "b", "--mode", "hid", "--preset", "502"});
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(pumpUntil([&] { return window.connected(); }, test_support::kPatienceMs)) << sim.log();
    EXPECT_EQ(window.machine->is502, 1);

    sim.signal(SIGTERM);
    ASSERT_TRUE(pumpUntil([&] { return !window.connected(); }, test_support::kPatienceMs)) << sim.log();
    EXPECT_EQ(window.refreshedWithPort.back(), false);
    EXPECT_EQ(sim.waitExit(3000), 0) << sim.log();
    EXPECT_FALSE(fs::exists(socketPath("b")));
}

TEST_F(DevsimEndToEnd, RemovalDuringAReadFailsItAndTheDeviceIsFoundAgain)
{
    // 300 µs a report: a 4 MiB read would take about 20 s.
    auto sim = std::make_unique<Devsim>(dir, std::vector<std::string>{"--id", "c", "--mode", "hid", "--latency-us",
                                                                      "300"});
    ASSERT_TRUE(sim->started());
    ASSERT_TRUE(pumpUntil([&] { return window.connected(); }, test_support::kPatienceMs)) << sim->log();

    std::atomic<uint32_t> received{0};
    HidcChannel* ch = window.machine->channel;
    HidcChannel saved = *ch;
    ch->progress = [](void* user, uint32_t phase, uint32_t, uint32_t done) {
        if (phase == 1) static_cast<std::atomic<uint32_t>*>(user)->store(done);
    };
    ch->progressUser = &received;
    // Only the device's end, not a time-out, can end the read long before this.
    ch->timeoutMs = test_support::kPatienceMs;
    std::vector<uint8_t> buffer(4u << 20);
    auto reading = std::async(std::launch::async, [&] {
        int ok = Hidc_readFlash(ch, 0, buffer.data(), uint32_t(buffer.size()), 0);
        return std::make_pair(ok, ZR_tickCount());
    });
    ASSERT_TRUE(waitUntil([&] { return received.load() >= 32 * 1024; })) << sim->log();

    const uint32_t killedAt = ZR_tickCount();
    sim->signal(SIGKILL);
    ASSERT_EQ(reading.wait_for(std::chrono::milliseconds(2 * test_support::kPatienceMs)), std::future_status::ready);
    auto [ok, endedAt] = reading.get();
    EXPECT_EQ(ok, 0);
    EXPECT_LT(int32_t(endedAt - killedAt), test_support::kPatienceMs / 2) << "the read waited for its time-out";
    EXPECT_EQ(sim->waitExit(2000), 128 + SIGKILL);
    ch->progress = saved.progress;
    ch->progressUser = saved.progressUser;
    ch->timeoutMs = saved.timeoutMs;

    // A killed device leaves its socket behind; the next one replaces it and
    // the window lets the dead port go and opens the new one.
    int refreshesBefore = window.refreshes.load();
    sim = std::make_unique<Devsim>(dir,
                                   std::vector<std::string>{"--id", "c", "--mode", "hid", "--preset", "layout4"});
    ASSERT_TRUE(sim->started());
    ASSERT_TRUE(pumpUntil([&] { return window.refreshes.load() > refreshesBefore && window.connected(); }, test_support::kPatienceMs))
        << sim->log();
    EXPECT_EQ(window.refreshedWithPort.back(), true);
    EXPECT_EQ(window.machine->layoutVersion, 4);
}

// An open port on the device with id, straight through the socket back end.
struct DirectPort {
    explicit DirectPort(const std::string& path)
    {
        ch.port = Hidc_openPort(path.c_str());
        if (ch.port) ch.bootVersion = Hidc_getBootVersion(&ch);
    }
    ~DirectPort() { Hidc_closePort(ch.port); }
    HidcChannel ch{};
};

TEST_F(DevsimEndToEnd, DisconnectFaultMakesTheDeviceVanish)
{
    Devsim sim(dir, {"--id", "d", "--mode", "hid", "--fault", "disconnect:2"});
    ASSERT_TRUE(waitUntil([&] { return fs::exists(socketPath("d")); })) << sim.log();
    DirectPort port(socketPath("d"));
    EXPECT_EQ(port.ch.bootVersion, 1046u);
    // The second report is the last the device takes: no reply, and it is gone.
    EXPECT_EQ(Hidc_getFlashSize(&port.ch), 0u);
    EXPECT_EQ(sim.waitExit(3000), 0) << sim.log();
    EXPECT_FALSE(fs::exists(socketPath("d")));
}

TEST_F(DevsimEndToEnd, AFaultFileArmsTheNextSessionOnly)
{
    Devsim sim(dir, {"--id", "f", "--mode", "hid"});
    ASSERT_TRUE(waitUntil([&] { return fs::exists(socketPath("f")); }, 3000)) << sim.log();
    const std::string faultFile = dir + "/fault#f";
    // Each session: the fault list armed before it (none: ""), then whether
    // each flash-size query answers; the boot-version query is reply 1.
    const struct {
        const char* faults;
        std::vector<bool> answers;
    } sessions[] = {
        {"fail-status:2\n", {false, true}},
        {"fail-status:5", {true, true}},  // reply 5 never comes in this session
        {"", {true, true, true}},         // and would be the first size query here: gone with its session
        {"no-such-fault:1", {true}},      // a bad list is dropped
    };
    for (const auto& session : sessions) {
        SCOPED_TRACE(session.faults);
        if (*session.faults) std::ofstream(faultFile) << session.faults;
        DirectPort port(socketPath("f"));
        EXPECT_EQ(port.ch.bootVersion, 1046u) << sim.log();
        for (bool answers : session.answers) EXPECT_EQ(Hidc_getFlashSize(&port.ch) != 0, answers) << sim.log();
        EXPECT_FALSE(fs::exists(faultFile));
    }
}

TEST_F(DevsimEndToEnd, FlashImageOutlivesTheProcess)
{
    const std::vector<std::string> args = {"--id", "e", "--mode", "hid", "--preset", "blank", "--flash",
                                           temp.str() + "/flash.bin"};
    uint8_t pattern[256] = {0x5A, 0xA5, 0x01, 0x02}, back[256] = {};
    {
        Devsim sim(dir, args);
        ASSERT_TRUE(waitUntil([&] { return fs::exists(socketPath("e")); })) << sim.log();
        DirectPort port(socketPath("e"));
        ASSERT_EQ(Hidc_erase(0x100000, kHidcSector, &port.ch), HIDC_OK);
        ASSERT_EQ(Hidc_writeFlash(&port.ch, 0x100000, pattern, sizeof pattern, false, 0), 1);
        sim.signal(SIGINT);
        ASSERT_EQ(sim.waitExit(3000), 0) << sim.log();
    }
    // The preset fills only a device without an image.
    Devsim sim(dir, args);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(socketPath("e")); })) << sim.log();
    DirectPort port(socketPath("e"));
    EXPECT_EQ(Hidc_readFlash(&port.ch, 0x100000, back, sizeof back, 0), 1);
    EXPECT_EQ(std::memcmp(back, pattern, sizeof back), 0);
}

} // namespace
