#include "common_k52/hidc.h"

#include <cstring>
#include <memory>
#include <new>

#include "core/bytes.h"
#include "core/ciphers.h"
#include "platform/translate_marks.h"

namespace {

int timeoutOf(const HidcChannel* ch) { return ch->timeoutMs > 0 ? ch->timeoutMs : kHidcTimeoutMs; }

void notify(HidcChannel* ch, uint32_t phase, uint32_t count, uint32_t total)
{
    if (ch->progress) ch->progress(ch->progressUser, phase, count, total);
}

// Unused payload bytes go out as 0xCC; byte 0 is the report id.
void fillReport(HidcChannel* ch, const uint8_t* payload, size_t length)
{
    std::memset(ch->report, 0xCC, sizeof ch->report);
    ch->report[0] = 0;
    std::memcpy(ch->report + 1, payload, length);
}

} // namespace

const char* Hidc_resultText(int result)
{
    switch (result) {
    case HIDC_OK: return "success";
    case HIDC_E_ADDRESS: return "address not a multiple of 256";
    case HIDC_E_LENGTH: return "length not a multiple of the transfer unit";
    case HIDC_E_COMMAND: return "command report not written";
    case HIDC_E_DATA: return "data report failed";
    case HIDC_E_REPLY: return "reply missing, invalid or failed";
    default: return "unknown result";
    }
}

const char* Hidc_faultText(int fault)
{
    switch (fault) {
    case HIDC_FAULT_NONE: return N_("no fault");
    case HIDC_FAULT_NO_PORT: return N_("no device connected");
    case HIDC_FAULT_SEND: return N_("report not taken by the device");
    case HIDC_FAULT_MISSING: return N_("no reply in time");
    case HIDC_FAULT_INVALID: return N_("invalid reply");
    case HIDC_FAULT_REFUSED: return N_("the device reported failure");
    default: return N_("unknown fault");
    }
}

bool Hidc_faultRetryable(int fault)
{
    return fault == HIDC_FAULT_SEND || fault == HIDC_FAULT_MISSING || fault == HIDC_FAULT_INVALID;
}

std::string Hidc_faultCause(const HidcChannel* ch)
{
    if (!ch || !ch->port) return Hidc_faultText(HIDC_FAULT_NO_PORT);
    std::string cause = Hidc_faultText(ch->lastFault);
    // Only these faults are the transport's; a refused or garbled reply
    // crossed fine, and an older transport error would mislead.
    const char* transport = HidDevice_lastError(ch->port->device);
    if ((ch->lastFault == HIDC_FAULT_SEND || ch->lastFault == HIDC_FAULT_MISSING) && transport[0])
        cause += std::string(" (") + transport + ")";
    return cause;
}

bool Hidc_deviceGone(const HidcChannel* ch) { return ch && ch->port && HidDevice_gone(ch->port->device); }

HidcPort* Hidc_portFromDevice(HidDevice* device)
{
    if (!device) return nullptr;
    auto* port = new (std::nothrow) HidcPort;
    if (!port) {
        HidDevice_close(device);
        return nullptr;
    }
    port->device = device;
    return port;
}

HidcPort* Hidc_openPort(const char* path) { return Hidc_portFromDevice(HidTransport_open(path)); }

void Hidc_closePort(HidcPort* port)
{
    if (!port) return;
    HidDevice_close(port->device);
    delete port;
}

int Hidc_readReport(HidcChannel* ch, uint32_t* count)
{
    if (count) *count = 0;
    if (!ch || !ch->port) return 0;
    size_t delivered = 0;
    HidIoStatus st = HidDevice_read(ch->port->device, ch->report, sizeof ch->report, timeoutOf(ch),
                                    &ch->port->cancel, &delivered);
    if (st != HID_IO_OK) return 0;
    if (count) *count = uint32_t(delivered);
    return 1;
}

