#include "net/http_download.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <thread>

#include "core/log.h"
#include "core/strings.h"
#include "core/runtime.h"
#include "core/thread.h"
#include "platform/http_client.h"
#include "platform/translate_marks.h"

namespace {

constexpr int32_t kStopWaitMs = 4000;
constexpr uint32_t kProgressPeriodMs = 1000;
// Big stdio buffer: the body arrives in pieces of up to the receive buffer,
// and few large writes keep the file from being the bottleneck.
constexpr size_t kFileBufferBytes = 1u << 20;
constexpr size_t kReceiveBufferBytes = 512u << 10;
constexpr size_t kMinRateLimitedPiece = 16u << 10;

bool isSchemeChar(char c, bool first)
{
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return first ? alpha : alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

enum class StopReason { None, Abort, Status, Write };

} // namespace

int HttpDownload_parseAddress(const char* address, HttpAddress* out)
{
    if (!address || !out)
        return 0;
    std::string_view a(address);
    size_t sep = a.find("://");
    if (sep == std::string_view::npos || sep == 0)
        return 0;
    for (size_t i = 0; i < sep; ++i)
        if (!isSchemeChar(a[i], i == 0))
            return 0;

    HttpAddress r;
    std::string scheme = lower(a.substr(0, sep));
    if (scheme == "http") {
        r.serviceType = HTTP_SERVICE_HTTP;
        r.port = 80;
    } else if (scheme == "https") {
        r.serviceType = HTTP_SERVICE_HTTPS;
        r.port = 443;
    } else if (scheme == "ftp") {
        r.serviceType = HTTP_SERVICE_FTP;
        r.port = 21;
    } else {
        r.serviceType = HTTP_SERVICE_UNKNOWN;
    }

    std::string_view rest = a.substr(sep + 3);
    size_t end = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, end);
    std::string_view object = end == std::string_view::npos ? std::string_view("/") : rest.substr(end);
    object = object.substr(0, object.find('#'));
    if (object.empty() || object[0] != '/')
        r.object.push_back('/');
    r.object.append(object);

    if (size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority = authority.substr(at + 1);
    std::string_view host = authority, port;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return 0;
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':')
                return 0;
            port = after.substr(1);
        }
    } else if (size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.empty())
        return 0;
    for (char c : host)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F)
            return 0;
    if (!port.empty()) {
        long value = 0;
        for (char c : port) {
            if (c < '0' || c > '9' || value > 65535)
                return 0;
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535)
            return 0;
        r.port = int(value);
    }
    r.server = std::string(host);
    *out = std::move(r);
    return 1;
}

// Everything one transfer uses. The owner and the transfer's thread share it,
// so a thread that outlives Stop's bounded wait (and the owner) still works on
// valid memory; it is then cut off from the window and posts nothing.
struct HttpDownloadJob final : HttpHandler {
    // Settings.
    MessageSink* window = nullptr;
    std::string address;
    std::string targetPath;
    std::string proxy, proxyUserName, proxyPassword;
    std::string userName, password;
    std::string userAgent; // empty: the HTTP layer's (the application's name)
    int accessType = HTTP_ACCESS_PRECONFIG;
    int refuseExisting = 0;
    int promptForProxy = 0;
    int promptForServer = 0;
    double rateLimit = 0;
    int64_t resumeOffset = 0;
    int connectTimeoutMs = 30000;
    int stallSeconds = 60;

    // From Start.
    std::string url;
    HttpAddress parsed;
    std::string fileName;
    FILE* file = nullptr;
    std::atomic<bool> started{false};  // Start was called
    std::atomic<bool> launched{false}; // ... and the transfer runs or ran: WM_DOWNLOAD_DONE will come
    std::atomic<ZR_Thread*> thread{nullptr};

    // Shared between the owner and the transfer.
    std::atomic<int> abort{0};
    std::atomic<int> finished{0};
    std::atomic<bool> running{false};
    std::atomic<std::thread::id> runner{};
    ZR_Semaphore* abortSignal = ZR_semaphoreCreate();   // interrupts a rate-limit pause
    ZR_Semaphore* endedSignal = ZR_semaphoreCreate();   // the transfer has returned
    ZR_Semaphore* handledSignal = ZR_semaphoreCreate(); // the window handled WM_DOWNLOAD_DONE
    std::mutex postMutex;
    bool orphaned = false; // under postMutex
    std::string failure;   // under postMutex: why the transfer failed ("GET <url>: HTTP 404"), "" otherwise

