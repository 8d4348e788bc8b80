// HID report transport: the one contract between the command channel and
// whatever carries its 65-byte reports (hidapi on real hardware, the simulated
// device in process, a socket to a simulator process).
//
// A back end is a const table of operations; a device handle is an opaque
// record that names its table. Paths of the device in update mode carry the
// token "vid_0416&pid_b500" (lower-case hex) on every back end, so the same
// path test works everywhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t kHidReportSize = 65;

// A manual-reset signal that makes a waiting transfer fail at once. The
// transfer that sees it resets it (the signal is consumed by one failure).
struct HidCancel {
    std::atomic<bool> signalled{false};

    void signal() { signalled.store(true, std::memory_order_release); }
    bool isSignalled() const { return signalled.load(std::memory_order_acquire); }
    void reset() { signalled.store(false, std::memory_order_release); }
};

// Outcome of one report transfer.
enum HidIoStatus : int {
    HID_IO_OK = 0,         // transfer completed; count holds the bytes moved
    HID_IO_TIMEOUT = 1,    // nothing completed within the time limit
    HID_IO_CANCELLED = 2,  // the cancel signal was raised while waiting (and has been reset)
    HID_IO_ERROR = 3,      // the device refused the transfer or is gone
};

struct HidDevice;

struct HidTransportOps {
    const char* name;  // back end name, for diagnostics
    // Sends one report of `length` bytes (byte 0 the report id). Waits at most
    // timeoutMs for the device to take it.
    HidIoStatus (*write)(HidDevice* dev, const uint8_t* report, size_t length, int timeoutMs,
                         HidCancel* cancel, size_t* taken);
    // Receives one input report into `report` (capacity bytes); the count
    // includes the report id byte in front of the payload.
    HidIoStatus (*read)(HidDevice* dev, uint8_t* report, size_t capacity, int timeoutMs,
                        HidCancel* cancel, size_t* delivered);
    // Discards input reports that are already waiting (late replies of an
    // earlier, failed exchange). Never blocks.
    void (*discardPending)(HidDevice* dev);
    // Closes the device and frees the record.
    void (*close)(HidDevice* dev);
};

struct DeviceLock;

// The common head of every back end's device record; back ends derive their
// records from it.
struct HidDevice {
    const HidTransportOps* ops;
    // The device's lock (platform/device_lock.h), set by HidTransport_open and
    // released by HidDevice_close; null for devices that live in this process.
    DeviceLock* lock = nullptr;
    // Why the last transfer that did not give HID_IO_OK failed, as the system
    // or the HID library said it ("Broken pipe", "no report within 1000 ms");
    // kept until the next failure. Back ends set it through HidDevice_noteError.
    std::string lastError = {};
    // Set once a failure showed that the device is gone (its node vanished,
    // the other end closed); a transfer never clears it.
    bool gone = false;
};

// Records the cause of a failed transfer on the device and gives status back,
// so that a back end can write `return HidDevice_noteError(d, HID_IO_ERROR, text)`.
HidIoStatus HidDevice_noteError(HidDevice* d, HidIoStatus status, std::string text, bool gone = false);

// The cause of the device's last failed transfer ("" when none failed, or for
// null); the pointer lives until the next transfer on the device.
const char* HidDevice_lastError(const HidDevice* d);
// True once a failed transfer showed the device is gone; false for null.
bool HidDevice_gone(const HidDevice* d);

// One present HID interface as enumeration sees it.
struct HidDeviceInfo {
    std::string path;             // opaque path for HidTransport_open
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string backend;          // which back end found it
};

// A back end that can open some paths and list its devices.
struct HidBackend {
    const char* name;
    // True when this back end is responsible for the path.
    bool (*claims)(const char* path);
    // Opens the path; null when it cannot be opened.
    HidDevice* (*open)(const char* path);
    // Appends every present HID interface this back end sees.
    void (*enumerate)(std::vector<HidDeviceInfo>* out);
};

// Registers a back end (kept for the life of the process). Back ends
// registered later are asked first, so test back ends can stand in front of
// hidapi. Thread-safe.
void HidTransport_registerBackend(const HidBackend* backend);
void HidTransport_unregisterBackend(const HidBackend* backend);

// A back end's open that gives null may say why ("Permission denied"), on the
// calling thread; HidTransport_open puts it into its open error.
void HidTransport_noteOpenFailure(std::string text);

// Opens a device path through the first back end that claims it (hidapi
// claims everything else). A path in the file system (starting with '/')
// names a device other processes can open too: its lock is taken first and
// held until HidDevice_close, so a second open of the same device, from any
// process, fails at once. Other paths (the in-process simulated device, test
// back ends) belong to this process and are not locked. Null when the device
// is locked or no back end can open it; HidTransport_lastOpenError says why.
HidDevice* HidTransport_open(const char* path);

// Why the latest HidTransport_open on the calling thread gave null; cleared
// by one that succeeded.
struct HidOpenError {
    bool busy = false;  // another open holds the device's lock: waiting does not help
    std::string text;   // "device in use by process 4711", "opening <path>: Permission denied", ...
};
const HidOpenError& HidTransport_lastOpenError();

// Lists the HID interfaces of every registered back end and of hidapi.
std::vector<HidDeviceInfo> HidTransport_enumerate();

// The path token of a vendor/product pair: "vid_0416&pid_b500".
std::string HidTransport_idToken(uint16_t vendorId, uint16_t productId);

// Convenience wrappers that accept null.
inline HidIoStatus HidDevice_write(HidDevice* d, const uint8_t* r, size_t n, int ms, HidCancel* c, size_t* taken)
{
    return d ? d->ops->write(d, r, n, ms, c, taken) : HID_IO_ERROR;
}
inline HidIoStatus HidDevice_read(HidDevice* d, uint8_t* r, size_t n, int ms, HidCancel* c, size_t* got)
{
    return d ? d->ops->read(d, r, n, ms, c, got) : HID_IO_ERROR;
}
inline void HidDevice_discardPending(HidDevice* d)
{
    if (d && d->ops->discardPending) d->ops->discardPending(d);
}
// Closes the device, then lets its lock go; accepts null.
void HidDevice_close(HidDevice* d);

// The hidapi back end (hidraw on Linux); always consulted last.
const HidBackend* HidTransport_hidapiBackend();
