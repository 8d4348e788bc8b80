// The two hidden service commands of the main window: the connected device's
// description to a text file (command 10000) and its server-data area to a
// binary file (command 10001). Nothing in the window leads to them; they
// arrive as WM_SYSCOMMAND (10000 also as WM_COMMAND) from outside.
//
// Both run on the window thread and block it while they read the device; both
// only read the device. Progress of the area read reaches the progress bar
// through the machine record's progress callback.
#pragma once

#include "common_k52/machine.h"
#include "ui/dialog_host.h"

inline constexpr unsigned SERVICE_DEVICE_INFO = 10000;
inline constexpr unsigned SERVICE_SERVER_IMAGE = 10001;

// Texts, GBK.
extern const char* const kServiceWriteOk;      // "Write Ok!"
extern const char* const kServiceWriteError;   // "Write Error!"
extern const char* const kServiceOkCaption;    // "Tips"
extern const char* const kServiceLoadCaption;  // "Load " (the progress caption during the read)
extern const char* const kServiceOutOfMemory;  // "out memory！"
extern const char* const kServiceReadFail;     // "read fail！"
extern const char* const kServiceOpenFail;     // "open file fail！"

// connected: the window's "machine record with an open port" test.

// Asks for a .txt path and writes ZR_Machine_dumpInfo there. "   未连接硬件！"
// without a device; "Write Ok!" or "Write Error!" (both with the error icon,
// no caption) after the dump; nothing when the dialog is cancelled.
void ServiceTools_deviceInfo(DialogHost& host, ZR_Machine* machine, bool connected);

// Asks for a .bin path and writes the server-data area there, exactly its
// size in device order. The area comes from the device's information block:
// it is read only when it lies wholly inside the device's flash (a size of 0
// or an area past the flash is "out memory！"), in 256-byte blocks with the
// last, partial block read as well. "Write Ok!" (caption "Tips", no icon) on
// success; "Write Error!" (error icon) after a failed read or file.
void ServiceTools_serverImage(DialogHost& host, ZR_Machine* machine, bool connected);

// The server area as the command would read it: start and size from the
// information block, checked against the flash size. 1 when it can be read.
int ServiceTools_serverArea(const ZR_Machine* machine, uint32_t* start, uint32_t* size);
