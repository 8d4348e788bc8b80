// Write plans and write runs against the simulated device: where each image
// lands, what the parameter image then says, and what a refused plan or a
// failing transfer leaves alone. After every successful run the flash is
// checked byte for byte.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common_k52/machine.h"
#include "common_k52/machine_blocks.h"
#include "core/ciphers.h"
#include "core/log.h"
#include "core/stream.h"
#include "sim/presets.h"
#include "support/random_bytes.h"
#include "tools/container_builder.h"
#include "tools/pack_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using P = ZR_ProgramParam;

using test_support::randomBytes;

// What the device holds after a write of data: padded with erased bytes to the next 256.
Bytes padded(Bytes data)
{
    data.resize((data.size() + 255) / 256 * 256, 0xFF);
    return data;
}

Bytes erased(size_t n) { return Bytes(n, 0xFF); }

PackagePtr load(const ContainerSpec& spec)
{
    return pack_test::buildInMemory(spec);
}

ProgramEntrySpec entry(const std::string& board, const Bytes& plainImage,
                       std::initializer_list<std::pair<P, uint32_t>> params = {})
{
    ProgramEntrySpec e;
    e.board = board;
    e.image = ContainerBuilder_rollingForm(plainImage);
    for (auto [p, v] : params) e.params[size_t(p)] = v;
    return e;
}

// The package of the layout worked example: target 502, server 0x1800,
// voice 0x10001, track 0x10000, GPS 0x100, nothing else.
struct Example {
    Bytes boot = randomBytes(0x800, 1);
    Bytes program = randomBytes(0x3000, 2);
    Bytes voice = randomBytes(0x10001, 3);
    Bytes gps = randomBytes(0x100, 4);
    ContainerSpec spec;

    Example()
    {
        spec.title = "Halcyon Path";
        spec.section(ZR_Section::boot) = ContainerBuilder_rollingForm(boot);
        spec.section(ZR_Section::voice) = voice;
        spec.section(ZR_Section::gps) = ContainerBuilder_rollingForm(gps);
        spec.program = ProgramTableSpec{};
        spec.program->entries.push_back(entry("HB6T", program,
                                              {{P::altLayout, 1}, {P::serverDataSize, 0x1800},
                                               {P::trackDataSize, 0x10000}, {P::paramWord, 5100},
                                               {P::paramMagic, 1}}));
    }
    ProgramEntrySpec& main() { return spec.program->entries.back(); }
};

using LogLine = std::pair<std::string, std::string>;  // function, message