int Hidc_writeReport(HidcChannel* ch, uint32_t* count)
{
    if (count) *count = 0;
    if (!ch || !ch->port) return 0;
    size_t taken = 0;
    HidIoStatus st = HidDevice_write(ch->port->device, ch->report, sizeof ch->report, timeoutOf(ch),
                                     &ch->port->cancel, &taken);
    if (st != HID_IO_OK) return 0;
    if (count) *count = uint32_t(taken);
    return 1;
}

void Hidc_buildPacket(uint8_t packet[HIDC_PACKET_SIZE], uint8_t command, uint32_t arg1, uint32_t arg2,
                      uint32_t arg3, uint32_t flag, uint32_t arg4)
{
    packet[HIDC_PKT_COMMAND] = command;
    packet[HIDC_PKT_LENGTH] = kHidcPacketLength;
    bytes::putLe32(packet + HIDC_PKT_ARG1, arg1);
    bytes::putLe32(packet + HIDC_PKT_ARG2, arg2);
    bytes::putLe32(packet + HIDC_PKT_ARG3, arg3);
    packet[HIDC_PKT_FLAG] = flag ? 1 : 0;
    bytes::putLe32(packet + HIDC_PKT_ARG4, arg4);
    bytes::putLe32(packet + HIDC_PKT_SIGNATURE, kHidcSignature);
    bytes::putLe32(packet + HIDC_PKT_SUM, bytes::sum32(packet, HIDC_PKT_SUM));
}

bool Hidc_packetValid(const uint8_t packet[HIDC_PACKET_SIZE])
{
    return packet[HIDC_PKT_LENGTH] == kHidcPacketLength &&
           bytes::getLe32(packet + HIDC_PKT_SIGNATURE) == kHidcSignature &&
           bytes::getLe32(packet + HIDC_PKT_SUM) == bytes::sum32(packet, HIDC_PKT_SUM);
}

int Hidc_sendCommand(HidcChannel* ch, uint8_t command, uint32_t arg1, uint32_t arg2, uint32_t arg3, uint32_t flag,
                     uint32_t arg4)
{
    if (!ch) return 0;
    if (!ch->port) {
        ch->lastFault = HIDC_FAULT_NO_PORT;
        return 0;
    }
    ch->lastFault = HIDC_FAULT_NONE;
    uint8_t packet[HIDC_PACKET_SIZE];
    Hidc_buildPacket(packet, command, arg1, arg2, arg3, flag, arg4);
    // A reply that came too late for an earlier, failed exchange would be
    // taken as this command's reply; a new sequence starts with a clean pipe.
    HidDevice_discardPending(ch->port->device);
    fillReport(ch, packet, sizeof packet);
    if (Hidc_writeReport(ch, nullptr)) return 1;
    ch->lastFault = HIDC_FAULT_SEND;
    return 0;
}

int Hidc_readReply(HidcChannel* ch, uint8_t* packet)
{
    if (!ch) return 0;
    if (!ch->port) {
        ch->lastFault = HIDC_FAULT_NO_PORT;
        return 0;
    }
    uint32_t count = 0;
    if (!Hidc_readReport(ch, &count)) {
        ch->lastFault = HIDC_FAULT_MISSING;
        return 0;
    }
    uint8_t reply[HIDC_PACKET_SIZE] = {};
    if (count > 1) {
        uint32_t take = count - 1;
        if (take > HIDC_PACKET_SIZE) take = HIDC_PACKET_SIZE;
        std::memcpy(reply, ch->report + 1, take);
    }
    if (!Hidc_packetValid(reply)) {
        ch->lastFault = HIDC_FAULT_INVALID;
        return 0;
    }
    if (packet) std::memcpy(packet, reply, sizeof reply);
    if (ch->bootVersion >= kHidcStatusBootVersion && bytes::getLe32(reply + HIDC_PKT_ARG1) != 0) {
        ch->lastFault = HIDC_FAULT_REFUSED;
        return 0;
    }
    return 1;
}

