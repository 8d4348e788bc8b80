#include "net/http_download.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "net/message_queue.h"
#include "net/nginx_fixture.h"
#include "support/http_server.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test_support::readText;
using test_support::TestHttpServer;
using test_support::writeFile;

std::string payload(size_t n)
{
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s)
        c = char((x = x * 1103515245u + 12345u) >> 24);
    return s;
}

const std::string kBody = payload(300000);

// Compares without printing 300 kB of bytes on a mismatch.
testing::AssertionResult holdsBody(const std::string& path)
{
    std::string got = readText(path);
    if (got == kBody)
        return testing::AssertionSuccess();
    size_t same = 0;
    while (same < got.size() && same < kBody.size() && got[same] == kBody[same])
        ++same;
    return testing::AssertionFailure() << path << " holds " << got.size() << " bytes, the first " << same
                                       << " of them right; expected " << kBody.size();
}

// Sends 1 KiB every 20 ms of an announced 10 MiB until the client or the server goes.
void slowBody(httplib::Response& res, TestHttpServer& srv)
{
    res.set_content_provider(10u << 20, "application/octet-stream",
                             [&srv](size_t offset, size_t, httplib::DataSink& sink) {
                                 return srv.pause(20) && sink.write(kBody.data() + offset % 1000, 1024);
                             });
}

void routes(httplib::Server& s, TestHttpServer& srv)
{
    using Req = const httplib::Request&;
    using Res = httplib::Response&;
    s.Get("/file.bin", [](Req, Res res) { res.set_content(kBody, "application/octet-stream"); });
    s.Get("/empty", [](Req, Res res) { res.set_content("", "application/octet-stream"); });
    s.Get("/chunked.bin", [](Req, Res res) {
        res.set_chunked_content_provider("application/octet-stream", [](size_t offset, httplib::DataSink& sink) {
            size_t n = std::min<size_t>(7000, kBody.size() - offset);
            sink.write(kBody.data() + offset, n);
            if (offset + n == kBody.size())
                sink.done();
            return true;
        });
    });
    s.Get("/slow.bin", [&srv](Req, Res res) { slowBody(res, srv); });
    // Servers that get ranges wrong. The library would answer the Range
    // itself, so the handlers make it forget the request's ranges.
    auto forgetRange = [](Req req) { const_cast<httplib::Request&>(req).ranges.clear(); };
    s.Get("/norange.bin", [=](Req req, Res res) { // everything, with a plain 200
        forgetRange(req);
        res.set_content(kBody, "application/octet-stream");
    });
    s.Get("/wrongpart.bin", [=](Req req, Res res) { // always the part from byte 10
        forgetRange(req);
        res.status = 206;
        res.set_header("Content-Range", "bytes 10-299999/300000");
        res.set_content(kBody.substr(10), "application/octet-stream");
    });
    s.Get("/unnamedpart.bin", [=](Req req, Res res) { // a part that does not say which
        forgetRange(req);
        res.status = 206;
        res.set_content(kBody.substr(1000), "application/octet-stream");
    });
    s.Get("/error", [](Req, Res res) { res.status = 500; });
    s.Get("/secret.bin", [](Req req, Res res) {
        if (req.get_header_value("Authorization") == "Basic dXNlcjpwYXNz") // user:pass
            return res.set_content(kBody, "application/octet-stream");
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"t\"");
        res.set_content("denied", "text/plain");
    });
    s.Get("/moved", [](Req, Res res) { res.set_redirect("/file.bin"); });
    // Announces the whole body, sends 40000 bytes, then drops the connection.
    srv.serveCut("/cut.bin", kBody, 40000);
    // Sends the head, then nothing at all (never released).
    srv.serveHeld("/stall.bin", kBody);
}