class MachineWrite : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousSink = ZR_logGetSink(&previousContext);
        ZR_logSetSink(
            [](void* self, const char*, int, const char* function, int, int, const char* message) {
                static_cast<MachineWrite*>(self)->logs.emplace_back(function, message);
            },
            this);
    }
    void TearDown() override
    {
        ZR_Machine_release(m);
        ZR_logSetSink(previousSink, previousContext);
    }

    // A record identified on a fresh device; prepare runs on the flash first.
    void connect(const std::string& preset, void (*prepare)(SimDevice*) = nullptr)
    {
        ZR_Machine_release(m);
        dev = SimPreset_make(preset);
        ASSERT_TRUE(dev);
        if (prepare) prepare(dev.get());
        m = ZR_Machine_create(nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m, nullptr);
        m->channel->port = Hidc_portFromDevice(SimDevice_openTransport(dev.get()));
        ASSERT_EQ(ZR_Machine_identify(m), 1);
        dev->setCommandLog([](void* self, const char* line) { static_cast<MachineWrite*>(self)->commands.push_back(line); },
                           this);
        dev->resetCounters();
        commands.clear();
        logs.clear();
        plan = ZR_WritePlan{};
        plan.writeBoot = plan.writeProgram = plan.writeVoice = plan.writeRadarMute = plan.writeGps =
            plan.writeUpdateTool = plan.resetSetting = 1;
    }

    Bytes flash(uint32_t address, uint32_t length) const { return dev->readFlashDirect(address, length); }
    Bytes all() const { return flash(0, dev->flashSize()); }
    size_t count(const std::string& prefix) const
    {
        size_t n = 0;
        for (const auto& c : commands) n += c.rfind(prefix, 0) == 0;
        return n;
    }
    // The flag byte of every write command, in order.
    std::string writeFlags() const
    {
        std::string out;
        for (const auto& c : commands)
            if (c.rfind("WRITE", 0) == 0) out += c[c.find("flag=") + 5];
        return out;
    }
    std::vector<LogLine> logsOf(std::initializer_list<const char*> functions) const
    {
        std::vector<LogLine> out;
        for (const auto& l : logs)
            for (const char* f : functions)
                if (l.first == f) out.push_back(l);
        return out;
    }
    // The information block of the parameter image at address, after checking its sum.
    ZR_InfoBlock infoAt(uint32_t address) const
    {
        Bytes image = flash(address, 4 + ZR_INFO_BLOCK_SIZE);
        EXPECT_TRUE(ZR_blockImageValid(image.data(), ZR_INFO_BLOCK_SIZE));
        ZR_InfoBlock info;
        std::memcpy(info.bytes, image.data() + 4, ZR_INFO_BLOCK_SIZE);
        return info;
    }
    void expectProgram(const Bytes& plain) const
    {
        Bytes flag(12);
        bytes::putLe32(flag.data(), ZR_BLOCK_MAGIC);
        bytes::putLe32(flag.data() + 4, uint32_t(plain.size()));
        bytes::putLe32(flag.data() + 8, bytes::sum32(plain.data(), plain.size()));
        EXPECT_EQ(flash(ZR_PROGRAM_FLAG_ADDRESS, 256), padded(flag));
        EXPECT_EQ(flash(ZR_PROGRAM_ADDRESS, uint32_t(padded(plain).size())), padded(plain));
    }
    void expectArea(uint32_t address, const Bytes& plain) const
    {
        EXPECT_EQ(flash(address, uint32_t(padded(plain).size())), padded(plain)) << std::hex << address;
    }

    std::unique_ptr<SimDevice> dev;
    ZR_Machine* m = nullptr;
    ZR_WritePlan plan{};
    std::vector<std::string> commands;
    std::vector<LogLine> logs;
    ZR_LogSink previousSink = nullptr;
    void* previousContext = nullptr;
};

// ---------------------------------------------------------------------------
// Laid-out areas

