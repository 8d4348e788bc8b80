// tessaly-devsim: one simulated radar detector as its own process, published
// in the simulation folder. In disk mode it is a folder with a vendor field
// and a drive root; once the host has asked for the eject and written the
// trigger file, it leaves and comes back in update mode: a SOCK_SEQPACKET
// socket on which a SimDevice answers the command protocol, one host at a
// time.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/sim_folder.h"
#include "sim/presets.h"
#include "sim/sim_device.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// What the host writes into the root to ask for update mode.
constexpr const char* kTriggerText = "pnqazox";

struct Options {
    std::string dir;               // simulation folder ("" the default one)
    std::string id = "1";          // <id> of the entry names
    std::string mode = "disk";     // disk | hid
    std::string preset = "classic";
    std::string flash;             // flash image file kept between runs
    std::string vendor = "VEXALTO ";  // raw vendor field, as a SCSI inquiry pads it
    uint32_t latencyUs = 0;
    std::string fault;
};

// Signals reach the loops through a pipe, so a poll() never misses one.
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    int saved = errno;
    char byte = 1;
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

bool installSignals()
{
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

std::string g_tag;

void say(const char* format, const std::string& a = {}, const std::string& b = {})
{
    std::fprintf(stderr, "%s: ", g_tag.c_str());
    std::fprintf(stderr, format, a.c_str(), b.c_str());
    std::fputc('\n', stderr);
}

void logCommand(void*, const char* line) { std::fprintf(stderr, "%s: %s\n", g_tag.c_str(), line); }

// Waits up to timeoutMs for a signal. True when one came.
bool signalled(int timeoutMs)
{
    pollfd p{g_signalPipe[0], POLLIN, 0};
    int n = poll(&p, 1, timeoutMs);
    return n > 0;
}

std::string readSmallFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    char buffer[64];
    in.read(buffer, sizeof buffer);
    return std::string(buffer, size_t(in.gcount()));
}

// ---------------------------------------------------------------------------
// Disk mode

enum class DiskResult { Triggered, Stopped, Failed };

DiskResult runDiskMode(const fs::path& dir, const Options& options)
{
    fs::path disk = dir / SimFolder_diskName(options.id);
    std::error_code ec;
    // A folder left by a killed simulator of the same id is replaced.
    fs::remove_all(disk, ec);
    // Built under a hidden name and renamed, so the host never lists a drive
    // without its vendor field or root.
    fs::path building = dir / (".building-" + std::to_string(getpid()));
    fs::remove_all(building, ec);
    if (!fs::create_directory(building, ec) || !fs::create_directory(building / kSimRootFolder, ec)) {
        say("cannot create %s", building.string());
        return DiskResult::Failed;
    }
    {
        std::ofstream vendor(building / kSimVendorFile, std::ios::binary | std::ios::trunc);
        vendor << options.vendor;
    }
    fs::rename(building, disk, ec);
    if (ec) {
        say("cannot create %s: %s", disk.string(), ec.message());
        fs::remove_all(building, ec);
        return DiskResult::Failed;
    }
    say("disk mode at %s", disk.string());

    // The host writes the trigger and asks for the eject, in either order.
    fs::path eject = disk / kSimEjectFile, trigger = disk / kSimRootFolder / kSimTriggerFile;
    for (;;) {
        if (signalled(50)) {
            fs::remove_all(disk, ec);
            return DiskResult::Stopped;
        }
        if (!fs::exists(disk, ec)) {
            say("%s vanished", disk.string());
            return DiskResult::Failed;
        }
        if (fs::exists(eject, ec) && readSmallFile(trigger) == kTriggerText) break;
    }
    say("trigger seen: leaving disk mode");
    fs::remove_all(disk, ec);
    return signalled(300) ? DiskResult::Stopped : DiskResult::Triggered;
}

// ---------------------------------------------------------------------------
// Update mode

class Server {
public:
    Server(SimDevice* device, std::string socketPath, uint32_t latencyUs)
        : device_(device), socketPath_(std::move(socketPath)), latencyUs_(latencyUs)
    {
    }
    ~Server()
    {
        closeHost();
        if (listenFd_ >= 0) {
            close(listenFd_);
            unlink(socketPath_.c_str());
        }
    }

