// The machine layer: the record of the one connected device (what it reports
// about itself over the command channel), its identification, the progress
// runs every machine operation shares, the settings image and network block,
// and the write operations that put a package into its flash.
//
// Results: 1 success / 0 failure unless a function says otherwise. Every step
// logs through ZR_log under the source name "..\common_k52\ZR_Machine".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common_k52/hidc.h"
#include "core/package.h"

// ---------------------------------------------------------------------------
// Flash map

struct ZR_FlashMap {
    uint32_t settings;   // 256-byte settings image
    uint32_t parameter;  // 768-byte parameter image: info block, network block, third part
    uint32_t client;     // 256-byte client block
    uint32_t reserved;   // first address of the laid-out data areas
};
inline constexpr ZR_FlashMap kClassicMap = {0x011000, 0x016000, 0x018000, 0x019000};
inline constexpr ZR_FlashMap k502Map = {0x019000, 0x01E000, 0x01F000, 0x021000};
inline const ZR_FlashMap& ZR_flashMap(bool is502) { return is502 ? k502Map : kClassicMap; }

inline constexpr uint32_t ZR_BOOT_ADDRESS = 0x000000;
inline constexpr uint32_t ZR_PROGRAM_FLAG_ADDRESS = 0x008000;
inline constexpr uint32_t ZR_PROGRAM_ADDRESS = 0x009000;
inline constexpr uint32_t ZR_BLOCK_MAGIC = 0x12345678;  // marks a valid block
inline constexpr uint32_t ZR_DEFAULT_FLASH_SIZE = 0x800000;

// The fixed data-area table of a device without a valid information block.
inline constexpr uint32_t ZR_FIXED_VOICE_START = 0x0DE000, ZR_FIXED_VOICE_SIZE = 0x200000;
inline constexpr uint32_t ZR_FIXED_RADAR_MUTE_START = 0x016000, ZR_FIXED_RADAR_MUTE_SIZE = 0x0C8000;
inline constexpr uint32_t ZR_FIXED_GPS_START = 0x2DE000, ZR_FIXED_GPS_SIZE = 0x522000;

// ---------------------------------------------------------------------------
// Blocks kept as the device holds them. Fields are read and written through
// the accessors in machine_blocks.h, never by casting.

inline constexpr size_t ZR_INFO_BLOCK_SIZE = 231;
inline constexpr size_t ZR_NET_BLOCK_SIZE = 178;
inline constexpr size_t ZR_SETTINGS_IMAGE_SIZE = 256;
inline constexpr size_t ZR_CLIENT_BLOCK_SIZE = 256;
inline constexpr size_t ZR_PARAM_IMAGE_SIZE = 768;
inline constexpr size_t ZR_THIRD_PART_SIZE = 256;

struct ZR_InfoBlock {
    uint8_t bytes[ZR_INFO_BLOCK_SIZE];
};
struct ZR_NetBlock {
    uint8_t bytes[ZR_NET_BLOCK_SIZE];
};
struct ZR_SettingsImage {
    uint8_t bytes[ZR_SETTINGS_IMAGE_SIZE];
};

// Offsets of the information block's fields.
enum : size_t {
    ZR_INFO_MAIN_SETTING_VERSION = 0,
    ZR_INFO_BOARD_NAME = 4,
    ZR_INFO_PROGRAM_VERSION = 8,
    ZR_INFO_BYTE12 = 12,
    ZR_INFO_REQUIRED_TOOL_VERSION = 13,
    ZR_INFO_BYTE17 = 17,
    ZR_INFO_UPDATE_TOOL_PRESENT = 18,
    ZR_INFO_VOICE_SEL1 = 19,
    ZR_INFO_BYTE20 = 20,
    ZR_INFO_GPS_SEL1 = 21,
    ZR_INFO_VOICE_SEL2 = 22,
    ZR_INFO_GPS_SEL2 = 23,
    ZR_INFO_VOICE_SEL3 = 24,
    ZR_INFO_AREA_PLAIN = 25,
    ZR_INFO_FLASH_SIZE = 59,
    ZR_INFO_SERVER_START = 63,
    ZR_INFO_SERVER_SIZE = 67,
    ZR_INFO_UPDATE_TOOL_START = 71,
    ZR_INFO_UPDATE_TOOL_SIZE = 75,
    ZR_INFO_VOICE_START = 79,
    ZR_INFO_VOICE_SIZE = 83,
    ZR_INFO_RADAR_MUTE_START = 87,
    ZR_INFO_RADAR_MUTE_SIZE = 91,
    ZR_INFO_GPS_START = 95,
    ZR_INFO_GPS_SIZE = 99,
    ZR_INFO_RESERVED_START = 103,
    ZR_INFO_RESERVED_SIZE = 107,
    ZR_INFO_AREA_END = 111,
    ZR_INFO_TRACK_START = 115,
    ZR_INFO_TRACK_SIZE = 119,
    ZR_INFO_OLED_START = 123,
    ZR_INFO_OLED_SIZE = 127,
    ZR_INFO_MAGIC = 227,
};