TEST_F(MachineWrite, The502ExampleLaysOutWritesAndReidentifies)
{
    Example ex;
    PackagePtr package = load(ex.spec);
    connect("502");
    Bytes pattern = randomBytes(0x24000, 9);  // over server, voice and track, to see the resets
    ASSERT_TRUE(dev->writeFlashDirect(0x021000, pattern.data(), uint32_t(pattern.size())));
    Bytes thirdPart = flash(k502Map.parameter + 0x200, 256);

    ASSERT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), ZR_PLAN_READY);
    EXPECT_EQ(plan.voice.address, 0x023000u);
    EXPECT_EQ(plan.radarMute.address, 0x034000u);
    EXPECT_EQ(plan.updateTool.address, 0x034000u);
    EXPECT_EQ(plan.oled.address, 0x034000u);
    EXPECT_EQ(plan.gps.address, 0x044000u);

    ZR_InfoBlock info = infoAt(k502Map.parameter);
    const std::pair<size_t, uint32_t> fields[] = {
        {ZR_INFO_RESERVED_START, 0x021000}, {ZR_INFO_RESERVED_SIZE, 0},
        {ZR_INFO_SERVER_START, 0x021000},   {ZR_INFO_SERVER_SIZE, 0x2000},
        {ZR_INFO_VOICE_START, 0x023000},    {ZR_INFO_VOICE_SIZE, 0x11000},
        {ZR_INFO_RADAR_MUTE_START, 0x034000}, {ZR_INFO_RADAR_MUTE_SIZE, 0},
        {ZR_INFO_UPDATE_TOOL_START, 0x034000}, {ZR_INFO_UPDATE_TOOL_SIZE, 0},
        {ZR_INFO_OLED_START, 0x034000},     {ZR_INFO_OLED_SIZE, 0},
        {ZR_INFO_TRACK_START, 0x034000},    {ZR_INFO_TRACK_SIZE, 0x10000},
        {ZR_INFO_GPS_START, 0x044000},      {ZR_INFO_GPS_SIZE, 0x1000},
        {ZR_INFO_AREA_END, 0x045000},       {ZR_INFO_FLASH_SIZE, 16u << 20},
        {ZR_INFO_BOARD_NAME, ZR_boardKey("HB6T")}, {ZR_INFO_PROGRAM_VERSION, 5100},
        {ZR_INFO_MAIN_SETTING_VERSION, 0},  {ZR_INFO_REQUIRED_TOOL_VERSION, 0},
    };
    for (auto [offset, value] : fields) EXPECT_EQ(ZR_Info_u32(info, offset), value) << "field at " << offset;
    Bytes net = flash(k502Map.parameter + 0x100, 4 + ZR_NET_BLOCK_SIZE);
    EXPECT_TRUE(ZR_blockImageValid(net.data(), ZR_NET_BLOCK_SIZE));  // the entry asked for the magic
    EXPECT_EQ(flash(k502Map.parameter + 0x200, 256), thirdPart);
    EXPECT_EQ(flash(kClassicMap.parameter, 4096), erased(4096));
    EXPECT_EQ(flash(0x021000, 0x2000), erased(0x2000));
    EXPECT_EQ(flash(0x034000, 0x10000), erased(0x10000));

    plan.writeClientId = 1;
    ASSERT_EQ(ZR_Machine_write(&plan, m, package.get()), ZR_WRITE_OK);
    expectArea(0x044000, ex.gps);
    expectArea(0x023000, ex.voice);
    expectProgram(ex.program);
    expectArea(ZR_BOOT_ADDRESS, ex.boot);
    EXPECT_EQ(flash(k502Map.settings, 4096), erased(4096));
    Bytes client = flash(k502Map.client, 256);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(client.data())), "Halcyon Path");
    EXPECT_EQ(Bytes(client.begin() + 12, client.end()), Bytes(256 - 12, 0));

    // Parameter image 0; GPS, voice, flag block, program 1; boot (its second
    // transfer flag) and client block 0.
    EXPECT_EQ(writeFlags(), "0111100");
    EXPECT_EQ(commands.back().rfind("DONE", 0), 0u);
    EXPECT_EQ(ZR_Info_u32(m->info, ZR_INFO_GPS_START), 0x044000u);  // identified again
    EXPECT_EQ(m->layoutVersion, -1);  // the settings sector was reset

    const char* plan_ = "ZR_Machine_checkParamAndMainSetting";
    std::vector<LogLine> expected = {
        {plan_, "502=1, bProgramChanged=1, bDataChanged=1"},
        {plan_, "write main setting[0x1E000]"},
        {plan_, "reset server data[0x21000][0x2000]"},
        {plan_, "reset track data[0x34000][0x10000]"},
        {"ZR_Machine_write", "write gps data[0x44000][0x100]"},
        {"ZR_Machine_write", "write voice data[0x23000][0x10001]"},
        {"ZR_Machine_writeProgram", "write app flag data[0x8000][0xC]"},
        {"ZR_Machine_writeProgram", "write app data[0x9000][0x3000]"},
        {"ZR_Machine_writeBoot", "write boot data[0x0][0x800]"},
        {"ZR_Machine_write", "reset setting data[0x19000][0x1000]"},
        {"ZR_Machine_write", "write client id data[0x1F000][0x1000]"},
    };
    EXPECT_EQ(logsOf({plan_, "ZR_Machine_write", "ZR_Machine_writeProgram", "ZR_Machine_writeBoot"}), expected);
}

