// Build data about the clients whose devices and packages this tool knows:
// the client table that device client texts are looked up in, the client the
// build serves and the further clients it accepts, and the short name that
// renaming a device's client writes. All texts are GBK.
#pragma once

#include <cstddef>

inline constexpr int ZR_CLIENT_TABLE_COUNT = 67;
inline constexpr size_t ZR_CLIENT_NAME_SIZE = 100;  // bytes per entry, terminator included

// Devices of this client may carry no settings layout at all; identification
// then reports layout 0 instead of "unknown".
inline constexpr int ZR_CLIENT_NO_LAYOUT = 12;

// Entry 0 is 21 blanks (devices whose client block was never named).
extern const char ZR_clientTable[ZR_CLIENT_TABLE_COUNT][ZR_CLIENT_NAME_SIZE];

// The client the build serves (CMake TESSALY_CLIENT); may be blank.
const char* ZR_buildClientName();

// Clients besides the build's own whose devices this build accepts.
inline constexpr int ZR_FURTHER_ACCEPTED_COUNT = 2;
extern const char* const ZR_furtherAcceptedClients[ZR_FURTHER_ACCEPTED_COUNT];

// What ZR_Machine_setClient writes over the first five bytes of a client
// block. Exactly five bytes, no terminator.
inline constexpr size_t ZR_SET_CLIENT_NAME_SIZE = 5;
extern const char ZR_setClientName[ZR_SET_CLIENT_NAME_SIZE];
