#include "ui/tessaly_dlg.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "common_k52/client_table.h"
#include "common_k52/machine_verify.h"
#include "core/extract.h"
#include "core/log.h"
#include "core/runtime.h"
#include "core/run_folder.h"
#include "core/stream.h"
#include "core/thread.h"
#include "core/timer.h"
#include "platform/translate_marks.h"
#include "ui/service_tools.h"

#define DLG_LOG(function, ...) ZR_log("TessalyDlg", __LINE__, function, __VA_ARGS__)

const char* const kTessalyAppTitle = "\xCA\xFD\xBE\xDD\xB8\xFC\xD0\xC2\xB7\xFE\xCE\xF1"; /* 数据更新服务 */
const char* const kTessalyNotConnectedText =
    "   \xCE\xB4\xC1\xAC\xBD\xD3\xD3\xB2\xBC\xFE\xA3\xA1"; /*    未连接硬件！ */
const char* const kTessalyPackageFilter = "Update File(*.dzr)|*.dzr|All File(*.*)|*.*||";

namespace {

// A cause recorded for the terminal: a template whose "%s" take the values in
// order, so that the terminal can translate the finished text (the template
// is the catalogue's id, the values are carried over).
std::string causeText(const char* format, std::initializer_list<std::string_view> values)
{
    std::string text;
    auto value = values.begin();
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 's' && value != values.end()) {
            text += *value++;
            ++p;
        } else {
            text += *p;
        }
    }
    return text;
}

template <typename... Values>
std::string causeText(const char* format, const Values&... values)
{
    return causeText(format, {std::string_view(values)...});
}

// Window texts.
const char* const kConnectedText = "   \xC1\xAC\xBD\xD3\xB3\xC9\xB9\xA6\xA3\xA1";        /*    连接成功！ */
const char* const kCurrentVersionText = "   \xB5\xB1\xC7\xB0\xB0\xE6\xB1\xBE\xA3\xBA";  /*    当前版本： */
const char* const kUpdateText = "\xB8\xFC\xD0\xC2";                                     /* 更新 */
const char* const kConfigureText = "\xC5\xE4\xD6\xC3";                                  /* 配置 */
const char* const kOpenText = "\xB4\xF2\xBF\xAA";                                       /* 打开 */
const char* const kCloseText = "\xB9\xD8\xB1\xD5";                                      /* 关闭 */
const char* const kFileGroupText = "\xB8\xFC\xD0\xC2\xCE\xC4\xBC\xFE";                  /* 更新文件 */
const char* const kProgressGroupText = "\xB8\xFC\xD0\xC2\xBD\xF8\xB6\xC8";              /* 更新进度 */
const char* const kVersionWord = "\xB0\xE6\xB1\xBE";                                    /* 版本 */

// Update texts.
const char* const kAlreadyNewestText =
    "\xB5\xB1\xC7\xB0\xB0\xE6\xB1\xBE\xD2\xD1\xBE\xAD\xCA\xC7\xD7\xEE\xD0\xC2\xA3\xAC"
    "\xCA\xC7\xB7\xF1\xC9\xFD\xBC\xB6\xA3\xBF"; /* 当前版本已经是最新，是否升级？ */
const char* const kWrongFileText =
    "\xC7\xEB\xD1\xA1\xD4\xF1\xD5\xFD\xC8\xB7\xB5\xC4\xB8\xFC\xD0\xC2\xCE\xC4\xBC\xFE\xA3\xA1"; /* 请选择正确的更新文件！ */
const char* const kUpdatingText = "\xD5\xFD\xD4\xDA\xB8\xFC\xD0\xC2";                           /* 正在更新 */
const char* const kUnpackingText = "\xD5\xFD\xD4\xDA\xBD\xE2\xD1\xB9\xCA\xFD\xBE\xDD...";       /* 正在解压数据... */
const char* const kNoUpdateFileText =
    "\xC3\xBB\xD3\xD0\xD5\xD2\xB5\xBD\xC9\xFD\xBC\xB6\xCE\xC4\xBC\xFE\xA3\xA1"; /* 没有找到升级文件！ */
const char* const kUpdateFailedText = "\xB8\xFC\xD0\xC2\xCA\xA7\xB0\xDC\xA3\xA1"; /* 更新失败！ */
const char* const kTooLongText = "\xCA\xFD\xBE\xDD\xD2\xD1\xB3\xAC\xB9\xFD\xB3\xA4\xB6\xC8\xA3\xA1"; /* 数据已超过长度！ */
const char* const kNoVoiceText =
    "\xB3\xCC\xD0\xF2\xCA\xB9\xD3\xC3\xB2\xBB\xD1\xB9\xCB\xF5\xC9\xF9\xD2\xF4\xA3\xAC"
    "\xB5\xAB\xCA\xFD\xBE\xDD\xD6\xD0\xC3\xBB\xD3\xD0\xD5\xD2\xB5\xBD\xA3\xA1"; /* 程序使用不压缩声音，但数据中没有找到！ */
const char* const kNoOledText =
    "\xB3\xCC\xD0\xF2\xD0\xE8\xD2\xAA"
    "OLED"
    "\xCA\xFD\xBE\xDD\xA3\xAC\xB5\xAB\xCA\xFD\xBE\xDD\xD6\xD0\xC3\xBB\xD3\xD0\xD5\xD2\xB5\xBD\xA3\xA1"; /* 程序需要OLED数据，但数据中没有找到！ */
// Configure texts.
const char* const kInitialiseFirstText =
    "\xC7\xEB\xC6\xF4\xB6\xAF\xD2\xBB\xB4\xCE\xBB\xFA\xC6\xF7\xD2\xD4\xB3\xF5\xCA\xBC\xBB\xAF"
    "\xB2\xCE\xCA\xFD\xA3\xA1"; /* 请启动一次机器以初始化参数！ */
const char* const kNewerToolText =
    "\xD0\xE8\xD2\xAA\xB8\xFC\xD0\xC2\xB5\xC4\xB8\xFC\xD0\xC2\xB9\xA4\xBE\xDF\xA3\xAC"
    "\xC7\xEB\xD6\xD8\xD0\xC2\xCF\xC2\xD4\xD8\xA3\xA1\xA3\xA1"; /* 需要更新的更新工具，请重新下载！！ */
const char* const kRadarDefaultsText =
    "\xCE\xB4\xD5\xFD\xC8\xB7\xC1\xAC\xBD\xD3\xD2\xBB\xB4\xCE\xC0\xD7\xB4\xEF\xA3\xAC"
    "\xBD\xAB\xCA\xB9\xD3\xC3\xC4\xAC\xC8\xCF\xD6\xB5\xA3\xAC\xC0\xD7\xB4\xEF\xC5\xE4\xD6\xC3"
    "\xD3\xD0\xBF\xC9\xC4\xDC\xB3\xF6\xB4\xED\xA3\xA1\xC8\xB7\xC8\xCF\xC5\xE4\xD6\xC3\xA3\xBF";