TEST_F(MachineWrite, EncodedAndPlainImagesOfEveryKindReadBackDecoded)
{
    Bytes boot = randomBytes(0x900, 11), program = randomBytes(0x7F01, 12), voice = randomBytes(0x5000, 13),
          radarMute = randomBytes(0x1234, 14), tool = randomBytes(0x777, 15), oled = randomBytes(0x803, 16),
          gps = randomBytes(0x2001, 17);
    ContainerSpec spec;
    spec.title = "Halcyon Path";
    spec.section(ZR_Section::boot) = ContainerBuilder_rollingForm(boot);
    spec.section(ZR_Section::voice) = voice;
    spec.section(ZR_Section::radarMute) = radarMute;
    spec.section(ZR_Section::updateTool) = tool;
    spec.section(ZR_Section::oled) = ContainerBuilder_rollingForm(oled);
    spec.section(ZR_Section::gps) = ContainerBuilder_rollingForm(gps);
    spec.program = ProgramTableSpec{};
    spec.program->entries = {entry("GT30", program, {{P::oled, 1}})};
    PackagePtr package = load(spec);
    connect("layout3");

    ASSERT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), ZR_PLAN_READY);
    ASSERT_EQ(ZR_Machine_write(&plan, m, package.get()), ZR_WRITE_OK);
    // Classic map, no server or track: voice 0x19000 (5 sectors), radar mute, tool, OLED, GPS.
    expectArea(0x019000, voice);
    expectArea(0x01E000, radarMute);
    expectArea(0x020000, tool);
    expectArea(0x021000, oled);
    expectArea(0x022000, gps);
    expectProgram(program);
    expectArea(0, boot);
    EXPECT_EQ(ZR_Info_u32(m->info, ZR_INFO_AREA_END), 0x025000u);
    EXPECT_EQ(ZR_Info_u8(m->info, ZR_INFO_UPDATE_TOOL_PRESENT), 1);
    EXPECT_EQ(ZR_Info_u8(m->info, ZR_INFO_AREA_PLAIN), 0);
    // Parameter image; GPS, voice, radar mute, update tool (always 0), OLED,
    // flag block, program, boot; no client block.
    EXPECT_EQ(writeFlags(), "011101110");
}

// ---------------------------------------------------------------------------
// Fixed layout

void mvt5WithoutParameters(SimDevice* dev)
{
    Bytes payload(252, 0);
    std::memcpy(payload.data() + 24, "MVT5", 4);
    SimFlash_putSettings(dev, kClassicMap.settings, 2, payload.data());
}

TEST_F(MachineWrite, FixedLayoutBoardsUseTheFixedTable)
{
    // A radar-mute image past 0x2000 bytes covers the client sector at 0x018000.
    for (uint32_t radarMuteSize : {0x1000u, 0x3000u}) {
        SCOPED_TRACE(radarMuteSize);
        Bytes voice = randomBytes(0x3000, 21), radarMute = randomBytes(radarMuteSize, 22),
              gps = randomBytes(0x2000, 23), program = randomBytes(0x1000, 24);
        Example ex;
        ex.spec.section(ZR_Section::voice) = voice;
        ex.spec.section(ZR_Section::radarMute) = radarMute;
        ex.spec.section(ZR_Section::gps) = ContainerBuilder_rollingForm(gps);
        ex.spec.section(ZR_Section::updateTool) = randomBytes(0x1000, 25);
        ex.spec.section(ZR_Section::oled) = ContainerBuilder_rollingForm(randomBytes(0x800, 26));
        ex.spec.program->entries.push_back(entry("MVT5", program, {{P::oled, 1}, {P::paramWord, 55}}));
        PackagePtr package = load(ex.spec);
        connect("layout1", mvt5WithoutParameters);
        ASSERT_EQ(ZR_Info_u32(m->info, ZR_INFO_BOARD_NAME), ZR_boardKey("MVT5"));
        Bytes before = all();

        ASSERT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), ZR_PLAN_READY);
        EXPECT_EQ(plan.updateTool.size, 0u);
        EXPECT_EQ(plan.oled.size, 0u);
        plan.writeClientId = 1;
        ASSERT_EQ(ZR_Machine_write(&plan, m, package.get()), ZR_WRITE_OK);

        EXPECT_EQ(flash(k502Map.parameter, 4096), erased(4096));
        Bytes sector0x16 = padded(radarMute);
        sector0x16.resize(std::max<size_t>(sector0x16.size(), 0x1000), 0xFF);
        EXPECT_EQ(flash(kClassicMap.parameter, uint32_t(sector0x16.size())), sector0x16);
        expectArea(ZR_FIXED_VOICE_START, voice);
        expectArea(ZR_FIXED_GPS_START, gps);
        expectProgram(program);
        EXPECT_EQ(flash(kClassicMap.settings, 4096), erased(4096));
        if (radarMuteSize <= 0x2000) {
            Bytes client = flash(kClassicMap.client, 12);
            EXPECT_EQ(std::string(client.begin(), client.end()), "Halcyon Path");
        }
        EXPECT_EQ(count("WRITE"), radarMuteSize <= 0x2000 ? 7u : 6u);
        // Nothing but the written images and the erased sectors changed; in
        // particular no laid-out update-tool or OLED area.
        Bytes after = all();
        for (uint32_t a : {0x019000u, 0x100000u, 0x7FF000u})
            EXPECT_EQ(Bytes(after.begin() + a, after.begin() + a + 0x1000),
                      Bytes(before.begin() + a, before.begin() + a + 0x1000));
    }
}

