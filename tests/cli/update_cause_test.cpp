// `tessaly-cli update` failures: the final message on stdout stays the
// window's own, and one line on stderr says the cause and the next step.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;

// A loopback port nothing listens on: bound once by the kernel's choice,
// then closed again.
int closedLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

// The stderr lines that carry advice: the cause line, and nothing else.
std::vector<std::string> causeLines(const std::string& err)
{
    std::vector<std::string> lines;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("update: ", 0) == 0 && line.find("; ") != std::string::npos) lines.push_back(line);
    return lines;
}

class UpdateCauseLine : public CliTest {
protected:
    // The version files and packages the network cases fetch.
    TestHttpServer server{[](httplib::Server& s, TestHttpServer& srv) {
        s.Get("/missing-package.txt", [&srv](const httplib::Request&, httplib::Response& res) {
            res.set_content("20250101\r\n" + srv.url("/gone/x.zip") + "\r\n", "text/plain");
        });
    }};
};

TEST_F(UpdateCauseLine, EachFailureSaysItsCauseAndTheNextStep)
{
    server.serve("/malformed.txt", "<title>Not Found</title>\n<p>gone</p>\n");
    const std::string dead = "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/v.txt";
    const std::string mvt7 = Samples::get().file("mvt7-full.dzr").string();
    const std::string k502 = Samples::get().file("k502-full.dzr").string();
    const std::string provinces = Samples::get().file("provinces-4m.dzr").string();

    const struct {
        const char* name;
        std::vector<std::string> devsim;  // fault options of the k502-4m device; {"none"}: no device
        std::vector<std::string> args;
        int status;
        std::string out;                  // the final message, exactly
        std::vector<std::string> cause;   // parts of the cause line, in order
    } cases[] = {
        {"board mismatch", {}, {"--package", mvt7}, 1, "更新失败！  6\n",
         {"the package has no program for board K502; it carries MVT7", "use a package that carries a program for K502",
          "tessaly-cli inspect " + mvt7}},
        {"device pulled", {"--fault", "disconnect:1000"}, {"--package", k502}, 1, "更新失败！  -7\n",
         {"the device went away during the GPS write at ", " %", "plug the device in again and rerun"}},
        {"package 404", {}, {"--version-url", server.url("/missing-package.txt")}, 1, kDownloadFailed,
         {"GET " + server.url("/gone/x.zip") + ": HTTP 404", "check the address or the network"}},
        {"version file 404", {}, {"--version-url", server.url("/nothing.txt")}, 1, kWrongFile,
         {"GET " + server.url("/nothing.txt") + ": HTTP 404", "check the address or the network"}},
        {"refused connection", {}, {"--version-url", dead}, 1, kWrongFile,
         {"GET " + dead + ": ", "onnect", "check the address or the network"}},
        {"unknown host", {}, {"--version-url", "http://tessaly-test.invalid/v.txt"}, 1, kWrongFile,
         {"GET http://tessaly-test.invalid/v.txt: ", "tessaly-test.invalid", "check the address or the network"}},
        {"malformed version file", {}, {"--version-url", server.url("/malformed.txt")}, 1, kWrongFile,
         {"the version file " + server.url("/malformed.txt"), "\"<title>Not Found</title>\"",
          "check the version file"}},
        {"missing package file", {"none"}, {"--package", "/no/such/file"}, 1, "",
         {"/no/such/file: ", "check the file name"}},
        {"provinces absent", {}, {"--package", provinces}, 1, kTooLong,
         {"does not fit the device's room of 1380 K, and no provinces were chosen",
          "use --provinces 北京,上海 (see tessaly-cli inspect " + provinces + ")"}},
        {"provinces empty", {}, {"--package", provinces, "--provinces", ""}, 1, kTooLong,
         {"no provinces were chosen", "use --provinces 北京,上海"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Devsim* sim = nullptr;
        if (c.devsim != std::vector<std::string>{"none"}) {
            sim = plugIn("c" + std::to_string(++n), "hid", "k502-4m", c.devsim);
            ASSERT_NE(sim, nullptr);
        }
        const DeviceInfo before = c.devsim.empty() ? deviceInfo() : DeviceInfo{};

        std::vector<std::string> args = {"update"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = cli(args);
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_EQ(r.out, c.out) << r;

        // One line, the last, with the cause before its advice.
        std::vector<std::string> lines = causeLines(r.err);
        ASSERT_EQ(lines.size(), 1u) << r;
        EXPECT_TRUE(r.err == lines[0] + "\n" || r.err.ends_with("\n" + lines[0] + "\n")) << r;
        size_t at = 0;
        for (const std::string& part : c.cause) {
            size_t found = lines[0].find(part, at);
            EXPECT_NE(found, std::string::npos) << "'" << part << "' missing or out of order in " << lines[0];
            if (found != std::string::npos) at = found + part.size();
        }
        // Nothing reached a device that the run refused before writing.
        if (c.devsim.empty()) {
            EXPECT_EQ(deviceInfo(), before);
        }
        if (sim && sim->running()) {
            EXPECT_TRUE(sim->unplug()) << sim->log();
        }
    }
}

} // namespace