/* 未正确连接一次雷达，将使用默认值，雷达配置有可能出错！确认配置？ */
const char* const kConfigDoneText = "\xC5\xE4\xD6\xC3\xB3\xC9\xB9\xA6\xA3\xA1";   /* 配置成功！ */
const char* const kConfigFailedText = "\xC5\xE4\xD6\xC3\xCA\xA7\xB0\xDC\xA3\xA1"; /* 配置失败！ */

const char* const kUpdateDoneText = "\xB8\xFC\xD0\xC2\xB3\xC9\xB9\xA6\xA3\xA1"; /* 更新成功！ */
const char* const kDownloadFailedText =
    "\xCF\xC2\xD4\xD8\xB3\xF6\xB4\xED\xA3\xAC\xC7\xEB\xCA\xB9\xD3\xC3\xB1\xBE\xB5\xD8"
    "\xCE\xC4\xBC\xFE\xB8\xFC\xD0\xC2\xA3\xA1"; /* 下载出错，请使用本地文件更新！ */

// Progress text parts.
const char* const kUpdatedWord = "\xD2\xD1\xB8\xFC\xD0\xC2"; /* 已更新 */
const char* const kTimeWord = "\xCA\xB1\xBC\xE4";            /* 时间 */
const char* const kSecondsWord = "\xC3\xEB";                 /* 秒 */
const char* const kVerifyingText = "\xD5\xFD\xD4\xDA\xD0\xA3\xD1\xE9"; /* 正在校验 */

constexpr uint32_t kFullScale = 10000;
constexpr uint32_t kProgressIntervalMs = 50;   // at most 20 progress updates a second reach the window
constexpr int32_t kDoneHandledWaitMs = 10000;  // the worker's wait for the window's download handling
constexpr int32_t kDoneHandledSliceMs = 100;   // ... checked for closing this often
constexpr uint32_t kCancelledWorkerWaitMs = 2000; // after cancelling its transfer, before letting it go
constexpr size_t kPathCapacity = 1024;         // path buffers of the run: at most 1023 characters
constexpr const char* kContainerName = "tmp.dzr";
constexpr uint32_t kAssembledHeaderSize = 16;   // the assembled GPS image's header, before its records
constexpr const char* kFallbackFileName = "package";

bool blankName(const char* name)
{
    for (const char* p = name; *p; ++p)
        if (*p != ' ') return false;
    return true;
}

bool beginsWith(const char* text, size_t textSize, const char* prefix)
{
    size_t n = std::strlen(prefix);
    return n <= textSize && std::strncmp(text, prefix, n) == 0;
}

std::string lowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

// The text after the last '.', or the whole text when there is none.
std::string extensionOf(const std::string& path)
{
    size_t dot = path.rfind('.');
    return lowerAscii(dot == std::string::npos ? path : path.substr(dot + 1));
}

std::string cutPath(std::string path)
{
    if (path.size() > kPathCapacity - 1) path.resize(kPathCapacity - 1);
    return path;
}


bool sectionEmpty(const ZR_SectionSlot& slot) { return slot.size == 0; }

// One program image and nothing else the device would need a plan for.
bool programOnly(const ZR_Package& p)
{
    return p.program.count == 1 && p.boot.size == 0 && sectionEmpty(p.radarMute) && sectionEmpty(p.gps) &&
           sectionEmpty(p.voice) && sectionEmpty(p.voice2) && sectionEmpty(p.updateTool) &&
           p.gpsProvinceItems.size == 0 && p.gpsProvinceItems.count == 0 && sectionEmpty(p.voice3) &&
           sectionEmpty(p.voice4) && sectionEmpty(p.voice5) && sectionEmpty(p.voice6) && sectionEmpty(p.gps2);
}

} // namespace

// ---------------------------------------------------------------------------
// Helpers

std::string TessalyDlg_downloadFileName(const char* address)
{
    std::string name = address ? address : "";
    size_t cut = name.find_last_of("/\\");
    if (cut != std::string::npos) name.erase(0, cut + 1);
    if (name.empty() || name == "." || name == "..") name = kFallbackFileName;
    return name;
}

std::string TessalyDlg_baseName(const std::string& fileName)
{
    size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) return {};
    std::string base = fileName.substr(0, dot);
    if (base == "." || base == "..") return {};
    return base;
}

std::string TessalyDlg_progressText(const char* caption, uint32_t value, uint32_t seconds)
{
    char text[512];
    std::snprintf(text, sizeof text, "%s%s %.02f%%   %s %d %s", caption ? caption : "", kUpdatedWord,
                  double(value) / 100.0, kTimeWord, int(seconds), kSecondsWord);
    return text;
}

uint32_t TessalyDlg_dateNumber(const ZR_Date& date)
{
    return uint32_t(date.year) * 10000 + uint32_t(date.month) * 100 + date.day;
}

// ---------------------------------------------------------------------------
// System discovery

TessalySystemDiscovery::TessalySystemDiscovery(std::string simDir) : simDir_(std::move(simDir)) {}

TessalySystemDiscovery::~TessalySystemDiscovery() { DeviceEvents_close(source_); }

void TessalySystemDiscovery::registerNotifications()
{
    if (source_) return;
    // The result is not checked: sources that did open still deliver.
    Discovery_registerNotifications(simDir_.empty() ? nullptr : simDir_.c_str(), &source_);
}

void TessalySystemDiscovery::onStartup(DiscoveryHooks* hooks) { Discovery_onStartup(hooks); }

void TessalySystemDiscovery::onDeviceChange(DiscoveryHooks* hooks, const DeviceEvent& event)
{
    Discovery_handleEvent(hooks, event);
}

// ---------------------------------------------------------------------------
// Construction and destruction

struct CTessalyDlg::WindowCall {
    std::function<intptr_t()> fn;
    intptr_t result = 0;
    bool done = false;
};

CTessalyDlg::CTessalyDlg(DialogHost& host, TessalyDlgHooks hooks)
    : host_(host), hooks_(std::move(hooks)), lookup_(this, &downloader_, &host)
{
    if (!hooks_.discovery) hooks_.discovery = std::make_shared<TessalySystemDiscovery>();
    host_.setMessageHandler(
        [this](unsigned message, uintptr_t wParam, intptr_t lParam) { return windowProc(message, wParam, lParam); });
}

