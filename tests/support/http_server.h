// An HTTP server on 127.0.0.1, on a free port, inside the test process
// (cpp-httplib); an HTTPS server when given a certificate and its key.
// Routes come from the constructor's argument and from serve...() calls; the
// path and Range header of every request are recorded. Held routes let a
// test act while a transfer is in flight, and cut routes end one early.
#pragma once

// Debian's libcpp-httplib is built with these; Request's layout depends on the
// first, so the header must see the same switches as the library.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace test_support {

class TestHttpServer {
public:
    // Sets up routes on the server before it listens; these come before the
    // ones given by serve...(). May be empty.
    using Routes = std::function<void(httplib::Server&, TestHttpServer&)>;

    explicit TestHttpServer(const Routes& routes = {}, const std::string& certFile = {},
                            const std::string& keyFile = {});
    // Ends held responses (connection closed) and stops the server.
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string url(const std::string& pathAndQuery) const;

    // Answers GET path (whatever the query) with 200 and body; a path nobody
    // serves gets 404. Replaces an earlier route of the same path.
    void serve(const std::string& path, std::string body);
    // Announces all of body, sends its first sentBeforeHold bytes (less than
    // the body's size), then stops until release() sends the rest or cut()
    // closes the connection. Until either, the client sees a stalled transfer.
    void serveHeld(const std::string& path, std::string body, size_t sentBeforeHold = 0);
    // Announces all of body, sends its first `sent` bytes and closes the
    // connection: a transfer cut short.
    void serveCut(const std::string& path, std::string body, size_t sent);

    // Lets every held response, now and later, finish.
    void release();
    // Closes every held response, now and later, at its hold.
    void cut();
    // True once count responses are waiting at a hold at the same time.
    bool waitHeld(size_t count = 1, int timeoutMs = kPatienceMs) const;

    // For handlers that drag on: waits ms, or less when the server shuts
    // down; false once it shuts down.
    bool pause(int ms);

    // Paths of the requests so far, in arrival order.
    std::vector<std::string> requests() const;
    bool requested(const std::string& path) const;
    // The Range header of the last request for path ("" without one;
    // "<no request>" when none came).
    std::string lastRange(const std::string& path) const;

private:
    enum class HoldState { holding, released, cut };
    struct Route {
        std::string body;
        size_t sentBeforeHold = 0;
        enum { whole, held, cutShort } kind = whole;
    };
    struct Seen {
        std::string path;
        std::string range;
    };

    void answer(const httplib::Request& req, httplib::Response& res);
    // Blocks a held response; true when it may go on.
    bool waitAtHold();
    void setRoute(const std::string& path, Route route);

    bool tls_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    HoldState hold_ = HoldState::holding;
    size_t waitingAtHold_ = 0;
    std::map<std::string, std::shared_ptr<const Route>> routes_;
    std::vector<Seen> requests_;
};

} // namespace test_support
