// `tessaly-cli watch` at the shop's bench: devices plugged in while it runs
// are each updated once, a faulty one does not hold up the rest, Ctrl-C lets
// a running write finish, and a downloaded package is kept in the cache.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;
using Json = nlohmann::json;

// The date the k502-full sample writes as its GPS version.
const std::string kNewGpsDate = "20240603";

class Watch : public CliTest {
protected:
    // watch with its cache in the test's work folder.
    std::unique_ptr<Child> startWatch(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {TESSALY_CLI, "--sim-dir", simDir.string(), "watch"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = childEnvironment(tmpDir);
        env.erase(std::remove_if(env.begin(), env.end(), [](const std::string& e) { return e.rfind("XDG_CACHE_HOME=", 0) == 0; }),
                  env.end());
        env.push_back("XDG_CACHE_HOME=" + cacheDir().string());
        const std::string base = (workDir() / ("watch-" + std::to_string(++watches_))).string();
        auto child = std::make_unique<Child>(argv, env, base + ".stdout", base + ".stderr");
        EXPECT_TRUE(child->started());
        return child;
    }
    fs::path cacheDir() const { return workDir() / "cache"; }

    static std::vector<std::string> lines(const std::string& text)
    {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) out.push_back(line);
        return out;
    }
    // The result line of a device ("" when there is none yet); fails when there are several.
    static std::string resultOf(const std::string& out, const std::string& id)
    {
        std::string found;
        for (const std::string& line : lines(out)) {
            if (line.rfind(id + "\t", 0) != 0) continue;
            EXPECT_TRUE(found.empty()) << "two result lines for " << id << ":\n" << out;
            found = line;
        }
        return found;
    }
    static bool hasResult(Child& watch, const std::string& id) { return !resultOf(watch.out(), id).empty(); }
    // The fields of a result line: id, board, outcome, seconds, message.
    static std::vector<std::string> fields(const std::string& line)
    {
        std::vector<std::string> out;
        std::istringstream in(line);
        for (std::string f; std::getline(in, f, '\t');) out.push_back(f);
        return out;
    }
    std::string gpsDate(const std::string& id)
    {
        RunResult r = cli({"info", "--device", id});
        EXPECT_EQ(r.status, 0) << r;
        return dateOf(parseInfo(r.out), "gps version");
    }
    // Ctrl-C, and the end it leads to.
    RunResult interrupt(Child& watch)
    {
        watch.signal(SIGINT);
        return finish(watch);
    }
    const std::string package = Samples::get().file("k502-full.dzr").string();

private:
    int watches_ = 0;
};

// Three devices, plugged in one after another in either mode while watch
// runs: one line each and the new data on each. A device is updated again
// only once it has been unplugged and plugged in again.
TEST_F(Watch, DevicesArrivingAtDifferentTimesAreEachUpdatedOnce)
{
    auto watch = startWatch({"--package", package});
    ASSERT_TRUE(waitUntil([&] { return watch->err().find("waiting for devices") != std::string::npos; }))
        << watch->err();
    const std::pair<const char*, const char*> devices[] = {{"first", "disk"}, {"second", "hid"}, {"third", "disk"}};
    std::vector<Devsim*> sims;
    for (const auto& [id, mode] : devices) {
        SCOPED_TRACE(id);
        sims.push_back(plugIn(id, mode, "k502-4m"));
        ASSERT_NE(sims.back(), nullptr);
        ASSERT_TRUE(waitUntil([&] { return hasResult(*watch, id); })) << watch->out() << watch->err();
    }
    for (const auto& [id, mode] : devices) {
        SCOPED_TRACE(id);
        std::vector<std::string> f = fields(resultOf(watch->out(), id));
        ASSERT_EQ(f.size(), 5u) << watch->out();
        EXPECT_EQ(f[1], "K502");
        EXPECT_EQ(f[2], "updated");
        EXPECT_EQ(f[4] + "\n", kSuccess);
        EXPECT_EQ(gpsDate(id), kNewGpsDate) << id;
    }
    EXPECT_EQ(lines(watch->out()).size(), 3u) << watch->out();

    ASSERT_TRUE(sims[0]->unplug());
    ASSERT_NE(plugIn("first", "hid", "k502-4m"), nullptr);
    ASSERT_TRUE(waitUntil([&] { return lines(watch->out()).size() == 4; })) << watch->out() << watch->err();
    EXPECT_EQ(lines(watch->out()).back().rfind("first\tK502\tupdated\t", 0), 0u) << watch->out();
    RunResult r = interrupt(*watch);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(lines(r.out).size(), 4u) << r;
    EXPECT_TRUE(tempFilesLeft().empty());
}