CTessalyDlg::~CTessalyDlg()
{
    // Nothing queued for this window may run once it is gone.
    host_.setMessageHandler({});
    {
        std::lock_guard guard(callMutex_);
        closing_ = 1;
        calls_.clear();
    }
    callDone_.notify_all();
    // A package download of the worker ends at its next step.
    downloader_.Abort();

    ZR_Thread* worker = nullptr;
    bool ended = true;
    {
        std::unique_lock lock(workerMutex_);
        worker = worker_;
        worker_ = nullptr;
        if (worker) {
            auto over = [this] { return !updating_.load(); };
            ended = workerEnded_.wait_for(lock, std::chrono::milliseconds(hooks_.closeWaitMs), over);
            if (!ended) {
                // Stuck on the device: fail its transfer rather than leave it
                // writing while the record goes away.
                DLG_LOG("CTessalyDlg::~CTessalyDlg", "update still running after %u ms", hooks_.closeWaitMs);
                cancelTransfer();
                ended = workerEnded_.wait_for(lock, std::chrono::milliseconds(kCancelledWorkerWaitMs), over);
            }
        }
    }
    if (worker) ZR_threadStopWithin(worker, ended ? TESSALY_WORKER_WAIT_MS : 0);

    downloader_.Stop();
    // No delayed connection may reach the record after this.
    ZR_timerServiceStop();
    // A worker that was let go may still hold the record: leaking it is
    // better than freeing it under a transfer.
    if (ended) ZR_Machine_release(machine_);
    machine_ = nullptr;
}

const char* CTessalyDlg::clientName() const
{
    return hooks_.clientName.empty() ? ZR_buildClientName() : hooks_.clientName.c_str();
}

std::string CTessalyDlg::SystemMenuText() const
{
    std::string text(clientName(), strnlen(clientName(), 8));
    text += kVersionWord;
    text += std::to_string(TESSALY_TOOL_VERSION);
    return text;
}

bool CTessalyDlg::isConnected() const { return machine_ && machine_->channel && machine_->channel->port; }

void CTessalyDlg::cancelTransfer()
{
    if (isConnected()) machine_->channel->port->cancel.signal();
}

// ---------------------------------------------------------------------------
// Initialisation

int CTessalyDlg::OnInitDialog()
{
    ZR_log("TessalyDlg", __LINE__, "CTessalyDlg::OnInitDialog", "start");

    hooks_.discovery->registerNotifications();
    ZR_timerServiceStart();

    machine_ = ZR_Machine_create(AcceptDevice, this, OnMachineProgress, this);
    if (!machine_) {
        host_.messageBox("Error", kTessalyAppTitle, HOST_MB_OK);
        if (hooks_.endDialog) hooks_.endDialog(HOST_IDCANCEL);
        return 0;
    }
    discoveryHooks_.machine = machine_;
    discoveryHooks_.refreshConnection = discoveryRefresh;
    discoveryHooks_.setTitle = discoverySetTitle;
    discoveryHooks_.runOnWindowThread = discoveryRunOnWindow;
    discoveryHooks_.user = this;
    discoveryHooks_.connectDelayMs = 0;

    host_.setTitle(kTessalyAppTitle);
    host_.setText(IDC_GROUP_FILE, kFileGroupText);
    host_.setText(IDC_GROUP_PROGRESS, kProgressGroupText);

    host_.setText(IDC_OPEN, kOpenText);
    host_.setText(IDC_CLOSE, kCloseText);
    host_.setText(IDC_CONFIGURE, kConfigureText);
    host_.setText(IDC_SEND, kUpdateText);
    host_.setFocus(IDC_SEND);

    host_.setEnabled(IDC_OPEN, true);
    host_.setEnabled(IDC_CLOSE, true);
    host_.setEnabled(IDC_CONFIGURE, false);
    host_.setEnabled(IDC_SEND, false);

    hooks_.discovery->onStartup(&discoveryHooks_);
    return 1;
}

void CTessalyDlg::discoveryRefresh(void* user) { static_cast<CTessalyDlg*>(user)->RefreshConnection(); }

void CTessalyDlg::discoverySetTitle(void* user, const char* title)
{
    static_cast<CTessalyDlg*>(user)->host_.setTitle(title ? title : "");
}

void CTessalyDlg::discoveryRunOnWindow(void* user, void (*job)(void* arg), void* arg)
{
    static_cast<CTessalyDlg*>(user)->host_.postMessage(WM_TESSALY_JOB, reinterpret_cast<uintptr_t>(job),
                                                       reinterpret_cast<intptr_t>(arg));
}

// ---------------------------------------------------------------------------
// Connection

void CTessalyDlg::RefreshConnection()
{
    if (!isConnected()) {
        host_.setTitle(std::string(kTessalyAppTitle) + kTessalyNotConnectedText);
        host_.setEnabled(IDC_CONFIGURE, false);
        host_.setEnabled(IDC_SEND, false);
        return;
    }
    char date[32] = "";
    if (machine_->gpsDate.year != 0)
        std::snprintf(date, sizeof date, "%d%02d%02d", machine_->gpsDate.year, machine_->gpsDate.month,
                      machine_->gpsDate.day);
    host_.setTitle(std::string(kTessalyAppTitle) + kConnectedText + kCurrentVersionText + date);

    // A running update owns the buttons and the downloader.
    if (updating_) return;

    bool packageKnown = !localPackagePath_.empty() ||
                        (lookup_.listMode ? !lookup_.languageList.empty() : !lookup_.packageAddress.empty());
    if (packageKnown) host_.setEnabled(IDC_SEND, true);
    host_.setEnabled(IDC_CONFIGURE, true);
    if (!localPackagePath_.empty()) {
        host_.setEnabled(IDC_OPEN, true);
        return;
    }
    lookup_.Start();
}

int CTessalyDlg::AcceptDevice(void* user, const uint8_t* clientBlock)
{
    auto* dlg = static_cast<CTessalyDlg*>(user);
    const char* build = dlg ? dlg->clientName() : ZR_buildClientName();
    char client[ZR_CLIENT_NAME_SIZE];
    ZR_clientBlockText(clientBlock, client);
    if (blankName(build)) return 1;
    // An unknown or unreadable client block belongs to no other client.
    if (ZR_Machine_findClient(client) < 0) return 1;
    if (beginsWith(client, sizeof client, build)) return 1;
    for (const char* further : ZR_furtherAcceptedClients)
        if (beginsWith(client, sizeof client, further)) return 1;
    return 0;
}

void CTessalyDlg::OnDeviceChange(const DeviceEvent& event)
{
    if (!updating_) {
        hooks_.discovery->onDeviceChange(&discoveryHooks_, event);
        return;
    }
    // The worker is using the port: opening or closing it now would pull it
    // away under a transfer. The change is made when the update has ended;
    // a removed device fails the running transfer at once instead of after
    // the transfer's time-out.
    if (event.kind == DEVICE_REMOVE_COMPLETE && Discovery_isUpdateInterface(event) && isConnected())
        machine_->channel->port->cancel.signal();
    deferredEvents_.push_back(event);
}

void CTessalyDlg::onUpdateEnded()
{
    { std::lock_guard wait(workerMutex_); } // the worker is out of its last section
    if (updating_) return;                   // a new run started first; its end replays these
    std::vector<DeviceEvent> events;
    events.swap(deferredEvents_);
    std::vector<std::pair<void (*)(void*), void*>> jobs;
    jobs.swap(deferredJobs_);
    for (const DeviceEvent& event : events) hooks_.discovery->onDeviceChange(&discoveryHooks_, event);
    for (auto& [job, arg] : jobs) job(arg);
}

