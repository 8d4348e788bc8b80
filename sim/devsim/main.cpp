// tessaly-devsim: one simulated radar detector as its own process, published
// in the simulation folder. In disk mode it is a folder with a vendor field
// and a drive root; once the host has asked for the eject and written the
// trigger file, it leaves and comes back in update mode: a SOCK_SEQPACKET
// socket on which a SimDevice answers the command protocol, one host at a
// time.
//
// Faults for the next session: a file "fault#<id>" in the simulation folder,
// holding a fault list as --fault takes it, is read and removed when the next
// host connects; its faults replace the device's, counted from that session's
// first reply, and end with the session (whatever did not fire is dropped).
// Long runs against one device arm a fault for one run this way.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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
#include "tools/command_line.h"

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

// The link between host and device carries one report at a time, each for
// the latency, in both directions. The server keeps that schedule itself on
// the steady clock (the device answers at once): a report completes at
//     max(link free, arrival) + latency,
// where the arrival of a host report is the kernel's time stamp of its send
// and that of a device report is the moment the device had it (the end of
// the report it answers). Every deadline is absolute, so a late wake-up
// delays one hand-over but never the schedule: a long transfer keeps the
// ideal pace however the process is scheduled.
class Server {
public:
    Server(SimDevice* device, std::string socketPath, std::string faultFile, uint32_t latencyUs)
        : device_(device), socketPath_(std::move(socketPath)), faultFile_(std::move(faultFile)),
          latency_(std::chrono::microseconds(latencyUs))
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
            // A held report waits for its time, so the next one stays in the
            // socket until then: the host's sends block as on a busy link.
            if (hostFd_ >= 0) fds[2].events = short((inHeld_ ? 0 : POLLIN) | (outBlocked_ ? POLLOUT : 0));
            timespec wait{};
            int n = ppoll(fds, hostFd_ >= 0 ? 3 : 2, waitTime(&wait), nullptr);
            if (n < 0 && errno != EINTR) {
                say("poll failed: %s", std::strerror(errno));
                return true;
            }
            if (fds[0].revents & POLLIN) return true;
            if (hostFd_ >= 0) {
                if ((fds[2].revents & (POLLHUP | POLLERR)) && !(fds[2].revents & (POLLIN | POLLOUT))) {
                    flushFromLeavingHost();
                    hostLeft();
                } else {
                    serveHost();
                }
                if (!device_->connected()) {
                    say("disconnect fault: the device vanishes");
                    return false;
                }
            }
            if (fds[1].revents & POLLIN) acceptHost();
        }
    }

