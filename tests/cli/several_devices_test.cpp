// Several devices at once: the run that does not know which one to use
// refuses, --device picks one in either mode (its id survives the switch), the
// others are left alone; `devices --json` and `info --json` for programs.
#include <algorithm>
#include <map>

#include <nlohmann/json.hpp>

#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;
using Json = nlohmann::json;

class SeveralDevices : public CliTest {
protected:
    DeviceInfo infoOf(const std::string& id)
    {
        RunResult r = cli({"info", "--device", id});
        EXPECT_EQ(r.status, 0) << r;
        return parseInfo(r.out);
    }
    bool inDiskMode(const std::string& id) const
    {
        return fs::exists(simDir / ("disk#" + id)) && !fs::exists(simDir / ("disk#" + id) / "root" / "1.txt");
    }
    static Json parse(const std::string& text)
    {
        Json json = Json::parse(text, nullptr, false);
        EXPECT_FALSE(json.is_discarded()) << text;
        return json;
    }
    // "2024-06-03" as the information text writes it: "20240603".
    static std::string compact(const Json& date)
    {
        std::string text = date.is_string() ? date.get<std::string>() : "<not a date>";
        text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
        return text;
    }
};

// Each command that works on a device refuses to guess, lists both, and
// touches neither: the disk-mode one is not even switched.
TEST_F(SeveralDevices, WithoutDeviceEveryCommandRefusesAndListsThem)
{
    ASSERT_NE(plugIn("left", "hid", "k502-4m"), nullptr);
    ASSERT_NE(plugIn("right", "disk", "k502-4m"), nullptr);
    const std::string package = Samples::get().file("k502-full.dzr").string();
    const std::vector<std::vector<std::string>> commands = {
        {"info"},
        {"info", "--json"},
        {"update", "--package", package},
        {"dump-server", "-o", (workDir() / "server.bin").string()},
    };
    for (const auto& args : commands) {
        SCOPED_TRACE(args[0]);
        RunResult r = cli(args);
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_NE(r.err.find("several devices"), std::string::npos) << r;
        EXPECT_NE(r.err.find("--device"), std::string::npos) << r;
        for (const char* id : {"\n  left\tupdate\t", "\n  right\tdisk\t"})
            EXPECT_NE(r.err.find(id), std::string::npos) << id << "\n" << r;
        EXPECT_EQ(r.out.find(kSuccess), std::string::npos) << r;
        EXPECT_LT(r.seconds, 5.0) << "a refusal does not wait for the device";
        EXPECT_TRUE(inDiskMode("right"));
    }
    EXPECT_FALSE(fs::exists(workDir() / "server.bin"));
}

// --device reaches the chosen one whether it starts in disk mode (switched,
// then found again by the same id in update mode) or in update mode; the run
// names it and the other device keeps its data and its mode.
TEST_F(SeveralDevices, DeviceOptionPicksOneInEitherModeAndLeavesTheOther)
{
    const std::string package = Samples::get().file("k502-full.dzr").string();
    struct Case {
        const char* chosenMode;
        const char* otherMode;
    };
    const Case cases[] = {{"disk", "hid"}, {"hid", "disk"}};
    int round = 0;
    for (const Case& c : cases) {
        const std::string chosen = std::string("chosen") + std::to_string(round);
        const std::string other = std::string("other") + std::to_string(round++);
        SCOPED_TRACE(std::string(c.chosenMode) + " beside " + c.otherMode);
        Devsim* a = plugIn(chosen, c.chosenMode, "k502-4m");
        Devsim* b = plugIn(other, c.otherMode, "k502-4m");
        ASSERT_TRUE(a && b);
        const std::string otherDate =
            std::string(c.otherMode) == "hid" ? dateOf(infoOf(other), "gps version") : std::string();

        // Global options are taken after the command as well.
        RunResult r = cli({"update", "--package", package, "--device", chosen});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, kSuccess) << r;
        EXPECT_NE(r.err.find("device " + chosen + "\n"), std::string::npos) << r;
        EXPECT_EQ(r.err.find(other), std::string::npos) << r;

        EXPECT_EQ(dateOf(infoOf(chosen), "gps version"), "20240603");
        if (std::string(c.otherMode) == "disk")
            EXPECT_TRUE(inDiskMode(other));
        else
            EXPECT_EQ(dateOf(infoOf(other), "gps version"), otherDate);
        EXPECT_TRUE(a->unplug()) << a->log();
        EXPECT_TRUE(b->unplug()) << b->log();
    }

    // An id nobody has is waited for like an absent device.
    ASSERT_NE(plugIn("present", "hid", "k502-4m"), nullptr);
    RunResult missing = cli({"--wait", "1", "info", "--device", "absent"}, 10000);
    EXPECT_EQ(missing.status, 3) << missing;
    EXPECT_NE(missing.err.find("no device absent found"), std::string::npos) << missing;
}

// The JSON outputs carry what the information text says, by field; -o still
// writes the device's own text.
TEST_F(SeveralDevices, DevicesAndInfoAsJson)
{
    ASSERT_NE(plugIn("u", "hid", "502"), nullptr);
    ASSERT_NE(plugIn("d", "disk", "classic"), nullptr);
    const DeviceInfo text = infoOf("u");

    RunResult listed = cli({"devices", "--json"});
    ASSERT_EQ(listed.status, 0) << listed;
    Json devices = parse(listed.out)["devices"];
    ASSERT_TRUE(devices.is_array()) << listed;
    std::map<std::string, Json> byId;
    for (const Json& d : devices) byId[d.value("id", "")] = d;
    ASSERT_EQ(byId.size(), 2u) << listed;
    EXPECT_EQ(byId["d"]["mode"], "disk");
    EXPECT_EQ(byId["d"]["vendor"], "VEXALTO");
    const Json& u = byId["u"];
    EXPECT_EQ(u["mode"], "update");
    EXPECT_EQ(u["board"], valueOf(text, "broad name"));
    EXPECT_EQ(std::to_string(u.value("program_version", -1)), valueOf(text, "program version"));
    const std::pair<const char*, const char*> dates[] = {
        {"gps_date", "gps version"}, {"voice_date", "voice version"}, {"radar_mute_date", "radar mute version"}};
    for (const auto& [field, line] : dates) EXPECT_EQ(compact(u[field]), dateOf(text, line)) << field;

    // The plain listing: the id first, then the mode.
    RunResult plain = cli({"devices"});
    EXPECT_NE(plain.out.find("u\tupdate\t"), std::string::npos) << plain;
    EXPECT_NE(plain.out.find("d\tdisk\t"), std::string::npos) << plain;

    const fs::path file = workDir() / "info.txt";
    RunResult r = cli({"info", "--json", "--device", "u", "-o", file.string()});
    ASSERT_EQ(r.status, 0) << r;
    Json info = parse(r.out);
    EXPECT_EQ(info["device"]["id"], "u");
    EXPECT_EQ(info["board"], valueOf(text, "broad name"));
    EXPECT_EQ(std::to_string(info.value("flash_size", -1)), valueOf(text, "flash size"));
    const std::pair<const char*, const char*> areas[] = {
        {"gps", "gps version"}, {"voice", "voice version"}, {"radar_mute", "radar mute version"}};
    for (const auto& [field, line] : areas) {
        EXPECT_EQ(compact(info[field]["date"]), dateOf(text, line)) << field;
        EXPECT_EQ(std::to_string(info[field].value("size", -1)),
                  valueOf(text, line).substr(valueOf(text, line).find("size:") + 5))
            << field;
    }
    EXPECT_EQ(readText(file).rfind("502:1\n", 0), 0u) << readText(file);
}

} // namespace
