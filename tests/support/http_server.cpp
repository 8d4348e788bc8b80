#include "support/http_server.h"

#include <cstdlib>
#include <stdexcept>

namespace test_support {

TestHttpServer::TestHttpServer(const Routes& routes, const std::string& certFile, const std::string& keyFile)
    : tls_(!certFile.empty()),
      server_(tls_ ? std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str())
                   : std::make_unique<httplib::Server>())
{
    // Loopback never goes through a proxy the environment may name. Set
    // here, before any transfer of the test runs.
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    server_->set_keep_alive_timeout(1);
    server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
        std::lock_guard guard(mutex_);
        requests_.push_back({req.path, req.get_header_value("Range")});
        changed_.notify_all();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    if (routes) routes(*server_, *this);
    // Registered last, so the constructor's routes win; the table behind it
    // may change while the server runs.
    server_->Get(".*", [this](const httplib::Request& req, httplib::Response& res) { answer(req, res); });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a port on 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // The socket listens already; stop() only works once the loop runs.
    waitUntil([this] { return server_->is_running(); });
}

TestHttpServer::~TestHttpServer()
{
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    server_->stop();
    thread_.join();
}

std::string TestHttpServer::url(const std::string& pathAndQuery) const
{
    return (tls_ ? "https://" : "http://") + hostPort() + pathAndQuery;
}

void TestHttpServer::setRoute(const std::string& path, Route route)
{
    std::lock_guard guard(mutex_);
    routes_[path] = std::make_shared<const Route>(std::move(route));
}

void TestHttpServer::serve(const std::string& path, std::string body)
{
    setRoute(path, Route{std::move(body), 0, Route::whole});
}

void TestHttpServer::serveHeld(const std::string& path, std::string body, size_t sentBeforeHold)
{
    setRoute(path, Route{std::move(body), sentBeforeHold, Route::held});
}

void TestHttpServer::serveCut(const std::string& path, std::string body, size_t sent)
{
    setRoute(path, Route{std::move(body), sent, Route::cutShort});
}

void TestHttpServer::release()
{
    std::lock_guard guard(mutex_);
    hold_ = HoldState::released;
    changed_.notify_all();
}

void TestHttpServer::cut()
{
    std::lock_guard guard(mutex_);
    hold_ = HoldState::cut;
    changed_.notify_all();
}

bool TestHttpServer::waitHeld(size_t count, int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return waitingAtHold_ >= count; });
}

bool TestHttpServer::waitAtHold()
{
    std::unique_lock lock(mutex_);
    ++waitingAtHold_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return stopping_ || hold_ != HoldState::holding; });
    --waitingAtHold_;
    return !stopping_ && hold_ == HoldState::released;
}

void TestHttpServer::answer(const httplib::Request& req, httplib::Response& res)
{
    std::shared_ptr<const Route> route;
    {
        std::lock_guard guard(mutex_);
        auto it = routes_.find(req.path);
        if (it != routes_.end()) route = it->second;
    }
    if (!route) {
        res.status = 404;
        return;
    }
    if (route->kind == Route::whole) return res.set_content(route->body, "application/octet-stream");

    // The provider is called again after each piece it writes, with the
    // offset reached; returning false drops the connection.
    const size_t stop = std::min(route->sentBeforeHold, route->body.size());
    res.set_content_provider(route->body.size(), "application/octet-stream",
                             [this, route, stop](size_t offset, size_t, httplib::DataSink& sink) {
                                 const std::string& body = route->body;
                                 if (offset < stop) return sink.write(body.data() + offset, stop - offset);
                                 if (route->kind == Route::cutShort || !waitAtHold()) return false;
                                 return sink.write(body.data() + offset, body.size() - offset);
                             });
}

bool TestHttpServer::pause(int ms)
{
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

std::vector<std::string> TestHttpServer::requests() const
{
    std::lock_guard guard(mutex_);
    std::vector<std::string> paths;
    for (const Seen& s : requests_) paths.push_back(s.path);
    return paths;
}

bool TestHttpServer::requested(const std::string& path) const { return lastRange(path) != "<no request>"; }

std::string TestHttpServer::lastRange(const std::string& path) const
{
    std::lock_guard guard(mutex_);
    for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
        if (it->path == path) return it->range;
    return "<no request>";
}

} // namespace test_support