// ---------------------------------------------------------------------------
// Message routing

intptr_t CTessalyDlg::windowProc(unsigned message, uintptr_t wParam, intptr_t lParam)
{
    switch (message) {
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            if (hooks_.about) hooks_.about();
        } else if (wParam == SERVICE_DEVICE_INFO || wParam == SERVICE_SERVER_IMAGE) {
            OnServiceCommand(unsigned(wParam));
        }
        return 0;
    case WM_COMMAND:
        switch (wParam & 0xFFFF) {
        case IDC_SEND: OnSend(); break;
        case IDC_OPEN: OnOpenPackage(); break;
        case IDC_CLOSE:
            if (hooks_.endDialog) hooks_.endDialog(HOST_IDCANCEL);
            break;
        case IDC_CONFIGURE:
            if (updating_) break;
            if (hooks_.configure)
                hooks_.configure(machine_);
            else
                OnConfigure();
            break;
        case SERVICE_DEVICE_INFO: OnServiceCommand(SERVICE_DEVICE_INFO); break;
        default: break;
        }
        return 0;
    case WM_DEVICECHANGE:
        if (lParam) OnDeviceChange(*reinterpret_cast<const DeviceEvent*>(lParam));
        return 0;
    case WM_DROPFILES:
        OnDropFiles(reinterpret_cast<const char*>(lParam));
        return 0;
    case WM_DOWNLOAD_DONE:
        onDownloadDone(int(wParam));
        return 0;
    case WM_DOWNLOAD_SIZE:
        downloadSize_ = uint32_t(wParam);
        host_.setProgressRange(IDC_PROGRESS, 0, downloadSize_);
        host_.setProgressPos(IDC_PROGRESS, 0);
        return 0;
    case WM_DOWNLOAD_PERCENT:
        return 0;
    case WM_DOWNLOAD_PROGRESS:
        onDownloadProgress(wParam, lParam);
        return 0;
    case WM_SELECT_PROVINCES:
        return OnSelectProvinces(reinterpret_cast<ZR_Package*>(wParam), int32_t(lParam));
    case WM_TESSALY_CALL:
        runWindowCall();
        return 0;
    case WM_TESSALY_JOB:
        if (wParam) {
            auto job = reinterpret_cast<void (*)(void*)>(wParam);
            void* arg = reinterpret_cast<void*>(lParam);
            if (updating_)
                deferredJobs_.emplace_back(job, arg);
            else
                job(arg);
        }
        return 0;
    case WM_TESSALY_UPDATE_ENDED:
        onUpdateEnded();
        return 0;
    default:
        return 0;
    }
}

intptr_t CTessalyDlg::onWindow(std::function<intptr_t()> fn, intptr_t fallback)
{
    if (host_.onWindowThread()) return closing_ ? fallback : fn();
    auto call = std::make_shared<WindowCall>();
    call->fn = std::move(fn);
    {
        std::lock_guard guard(callMutex_);
        if (closing_) return fallback;
        calls_.push_back(call);
    }
    host_.postMessage(WM_TESSALY_CALL, 0, 0);
    std::unique_lock lock(callMutex_);
    callDone_.wait(lock, [&] { return call->done || closing_; });
    return call->done ? call->result : fallback;
}

void CTessalyDlg::runWindowCall()
{
    std::shared_ptr<WindowCall> call;
    {
        std::lock_guard guard(callMutex_);
        if (calls_.empty()) return;
        call = calls_.front();
        calls_.pop_front();
    }
    intptr_t result = call->fn();
    {
        std::lock_guard guard(callMutex_);
        call->result = result;
        call->done = true;
    }
    callDone_.notify_all();
}

// ---------------------------------------------------------------------------
// Version lookup view and downloader messages

void CTessalyDlg::setStatusText(const char* text) { host_.setText(IDC_STATUS, text ? text : ""); }

void CTessalyDlg::enableControl(int id, bool enable)
{
    // The version fetch ends on its own schedule; while an update runs its
    // buttons stay disabled.
    if (updating_ && enable && (id == IDC_OPEN || id == IDC_SEND || id == IDC_CONFIGURE)) return;
    host_.setEnabled(id, enable);
}

void CTessalyDlg::onDownloadDone(int result)
{
    if (lookup_.downloadMode == 1) {
        lookup_.Finish(result);
    } else {
        downloader_.Stop();
        enableControl(IDC_OPEN, true);
        if (result == DOWNLOAD_OK) {
            onDownloadProgress(0, intptr_t(downloadSize_));
        } else if (result != DOWNLOAD_ABORTED) {
            downloadErrorText_ = kDownloadFailedText;
            host_.setText(IDC_PROGRESS, downloadErrorText_);
        }
    }
    // Last: the worker reads the download error text once this is signalled.
    downloader_.DoneHandled();
}

void CTessalyDlg::onDownloadProgress(uintptr_t rate, intptr_t received)
{
    if (lookup_.downloadMode == 1) return;
    host_.setProgressPos(IDC_PROGRESS, uint32_t(received));
    host_.setText(IDC_PROGRESS, HttpDownload_progressText(downloadSize_, received, double(rate) / 100000.0));
}

void CTessalyDlg::abortVersionFetch()
{
    // A fetch still running would otherwise enable buttons or overwrite the
    // status line after the user's choice.
    if (!downloader_.IsFinished()) downloader_.Abort();
}

// ---------------------------------------------------------------------------
// Package choice

void CTessalyDlg::OnOpenPackage()
{
    if (updating_) return;
    std::string path;
    if (!host_.chooseOpenFile(kTessalyPackageFilter, "file", &path)) return;
    abortVersionFetch();
    localPackagePath_ = path;
    host_.setText(IDC_STATUS, localPackagePath_);
    if (isConnected()) host_.setEnabled(IDC_SEND, true);
}

void CTessalyDlg::OnDropFiles(const char* path)
{
    if (updating_ || !path) return;
    std::string file(path, strnlen(path, 260));
    if (extensionOf(file) != "dzr") return;
    abortVersionFetch();
    host_.setText(IDC_STATUS, file);
    localPackagePath_ = file;
    if (isConnected()) host_.setEnabled(IDC_SEND, true);
}

intptr_t CTessalyDlg::OnSelectProvinces(ZR_Package* package, int32_t gpsRoom)
{
    ProvinceChoice choice;
    ProvinceChoice_begin(&choice, package, gpsRoom);
    if (!hooks_.chooseProvinces || !hooks_.chooseProvinces(package, gpsRoom, &choice)) return 1;
    provinceAccepted_ = choice.accepted;
    std::memcpy(provinceFlags_, choice.flags, sizeof provinceFlags_);
    return 0;
}

// ---------------------------------------------------------------------------
// Service commands

