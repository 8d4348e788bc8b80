#include "cli/zip_container.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/extract.h"
#include "core/package.h"
#include "core/regular_file.h"
#include "core/stream.h"
#include "platform/translate_marks.h"

namespace {
constexpr const char* kContainerName = "tmp.dzr";
}

bool Cli_looksLikeZip(const std::string& path)
{
    int fd = ZR_openRegularFile(path.c_str(), nullptr);
    if (fd < 0) return false;
    char head[4] = {};
    ssize_t got = read(fd, head, sizeof head);
    close(fd);
    return got == 4 && std::memcmp(head, "PK\x03\x04", 4) == 0;
}

bool Cli_looksLikeContainer(const std::string& path)
{
    StreamPtr stream(ZR_Stream_openFile(path.c_str(), ZR_STREAM_READ));
    ZR_PackageHeader header;
    return stream && ZR_Package_readHeader(stream.get(), &header, nullptr) == 1;
}

bool CliTempContainer::extract(const std::string& archive, std::string* error)
{
    folder_.reset(ZR_RunFolder_create());
    if (!folder_) {
        *error = std::string(_("cannot create a temporary folder: ")) + std::strerror(errno);
        return false;
    }
    ZR_Stream* sink = ZR_RunFolder_createStream(folder_.get(), kContainerName);
    if (!sink) {
        *error = std::string(_("cannot create a temporary file in ")) + ZR_RunFolder_path(folder_.get());
        folder_.reset();
        return false;
    }
    int ok = ZR_extractContainer(archive.c_str(), nullptr, nullptr, sink);
    ZR_Stream_release(sink);
    if (!ok) {
        *error = _("the archive is damaged, holds an entry too large to be a container, or cannot be read");
        folder_.reset();
        return false;
    }
    path_ = ZR_RunFolder_pathOf(folder_.get(), kContainerName);
    return true;
}