// ---------------------------------------------------------------------------
// Plans that refuse

TEST_F(MachineWrite, LayoutsThatDoNotFitTouchNothing)
{
    const uint32_t flash16 = 16u << 20;
    const struct {
        const char* what;
        const char* board;      // MVT5: the fixed table
        ZR_Section section;     // replaced by `size` random bytes when size is not 0
        uint32_t size;
        uint32_t flashSize, reservedSize, serverSize, trackSize;
        uint32_t neededEnd;
        int32_t gpsRoom;
    } cases[] = {
        {"GPS partly out", "HB6T", {}, 0, 0x044800, 0, 0x1800, 0x10000, 0x045000, 0x800},
        {"areas before GPS out", "HB6T", {}, 0, 0x030000, 0, 0x1800, 0x10000, 0x045000, 0x030000 - 0x044000},
        // Each of these wraps to a fitting layout in 32-bit arithmetic.
        {"reserved size wraps", "HB6T", {}, 0, flash16, 0xFFFFFFFF, 0x1800, 0x10000, UINT32_MAX, INT32_MIN},
        {"server size wraps", "HB6T", {}, 0, flash16, 0, 0xFFFFF001, 0x10000, UINT32_MAX, INT32_MIN},
        {"track size wraps", "HB6T", {}, 0, flash16, 0, 0x1800, 0xFFFFF000, UINT32_MAX, INT32_MIN},
        // Fixed areas: an image longer than its area would run into the next one.
        {"fixed voice", "MVT5", ZR_Section::voice, ZR_FIXED_VOICE_SIZE + 1, 8u << 20, 0, 0, 0, 0x2DE100, 0},
        {"fixed radar mute", "MVT5", ZR_Section::radarMute, ZR_FIXED_RADAR_MUTE_SIZE + 256, 8u << 20, 0, 0, 0,
         0x0DE100, 0},
        {"fixed GPS", "MVT5", ZR_Section::gps, ZR_FIXED_GPS_SIZE + 4, 8u << 20, 0, 0, 0, 0x800100,
         int32_t(ZR_FIXED_GPS_SIZE)},
        {"flash ends in the GPS area", "MVT5", ZR_Section::gps, 0x200000, 0x400000, 0, 0, 0, 0x4DE000, 0x122000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Example ex;
        ex.main().board = c.board;
        ex.main().params[size_t(P::serverDataSize)] = c.serverSize;
        ex.main().params[size_t(P::trackDataSize)] = c.trackSize;
        if (c.size) {
            Bytes data = randomBytes(c.size, 31);
            ex.spec.section(c.section) = c.section == ZR_Section::gps ? ContainerBuilder_rollingForm(data) : data;
        }
        PackagePtr package = load(ex.spec);
        connect("502");
        m->flashSize = c.flashSize;
        plan.reservedSize = c.reservedSize;
        Bytes before = all();
        EXPECT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), ZR_PLAN_NO_FIT);
        EXPECT_EQ(plan.neededEnd, c.neededEnd);
        EXPECT_EQ(plan.gpsRoom, c.gpsRoom);
        EXPECT_EQ(ZR_Machine_write(&plan, m, package.get()), ZR_WRITE_INVALID);
        EXPECT_EQ(dev->commandsIn(), 0u);
        EXPECT_TRUE(all() == before);
    }

    // The same record planned again once the data fits keeps nothing of the refusal.
    Example ex;
    PackagePtr package = load(ex.spec);
    m->flashSize = flash16;
    plan.reservedSize = 0;
    ASSERT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), ZR_PLAN_READY);
    EXPECT_EQ(plan.gps.address, 0x044000u);
    EXPECT_EQ(plan.ready, 1u);
}