    // The transfer's own.
    StopReason stopReason = StopReason::None;
    intptr_t stopDetail = 0;
    int64_t offset = 0; // resume offset in effect
    int64_t length = 0;
    bool lengthKnown = false;
    int64_t received = 0;
    int lastPercent = -1;
    uint32_t startTick = 0;
    uint32_t periodTick = 0;
    int64_t countAtReport = 0;

    ~HttpDownloadJob() override
    {
        if (file)
            std::fclose(file);
        ZR_semaphoreDestroy(abortSignal);
        ZR_semaphoreDestroy(endedSignal);
        ZR_semaphoreDestroy(handledSignal);
    }

    void requestAbort()
    {
        if (finished.load())
            return;
        if (abort.exchange(1) == 0)
            ZR_semaphoreSignal(abortSignal);
    }

    void orphan()
    {
        std::lock_guard guard(postMutex);
        orphaned = true;
    }

    void post(unsigned message, uintptr_t wParam, intptr_t lParam)
    {
        std::lock_guard guard(postMutex);
        if (window && !orphaned)
            window->post(message, wParam, lParam);
    }

    std::string open();
    void Run();
    void execute();
    void Finish(int result);
    void OnError(int result, intptr_t detail, std::string cause);
    void ReportProgress();
    bool closeFile();

    bool stop(StopReason reason, intptr_t detail = 0)
    {
        stopReason = reason;
        stopDetail = detail;
        return false;
    }

    bool onHead(const HttpResponseHead& head) override;
    bool onBody(const uint8_t* data, size_t size) override;
    bool keepGoing() override { return abort.load() ? stop(StopReason::Abort) : true; }
};

// Start's file steps: refuse, open, keep the resumed part.
std::string HttpDownloadJob::open()
{
    std::error_code ec;
    bool exists = std::filesystem::exists(targetPath, ec);
    if (exists && resumeOffset == 0 && refuseExisting == 1)
        return ZR_formatString(N_("The file '%s' already exists."), targetPath.c_str());

    offset = resumeOffset > 0 ? resumeOffset : 0;
    if (offset > 0) {
        // Extending a short file would put zeros in front of the resumed bytes;
        // resume from what is really there instead.
        uintmax_t have = exists ? std::filesystem::file_size(targetPath, ec) : 0;
        if (ec)
            have = 0;
        if (uintmax_t(offset) > have) {
            ZR_LOG("resume offset %lld beyond the %llu bytes of %s; resuming from there", (long long)offset,
                   (unsigned long long)have, targetPath.c_str());
            offset = int64_t(have);
        }
    }
    bool keep = exists && offset > 0;
    errno = 0;
    file = std::fopen(targetPath.c_str(), keep ? "r+b" : "wb");
    if (!file)
        return ZR_formatString(N_("An error occured while opening the file to be downloaded, Error:%d"), errno);
    std::setvbuf(file, nullptr, _IOFBF, kFileBufferBytes);
    if (keep) {
        std::filesystem::resize_file(targetPath, uintmax_t(offset), ec);
        int error = ec ? ec.value() : 0;
        if (!error && std::fseek(file, long(offset), SEEK_SET) != 0)
            error = errno ? errno : EIO;
        if (error) {
            std::fclose(file);
            file = nullptr;
            return ZR_formatString(N_("An error occurred while seeking to the end of the file to be downloaded, Error:%d"), error);
        }
    }
    return {};
}

bool HttpDownloadJob::closeFile()
{
    if (!file)
        return true;
    bool ok = std::fclose(file) == 0;
    file = nullptr;
    return ok;
}

void HttpDownloadJob::Finish(int result)
{
    closeFile();
    finished.store(1);
    post(WM_DOWNLOAD_DONE, uintptr_t(result), 0);
}

void HttpDownloadJob::OnError(int result, intptr_t detail, std::string cause)
{
    closeFile();
    bool cutOff;
    {
        std::lock_guard guard(postMutex);
        cutOff = orphaned;
        failure = std::move(cause);
    }
    // A transfer given up on no longer owns the path: a new download may be using it.
    if (!cutOff)
        std::remove(targetPath.c_str());
    finished.store(1);
    post(WM_DOWNLOAD_DONE, uintptr_t(result), detail);
}

void HttpDownloadJob::Run()
{
    runner.store(std::this_thread::get_id());
    execute();
    running.store(false);
    ZR_semaphoreSignal(endedSignal);
}

