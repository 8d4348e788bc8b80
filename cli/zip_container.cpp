#include "cli/zip_container.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <unistd.h>

#include "core/extract.h"
#include "core/stream.h"
#include "core/temp_path.h"

bool Cli_looksLikeZip(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    char head[4] = {};
    in.read(head, 4);
    return in.gcount() == 4 && std::memcmp(head, "PK\x03\x04", 4) == 0;
}

CliTempContainer::~CliTempContainer()
{
    if (!path_.empty()) std::remove(path_.c_str());
}

bool CliTempContainer::extract(const std::string& archive, std::string* error)
{
    char buffer[1024];
    std::string name = "tessaly-" + command_ + "-" + std::to_string(getpid()) + ".dzr";
    ZR_tempPath(buffer, name.c_str());
    path_ = buffer;
    ZR_Stream* sink = ZR_Stream_openFile(path_.c_str(), ZR_STREAM_WRITE);
    if (!sink) {
        *error = "cannot create " + path_;
        path_.clear();
        return false;
    }
    int ok = ZR_extractContainer(archive.c_str(), nullptr, nullptr, sink);
    ZR_Stream_release(sink);
    if (!ok) *error = "the archive is damaged or cannot be read";
    return ok;
}