// ---------------------------------------------------------------------------
// The machine record

struct ZR_Machine;

// (user, client block of 256 bytes) → non-zero accepts the device.
typedef int (*ZR_MachineAcceptFn)(void* user, const uint8_t* clientBlock);
// (user, record, phase, value, start tick): phase 0 a run begins (value 10000),
// 1 progress in 1/10000, 3 the caption changed (value 10000).
typedef void (*ZR_MachineProgressFn)(void* user, ZR_Machine* machine, uint32_t phase, uint32_t value,
                                     uint32_t startTick);

enum : uint32_t {
    ZR_PROGRESS_NONE = 0,     // transfers report nothing
    ZR_PROGRESS_SELF = 1,     // every transfer is a run of its own
    ZR_PROGRESS_CALLER = 2,   // transfers add to the caller's run
};

// Blocks identification read as the device holds them (ZR_Machine::readOk).
// A block whose flag is clear holds a default, and is never written back.
inline constexpr uint32_t ZR_READ_PARAM = 1u << 0;     // every parameter copy looked at, with the valid one's third part
inline constexpr uint32_t ZR_READ_NET = 1u << 1;       // the network block (or the device has no place for one)
inline constexpr uint32_t ZR_READ_SETTINGS = 1u << 2;  // the settings image
inline constexpr uint32_t ZR_READ_CLIENT = 1u << 3;    // the client block

struct ZR_ProgressRun {
    uint32_t total;       // bytes in the run
    uint32_t done;        // bytes so far
    uint32_t lastReport;  // bytes at the last report
    uint32_t lastValue;   // last reported value in 1/10000
    uint32_t startTick;   // ms tick at the start of the run
};

struct ZR_Machine {
    std::atomic<int32_t> refCount;       // changed atomically
    HidcChannel* channel;                // owned; null only when it could not be allocated
    int32_t is502;                       // 1: valid information block found at 0x01E000
    uint32_t bootVersion;                // as last identified
    uint32_t flashSize;                  // bytes
    ZR_InfoBlock info;                   // information block (zero when none was valid)
    ZR_NetBlock net;                     // network block (zero when none was valid)
    ZR_SettingsImage settings;           // settings image as read
    int32_t layoutVersion;               // 1 to 5, 0 (settings-less client), -1 unknown
    uint8_t client[ZR_CLIENT_BLOCK_SIZE];       // client block (0xFF when unread)
    uint8_t thirdPart[ZR_THIRD_PART_SIZE];      // third part of the parameter image, written back unchanged
    ZR_MachineAcceptFn accept;           // may be null
    void* acceptUser;
    char caption[256];                   // caption of the current operation
    ZR_MachineProgressFn progress;       // may be null
    void* progressUser;
    uint32_t progressMode;               // ZR_PROGRESS_*
    ZR_ProgressRun run;
    ZR_Date voiceDate;                   // dates of the data images, zero when unknown
    ZR_Date radarMuteDate;
    ZR_Date gpsDate;
    int32_t identified;                  // 1 after an identification that gave 1; plans need it
    uint32_t readOk;                     // ZR_READ_* of the last identification
    char lastError[256];                 // cause of the last failed identification, plan or write ("" none)
};

// A new record (reference count 1, a channel without a port, layout -1), or null.
ZR_Machine* ZR_Machine_create(ZR_MachineAcceptFn accept, void* acceptUser, ZR_MachineProgressFn progress,
                              void* progressUser);
// Drops a reference; the last one closes the port and frees channel and record.
void ZR_Machine_release(ZR_Machine* machine);

// Owns one reference to a machine record.
struct ZR_MachineReleaser {
    void operator()(ZR_Machine* machine) const { ZR_Machine_release(machine); }
};
using MachinePtr = std::unique_ptr<ZR_Machine, ZR_MachineReleaser>;

// Identification over the channel; 0 without record or channel, when the
// acceptance callback refused the device, or when a device that answered the
// boot-version query then failed to answer a later query or block read (each
// is asked twice when the reply is missing or garbled; lastError names the
// one that failed). A device that never answers the boot-version query is an
// old boot loader: it keeps the defaults, and blocks it did not deliver keep
// their readOk flag clear.
int ZR_Machine_identify(ZR_Machine* machine);
// The cause of the last failure ("" when none was recorded); never null.
const char* ZR_Machine_lastError(const ZR_Machine* machine);