TEST_F(MachineWrite, RefusedPlansGiveTheirCodeBeforeTouchingTheDevice)
{
    const struct {
        const char* what;
        void (*change)(Example&, ZR_WritePlan&);
        int result;
    } cases[] = {
        {"no boot image", [](Example& e, ZR_WritePlan&) { e.spec.section(ZR_Section::boot).clear(); }, ZR_PLAN_NO_BOOT},
        {"boot not asked for", [](Example&, ZR_WritePlan& p) { p.writeBoot = 0; }, ZR_PLAN_NO_BOOT},
        {"no entry for the board", [](Example& e, ZR_WritePlan&) {
             e.main().board = "ZZZZ";
             e.spec.program->entries.push_back(entry("YYYY", {1, 2, 3}));
         }, ZR_PLAN_NO_PROGRAM},
        {"program longer than its room", [](Example& e, ZR_WritePlan&) {
             e.main().image = ContainerBuilder_rollingForm(randomBytes(0x10001, 5));
         }, ZR_PLAN_NO_PROGRAM},
        {"voice variant empty", [](Example& e, ZR_WritePlan&) { e.main().params[size_t(P::secondVoice)] = 1; },
         ZR_PLAN_NO_VOICE},
        {"GPS variant empty", [](Example& e, ZR_WritePlan&) { e.main().params[size_t(P::gps2)] = 1; }, ZR_PLAN_NO_GPS},
        {"province GPS without assembly", [](Example&, ZR_WritePlan& p) { p.provinceMode = 1; }, ZR_PLAN_NO_GPS},
        {"OLED empty", [](Example& e, ZR_WritePlan&) { e.main().params[size_t(P::oled)] = 1; }, ZR_PLAN_NO_OLED},
        {"GPS off the 256-byte grid", [](Example& e, ZR_WritePlan&) { e.main().params[size_t(P::trackDataSize)] = 0x10010; },
         ZR_PLAN_PARAM_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Example ex;
        ex.spec.section(ZR_Section::voice3) = randomBytes(0x100, 6);  // so that province mode finds its voice
        connect("502");
        c.change(ex, plan);
        PackagePtr package = load(ex.spec);
        Bytes before = all();
        EXPECT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), c.result);
        EXPECT_EQ(dev->commandsIn(), 0u);
        EXPECT_TRUE(all() == before);
        if (c.result == ZR_PLAN_NO_PROGRAM || c.result == ZR_PLAN_NO_BOOT) {
            EXPECT_EQ(plan.voice.size, 0u);
        }
    }
}

// ---------------------------------------------------------------------------
// Choosing images