private:
    // How many steps serveHost takes before the loop looks at signals and
    // new hosts again (only reached without latency, where all is due at once).
    static constexpr int kStepsPerRound = 256;

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

    // How long poll() may sleep: until the next report on the link is due,
    // computed from its absolute time. With nothing scheduled only a report
    // the device delays on purpose (a fault) needs the timer; a busy link
    // looks for one every millisecond, a quiet one less often.
    const timespec* waitTime(timespec* wait) const
    {
        if (hostFd_ < 0) return nullptr;  // only a host or a signal wakes us
        Clock::time_point now = Clock::now();
        Clock::time_point wake = now + (busy() ? std::chrono::milliseconds(1) : std::chrono::milliseconds(20));
        if (inHeld_) wake = std::min(wake, inDue_);
        if (outHeld_ && !outBlocked_) wake = std::min(wake, outDue_);
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(wake - now, Clock::duration::zero()));
        wait->tv_sec = time_t(left.count() / 1000000000);
        wait->tv_nsec = long(left.count() % 1000000000);
        return wait;
    }

    // Books the link for one report that is ready at `ready`; gives its end.
    Clock::time_point book(Clock::time_point ready)
    {
        linkFree_ = std::max(linkFree_, ready) + latency_;
        return linkFree_;
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
        // The kernel stamps each report as the host sends it: its arrival.
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
            say("no send time stamps (%s): reports count from when they are read", std::strerror(errno));
        hostFd_ = fd;
        generation_ = device_->generation();
        device_->hostDiscard(generation_);
        device_->resetCounters();
        lastTraffic_ = Clock::now();
        say("host connected");
        armSessionFaults();
    }

    // One-shot: the file goes whether or not its list was good, so a bad one
    // cannot hang over every later session.
    void armSessionFaults()
    {
        int fd = open(faultFile_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return;
        char text[256];
        ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        unlink(faultFile_.c_str());
        std::string list(text, size_t(std::max<ssize_t>(n, 0)));
        while (!list.empty() && std::isspace(static_cast<unsigned char>(list.back()))) list.pop_back();
        SimFaults faults;
        std::string error;
        if (!SimFaults_parse(list, &faults, &error)) {
            say("session faults '%s' ignored: %s", list, error);
            return;
        }
        device_->setFaults(faults);
        sessionFaults_ = true;
        say("session faults: %s", list);
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
        // What the link carried for this host, for whoever times a session.
        std::fprintf(stderr, "%s: host session ended: %llu reports in, %llu out\n", g_tag.c_str(),
                     static_cast<unsigned long long>(device_->reportsIn()),
                     static_cast<unsigned long long>(device_->reportsOut()));
        close(hostFd_);
        hostFd_ = -1;
        if (sessionFaults_) device_->setFaults(SimFaults{});
        sessionFaults_ = false;
        inHeld_ = outHeld_ = outBlocked_ = false;
        // What the old host did not collect is no one's now.
        device_->hostDiscard(generation_);
    }

    // Moves reports whose time has come, and books the next ones, until
    // nothing more is due now or the device vanished (fault).
    void serveHost()
    {
        for (int step = 0; step < kStepsPerRound && hostFd_ >= 0; ++step) {
            Clock::time_point now = Clock::now();
            if (inHeld_ && inDue_ <= now) {
                inHeld_ = false;
                // A stalled data phase does not take the report; the host
                // sees the missing reply.
                device_->hostWrite(in_, inLength_, 100, nullptr, generation_);
                if (!device_->connected()) return;
                // The device answers as the report ends.
                takeFromDevice(inDue_);
                continue;
            }
            if (outHeld_ && !outBlocked_ && outDue_ <= now) {
                if (!sendHeld()) continue;
                takeFromDevice(outDue_);
                continue;
            }
            if (outBlocked_ && sendHeld()) {
                // The host read at last: the report ends now.
                linkFree_ = std::max(linkFree_, now);
                takeFromDevice(now);
                continue;
            }
            if (!inHeld_ && takeFromHost()) continue;
            // A report the device delayed on purpose is ready now.
            if (!outHeld_ && takeFromDevice(now)) continue;
            return;
        }
    }

    // Reads the host's next report, if one is waiting, and books its time on
    // the link. False when there was none.
    bool takeFromHost()
    {
        if (hostFd_ < 0 || inHeld_) return false;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        iovec io{in_, sizeof in_};
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(hostFd_, &msg, MSG_DONTWAIT);
        if (n == 0) {
            hostLeft();
            return false;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) hostLeft();
            return false;
        }
        lastTraffic_ = Clock::now();
        inLength_ = size_t(n);
        inDue_ = book(arrivalOf(msg, lastTraffic_));
        inHeld_ = true;
        return true;
    }

    // The steady-clock time at which the host sent the report: the kernel's
    // wall-clock stamp, moved onto the steady clock; `read` when there is
    // none. Never later than the moment it was read.
    static Clock::time_point arrivalOf(msghdr& msg, Clock::time_point read)
    {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
            timespec sent{}, wall{};
            std::memcpy(&sent, CMSG_DATA(c), sizeof sent);
            clock_gettime(CLOCK_REALTIME, &wall);
            auto age = std::chrono::seconds(wall.tv_sec - sent.tv_sec) +
                       std::chrono::nanoseconds(wall.tv_nsec - sent.tv_nsec);
            if (age < Clock::duration::zero()) return read;
            return read - std::chrono::duration_cast<Clock::duration>(age);
        }
        return read;
    }

    // Takes the device's next report, if it has one ready, and books it on
    // the link from `ready`, the moment the device had it. False when none.
    bool takeFromDevice(Clock::time_point ready)
    {
        if (hostFd_ < 0 || outHeld_) return false;
        size_t got = 0;
        if (device_->hostRead(out_, sizeof out_, 0, nullptr, &got, generation_) != HID_IO_OK) return false;
        outDue_ = book(ready);
        outHeld_ = true;
        outBlocked_ = false;
        return true;
    }

    // Sends the held device report. False when the socket is full (the
    // report stays held, blocked) or the host is gone.
    bool sendHeld()
    {
        ssize_t n = send(hostFd_, out_, kHidReportSize, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == ssize_t(kHidReportSize)) {
            outHeld_ = outBlocked_ = false;
            lastTraffic_ = Clock::now();
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            outBlocked_ = true;
            return false;
        }
        hostLeft();
        return false;
    }

    // A host that hung up may have left reports behind: the device takes
    // them without the link's time, as nobody waits for their ends.
    void flushFromLeavingHost()
    {
        if (inHeld_) device_->hostWrite(in_, inLength_, 100, nullptr, generation_);
        inHeld_ = false;
        uint8_t packet[kHidReportSize + 1];
        for (ssize_t n; device_->connected() && (n = recv(hostFd_, packet, sizeof packet, MSG_DONTWAIT)) > 0;)
            device_->hostWrite(packet, size_t(n), 100, nullptr, generation_);
    }

    SimDevice* device_;
    std::string socketPath_;
    std::string faultFile_;  // faults for the next session, read and removed as a host connects
    bool sessionFaults_ = false;  // the present session's faults came from faultFile_
    int listenFd_ = -1;
    int hostFd_ = -1;
    uint64_t generation_ = 0;
    Clock::duration latency_;       // time one report takes on the link
    Clock::time_point linkFree_{};  // end of the last report booked on the link
    uint8_t in_[kHidReportSize + 1] = {};  // the host's report, handed to the device at inDue_
    size_t inLength_ = 0;
    Clock::time_point inDue_{};
    bool inHeld_ = false;
    uint8_t out_[kHidReportSize] = {};  // the device's report, sent to the host at outDue_
    Clock::time_point outDue_{};
    bool outHeld_ = false;
    bool outBlocked_ = false;  // out_ is due but the host's socket is full
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
    // The server keeps the link's time (Server); the device itself answers at once.
    base.latencyUs = 0;
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
    CLI::App app{"tessaly-devsim: a simulated radar detector in the simulation folder", "tessaly-devsim"};
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
    app.add_option("--fault", options.fault,
                   "faults, e.g. drop:3,delay:2,stop-data:10,disconnect:50,refuse-write:1,corrupt-write:2; "
                   "a file fault#<id> in the simulation folder holding such a list arms it for the next "
                   "session only (read and removed as the next host connects, dropped as it ends)");
    CommandLine_addVersion(app, "tessaly-devsim");
    if (int status = CommandLine_parse(app, "tessaly-devsim", argc, argv); status >= 0) return status;

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
    // Reports are handed over at their times on the link; the default timer
    // slack (50 µs) would make every hand-over that much late.
    prctl(PR_SET_TIMERSLACK, 1000UL);

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
                      (dir / ("fault#" + options.id)).string(), options.latencyUs);
        if (!server.listen()) return 1;
        vanished = !server.run();
    }
    // The flash image is saved as the device goes (SimDevice's destructor).
    device.reset();
    say(vanished ? "gone" : "stopped");
    return 0;
}
