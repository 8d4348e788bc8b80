// Faults met by identification, the plan and the write run: a reply lost or
// garbled once is asked for again; a device that speaks the protocol and then
// does not deliver fails identification with its cause; a block that was not
// read is never written back; erase and client-block statuses count where
// the device gives them.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common_k52/machine.h"
#include "common_k52/machine_blocks.h"
#include "core/stream.h"
#include "sim/presets.h"
#include "tools/container_builder.h"
#include "tools/pack_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

using pack_test::randomBytes;

PackagePtr load(const ContainerSpec& spec)
{
    return pack_test::buildInMemory(spec);
}

// A package for one board: boot, program, voice and GPS.
PackagePtr packageFor(const std::string& board, std::vector<std::pair<ZR_ProgramParam, uint32_t>> params = {})
{
    ContainerSpec spec;
    spec.title = "Halcyon Path";
    spec.section(ZR_Section::boot) = ContainerBuilder_rollingForm(randomBytes(0x800, 1));
    ProgramEntrySpec entry{board, ContainerBuilder_rollingForm(randomBytes(0x2000, 2)), {}};
    for (auto [p, v] : params) entry.params[size_t(p)] = v;
    spec.program = ProgramTableSpec{true, {entry}};
    spec.section(ZR_Section::voice) = randomBytes(0x3000, 3);
    spec.section(ZR_Section::gps) = ContainerBuilder_rollingForm(randomBytes(0x2000, 4));
    return load(spec);
}

class MachineFaults : public ::testing::Test {
protected:
    void TearDown() override { ZR_Machine_release(m); }

    // A record on a fresh preset device whose faults count from its first reply.
    void connect(const std::string& preset, const SimFaults& faults, uint32_t bootVersion = 0)
    {
        dev = SimPreset_make(preset);
        ASSERT_TRUE(dev);
        if (bootVersion) dev->setBootVersion(bootVersion);
        dev->setFaults(faults);
        m = ZR_Machine_create(nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m, nullptr);
        // Lost replies are waited for; a short limit keeps the table quick.
        m->channel->timeoutMs = 200;
        m->channel->port = Hidc_portFromDevice(SimDevice_openTransport(dev.get()));
        ASSERT_NE(m->channel->port, nullptr);
    }
    Bytes flash() const { return dev->readFlashDirect(0, dev->flashSize()); }
    void logCommands()
    {
        dev->setCommandLog([](void* self, const char* line) { static_cast<MachineFaults*>(self)->commands.push_back(line); },
                           this);
    }

    std::unique_ptr<SimDevice> dev;
    ZR_Machine* m = nullptr;
    std::vector<std::string> commands;
};

// Replies on the k502-4m preset: 1 boot version, 2 flash size, 3 parameter
// image at 0x01E000, 4 its third part. On the classic map 3 is the empty
// 0x01E000 copy and 4 the information block at 0x016000; 11 is the GPS date.
TEST_F(MachineFaults, IdentificationRetriesOnceThenFailsWithItsCause)
{
    const struct {
        const char* what;
        const char* preset;
        SimFaults faults;
        int result;
        uint32_t bootVersion;      // expected on success
        uint32_t flashSize;        // expected on success
        const char* cause;         // part of lastError on failure
    } cases[] = {
        {"boot reply lost once", "k502-4m", {.dropReply = 1}, 1, 1050, 4u << 20, ""},
        {"boot reply garbled once", "k502-4m", {.corruptSum = 1}, 1, 1050, 4u << 20, ""},
        {"flash size refused", "k502-4m", {.failStatus = 2}, 0, 0, 0, "flash-size query failed: the device reported"},
        {"flash size lost twice", "k502-4m", {.dropReply = 2, .corruptSum = 3}, 0, 0, 0, "flash-size query failed"},
        {"third part refused", "k502-4m", {.failStatus = 4}, 0, 0, 0, "third part of the parameter image at 0x1E200"},
        {"information block wrong signature once", "classic", {.corruptSignature = 4}, 1, 1046, 8u << 20, ""},
        {"information block garbled twice", "classic", {.corruptSum = 4, .corruptSignature = 5}, 0, 0, 0,
         "parameter image at 0x16000 failed: invalid reply"},
        {"gps date refused", "classic", {.failStatus = 11}, 0, 0, 0, "gps image header"},
        {"no status below 1046", "boot1045", {.failStatus = 2}, 1, 1045, 8u << 20, ""},
        {"old boot loader never answers", "classic", {.dropReply = 1, .corruptSum = 2}, 1, 0, 8u << 20, ""},
        {"device gone after the first query", "classic", {.disconnectAfter = 1}, 0, 0, 0, "answers no query and no read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        connect(c.preset, c.faults);
        EXPECT_EQ(ZR_Machine_identify(m), c.result);
        EXPECT_EQ(m->identified, c.result);
        if (c.result) {
            EXPECT_EQ(m->bootVersion, c.bootVersion);
            EXPECT_EQ(m->flashSize, c.flashSize);
            EXPECT_STREQ(ZR_Machine_lastError(m), "");
            EXPECT_TRUE(ZR_Info_valid(m->info) || c.bootVersion == 0);
        } else {
            EXPECT_NE(std::string(ZR_Machine_lastError(m)).find(c.cause), std::string::npos) << ZR_Machine_lastError(m);
            EXPECT_EQ(m->gpsDate.year, 0);
        }
        ZR_Machine_release(m);
        m = nullptr;
    }
}

// An old boot loader (no answer to the boot-version query) keeps the
// defaults for blocks it does not deliver; none of them is written back.
// Replies on layout4 then: 3 the 0x01E000 copy, 4 the information block,
// 5 its third part, 6 the network block, 7 the settings image.
TEST_F(MachineFaults, BlocksAnOldBootLoaderDidNotDeliverAreNeverWrittenBack)
{
    const SimFaults bootLost{.dropReply = 1, .corruptSum = 2};
    const struct {
        const char* what;
        uint32_t garbled;  // the reply garbled twice (it and the next)
        uint32_t missing;  // the readOk flag that must be clear
        int plan;          // the plan's result
        int paramSave;     // ZR_Machine_writeParam of the record's own blocks
        int settingsSave;  // ZR_Machine_writeMainSetting
    } cases[] = {
        {"third part", 5, ZR_READ_PARAM, ZR_PLAN_DEVICE_FAILED, 0, 1},
        {"network block", 6, ZR_READ_NET, ZR_PLAN_READY, 0, 1},
        {"settings image", 7, ZR_READ_SETTINGS, ZR_PLAN_READY, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimFaults faults = bootLost;
        faults.corruptSignature = c.garbled;
        faults.delayReply = c.garbled + 1;
        faults.delayMs = 400;  // past the record's 200 ms limit: missing
        connect("layout4", faults);
        ASSERT_EQ(ZR_Machine_identify(m), 1);
        EXPECT_EQ(m->bootVersion, 0u);
        EXPECT_EQ(m->readOk & c.missing, 0u);

        // Each save judged on its own device state, the plan last.
        Bytes before = flash();
        EXPECT_EQ(ZR_Machine_writeParam(nullptr, &m->net, m, false), c.paramSave);
        if (!c.paramSave) {
            EXPECT_EQ(flash(), before);
        }
        EXPECT_EQ(ZR_Machine_writeMainSetting(nullptr, m), c.settingsSave);
        if (!c.settingsSave) {
            EXPECT_EQ(flash(), before);
        }

        PackagePtr package = packageFor("QX40");
        ZR_WritePlan plan{};
        plan.writeBoot = plan.writeProgram = plan.writeVoice = plan.writeGps = 1;
        before = flash();
        EXPECT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), c.plan);
        if (c.plan != ZR_PLAN_READY) {
            EXPECT_EQ(flash(), before);
            EXPECT_NE(std::string(ZR_Machine_lastError(m)).find("parameter image"), std::string::npos);
        }
        ZR_Machine_release(m);
        m = nullptr;
    }
}