class Download : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = temp.path();
        target = (dir / "out.bin").string();
    }

    // Runs one download to its end on the calling thread; the DONE message.
    PostedMessage fetch(const std::string& address, int32_t resume = 0)
    {
        queue.clear();
        dl.Setup(&queue, address.c_str(), target.c_str(), "", "", "", "", "", HTTP_ACCESS_DIRECT, 0, 0, 0, 0, resume);
        EXPECT_EQ(dl.Start(1), "");
        auto done = queue.waitFor(WM_DOWNLOAD_DONE, 0);
        EXPECT_TRUE(done.has_value());
        EXPECT_EQ(queue.all().back().message, WM_DOWNLOAD_DONE) << "the end is the last message";
        return done.value_or(PostedMessage{0, 99, 0});
    }

    TestHttpServer server{routes};
    test_support::TempDir temp;
    fs::path dir;
    std::string target;
    MessageQueue queue;
    CHttpDownload dl;
};

TEST_F(Download, WholeBodyWithLengthReportsSizeAndRisingPercent)
{
    auto done = fetch(server.url("/file.bin"));
    EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_TRUE(holdsBody(target));
    auto size = queue.of(WM_DOWNLOAD_SIZE);
    ASSERT_EQ(size.size(), 1u);
    EXPECT_EQ(size[0].wParam, kBody.size());
    EXPECT_EQ(size[0].lParam, 0);
    auto percents = queue.of(WM_DOWNLOAD_PERCENT);
    ASSERT_FALSE(percents.empty());
    for (size_t i = 1; i < percents.size(); ++i)
        EXPECT_GT(percents[i].wParam, percents[i - 1].wParam) << "posted only on change";
    EXPECT_EQ(percents.back().wParam, 100u);
}

TEST_F(Download, ChunkedBodyHasNoLengthAndNoPercent)
{
    auto done = fetch(server.url("/chunked.bin"));
    EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_TRUE(holdsBody(target));
    ASSERT_EQ(queue.of(WM_DOWNLOAD_SIZE).size(), 1u);
    EXPECT_EQ(queue.of(WM_DOWNLOAD_SIZE)[0].wParam, 0u);
    EXPECT_TRUE(queue.of(WM_DOWNLOAD_PERCENT).empty());
}

TEST_F(Download, AddressFormsAndRedirectsReachTheFile)
{
    // No scheme means http; a redirect is followed to the file.
    EXPECT_EQ(fetch(server.hostPort() + "/file.bin").wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_TRUE(holdsBody(target));
    EXPECT_EQ(dl.FileName(), "file.bin");
    fs::remove(target);
    EXPECT_EQ(fetch(server.url("/moved")).wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_TRUE(holdsBody(target));
}

TEST_F(Download, ZeroByteBodyGivesAnEmptyFile)
{
    EXPECT_EQ(fetch(server.url("/empty")).wParam, uintptr_t(DOWNLOAD_OK));
    ASSERT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);
    EXPECT_TRUE(queue.of(WM_DOWNLOAD_PERCENT).empty());
}

TEST_F(Download, ResumeAsksForTheRestAndKeepsTheFirstBytes)
{
    // The file holds more than the offset: what lies beyond it is replaced.
    writeFile(target, kBody.substr(0, 100000) + "stale tail");
    auto done = fetch(server.url("/file.bin"), 100000);
    EXPECT_EQ(server.lastRange("/file.bin"), "bytes=100000-");
    EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_TRUE(holdsBody(target));
    auto size = queue.of(WM_DOWNLOAD_SIZE);
    ASSERT_EQ(size.size(), 1u);
    EXPECT_EQ(size[0].wParam, kBody.size() - 100000);
    EXPECT_EQ(size[0].lParam, 100000);
    EXPECT_EQ(queue.of(WM_DOWNLOAD_PERCENT).back().wParam, 100u);
}

TEST_F(Download, ResumeNeverCorruptsTheFile)
{
    // Offset beyond the file: resume from where the file really ends.
    writeFile(target, kBody.substr(0, 1000));
    EXPECT_EQ(fetch(server.url("/file.bin"), 5000).wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_EQ(server.lastRange("/file.bin"), "bytes=1000-");
    EXPECT_TRUE(holdsBody(target));

    // A server that ignores the range sends everything: the file starts over.
    writeFile(target, kBody.substr(0, 1000));
    EXPECT_EQ(fetch(server.url("/norange.bin"), 1000).wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_TRUE(holdsBody(target));
    EXPECT_EQ(queue.of(WM_DOWNLOAD_SIZE)[0].lParam, 0) << "nothing was resumed";

    // A part that is not the one asked for is refused.
    for (const char* path : {"/wrongpart.bin", "/unnamedpart.bin"}) {
        writeFile(target, kBody.substr(0, 1000));
        auto done = fetch(server.url(path), 1000);
        EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_STATUS_REFUSED)) << path;
        EXPECT_EQ(done.lParam, 206) << path;
    }
}

TEST_F(Download, RefusedStatusLeavesNoFile)
{
    struct Case {
        const char* path;
        int status;
    };
    for (Case c : {Case{"/missing", 404}, Case{"/error", 500}, Case{"/secret.bin", 401}}) {
        SCOPED_TRACE(c.path);
        writeFile(target, "old");
        auto done = fetch(server.url(c.path));
        EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_STATUS_REFUSED));
        EXPECT_EQ(done.lParam, c.status);
        EXPECT_FALSE(fs::exists(target));
        EXPECT_TRUE(queue.of(WM_DOWNLOAD_SIZE).empty());
    }
}