void HttpDownloadJob::execute()
{
    if (accessType < HTTP_ACCESS_PRECONFIG || accessType > HTTP_ACCESS_PROXY) {
        ZR_LOG("unknown access type %d", accessType);
        return OnError(DOWNLOAD_SESSION_FAILED, 0, ZR_formatString(N_("GET %s: unknown access type %d"), url.c_str(), accessType));
    }
    // Any abort ends as "aborted": reporting 0 would pass a partial file as complete.
    if (abort.load())
        return Finish(DOWNLOAD_ABORTED);

    HttpRequest request;
    request.url = url;
    request.rangeStart = offset;
    request.userAgent = userAgent;
    request.proxyMode = accessType == HTTP_ACCESS_DIRECT  ? HTTP_PROXY_NONE
                        : accessType == HTTP_ACCESS_PROXY ? HTTP_PROXY_GIVEN
                                                          : HTTP_PROXY_SYSTEM;
    request.proxy = proxy;
    request.proxyUser = proxyUserName;
    request.proxyPassword = proxyPassword;
    request.user = userName;
    request.password = password;
    request.connectTimeoutMs = connectTimeoutMs;
    request.stallSeconds = stallSeconds;
    request.receiveBufferBytes = kReceiveBufferBytes;
    if (rateLimit > 0) {
        // Pieces of about a second's worth keep each pause short, so the pauses
        // never look like a stalled server.
        double perSecond = rateLimit * 1000.0;
        request.receiveBufferBytes = perSecond < double(kMinRateLimitedPiece) ? kMinRateLimitedPiece
                                     : perSecond > double(kReceiveBufferBytes) ? kReceiveBufferBytes
                                                                               : size_t(perSecond);
    }

    HttpResult r = Http_get(request, this);
    switch (r.outcome) {
    case HTTP_DONE:
        if (abort.load())
            return Finish(DOWNLOAD_ABORTED);
        errno = 0;
        if (!closeFile()) {
            int error = errno ? errno : EIO;
            ZR_LOG("writing %s failed at close, errno %d", targetPath.c_str(), error);
            return OnError(DOWNLOAD_READ_FAILED, error, ZR_formatString(N_("writing %s: %s"), targetPath.c_str(), std::strerror(error)));
        }
        return Finish(DOWNLOAD_OK);
    case HTTP_STOPPED:
        switch (stopReason) {
        case StopReason::Status:
            ZR_LOG("%s answered status %d", url.c_str(), int(stopDetail));
            return OnError(DOWNLOAD_STATUS_REFUSED, stopDetail, ZR_formatString(N_("GET %s: HTTP %d"), url.c_str(), int(stopDetail)));
        case StopReason::Write:
            ZR_LOG("writing %s failed, errno %d", targetPath.c_str(), int(stopDetail));
            return OnError(DOWNLOAD_READ_FAILED, stopDetail,
                           ZR_formatString(N_("writing %s: %s"), targetPath.c_str(), std::strerror(int(stopDetail))));
        default:
            return Finish(DOWNLOAD_ABORTED);
        }
    case HTTP_FAIL_CONNECT:
        ZR_LOG("%s: %s", url.c_str(), r.message.c_str());
        return OnError(DOWNLOAD_CONNECT_FAILED, r.error, "GET " + url + ": " + r.message);
    case HTTP_FAIL_STATUS:
        ZR_LOG("%s: %s", url.c_str(), r.message.c_str());
        return OnError(DOWNLOAD_STATUS_FAILED, r.error, ZR_formatString(N_("GET %s: no HTTP answer (%s)"), url.c_str(), r.message.c_str()));
    case HTTP_FAIL_READ:
        ZR_LOG("%s: %s after %lld bytes", url.c_str(), r.message.c_str(), (long long)received);
        return OnError(DOWNLOAD_READ_FAILED, r.error,
                       ZR_formatString(N_("GET %s: %s after %lld bytes"), url.c_str(), r.message.c_str(), (long long)received));
    default:
        ZR_LOG("%s: %s", url.c_str(), r.message.c_str());
        return OnError(DOWNLOAD_SESSION_FAILED, r.error, "GET " + url + ": " + r.message);
    }
}

bool HttpDownloadJob::onHead(const HttpResponseHead& head)
{
    if (abort.load())
        return stop(StopReason::Abort);
    if (head.status != 200 && head.status != 206)
        return stop(StopReason::Status, head.status);
    // A part must say where it starts, and start where the file ends.
    if (head.status == 206 && (head.rangeStart >= 0 ? head.rangeStart != offset : offset > 0))
        return stop(StopReason::Status, head.status);
    if (head.status == 200 && offset > 0) {
        // The server ignored the range and sends the whole file: start it over
        // rather than append the whole behind the kept part.
        std::error_code ec;
        if (std::fflush(file) != 0)
            return stop(StopReason::Write, errno ? errno : EIO);
        std::filesystem::resize_file(targetPath, 0, ec);
        if (ec)
            return stop(StopReason::Write, ec.value());
        if (std::fseek(file, 0, SEEK_SET) != 0)
            return stop(StopReason::Write, errno ? errno : EIO);
        offset = 0;
    }
    lengthKnown = head.contentLength >= 0;
    length = lengthKnown ? head.contentLength : 0;
    post(WM_DOWNLOAD_SIZE, uintptr_t(length), intptr_t(offset));
    startTick = ZR_tickCount();
    periodTick = startTick;
    return true;
}

