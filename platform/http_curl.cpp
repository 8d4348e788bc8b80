// libcurl back end of platform/http_client.h (easy interface, one handle per
// transfer).
#include "platform/http_client.h"

#include <curl/curl.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <string_view>

namespace {

constexpr const char* kDefaultUserAgent = "Tessaly";
constexpr long kMaxRedirects = 10;
// Large receive buffers let one write callback carry what a single recv()
// delivers on a fast link; curl's own default (16 KiB) costs a third of the
// throughput of `curl -o` on loopback.
constexpr size_t kMinBuffer = CURL_MAX_WRITE_SIZE;
constexpr size_t kMaxBuffer = 10u << 20; // CURL_MAX_READ_SIZE in libcurl 7.88

void globalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// Decimal digits at the start of s; -1 when there are none or they overflow.
int64_t leadingNumber(std::string_view s)
{
    int64_t value = 0;
    size_t i = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (value > (INT64_MAX - 9) / 10)
            return -1;
        value = value * 10 + (s[i] - '0');
    }
    return i ? value : -1;
}

// Follows the header lines of every response of one transfer and hands the
// head of the one that carries the body to the handler exactly once.
struct Transfer {
    HttpHandler* handler;
    bool headDelivered = false;
    bool stoppedByHandler = false;

    // Fields of the response whose head is being read.
    int status = 0;
    int64_t contentLength = -1;
    bool chunked = false;
    bool hasLocation = false;
    int64_t rangeStart = -1;

    void beginResponse(std::string_view statusLine)
    {
        status = 0;
        contentLength = -1;
        chunked = false;
        hasLocation = false;
        rangeStart = -1;
        size_t space = statusLine.find(' ');
        if (space != std::string_view::npos) {
            int64_t code = leadingNumber(trim(statusLine.substr(space + 1)));
            status = code >= 0 && code < 1000 ? int(code) : 0;
        }
    }

    void headerField(std::string_view line)
    {
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return;
        std::string_view value = trim(line.substr(colon + 1));
        if (startsWithNoCase(line, "content-length:")) {
            contentLength = leadingNumber(value);
        } else if (startsWithNoCase(line, "transfer-encoding:")) {
            for (size_t i = 0; i + 7 <= value.size(); ++i)
                if (startsWithNoCase(value.substr(i), "chunked"))
                    chunked = true;
        } else if (startsWithNoCase(line, "location:")) {
            hasLocation = !value.empty();
        } else if (startsWithNoCase(line, "content-range:")) {
            // "bytes 100-199/200"
            if (startsWithNoCase(value, "bytes"))
                rangeStart = leadingNumber(trim(value.substr(5)));
        }
    }

    // libcurl follows any 3xx that names a Location, and answers 1xx itself.
    bool willBeReplaced() const { return (status >= 100 && status < 200) || (status >= 300 && status < 400 && hasLocation); }

    bool deliverHead()
    {
        headDelivered = true;
        HttpResponseHead head;
        head.status = status;
        // With chunked coding a Content-Length means nothing (RFC 9112 6.3).
        head.contentLength = chunked ? -1 : contentLength;
        head.rangeStart = rangeStart;
        if (!handler->onHead(head)) {
            stoppedByHandler = true;
            return false;
        }
        return true;
    }
};

size_t onHeaderLine(char* data, size_t size, size_t count, void* user)
{
    auto* t = static_cast<Transfer*>(user);
    size_t length = size * count;
    std::string_view line(data, length);
    // Trailers of a chunked body come this way too; the head is long gone.
    if (t->headDelivered)
        return length;
    if (startsWithNoCase(line, "HTTP/")) {
        t->beginResponse(line);
    } else if (line == "\r\n" || line == "\n") {
        if (!t->willBeReplaced() && !t->deliverHead())
            return 0;
    } else {
        t->headerField(line);
    }
    return length;
}

size_t onBodyPiece(char* data, size_t size, size_t count, void* user)
{
    auto* t = static_cast<Transfer*>(user);
    size_t length = size * count;
    if (!t->headDelivered && !t->deliverHead())
        return 0;
    if (!t->handler->onBody(reinterpret_cast<const uint8_t*>(data), length)) {
        t->stoppedByHandler = true;
        return 0;
    }
    return length;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* t = static_cast<Transfer*>(user);
    if (t->handler->keepGoing())
        return 0;
    t->stoppedByHandler = true;
    return 1;
}

struct EasyHandle {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    ~EasyHandle()
    {
        if (curl)
            curl_easy_cleanup(curl);
        curl_slist_free_all(headers);
    }
};