TEST_F(Download, CredentialsAnswerTheChallenge)
{
    dl.Setup(&queue, server.url("/secret.bin").c_str(), target.c_str(), "", "", "", "user", "pass", HTTP_ACCESS_DIRECT,
             0, 0, 0, 0, 0);
    EXPECT_EQ(dl.Start(1), "");
    EXPECT_EQ(queue.waitFor(WM_DOWNLOAD_DONE, 0)->wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_TRUE(holdsBody(target));
}

TEST_F(Download, BrokenTransfersFailAndLeaveNoFile)
{
    // Cut before the announced length: never a truncated "success".
    auto done = fetch(server.url("/cut.bin"));
    EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_READ_FAILED));
    EXPECT_FALSE(fs::exists(target));

    // Other schemes are refused before any connection.
    done = fetch("ftp://127.0.0.1:" + std::to_string(server.port()) + "/file.bin");
    EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_CONNECT_FAILED));
    EXPECT_FALSE(fs::exists(target));

    // Nobody listening.
    TestHttpServer* gone = new TestHttpServer([](httplib::Server&, TestHttpServer&) {});
    std::string closed = gone->url("/x");
    delete gone;
    EXPECT_EQ(fetch(closed).wParam, uintptr_t(DOWNLOAD_CONNECT_FAILED));
    EXPECT_FALSE(fs::exists(target));

    // No session of an unknown kind.
    dl.Setup(&queue, server.url("/file.bin").c_str(), target.c_str(), "", "", "", "", "", 7, 0, 0, 0, 0, 0);
    queue.clear();
    EXPECT_EQ(dl.Start(1), "");
    EXPECT_EQ(queue.waitFor(WM_DOWNLOAD_DONE, 0)->wParam, uintptr_t(DOWNLOAD_SESSION_FAILED));
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, UntrustedCertificateIsRefused)
{
    // https is verified, not just encrypted: a certificate nobody vouches for fails.
    std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    std::string mkcert = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext "
                         "subjectAltName=IP:127.0.0.1 -keyout '" + key + "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(mkcert.c_str()) != 0)
        GTEST_SKIP() << "the openssl program is needed to make a test certificate";
    TestHttpServer tls(routes, cert, key);
    auto done = fetch(tls.url("/file.bin"));
    EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_CONNECT_FAILED));
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, StalledServerEndsTheTransfer)
{
    dl.SetTimeouts(2000, 1);
    auto done = fetch(server.url("/stall.bin"));
    EXPECT_EQ(queue.of(WM_DOWNLOAD_SIZE).size(), 1u) << "the head came";
    EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_READ_FAILED));
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, StartErrorsPostNothing)
{
    dl.Setup(&queue, "", target.c_str());
    EXPECT_EQ(dl.Start(1), "Failed to parse the URL: \n");

    writeFile(target, "keep me");
    dl.Setup(&queue, server.url("/file.bin").c_str(), target.c_str(), "", "", "", "", "", 0, 1, 0, 0, 0, 0);
    EXPECT_EQ(dl.Start(0), "The file '" + target + "' already exists.");
    EXPECT_EQ(readText(target), "keep me");

    std::string nowhere = (dir / "no" / "such" / "dir" / "f").string();
    dl.Setup(&queue, server.url("/file.bin").c_str(), nowhere.c_str());
    EXPECT_EQ(dl.Start(0), "An error occured while opening the file to be downloaded, Error:2");

    EXPECT_TRUE(queue.all().empty());
    auto begin = Clock::now();
    EXPECT_EQ(dl.WaitDoneHandled(20000), 0) << "nothing ran, so no end will be handled";
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
}

