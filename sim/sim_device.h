// The simulated radar detector in update mode: the device side of the HIDC
// protocol over a flash array, with a serial-link timing model, report
// counters and fault knobs. One engine serves the in-process transport (tests,
// benchmarks) and the simulator program (a socket per device).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "core/ciphers.h"
#include "platform/hid_transport.h"

inline constexpr uint32_t kSimDefaultFlashSize = 8u << 20;
inline constexpr uint16_t kSimVendorId = 0x0416;
inline constexpr uint16_t kSimProductId = 0xB500;

// Fault knobs. Reply numbers count reply packets (not data reports) from 1,
// from the moment the faults were set; each fault fires once. 0 is off.
struct SimFaults {
    uint32_t dropReply = 0;         // the Nth reply is never sent
    uint32_t delayReply = 0;        // the Nth reply comes delayMs late
    uint32_t delayMs = 1100;        // how late a delayed reply comes
    uint32_t corruptSum = 0;        // the Nth reply carries a wrong sum
    uint32_t corruptSignature = 0;  // the Nth reply carries a wrong signature
    uint32_t failStatus = 0;        // the Nth reply carries status 1 (failure)
    uint32_t stopAfterData = 0;     // the next data phase stalls after N data reports (0 off)
    bool stopArmed = false;         // set together with stopAfterData (N may be 0)
    uint32_t disconnectAfter = 0;   // the device vanishes after receiving N more reports (0 off)
    // Write commands count from 1, like replies; both faults take all the data.
    uint32_t refuseWrite = 0;       // the Nth write is not stored; only a boot from 1046 on says so
    uint32_t corruptWrite = 0;      // the Nth write is stored with its middle byte changed, reported good
};

// Parses a fault list such as "drop:3,delay:2,corrupt-sum:1,corrupt-sig:1,
// fail-status:4,stop-data:10,disconnect:50,refuse-write:2,corrupt-write:1".
// False on an unknown or malformed
// item (faults then untouched).
bool SimFaults_parse(const std::string& text, SimFaults* faults, std::string* error);

struct SimDeviceOptions {
    uint32_t flashSize = kSimDefaultFlashSize;  // bytes; a multiple of 4096
    uint32_t bootVersion = 1046;                // answer of HIDC_BOOT_VERSION
    uint32_t latencyUs = 0;                     // time each report takes on the link
    std::string imagePath;                      // flash image kept between runs ("" none)
};

class SimDevice {
public:
    explicit SimDevice(const SimDeviceOptions& options = {});
    ~SimDevice();  // saves the flash image when a path was given
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // --- the host side of the link (used by transports) ---
    // Takes one report from the host. HID_IO_TIMEOUT when the device does not
    // take it (stalled data phase), HID_IO_ERROR when it is gone.
    HidIoStatus hostWrite(const uint8_t* report, size_t length, int timeoutMs, HidCancel* cancel,
                          uint64_t generation);
    // Hands the next report to the host, waiting for it as the link allows.
    HidIoStatus hostRead(uint8_t* report, size_t capacity, int timeoutMs, HidCancel* cancel, size_t* delivered,
                         uint64_t generation);
    // Drops reports the host has not collected yet.
    void hostDiscard(uint64_t generation);
    // The present connection; a handle opened before a disconnect stays dead.
    uint64_t generation() const;
    bool connected() const;

    // --- device controls for tests, benchmarks and the simulator program ---
    void setFaults(const SimFaults& faults);
    void setLatencyUs(uint32_t latencyUs);
    void setBootVersion(uint32_t bootVersion);
    uint32_t bootVersion() const;
    void disconnect();  // the device vanishes: every transfer fails at once
    void reconnect();   // it comes back; hosts must open it again

    uint32_t flashSize() const { return uint32_t(flash_.size()); }
    // Direct flash access (no protocol), for presets and checks.
    std::vector<uint8_t> readFlashDirect(uint32_t address, uint32_t length) const;
    bool writeFlashDirect(uint32_t address, const uint8_t* data, uint32_t length);
    void eraseAll();
    bool saveImage() const;

    // Protocol cost as the link saw it.
    uint64_t reportsIn() const;   // host to device
    uint64_t reportsOut() const;  // device to host
    uint64_t commandsIn() const;  // command packets among reportsIn
    void resetCounters();

    // A one-line description of each command received, for the simulator's log.
    void setCommandLog(void (*log)(void* user, const char* line), void* user);

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Idle, ReadOut, WriteIn };
    struct Outgoing {
        uint8_t report[kHidReportSize];
        Clock::time_point readyAt;
    };

    void handleCommand(const uint8_t* payload);
    void handleWriteData(const uint8_t* payload, size_t length);
    void finishWrite();
    void queueReply(uint8_t command, uint32_t status, uint32_t answer);
    void queueData(const uint8_t* payload);
    Clock::time_point linkSlot();
    bool rangeOk(uint64_t address, uint64_t length) const;
    bool loadImage();

    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::vector<uint8_t> flash_;
    SimDeviceOptions options_;
    SimFaults faults_;
    uint32_t repliesSent_ = 0;
    uint32_t receivedSinceFaults_ = 0;
    uint32_t writesSinceFaults_ = 0;
    bool connected_ = true;
    uint64_t generation_ = 1;

    Phase phase_ = Phase::Idle;
    uint32_t phaseAddress_ = 0;
    uint32_t phaseLength_ = 0;
    uint32_t phaseDone_ = 0;
    uint32_t phaseReports_ = 0;
    uint32_t writeArg3_ = 0;
    uint32_t writeSum_ = 0;
    std::vector<uint8_t> writeBuffer_;
    ZR_RollingXor rolling_{};

    std::deque<Outgoing> outbox_;
    Clock::time_point linkFree_{};

    uint64_t reportsIn_ = 0;
    uint64_t reportsOut_ = 0;
    uint64_t commandsIn_ = 0;

    void (*commandLog_)(void*, const char*) = nullptr;
    void* commandLogUser_ = nullptr;
};

// In-process HID transport over a SimDevice. The device is reachable at
// "sim:<name>#vid_0416&pid_b500" through HidTransport_open while attached.
std::string SimDevice_attach(SimDevice* device, const std::string& name);
void SimDevice_detach(const std::string& name);
// Opens a transport handle on the device directly.
HidDevice* SimDevice_openTransport(SimDevice* device);
