// The HIDC command channel: 27-byte command packets marked "HIDC" carried in
// 65-byte HID reports, with optional data phases of 64 payload bytes per
// report, and the flash transfers of any length built on them.
//
// Results: the boolean operations give 1 for success and 0 for failure; the
// transfers give 0 or one of the negative HIDC_E_* codes below. Nothing here
// shows messages or logs: callers report failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/hid_transport.h"

// Command codes (wire format).
enum : uint8_t {
    HIDC_ERASE = 0xF1,
    HIDC_READ = 0xF2,
    HIDC_WRITE = 0xF3,
    HIDC_DONE = 0xF4,
    HIDC_BOOT_VERSION = 0xF7,
    HIDC_REFUSE = 0xF9,
    HIDC_FLASH_SIZE = 0xFB,
};

// Packet layout: offsets of the fields inside the 27 bytes.
enum : size_t {
    HIDC_PKT_COMMAND = 0,
    HIDC_PKT_LENGTH = 1,
    HIDC_PKT_ARG1 = 2,
    HIDC_PKT_ARG2 = 6,
    HIDC_PKT_ARG3 = 10,
    HIDC_PKT_FLAG = 14,
    HIDC_PKT_ARG4 = 15,
    HIDC_PKT_SIGNATURE = 19,
    HIDC_PKT_SUM = 23,
    HIDC_PACKET_SIZE = 27,
};

inline constexpr uint8_t kHidcPacketLength = 23;        // value of the length byte
inline constexpr uint32_t kHidcSignature = 0x43444948;  // "HIDC" read little-endian
inline constexpr uint32_t kHidcMagic1 = 0x12345678;     // arguments of the one-packet commands
inline constexpr uint32_t kHidcMagic2 = 0xABCDEF01;
inline constexpr uint32_t kHidcStatusBootVersion = 1046;  // replies carry a status from this boot on
inline constexpr int kHidcTimeoutMs = 1000;             // every report transfer ends within this
inline constexpr size_t kHidcPayloadSize = 64;          // data bytes per report
inline constexpr uint32_t kHidcUnit = 256;              // read/write granularity
inline constexpr uint32_t kHidcSector = 4096;           // erase granularity

// Transfer results.
enum : int {
    HIDC_OK = 0,
    HIDC_E_ADDRESS = -1,  // address not a multiple of 256
    HIDC_E_LENGTH = -2,   // length not a multiple of the unit (256, or 4096 for erase)
    HIDC_E_COMMAND = -3,  // command report not written
    HIDC_E_DATA = -4,     // data report failed, or no port (erase: reply failed)
    HIDC_E_REPLY = -5,    // reply missing, invalid or failed
};

// Text for a transfer result, for callers that add it to their own message.
const char* Hidc_resultText(int result);

// Why the channel's last exchange failed, kept so that callers can tell a
// reply that never came or came garbled (worth asking again) from a device
// that answered and said no.
enum : int {
    HIDC_FAULT_NONE = 0,
    HIDC_FAULT_NO_PORT,   // no device connected
    HIDC_FAULT_SEND,      // a command or data report was not taken
    HIDC_FAULT_MISSING,   // no report came in time (reply or data)
    HIDC_FAULT_INVALID,   // a report came, but not a valid reply (short, length, signature, sum)
    HIDC_FAULT_REFUSED,   // a valid reply whose status says the command failed
};
const char* Hidc_faultText(int fault);
// True for the faults a second try may cure: nothing came, or it came garbled.
bool Hidc_faultRetryable(int fault);

// Data-phase progress: phase 0 start (0, total), 1 step (bytes this report,
// bytes so far), 2 end (see Hidc_read / Hidc_write).
typedef void (*HidcProgressFn)(void* user, uint32_t phase, uint32_t count, uint32_t total);

// The open device: its transport handle and the cancel signal. Reads and
// writes share one handle; each direction's completion is the transport's.
struct HidcPort {
    HidDevice* device;  // transport handle, never null in an open port
    HidCancel cancel;   // signalled from another thread to fail the waiting transfer
};

// The command channel of one machine record.
struct HidcChannel {
    uint8_t report[kHidReportSize];  // the one buffer every report goes through
    HidcProgressFn progress;         // data-phase progress, may be null
    void* progressUser;              // handed to progress
    HidcPort* port;                  // null while no device is connected
    uint32_t bootVersion;            // as last identified; 0 before; decides the status rule
    int timeoutMs;                   // per-report limit; 0 means kHidcTimeoutMs
    int lastFault;                   // HIDC_FAULT_* of the last command sequence
};

// The channel's last fault as a cause for a message: Hidc_faultText, and for
// a report that did not cross, the transport's own reason in brackets ("no
// reply in time (the device closed the connection)"). "no device connected"
// for null or a channel without port.
std::string Hidc_faultCause(const HidcChannel* ch);
// True when the last failure showed the device gone (unplugged), not merely
// silent or refusing.
bool Hidc_deviceGone(const HidcChannel* ch);

// Opens the device path; null when it cannot be opened (nothing is left open).
HidcPort* Hidc_openPort(const char* path);
// Wraps an already open transport handle in a port (takes ownership).
HidcPort* Hidc_portFromDevice(HidDevice* device);
// Closes and frees the port; accepts null.
void Hidc_closePort(HidcPort* port);

// One report each way through the channel's buffer. 1 and the byte count
// (65 for a full report, report id included), or 0.
int Hidc_readReport(HidcChannel* ch, uint32_t* count);
int Hidc_writeReport(HidcChannel* ch, uint32_t* count);

// Builds a command packet (exposed for tests and the simulated device).
void Hidc_buildPacket(uint8_t packet[HIDC_PACKET_SIZE], uint8_t command, uint32_t arg1, uint32_t arg2,
                      uint32_t arg3, uint32_t flag, uint32_t arg4);
// True when the 27 bytes carry length 23, the signature and a correct sum.
bool Hidc_packetValid(const uint8_t packet[HIDC_PACKET_SIZE]);

int Hidc_sendCommand(HidcChannel* ch, uint8_t command, uint32_t arg1, uint32_t arg2, uint32_t arg3, uint32_t flag,
                     uint32_t arg4);
// 1 when a valid reply was read and, from boot 1046 on, its status is 0.
int Hidc_readReply(HidcChannel* ch, uint8_t* packet /* 27 bytes, may be null */);

int Hidc_erase(uint32_t address, uint32_t length, HidcChannel* ch);
int Hidc_read(uint32_t address, HidcChannel* ch, uint8_t* destination, uint32_t length, uint32_t readFlag);
int Hidc_write(uint32_t address, HidcChannel* ch, const uint8_t* data, uint32_t length, uint32_t arg3,
               uint32_t writeFlag, uint32_t sum);

int Hidc_done(HidcChannel* ch);
uint32_t Hidc_getBootVersion(HidcChannel* ch);
int Hidc_refuse(HidcChannel* ch);
uint32_t Hidc_getFlashSize(HidcChannel* ch);

// Reads any length (rounded up to 256 on the wire); 1 or 0.
int Hidc_readFlash(HidcChannel* ch, uint32_t address, uint8_t* destination, uint32_t length, uint32_t readFlag);
// Writes any length, padded with 0xFF to 256. Encoded data (rolling-XOR form)
// goes out as given, with its unpadded length and the sum of its decoded form.
int Hidc_writeFlash(HidcChannel* ch, uint32_t address, const uint8_t* data, uint32_t length, bool encoded,
                    uint32_t writeFlag);