TEST_F(Download, StopAbortsARunningTransferQuickly)
{
    dl.Setup(&queue, server.url("/slow.bin").c_str(), target.c_str());
    ASSERT_EQ(dl.Start(0), "");
    ASSERT_TRUE(queue.waitFor(WM_DOWNLOAD_SIZE));
    auto begin = Clock::now();
    dl.Stop();
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(3));
    auto done = queue.waitFor(WM_DOWNLOAD_DONE, 0);
    ASSERT_TRUE(done) << "Stop returns after the end was posted";
    EXPECT_EQ(done->wParam, uintptr_t(DOWNLOAD_ABORTED));
    EXPECT_TRUE(fs::exists(target)) << "an aborted download keeps its partial file";
    EXPECT_EQ(dl.IsFinished(), 1);
    dl.Stop(); // again: nothing left to do
}

TEST_F(Download, StopWaitsForATransferRunningOnAnotherThread)
{
    dl.Setup(&queue, server.url("/slow.bin").c_str(), target.c_str());
    std::thread worker([this] { EXPECT_EQ(dl.Start(1), ""); });
    ASSERT_TRUE(queue.waitFor(WM_DOWNLOAD_SIZE));
    dl.Stop();
    EXPECT_EQ(dl.IsFinished(), 1);
    EXPECT_EQ(queue.waitFor(WM_DOWNLOAD_DONE, 0)->wParam, uintptr_t(DOWNLOAD_ABORTED));
    worker.join();
}

TEST_F(Download, AbortBeforeTheTransferEndsItAsAborted)
{
    dl.Setup(&queue, server.url("/file.bin").c_str(), target.c_str());
    dl.Abort();
    EXPECT_EQ(dl.Start(1), "");
    EXPECT_EQ(queue.waitFor(WM_DOWNLOAD_DONE, 0)->wParam, uintptr_t(DOWNLOAD_ABORTED));
    EXPECT_TRUE(queue.of(WM_DOWNLOAD_SIZE).empty());
}

TEST_F(Download, ProgressCarriesRateAndBytesSoFar)
{
    dl.Setup(&queue, server.url("/slow.bin").c_str(), target.c_str());
    ASSERT_EQ(dl.Start(0), "");
    ASSERT_EQ(queue.waitForCount(WM_DOWNLOAD_PROGRESS, 2), 2u);
    dl.Stop();
    auto progress = queue.of(WM_DOWNLOAD_PROGRESS);
    EXPECT_GT(progress[0].wParam, 0u);
    EXPECT_GT(progress[1].lParam, progress[0].lParam);
    EXPECT_EQ(progress[1].lParam % 1024, 0) << "whole pieces of the slow body";
    EXPECT_GE(intptr_t(fs::file_size(target)), progress[1].lParam);
}

TEST_F(Download, RateLimitStretchesTheTransfer)
{
    // 60 bytes per millisecond over 120000 bytes: at least two seconds.
    dl.Setup(&queue, server.url("/file.bin").c_str(), target.c_str(), "", "", "", "", "", 0, 0, 0, 0, 60.0, 0);
    auto begin = Clock::now();
    EXPECT_EQ(dl.Start(0), "");
    // Stop as soon as 120000 bytes have been counted, then check the pace.
    while (true) {
        auto p = queue.of(WM_DOWNLOAD_PERCENT);
        if (!p.empty() && p.back().wParam >= 40)
            break;
        ASSERT_FALSE(queue.waitFor(WM_DOWNLOAD_DONE, 0)) << "ended before 40%";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(1900));
    dl.Stop();
}

