// CTessalyDlg: the tool's main window, free of any toolkit. It owns the device
// session (the machine record), shows the connection in the title and the
// package choice in the status line, runs the update on a worker thread, and
// routes device changes, the downloader's messages and the hidden service
// commands. The Qt window, the terminal and the tests drive the same class
// through ui/dialog_host.h.
//
// Driving it from a host:
//   CTessalyDlg dlg(host, hooks);   // installs dlg.windowProc as the host's message handler
//   if (!dlg.OnInitDialog()) ...;   // the window ends (hooks.endDialog was called)
//   ... the host's loop delivers posted and sent messages to the handler on
//       its window thread, and calls the handlers below on that thread:
//       dlg.windowProc(WM_COMMAND, 1002, 0)           update ("更新")
//       dlg.windowProc(WM_COMMAND, 1006, 0)           open a package (file dialog)
//       dlg.OnDropFiles(path)                         a file dropped on the window
//       dlg.OnDeviceChange(event)                     a DeviceEvent of the host's event source
//                                                     (TessalySystemDiscovery::eventSource())
//       dlg.windowProc(WM_SYSCOMMAND, 10000/10001, 0) the service commands
//   The host's message boxes, file dialogs and the province and configuration
//   hooks are modal: they may block the window thread. singleShot is not used.
//   dlg is destroyed on the window thread; the destructor waits for a running
//   update (bounded) and uninstalls the handler, so the host drops messages
//   that are still queued for it.
//
// Threads. Every handler runs on the window thread. The update worker never
// touches the host directly: it posts WM_TESSALY_CALL and waits until the
// window thread has run the call (or the window is closing), so a host needs
// only a thread-safe postMessage and a loop that hands messages to the
// handler. The downloader posts its WM_DOWNLOAD_* messages the same way.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common_k52/discovery.h"
#include "common_k52/machine.h"
#include "core/run_folder.h"
#include "core/version.h"
#include "net/http_download.h"
#include "net/version_lookup.h"
#include "ui/config_dialog.h"
#include "ui/dialog_host.h"
#include "ui/province_model.h"

struct ZR_Thread;

// ---------------------------------------------------------------------------
// Window messages and control ids

inline constexpr unsigned WM_COMMAND = 0x0111;        // wParam: control or command id
inline constexpr unsigned WM_SYSCOMMAND = 0x0112;     // wParam: system command
inline constexpr unsigned WM_DEVICECHANGE = 0x0219;   // wParam: DeviceEventKind, lParam: const DeviceEvent*
inline constexpr unsigned WM_DROPFILES = 0x0233;      // lParam: const char* path of the first file
inline constexpr unsigned WM_SELECT_PROVINCES = 2024; // wParam: ZR_Package*, lParam: GPS room (bytes, may be < 0)
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;      // system command, compared after masking with 0xFFF0

// The window's own messages (WM_APP range, after the downloader's).
inline constexpr unsigned WM_TESSALY_CALL = 0x8000 + 0x70;         // run the oldest waiting worker call
inline constexpr unsigned WM_TESSALY_JOB = 0x8000 + 0x71;          // wParam: void (*)(void*), lParam: its argument
inline constexpr unsigned WM_TESSALY_UPDATE_ENDED = 0x8000 + 0x72; // the worker has finished

enum : int {
    IDC_CONFIGURE = 1000,
    IDC_SEND = 1002,
    IDC_OPEN = 1006,
    IDC_PROGRESS = 1007,
    IDC_CLOSE = 1008,
    IDC_GROUP_PROGRESS = 1011,
    IDC_GROUP_FILE = 1012,
    IDC_HEADER = 1031,
    IDC_STATUS = 1032,
};

inline constexpr int TESSALY_TOOL_VERSION = ZR_TOOL_NUMBER;
inline constexpr uint32_t TESSALY_WORKER_WAIT_MS = 5000; // the destructor's wait for a running update

// Texts the window and the service tools share, GBK.
extern const char* const kTessalyAppTitle;        // "数据更新服务" (title, and caption of success and question boxes)
extern const char* const kTessalyNotConnectedText; // "   未连接硬件！"

