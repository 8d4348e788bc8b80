// Read-back after a write run: the device's "success" only says it took the
// reports; boot loaders before 1046 do not even say that. Reading back what
// the run wrote is the one way to know the device holds it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common_k52/machine.h"
#include "core/package.h"

// How much a write run reads back (ZR_WritePlan::verifyMode).
enum : uint32_t {
    // The blocks the device starts from (program flag block, parameter image,
    // client block when written, the reset settings sector) whole, and the
    // first and last 256 bytes of every written image: a refused or
    // misplaced write shows at its ends, for a few hundred reports.
    ZR_VERIFY_ENDS = 0,
    ZR_VERIFY_FULL = 1,  // every byte the run wrote
    ZR_VERIFY_OFF = 2,   // nothing
};

// Caption of the read-back's progress run (GBK), so that a window can show
// its own text for this phase: "校验".
inline constexpr const char* ZR_VERIFY_CAPTION = "\xD0\xA3\xD1\xE9" /* 校验 */;

// Reads back what a ready plan and its write run put into the device and
// compares it with what the device must now hold (encoded images in their
// decoded form, every image padded with 0xFF to 256 bytes). Runs its own
// progress run under ZR_VERIFY_CAPTION. Gives 1 when everything read back as
// expected (or mode is ZR_VERIFY_OFF); 0 on the first difference or failed
// read, with the area, its address and what differed in cause (ASCII, always
// terminated when n > 0; "" on success). Sends nothing but reads.
int ZR_Machine_verify(ZR_Machine* machine, const ZR_WritePlan* plan, const ZR_Package* package, uint32_t mode,
                      char* cause, size_t n);

// The same after ZR_Machine_writeProgram: the flag block and the program
// image for the record's board. 0 (with a cause) when there is no such image.
int ZR_Machine_verifyProgram(ZR_Machine* machine, ZR_Package* package, uint32_t mode, char* cause, size_t n);