TEST_F(Download, WorkerWaitsForTheWindowToHandleTheEnd)
{
    dl.Setup(&queue, server.url("/file.bin").c_str(), target.c_str());
    std::atomic<int> waited{-1};
    std::string errorText; // what the window's handler leaves for the worker
    std::thread worker([&] {
        EXPECT_EQ(dl.Start(1), "");
        waited = dl.WaitDoneHandled(20000);
        EXPECT_EQ(errorText, "seen by the worker");
    });
    ASSERT_TRUE(queue.waitFor(WM_DOWNLOAD_DONE));
    // The window thread's handler: Stop, set its text, then say it is done.
    dl.Stop();
    errorText = "seen by the worker";
    dl.DoneHandled();
    worker.join();
    EXPECT_EQ(waited, 1);
}

TEST_F(Download, FromNginx)
{
    if (!NginxServer::available())
        GTEST_SKIP() << "nginx is not installed";
    writeFile((dir / "pkg.dzr").string(), kBody);
    NginxServer nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(dir.string(), &error)) << error;
    EXPECT_EQ(fetch(nginx.url("/pkg.dzr")).wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_TRUE(holdsBody(target));
    writeFile(target, kBody.substr(0, 1234));
    EXPECT_EQ(fetch(nginx.url("/pkg.dzr"), 1234).wParam, uintptr_t(DOWNLOAD_OK));
    EXPECT_TRUE(holdsBody(target));
    auto done = fetch(nginx.url("/absent.dzr"));
    EXPECT_EQ(done.wParam, uintptr_t(DOWNLOAD_STATUS_REFUSED));
    EXPECT_EQ(done.lParam, 404);
}

TEST(HttpAddress, SplitsSchemeServerPortAndObject)
{
    HttpAddress a;
    ASSERT_EQ(HttpDownload_parseAddress("HTTPS://user@example.com/a/b.zip?x=1#frag", &a), 1);
    EXPECT_EQ(a.serviceType, HTTP_SERVICE_HTTPS);
    EXPECT_EQ(a.server, "example.com");
    EXPECT_EQ(a.port, 443);
    EXPECT_EQ(a.object, "/a/b.zip?x=1");

    ASSERT_EQ(HttpDownload_parseAddress("http://[::1]:8080", &a), 1);
    EXPECT_EQ(a.server, "::1");
    EXPECT_EQ(a.port, 8080);
    EXPECT_EQ(a.object, "/");

    ASSERT_EQ(HttpDownload_parseAddress("ftp://h/f", &a), 1);
    EXPECT_EQ(a.serviceType, HTTP_SERVICE_FTP);

    for (const char* bad : {"", "example.com/x", "://h/", "http://", "http://:80/", "http://h:0/", "http://h:65536/",
                            "http://h:8o/", "http://a b/", "1http://h/"})
        EXPECT_EQ(HttpDownload_parseAddress(bad, &a), 0) << bad;
}

TEST(HttpProgressText, ShowsPercentSpeedAndTimeLeft)
{
    const std::string head = "\xCF\xC2\xD4\xD8\xBD\xF8\xB6\xC8"; // 下载进度
    const std::string speed = "\xCB\xD9\xB6\xC8";                // 速度
    const std::string left = "\xCA\xA3\xD3\xE0\xCA\xB1\xBC\xE4"; // 剩余时间
    const std::string h = "\xD0\xA1\xCA\xB1", m = "\xB7\xD6\xD6\xD3", s = "\xC3\xEB";
    // 1 MiB of 8 MiB at 1 KiB/s: 7168 s left.
    EXPECT_EQ(HttpDownload_progressText(8 << 20, 1 << 20, 1.0),
              head + "12.50% " + speed + "1.00Kb/s  " + left + "1" + h + "59" + m + "28" + s);
    EXPECT_EQ(HttpDownload_progressText(100 << 10, 40 << 10, 20.0), head + "40.00% " + speed + "20.00Kb/s  " + left + "3" + s);
    // The final text of a finished download has no speed.
    EXPECT_EQ(HttpDownload_progressText(5000, 5000, 0), head + "100.00% " + speed + "0.00Kb/s  " + left + "0" + s);
    EXPECT_EQ(HttpDownload_progressText(5000, 10, 0), head + "0.20% " + speed + "0.00Kb/s  " + left + "--");
    EXPECT_EQ(HttpDownload_progressText(0, 0, 0), head + "0.00% " + speed + "0.00Kb/s  " + left + "0" + s);
}

} // namespace