// Open-package filter of button 1006.
extern const char* const kTessalyPackageFilter;   // "Update File(*.dzr)|*.dzr|All File(*.*)|*.*||"

// ---------------------------------------------------------------------------
// Device discovery, as the window reaches it

// The default, TessalySystemDiscovery, runs the Discovery_* reactions over
// the platform's devices; tests put a simulated device behind this instead.
class TessalyDiscovery {
public:
    virtual ~TessalyDiscovery() = default;
    // Early in the initialisation; opens whatever delivers device events.
    virtual void registerNotifications() {}
    // The last step of the initialisation (Discovery_onStartup): a mode
    // switch with the connecting title and a delayed connection, or the
    // update device opened and the connection refreshed at once.
    virtual void onStartup(DiscoveryHooks* hooks) = 0;
    // A device arrived or went (Discovery_handleEvent).
    virtual void onDeviceChange(DiscoveryHooks* hooks, const DeviceEvent& event) = 0;
};

class TessalySystemDiscovery : public TessalyDiscovery {
public:
    // simDir: a simulation folder to watch as well ("" none).
    explicit TessalySystemDiscovery(std::string simDir = {});
    ~TessalySystemDiscovery() override;

    void registerNotifications() override;
    void onStartup(DiscoveryHooks* hooks) override;
    void onDeviceChange(DiscoveryHooks* hooks, const DeviceEvent& event) override;

    // The source registerNotifications opened (null before, or when none
    // could be opened). The host watches its descriptor, reads its events on
    // the window thread and hands each to CTessalyDlg::OnDeviceChange. Owned
    // here.
    DeviceEventSource* eventSource() const { return source_; }

private:
    std::string simDir_;
    DeviceEventSource* source_ = nullptr;
};

// ---------------------------------------------------------------------------
// What a host plugs in

struct TessalyDlgHooks {
    // Device discovery; null: a TessalySystemDiscovery without simulation folder.
    std::shared_ptr<TessalyDiscovery> discovery;
    // The province choice, modal on the window thread. choice arrives begun
    // (nothing checked, the room set); the hook drives it with
    // ProvinceChoice_set / _clear / _confirm and gives true when the user
    // confirmed. Empty: every request counts as cancelled.
    std::function<bool(ZR_Package* package, int32_t gpsRoom, ProvinceChoice* choice)> chooseProvinces;
    // Asked on the window thread once the update knows what it will write and
    // before anything on the device changes: the plan is laid out but not yet
    // run (null for a package holding only a program, which needs no plan).
    // false ends the run without writing and without a message box. Empty:
    // every plan goes ahead, as in the window.
    std::function<bool(ZR_Machine* machine, ZR_Package* package, const ZR_WritePlan* plan)> confirmPlan;
    // Replaces the built-in configure action (button 1000) when set.
    std::function<void(ZR_Machine* machine)> configure;
    // Shows the configuration dialog modally (see ui/config_dialog.h for what
    // a runner does) and gives its result. Empty: the configure action ends
    // after its checks as if the dialog had been cancelled.
    CConfigDialog::ModalRunner runConfigDialog;
    // The about box (system command IDM_ABOUTBOX). Empty: nothing happens.
    std::function<void()> about;
    // Ends the window with the dialog's result: HOST_IDCANCEL for the close
    // button 1008 and for a start-up that could not create the machine record.
    std::function<void(int result)> endDialog;
    // The build client name; empty: the build's own (ZR_buildClientName).
    std::string clientName;
    // How long the destructor waits for a running update before it cancels
    // the update's device transfer.
    uint32_t closeWaitMs = TESSALY_WORKER_WAIT_MS;
    // How much of the written data the update reads back (ZR_VERIFY_*; 0: the ends).
    uint32_t verifyMode = 0;
};

// ---------------------------------------------------------------------------
// Helpers of the update run, exposed for the hosts and tests

