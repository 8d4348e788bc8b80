// CHttpDownload: fetches one http(s) address into one local file, on a thread
// of its own (the version file) or on the calling thread (a package, from the
// update worker). Resumes with a byte range, can limit its average rate, and
// tells one window about size, percent, rate and the end with posted messages.
//
// The window handles the end message (WM_DOWNLOAD_DONE) on its own thread: it
// calls Stop, and, when another thread waits for that handling (the update
// worker before it reads the window's download error text), DoneHandled last.
//
// The window calls Stop, Abort and DoneHandled from its thread while the update
// worker calls Setup, Start and WaitDoneHandled from its own; any one call is
// made by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "net/message_sink.h"

// Window messages (WM_APP + 0x51 ... 0x54).
inline constexpr unsigned WM_DOWNLOAD_DONE = 32849;     // wParam result (below), lParam detail
inline constexpr unsigned WM_DOWNLOAD_SIZE = 32850;     // wParam content length (0: none), lParam resume offset
inline constexpr unsigned WM_DOWNLOAD_PERCENT = 32851;  // wParam whole percent, lParam 0; only with a known length
inline constexpr unsigned WM_DOWNLOAD_PROGRESS = 32852; // wParam KiB/s × 100000, lParam bytes of this transfer

// wParam of WM_DOWNLOAD_DONE. lParam: for 1 to 4 the HTTP layer's error number
// (a libcurl CURLcode; for a failed file write in 3, the errno), for 5 the
// HTTP status, else 0. Every result but 0 and 6 deletes the target file.
enum DownloadResult : int {
    DOWNLOAD_OK = 0,             // the whole body is in the file
    DOWNLOAD_SESSION_FAILED = 1, // no transfer could be set up (also: unknown access type)
    DOWNLOAD_CONNECT_FAILED = 2, // no response: name, connection, TLS, scheme other than http(s), sending
    DOWNLOAD_READ_FAILED = 3,    // the body broke off, stalled, or could not be written to the file
    DOWNLOAD_STATUS_FAILED = 4,  // the answer carried no readable HTTP status
    DOWNLOAD_STATUS_REFUSED = 5, // a status other than 200 or 206 (401 and 407 included)
    DOWNLOAD_ABORTED = 6,        // Abort or Stop asked for it; the partial file stays
};

// Service types of a parsed address (the window framework's numbers).
inline constexpr int HTTP_SERVICE_FTP = 1;
inline constexpr int HTTP_SERVICE_HTTP = 3;
inline constexpr int HTTP_SERVICE_HTTPS = 4107;
inline constexpr int HTTP_SERVICE_UNKNOWN = 4096;

// Session access types of Setup.
inline constexpr int HTTP_ACCESS_PRECONFIG = 0; // the system's proxy settings
inline constexpr int HTTP_ACCESS_DIRECT = 1;    // no proxy
inline constexpr int HTTP_ACCESS_PROXY = 2;     // the proxy given to Setup

// An address split the way the downloader needs it.
struct HttpAddress {
    int serviceType = 0;   // HTTP_SERVICE_*
    std::string server;    // host name or address, without brackets for IPv6
    std::string object;    // path and query, at least "/"
    int port = 0;          // given in the address, else the scheme's default (0 when it has none)
};

// Splits "scheme://[user@]server[:port][/object]". 1 on success; 0 without a
// "scheme://" prefix, with an empty server or a port that is not 1 to 65535.
int HttpDownload_parseAddress(const char* address, HttpAddress* out);

struct HttpDownloadJob;

class CHttpDownload {
public:
    CHttpDownload();
    // Stops a running transfer (as Stop).
    ~CHttpDownload();
    CHttpDownload(const CHttpDownload&) = delete;
    CHttpDownload& operator=(const CHttpDownload&) = delete;

