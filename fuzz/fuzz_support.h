// Shared by the fuzz targets: the switch for the properties that today's code
// may still break, so a corpus can be grown while a fix is pending.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

// On unless TESSALY_FUZZ_PROPERTIES is set to "0". Sanitizer findings and the
// basic consistency checks stay on either way.
inline bool propertiesOn()
{
    static const bool on = [] {
        const char* v = std::getenv("TESSALY_FUZZ_PROPERTIES");
        return !(v && std::strcmp(v, "0") == 0);
    }();
    return on;
}

// A broken property: named on stderr, then a crash the fuzzer records.
[[noreturn]] inline void violation(const char* what)
{
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

} // namespace fuzz
