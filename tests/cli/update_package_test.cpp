// `tessaly-cli update --package`: local containers and zip archives, and
// the province choice for GPS data that does not fit the device.
#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;

class PackageUpdate : public CliTest {};

// A local package is the whole source (naming a version file beside it is a
// usage error). An archive is unpacked into TMPDIR and removed after.
TEST_F(PackageUpdate, ContainerAndZipArchiveNeedNoServer)
{
    const std::vector<std::pair<std::string, fs::path>> packages = {
        {"dzr", Samples::get().file("k502-full.dzr")},
        {"zip", Samples::get().k502Zip()},
    };
    for (const auto& [id, package] : packages) {
        SCOPED_TRACE(package.filename().string());
        Devsim* sim = plugIn(id, "disk", "k502-4m");
        ASSERT_NE(sim, nullptr);

        RunResult r = cli({"update", "--package", package.string()});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, kSuccess) << r;
        DeviceInfo info = deviceInfo();
        EXPECT_EQ(valueOf(info, "program version"), "5021");
        EXPECT_EQ(dateOf(info, "gps version"), "20240603");
        EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
        EXPECT_TRUE(sim->unplug()) << sim->log();
    }

    // Half an archive: refused as a wrong file, and what was unpacked of it is gone.
    const std::string zip = readText(Samples::get().k502Zip());
    const fs::path damaged = workDir() / "damaged.zip";
    std::ofstream(damaged, std::ios::binary) << zip.substr(0, zip.size() / 2);
    ASSERT_NE(plugIn("damaged", "hid", "k502-4m"), nullptr);
    const DeviceInfo before = deviceInfo();
    RunResult r = cli({"update", "--package", damaged.string()});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, kWrongFile) << r;
    EXPECT_EQ(deviceInfo(), before);
    EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
}

// provinces-4m needs 1600 KiB of GPS room on a 4 MiB device that has 1380 KiB.
TEST_F(PackageUpdate, ProvincesChosenByNameOrPosition)
{
    const std::string package = Samples::get().file("provinces-4m.dzr").string();
    Devsim* first = plugIn("prov", "hid", "k502-4m");
    ASSERT_NE(first, nullptr);
    const DeviceInfo untouched = deviceInfo();
    ASSERT_EQ(dateOf(untouched, "gps version"), "20241102");

    // No usable choice (none given and no terminal to ask on, an unknown
    // name, a position past the table, an empty list, more than fits): the
    // data does not fit, and nothing is written.
    const std::vector<std::vector<std::string>> refused = {
        {},
        {"--provinces", "火星"},
        {"--provinces", "34"},
        {"--provinces", ""},
        {"--provinces", "北京,上海,江苏,浙江,四川,广东"},
        {"--provinces", "北京,台湾"}, // 台湾 has no data in the package
        {"--provinces", "33"},
    };
    for (const auto& choice : refused) {
        std::vector<std::string> args = {"update", "--package", package};
        args.insert(args.end(), choice.begin(), choice.end());
        SCOPED_TRACE(choice.empty() ? std::string("no --provinces") : choice.back());
        RunResult r = cli(args);
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_EQ(r.out, kTooLong) << r;
        if (choice.size() == 2 && (choice[1] == "33" || choice[1] == "北京,台湾")) {
            EXPECT_NE(r.err.find("no data for 台湾"), std::string::npos) << r;
        }
    }
    EXPECT_EQ(deviceInfo(), untouched);

    RunResult byName = cli({"update", "--package", package, "--provinces", "北京,上海,广东"});
    EXPECT_EQ(byName.status, 0) << byName;
    EXPECT_EQ(byName.out, kSuccess) << byName;
    const DeviceInfo named = deviceInfo();
    EXPECT_EQ(dateOf(named, "gps version"), "20240601");
    EXPECT_EQ(dateOf(named, "voice version"), "20240525");
    ASSERT_TRUE(first->unplug()) << first->log();

    // The same three by their table positions, on a fresh device, leave it
    // exactly as the names did.
    ASSERT_NE(plugIn("prov2", "hid", "k502-4m"), nullptr);
    RunResult byPosition = cli({"update", "--package", package, "--provinces", "0,1,27"});
    EXPECT_EQ(byPosition.status, 0) << byPosition;
    EXPECT_EQ(byPosition.out, kSuccess) << byPosition;
    EXPECT_EQ(deviceInfo(), named);
}

} // namespace