// One device drops off in the middle of its write: its line says so with the
// cause, the others are updated all the same, and watch ends with 1.
TEST_F(Watch, FaultyDeviceDoesNotStopTheOthers)
{
    ASSERT_NE(plugIn("good1", "hid", "k502-4m", {"--latency-us", "200"}), nullptr);
    ASSERT_NE(plugIn("faulty", "hid", "k502-4m", {"--latency-us", "200", "--fault", "disconnect:1500"}), nullptr);
    ASSERT_NE(plugIn("good2", "disk", "k502-4m", {"--latency-us", "200"}), nullptr);
    auto watch = startWatch({"--package", package, "--json"});
    ASSERT_TRUE(waitUntil([&] { return lines(watch->out()).size() >= 3; })) << watch->out() << watch->err();
    RunResult r = interrupt(*watch);
    EXPECT_EQ(r.status, 1) << r;

    std::map<std::string, Json> byId;
    for (const std::string& line : lines(r.out)) {
        Json j = Json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << line;
        byId[j.value("device", "")] = j;
    }
    ASSERT_EQ(byId.size(), 3u) << r;
    struct Expect {
        const char* id;
        const char* outcome;
        int exitCode;
    };
    const Expect expected[] = {{"good1", "updated", 0}, {"good2", "updated", 0}, {"faulty", "failed", 1}};
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.id);
        const Json& j = byId[e.id];
        EXPECT_EQ(j["outcome"], e.outcome) << j;
        EXPECT_EQ(j["exit_code"], e.exitCode) << j;
        EXPECT_EQ(j["board"], "K502") << j;
        EXPECT_TRUE(j["seconds"].is_number()) << j;
    }
    EXPECT_EQ(byId["good1"]["message"].get<std::string>() + "\n", kSuccess);
    EXPECT_EQ(byId["faulty"]["message"].get<std::string>().rfind(kFailedPrefix, 0), 0u) << byId["faulty"];
    EXPECT_TRUE(byId["faulty"]["cause"].is_string()) << byId["faulty"];
    EXPECT_NE(r.err.find("watch: faulty: "), std::string::npos) << r;
    for (const char* id : {"good1", "good2"}) EXPECT_EQ(gpsDate(id), kNewGpsDate) << id;
}

// Ctrl-C while a device is being written: watch says it waits, the write
// ends normally, its line comes, and watch exits 0.
TEST_F(Watch, CtrlCDuringAWriteWaitsForIt)
{
    Devsim* sim = plugIn("slow", "hid", "k502-4m", {"--latency-us", "400"});
    ASSERT_NE(sim, nullptr);
    auto watch = startWatch({"--package", package});
    ASSERT_TRUE(waitUntil([&] { return sim->log().find("WRITE") != std::string::npos; })) << watch->err();
    watch->signal(SIGINT);
    ASSERT_TRUE(waitUntil([&] { return watch->err().find("stopping") != std::string::npos; })) << watch->err();
    EXPECT_FALSE(hasResult(*watch, "slow")) << "the write is still running";
    RunResult r = finish(*watch);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(fields(resultOf(r.out, "slow")).at(2), "updated") << r;
    EXPECT_EQ(gpsDate("slow"), kNewGpsDate);
}