int Hidc_erase(uint32_t address, uint32_t length, HidcChannel* ch)
{
    if (length % kHidcSector != 0) return HIDC_E_LENGTH;
    if (!Hidc_sendCommand(ch, HIDC_ERASE, address / kHidcSector, length / kHidcSector, 0, 0, 0)) return HIDC_E_COMMAND;
    return Hidc_readReply(ch, nullptr) ? HIDC_OK : HIDC_E_DATA;
}

int Hidc_read(uint32_t address, HidcChannel* ch, uint8_t* destination, uint32_t length, uint32_t readFlag)
{
    if (address % kHidcUnit != 0) return HIDC_E_ADDRESS;
    if (length % kHidcUnit != 0) return HIDC_E_LENGTH;
    if (length > 0 && !destination) return HIDC_E_DATA;
    if (!Hidc_sendCommand(ch, HIDC_READ, address / kHidcUnit, length / kHidcUnit, 0, readFlag, 0))
        return HIDC_E_COMMAND;
    notify(ch, 0, 0, length);
    uint32_t received = 0;
    while (received < length) {
        uint32_t count = 0;
        // A report without payload would never finish the phase: it fails it.
        if (!ch->port || !Hidc_readReport(ch, &count) || count < 2) {
            ch->lastFault = !ch->port ? HIDC_FAULT_NO_PORT : count == 0 ? HIDC_FAULT_MISSING : HIDC_FAULT_INVALID;
            notify(ch, 2, 0, length);
            return HIDC_E_DATA;
        }
        uint32_t take = count - 1;
        if (take > length - received) take = length - received;
        std::memcpy(destination + received, ch->report + 1, take);
        received += take;
        notify(ch, 1, take, received);
    }
    uint8_t reply[HIDC_PACKET_SIZE];
    int result = HIDC_OK;
    uint32_t endValue = 0;
    if (Hidc_readReply(ch, reply))
        endValue = bytes::getLe32(reply + HIDC_PKT_ARG2);
    else
        result = HIDC_E_REPLY;
    notify(ch, 2, endValue, length);
    return result;
}

int Hidc_write(uint32_t address, HidcChannel* ch, const uint8_t* data, uint32_t length, uint32_t arg3,
               uint32_t writeFlag, uint32_t sum)
{
    if (address % kHidcUnit != 0) return HIDC_E_ADDRESS;
    if (length % kHidcUnit != 0) return HIDC_E_LENGTH;
    if (length > 0 && !data) return HIDC_E_DATA;
    if (!Hidc_sendCommand(ch, HIDC_WRITE, address / kHidcUnit, length / kHidcUnit, arg3, writeFlag, sum))
        return HIDC_E_COMMAND;
    notify(ch, 0, 0, length);
    int result = HIDC_OK;
    uint32_t sent = 0;
    while (sent < length) {
        uint32_t chunk = length - sent;
        if (chunk > kHidcPayloadSize) chunk = kHidcPayloadSize;
        fillReport(ch, data + sent, chunk);
        uint32_t count = 0;
        if (!ch->port || !Hidc_writeReport(ch, &count) || count < 2) {
            ch->lastFault = ch->port ? HIDC_FAULT_SEND : HIDC_FAULT_NO_PORT;
            result = HIDC_E_DATA;
            break;
        }
        // A device takes whole reports; count it by the payload it accepted.
        uint32_t taken = count - 1;
        if (taken > chunk) taken = chunk;
        sent += taken;
        notify(ch, 1, taken, sent);
    }
    if (result == HIDC_OK && !Hidc_readReply(ch, nullptr)) result = HIDC_E_REPLY;
    notify(ch, 2, sent, sent);
    return result;
}

