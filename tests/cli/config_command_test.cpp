// `tessaly-cli config show|set` against tessaly-devsim: what is shown per
// layout, values written and read back, and refusals that write nothing.
#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;

const std::string kConfigured = "配置成功！\n";
const std::string kConfigFailed = "配置失败！\n";

class ConfigCommand : public CliTest {
protected:
    // The device's settings as `config show --json --show-password` gives them.
    nlohmann::json settings()
    {
        RunResult r = cli({"config", "show", "--json", "--show-password"});
        EXPECT_EQ(r.status, 0) << r;
        return nlohmann::json::parse(r.out, nullptr, false);
    }
};

TEST_F(ConfigCommand, ShowListsWhatALayoutThreeDeviceOffers)
{
    ASSERT_NE(plugIn("cfg", "hid", "layout3"), nullptr);

    RunResult text = cli({"config", "show"});
    ASSERT_EQ(text.status, 0) << text;
    for (const char* line : {"layout: 3\n", "band.1: X频段 on\n", "band.3: K2频段(24.050~24.250) on\n",
                             "band.4: K3频段(24.250~24.400) off\n", "band.9: 雷射频段 on\n", "timezone: -8\n",
                             "bright-start: 8\n", "bright-end: 18\n", "show-number: off\n", "miles: on\n",
                             "carrier: Others\n", "apn: 3gnet\n", "password: ********\n", "port: 7700\n"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text;
    EXPECT_EQ(text.out.find("pa55word"), std::string::npos) << "password shown without --show-password";

    RunResult json = cli({"config", "show", "--json"});
    ASSERT_EQ(json.status, 0) << json;
    nlohmann::json doc = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << json;
    EXPECT_EQ(doc["layout"], 3);
    ASSERT_EQ(doc["bands"].size(), 9u);
    EXPECT_EQ(doc["bands"][2]["name"], "K2频段");
    EXPECT_EQ(doc["bands"][2]["label"], "K2频段(24.050~24.250)");
    EXPECT_EQ(doc["bands"][3]["enabled"], false);
    EXPECT_EQ(doc["timezone"], -8);
    EXPECT_EQ(doc["miles"], true);
    EXPECT_EQ(doc["network"]["password"], "********");
    EXPECT_EQ(doc["network"]["server"], "gps.example.net");

    EXPECT_EQ(settings()["network"]["password"], "pa55word");
}

// What a layout does not offer is absent, not shown with a made-up value.
TEST_F(ConfigCommand, ShowLeavesOutWhatTheLayoutDoesNotOffer)
{
    struct Case {
        const char* preset;
        int layout;
        size_t bands;
        std::vector<const char*> present, absent;
    };
    const Case cases[] = {
        {"classic", 2, 12, {"timezone", "showNumber"}, {"miles", "network"}},
        {"layout4", 4, 8, {"timezone", "showNumber", "network"}, {"miles", "brightStart"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.preset);
        Devsim* sim = plugIn(std::string("cfg-") + c.preset, "hid", c.preset);
        ASSERT_NE(sim, nullptr);
        nlohmann::json doc = settings();
        EXPECT_EQ(doc["layout"], c.layout);
        EXPECT_EQ(doc["bands"].size(), c.bands);
        for (const char* key : c.present) EXPECT_TRUE(doc.contains(key)) << key << "\n" << doc.dump(2);
        for (const char* key : c.absent) EXPECT_FALSE(doc.contains(key)) << key << "\n" << doc.dump(2);
        ASSERT_TRUE(sim->unplug());
    }
}

TEST_F(ConfigCommand, SetWritesThroughTheDialogAndShowReadsItBack)
{
    ASSERT_NE(plugIn("cfg", "hid", "layout3"), nullptr);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::pair<nlohmann::json::json_pointer, nlohmann::json>> expect;
    };
    using P = nlohmann::json::json_pointer;
    const Case cases[] = {
        {"band by label, zone with a sign",
         {"band.K2频段=off", "timezone=+5"},
         {{P("/bands/2/enabled"), false}, {P("/bands/1/enabled"), true}, {P("/timezone"), 5}}},
        {"band by position, label in another case",
         {"band.3=on", "band.ka4频段=off", "bright-end=20", "miles=off", "show-number=on"},
         {{P("/bands/2/enabled"), true},
          {P("/bands/7/enabled"), false},
          {P("/brightEnd"), 20},
          {P("/brightStart"), 8},
          {P("/miles"), false}}},
        // The carrier applies first, so typed texts win over its own.
        {"own texts under Others",
         {"apn=my.apn", "user=me", "password=s3cret", "server=10.0.0.1", "port=9000", "carrier=Others"},
         {{P("/network/carrier"), "Others"},
          {P("/network/apn"), "my.apn"},
          {P("/network/user"), "me"},
          {P("/network/password"), "s3cret"},
          {P("/network/server"), "10.0.0.1"},
          {P("/network/port"), "9000"}}},
        {"a carrier brings its texts, server and port stay",
         {"carrier=movistar"},
         {{P("/network/carrier"), "Movistar"},
          {P("/network/apn"), "movistar.es"},
          {P("/network/user"), "MOVISTAR"},
          {P("/network/password"), "MOVISTAR"},
          {P("/network/server"), "10.0.0.1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"config", "set"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = cli(args);
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, kConfigured) << r;
        nlohmann::json doc = settings();
        for (const auto& [at, value] : c.expect) EXPECT_EQ(doc[at], value) << at.to_string() << "\n" << doc.dump(2);
    }
}

TEST_F(ConfigCommand, RefusalsEndWithAMessageAndWriteNothing)
{
    struct Case {
        const char* preset;
        std::vector<std::string> args;
        std::string out;  // the dialog's own message, when it refuses
        std::string err;  // part of the plain message
    };
    const Case cases[] = {
        {"layout3", {"band.3=off", "colour=red"}, "", "unknown key 'colour'"},
        {"layout3", {"timezone=abc"}, "", "'abc' is not a time zone (-12 to 13)"},
        {"layout3", {"band.Z频段=off"}, "", "band.Z频段: unknown band"},
        {"layout3", {"band.10=off"}, "", "no such band (the device has 9)"},
        {"layout3", {"band.1=maybe"}, "", "neither on nor off"},
        {"layout3", {"bright-start=25"}, "", "not an hour of the day"},
        {"layout3", {"port=80a"}, "", "not a port number"},
        {"layout3", {"carrier=Nowhere"}, "", "unknown carrier"},
        {"layout3", {"carrier=RACC Tel", "apn=mine"}, "", "apn: fixed by the chosen carrier"},
        {"layout3", {"band.1=off", "bright-start=abc"}, "请输入一个整数。\n", ""},
        {"layout3", {"apn=" + std::string(28, 'a')}, "APN设置出错！\n", ""},
        {"layout3", {"server=" + std::string(20, 's')}, "服务器出错！\n", ""},
        {"classic", {"miles=on"}, "", "miles: not offered by this device"},
        {"classic", {"apn=internet"}, "", "apn: not offered by this device"},
        {"layout4", {"--yes", "server=10.1.1.1"}, "", "server: not changeable on this device"},
        // The radar question, asked of no terminal and not confirmed by --yes.
        {"layout4", {"timezone=2"}, "", "nothing was written (without a terminal, --yes confirms)"},
    };
    std::string plugged;
    Devsim* sim = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        if (plugged != c.preset) {
            if (sim) {
                ASSERT_TRUE(sim->unplug());
            }
            sim = plugIn(std::string("cfg-") + c.preset, "hid", c.preset);
            ASSERT_NE(sim, nullptr);
            plugged = c.preset;
        }
        const nlohmann::json before = settings();
        std::vector<std::string> args = {"config", "set"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = cli(args);
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_EQ(r.out, c.out) << r;
        if (!c.err.empty()) {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r;
        }
        EXPECT_EQ(settings(), before);
    }
}

TEST_F(ConfigCommand, QuestionConfirmedByYesAndAFailedWriteReported)
{
    ASSERT_NE(plugIn("cfg", "hid", "layout4"), nullptr);
    RunResult yes = cli({"config", "set", "--yes", "timezone=-3"});
    EXPECT_EQ(yes.status, 0) << yes;
    EXPECT_EQ(yes.out, kConfigured) << yes;
    EXPECT_EQ(settings()["timezone"], -3);

    // The device refuses the next write: the terminal must not claim success.
    std::ofstream(simDir / "fault#cfg") << "refuse-write:1";
    RunResult failed = cli({"config", "set", "--yes", "timezone=7"});
    EXPECT_EQ(failed.status, 1) << failed;
    EXPECT_EQ(failed.out, kConfigFailed) << failed;
}

} // namespace
