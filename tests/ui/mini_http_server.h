// A minimal HTTP/1.1 server on 127.0.0.1: one request per connection, bodies
// by path (the query ignored), 404 otherwise. Held routes answer only after
// release(), so a test can act while a download is in flight.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class MiniHttpServer {
public:
    MiniHttpServer()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            while (!stopping()) {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                int connection = ::accept(listener_, nullptr, nullptr);
                if (connection >= 0) answer(connection), ::close(connection);
            }
        });
    }
    ~MiniHttpServer()
    {
        set([this] { stopping_ = true; });
        thread_.join();
        ::close(listener_);
    }

    void route(const std::string& path, std::vector<uint8_t> body, bool hold = false)
    {
        set([&] { routes_[path] = {std::move(body), hold}; });
    }
    void release() { set([this] { held_ = false; }); }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string url(const std::string& pathAndQuery) const { return "http://" + hostPort() + pathAndQuery; }
    std::vector<std::string> requests() const
    {
        std::lock_guard guard(mutex_);
        return requests_;
    }

private:
    struct Route {
        std::vector<uint8_t> body;
        bool hold = false;
    };

    template <class F> void set(F f)
    {
        std::lock_guard guard(mutex_);
        f();
        changed_.notify_all();
    }
    bool stopping() const
    {
        std::lock_guard guard(mutex_);
        return stopping_;
    }

    void answer(int connection)
    {
        std::string request;
        char buffer[1024];
        for (pollfd p{connection, POLLIN, 0}; request.find("\r\n\r\n") == std::string::npos;) {
            ssize_t n = ::poll(&p, 1, 2000) > 0 ? ::recv(connection, buffer, sizeof buffer, 0) : 0;
            if (n <= 0) return;
            request.append(buffer, size_t(n));
        }
        size_t start = request.find(' ') + 1;
        std::string path = request.substr(start, request.find_first_of(" ?", start) - start);
        Route route;
        bool found;
        {
            std::unique_lock lock(mutex_);
            requests_.push_back(path);
            found = routes_.count(path) != 0;
            if (found) route = routes_[path];
            changed_.wait(lock, [&] { return !route.hold || !held_ || stopping_; });
            if (stopping_) return;
        }
        std::string reply = found ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n";
        reply += "Content-Length: " + std::to_string(route.body.size()) + "\r\nConnection: close\r\n\r\n";
        reply.append(route.body.begin(), route.body.end());
        for (size_t sent = 0; sent < reply.size();) {
            ssize_t n = ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += size_t(n);
        }
    }

    int listener_ = -1, port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Route> routes_;
    std::vector<std::string> requests_;
    bool held_ = true, stopping_ = false;
};
