// The update run before and around the write: the plan on stderr with its
// warnings, the question asked only at a terminal, province lists (all,
// absent, empty, asked again), the --json report, and Ctrl-C.
#include "cli/cli_support.h"

#include <nlohmann/json.hpp>

#include "support/pty_child.h"

namespace {

using namespace cli_test;
using Json = nlohmann::json;

class UpdateRun : public CliTest {
protected:
    // tessaly-cli at a terminal of its own (stdin and stderr), stdout in a file.
    std::unique_ptr<test_support::PtyChild> startAtTerminal(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {TESSALY_CLI, "--sim-dir", simDir.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        outFile = workDir() / ("pty-" + std::to_string(++ptyRuns) + ".stdout");
        return std::make_unique<test_support::PtyChild>(argv, childEnvironment(tmpDir), outFile.string());
    }

    // A one-program package whose only image is made for board K502.
    std::string foreignProgramPackage()
    {
        const fs::path manifest = workDir() / "foreign.json";
        const fs::path image = Samples::get().file("program-only/program-MVT7.bin");
        std::ofstream(manifest) << R"({"headerVersion": 2, "title": "Halcyon Path", "sections": {"program":
            {"preHeader": false, "entries": [{"board": "K502", "image": {"file": ")"
                                << image.string() << R"(", "encode": true}}]}}})";
        const fs::path out = workDir() / "foreign.dzr";
        Child pack({TESSALY_PACK, "build", manifest.string(), "-o", out.string()}, childEnvironment(tmpDir),
                   (workDir() / "pack.out").string(), (workDir() / "pack.err").string());
        EXPECT_EQ(pack.wait(kRunMs), 0) << pack.err();
        return out.string();
    }

    fs::path outFile;
    int ptyRuns = 0;
};

const std::string kProvinces4m = "provinces-4m.dzr";