void CTessalyDlg::OnServiceCommand(unsigned command)
{
    // The commands share the channel with the update; one at a time.
    if (updating_) return;
    if (command == SERVICE_DEVICE_INFO)
        ServiceTools_deviceInfo(host_, machine_, isConnected());
    else if (command == SERVICE_SERVER_IMAGE)
        ServiceTools_serverImage(host_, machine_, isConnected());
}

// ---------------------------------------------------------------------------
// Progress

bool CTessalyDlg::throttle(bool always)
{
    uint32_t now = ZR_tickCount();
    if (!always && progressShown_ && int32_t(now - lastProgressTick_.load()) < int32_t(kProgressIntervalMs))
        return false;
    lastProgressTick_ = now;
    progressShown_ = true;
    return true;
}

void CTessalyDlg::OnMachineProgress(void* user, ZR_Machine* machine, uint32_t phase, uint32_t value,
                                    uint32_t startTick)
{
    auto* dlg = static_cast<CTessalyDlg*>(user);
    if (!dlg || !machine) return;
    if (!dlg->throttle(phase == 0 || value >= kFullScale)) return;
    if (phase == 0) {
        dlg->onWindow([dlg, value] {
            dlg->host_.setProgressRange(IDC_PROGRESS, 0, value);
            dlg->host_.setProgressPos(IDC_PROGRESS, 0);
            return intptr_t(0);
        });
        return;
    }
    uint32_t seconds = (ZR_tickCount() - startTick) / 1000;
    std::string text = TessalyDlg_progressText(machine->caption, value, seconds);
    if (std::strcmp(machine->caption, ZR_VERIFY_CAPTION) == 0)
        text = TessalyDlg_progressText("", value, seconds).replace(0, std::strlen(kUpdatedWord), kVerifyingText);
    dlg->onWindow([dlg, value, &text] {
        dlg->host_.setProgressPos(IDC_PROGRESS, value);
        dlg->host_.setText(IDC_PROGRESS, text);
        return intptr_t(0);
    });
}

void CTessalyDlg::extractProgress(void* user, uint32_t range, uint64_t position)
{
    auto* dlg = static_cast<CTessalyDlg*>(user);
    bool first = position == 0;
    if (!dlg->throttle(first || position >= range)) return;
    dlg->onWindow([dlg, range, position, first] {
        if (first) dlg->host_.setProgressRange(IDC_PROGRESS, 0, range);
        dlg->host_.setProgressPos(IDC_PROGRESS, uint32_t(position));
        return intptr_t(0);
    });
}

void CTessalyDlg::enableUpdateButtons(bool enable)
{
    host_.setEnabled(IDC_SEND, enable);
    host_.setEnabled(IDC_CONFIGURE, enable);
    host_.setEnabled(IDC_OPEN, enable);
}

void CTessalyDlg::setProgressText(const std::string& text)
{
    onWindow([this, &text] {
        host_.setText(IDC_PROGRESS, text);
        return intptr_t(0);
    });
}

// ---------------------------------------------------------------------------
// The update

int CTessalyDlg::AcceptPackage(const ZR_Package* package) const
{
    if (!package) return 0;
    const char* build = clientName();
    if (blankName(build)) return 1;
    return beginsWith(package->title, sizeof package->title, build) ? 1 : 0;
}

void CTessalyDlg::OnSend()
{
    // A device whose identification failed is no connection to update over.
    if (!isConnected() || !machine_->identified) {
        if (updating_) return;
        lastCauseKind_ = TessalyCauseKind::NO_DEVICE;
        lastCause_ = isConnected() ? causeText(N_("the device did not identify: %s"), ZR_Machine_lastError(machine_))
                                   : N_("no device connected");
        DLG_LOG("CTessalyDlg::OnSend", "%s", lastCause_.c_str());
        host_.messageBox(kTessalyNotConnectedText, "", HOST_MB_ICONERROR);
        return;
    }
    if (updating_) return;
    // The downloader serves both: a package download cannot start while the
    // version file is still on its way (its end message is still to come).
    if (localPackagePath_.empty() && lookup_.downloadMode == 1) {
        DLG_LOG("CTessalyDlg::OnSend", "version file still being fetched");
        return;
    }

    int networkVersion = lookup_.listMode ? 0 : lookup_.networkVersion;
    if (localPackagePath_.empty() && networkVersion > 0) {
        uint32_t deviceDate = TessalyDlg_dateNumber(machine_->gpsDate);
        if (deviceDate != 0 && deviceDate >= uint32_t(networkVersion) &&
            host_.messageBox(kAlreadyNewestText, kTessalyAppTitle, HOST_MB_YESNO) != HOST_IDYES)
            return;
    }

    // The run works on a copy of the source: the window's fields may change
    // while it runs. Written before the thread starts, read only by it.
    runSource_ = UpdateSource{localPackagePath_, lookup_.listMode, lookup_.packageAddress, lookup_.lastError,
                              lookup_.lastFetchFailed};
    closing_ = 0;
    progressShown_ = false;

    std::lock_guard guard(workerMutex_);
    updating_ = true;
    worker_ = ZR_threadStart(workerThread, this);
    if (!worker_) {
        updating_ = false;
        DLG_LOG("CTessalyDlg::OnSend", "cannot start the update worker");
    }
}

void CTessalyDlg::workerThread(ZR_Thread*, void* arg) { UpdateWorker(static_cast<CTessalyDlg*>(arg)); }

int CTessalyDlg::UpdateWorker(CTessalyDlg* dlg)
{
    dlg->runUpdate(dlg->runSource_);

    ZR_Thread* self = nullptr;
    {
        // The destructor waits on this lock: the window outlives the section.
        std::lock_guard guard(dlg->workerMutex_);
        self = dlg->worker_;
        dlg->worker_ = nullptr;
        // Queued before the flag drops, so whoever sees the run over finds the
        // message waiting; its handler takes this lock and so sees the flag down.
        dlg->host_.postMessage(WM_TESSALY_UPDATE_ENDED, 0, 0);
        dlg->updating_ = false;
        dlg->workerEnded_.notify_all();
    }
    // The window may be gone from here on; only the thread record is ours.
    ZR_threadStop(self, 0);
    return 0;
}