TEST_F(MachineWrite, ProgramAndVariantChoiceFollowsTheEntry)
{
    ContainerSpec spec;
    spec.title = "Halcyon Path";
    spec.section(ZR_Section::boot) = {1, 2, 3, 4};
    for (int s = int(ZR_Section::radarMute); s < int(ZR_Section::gpsProvinceRecords); ++s)
        if (s != int(ZR_Section::gpsProvinceItems)) spec.section(ZR_Section(s)) = randomBytes(0x100, 40 + s);
    spec.provinceRecords = ProvinceRecordsSpec{};
    spec.provinceRecords->entries.push_back({"\xB1\xB1\xBE\xA9" /* 北京 */, randomBytes(32, 7)});
    const struct {
        const char* board;
        std::initializer_list<std::pair<P, uint32_t>> params;
        uint32_t provinceMode;
        ZR_Section voice, gps;  // gpsProvinceRecords: its assembled image
    } rows[] = {
        {"SEC2", {{P::secondVoice, 1}}, 0, ZR_Section::voice2, ZR_Section::gps},
        {"PRV4", {{P::secondVoice, 1}, {P::gps3, 1}}, 1, ZR_Section::voice4, ZR_Section::gpsProvinceRecords},
        {"V5G2", {{P::voice5, 1}, {P::gps2, 1}}, 1, ZR_Section::voice5, ZR_Section::gps2},
        {"V6G3", {{P::voice5, 1}, {P::secondVoice, 0x100}, {P::gps3, 1}}, 0, ZR_Section::voice6, ZR_Section::gps3},
        {"V8V5", {{P::voice7, 1}, {P::voice5, 1}}, 1, ZR_Section::voice8, ZR_Section::gpsProvinceItems},
        // The device's own board HB6T takes the first entry keyed HB6T or HB6W.
        {"HB6W", {{P::voice7, 1}, {P::secondVoice, 1}}, 0, ZR_Section::voice7, ZR_Section::gps},
        {"HB6T", {}, 0, ZR_Section::voice, ZR_Section::gps},
    };
    spec.program = ProgramTableSpec{};
    uint32_t seed = 80;
    for (const auto& r : rows) spec.program->entries.push_back(entry(r.board, randomBytes(0x100, seed++), r.params));
    PackagePtr package = load(spec);
    uint8_t selection[PROVINCE_COUNT] = {1};
    ASSERT_EQ(ZR_Package_assembleProvinceGps(package.get(), selection), 1);

    connect("502");
    m->flashSize = 0;  // every plan stops at "does not fit", after its choices, with the device untouched
    for (const auto& r : rows) {
        SCOPED_TRACE(r.board);
        bool own = std::string(r.board) == "HB6T";
        plan.provinceMode = r.provinceMode;
        plan.boardCode = own ? 0 : ZR_boardKey(r.board);
        int result = ZR_Machine_checkParamAndMainSetting(m, &plan, package.get());
        EXPECT_EQ(plan.voice.data, ZR_Package_slot(package.get(), own ? ZR_Section::voice7 : r.voice)->buffer);
        if (r.gps == ZR_Section::gpsProvinceItems) {
            EXPECT_EQ(result, ZR_PLAN_NO_GPS);  // that slot is never filled
            continue;
        }
        EXPECT_EQ(result, ZR_PLAN_NO_FIT);
        EXPECT_EQ(plan.gps.data, r.gps == ZR_Section::gpsProvinceRecords ? package->gpsProvinceRecords.assembled.buffer
                                                                         : ZR_Package_slot(package.get(), r.gps)->buffer);
        EXPECT_EQ(plan.program.data, ZR_Package_findProgram(package.get(), ZR_boardKey(own ? "HB6W" : r.board))->image);
    }
    EXPECT_EQ(dev->commandsIn(), 0u);
}

// ---------------------------------------------------------------------------
// Write failures