    // Every setting at once. Null texts count as empty. window receives every
    // message and must outlive the transfer or the Stop that ends it. A
    // transfer still running from an earlier Setup is stopped first.
    //   accessType: HTTP_ACCESS_*; any other value fails the transfer with result 1.
    //   refuseExisting: 1 refuses to replace an existing file on a fresh download.
    //   promptForProxy, promptForServer: kept for callers; no credential dialog
    //     exists below the window, so an unanswered 401 or 407 ends with result 5.
    //   rateLimit: average bytes per millisecond; 0 or less: no limit.
    //   resumeOffset: bytes already in the file to keep and continue after; 0: fresh.
    void Setup(MessageSink* window, const char* address, const char* targetPath, const char* proxy,
               const char* proxyUserName, const char* proxyPassword, const char* userName, const char* password,
               int accessType, int refuseExisting, int promptForProxy, int promptForServer, double rateLimit,
               int32_t resumeOffset);

    // The form every caller of this tool uses: everything else empty or 0.
    void Setup(MessageSink* window, const char* address, const char* targetPath);

    // Bounds of the transfer in time: connecting (ms) and how long it may move
    // less than 1 byte/s (s) before it fails with result 3. Defaults 30000 ms
    // and 60 s. Kept across Setup.
    void SetTimeouts(int connectTimeoutMs, int stallSeconds);

    // Opens the target file and runs the transfer here (runHere 1; returns when
    // it has ended and WM_DOWNLOAD_DONE is posted) or on a thread of its own
    // (runHere 0). Empty text when the transfer ran or was started; otherwise
    // the error text, and nothing is posted:
    //   "Failed to parse the URL: %s\n"
    //   "The file '%s' already exists."
    //   "An error occured while opening the file to be downloaded, Error:%d"
    //   "An error occurred while seeking to the end of the file to be downloaded, Error:%d"
    //   "Failed to create download thread, dialog is aborting\n"
    //   "The download has already been started." (Start twice after one Setup)
    std::string Start(int runHere);

    // Asks an unfinished transfer to abort, waits up to 4000 ms for it to end
    // (also for one running on another caller's thread), then lets go of its
    // thread. A transfer that has not ended by then is left to end on its own
    // and posts nothing more. Safe in every state, repeatedly.
    void Stop();

    // Asks an unfinished transfer to abort and returns at once; the transfer
    // ends with result 6 at its next step (within about a second).
    void Abort();

    // 1 once the transfer has posted its end, else 0.
    int IsFinished() const;

    // The window's handler of WM_DOWNLOAD_DONE calls this as its last act.
    void DoneHandled();

    // Waits until the window has handled this transfer's WM_DOWNLOAD_DONE
    // (DoneHandled), at most timeoutMs. 1 when it has, 0 on time-out or when
    // no transfer was started since Setup.
    int WaitDoneHandled(int32_t timeoutMs);

    // Why the last transfer failed, with its address, for the user and the
    // log: "GET http://host/x.zip: HTTP 404", "GET <url>: Could not resolve
    // host: x.invalid", "writing <file>: No space left on device". Empty
    // while it runs, after a success or an abort, and before any Start.
    std::string FailureText() const;

    // The address's object after its last '/' (or '\'); the whole object when
    // it has neither or is shorter than 2 characters. Set by Start.
    std::string FileName() const;

private:
    std::shared_ptr<HttpDownloadJob> current() const;

    mutable std::mutex mutex_;              // guards the three below
    std::shared_ptr<HttpDownloadJob> job_;  // the transfer of the last Setup; shared with its thread
    int connectTimeoutMs_ = 30000;
    int stallSeconds_ = 60;
};

// The progress bar's text of a package download, in GBK: "下载进度" "%.02f%% "
// "速度" "%.02fKb/s  " "剩余时间" and the time left as hours ("%d小时", only
// when above 0), minutes ("%d分钟", only when above 0) and seconds ("%d秒").
// size is the download's length, received the bytes so far, speedKiBps the
// rate (WM_DOWNLOAD_PROGRESS's wParam ÷ 100000). With no known speed (0 or
// less) nothing is left to estimate: the time left shows "0秒" once everything
// has arrived and "--" before. A size of 0 shows 0%.
std::string HttpDownload_progressText(int64_t size, int64_t received, double speedKiBps);