namespace {

// The one-packet commands: the fixed arguments, then the reply.
bool oneShot(HidcChannel* ch, uint8_t command, uint8_t reply[HIDC_PACKET_SIZE])
{
    return Hidc_sendCommand(ch, command, kHidcMagic1, kHidcMagic2, 0, 0, 0) && Hidc_readReply(ch, reply);
}

} // namespace

int Hidc_done(HidcChannel* ch)
{
    uint8_t reply[HIDC_PACKET_SIZE];
    return oneShot(ch, HIDC_DONE, reply) ? 1 : 0;
}

int Hidc_refuse(HidcChannel* ch)
{
    uint8_t reply[HIDC_PACKET_SIZE];
    return oneShot(ch, HIDC_REFUSE, reply) ? 1 : 0;
}

uint32_t Hidc_getBootVersion(HidcChannel* ch)
{
    uint8_t reply[HIDC_PACKET_SIZE];
    return oneShot(ch, HIDC_BOOT_VERSION, reply) ? bytes::getLe32(reply + HIDC_PKT_ARG2) : 0;
}

uint32_t Hidc_getFlashSize(HidcChannel* ch)
{
    uint8_t reply[HIDC_PACKET_SIZE];
    return oneShot(ch, HIDC_FLASH_SIZE, reply) ? bytes::getLe32(reply + HIDC_PKT_ARG2) : 0;
}

namespace {

// Lengths round up to the 256-byte unit; computed in 64 bits so a length near
// 4 GiB cannot wrap to a small buffer.
bool roundedLength(uint32_t length, uint32_t* rounded)
{
    uint64_t r = (uint64_t(length) + kHidcUnit - 1) / kHidcUnit * kHidcUnit;
    if (r > UINT32_MAX) return false;
    *rounded = uint32_t(r);
    return true;
}

} // namespace

int Hidc_readFlash(HidcChannel* ch, uint32_t address, uint8_t* destination, uint32_t length, uint32_t readFlag)
{
    if (ch) ch->lastFault = ch->port ? HIDC_FAULT_NONE : HIDC_FAULT_NO_PORT;
    if (!ch || !ch->port) return 0;
    if (address % kHidcUnit != 0) return 0;
    if (length > 0 && !destination) return 0;
    uint32_t rounded = 0;
    if (!roundedLength(length, &rounded)) return 0;
    std::unique_ptr<uint8_t[]> buffer;
    if (rounded > 0) {
        buffer.reset(new (std::nothrow) uint8_t[rounded]);
        if (!buffer) return 0;
    }
    if (Hidc_read(address, ch, buffer.get(), rounded, readFlag) != HIDC_OK) return 0;
    if (length > 0) std::memcpy(destination, buffer.get(), length);
    return 1;
}

int Hidc_writeFlash(HidcChannel* ch, uint32_t address, const uint8_t* data, uint32_t length, bool encoded,
                    uint32_t writeFlag)
{
    if (ch) ch->lastFault = ch->port ? HIDC_FAULT_NONE : HIDC_FAULT_NO_PORT;
    if (!data || length == 0 || !ch || !ch->port) return 0;
    if (address % kHidcUnit != 0) return 0;
    uint32_t rounded = 0;
    if (!roundedLength(length, &rounded)) return 0;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[rounded]);
    if (!buffer) return 0;
    uint8_t* buf = buffer.get();
    std::memcpy(buf, data, length);
    uint32_t fill = rounded - length;
    std::memset(buf + length, 0xFF, fill);
    uint32_t sum;
    if (encoded) {
        // The device checks the sum of what it will store, the decoded bytes;
        // decode a copy for the sum and send the data as given.
        ZR_rollingXorFromStart(length, buf);
        sum = bytes::sum32(buf, length) + 255u * fill;
        std::memcpy(buf, data, length);
    } else {
        sum = bytes::sum32(buf, rounded);
    }
    int result = Hidc_write(address, ch, buf, rounded, encoded ? length : 0, writeFlag, sum);
    return result == HIDC_OK ? 1 : 0;
}
