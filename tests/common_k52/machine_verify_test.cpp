// Read-back after a write run: a device that takes a write and does not keep
// it (silently, on boot loaders before 1046) fails the run, naming the area;
// a clean run passes in every mode; full mode sees what the ends cannot.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common_k52/machine.h"
#include "common_k52/machine_verify.h"
#include "core/stream.h"
#include "sim/presets.h"
#include "tools/container_builder.h"
#include "tools/pack_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using P = ZR_ProgramParam;

using pack_test::randomBytes;


// A 502-map package: encoded boot, program and GPS, plain voice. The GPS
// image spans many units, so that its middle is far from both ends.
PackagePtr examplePackage(bool encoded)
{
    auto form = [&](const Bytes& b) { return encoded ? ContainerBuilder_rollingForm(b) : b; };
    ContainerSpec spec;
    spec.title = "Halcyon Path";
    spec.section(ZR_Section::boot) = form(randomBytes(0x800, 1));
    spec.section(ZR_Section::voice) = randomBytes(0x10001, 3);
    spec.section(ZR_Section::gps) = form(randomBytes(0x3003, 4));
    spec.program = ProgramTableSpec{};
    ProgramEntrySpec e;
    e.board = "HB6T";
    e.image = form(randomBytes(0x3000, 2));
    for (auto [p, v] : {std::pair{P::altLayout, 1u}, {P::serverDataSize, 0x1800u}, {P::paramWord, 5100u},
                        {P::paramMagic, 1u}})
        e.params[size_t(p)] = v;
    spec.program->entries.push_back(e);

    return pack_test::buildInMemory(spec);
}

class MachineVerify : public ::testing::Test {
protected:
    void TearDown() override { ZR_Machine_release(m); }

    // Identifies a fresh device of the preset and plans the package on it.
    // Faults in beforePlan count from the plan's first write (the parameter
    // image); the run's own faults are set afterwards with runFaults.
    void plan(const std::string& preset, ZR_Package* package, const std::string& beforePlan = {})
    {
        dev = SimPreset_make(preset);
        ASSERT_TRUE(dev);
        m = ZR_Machine_create(nullptr, nullptr, &MachineVerify::onProgress, this);
        ASSERT_NE(m, nullptr);
        m->channel->port = Hidc_portFromDevice(SimDevice_openTransport(dev.get()));
        ASSERT_EQ(ZR_Machine_identify(m), 1);
        setFaults(beforePlan);
        wp = ZR_WritePlan{};
        wp.writeBoot = wp.writeProgram = wp.writeVoice = wp.writeGps = wp.resetSetting = 1;
        ASSERT_EQ(ZR_Machine_checkParamAndMainSetting(m, &wp, package), ZR_PLAN_READY);
        wp.writeClientId = 1;
    }
    void setFaults(const std::string& list)
    {
        SimFaults faults;
        std::string error;
        ASSERT_TRUE(SimFaults_parse(list, &faults, &error)) << error;
        dev->setFaults(faults);
        dev->setCommandLog([](void* self, const char* line) { static_cast<MachineVerify*>(self)->commands.push_back(line); },
                           this);
    }
    size_t sent(const std::string& prefix) const
    {
        size_t n = 0;
        for (const auto& c : commands) n += c.rfind(prefix, 0) == 0;
        return n;
    }
    static void onProgress(void* self, ZR_Machine* machine, uint32_t phase, uint32_t, uint32_t)
    {
        if (phase == 0) static_cast<MachineVerify*>(self)->runCaptions.push_back(machine->caption);
    }

    std::unique_ptr<SimDevice> dev;
    ZR_Machine* m = nullptr;
    ZR_WritePlan wp{};
    std::vector<std::string> commands;
    std::vector<std::string> runCaptions;  // caption at the start of each progress run
};

TEST_F(MachineVerify, ACleanRunReadsBackInEveryMode)
{
    const struct {
        const char* preset;
        bool encoded;
        uint32_t mode;
        size_t reads;  // read commands of the run (the identification afterwards not counted)
    } cases[] = {
        // Ends: flag block, parameter image, other parameter sector, client
        // block, settings sector, then two ends each of GPS, voice, program
        // and boot.
        {"502", true, ZR_VERIFY_ENDS, 5 + 4 * 2},
        {"502", false, ZR_VERIFY_ENDS, 5 + 4 * 2},
        {"boot1045", true, ZR_VERIFY_ENDS, 5 + 4 * 2},
        // Full: every image in one read per 64 KiB (voice is 0x10100 bytes).
        {"502", true, ZR_VERIFY_FULL, 5 + 1 + 2 + 1 + 1},
        {"502", true, ZR_VERIFY_OFF, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.preset) + " mode " + std::to_string(c.mode));
        PackagePtr package = examplePackage(c.encoded);
        plan(c.preset, package.get());
        wp.verifyMode = c.mode;
        commands.clear();
        runCaptions.clear();
        EXPECT_EQ(ZR_Machine_write(&wp, m, package.get()), ZR_WRITE_OK) << wp.verifyCause;
        EXPECT_STREQ(wp.verifyCause, "");
        // Read-back: after the last write, before the identification and the closing command.
        size_t lastWrite = 0, identify = commands.size(), reads = 0;
        for (size_t i = 0; i < commands.size(); ++i) {
            if (commands[i].rfind("WRITE", 0) == 0) lastWrite = i;
            if (commands[i].rfind("BOOT_VERSION", 0) == 0 && identify == commands.size()) identify = i;
        }
        ASSERT_LT(lastWrite, identify);
        for (size_t i = lastWrite; i < identify; ++i) reads += commands[i].rfind("READ", 0) == 0;
        EXPECT_EQ(reads, c.reads);
        EXPECT_EQ(commands.back().rfind("DONE", 0), 0u);
        bool verifyRun = !runCaptions.empty() && runCaptions.back() == ZR_VERIFY_CAPTION;
        EXPECT_EQ(verifyRun, c.mode != ZR_VERIFY_OFF);
        TearDown();
        m = nullptr;
    }
}

