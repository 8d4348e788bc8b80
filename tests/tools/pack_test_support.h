// Shared helpers of the container builder tests: loading built containers
// back through the product's loader, dates.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/package.h"
#include "core/stream.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"
#include "tools/container_builder.h"

namespace pack_test {

using Bytes = std::vector<uint8_t>;

using test_support::randomBytes;

using test_support::readBytes;
using test_support::TempDir;
using test_support::writeFile;

inline PackagePtr loadFile(const std::string& path) { return PackagePtr(ZR_Package_load(path.c_str())); }

// Builds the ContainerSpec (the build must succeed) and loads it from memory.
inline PackagePtr buildInMemory(const ContainerSpec& spec)
{
    Bytes data;
    std::string error;
    EXPECT_TRUE(ContainerBuilder_build(spec, &data, &error)) << error;
    ZR_Stream* stream = ZR_Stream_openMemory(data.data(), uint32_t(data.size()));
    ZR_Stream_seekTo(stream, uint32_t(data.size()));
    PackagePtr package(ZR_Package_loadFromStream(stream));
    ZR_Stream_release(stream);
    EXPECT_TRUE(package);
    return package;
}

// Builds the ContainerSpec (the build must succeed), writes it to dir/name and loads it.
inline PackagePtr buildAndLoad(const ContainerSpec& spec, const TempDir& dir, Bytes* container = nullptr,
                               const std::string& name = "built.dzr")
{
    Bytes data;
    std::string error;
    EXPECT_TRUE(ContainerBuilder_build(spec, &data, &error)) << error;
    writeFile(dir.path() / name, data);
    if (container) *container = data;
    return loadFile(dir / name);
}

inline Bytes slotBytes(const uint8_t* buffer, uint32_t size)
{
    return buffer ? Bytes(buffer, buffer + size) : Bytes();
}

inline ZR_Date dateOf(uint32_t seconds)
{
    ZR_Date d{};
    ZR_secondsToDate(seconds, &d);
    return d;
}

inline void expectDate(const ZR_Date& actual, int year, int month, int day)
{
    EXPECT_EQ(actual.year, year);
    EXPECT_EQ(actual.month, month);
    EXPECT_EQ(actual.day, day);
}

inline bool sameDate(const ZR_Date& a, const ZR_Date& b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second;
}

} // namespace pack_test