bool CTessalyDlg::downloadPackage(const std::string& address, std::string* targetPath, std::string* containerPath,
                                  std::string* error, std::string* cause)
{
    setProgressText(kUpdatingText);

    // The run's files live in a fresh private folder, so no name in it can
    // be someone else's (a planted link, a folder made in advance). Every
    // download starts from byte 0 in a file created here and now.
    std::string fileName = TessalyDlg_downloadFileName(address.c_str());
    runFolder_.reset(ZR_RunFolder_create());
    if (!runFolder_) {
        DLG_LOG("CTessalyDlg::UpdateWorker", "cannot create a temporary folder");
        *error = kUpdateFailedText;
        *cause = "cannot create a private temporary folder";
        return false;
    }
    // An address ending in '/' (or naming "." or "..") gives no usable file
    // name; the download then has no extension and is refused as no package.
    if (ZR_RunFolder_pathOf(runFolder_.get(), fileName.c_str()).empty()) fileName = kFallbackFileName;
    ZR_Stream* created = ZR_RunFolder_createStream(runFolder_.get(), fileName.c_str());
    if (!created) {
        DLG_LOG("CTessalyDlg::UpdateWorker", "cannot create %s in the run folder", fileName.c_str());
        *error = kUpdateFailedText;
        *cause = "cannot create " + fileName + " in the temporary folder";
        return false;
    }
    ZR_Stream_release(created);
    *targetPath = cutPath(ZR_RunFolder_pathOf(runFolder_.get(), fileName.c_str()));
    *containerPath = cutPath(ZR_RunFolder_pathOf(runFolder_.get(), kContainerName));

    onWindow([this] {
        downloadErrorText_.clear();
        return intptr_t(0);
    });
    downloader_.Setup(&host_, address.c_str(), targetPath->c_str());
    std::string startError = downloader_.Start(1);
    if (!startError.empty()) {
        *error = startError;
        *cause = "downloading " + address + ": " + startError;
        while (!cause->empty() && (cause->back() == '\n' || cause->back() == '\r')) cause->pop_back();
        return false;
    }

    // The window's handling of the end message decides whether the download
    // failed; it is waited for, bounded, and given up on when the window closes.
    int handled = 0;
    for (int32_t waited = 0; !handled && waited < kDoneHandledWaitMs && !closing_; waited += kDoneHandledSliceMs)
        handled = downloader_.WaitDoneHandled(kDoneHandledSliceMs);
    if (closing_) {
        *error = kUpdateFailedText;
        *cause = "the window closed during the download";
        return false;
    }
    std::string failure;
    if (handled)
        onWindow([this, &failure] {
            failure = downloadErrorText_;
            return intptr_t(0);
        });
    else
        failure = kDownloadFailedText;
    if (!failure.empty()) {
        *error = failure;
        std::string why = downloader_.FailureText();
        *cause = why.empty() ? "downloading " + address + " did not finish" : why;
        return false;
    }
    onWindow([this] {
        host_.setProgressPos(IDC_PROGRESS, 0);
        return intptr_t(0);
    });
    return true;
}

// How the machine layer's cause begins when the package lacks the board's program.
constexpr const char* kNoProgramForBoard = "has no program for board";

// What one update run carries from step to step.
struct CTessalyDlg::UpdateRun {
    std::string error;           // the first failure's message; empty while all goes well
    std::string cause;           // what lay behind it, for the log and the hosts (GBK)
    TessalyCauseKind causeKind = TessalyCauseKind::NONE;
    bool declined = false;       // the plan was not confirmed: nothing written, nothing to show
    bool machineStepRan = false; // a plan or write step ran: its result is added to the message
    int lastResult = 0;          // result of the last machine-layer step
    std::string targetPath;      // the downloaded file, removed at the end
    std::string containerPath;   // the unpacked container, removed at the end
    std::string packagePath;     // the container to load
    ZR_Package* package = nullptr;
    ZR_WritePlan plan{};

    bool fail(const char* text)
    {
        error = text;
        return false;
    }
    bool fail(const char* text, TessalyCauseKind kind, std::string why)
    {
        causeKind = kind;
        cause = std::move(why);
        return fail(text);
    }
    // A failed machine-layer step: its cause is on the record; a device that
    // went away is told apart from one that refused.
    bool failOnDevice(const char* text, const ZR_Machine* machine)
    {
        const char* why = ZR_Machine_lastError(machine);
        bool gone = machine && Hidc_deviceGone(machine->channel);
        return fail(text, gone ? TessalyCauseKind::DEVICE_GONE : TessalyCauseKind::DEVICE,
                    why[0] ? why : N_("the device did not take the write"));
    }
};

void CTessalyDlg::runUpdate(const UpdateSource& source)
{
    UpdateRun run;
    onWindow([this] {
        enableUpdateButtons(false);
        return intptr_t(0);
    });

    // Each step gives its own error text; the write steps read back what they
    // wrote before they report success.
    (void)(obtainPackage(source, run) && loadPackage(run) &&
           (programOnly(*run.package) ? writeProgramOnly(run) : planWrite(run) && writeDevice(run)));
    ZR_Package_free(run.package);
    run.package = nullptr;
    reportUpdate(run);
}

// The container to load: the local file, or the download (unpacked when it
// is an archive).
bool CTessalyDlg::obtainPackage(const UpdateSource& source, UpdateRun& run)
{
    static const char* const kFn = "CTessalyDlg::UpdateWorker";
    if (!source.localPath.empty()) {
        run.packagePath = source.localPath;
        return true;
    }
    if (source.listMode || source.packageAddress.empty()) {
        if (!source.lookupError.empty())
            return run.fail(kWrongFileText,
                            source.lookupFetchFailed ? TessalyCauseKind::NETWORK : TessalyCauseKind::VERSION_FILE,
                            source.lookupError);
        return run.fail(kWrongFileText, TessalyCauseKind::VERSION_FILE,
                        source.listMode ? N_("the version file lists packages to choose from; name one with a local file")
                                        : N_("no package: none was chosen and no version file named one"));
    }
    if (!downloadPackage(source.packageAddress, &run.targetPath, &run.containerPath, &run.error, &run.cause)) {
        run.causeKind = TessalyCauseKind::NETWORK;
        return false;
    }

    std::string extension = extensionOf(run.targetPath);
    if (extension == "dzr") {
        run.packagePath = run.targetPath;
        return true;
    }
    if (extension != "rar" && extension != "zip" && extension != "7z")
        return run.fail(kNoUpdateFileText, TessalyCauseKind::PACKAGE,
                        causeText(N_("the download %s is neither a package (.dzr) nor an archive (.zip)"),
                                  TessalyDlg_downloadFileName(source.packageAddress.c_str())));
    setProgressText(kUnpackingText);
    ZR_Stream* sink = ZR_RunFolder_createStream(runFolder_.get(), kContainerName);
    int extracted = sink ? ZR_extractContainer(run.targetPath.c_str(), extractProgress, this, sink) : 0;
    ZR_Stream_release(sink);
    if (extracted != 1) {
        DLG_LOG(kFn, "cannot extract %s", run.targetPath.c_str());
        return run.fail(kWrongFileText, TessalyCauseKind::PACKAGE,
                        causeText(N_("the downloaded archive %s holds no readable package"),
                                  TessalyDlg_downloadFileName(source.packageAddress.c_str())));
    }
    run.packagePath = run.containerPath;
    return true;
}