TEST_F(MachineVerify, WritesAnOldBootLoaderDidNotKeepFailTheRun)
{
    // Writes of the run in order: GPS, voice, flag block, program, boot, client block.
    const struct {
        const char* preset;
        const char* beforePlan;
        const char* run;
        int result;
        const char* cause;  // the start of the cause
    } cases[] = {
        {"boot1045", "", "refuse-write:1", ZR_WRITE_VERIFY_FAILED, "gps data at 0x34000: "},
        {"boot1045", "", "refuse-write:2", ZR_WRITE_VERIFY_FAILED, "voice data at 0x23000: "},
        {"boot1045", "", "refuse-write:3", ZR_WRITE_VERIFY_FAILED, "program flag block at 0x8000: "},
        {"boot1045", "", "refuse-write:4", ZR_WRITE_VERIFY_FAILED, "program at 0x9000: "},
        {"boot1045", "", "refuse-write:5", ZR_WRITE_VERIFY_FAILED, "boot loader at 0x0: "},
        {"boot1045", "", "refuse-write:6", ZR_WRITE_VERIFY_FAILED, "client block at 0x1F000: "},
        {"boot1045", "refuse-write:1", "", ZR_WRITE_VERIFY_FAILED, "parameter image at 0x1E000: "},
        {"boot1045", "", "corrupt-write:3", ZR_WRITE_VERIFY_FAILED, "program flag block at 0x8000: "},
        // A device that gives statuses says so itself, before any read-back.
        {"502", "", "refuse-write:1", ZR_WRITE_GPS_FAILED, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.preset) + " " + c.beforePlan + c.run);
        PackagePtr package = examplePackage(true);
        plan(c.preset, package.get(), c.beforePlan);
        if (*c.run) setFaults(c.run);
        commands.clear();
        EXPECT_EQ(ZR_Machine_write(&wp, m, package.get()), c.result);
        EXPECT_EQ(std::string(wp.verifyCause).rfind(c.cause, 0), 0u) << wp.verifyCause;
        // The run stops there: no identification and no closing command.
        EXPECT_EQ(sent("BOOT_VERSION") + sent("DONE"), 0u);
        TearDown();
        m = nullptr;
    }
}

TEST_F(MachineVerify, FullModeSeesAChangeInTheMiddleThatTheEndsDoNot)
{
    const struct {
        uint32_t mode;
        int result;
    } cases[] = {{ZR_VERIFY_ENDS, ZR_WRITE_OK}, {ZR_VERIFY_FULL, ZR_WRITE_VERIFY_FAILED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        PackagePtr package = examplePackage(true);
        plan("502", package.get());
        setFaults("corrupt-write:1");  // GPS: 0x3100 bytes at 0x34000, changed at 0x34000 + 0x1880
        wp.verifyMode = c.mode;
        EXPECT_EQ(ZR_Machine_write(&wp, m, package.get()), c.result);
        const char* cause = c.result == ZR_WRITE_OK ? "" : "gps data at 0x34000: 0x35880 reads back";
        EXPECT_EQ(std::string(wp.verifyCause).rfind(cause, 0), 0u) << wp.verifyCause;
        TearDown();
        m = nullptr;
    }
}

TEST_F(MachineVerify, AProgramWrittenAloneIsReadBackToo)
{
    // ZR_Machine_writeProgram writes the flag block (1), then the image (2).
    const struct {
        const char* run;
        uint32_t mode;
        int result;
        const char* cause;
    } cases[] = {
        {"", ZR_VERIFY_ENDS, 1, ""},
        {"refuse-write:1", ZR_VERIFY_ENDS, 0, "program flag block at 0x8000: "},
        {"refuse-write:2", ZR_VERIFY_FULL, 0, "program at 0x9000: "},
        {"refuse-write:2", ZR_VERIFY_OFF, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.run);
        PackagePtr package = examplePackage(true);
        plan("boot1045", package.get());
        setFaults(c.run);
        ASSERT_EQ(ZR_Machine_writeProgram(m, package.get(), true), 1);  // no status to say otherwise
        char cause[256];
        EXPECT_EQ(ZR_Machine_verifyProgram(m, package.get(), c.mode, cause, sizeof cause), c.result);
        EXPECT_EQ(std::string(cause).rfind(c.cause, 0), 0u) << cause;
        TearDown();
        m = nullptr;
    }
}

TEST_F(MachineVerify, WithoutAPlanOrPackageNothingIsRead)
{
    char cause[64] = "x";
    EXPECT_EQ(ZR_Machine_verify(nullptr, nullptr, nullptr, ZR_VERIFY_OFF, cause, sizeof cause), 1);
    EXPECT_STREQ(cause, "");
    EXPECT_EQ(ZR_Machine_verify(nullptr, nullptr, nullptr, ZR_VERIFY_ENDS, cause, sizeof cause), 0);
    EXPECT_NE(cause[0], 0);
    EXPECT_EQ(ZR_Machine_verifyProgram(nullptr, nullptr, ZR_VERIFY_FULL, cause, sizeof cause), 0);
    EXPECT_NE(cause[0], 0);
}

} // namespace