bool HttpDownloadJob::onBody(const uint8_t* data, size_t size)
{
    if (abort.load())
        return stop(StopReason::Abort);
    errno = 0;
    if (std::fwrite(data, 1, size, file) != size)
        return stop(StopReason::Write, errno ? errno : EIO);
    received += int64_t(size);
    if (rateLimit > 0) {
        uint32_t elapsed = ZR_tickCount() - startTick;
        double due = double(received) / rateLimit; // ms the bytes so far may take
        if (due > double(elapsed)) {
            double pause = due - double(elapsed);
            if (ZR_semaphoreWait(abortSignal, int32_t(pause > 2e9 ? 2e9 : pause)))
                return stop(StopReason::Abort);
        }
    }
    ReportProgress();
    return abort.load() ? stop(StopReason::Abort) : true;
}

void HttpDownloadJob::ReportProgress()
{
    if (lengthKnown && length + offset > 0) {
        int percent = int((received + offset) * 100 / (length + offset));
        if (percent != lastPercent) {
            lastPercent = percent;
            post(WM_DOWNLOAD_PERCENT, uintptr_t(percent), 0);
        }
    }
    uint32_t now = ZR_tickCount();
    uint32_t elapsed = now - periodTick;
    if (elapsed > kProgressPeriodMs) {
        double kib = double(received - countAtReport) / 1024.0;
        double rate = kib / (double(elapsed) / 1000.0) * 100000.0;
        periodTick = now;
        countAtReport = received;
        post(WM_DOWNLOAD_PROGRESS, uintptr_t(rate), intptr_t(received));
    }
}

namespace {

void transferThread(ZR_Thread*, void* arg)
{
    std::unique_ptr<std::shared_ptr<HttpDownloadJob>> hold(static_cast<std::shared_ptr<HttpDownloadJob>*>(arg));
    (*hold)->Run();
}

std::string fileNameOf(const std::string& object)
{
    size_t cut = object.rfind('/');
    if (cut == std::string::npos)
        cut = object.rfind('\\');
    if (cut == std::string::npos || object.size() < 2)
        return object;
    return object.substr(cut + 1);
}

} // namespace

CHttpDownload::CHttpDownload() = default;

CHttpDownload::~CHttpDownload() { Stop(); }

std::shared_ptr<HttpDownloadJob> CHttpDownload::current() const
{
    std::lock_guard guard(mutex_);
    return job_;
}

void CHttpDownload::Setup(MessageSink* window, const char* address, const char* targetPath, const char* proxy,
                          const char* proxyUserName, const char* proxyPassword, const char* userName,
                          const char* password, int accessType, int refuseExisting, int promptForProxy,
                          int promptForServer, double rateLimit, int32_t resumeOffset)
{
    Stop();
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    auto job = std::make_shared<HttpDownloadJob>();
    job->window = window;
    job->address = text(address);
    job->targetPath = text(targetPath);
    job->proxy = text(proxy);
    job->proxyUserName = text(proxyUserName);
    job->proxyPassword = text(proxyPassword);
    job->userName = text(userName);
    job->password = text(password);
    job->accessType = accessType;
    job->refuseExisting = refuseExisting;
    job->promptForProxy = promptForProxy;
    job->promptForServer = promptForServer;
    job->rateLimit = rateLimit;
    job->resumeOffset = resumeOffset;
    std::lock_guard guard(mutex_);
    job->connectTimeoutMs = connectTimeoutMs_;
    job->stallSeconds = stallSeconds_;
    job_ = std::move(job);
}

void CHttpDownload::Setup(MessageSink* window, const char* address, const char* targetPath)
{
    Setup(window, address, targetPath, "", "", "", "", "", HTTP_ACCESS_PRECONFIG, 0, 0, 0, 0.0, 0);
}

void CHttpDownload::SetTimeouts(int connectTimeoutMs, int stallSeconds)
{
    std::lock_guard guard(mutex_);
    connectTimeoutMs_ = connectTimeoutMs;
    stallSeconds_ = stallSeconds;
    if (job_ && !job_->started.load()) {
        job_->connectTimeoutMs = connectTimeoutMs;
        job_->stallSeconds = stallSeconds;
    }
}

