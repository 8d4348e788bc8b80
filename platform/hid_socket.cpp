// Socket back end: a simulated device in update mode listens on a
// SOCK_SEQPACKET socket in the simulation folder, and every packet is one
// 65-byte report. The socket stays non-blocking; waits are poll() slices so
// the cancel signal is seen within kSliceMs and a vanished peer (hang-up, EOF,
// EPIPE) fails the transfer at once.
#include "platform/hid_transport.h"
#include "platform/sim_folder.h"
#include "platform/translate_marks.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

struct SocketDevice : HidDevice {
    int fd;
};

constexpr int kSliceMs = 10;

HidIoStatus socketWrite(HidDevice* dev, const uint8_t* report, size_t length, int timeoutMs,
                        HidCancel* cancel, size_t* taken);
HidIoStatus socketRead(HidDevice* dev, uint8_t* report, size_t capacity, int timeoutMs, HidCancel* cancel,
                       size_t* delivered);
void socketDiscardPending(HidDevice* dev);
void socketClose(HidDevice* dev);

const HidTransportOps kSocketOps = {
    "simsocket", socketWrite, socketRead, socketDiscardPending, socketClose,
};

enum WaitResult { WAIT_READY, WAIT_TIMEOUT, WAIT_CANCELLED, WAIT_ERROR, WAIT_GONE };

// Waits until the socket is ready for `events`, the deadline passes, the
// cancel signal is raised (and then reset) or the peer is gone. A negative
// timeout waits without limit, still watching the signal and the peer.
WaitResult waitFor(int fd, short events, int timeoutMs, HidCancel* cancel, int* error)
{
    using Clock = std::chrono::steady_clock;
    const bool unlimited = timeoutMs < 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
    for (;;) {
        if (cancel && cancel->isSignalled()) {
            cancel->reset();
            return WAIT_CANCELLED;
        }
        int slice = kSliceMs;
        if (!unlimited) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            slice = int(std::clamp<long long>(left, 0, kSliceMs));
        }
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, slice);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return WAIT_ERROR;
        }
        // Data still queued by a peer that has gone is delivered first;
        // the next read then sees the end.
        if (n > 0 && (p.revents & events)) return WAIT_READY;
        if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return WAIT_GONE;
        if (!unlimited && Clock::now() >= deadline) return WAIT_TIMEOUT;
    }
}

// The device's end of the connection has closed: the device was unplugged.
constexpr const char* kPeerClosedText = N_("the device closed the connection");

// The status of a wait that did not end ready, with its cause on the device.
HidIoStatus statusOf(HidDevice* dev, WaitResult w, int timeoutMs, int error, const char* timeoutFormat)
{
    switch (w) {
    case WAIT_TIMEOUT: {
        char text[96];
        std::snprintf(text, sizeof text, timeoutFormat, timeoutMs);
        return HidDevice_noteError(dev, HID_IO_TIMEOUT, text);
    }
    case WAIT_CANCELLED: return HidDevice_noteError(dev, HID_IO_CANCELLED, N_("cancelled"));
    case WAIT_GONE: return HidDevice_noteError(dev, HID_IO_ERROR, kPeerClosedText, true);
    default: return HidDevice_noteError(dev, HID_IO_ERROR, std::string("poll: ") + std::strerror(error));
    }
}

// A send or receive error: the peer's end going away is the device leaving.
HidIoStatus ioError(HidDevice* dev, const char* call, int error)
{
    bool gone = error == EPIPE || error == ECONNRESET || error == ENOTCONN;
    return HidDevice_noteError(dev, HID_IO_ERROR, std::string(call) + ": " + std::strerror(error), gone);
}

