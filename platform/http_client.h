// One HTTP(S) GET, streamed to a caller's handler: the contract between the
// downloader and the platform's HTTP library (libcurl on Linux).
//
// Redirects are followed; only http and https are spoken, on the first request
// and on every redirect. Every transfer is bounded in time: connecting has a
// time limit, and a transfer that moves (almost) nothing for stallSeconds fails.
// https certificates are verified against the system's trust store, host name
// and dates included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// How the request reaches the server.
enum HttpProxyMode : int {
    HTTP_PROXY_SYSTEM = 0, // whatever the environment says (http_proxy, https_proxy, no_proxy)
    HTTP_PROXY_NONE = 1,   // straight to the server, whatever the environment says
    HTTP_PROXY_GIVEN = 2,  // through HttpRequest::proxy
};

struct HttpRequest {
    std::string url;            // absolute address with its scheme; other schemes than http(s) fail to connect
    int64_t rangeStart = 0;     // > 0 asks for the bytes from here on ("Range: bytes=N-")
    std::string userAgent;      // empty: "Tessaly"
    int proxyMode = HTTP_PROXY_SYSTEM;
    std::string proxy;          // "host:port" or a proxy address, for HTTP_PROXY_GIVEN
    std::string proxyUser;      // Basic credentials for the proxy; empty: none
    std::string proxyPassword;
    std::string user;           // Basic credentials for the server, sent with the request; empty: none
    std::string password;
    int connectTimeoutMs = 30000; // name resolution and connecting (TLS handshake included)
    int stallSeconds = 60;        // fail when under 1 byte/s arrives for this long
    size_t receiveBufferBytes = 512 * 1024; // largest piece handed to onBody
};

// The head of the response that carries the body: interim answers (1xx) and
// redirects that are followed are never shown.
struct HttpResponseHead {
    int status = 0;             // HTTP status code
    int64_t contentLength = -1; // announced body length; -1 when none (chunked, or until close)
    int64_t rangeStart = -1;    // first byte named by Content-Range; -1 when there is none
};

// What the transfer reports to. Every call comes on the thread that runs
// Http_get, in the order head, body pieces; keepGoing is interleaved.
class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // The head arrived, before any body byte. false stops the transfer (HTTP_STOPPED).
    virtual bool onHead(const HttpResponseHead& head) = 0;
    // The next piece of the body (at most receiveBufferBytes). false stops the transfer.
    virtual bool onBody(const uint8_t* data, size_t length) = 0;
    // Asked between and during network waits, at least about once a second;
    // false stops the transfer.
    virtual bool keepGoing() = 0;
};

enum HttpOutcome : int {
    HTTP_DONE = 0,         // the whole body was delivered (as long as announced, when announced)
    HTTP_STOPPED = 1,      // the handler stopped it (onHead/onBody gave false, keepGoing gave false)
    HTTP_FAIL_SETUP = 2,   // the library could not set up the transfer
    HTTP_FAIL_CONNECT = 3, // no response: address, scheme, name, connection, TLS, sending, or timing out before the head
    HTTP_FAIL_STATUS = 4,  // the server answered something that is not an HTTP response head
    HTTP_FAIL_READ = 5,    // the body broke off after the head: cut short, receive error, stalled
};

struct HttpResult {
    HttpOutcome outcome = HTTP_FAIL_SETUP;
    int error = 0;         // the library's error number (libcurl: CURLcode); 0 for DONE and STOPPED
    std::string message;   // readable detail of a failure, empty otherwise
};

// Runs one GET to its end on the calling thread. handler must not be null.
// Thread-safe: concurrent calls use separate connections.
HttpResult Http_get(const HttpRequest& request, HttpHandler* handler);

// "HTTP_DONE" ... "HTTP_FAIL_READ"; "?" for other values.
const char* Http_outcomeName(int outcome);