// The local file name of a downloaded package: the address after its last '/'
// or '\', so that it is a plain name inside the temporary folder whatever the
// server sent. "." and ".." and an empty name become "package".
std::string TessalyDlg_downloadFileName(const char* address);
// The file name before its last '.'; empty when it has none. A base name of
// "." or ".." is empty too, so that it never names a folder outside.
std::string TessalyDlg_baseName(const std::string& fileName);
// "<caption>已更新 <value/100>%   时间 <seconds> 秒" as the progress bar shows it.
std::string TessalyDlg_progressText(const char* caption, uint32_t value, uint32_t seconds);
// year × 10000 + month × 100 + day.
uint32_t TessalyDlg_dateNumber(const ZR_Date& date);

// What an update that failed was up against, so that a host can say what to
// do next. The window itself shows only its message.
enum class TessalyCauseKind {
    NONE,          // the last update did not fail (or none ran)
    NO_DEVICE,     // no identified device to update
    DEVICE,        // the device refused or did not answer
    DEVICE_GONE,   // the device went away in the middle
    PACKAGE,       // the package (file, download or archive) is not one this device can take
    BOARD,         // the package has no program for the device's board
    NO_FIT,        // the data does not fit and no provinces (or too many) were chosen
    NETWORK,       // the version file or the package could not be fetched
    VERSION_FILE,  // the version file came, but says nothing usable
    VERIFY,        // the writes were answered, but the device does not hold them
    STOPPED,       // the window closed during the run
};

// ---------------------------------------------------------------------------

class CTessalyDlg : private VersionLookupWindow {
public:
    // The host must outlive the dialog. Installs windowProc as the host's
    // message handler.
    CTessalyDlg(DialogHost& host, TessalyDlgHooks hooks = {});
    // Sets the closing flag, waits up to 5000 ms (hooks.closeWaitMs) for a
    // running update (then cancels its device transfer and lets it go), stops the downloader and the
    // delayed-call service, releases the machine record, uninstalls the handler.
    ~CTessalyDlg() override;
    CTessalyDlg(const CTessalyDlg&) = delete;
    CTessalyDlg& operator=(const CTessalyDlg&) = delete;

    // The initialisation: texts, buttons, machine record, device discovery.
    // 1, or 0 when the machine record could not be created ("Error" box and
    // hooks.endDialog(HOST_IDCANCEL) done).
    int OnInitDialog();

    // Every message the window handles; what a sent message gives back.
    intptr_t windowProc(unsigned message, uintptr_t wParam, intptr_t lParam);

    // Handlers (window thread).
    void OnSend();
    void OnOpenPackage();
    void OnDropFiles(const char* path);
    void OnDeviceChange(const DeviceEvent& event);
    intptr_t OnSelectProvinces(ZR_Package* package, int32_t gpsRoom);
    void OnServiceCommand(unsigned command);
    void RefreshConnection();
    // The configure action (button 1000): the checks, the dialog over copies
    // of the device's settings, then the write-back and a new identification.
    void OnConfigure();

    // The machine layer's callbacks; user is the dialog.
    static int AcceptDevice(void* user, const uint8_t* clientBlock);
    static void OnMachineProgress(void* user, ZR_Machine* machine, uint32_t phase, uint32_t value,
                                  uint32_t startTick);
    // 1 when the package's title names the build's client (a blank build
    // client accepts every package).
    int AcceptPackage(const ZR_Package* package) const;
    // The update run on the worker thread; always 0.
    static int UpdateWorker(CTessalyDlg* dlg);

    // Fails the running update's device transfer at its next report, as
    // closing the window does when the update will not end (window thread).
    // The run then ends with its write failure; the device keeps what was
    // written until then.
    void cancelTransfer();

    // The system menu's version item: the client name's first 8 bytes, "版本", 425.
    std::string SystemMenuText() const;

