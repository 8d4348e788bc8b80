#include "core/version.h"

#ifndef TESSALY_CLIENT
#define TESSALY_CLIENT ""
#endif

std::string ZR_versionLine(const char* program)
{
    std::string line = program && *program ? program : "tessaly";
    line += ' ';
    line += ZR_RELEASE_VERSION;
    line += " (tool " + std::to_string(ZR_TOOL_NUMBER);
    const std::string client = TESSALY_CLIENT;
    if (!client.empty()) line += ", client " + client;
    line += ')';
    return line;
}