HidIoStatus socketWrite(HidDevice* dev, const uint8_t* report, size_t length, int timeoutMs,
                        HidCancel* cancel, size_t* taken)
{
    auto* d = static_cast<SocketDevice*>(dev);
    if (taken) *taken = 0;
    if (!d) return HID_IO_ERROR;
    if (!report || length == 0 || length > kHidReportSize)
        return HidDevice_noteError(d, HID_IO_ERROR, "report of " + std::to_string(length) + " bytes refused");
    // The device side takes whole reports only; a short one is padded.
    uint8_t packet[kHidReportSize] = {};
    std::memcpy(packet, report, length);
    for (;;) {
        int error = 0;
        WaitResult w = waitFor(d->fd, POLLOUT, timeoutMs, cancel, &error);
        if (w != WAIT_READY) return statusOf(d, w, timeoutMs, error, N_("no report taken within %d ms"));
        ssize_t n = send(d->fd, packet, sizeof packet, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == ssize_t(sizeof packet)) {
            if (taken) *taken = length;
            return HID_IO_OK;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n >= 0) return HidDevice_noteError(d, HID_IO_ERROR, "send: the report went out cut short");
        return ioError(d, "send", errno);
    }
}

HidIoStatus socketRead(HidDevice* dev, uint8_t* report, size_t capacity, int timeoutMs, HidCancel* cancel,
                       size_t* delivered)
{
    auto* d = static_cast<SocketDevice*>(dev);
    if (delivered) *delivered = 0;
    if (!d) return HID_IO_ERROR;
    if (!report || capacity < 2) return HidDevice_noteError(d, HID_IO_ERROR, "no room for a report");
    for (;;) {
        int error = 0;
        WaitResult w = waitFor(d->fd, POLLIN, timeoutMs, cancel, &error);
        if (w != WAIT_READY) return statusOf(d, w, timeoutMs, error, N_("no report came within %d ms"));
        uint8_t packet[kHidReportSize];
        ssize_t n = recv(d->fd, packet, sizeof packet, MSG_DONTWAIT);
        if (n > 0) {
            size_t count = std::min(size_t(n), capacity);
            std::memcpy(report, packet, count);
            if (delivered) *delivered = count;
            return HID_IO_OK;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n == 0) return HidDevice_noteError(d, HID_IO_ERROR, kPeerClosedText, true);
        return ioError(d, "recv", errno);
    }
}

void socketDiscardPending(HidDevice* dev)
{
    auto* d = static_cast<SocketDevice*>(dev);
    if (!d) return;
    uint8_t scratch[kHidReportSize];
    for (int i = 0; i < 1024 && recv(d->fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0; ++i) {
    }
}

void socketClose(HidDevice* dev)
{
    auto* d = static_cast<SocketDevice*>(dev);
    if (!d) return;
    if (d->fd >= 0) close(d->fd);
    delete d;
}

bool socketClaims(const char* path) { return path && SimFolder_isRegisteredSocketPath(path); }

HidDevice* socketOpen(const char* path)
{
    if (!socketClaims(path) || !SimFolder_isTrustedEntry(path, SIM_ENTRY_SOCKET)) {
        HidTransport_noteOpenFailure("not a socket of the simulation folder (missing, or not this user's)");
        return nullptr;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path) {
        HidTransport_noteOpenFailure("the socket path is too long");
        return nullptr;
    }
    std::strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        HidTransport_noteOpenFailure(std::string("socket: ") + std::strerror(errno));
        return nullptr;
    }
    // A non-blocking connect on a Unix socket either completes or fails at
    // once (EAGAIN when the listener's backlog is full): no wait to bound.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        HidTransport_noteOpenFailure(std::string("connect: ") + std::strerror(errno));
        close(fd);
        return nullptr;
    }
    auto* d = new SocketDevice{{&kSocketOps}, fd};
    return d;
}

void socketEnumerate(std::vector<HidDeviceInfo>* out)
{
    for (const std::string& dir : SimFolder_registeredFolders()) {
        for (const SimFolderEntry& e : SimFolder_scan(dir)) {
            if (e.kind != SIM_ENTRY_SOCKET) continue;
            HidDeviceInfo info;
            info.path = e.path;
            info.vendorId = e.vendorId;
            info.productId = e.productId;
            info.backend = "simsocket";
            out->push_back(std::move(info));
        }
    }
}

const HidBackend kSocketBackend = {"simsocket", socketClaims, socketOpen, socketEnumerate};

} // namespace

const HidBackend* HidTransport_socketBackend() { return &kSocketBackend; }