TEST_F(UpdateRun, PlanWithItsWarningsComesBeforeTheWriteAndScriptsAreNotAsked)
{
    const struct {
        const char* name;
        const char* preset;
        std::string package;
        std::vector<std::string> extra;
        std::vector<std::string> shown;
        std::vector<std::string> notShown;
    } cases[] = {
        {"newer data, the device's own board", "classic", Samples::get().file("mvt7-full.dzr").string(), {},
         {"device plan0: board MVT7, program version 2310", "  program       2310         3107  28 KiB  for board MVT7",
          "  GPS data      2024-03-20   2024-05-17  129 KiB"},
         {"warning:"}},
        {"older GPS data, three provinces", "k502-4m", Samples::get().file(kProvinces4m).string(),
         {"--provinces", "北京,上海,广东"},
         {"device plan1: board K502", "2024-06-01", "(3 provinces)",
          "warning: the package's GPS data (2024-06-01) is older than the device's (2024-11-02)"},
         {"made for board"}},
        {"a one-program package for another board", "classic", foreignProgramPackage(), {},
         {"warning: the program written is made for board K502, the device is a MVT7: the package carries this one "
          "program, which is written whatever its board",
          "  GPS data      2024-03-20   not written"},
         {"older"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "plan" + std::to_string(n++);
        Devsim* sim = plugIn(id, "hid", c.preset);
        ASSERT_NE(sim, nullptr);
        std::vector<std::string> args = {"update", "--package", c.package};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RunResult r = cli(args);
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, kSuccess) << r;
        for (const std::string& text : c.shown) EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r;
        for (const std::string& text : c.notShown) EXPECT_EQ(r.err.find(text), std::string::npos) << text << "\n" << r;
        // The plan comes before anything is written, and nobody is asked.
        EXPECT_LT(r.err.find("  program "), r.err.find("已更新")) << r;
        EXPECT_EQ(r.err.find("Write to the device?"), std::string::npos) << r;
        ASSERT_TRUE(sim->unplug());
    }
}

TEST_F(UpdateRun, AtATerminalTheWriteWaitsForYes)
{
    const std::string package = Samples::get().file("mvt7-full.dzr").string();
    const struct {
        const char* name;
        std::vector<std::string> extra;
        const char* answer; // nullptr: no question expected
        int status;
        bool written;
        std::string prompt = "Write to the device? [y/N]";
        std::string success = kSuccess;
    } cases[] = {
        {"answered no", {}, "n\n", 1, false},
        {"answered yes", {}, "y\n", 0, true},
        {"-y answers for the user", {"-y"}, nullptr, 0, true},
        // The language's own initial for yes counts, as the prompt says.
        {"answered sí", {"--lang", "es"}, "s\n", 0, true, "¿Escribir en el dispositivo? [s/N]",
         "¡Actualización completada!\n"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Devsim* sim = plugIn("ask" + std::to_string(n++), "hid", "classic");
        ASSERT_NE(sim, nullptr);
        const DeviceInfo before = deviceInfo();
        std::vector<std::string> args = {"update", "--package", package};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        auto run = startAtTerminal(args);
        ASSERT_TRUE(run->started());
        if (c.answer) {
            ASSERT_TRUE(run->waitFor(c.prompt, kRunMs)) << run->screen();
            run->type(c.answer);
        }
        EXPECT_EQ(run->wait(kRunMs), c.status) << run->screen();
        EXPECT_EQ(run->count(c.prompt.substr(0, c.prompt.find('?'))), c.answer ? 1u : 0u) << run->screen();
        EXPECT_EQ(readText(outFile), c.written ? c.success : "") << run->screen();
        // Declined, not even the parameter image has changed.
        const DeviceInfo after = deviceInfo();
        if (c.written)
            EXPECT_EQ(dateOf(after, "gps version"), "20240517");
        else
            EXPECT_EQ(after, before);
        if (!c.written) {
            EXPECT_NE(run->screen().find("nothing was written"), std::string::npos) << run->screen();
        }
        ASSERT_TRUE(sim->unplug());
    }
}

// provinces-4m needs 1600 KiB of GPS room on a 4 MiB device that has 1380
// KiB: at a terminal every choice that cannot be written is asked again with
// the sizes, and nothing reaches the device until one can.
TEST_F(UpdateRun, ProvincesAreAskedAgainUntilTheyCanBeWritten)
{
    ASSERT_NE(plugIn("again", "hid", "k502-4m"), nullptr);
    const DeviceInfo untouched = deviceInfo();
    const std::string package = Samples::get().file(kProvinces4m).string();
    const std::string prompt = "Provinces to write";

    const struct {
        const char* typed;
        const char* answer; // what the terminal shows before asking again
    } refused[] = {
        {"33", "the package holds no data for 台湾"},
        {"北京,火星", "unknown province '火星'\r\n  北京  224 K  total 224 K of 1380 K"},
        {"北京,上海,江苏,浙江,四川,广东", "  广东  416 K  total 1600 K of 1380 K  <- over the room"},
    };
    auto run = startAtTerminal({"update", "--package", package});
    ASSERT_TRUE(run->started());
    size_t asked = 1;
    for (const auto& c : refused) {
        SCOPED_TRACE(c.typed);
        ASSERT_TRUE(run->waitFor(prompt, kRunMs, asked)) << run->screen();
        run->type(std::string(c.typed) + "\n");
        ASSERT_TRUE(run->waitFor(prompt, kRunMs, ++asked)) << run->screen();
        EXPECT_NE(run->screen().find(c.answer), std::string::npos) << run->screen();
        // Each asking shows the provinces with their sizes again.
        EXPECT_EQ(run->count("  27  广东  416 K"), asked) << run->screen();
    }
    run->type("\n"); // an empty answer gives up
    EXPECT_EQ(run->wait(kRunMs), 1) << run->screen();
    EXPECT_EQ(readText(outFile), kTooLong);
    EXPECT_EQ(deviceInfo(), untouched);

    // `all`: the largest that fit, then the plan and its question.
    run = startAtTerminal({"update", "--package", package});
    ASSERT_TRUE(run->waitFor(prompt, kRunMs)) << run->screen();
    run->type("all\n");
    ASSERT_TRUE(run->waitFor("Write to the device?", kRunMs)) << run->screen();
    EXPECT_NE(run->screen().find("all: 5 provinces that fit, largest first: 广东, 江苏, 浙江, 北京, 上海"),
              std::string::npos)
        << run->screen();
    run->type("y\n");
    EXPECT_EQ(run->wait(kRunMs), 0) << run->screen();
    EXPECT_EQ(readText(outFile), kSuccess);
    const DeviceInfo written = deviceInfo();
    EXPECT_EQ(dateOf(written, "gps version"), "20240601");
    // The five provinces' records, never a stub of a header.
    const std::string gps = valueOf(written, "gps version");
    EXPECT_GT(std::atol(gps.substr(gps.find("size:") + 5).c_str()), 1300L * 1024) << gps;
}

TEST_F(UpdateRun, JsonReportIsOneObjectAtTheEnd)
{
    const std::string package = Samples::get().file(kProvinces4m).string();
    const struct {
        const char* name;
        bool device;
        std::vector<std::string> extra;
        int status;
        const char* outcome;
        Json message;
        std::vector<std::string> timings;
    } cases[] = {
        {"written", true, {"--provinces", "北京,上海,广东"}, 0, "updated", "更新成功！", {"connect", "write", "check", "total"}},
        {"refused provinces", true, {"--provinces", "台湾"}, 1, "failed", "数据已超过长度！  1", {"connect", "total"}},
        {"no device", false, {"--wait", "0"}, 3, "no-device", "   未连接硬件！", {"connect", "total"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Devsim* sim = c.device ? plugIn("json", "hid", "k502-4m") : nullptr;
        if (c.device) {
            ASSERT_NE(sim, nullptr);
        }
        std::vector<std::string> args = {"update", "--json", "--package", package};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RunResult r = cli(args);
        EXPECT_EQ(r.status, c.status) << r;
        Json report = Json::parse(r.out, nullptr, false);
        ASSERT_TRUE(report.is_object()) << r;
        EXPECT_EQ(report["outcome"], c.outcome) << r;
        EXPECT_EQ(report["message"], c.message) << r;
        EXPECT_EQ(report["exit_code"], c.status) << r;
        for (const std::string& phase : c.timings) EXPECT_TRUE(report["timings"].contains(phase)) << phase << "\n" << r;
        if (c.device) {
            EXPECT_EQ(report["device"]["id"], "json") << r;
            EXPECT_EQ(report["device"]["board"], "K502") << r;
            EXPECT_EQ(report["device"]["gps_date"], "2024-11-02") << r;
        } else {
            EXPECT_TRUE(report["device"].is_null()) << r;
        }
        if (sim) {
            ASSERT_TRUE(sim->unplug());
        }
    }
}

// The first Ctrl-C in a write only warns; the second within five seconds
// cancels the transfer and ends the run with 130.
TEST_F(UpdateRun, SecondCtrlCDuringTheWriteCancelsIt)
{
    ::signal(SIGINT, SIG_DFL);
    Devsim* slow = plugIn("ctrlc", "hid", "k502-4m", {"--latency-us", "500"});
    ASSERT_NE(slow, nullptr);
    auto run = startCli({"update", "--package", Samples::get().file(kProvinces4m).string(), "--provinces",
                         "北京,上海,广东"});
    ASSERT_TRUE(run->started());
    ASSERT_TRUE(waitUntil([&] { return run->err().find("已更新") != std::string::npos || !run->running(); }, kRunMs))
        << run->err();
    ASSERT_TRUE(run->running()) << finish(*run);

    run->signal(SIGINT);
    ASSERT_TRUE(waitUntil([&] { return run->err().find("stopping now leaves the device without data") !=
                                           std::string::npos ||
                                       !run->running(); }))
        << run->err();
    EXPECT_TRUE(run->running()) << "one Ctrl-C ended the write: " << finish(*run);

    run->signal(SIGINT);
    RunResult r = finish(*run);
    EXPECT_EQ(r.status, 130) << r;
    EXPECT_NE(r.err.find("cancelling the transfer"), std::string::npos) << r;
    EXPECT_NE(r.err.find("the device holds incomplete data: run the update again"), std::string::npos) << r;
    EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
}

// Before the device changes one Ctrl-C ends the run at once, even in a
// stalled download, and the run's files go with it.
TEST_F(UpdateRun, CtrlCDuringADownloadStopsAtOnce)
{
    ::signal(SIGINT, SIG_DFL);
    ASSERT_NE(plugIn("dl", "hid", "k502-4m"), nullptr);
    const DeviceInfo untouched = deviceInfo();
    TestHttpServer server;
    const std::string zip = readText(Samples::get().k502Zip());
    server.serveHeld("/held/pkg.zip", zip, zip.size() / 2);
    server.serve("/version.txt", "20990101\r\n" + server.url("/held/pkg.zip") + "\r\n");
    auto run = startCli({"update", "--version-url", server.url("/version.txt")});
    ASSERT_TRUE(run->started());
    ASSERT_TRUE(server.waitHeld()) << finish(*run);
    ASSERT_TRUE(waitUntil([&] { return !tempFilesLeft().empty(); }));

    const Clock::time_point sent = Clock::now();
    run->signal(SIGINT);
    RunResult r = finish(*run);
    EXPECT_EQ(r.status, 130) << r;
    EXPECT_LT(secondsSince(sent), 5.0) << r;
    EXPECT_NE(r.err.find("stopped; nothing was written"), std::string::npos) << r;
    EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
    EXPECT_EQ(deviceInfo(), untouched);
}

} // namespace
