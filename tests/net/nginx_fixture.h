// A private nginx on a loopback port serving one folder, for integration tests
// and the download benchmark. Everything nginx writes (configuration, pid,
// logs, temporary files) stays in its own temporary folder, removed on stop.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

extern char** environ;

class NginxServer {
public:
    static constexpr const char* kBinary = "/usr/sbin/nginx";

    static bool available() { return ::access(kBinary, X_OK) == 0; }

    ~NginxServer() { stop(); }

    // Serves root on 127.0.0.1 at a free port. false with *error set when
    // nginx is missing or does not come up.
    bool start(const std::string& root, std::string* error)
    {
        if (!available())
            return fail(error, "nginx is not installed");
        char pattern[] = "/tmp/tessaly_nginx_XXXXXX";
        if (!::mkdtemp(pattern))
            return fail(error, "mkdtemp failed");
        dir_ = pattern;
        // A free port can be taken by someone else before nginx binds it: try a few.
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = freePort();
            if (port_ > 0 && writeConfig(root) && launch() && waitUntilServing())
                return true;
            stopProcess();
        }
        std::ifstream log(dir_ + "/error.log");
        std::string text((std::istreambuf_iterator<char>(log)), {});
        return fail(error, "nginx did not start: " + text);
    }

    void stop()
    {
        stopProcess();
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
            dir_.clear();
        }
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    static bool fail(std::string* error, const std::string& text)
    {
        if (error)
            *error = text;
        return false;
    }

    static int freePort()
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return 0;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::close(fd);
        return port;
    }

    static bool accepts(int port)
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }

    bool writeConfig(const std::string& root)
    {
        std::ofstream conf(dir_ + "/nginx.conf", std::ios::trunc);
        // Single process in the foreground, so the pid we hold is nginx itself.
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n";
        if (::geteuid() == 0)
            conf << "user root;\n";
        conf << "pid " << dir_ << "/nginx.pid;\n"
             << "error_log " << dir_ << "/error.log warn;\n"
             << "events { worker_connections 64; }\n"
             << "http {\n"
             << "  access_log " << dir_ << "/access.log;\n"
             << "  client_body_temp_path " << dir_ << "/client_body;\n"
             << "  proxy_temp_path " << dir_ << "/proxy;\n"
             << "  fastcgi_temp_path " << dir_ << "/fastcgi;\n"
             << "  uwsgi_temp_path " << dir_ << "/uwsgi;\n"
             << "  scgi_temp_path " << dir_ << "/scgi;\n"
             << "  default_type application/octet-stream;\n"
             << "  sendfile on;\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << port_ << ";\n"
             << "    root " << root << ";\n"
             << "  }\n"
             << "}\n";
        return bool(conf.flush());
    }

    bool launch()
    {
        std::string conf = dir_ + "/nginx.conf", log = dir_ + "/error.log";
        const char* argv[] = {"nginx", "-p", dir_.c_str(), "-c", conf.c_str(), "-e", log.c_str(), nullptr};
        return ::posix_spawn(&pid_, kBinary, nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0;
    }

    bool waitUntilServing()
    {
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0; // ended: the port was taken, or the configuration was refused
                return false;
            }
            if (accepts(port_))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void stopProcess()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = 0;
};