TEST_F(MachineWrite, AFailingWriteStopsTheRunWhereItFails)
{
    // Replies of the run in order: GPS, voice, flag block, program, boot.
    const struct {
        uint32_t failingReply;
        int result;
    } cases[] = {{1, ZR_WRITE_GPS_FAILED}, {2, ZR_WRITE_VOICE_FAILED}, {3, ZR_WRITE_PROGRAM_FAILED},
                 {4, ZR_WRITE_PROGRAM_FAILED}, {5, ZR_WRITE_BOOT_FAILED}};
    const std::pair<uint32_t, uint32_t> targets[] = {
        {0x044000, 0x100}, {0x023000, 0x10100}, {0x008000, 0x100}, {0x009000, 0x3000}, {0x000000, 0x800}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failingReply);
        Example ex;
        PackagePtr package = load(ex.spec);
        connect("502");
        ASSERT_EQ(ZR_Machine_checkParamAndMainSetting(m, &plan, package.get()), ZR_PLAN_READY);
        plan.writeClientId = 1;
        Bytes before = all();
        ZR_InfoBlock infoBefore = m->info;
        SimFaults faults;
        faults.failStatus = c.failingReply;
        dev->setFaults(faults);
        dev->resetCounters();
        commands.clear();

        EXPECT_EQ(ZR_Machine_write(&plan, m, package.get()), c.result);
        EXPECT_EQ(dev->commandsIn(), c.failingReply);  // no later image, reset, identification or DONE
        Bytes after = all();
        for (size_t i = c.failingReply; i < std::size(targets); ++i) {
            auto [address, length] = targets[i];
            EXPECT_TRUE(std::equal(after.begin() + address, after.begin() + address + length, before.begin() + address))
                << std::hex << address;
        }
        for (uint32_t sector : {k502Map.settings, k502Map.client})
            EXPECT_TRUE(std::equal(after.begin() + sector, after.begin() + sector + 4096, before.begin() + sector));
        EXPECT_EQ(std::memcmp(m->info.bytes, infoBefore.bytes, ZR_INFO_BLOCK_SIZE), 0);
    }
}

// ---------------------------------------------------------------------------
// Program alone

TEST_F(MachineWrite, ProgramFlagBlockCarriesTheDecodedSum)
{
    ContainerSpec spec;
    spec.title = "Halcyon Path";
    spec.program = ProgramTableSpec{};
    spec.program->entries = {entry("MVT7", {1, 2, 3})};
    PackagePtr package = load(spec);
    connect("classic");

    // A plain image is summed as it is.
    package->program.entries[0].encoded = 0;
    ASSERT_EQ(ZR_Machine_writeProgram(m, package.get(), true), 1);
    EXPECT_EQ(flash(ZR_PROGRAM_FLAG_ADDRESS, 12), (Bytes{0x78, 0x56, 0x34, 0x12, 3, 0, 0, 0, 6, 0, 0, 0}));
    EXPECT_EQ(flash(ZR_PROGRAM_ADDRESS, 4), (Bytes{1, 2, 3, 0xFF}));
    EXPECT_EQ(m->progressMode, ZR_PROGRESS_SELF);

    // An encoded image (with a 1-byte tail outside the rolling XOR) is
    // summed in the form the device stores.
    Bytes plain = randomBytes(0x7FFD, 91);
    spec.program->entries = {entry("MVT7", plain)};
    package = load(spec);
    ASSERT_EQ(ZR_Machine_writeProgram(m, package.get(), false), 1);
    expectProgram(plain);
    EXPECT_EQ(logsOf({"ZR_Machine_writeProgram"}).back().second, "write app data[0x9000][0x7FFD]");

    // Longer than the room before the settings sector: nothing is written.
    spec.program->entries = {entry("MVT7", randomBytes(0x8001, 92))};
    package = load(spec);
    dev->resetCounters();
    EXPECT_EQ(ZR_Machine_writeProgram(m, package.get(), false), 0);
    EXPECT_EQ(dev->commandsIn(), 0u);
}

// The program's sum and the encoded transfer each decode a copy on a state of
// their own: a stream left half-way on the shared state goes on unharmed.
TEST_F(MachineWrite, ProgramWritesLeaveTheSharedRollingStateAlone)
{
    ContainerSpec spec;
    spec.title = "Halcyon Path";
    spec.program = ProgramTableSpec{};
    spec.program->entries = {entry("MVT7", randomBytes(1000, 93))};
    PackagePtr package = load(spec);
    connect("classic");

    const Bytes plain = randomBytes(1024, 94);
    Bytes work = ContainerBuilder_rollingForm(plain);
    ZR_rollingXorReset();
    ZR_rollingXor(300, work.data());
    ASSERT_EQ(ZR_Machine_writeProgram(m, package.get(), false), 1);
    ZR_rollingXor(uint32_t(work.size() - 300), work.data() + 300);
    EXPECT_EQ(work, plain);
}

}  // namespace