TEST_F(MachineFaults, NothingIsPlannedOrWrittenOnAFailedIdentification)
{
    connect("k502-4m", {.failStatus = 2});
    ASSERT_EQ(ZR_Machine_identify(m), 0);
    PackagePtr package = packageFor("K502", {{ZR_ProgramParam::altLayout, 1}});
    ZR_WritePlan plan{};
    plan.writeBoot = plan.writeProgram = plan.writeVoice = plan.writeGps = 1;
    Bytes before = flash();
    EXPECT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), ZR_PLAN_DEVICE_FAILED);
    EXPECT_EQ(ZR_Machine_write(&plan, m, package.get()), ZR_WRITE_INVALID);
    EXPECT_EQ(ZR_Machine_writeProgram(m, package.get(), true), 0);
    EXPECT_EQ(flash(), before);
    // The cause stays the identification's own.
    EXPECT_STREQ(ZR_Machine_lastError(m), "the flash-size query failed: the device reported failure");
}

// Replies of the write run of this package on the 502 map: 1 GPS, 2 voice,
// 3 program flag, 4 program, 5 boot, 6 settings erase, 7 client erase,
// 8 client block write.
TEST_F(MachineFaults, EraseAndClientStatusesCountFromBoot1046)
{
    const struct {
        const char* what;
        uint32_t bootVersion;
        SimFaults faults;
        int result;
    } cases[] = {
        {"settings erase refused", 1050, {.failStatus = 6}, ZR_WRITE_RESET_FAILED},
        {"settings erase unanswered", 1050, {.dropReply = 6}, ZR_WRITE_RESET_FAILED},
        {"client erase refused", 1050, {.failStatus = 7}, ZR_WRITE_CLIENT_FAILED},
        {"client write refused", 1050, {.failStatus = 8}, ZR_WRITE_CLIENT_FAILED},
        {"settings erase status below 1046", 1045, {.failStatus = 6}, ZR_WRITE_OK},
        {"client write status below 1046", 1045, {.failStatus = 8}, ZR_WRITE_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        connect("502", {}, c.bootVersion);
        ASSERT_EQ(ZR_Machine_identify(m), 1);
        PackagePtr package = packageFor("HB6T", {{ZR_ProgramParam::altLayout, 1}});
        ZR_WritePlan plan{};
        plan.writeBoot = plan.writeProgram = plan.writeVoice = plan.writeGps = plan.resetSetting = 1;
        ASSERT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), ZR_PLAN_READY);
        plan.writeClientId = 1;
        commands.clear();
        logCommands();
        dev->setFaults(c.faults);
        EXPECT_EQ(ZR_Machine_write(&plan, m, package.get()), c.result);
        ASSERT_GE(commands.size(), 6u);
        EXPECT_EQ(commands[5].rfind("ERASE arg1=0x19 ", 0), 0u) << commands[5];  // the settings sector
        if (c.result != ZR_WRITE_OK) {
            EXPECT_STRNE(ZR_Machine_lastError(m), "");
        }
        ZR_Machine_release(m);
        m = nullptr;
    }
}

} // namespace