    // State, for hosts and tests (window thread unless noted).
    bool isConnected() const;
    bool isUpdating() const { return updating_.load(); } // any thread
    ZR_Machine* machine() const { return machine_; }
    CVersionLookup& versionLookup() { return lookup_; }
    CConfigDialog& configDialog() { return configDialog_; }
    const std::string& localPackagePath() const { return localPackagePath_; }
    int provinceAccepted() const { return provinceAccepted_; }
    // Why the last update failed its read-back (ASCII, "" otherwise); read once it ended.
    const std::string& verifyCause() const { return verifyCause_; }
    // Why the last update (or OnSend) failed, in the terms of the layer that
    // saw it ("the package has no program for board K502; it carries MVT7",
    // "GET http://…/x.zip: HTTP 404"); GBK, "" after a success. Read once the
    // update ended (isUpdating() false). The log has it too.
    const std::string& lastCause() const { return lastCause_; }
    TessalyCauseKind lastCauseKind() const { return lastCauseKind_; }

private:
    struct WindowCall;
    struct UpdateSource {
        std::string localPath;
        int listMode = 0;
        std::string packageAddress;
        std::string lookupError;   // the version lookup's cause, when it failed
        bool lookupFetchFailed = false;
    };

    // VersionLookupWindow
    void setStatusText(const char* text) override;
    void enableControl(int id, bool enable) override;
    bool isDeviceConnected() override { return isConnected(); }

    // Runs fn on the window thread and gives its result; fallback once the
    // window is closing (fn then never runs).
    intptr_t onWindow(std::function<intptr_t()> fn, intptr_t fallback = 0);
    void runWindowCall();
    void enableUpdateButtons(bool enable);
    void setProgressText(const std::string& text);
    void onDownloadDone(int result);
    void onDownloadProgress(uintptr_t rate, intptr_t received);
    void onUpdateEnded();
    void abortVersionFetch();
    const char* clientName() const;

    static void workerThread(ZR_Thread* thread, void* arg);
    // One update run: the steps below, in this order. Each step that fails
    // leaves its message in run.error and the later steps are skipped.
    struct UpdateRun;
    void runUpdate(const UpdateSource& source);
    bool obtainPackage(const UpdateSource& source, UpdateRun& run);
    bool loadPackage(UpdateRun& run);
    bool writeProgramOnly(UpdateRun& run);
    bool planWrite(UpdateRun& run);
    bool planAccepted(UpdateRun& run);
    bool confirmWrite(UpdateRun& run, const ZR_WritePlan* plan);
    bool chooseProvinces(UpdateRun& run);
    bool writeDevice(UpdateRun& run);
    void reportUpdate(UpdateRun& run);
    UpdateSource runSource_; // the running update's source
    bool downloadPackage(const std::string& address, std::string* targetPath, std::string* containerPath,
                         std::string* error, std::string* cause);
    static void extractProgress(void* user, uint32_t range, uint64_t position);
    bool throttle(bool always);

    static void discoveryRefresh(void* user);
    static void discoverySetTitle(void* user, const char* title);
    static void discoveryRunOnWindow(void* user, void (*job)(void* arg), void* arg);

    DialogHost& host_;
    TessalyDlgHooks hooks_;
    DiscoveryHooks discoveryHooks_{};

    ZR_Machine* machine_ = nullptr;
    std::string localPackagePath_;
    CHttpDownload downloader_;
    CVersionLookup lookup_;
    uint32_t downloadSize_ = 0;
    std::string downloadErrorText_;
    ZR_RunFolderPtr runFolder_; // the update run's temporary files; one run at a time
    int provinceAccepted_ = 0;
    std::string verifyCause_;
    std::string lastCause_;                 // written by the worker before updating_ drops
    TessalyCauseKind lastCauseKind_ = TessalyCauseKind::NONE;
    int provinceFlags_[PROVINCE_COUNT] = {};
    CConfigDialog configDialog_;

    // Device changes and jobs that arrive while an update owns the port.
    std::vector<DeviceEvent> deferredEvents_;
    std::vector<std::pair<void (*)(void*), void*>> deferredJobs_;

    // The worker.
    std::atomic<int> closing_{0};
    std::atomic<bool> updating_{false};
    std::mutex workerMutex_;
    std::condition_variable workerEnded_;
    ZR_Thread* worker_ = nullptr; // guarded by workerMutex_

    // Calls the worker waits for (guarded by callMutex_).
    std::mutex callMutex_;
    std::condition_variable callDone_;
    std::deque<std::shared_ptr<WindowCall>> calls_;

    // Progress throttle: the tick of the last update handed to the window.
    std::atomic<uint32_t> lastProgressTick_{0};
    std::atomic<bool> progressShown_{false};
};