    bool listen()
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        // Bound under a hidden name and renamed into place once listening: a
        // host that reacts to the name at once must find someone answering.
        std::string building = fs::path(socketPath_).replace_filename(".hid-" + std::to_string(getpid())).string();
        if (socketPath_.size() >= sizeof addr.sun_path || building.size() >= sizeof addr.sun_path) {
            say("socket path too long: %s", socketPath_);
            return false;
        }
        std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
        if (alreadyServed(addr)) {
            say("another device already serves %s", socketPath_);
            return false;
        }
        // A socket left by a killed simulator goes first, so hosts see it leave.
        unlink(socketPath_.c_str());
        std::memcpy(addr.sun_path, building.c_str(), building.size() + 1);
        unlink(building.c_str());
        listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        bool ok = listenFd_ >= 0 && bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  chmod(building.c_str(), 0600) == 0 && ::listen(listenFd_, 4) == 0 &&
                  rename(building.c_str(), socketPath_.c_str()) == 0;
        if (!ok) {
            say("cannot listen on %s: %s", socketPath_, std::strerror(errno));
            if (listenFd_ >= 0) close(listenFd_);
            listenFd_ = -1;
            unlink(building.c_str());
            return false;
        }
        say("update mode at %s", socketPath_);
        return true;
    }

    // Serves hosts until a signal (true) or the device vanishes (false).
    bool run()
    {
        for (;;) {
            pollfd fds[3] = {{g_signalPipe[0], POLLIN, 0}, {listenFd_, POLLIN, 0}, {hostFd_, 0, 0}};
            if (hostFd_ >= 0) fds[2].events = short(POLLIN | (pending_ ? POLLOUT : 0));
            timespec wait{};
            int n = ppoll(fds, hostFd_ >= 0 ? 3 : 2, waitTime(&wait), nullptr);
            if (n < 0 && errno != EINTR) {
                say("poll failed: %s", std::strerror(errno));
                return true;
            }
            if (fds[0].revents & POLLIN) return true;
            if (hostFd_ >= 0) {
                if (fds[2].revents & POLLIN) takeFromHost();
                if (hostFd_ >= 0 && !device_->connected()) {
                    say("disconnect fault: the device vanishes");
                    return false;
                }
                if (hostFd_ >= 0 && (fds[2].revents & (POLLHUP | POLLERR)) && !(fds[2].revents & POLLIN))
                    hostLeft();
                if (hostFd_ >= 0) giveToHost();
            }
            if (fds[1].revents & POLLIN) acceptHost();
        }
    }

private:
    // A connect that succeeds means a live simulator; a refused one is a
    // socket file left behind by a killed one.
    static bool alreadyServed(const sockaddr_un& addr)
    {
        int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (probe < 0) return false;
        bool live = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        close(probe);
        return live;
    }

    bool busy() const { return Clock::now() - lastTraffic_ < std::chrono::milliseconds(200); }

    // How long poll() may sleep. While reports flow on a paced link it wakes
    // within a quarter of a report's time, so a report the device scheduled
    // ahead goes out close to its time and the link keeps its pace; without
    // latency every report is due at once and only late replies (faults)
    // need the timer. A quiet link sleeps longer.
    const timespec* waitTime(timespec* wait) const
    {
        if (hostFd_ < 0) return nullptr;  // only a host or a signal wakes us
        long micros = 20000;
        if (pending_) micros = 100000;  // the socket is full: wait for the host to read
        else if (busy()) micros = latencyUs_ ? std::max<long>(50, latencyUs_ / 4) : 1000;
        wait->tv_sec = 0;
        wait->tv_nsec = micros * 1000;
        return wait;
    }

    void acceptHost()
    {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        if (hostFd_ >= 0 && !hostGone()) {
            // One host at a time, as the device's one session: a second one
            // is turned away at once instead of waiting for replies.
            say("second host turned away");
            close(fd);
            return;
        }
        closeHost();
        hostFd_ = fd;
        generation_ = device_->generation();
        device_->hostDiscard(generation_);
        lastTraffic_ = Clock::now();
        say("host connected");
    }

    bool hostGone() const
    {
        pollfd p{hostFd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN);
    }

    void hostLeft()
    {
        say("host disconnected");
        closeHost();
    }

    void closeHost()
    {
        if (hostFd_ < 0) return;
        close(hostFd_);
        hostFd_ = -1;
        pending_ = false;
        // What the old host did not collect is no one's now.
        device_->hostDiscard(generation_);
    }

    void takeFromHost()
    {
        uint8_t packet[kHidReportSize + 1];
        for (;;) {
            ssize_t n = recv(hostFd_, packet, sizeof packet, MSG_DONTWAIT);
            if (n == 0) {
                hostLeft();
                return;
            }
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) hostLeft();
                return;
            }
            lastTraffic_ = Clock::now();
            // A stalled data phase does not take the report; the host sees
            // the missing reply.
            HidIoStatus st = device_->hostWrite(packet, size_t(n), 100, nullptr, generation_);
            if (st == HID_IO_ERROR && !device_->connected()) return;
        }
    }

    // Sends what the device has ready for the host until it has nothing more
    // or the socket is full. Never waits: the host's packets must not queue
    // behind a report that is not due yet.
    void giveToHost()
    {
        for (;;) {
            if (!pending_) {
                size_t got = 0;
                if (device_->hostRead(out_, sizeof out_, 0, nullptr, &got, generation_) != HID_IO_OK) return;
                pending_ = true;
            }
            ssize_t n = send(hostFd_, out_, kHidReportSize, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n == ssize_t(kHidReportSize)) {
                pending_ = false;
                lastTraffic_ = Clock::now();
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            hostLeft();
            return;
        }
    }

    SimDevice* device_;
    std::string socketPath_;
    int listenFd_ = -1;
    int hostFd_ = -1;
    uint64_t generation_ = 0;
    uint8_t out_[kHidReportSize] = {};
    uint32_t latencyUs_;    // time one report takes on the link
    bool pending_ = false;  // out_ holds a report the socket did not take yet
    Clock::time_point lastTraffic_{};
};

