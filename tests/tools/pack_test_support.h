// Shared helpers of the container builder tests: a scratch folder, file
// I/O and loading built containers back through the product's loader.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/package.h"
#include "tools/container_builder.h"

namespace pack_test {

using Bytes = std::vector<uint8_t>;

inline Bytes randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes v(n);
    for (uint8_t& b : v) b = uint8_t(rng());
    return v;
}

inline Bytes readFile(const std::filesystem::path& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const Bytes& data)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

inline void writeText(const std::filesystem::path& path, const std::string& text)
{
    writeFile(path, Bytes(text.begin(), text.end()));
}

// A fresh folder under the system's temporary folder, removed with its
// content at the end of the test.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessaly-pack-XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline PackagePtr loadFile(const std::string& path) { return PackagePtr(ZR_Package_load(path.c_str())); }

// Builds the ContainerSpec (the build must succeed), writes it to dir/name and loads it.
inline PackagePtr buildAndLoad(const ContainerSpec& spec, const TempDir& dir, Bytes* container = nullptr,
                               const std::string& name = "built.dzr")
{
    Bytes data;
    std::string error;
    EXPECT_TRUE(ContainerBuilder_build(spec, &data, &error)) << error;
    writeFile(dir.path() / name, data);
    if (container) *container = data;
    return loadFile(dir.file(name));
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