// A board key word as its four characters; bytes outside printable ASCII
// show as '?', so that a package's table cannot put control codes on a
// terminal. "" for a key with no characters.
std::string ZR_boardKeyText(uint32_t key);
// Records the cause of a failure in lastError (cut to its size) and logs it.
void ZR_Machine_setError(ZR_Machine* machine, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Parameter image from the given (or the record's own) information block, the
// network block when given and valid, and the record's third part. 0 without
// writing when identification could not read the parameter image (its third
// part would go back as zeros), or, for the record's own information block,
// the network block.
int ZR_Machine_writeParam(const ZR_InfoBlock* info, const ZR_NetBlock* net, ZR_Machine* machine, bool is502);

// Progress runs.
void ZR_Machine_progressBegin(ZR_Machine* machine, uint32_t total);
void ZR_Machine_progressStep(ZR_Machine* machine, uint32_t bytes);
void ZR_Machine_progressEnd(ZR_Machine* machine);
void ZR_Machine_setMessage(ZR_Machine* machine, const char* caption);

// Texts (GBK).
const char* ZR_Machine_getBoardName(const ZR_Machine* machine, char* buffer, size_t size);
const char* ZR_Machine_getClientText(const ZR_Machine* machine, char buffer[100]);
// The client text of a 256-byte client block (as handed to the acceptance
// callback): up to a NUL or erased flash (0xFF 0xFF), at most 99 characters;
// buffer is zeroed first. A null block gives "".
const char* ZR_clientBlockText(const uint8_t* clientBlock, char buffer[100]);
const char* ZR_Machine_getUpdateToolText(const ZR_Machine* machine, char buffer[100]);

// The device information text file.
int ZR_Machine_dumpInfo(const ZR_Machine* machine, const char* path);

// Client table lookup: index 0 to 66, or -1.
int ZR_Machine_findClient(const char* clientText);
// Renames the device's client to the build's five-byte client name.
int ZR_Machine_setClient(ZR_Machine* machine);

// ---------------------------------------------------------------------------
// Settings

// What the configuration dialog is given. Returns the layout version; fills
// the radar state (layouts 3 to 5, else 0) and a copy of the network block
// when asked; *settings points at the record's image, whose copy is edited.
int32_t ZR_Machine_getSettingsView(ZR_Machine* machine, uint32_t* requiredToolVersion, int32_t* radarState,
                                   ZR_NetBlock* netCopy, const ZR_SettingsImage** settings);
// Writes the given (or the record's own) settings image with its sum; 0 when
// the layout has no sum rule or the write failed.
int ZR_Machine_writeMainSetting(const ZR_SettingsImage* image, ZR_Machine* machine);

// ---------------------------------------------------------------------------
// Write plan and write run

struct ZR_PlanImage {
    uint32_t address;       // flash address (data areas)
    const uint8_t* data;    // borrowed from the package
    uint32_t size;          // bytes
    uint32_t encoded;       // 1: sent in rolling-XOR form
};

struct ZR_WritePlan {
    // Inputs (the caller zeroes the record, then sets these).
    uint32_t writeBoot;
    uint32_t writeProgram;
    uint32_t writeVoice;
    uint32_t writeRadarMute;
    uint32_t writeGps;
    uint32_t writeUpdateTool;
    uint32_t writeOled;        // set by the plan from the program entry
    uint32_t resetSetting;     // cleared by the plan when there is no program entry
    uint32_t writeClientId;    // set by the caller after the plan
    uint32_t boardCode;        // four-character board key as a word; 0: the device's own board
    uint32_t provinceMode;     // non-zero: the user chose provinces
    uint32_t reservedSize;     // bytes kept free at the start of the data areas
    uint32_t layoutOnly;       // 1: choose the images and lay the areas out, change nothing on the device
    // Results of the plan.
    uint32_t target502;
    uint32_t secondVoice;
    uint32_t voice5;
    uint32_t gps2;
    uint32_t gps3;
    uint32_t voice7;
    uint32_t writeMode;        // 0: data writes carry write flag 1
    ZR_PlanImage boot;         // address unused; encoded flag, and the second transfer flag in bootWriteFlag
    uint32_t bootWriteFlag;
    ZR_PlanImage program;
    ZR_PlanImage voice;
    ZR_PlanImage radarMute;
    ZR_PlanImage updateTool;
    ZR_PlanImage oled;
    ZR_PlanImage gps;
    uint32_t neededEnd;        // does not fit: the end address the layout would need
    int32_t gpsRoom;           // does not fit: room there is for GPS data (may be negative)
    uint32_t ready;            // set by a plan that gave 0; ZR_Machine_write runs only a ready plan
    // What the plan left in the parameter sectors, for the read-back after the run.
    uint32_t paramState;       // ZR_PARAM_STATE_*
    ZR_InfoBlock paramInfo;    // ZR_PARAM_STATE_WRITTEN: the information block written
    ZR_NetBlock paramNet;      // ZR_PARAM_STATE_WRITTEN: the network block written (zero: none)
    // Read-back after the write run (machine_verify.h).
    uint32_t verifyMode;       // input: ZR_VERIFY_ENDS (0), ZR_VERIFY_FULL or ZR_VERIFY_OFF
    char verifyCause[256];     // result: what did not read back, "" when all did
};

enum : uint32_t {
    ZR_PARAM_STATE_UNCHANGED = 0,  // the plan wrote no parameter image
    ZR_PARAM_STATE_WRITTEN = 1,    // paramInfo/paramNet written at the target map's parameter address
    ZR_PARAM_STATE_ERASED = 2,     // both parameter sectors erased (fixed layout)
};

// Plan results.
enum : int {
    ZR_PLAN_INVALID = -1,  // no record, plan or package
    ZR_PLAN_READY = 0,
    ZR_PLAN_NO_FIT = 1,
    ZR_PLAN_NO_VOICE = 2,
    ZR_PLAN_NO_GPS = 3,
    ZR_PLAN_NO_OLED = 4,
    ZR_PLAN_PARAM_FAILED = 5,
    ZR_PLAN_NO_PROGRAM = 6,
    ZR_PLAN_NO_BOOT = 7,
    ZR_PLAN_DEVICE_FAILED = 8,  // device not identified, a block it holds unread, or an erase refused (lastError)
};

// Write results.
enum : int {
    ZR_WRITE_OK = 0,
    ZR_WRITE_INVALID = -1,      // no record, plan or package, or a plan that did not give 0
    ZR_WRITE_BOOT_FAILED = -2,
    ZR_WRITE_PROGRAM_FAILED = -3,
    ZR_WRITE_VOICE_FAILED = -4,
    ZR_WRITE_RADAR_MUTE_FAILED = -5,
    ZR_WRITE_TOOL_FAILED = -6,  // update tool or OLED
    ZR_WRITE_GPS_FAILED = -7,
    ZR_WRITE_RESET_FAILED = -8,   // the settings sector erase failed (status-giving devices)
    ZR_WRITE_CLIENT_FAILED = -9,  // the client block erase or write failed (status-giving devices)
    ZR_WRITE_VERIFY_FAILED = -10, // every write was answered, but the device does not hold it (plan.verifyCause)
};

// The plan: picks the images, lays the data areas out (64-bit arithmetic; a
// layout past the flash or past 32 bits is ZR_PLAN_NO_FIT, with neededEnd
// saturated to 0xFFFFFFFF and gpsRoom to the int32 range), and on the way to
// ZR_PLAN_READY erases and rewrites the parameter image. Fixed-layout images
// longer than their fixed area, or past the flash, are ZR_PLAN_NO_FIT too; a
// boot or program image longer than its room is ZR_PLAN_NO_BOOT /
// ZR_PLAN_NO_PROGRAM; a GPS area off the 256-byte grid is ZR_PLAN_PARAM_FAILED
// before anything is changed. Clears its own results first, so a plan record
// may be planned again. Images stay borrowed from the package. With
// layoutOnly set, ZR_PLAN_READY comes with the images and addresses chosen
// but nothing erased or written and the plan not ready to run: a caller shows
// it, then plans again without the flag to write it.
int ZR_Machine_checkParamAndMainSetting(ZR_Machine* machine, ZR_WritePlan* plan, ZR_Package* package);
// The write run of a ready plan: ZR_WRITE_OK or ZR_WRITE_* (ZR_WRITE_INVALID
// for a plan that did not give ZR_PLAN_READY). Writes the program the plan chose.
// Before the closing command it reads back what it wrote as plan->verifyMode
// asks (machine_verify.h): what does not read back gives
// ZR_WRITE_VERIFY_FAILED, with plan->verifyCause saying where.
int ZR_Machine_write(ZR_WritePlan* plan, ZR_Machine* machine, ZR_Package* package);
// The program for the record's board (flag block, then image); 1 or 0. An
// image longer than the room before the settings sector is refused unwritten.
int ZR_Machine_writeProgram(ZR_Machine* machine, ZR_Package* package, bool ownProgressRun);
// The package's boot image at 0; 1 or 0 (0 too for an image over 0x8000 bytes).
int ZR_Machine_writeBoot(ZR_Package* package, ZR_Machine* machine);
