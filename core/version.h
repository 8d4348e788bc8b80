// The program's version as every front end reports it: the release, the tool
// number the devices check their settings against, and the client the build
// serves.
#pragma once

#include <string>

// The release the about box shows.
inline constexpr const char* ZR_RELEASE_VERSION = "2.0";
// The tool number: a device whose settings need a newer one refuses them.
inline constexpr int ZR_TOOL_NUMBER = 425;

// One line for `--version`: "<program> 2.0 (tool 425, client <client>)", the
// client from the build (TESSALY_CLIENT); without a client name the part
// after the tool number is left out. A null or empty program gives "tessaly".
std::string ZR_versionLine(const char* program);
