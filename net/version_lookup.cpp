#include "net/version_lookup.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/run_folder.h"
#include "core/stream.h"
#include "core/strings.h"
#include "platform/translate_marks.h"

const char* const kVersionLookupBusyText =
    "\xD5\xFD\xD4\xDA\xBB\xF1\xC8\xA1\xCD\xF8\xC2\xE7\xB0\xE6\xB1\xBE\xA3\xAC\xC7\xEB\xC9\xD4\xBA\xF2..."; // 正在获取网络版本，请稍候...
const char* const kVersionLookupFailedText =
    "\xBB\xF1\xC8\xA1\xB0\xE6\xB1\xBE\xCA\xA7\xB0\xDC\xA3\xA1"
    "\xC7\xEB\xCA\xB9\xD3\xC3\xB1\xBE\xB5\xD8\xCE\xC4\xBC\xFE\xB8\xFC\xD0\xC2\xA3\xA1"; // 获取版本失败！请使用本地文件更新！
const char* const kVersionLookupVersionText = "\xCD\xF8\xC2\xE7\xB0\xE6\xB1\xBE\xBA\xC5\xA3\xBA"; // 网络版本号：

namespace {

// Line buffers of the version file: the first line (and every list line), and
// the simple form's package address.
constexpr uint32_t kLineCapacity = 1024;
constexpr uint32_t kAddressCapacity = 260;
// The version number is read from at most this many characters of line 1.
constexpr int kVersionDigits = 259;
// The version file's name inside the lookup's run folder.
constexpr const char* kTempName = "Tmp";

// Version files on the update server, by build client name. The blank name
// (no client) reads the server's test file.
struct VersionFileEntry {
    const char* client;
    const char* file;
};
constexpr VersionFileEntry kVersionFiles[] = {
    {"Halcyon Path", "HalcyonPath.txt"},
    {"", "testNet.txt"},
};

// The start of a line of the fetched file as it may be shown: printable
// ASCII only, cut short.
std::string shownLine(const char* line)
{
    constexpr size_t kShown = 40;
    std::string text;
    for (size_t i = 0; line[i] && line[i] != '\r' && line[i] != '\n'; ++i) {
        if (text.size() == kShown) {
            text += "...";
            break;
        }
        unsigned char c = static_cast<unsigned char>(line[i]);
        text += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
    }
    return text;
}

std::string_view trimmed(const char* text)
{
    std::string_view s(text ? text : "");
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// A field of a list line into its fixed buffer. An empty field stays empty:
// ZR_strCopy takes a length of 0 as "the whole source".
void copyField(char* buffer, int capacity, const char* start, int length)
{
    if (length <= 0) {
        std::memset(buffer, 0, size_t(capacity));
        return;
    }
    ZR_strCopy(capacity, start, buffer, length);
}

} // namespace

std::string VersionLookup_addressFor(const char* clientName, const char* host)
{
    std::string_view client = trimmed(clientName);
    for (const VersionFileEntry& e : kVersionFiles)
        if (client == e.client)
            return "http://" + std::string(host ? host : "") + "/UserFiles/File/" + e.file;
    return {};
}

CVersionLookup::CVersionLookup(VersionLookupWindow* window, CHttpDownload* downloader, MessageSink* sink)
    : clientName(TESSALY_CLIENT), updateHost(TESSALY_UPDATE_HOST), window_(window), downloader_(downloader),
      sink_(sink)
{
}

std::string CVersionLookup::TempFilePath() const
{
    return tempFile.empty() ? fetchPath_ : tempFile;
}

bool CVersionLookup::PrepareTempFile()
{
    folder_.reset();
    fetchPath_.clear();
    if (!tempFile.empty())
        return true;
    folder_.reset(ZR_RunFolder_create());
    ZR_Stream* created = ZR_RunFolder_createStream(folder_.get(), kTempName);
    if (!created) {
        folder_.reset();
        return false;
    }
    ZR_Stream_release(created);
    fetchPath_ = ZR_RunFolder_pathOf(folder_.get(), kTempName);
    return true;
}

void CVersionLookup::ChooseAddress()
{
    if (window_ && window_->isDeviceConnected())
        versionFileAddress = addressOverride.empty() ? VersionLookup_addressFor(clientName.c_str(), updateHost.c_str())
                                                     : addressOverride;
}

int CVersionLookup::Start()
{
    ChooseAddress();
    if (versionFileAddress.empty() || !window_ || !downloader_)
        return 0;
    window_->setStatusText(kVersionLookupBusyText);
    downloadMode = 1;
    lastError.clear();
    lastFetchFailed = false;
    if (!PrepareTempFile()) {
        lastError = N_("cannot create a temporary file for the version file");
        downloadMode = 0;
        networkVersion = -1;
        window_->setStatusText(kVersionLookupFailedText);
        window_->enableControl(VERSION_LOOKUP_OPEN_BUTTON, true);
        return 0;
    }
    std::string path = TempFilePath();
    downloader_->Setup(sink_, versionFileAddress.c_str(), path.c_str());
    std::string error = downloader_->Start(0);
    if (!error.empty()) {
        lastError = ZR_formatString(N_("fetching %s: %s"), versionFileAddress.c_str(), std::string(trimmed(error.c_str())).c_str());
        lastFetchFailed = true;
        downloader_->Stop();
        folder_.reset();
        downloadMode = 0;
        window_->setStatusText(error.c_str());
        window_->enableControl(VERSION_LOOKUP_OPEN_BUTTON, true);
        return 0;
    }
    window_->enableControl(VERSION_LOOKUP_OPEN_BUTTON, false);
    return 1;
}

void CVersionLookup::Finish(int result)
{
    // The folder and whatever came into it go when this returns, read or not.
    ZR_RunFolderPtr fetched = std::move(folder_);
    std::string failure = downloader_ ? downloader_->FailureText() : std::string();
    if (downloader_)
        downloader_->Stop();
    if (window_)
        window_->enableControl(VERSION_LOOKUP_OPEN_BUTTON, true);
    if (result == DOWNLOAD_ABORTED)
        return; // a local package was chosen meanwhile; it wins
    downloadMode = 0;
    lastFetchFailed = result != DOWNLOAD_OK;
    if (result != DOWNLOAD_OK) {
        lastError = !failure.empty() ? failure
                                     : ZR_formatString(N_("fetching %s failed (result %d)"), versionFileAddress.c_str(), result);
    }
    if (result != DOWNLOAD_OK || !Parse(TempFilePath().c_str()) || (listMode && languageList.empty())) {
        if (lastError.empty())
            lastError = ZR_formatString(N_("the version file %s is not one: its first line is neither a version number nor a list "
                                  "record"),
                               versionFileAddress.c_str());
        networkVersion = -1;
        if (window_)
            window_->setStatusText(kVersionLookupFailedText);
        return;
    }
    if (window_ && window_->isDeviceConnected() && HasPackageChoice())
        window_->enableControl(VERSION_LOOKUP_UPDATE_BUTTON, true);
}

int CVersionLookup::Parse(const char* path)
{
    StreamPtr file(ZR_Stream_openFile(path, ZR_STREAM_READ));
    if (!file) {
        lastError = ZR_formatString(N_("cannot read the fetched version file %s"), path ? path : "");
        return 0;
    }
    char line[kLineCapacity];
    ZR_Stream_readLine(line, file.get(), kLineCapacity);

    if (line[0] >= '0' && line[0] <= '9') {
        listMode = 0;
        char address[kAddressCapacity];
        ZR_Stream_readLine(address, file.get(), kAddressCapacity);
        if (line[0] == '\0' || address[0] == '\0') {
            lastError = ZR_formatString(N_("the version file %s names version %s but no package address on its second line"),
                               versionFileAddress.c_str(), shownLine(line).c_str());
            networkVersion = -1;
            if (window_)
                window_->setStatusText(kVersionLookupFailedText);
            return 0;
        }
        char number[kVersionDigits + 1];
        ZR_strCopy(int(sizeof number), line, number, kVersionDigits);
        networkVersion = ZR_parseInt(number);
        size_t n = std::strlen(address);
        if (n > 0 && (address[n - 1] == '\r' || address[n - 1] == '\n'))
            address[n - 1] = '\0';
        packageAddress = address;
    } else {
        listMode = 1;
        languageList.clear();
        lastError = line[0] == '\0'
                        ? ZR_formatString(N_("the version file %s is empty"), versionFileAddress.c_str())
                        : ZR_formatString(N_("the version file %s is not one: its first line \"%s\" is neither a version "
                                    "number nor a list record"),
                                 versionFileAddress.c_str(), shownLine(line).c_str());
        // The first line is a record like every other; an empty line ends the list.
        for (bool more = true; more && line[0] != '\0';
             more = ZR_Stream_readLine(line, file.get(), kLineCapacity) > 0) {
            const char* starts[ZR_SPLIT_MAX_FIELDS];
            int lengths[ZR_SPLIT_MAX_FIELDS];
            if (ZR_splitFields(starts, lengths, line, 0) != 3)
                continue;
            _LuanguageInfo record;
            copyField(record.name, int(sizeof record.name), starts[0], lengths[0]);
            copyField(record.version, int(sizeof record.version), starts[1], lengths[1]);
            copyField(record.address, int(sizeof record.address), starts[2], lengths[2]);
            languageList.push_back(record);
        }
    }
    file.reset();
    std::remove(path);
    // A list without a record stays a failure's cause; anything else worked.
    if (!listMode || !languageList.empty())
        lastError.clear();

    if (listMode == 0 && window_) {
        char text[64];
        ZR_format(text, int(sizeof text), "%s%d", kVersionLookupVersionText, networkVersion);
        window_->setStatusText(text);
    }
    return 1;
}

int CVersionLookup::HasPackageChoice() const { return listMode ? !languageList.empty() : !packageAddress.empty(); }