std::unique_ptr<SimDevice> makeDevice(const Options& options, std::string* error)
{
    const SimPreset* preset = SimPreset_find(options.preset);
    if (!preset) {
        *error = "unknown preset '" + options.preset + "'";
        return nullptr;
    }
    SimDeviceOptions base;
    base.latencyUs = options.latencyUs;
    base.imagePath = options.flash;
    std::unique_ptr<SimDevice> device;
    std::error_code ec;
    // A flash image from an earlier run is the device's memory: the preset
    // only fills a device that has none yet.
    if (!options.flash.empty() && fs::exists(options.flash, ec))
        device = std::make_unique<SimDevice>(SimPreset_options(*preset, base));
    else
        device = SimPreset_make(options.preset, base);
    if (!device) {
        *error = "cannot make the device";
        return nullptr;
    }
    if (!options.fault.empty()) {
        SimFaults faults;
        if (!SimFaults_parse(options.fault, &faults, error)) return nullptr;
        device->setFaults(faults);
    }
    device->setCommandLog(logCommand, nullptr);
    return device;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"tessaly-devsim: a simulated radar detector in the simulation folder"};
    Options options;
    app.add_option("--dir", options.dir, "simulation folder (default: $TESSALY_SIM_DIR, $XDG_RUNTIME_DIR/tessaly-sim)");
    app.add_option("--id", options.id, "device id in the entry names")->default_val("1");
    app.add_option("--mode", options.mode, "start in disk mode or directly in update mode")
        ->check(CLI::IsMember({"disk", "hid"}))
        ->default_val("disk");
    app.add_option("--preset", options.preset, "what the device holds: " + [] {
        std::string names;
        for (const auto& n : SimPreset_names()) names += (names.empty() ? "" : ", ") + n;
        return names;
    }())->default_val("classic");
    app.add_option("--flash", options.flash, "flash image file, loaded at start and saved on exit");
    app.add_option("--vendor", options.vendor, "raw vendor field of the disk (default \"VEXALTO \")");
    app.add_option("--latency-us", options.latencyUs, "time each report takes on the link");
    app.add_option("--fault", options.fault, "faults, e.g. drop:3,delay:2,stop-data:10,disconnect:50");
    CLI11_PARSE(app, argc, argv);

    if (options.id.empty() || options.id.find_first_of("/#") != std::string::npos) {
        std::fprintf(stderr, "tessaly-devsim: the id must be non-empty, without '/' or '#'\n");
        return 2;
    }
    g_tag = "devsim[" + options.id + "]";
    if (options.dir.empty()) options.dir = SimFolder_defaultPath();
    std::string error;
    if (!SimFolder_prepare(options.dir, &error)) {
        say("%s", error);
        return 1;
    }
    std::unique_ptr<SimDevice> device = makeDevice(options, &error);
    if (!device) {
        say("%s", error);
        return 2;
    }
    if (!installSignals()) {
        say("cannot install signal handlers: %s", std::strerror(errno));
        return 1;
    }

    fs::path dir = options.dir;
    if (options.mode == "disk") {
        switch (runDiskMode(dir, options)) {
        case DiskResult::Stopped: say("stopped"); return 0;
        case DiskResult::Failed: return 1;
        case DiskResult::Triggered: break;
        }
    }

    bool vanished = false;
    {
        Server server(device.get(), (dir / SimFolder_socketName(kSimVendorId, kSimProductId, options.id)).string(),
                      options.latencyUs);
        if (!server.listen()) return 1;
        vanished = !server.run();
    }
    // The flash image is saved as the device goes (SimDevice's destructor).
    device.reset();
    say(vanished ? "gone" : "stopped");
    return 0;
}
