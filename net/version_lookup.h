// The version lookup: on every connection refresh of a connected device
// without a chosen local package, the main window fetches the client's small
// version file from the update server, which names the newest data version and
// the package's address (simple form) or a list of packages (list form).
//
// CVersionLookup holds the main window's lookup fields and runs the start, the
// finish and the parsing against a narrow view of the window, so the same code
// serves the window, the terminal front end and tests.
//
// The main window's side (window thread):
//   RefreshConnection, connected, no local package:  lookup.Start();
//   WM_DOWNLOAD_DONE with result wParam:
//       lookup.downloadMode == 1:  lookup.Finish(result);
//       otherwise (a package):     downloader.Stop(), enable 1006, then by result
//                                  (6 nothing, 0 final progress text, else the error text);
//       in both cases, last:       downloader.DoneHandled();
//   WM_DOWNLOAD_PROGRESS:                            nothing while lookup.downloadMode == 1;
//   whether 1002 may be enabled:                     lookup.HasPackageChoice();
//   the update workflow reads lookup.listMode, lookup.networkVersion and lookup.packageAddress.
#pragma once

#include <string>

#include "core/run_folder.h"
#include <vector>

#include "net/http_download.h"
#include "net/message_sink.h"

// Control ids the lookup touches.
inline constexpr int VERSION_LOOKUP_UPDATE_BUTTON = 1002;
inline constexpr int VERSION_LOOKUP_OPEN_BUTTON = 1006;

// Status texts of control 1032, GBK.
extern const char* const kVersionLookupBusyText;   // "正在获取网络版本，请稍候..."
extern const char* const kVersionLookupFailedText; // "获取版本失败！请使用本地文件更新！"
extern const char* const kVersionLookupVersionText; // "网络版本号：", followed by the number

// One record of the list form (1124 bytes).
struct _LuanguageInfo {
    char name[512];    // first field, at most 511 characters, zero-terminated
    char version[100]; // second field, at most 99 characters
    char address[512]; // third field, at most 511 characters
};
static_assert(sizeof(_LuanguageInfo) == 1124);

// What the lookup needs of the main window. Called on the thread that calls
// Start, Finish or Parse: the window thread, or for Start the worker of the
// delayed connect, which runs the connection refresh too.
class VersionLookupWindow {
public:
    virtual ~VersionLookupWindow() = default;
    // The status line (control 1032); text is GBK.
    virtual void setStatusText(const char* text) = 0;
    // Enables or disables a button by id (1002 update, 1006 open).
    virtual void enableControl(int id, bool enable) = 0;
    // A device is connected (machine record with an open channel).
    virtual bool isDeviceConnected() = 0;
};

// The version-file address of a client on host: "http://<host>/UserFiles/File/<file>";
// a blank client name (empty or blanks only) selects "testNet.txt". Empty when
// the client has no entry in the build's table.
std::string VersionLookup_addressFor(const char* clientName, const char* host);

class CVersionLookup {
public:
    // window receives status texts and button states; downloader fetches the
    // file and posts its messages to sink (the window's queue). All three are
    // the caller's and must outlive this object.
    CVersionLookup(VersionLookupWindow* window, CHttpDownload* downloader, MessageSink* sink);

    // The main window's lookup fields.
    std::string versionFileAddress;          // empty: the build has none
    int downloadMode = 0;                    // 1 while the version file is being fetched
    int networkVersion = 0;                  // the simple form's number; -1 after a failed lookup
    std::string packageAddress;              // the simple form's second line
    int listMode = 0;                        // 0 simple form, 1 list form
    std::vector<_LuanguageInfo> languageList; // the list form's records
    // Why the last lookup failed, with the address ("GET http://…: HTTP 404",
    // "the version file http://… is not one: ..."); empty after one that worked.
    std::string lastError;
    bool lastFetchFailed = false;            // that failure was the fetch itself (address, network, server)

    // Build configuration, open for tests and other front ends.
    std::string clientName;  // TESSALY_CLIENT
    std::string updateHost;  // TESSALY_UPDATE_HOST
    std::string tempFile;    // where the file is fetched to; empty: "Tmp" in a private run folder
    std::string addressOverride; // a version file named by the user (terminal --version-url); empty: the build's

    // When a device is connected, sets versionFileAddress from the table; else
    // leaves it as it is.
    void ChooseAddress();

    // Starts fetching the version file on the downloader's own thread: status
    // "正在获取网络版本，请稍候...", download mode 1, open button disabled until
    // Finish. 1 when started; 0 when there is no address (nothing shown) or the
    // downloader could not start (its text in the status line, download mode 0,
    // open button enabled).
    int Start();

    // The window's WM_DOWNLOAD_DONE while downloadMode is 1. Stops the
    // downloader and enables the open button. Result 6 changes nothing more;
    // another failure gives network version -1 and the failure text; 0 parses
    // the file and, when that works and a device is connected, enables the
    // update button if the file named a package. A file in the list form
    // without a single record is no version file: it fails like one that did
    // not come, so the status never stays on "busy".
    void Finish(int result);

    // Reads the version file at path. 1 when it was read (the file is then
    // deleted; the simple form shows "网络版本号：<n>"); 0 when it cannot be
    // opened, or in the simple form when either line is empty (network version
    // -1, failure text; the file is left).
    int Parse(const char* path);

    // 1 when the last lookup named a package: a package address in the simple
    // form, a non-empty list in the list form.
    int HasPackageChoice() const;

    // The file Start fetches into (empty before Start when tempFile is empty).
    std::string TempFilePath() const;

private:
    // Makes the run folder and its empty "Tmp" unless tempFile names the file;
    // false when that cannot be done.
    bool PrepareTempFile();

    // The lookup's own folder for "Tmp", made by Start and removed by Finish,
    // whatever the file held.
    ZR_RunFolderPtr folder_;
    std::string fetchPath_;

    VersionLookupWindow* window_;
    CHttpDownload* downloader_;
    MessageSink* sink_;
};