// Sets every option; the first refusal is returned.
CURLcode configure(EasyHandle& h, const HttpRequest& r, Transfer* t, char* errorBuffer)
{
    CURL* c = h.curl;
    CURLcode rc = CURLE_OK;
    auto set = [&rc](CURLcode result) {
        if (rc == CURLE_OK)
            rc = result;
    };
    set(curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer));
    set(curl_easy_setopt(c, CURLOPT_URL, r.url.c_str()));
    set(curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L));
    set(curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects));
    set(curl_easy_setopt(c, CURLOPT_HTTPGET, 1L));
    set(curl_easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)));
    set(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L));
    set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L));
    set(curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(r.connectTimeoutMs > 0 ? r.connectTimeoutMs : 30000)));
    set(curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L));
    set(curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, long(r.stallSeconds > 0 ? r.stallSeconds : 60)));
    size_t buffer = r.receiveBufferBytes < kMinBuffer ? kMinBuffer : r.receiveBufferBytes;
    set(curl_easy_setopt(c, CURLOPT_BUFFERSIZE, long(buffer > kMaxBuffer ? kMaxBuffer : buffer)));
    set(curl_easy_setopt(c, CURLOPT_USERAGENT, r.userAgent.empty() ? kDefaultUserAgent : r.userAgent.c_str()));

    // Always the server's current copy, never a cache's.
    h.headers = curl_slist_append(h.headers, "Cache-Control: no-cache");
    h.headers = curl_slist_append(h.headers, "Pragma: no-cache");
    if (!h.headers)
        return CURLE_OUT_OF_MEMORY;
    set(curl_easy_setopt(c, CURLOPT_HTTPHEADER, h.headers));
    if (r.rangeStart > 0) {
        std::string range = std::to_string(r.rangeStart) + "-"; // sent as "Range: bytes=N-"
        set(curl_easy_setopt(c, CURLOPT_RANGE, range.c_str()));
    }

    switch (r.proxyMode) {
    case HTTP_PROXY_NONE:
        set(curl_easy_setopt(c, CURLOPT_PROXY, ""));
        break;
    case HTTP_PROXY_GIVEN:
        set(curl_easy_setopt(c, CURLOPT_PROXY, r.proxy.c_str()));
        break;
    default:
        break; // libcurl reads the proxy environment variables itself
    }
    if (!r.proxyUser.empty()) {
        set(curl_easy_setopt(c, CURLOPT_PROXYAUTH, long(CURLAUTH_BASIC)));
        set(curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, r.proxyUser.c_str()));
        set(curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, r.proxyPassword.c_str()));
    }
    // Tunnel answers are the proxy's business, not the response's head.
    set(curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
    if (!r.user.empty()) {
        // Basic is sent with the first request, so no 401 round trip has to be
        // told apart from a final 401.
        set(curl_easy_setopt(c, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC)));
        set(curl_easy_setopt(c, CURLOPT_USERNAME, r.user.c_str()));
        set(curl_easy_setopt(c, CURLOPT_PASSWORD, r.password.c_str()));
    }

    set(curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeaderLine));
    set(curl_easy_setopt(c, CURLOPT_HEADERDATA, t));
    set(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBodyPiece));
    set(curl_easy_setopt(c, CURLOPT_WRITEDATA, t));
    set(curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress));
    set(curl_easy_setopt(c, CURLOPT_XFERINFODATA, t));
    set(curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L));
    return rc;
}

HttpResult failure(HttpOutcome outcome, CURLcode code, const char* errorBuffer)
{
    HttpResult r;
    r.outcome = outcome;
    r.error = int(code);
    r.message = errorBuffer && *errorBuffer ? errorBuffer : curl_easy_strerror(code);
    return r;
}

} // namespace

HttpResult Http_get(const HttpRequest& request, HttpHandler* handler)
{
    if (!handler)
        return failure(HTTP_FAIL_SETUP, CURLE_BAD_FUNCTION_ARGUMENT, nullptr);
    globalInit();
    EasyHandle h;
    if (!h.curl)
        return failure(HTTP_FAIL_SETUP, CURLE_FAILED_INIT, nullptr);

    Transfer t{handler};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    if (CURLcode rc = configure(h, request, &t, errorBuffer); rc != CURLE_OK)
        return failure(HTTP_FAIL_SETUP, rc, errorBuffer);

    CURLcode rc = curl_easy_perform(h.curl);
    if (rc == CURLE_OK && !t.headDelivered && !t.stoppedByHandler) {
        // A response without body and without the blank line seen as its end.
        long code = 0;
        curl_easy_getinfo(h.curl, CURLINFO_RESPONSE_CODE, &code);
        t.status = int(code);
        t.deliverHead();
    }
    if (t.stoppedByHandler)
        return HttpResult{HTTP_STOPPED, 0, {}};
    if (rc == CURLE_OK)
        return HttpResult{HTTP_DONE, 0, {}};
    if (t.headDelivered)
        return failure(HTTP_FAIL_READ, rc, errorBuffer);
    return failure(rc == CURLE_WEIRD_SERVER_REPLY ? HTTP_FAIL_STATUS : HTTP_FAIL_CONNECT, rc, errorBuffer);
}

const char* Http_outcomeName(int outcome)
{
    switch (outcome) {
    case HTTP_DONE: return "HTTP_DONE";
    case HTTP_STOPPED: return "HTTP_STOPPED";
    case HTTP_FAIL_SETUP: return "HTTP_FAIL_SETUP";
    case HTTP_FAIL_CONNECT: return "HTTP_FAIL_CONNECT";
    case HTTP_FAIL_STATUS: return "HTTP_FAIL_STATUS";
    case HTTP_FAIL_READ: return "HTTP_FAIL_READ";
    default: return "?";
    }
}