// Command lines watch cannot take end at once, before any device is looked at.
TEST_F(Watch, RefusesWhatItCannotUse)
{
    const fs::path notPackage = workDir() / "notes.txt";
    std::ofstream(notPackage) << "not a package\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {{"--simulate", "watch"}, 2, "not with --simulate"},
        {{"watch", "--package", package, "--version-url", "http://127.0.0.1:9/v.txt"}, 2, "excludes"},
        {{"watch", "--package", "/no/such/file"}, 1, "no such file"},
        {{"watch", "--package", notPackage.string()}, 1, "not an update package"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        RunResult r = cli(c.args);
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r;
        EXPECT_TRUE(r.out.empty()) << r;
    }
}

// The package the version file names is downloaded once into the cache; a
// later watch finds it there by version and file name and fetches nothing
// but the version file. A version file that cannot be had ends watch with
// its cause.
TEST_F(Watch, DownloadedPackageIsCachedByVersion)
{
    UpdateServer first;
    Devsim* sim = plugIn("net", "hid", "k502-4m");
    ASSERT_NE(sim, nullptr);
    auto watch = startWatch({"--version-url", first.versionUrl("20250101")});
    ASSERT_TRUE(waitUntil([&] { return hasResult(*watch, "net"); })) << watch->out() << watch->err();
    RunResult r = interrupt(*watch);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(fields(resultOf(r.out, "net")).at(2), "updated") << r;
    EXPECT_TRUE(first.requested("/pkg.zip"));
    EXPECT_TRUE(fs::is_regular_file(cacheDir() / "tessaly" / "20250101-pkg.zip"));

    // The rounds below only settle the package.
    EXPECT_TRUE(sim->unplug());
    UpdateServer second;
    struct Case {
        std::string url;
        const char* says;
    };
    const Case cases[] = {
        {second.versionUrl("20250101"), "cached"},
        {second.url("/missing.txt"), "HTTP 404"},
        {second.url("/cut/version.txt"), "GET "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const bool settles = std::string(c.says) == "cached";
        auto again = startWatch({"--version-url", c.url});
        // A watch that has its package runs until Ctrl-C; one without ends by itself.
        if (settles) {
            ASSERT_TRUE(waitUntil([&] { return again->err().find("waiting for devices") != std::string::npos; }))
                << again->err();
        }
        RunResult rr = settles ? interrupt(*again) : finish(*again);
        EXPECT_NE(rr.err.find(c.says), std::string::npos) << rr;
        EXPECT_EQ(rr.status, settles ? 0 : 1) << rr;
    }
    EXPECT_FALSE(second.requested("/pkg.zip"));
}

// A device whose GPS data is as new as the version file's number is left as
// it is, as the window would ask first; -y writes it all the same.
TEST_F(Watch, NewestDataIsLeftAsItIsUnlessYes)
{
    UpdateServer server;
    struct Case {
        const char* id;
        std::vector<std::string> extra;
        const char* outcome;
        std::string gpsAfter;  // "" unchanged
    };
    // The preset's GPS data is newer than the server's 20240101.
    const Case cases[] = {{"kept", {}, "current", ""}, {"forced", {"-y"}, "updated", kNewGpsDate}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Devsim* sim = plugIn(c.id, "hid", "k502-4m");
        ASSERT_NE(sim, nullptr);
        const std::string before = gpsDate(c.id);
        ASSERT_GT(before, "20240101");
        std::vector<std::string> args = {"--version-url", server.versionUrl("20240101")};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        auto watch = startWatch(args);
        ASSERT_TRUE(waitUntil([&] { return hasResult(*watch, c.id); })) << watch->out() << watch->err();
        RunResult r = interrupt(*watch);
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(fields(resultOf(r.out, c.id)).at(2), c.outcome) << r;
        EXPECT_EQ(gpsDate(c.id), c.gpsAfter.empty() ? before : c.gpsAfter);
        EXPECT_TRUE(sim->unplug());
    }
}

} // namespace
