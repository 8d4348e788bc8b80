#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace test_support {

TempDir::TempDir(std::string_view prefix) : TempDir(prefix, fs::temp_directory_path()) {}

TempDir::TempDir(std::string_view prefix, const fs::path& parent)
{
    std::string pattern = (parent / (std::string(prefix) + "XXXXXX")).string();
    if (mkdtemp(pattern.data())) {
        path_ = pattern;
        text_ = pattern;
    }
    EXPECT_TRUE(ok()) << "mkdtemp " << pattern << " failed";
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (ok()) fs::remove_all(path_, ignored);
}

std::string TempDir::operator/(std::string_view relative) const { return (path_ / relative).string(); }

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeFile(const fs::path& path, std::string_view data)
{
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
    out.close();
    EXPECT_TRUE(out.good()) << "cannot write " << path;
    return out.good();
}

bool writeFile(const fs::path& path, const Bytes& data)
{
    return writeFile(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

} // namespace test_support
