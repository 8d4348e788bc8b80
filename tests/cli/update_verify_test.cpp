// `tessaly-cli update` reads back what it wrote: a boot loader that answers
// every write alike (before 1046) cannot hide a write it did not keep, and
// the terminal says where the device differs.
#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;

class VerifiedUpdate : public CliTest {};

TEST_F(VerifiedUpdate, WritesTheDeviceDidNotKeepFailTheUpdate)
{
    // mvt7-full on the classic map (fixed areas): the run's first write is
    // the GPS data, 0x20100 bytes at 0x2DE000.
    const struct {
        const char* fault;
        std::vector<std::string> options;
        int status;
        std::string message;  // the start of the final message
        const char* cause;    // on stderr; "" none
    } cases[] = {
        {"refuse-write:1", {}, 1, kFailedPrefix, "gps data at 0x2DE000: 0x2DE000 reads back"},
        {"refuse-write:1", {"--no-verify"}, 0, kSuccess, ""},  // what the device's replies alone say
        {"corrupt-write:1", {}, 0, kSuccess, ""},              // the ends are intact
        {"corrupt-write:1", {"--verify", "full"}, 1, kFailedPrefix, "gps data at 0x2DE000: 0x2EE080 reads back"},
    };
    const std::string package = Samples::get().file("mvt7-full.dzr").string();
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        SCOPED_TRACE(c.options.empty() ? std::string("ends") : c.options[0]);
        std::string id = "v";
        id += std::to_string(++n);
        Devsim* sim = plugIn(id, "hid", "boot1045", {"--fault", c.fault});
        ASSERT_NE(sim, nullptr);
        std::vector<std::string> args = {"update", "--package", package};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RunResult r = cli(args);
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_EQ(r.out.rfind(c.message, 0), 0u) << r;
        if (*c.cause) EXPECT_NE(r.err.find(c.cause), std::string::npos) << r;
        else EXPECT_EQ(r.err.find("does not hold"), std::string::npos) << r;
        EXPECT_TRUE(sim->unplug()) << sim->log();
    }
}

} // namespace
