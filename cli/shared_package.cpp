#include "cli/shared_package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/strings.h"
#include "core/package.h"
#include "core/run_folder.h"
#include "core/stream.h"
#include "net/version_lookup.h"
#include "platform/http_client.h"
#include "platform/translate_marks.h"

namespace {

// Bounds on what the server may hand us.
constexpr size_t kVersionFileLimit = 64 * 1024;
constexpr int64_t kPackageLimit = int64_t(512) << 20;

} // namespace

bool Cli_settleLocalPackage(const std::string& file, CliSharedPackage* package, std::string* error)
{
    package->path = file;
    if (Cli_looksLikeZip(file)) {
        if (!package->unpacked.extract(file, error)) return false;
        package->path = package->unpacked.path();
    }
    if (!Cli_looksLikeContainer(package->path)) {
        *error = file + ": " + N_("not an update package (no container header)");
        return false;
    }
    return true;
}

namespace {

// One GET into a sink, bounded in size, given up when the caller says so.
class FetchHandler : public HttpHandler {
public:
    FetchHandler(int64_t limit, std::function<bool(const uint8_t*, size_t)> sink, const std::function<bool()>& keepGoing)
        : limit_(limit), sink_(std::move(sink)), keepGoing_(keepGoing)
    {
    }
    bool onHead(const HttpResponseHead& head) override
    {
        status_ = head.status;
        if (head.status != 200) return false;
        if (head.contentLength > limit_) tooLarge_ = true;
        return !tooLarge_;
    }
    bool onBody(const uint8_t* data, size_t length) override
    {
        received_ += int64_t(length);
        if (received_ > limit_) tooLarge_ = true;
        return !tooLarge_ && sink_(data, length);
    }
    bool keepGoing() override { return !keepGoing_ || keepGoing_(); }

    // "" after a whole body, else why not ("GET <url>: HTTP 404").
    std::string cause(const std::string& url, const HttpResult& result) const
    {
        if (result.outcome == HTTP_DONE) return std::string();
        std::string text = "GET " + url + ": ";
        if (keepGoing_ && !keepGoing_()) return text + N_("interrupted");
        if (status_ != 0 && status_ != 200) return text + "HTTP " + std::to_string(status_);
        if (tooLarge_) return ZR_formatString(N_("GET %s: larger than %lld bytes"), url.c_str(), (long long)limit_);
        return text + (result.message.empty() ? Http_outcomeName(result.outcome) : result.message);
    }

private:
    int64_t limit_;
    std::function<bool(const uint8_t*, size_t)> sink_;
    const std::function<bool()>& keepGoing_;
    int64_t received_ = 0;
    int status_ = 0;
    bool tooLarge_ = false;
};

std::string fetch(const std::string& url, int64_t limit, const std::function<bool(const uint8_t*, size_t)>& sink,
                  const std::function<bool()>& keepGoing)
{
    HttpRequest request;
    request.url = url;
    FetchHandler handler(limit, sink, keepGoing);
    HttpResult result = Http_get(request, &handler);
    return handler.cause(url, result);
}

} // namespace

std::string Cli_packageCacheFolder(std::string* error)
{
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::string base = xdg && xdg[0] == '/' ? xdg : home && home[0] == '/' ? std::string(home) + "/.cache" : "";
    if (base.empty()) {
        *error = N_("no cache folder: neither XDG_CACHE_HOME nor HOME is set");
        return std::string();
    }
    std::error_code ec;
    std::filesystem::create_directories(base, ec);
    const std::string dir = base + "/tessaly";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = ZR_formatString(N_("cannot create %s: %s"), dir.c_str(), std::strerror(errno));
        return std::string();
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        *error = ZR_formatString(N_("%s is not a folder of this user"), dir.c_str());
        return std::string();
    }
    return dir;
}