// Loads the container and accepts it only for the build's client.
bool CTessalyDlg::loadPackage(UpdateRun& run)
{
    static const char* const kFn = "CTessalyDlg::UpdateWorker";
    run.package = ZR_Package_load(run.packagePath.c_str());
    if (!run.package || !AcceptPackage(run.package)) {
        DLG_LOG(kFn, "package %s %s", run.packagePath.c_str(), run.package ? "refused" : "unreadable");
        if (!run.package) return run.fail(kWrongFileText, TessalyCauseKind::PACKAGE, N_("the package cannot be read"));
        return run.fail(kWrongFileText, TessalyCauseKind::PACKAGE,
                        causeText(N_("the package is made for another client, not for %s"), clientName()));
    }
    setProgressText(kUpdatingText);
    if (closing_) return run.fail(kUpdateFailedText, TessalyCauseKind::STOPPED, N_("the window closed"));
    return true;
}

// A package holding nothing but a program: the program alone, no plan.
bool CTessalyDlg::writeProgramOnly(UpdateRun& run)
{
    if (!confirmWrite(run, nullptr)) return false;
    char cause[256] = "";
    bool written = ZR_Machine_writeProgram(machine_, run.package, true) &&
                   ZR_Machine_verifyProgram(machine_, run.package, hooks_.verifyMode, cause, sizeof cause);
    verifyCause_ = cause;
    if (!written) {
        if (cause[0])
            return run.fail(kUpdateFailedText, TessalyCauseKind::VERIFY,
                            causeText(N_("the device does not hold what was written: %s"), cause));
        const std::string why = ZR_Machine_lastError(machine_);
        if (why.find(kNoProgramForBoard) != std::string::npos)
            return run.fail(kUpdateFailedText, TessalyCauseKind::BOARD, why);
        return run.failOnDevice(kUpdateFailedText, machine_);
    }
    return true;
}

// The plan, with the province choice when the data does not fit.
bool CTessalyDlg::planWrite(UpdateRun& run)
{
    ZR_WritePlan& plan = run.plan;
    plan = ZR_WritePlan{};
    plan.verifyMode = hooks_.verifyMode;
    verifyCause_.clear();
    plan.writeBoot = 1;
    plan.writeProgram = 1;
    plan.writeVoice = 1;
    plan.writeRadarMute = 1;
    plan.writeGps = 1;
    plan.writeUpdateTool = 1;
    plan.writeOled = 0;
    plan.resetSetting = std::strcmp(clientName(), "MVT") == 0 ? 0 : 1;
    plan.boardCode = 0;
    plan.provinceMode = 0;
    plan.reservedSize = 0;

    // With a confirmation to ask, the first plan only lays out: nothing on
    // the device changes before the answer.
    plan.layoutOnly = hooks_.confirmPlan ? 1 : 0;

    run.lastResult = ZR_Machine_checkParamAndMainSetting(machine_, &plan, run.package);
    run.machineStepRan = true;
    if (run.lastResult == ZR_PLAN_NO_FIT && !chooseProvinces(run)) return false;
    if (!planAccepted(run)) return false;
    if (!plan.layoutOnly) return true;

    if (!confirmWrite(run, &plan)) return false;
    plan.layoutOnly = 0;
    run.lastResult = ZR_Machine_checkParamAndMainSetting(machine_, &plan, run.package);
    return planAccepted(run);
}

// The plan's result as the run's outcome; its cause is on the record
// (lastError) and the window shows its message.
bool CTessalyDlg::planAccepted(UpdateRun& run)
{
    const std::string why = ZR_Machine_lastError(machine_);
    switch (run.lastResult) {
    case ZR_PLAN_READY: break;
    case ZR_PLAN_NO_FIT: return run.fail(kTooLongText, TessalyCauseKind::NO_FIT, why);
    case ZR_PLAN_NO_VOICE: return run.fail(kNoVoiceText, TessalyCauseKind::PACKAGE, why);
    case ZR_PLAN_NO_GPS: return run.fail(kWrongFileText, TessalyCauseKind::PACKAGE, why);
    // The program needs OLED data the package lacks; the plan has written
    // nothing yet, and nothing will be.
    case ZR_PLAN_NO_OLED: return run.fail(kNoOledText, TessalyCauseKind::PACKAGE, why);
    case ZR_PLAN_PARAM_FAILED:
        if (Hidc_deviceGone(machine_->channel)) return run.failOnDevice(kWrongFileText, machine_);
        return run.fail(kWrongFileText, TessalyCauseKind::PACKAGE, why);
    case ZR_PLAN_DEVICE_FAILED:
        if (!machine_->identified)
            return run.fail(kTessalyNotConnectedText, TessalyCauseKind::NO_DEVICE,
                            why.empty() ? N_("the device is not identified") : why);
        return run.failOnDevice(kUpdateFailedText, machine_);
    default: break;
    }
    // No program image for the board or no boot image: the plan leaves no voice.
    if (run.plan.voice.size == 0) {
        const std::string why = ZR_Machine_lastError(machine_);
        bool board = run.lastResult == ZR_PLAN_NO_PROGRAM && why.find(kNoProgramForBoard) != std::string::npos;
        return run.fail(kUpdateFailedText, board ? TessalyCauseKind::BOARD : TessalyCauseKind::PACKAGE,
                        why.empty() ? N_("the package has nothing this device can take") : why);
    }
    return true;
}

// The host's last word before the device changes.
bool CTessalyDlg::confirmWrite(UpdateRun& run, const ZR_WritePlan* plan)
{
    if (!hooks_.confirmPlan) return true;
    ZR_Package* package = run.package;
    intptr_t accepted = onWindow([this, package, plan] { return intptr_t(hooks_.confirmPlan(machine_, package, plan)); });
    if (accepted && !closing_) return true;
    run.declined = true;
    return false;
}

// The data does not fit: the user picks provinces, their GPS data is
// assembled and the plan made again.
bool CTessalyDlg::chooseProvinces(UpdateRun& run)
{
    // In whole KiB, as the province choice shows the room.
    const std::string room = std::to_string(run.plan.gpsRoom > 0 ? run.plan.gpsRoom / 1024 : 0) + " K";
    // A package of provinces alone has no whole GPS image: its provinces are the data.
    uint64_t gpsBytes = run.package->gps.size;
    for (int p = 0; run.package->gps.size == 0 && p < PROVINCE_COUNT; ++p) gpsBytes += Province_size(run.package, p);
    const std::string needed = std::to_string(gpsBytes / 1024) + " K";
    if (!run.package->gpsProvinceRecords.entries)
        return run.fail(kTooLongText, TessalyCauseKind::PACKAGE,
                        causeText(N_("the GPS data (%s) does not fit the device's room of %s, and the package has no "
                                     "provinces to choose from"),
                                  needed, room));
    ZR_Package* requested = run.package;
    int32_t gpsRoom = run.plan.gpsRoom;
    intptr_t cancelled = onWindow(
        [this, requested, gpsRoom] {
            return windowProc(WM_SELECT_PROVINCES, reinterpret_cast<uintptr_t>(requested), gpsRoom);
        },
        1);
    if (cancelled != 0 || provinceAccepted_ == 0)
        return run.fail(kTooLongText, TessalyCauseKind::NO_FIT,
                        causeText(N_("the GPS data (%s) does not fit the device's room of %s, and no provinces were "
                                     "chosen"),
                                  needed, room));

    uint8_t selection[PROVINCE_COUNT];
    for (int p = 0; p < PROVINCE_COUNT; ++p) selection[p] = provinceFlags_[p] ? 1 : 0;
    if (!ZR_Package_assembleProvinceGps(run.package, selection))
        return run.fail(kWrongFileText, TessalyCauseKind::PACKAGE, N_("the package's province records cannot be read"));
    // A choice without records would write an empty GPS area over the
    // device's map data; whatever the host let through, it is not written.
    if (run.package->gpsProvinceRecords.assembled.size <= kAssembledHeaderSize)
        return run.fail(kTooLongText, TessalyCauseKind::NO_FIT, N_("the chosen provinces hold no GPS records"));
    run.plan.provinceMode = uint32_t(provinceAccepted_);
    run.lastResult = ZR_Machine_checkParamAndMainSetting(machine_, &run.plan, run.package);
    if (run.lastResult == ZR_PLAN_NO_FIT)
        return run.fail(kTooLongText, TessalyCauseKind::NO_FIT,
                        causeText(N_("the chosen provinces do not fit the device's room of %s"), room));
    return true;
}