std::string CHttpDownload::Start(int runHere)
{
    std::shared_ptr<HttpDownloadJob> job = current();
    if (!job) {
        Setup(nullptr, "", "");
        job = current();
    }
    if (job->started.exchange(true))
        return N_("The download has already been started.");

    if (HttpDownload_parseAddress(job->address.c_str(), &job->parsed)) {
        job->url = job->address;
    } else {
        job->url = "http://" + job->address;
        if (!HttpDownload_parseAddress(job->url.c_str(), &job->parsed))
            return ZR_formatString(N_("Failed to parse the URL: %s\n"), job->address.c_str());
    }
    if (std::string error = job->open(); !error.empty())
        return error;
    job->fileName = fileNameOf(job->parsed.object);
    job->running.store(true);
    job->launched.store(true);

    if (runHere) {
        job->Run();
        return {};
    }
    auto* hold = new std::shared_ptr<HttpDownloadJob>(job);
    ZR_Thread* thread = ZR_threadStart(transferThread, hold);
    if (!thread) {
        delete hold;
        job->running.store(false);
        job->launched.store(false);
        job->closeFile();
        return N_("Failed to create download thread, dialog is aborting\n");
    }
    job->thread.store(thread);
    return {};
}

void CHttpDownload::Stop()
{
    std::shared_ptr<HttpDownloadJob> job = current();
    if (!job)
        return;
    job->requestAbort();
    bool onTransferThread = job->runner.load() == std::this_thread::get_id();
    if (ZR_Thread* thread = job->thread.exchange(nullptr)) {
        if (onTransferThread)
            ZR_threadStop(thread, 0); // a receiver that handles messages synchronously: never wait on ourselves
        else if (!ZR_threadStopWithin(thread, kStopWaitMs))
            job->orphan();
    } else if (job->running.load() && !onTransferThread) {
        // Running on some other caller's thread (the update worker).
        if (!ZR_semaphoreWait(job->endedSignal, kStopWaitMs))
            job->orphan();
    }
}

void CHttpDownload::Abort()
{
    if (std::shared_ptr<HttpDownloadJob> job = current())
        job->requestAbort();
}

int CHttpDownload::IsFinished() const
{
    std::shared_ptr<HttpDownloadJob> job = current();
    return job ? job->finished.load() : 0;
}

void CHttpDownload::DoneHandled()
{
    if (std::shared_ptr<HttpDownloadJob> job = current())
        ZR_semaphoreSignal(job->handledSignal);
}

int CHttpDownload::WaitDoneHandled(int32_t timeoutMs)
{
    std::shared_ptr<HttpDownloadJob> job = current();
    if (!job || !job->launched.load())
        return 0;
    return ZR_semaphoreWait(job->handledSignal, timeoutMs);
}

std::string CHttpDownload::FailureText() const
{
    std::shared_ptr<HttpDownloadJob> job = current();
    if (!job) return {};
    std::lock_guard guard(job->postMutex);
    return job->failure;
}

std::string CHttpDownload::FileName() const
{
    std::shared_ptr<HttpDownloadJob> job = current();
    return job ? job->fileName : std::string();
}

std::string HttpDownload_progressText(int64_t size, int64_t received, double speedKiBps)
{
    std::string text = "\xCF\xC2\xD4\xD8\xBD\xF8\xB6\xC8"; // 下载进度
    double percent = size > 0 ? double(received) / double(size) * 100.0 : 0.0;
    text += ZR_formatString("%.02f%% ", percent);
    text += "\xCB\xD9\xB6\xC8"; // 速度
    text += ZR_formatString("%.02fKb/s  ", speedKiBps);
    text += "\xCA\xA3\xD3\xE0\xCA\xB1\xBC\xE4"; // 剩余时间
    int64_t left = size > received ? size - received : 0;
    if (speedKiBps <= 0 && left > 0)
        return text + "--";
    int64_t seconds = speedKiBps > 0 ? int64_t(double(left) / 1024.0 / speedKiBps) : 0;
    int64_t hours = seconds / 3600;
    int64_t minutes = seconds % 3600 / 60;
    if (hours > 0)
        text += ZR_formatString("%lld", (long long)hours) + "\xD0\xA1\xCA\xB1"; // 小时
    if (minutes > 0)
        text += ZR_formatString("%lld", (long long)minutes) + "\xB7\xD6\xD6\xD3"; // 分钟
    text += ZR_formatString("%lld", (long long)(seconds % 60)) + "\xC3\xEB";     // 秒
    return text;
}