std::string Cli_cachedPackageName(int version, const std::string& address)
{
    std::string file = address.substr(address.find_last_of('/') + 1);
    file = file.substr(0, file.find_first_of("?#"));
    std::string safe;
    for (char c : file)
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') safe += c;
    if (safe.empty() || safe[0] == '.') safe = "package" + safe;
    return std::to_string(version) + "-" + safe.substr(0, 100);
}

namespace {

// A regular file of ours, not a link.
bool ownFile(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid();
}

// Downloads the package into the cache under a name of its own, checks it and
// only then gives it its cached name, so a broken download is never reused.
bool downloadInto(const std::string& url, const std::string& cached, const std::function<bool()>& keepGoing,
                  std::string* error)
{
    const std::string part = cached + ".part-" + std::to_string(getpid());
    unlink(part.c_str());
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = ZR_formatString(N_("cannot create %s: %s"), part.c_str(), std::strerror(errno));
        return false;
    }
    bool written = true;
    *error = fetch(url, kPackageLimit, [&](const uint8_t* data, size_t length) {
        while (length > 0) {
            ssize_t n = write(fd, data, length);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return written = false;
            data += n;
            length -= size_t(n);
        }
        return true;
    }, keepGoing);
    if (close(fd) != 0 || !written) *error = ZR_formatString(N_("cannot write %s: %s"), part.c_str(), std::strerror(errno));
    if (error->empty() && !Cli_looksLikeZip(part) && !Cli_looksLikeContainer(part))
        *error = url + ": " + N_("not an update package (neither a zip archive nor a container)");
    if (error->empty() && rename(part.c_str(), cached.c_str()) != 0)
        *error = ZR_formatString(N_("cannot store %s: %s"), cached.c_str(), std::strerror(errno));
    if (!error->empty()) unlink(part.c_str());
    return error->empty();
}

} // namespace

bool Cli_settleServerPackage(const std::string& url, const std::function<bool()>& keepGoing,
                             CliSharedPackage* package, std::string* error)
{
    std::string text;
    *error = fetch(url, int64_t(kVersionFileLimit), [&](const uint8_t* data, size_t length) {
        text.append(reinterpret_cast<const char*>(data), length);
        return true;
    }, keepGoing);
    if (!error->empty()) return false;

    // The lookup's own parser reads it from a file of the run's.
    ZR_RunFolderPtr folder(ZR_RunFolder_create());
    int fd = folder ? ZR_RunFolder_createFile(folder.get(), "version.txt") : -1;
    bool saved = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0) close(fd);
    if (!saved) {
        *error = ZR_formatString(N_("cannot keep the version file: %s"), std::strerror(errno));
        return false;
    }
    CVersionLookup lookup(nullptr, nullptr, nullptr);
    if (!lookup.Parse(ZR_RunFolder_pathOf(folder.get(), "version.txt").c_str()) || lookup.listMode ||
        lookup.networkVersion < 0 || lookup.packageAddress.empty()) {
        *error = url + ": " +
                 (lookup.listMode && !lookup.languageList.empty()
                      ? N_("the version file lists several packages; choose one with --package")
                      : N_("not a version file (a version number line, then the package address)"));
        return false;
    }

    std::string dir = Cli_packageCacheFolder(error);
    if (dir.empty()) return false;
    const std::string cached = dir + "/" + Cli_cachedPackageName(lookup.networkVersion, lookup.packageAddress);
    bool reused = ownFile(cached) && (Cli_looksLikeZip(cached) || Cli_looksLikeContainer(cached));
    if (!reused) {
        std::fprintf(stderr, "watch: %s\n",
                     ZR_formatString(_("downloading version %d from %s"), lookup.networkVersion,
                                lookup.packageAddress.c_str())
                         .c_str());
        if (!downloadInto(lookup.packageAddress, cached, keepGoing, error)) return false;
    }
    package->version = lookup.networkVersion;
    package->description = ZR_formatString(reused ? _("version %d, cached %s") : _("version %d, %s"), lookup.networkVersion,
                                      cached.c_str());
    return Cli_settleLocalPackage(cached, package, error);
}