// The write run of a ready plan, with the client block when the device's
// client is unknown or its map changes.
bool CTessalyDlg::writeDevice(UpdateRun& run)
{
    if (closing_) return run.fail(kUpdateFailedText, TessalyCauseKind::STOPPED, N_("the window closed"));
    char client[ZR_CLIENT_NAME_SIZE];
    ZR_Machine_getClientText(machine_, client);
    bool mapChanges = (machine_->is502 != 0) != (run.plan.target502 != 0);
    run.plan.writeClientId = (mapChanges || ZR_Machine_findClient(client) < 0) ? 1 : 0;
    run.lastResult = ZR_Machine_write(&run.plan, machine_, run.package);
    verifyCause_ = run.plan.verifyCause;
    if (run.lastResult == ZR_WRITE_VERIFY_FAILED)
        return run.fail(kUpdateFailedText, TessalyCauseKind::VERIFY,
                        causeText(N_("the device does not hold what was written: %s"), verifyCause_));
    if (run.lastResult != ZR_WRITE_OK) return run.failOnDevice(kUpdateFailedText, machine_);
    return true;
}

// Removes the run's files and shows the outcome.
void CTessalyDlg::reportUpdate(UpdateRun& run)
{
    static const char* const kFn = "CTessalyDlg::UpdateWorker";
    // Nothing of the run stays behind, its folder included.
    runFolder_.reset();

    std::string& error = run.error;
    // Set before the run is seen over (updating_ drops after this returns).
    lastCause_ = error.empty() ? std::string() : run.cause.empty() ? std::string(N_("no cause was recorded")) : run.cause;
    lastCauseKind_ = error.empty() ? TessalyCauseKind::NONE
                     : run.causeKind == TessalyCauseKind::NONE ? TessalyCauseKind::DEVICE
                                                               : run.causeKind;
    if (run.declined) {
        DLG_LOG(kFn, "update not confirmed; nothing written");
        onWindow([this] {
            host_.setText(IDC_PROGRESS, "");
            enableUpdateButtons(true);
            return intptr_t(0);
        });
    } else if (!error.empty()) {
        if (run.machineStepRan && run.lastResult != 0) error += "  " + std::to_string(run.lastResult);
        DLG_LOG(kFn, "update failed: %s; cause: %s", error.c_str(), lastCause_.c_str());
        if (!closing_)
            onWindow([this, &error] {
                host_.setText(IDC_PROGRESS, "");
                enableUpdateButtons(true);
                host_.messageBox(error, "", HOST_MB_ICONERROR);
                return intptr_t(0);
            });
    } else {
        DLG_LOG(kFn, "update done");
        onWindow([this] {
            host_.messageBox(kUpdateDoneText, kTessalyAppTitle, HOST_MB_ICONINFORMATION);
            if (isConnected()) enableUpdateButtons(true);
            return intptr_t(0);
        });
    }
}

// ---------------------------------------------------------------------------
// The configure action

void CTessalyDlg::OnConfigure()
{
    if (!isConnected()) {
        host_.messageBox(kTessalyNotConnectedText, "", HOST_MB_ICONERROR);
        return;
    }
    uint32_t requiredTool = 0;
    int32_t radarState = 0;
    ZR_NetBlock net{};
    const ZR_SettingsImage* settings = nullptr;
    int32_t layout = ZR_Machine_getSettingsView(machine_, &requiredTool, &radarState, &net, &settings);
    ZR_SettingsImage image = *settings;

    if (layout < 1) {
        char board[10] = {};
        ZR_Machine_getBoardName(machine_, board, sizeof board);
        host_.messageBox(std::string(kInitialiseFirstText) + " P[" + board + "]", "", HOST_MB_ICONERROR);
        return;
    }
    if (requiredTool > uint32_t(TESSALY_TOOL_VERSION)) {
        host_.messageBox(kNewerToolText, "", HOST_MB_ICONERROR);
        return;
    }
    if (layout > 2 && radarState < 0 &&
        host_.messageBox(kRadarDefaultsText, kTessalyAppTitle, HOST_MB_YESNO | HOST_MB_ICONQUESTION) != HOST_IDYES)
        return;

    // The device the dialog was opened for, to know it again afterwards.
    const ZR_SettingsImage imageBefore = image;
    const ZR_InfoBlock infoBefore = machine_->info;

    configDialog_.clientName = clientName();
    configDialog_.setRunner(hooks_.runConfigDialog);
    int result = configDialog_.Run(kConfigTitleText, int32_t(machine_->bootVersion), layout, &machine_->info, &net,
                                   &image);
    if (result != HOST_IDOK || !isConnected()) return;
    // Another device plugged in while the dialog was open must not get this
    // one's settings: its layout or blocks may differ altogether.
    if (machine_->layoutVersion != layout ||
        std::memcmp(machine_->settings.bytes, imageBefore.bytes, sizeof imageBefore.bytes) != 0 ||
        std::memcmp(machine_->info.bytes, infoBefore.bytes, sizeof infoBefore.bytes) != 0)
        return;

    // Every step runs even after a failed one, as the device expects the
    // identification and the closing command after a write; a failure is
    // reported rather than hidden behind the success message.
    int settingsWritten = ZR_Machine_writeMainSetting(&image, machine_);
    int paramWritten = ZR_Machine_writeParam(nullptr, &net, machine_, machine_->is502);
    ZR_Machine_identify(machine_);
    if (isConnected()) Hidc_done(machine_->channel);
    DLG_LOG("OnConfigure", "settings %d param %d", settingsWritten, paramWritten);

    if (settingsWritten && paramWritten)
        host_.messageBox(kConfigDoneText, kTessalyAppTitle, HOST_MB_ICONINFORMATION);
    else
        host_.messageBox(kConfigFailedText, "", HOST_MB_ICONERROR);
}
