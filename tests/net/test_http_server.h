// An HTTP server on 127.0.0.1, on a free port, inside the test process
// (cpp-httplib); an HTTPS server when given a certificate and its key. Routes
// are set up by the constructor's argument; every request's path and Range
// header are recorded.
#pragma once

// Debian's libcpp-httplib is built with these; Request's layout depends on the
// first, so the header must see the same switches as the library.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class TestHttpServer {
public:
    using Routes = std::function<void(httplib::Server&, TestHttpServer&)>;

    explicit TestHttpServer(const Routes& routes, const std::string& certFile = {}, const std::string& keyFile = {})
        : tls_(!certFile.empty()),
          serverHolder_(tls_ ? std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str())
                             : std::make_unique<httplib::Server>()),
          server_(*serverHolder_)
    {
        // Loopback never goes through a proxy the environment may name. Set
        // here, before any transfer of the test runs.
        ::setenv("no_proxy", "127.0.0.1,localhost", 1);
        server_.set_keep_alive_timeout(1);
        server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            std::lock_guard guard(mutex_);
            requests_.push_back({req.path, req.get_header_value("Range")});
            return httplib::Server::HandlerResponse::Unhandled;
        });
        routes(server_, *this);
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0)
            throw std::runtime_error("cannot bind a port on 127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 500 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    ~TestHttpServer()
    {
        {
            std::lock_guard guard(mutex_);
            stopping_ = true;
            wake_.notify_all();
        }
        server_.stop();
        thread_.join();
    }

    int port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string url(const std::string& path) const { return (tls_ ? "https://" : "http://") + hostPort() + path; }

    // For handlers that drag on: waits ms, or less when the server shuts
    // down; false once it shuts down.
    bool pause(int ms)
    {
        std::unique_lock lock(mutex_);
        return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
    }

    // The Range header of the last request for path ("" without one).
    std::string lastRange(const std::string& path) const
    {
        std::lock_guard guard(mutex_);
        for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
            if (it->path == path)
                return it->range;
        return "<no request>";
    }

private:
    struct Seen {
        std::string path;
        std::string range;
    };

    bool tls_;
    std::unique_ptr<httplib::Server> serverHolder_;
    httplib::Server& server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<Seen> requests_;
};
