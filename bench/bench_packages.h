// Packages the benchmarks write: built once, the same for every figure.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/container_builder.h"

inline std::vector<uint8_t> Bench_randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = uint8_t(gen());
    return out;
}

// Boot, program, voice, radar mute, update tool, OLED and GPS adding up to
// total bytes (at least 1 MiB), for the 502-map board HB6T (the "502" preset) with a server and a
// track area. *imageSizes, when given, receives the seven sizes in that order.
inline ContainerSpec Bench_package(const std::string& title, uint32_t total, std::vector<uint32_t>* imageSizes = nullptr)
{
    const uint32_t boot = 0x8000, program = 0xC000, voice = total / 4, radarMute = 0x30000, tool = 0x10000,
                   oled = 0x8000;
    const uint32_t gps = total - boot - program - voice - radarMute - tool - oled;
    ContainerSpec spec;
    spec.title = title;
    spec.section(ZR_Section::boot) = ContainerBuilder_rollingForm(Bench_randomBytes(boot, 1));
    spec.section(ZR_Section::voice) = Bench_randomBytes(voice, 2);
    spec.section(ZR_Section::radarMute) = Bench_randomBytes(radarMute, 3);
    spec.section(ZR_Section::updateTool) = Bench_randomBytes(tool, 4);
    spec.section(ZR_Section::oled) = ContainerBuilder_rollingForm(Bench_randomBytes(oled, 5));
    spec.section(ZR_Section::gps) = ContainerBuilder_rollingForm(Bench_randomBytes(gps, 6));
    ProgramEntrySpec entry;
    entry.board = "HB6T";
    entry.image = ContainerBuilder_rollingForm(Bench_randomBytes(program, 7));
    entry.params[size_t(ZR_ProgramParam::altLayout)] = 1;
    entry.params[size_t(ZR_ProgramParam::serverDataSize)] = 0x2000;
    entry.params[size_t(ZR_ProgramParam::trackDataSize)] = 0x10000;
    entry.params[size_t(ZR_ProgramParam::oled)] = 1;
    spec.program = ProgramTableSpec{};
    spec.program->entries.push_back(entry);
    if (imageSizes) *imageSizes = {boot, program, voice, radarMute, tool, oled, gps};
    return spec;
}

inline ContainerSpec Bench_eightMiBPackage(const std::string& title, std::vector<uint32_t>* imageSizes = nullptr)
{
    return Bench_package(title, 8u << 20, imageSizes);
}
