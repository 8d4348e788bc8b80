// What identification makes of the devices the presets build, the progress
// runs, the texts and information file, and the client table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common_k52/client_table.h"
#include "common_k52/machine.h"
#include "common_k52/machine_blocks.h"
#include "sim/presets.h"
#include "support/temp_dir.h"

namespace {

struct Event {
    uint32_t phase, value;
    bool operator==(const Event&) const = default;
};

class MachineOnSim : public ::testing::Test {
protected:
    void TearDown() override { reset(); }
    void reset()
    {
        ZR_Machine_release(m);
        m = nullptr;
        commands.clear();
    }

    void make(const std::string& preset, SimDeviceOptions base = {})
    {
        dev = SimPreset_make(preset, base);
        ASSERT_TRUE(dev);
    }
    // A record whose channel holds a port on the device; commands get logged.
    void connect()
    {
        m = ZR_Machine_create(accept ? &MachineOnSim::onAccept : nullptr, this, &MachineOnSim::onProgress, this);
        ASSERT_NE(m, nullptr);
        m->channel->port = Hidc_portFromDevice(SimDevice_openTransport(dev.get()));
        ASSERT_NE(m->channel->port, nullptr);
        dev->setCommandLog([](void* user, const char* line) { static_cast<MachineOnSim*>(user)->commands.emplace_back(line); },
                           this);
    }
    void identify(const std::string& preset)
    {
        make(preset);
        connect();
        ASSERT_EQ(ZR_Machine_identify(m), 1);
    }

    size_t count(const std::string& prefix) const
    {
        size_t n = 0;
        for (const std::string& c : commands) n += c.rfind(prefix, 0) == 0;
        return n;
    }
    std::string board() const
    {
        char b[8];
        return ZR_Machine_getBoardName(m, b, sizeof b);
    }
    std::string client() const
    {
        char b[100];
        return ZR_Machine_getClientText(m, b);
    }
    static uint32_t ymd(const ZR_Date& d) { return d.year * 10000u + d.month * 100u + d.day; }

    static int onAccept(void* user, const uint8_t* block)
    {
        auto* self = static_cast<MachineOnSim*>(user);
        ++self->acceptCalls;
        self->refuseAt = self->commands.size();
        return self->accept(block);
    }
    static void onProgress(void* user, ZR_Machine*, uint32_t phase, uint32_t value, uint32_t)
    {
        static_cast<MachineOnSim*>(user)->events.push_back({phase, value});
    }

    std::unique_ptr<SimDevice> dev;
    ZR_Machine* m = nullptr;
    std::vector<std::string> commands;
    std::vector<Event> events;
    std::function<int(const uint8_t*)> accept;
    int acceptCalls = 0;
    size_t refuseAt = 0;
};

// ---------------------------------------------------------------------------
// Identification

TEST_F(MachineOnSim, PresetsIdentifyAsTheyAreDescribed)
{
    const struct {
        const char* preset;
        int is502;
        uint32_t flashSize;
        const char* board;
        int layout;
        const char* client;
        uint32_t voice, radarMute, gps;
        bool net;
    } cases[] = {
        {"classic", 0, 8u << 20, "MVT7", 2, "Halcyon Path", 20230615, 20230901, 20240320, false},
        {"502", 1, 16u << 20, "HB6T", 5, "Halcyon Path", 20240518, 20240110, 20241102, true},
        {"k502-4m", 1, 4u << 20, "K502", 5, "Halcyon Path", 20240518, 20240110, 20241102, true},
        {"layout3", 0, 8u << 20, "GT30", 3, "Lumen Drive", 20221231, 20210707, 20210405, false},
        {"layout4", 0, 8u << 20, "QX40", 4, "Ostara Labs", 20240110, 20230901, 20240518, true},
        {"layout1", 0, 8u << 20, "", 1, "Halcyon Path", 20200101, 20200913, 20210707, false},
        {"blank", 0, 8u << 20, "", -1, "", 0, 0, 0, false},
        {"borealis", 0, 8u << 20, "BT21", 0, "Borealis Tech", 20221231, 0, 20240110, false},
        {"boot1045", 0, 8u << 20, "MVT7", 2, "Halcyon Path", 20230615, 20230901, 20240320, false},
    };
    ASSERT_EQ(SimPreset_names().size(), 10u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.preset);
        reset();
        identify(c.preset);
        EXPECT_EQ(m->is502, c.is502);
        EXPECT_EQ(m->flashSize, c.flashSize);
        EXPECT_EQ(board(), c.board);
        EXPECT_EQ(m->layoutVersion, c.layout);
        EXPECT_EQ(client(), c.client);
        EXPECT_EQ(ymd(m->voiceDate), c.voice);
        EXPECT_EQ(ymd(m->radarMuteDate), c.radarMute);
        EXPECT_EQ(ymd(m->gpsDate), c.gps);
        EXPECT_EQ(ZR_Net_valid(m->net), c.net);
        EXPECT_EQ(m->progressMode, ZR_PROGRESS_NONE);
        EXPECT_EQ(count("REFUSE"), 0u);
    }
}

TEST_F(MachineOnSim, The502CopyWinsOverAStaleClassicOne)
{
    make("502");
    ZR_InfoBlock stale{};
    ZR_Info_setU32(stale, ZR_INFO_BOARD_NAME, 0x444C4F53);  // "SOLD"
    ZR_Info_setU32(stale, ZR_INFO_MAGIC, ZR_BLOCK_MAGIC);
    ZR_NetBlock staleNet{};
    std::memcpy(staleNet.bytes + ZR_NET_APN, "stale", 5);
    ZR_Net_setU32(staleNet, ZR_NET_MAGIC, ZR_BLOCK_MAGIC);
    SimFlash_putParam(dev.get(), kClassicMap.parameter, stale, &staleNet, nullptr);
    SimFlash_putClient(dev.get(), kClassicMap.client, "Stale Client", true);
    connect();
    ASSERT_EQ(ZR_Machine_identify(m), 1);
    EXPECT_EQ(m->is502, 1);
    EXPECT_EQ(board(), "HB6T");
    EXPECT_STREQ(reinterpret_cast<const char*>(m->net.bytes + ZR_NET_APN), "cmnet");
    EXPECT_EQ(client(), "Halcyon Path");
    EXPECT_EQ(m->thirdPart[10], uint8_t(10 * 7 + 3));

    // With the 502 copy's sum broken the classic copy is the device's, and
    // the classic map's settings address applies.
    uint8_t flip = dev->readFlashDirect(k502Map.parameter + 8, 1)[0] ^ 1;
    dev->writeFlashDirect(k502Map.parameter + 8, &flip, 1);
    ASSERT_EQ(ZR_Machine_identify(m), 1);
    EXPECT_EQ(m->is502, 0);
    EXPECT_EQ(board(), "SOLD");
    EXPECT_STREQ(reinterpret_cast<const char*>(m->net.bytes + ZR_NET_APN), "stale");
    EXPECT_EQ(client(), "Stale Client");
    EXPECT_EQ(m->layoutVersion, -1);  // 0x011000 is blank on this device
}

TEST_F(MachineOnSim, WithoutInformationBlockTheSettingsNameTheBoard)
{
    const struct {
        const char* preset;
        const char* board;
        uint32_t programVersion;
    } cases[] = {{"classic", "MVT7", 2310}, {"layout3", "GT30", 3100}, {"layout4", "QX40", 4200}, {"layout1", "", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.preset);
        reset();
        make(c.preset);
        std::vector<uint8_t> blank(4096, 0xFF);
        dev->writeFlashDirect(kClassicMap.parameter, blank.data(), 4096);
        SimFlash_putAreaHeader(dev.get(), ZR_FIXED_GPS_START, 0x65FACFC0, false);  // 2024-03-20
        connect();
        ASSERT_EQ(ZR_Machine_identify(m), 1);
        EXPECT_FALSE(ZR_Info_valid(m->info));
        EXPECT_EQ(board(), c.board);
        EXPECT_EQ(ZR_Info_u32(m->info, ZR_INFO_PROGRAM_VERSION), c.programVersion);
        EXPECT_EQ(ymd(m->gpsDate), 20240320u);
        // The fixed table's areas are read, and nothing else.
        EXPECT_EQ(count("READ arg1=0x2DE0 "), 1u);
        EXPECT_EQ(count("READ arg1=0x160 "), 2u);  // parameter copy, then the radar-mute header
        EXPECT_EQ(count("READ arg1=0x110 "), 1u);  // settings
        EXPECT_EQ(count("READ arg1=0x180 "), 1u);  // client
    }
}

TEST_F(MachineOnSim, FlashSizeIsAskedFromBoot1011On)
{
    for (uint32_t boot : {0u, 1010u, 1011u}) {
        SCOPED_TRACE(boot);
        reset();
        SimDeviceOptions options;
        options.flashSize = 16u << 20;
        options.bootVersion = boot;
        dev = std::make_unique<SimDevice>(options);
        ASSERT_TRUE(SimPreset_apply(*SimPreset_find("classic"), dev.get()));
        connect();
        ASSERT_EQ(ZR_Machine_identify(m), 1);
        EXPECT_EQ(m->bootVersion, boot);
        EXPECT_EQ(m->channel->bootVersion, boot);
        EXPECT_EQ(count("FLASH_SIZE"), boot >= 1011 ? 1u : 0u);
        EXPECT_EQ(m->flashSize, boot >= 1011 ? 16u << 20 : 8u << 20);
    }
}

TEST_F(MachineOnSim, RefusedDeviceGetsOneRefuseAndNoDateReads)
{
    accept = [](const uint8_t*) { return 1; };
    identify("classic");
    ZR_Date gps = m->gpsDate;
    ASSERT_EQ(ymd(gps), 20240320u);

    SimFlash_putClient(dev.get(), kClassicMap.client, "Quillmere Systems", true);
    std::string seen;
    accept = [&](const uint8_t* block) {
        char text[100];
        seen = ZR_clientBlockText(block, text);
        return 0;
    };
    commands.clear();
    EXPECT_EQ(ZR_Machine_identify(m), 0);
    EXPECT_EQ(seen, "Quillmere Systems");
    EXPECT_EQ(count("REFUSE"), 1u);
    ASSERT_EQ(commands.size(), refuseAt + 1);
    EXPECT_EQ(commands.back().rfind("REFUSE", 0), 0u);
    EXPECT_EQ(ymd(m->gpsDate), 20240320u);  // kept from the accepted identification
}

TEST_F(MachineOnSim, AreasBeyondTheFlashAreNeverRead)
{
    make("classic");
    std::vector<uint8_t> image = dev->readFlashDirect(kClassicMap.parameter, 256);
    ZR_InfoBlock info;
    std::memcpy(info.bytes, image.data() + 4, ZR_INFO_BLOCK_SIZE);
    ZR_Info_setU32(info, ZR_INFO_GPS_START, 8u << 20);
    ZR_Info_setU32(info, ZR_INFO_RADAR_MUTE_START, 0xFFFFFF00);
    SimFlash_putParam(dev.get(), kClassicMap.parameter, info, nullptr, nullptr);
    connect();
    ASSERT_EQ(ZR_Machine_identify(m), 1);
    EXPECT_EQ(ymd(m->gpsDate), 0u);
    EXPECT_EQ(ymd(m->radarMuteDate), 0u);
    EXPECT_EQ(ymd(m->voiceDate), 20230615u);
    EXPECT_EQ(count("READ arg1=0x8000 "), 0u);
    EXPECT_EQ(count("READ arg1=0xFFFFFF "), 0u);
    EXPECT_EQ(count("READ arg1=0x1B0 "), 1u);  // the voice header
}

TEST(SettingsLayouts, LongerRulesAreTriedFirstAndMagicIsRequired)
{
    auto image = [](std::initializer_list<std::pair<size_t, uint8_t>> bytes, int32_t sealAs) {
        ZR_SettingsImage s{};
        for (auto [at, value] : bytes) ZR_Settings_payload(s)[at] = value;
        ZR_Settings_seal(s, sealAs);
        return s;
    };
    auto withMagic = [](ZR_SettingsImage s, size_t at, uint32_t magic, int32_t sealAs) {
        bytes::putLe32(ZR_Settings_payload(s) + at, magic);
        ZR_Settings_seal(s, sealAs);
        return s;
    };
    // Nothing beyond byte 24: every sum matches, the magic of 5, 4 and 3 is
    // missing, and layout 2 comes before layout 1.
    ZR_SettingsImage shortOnly = image({{3, 9}, {20, 4}}, 1);
    EXPECT_EQ(ZR_Settings_detectLayout(shortOnly), 2);
    EXPECT_EQ(ZR_Settings_detectLayout(image({{3, 9}, {30, 1}}, 1)), 1);
    EXPECT_EQ(ZR_Settings_detectLayout(image({{3, 9}, {30, 1}}, 2)), 2);
    EXPECT_EQ(ZR_Settings_detectLayout(withMagic(shortOnly, 107, ZR_BLOCK_MAGIC, 5)), 5);
    EXPECT_EQ(ZR_Settings_detectLayout(withMagic(shortOnly, 107, ZR_BLOCK_MAGIC + 1, 5)), -1);
    EXPECT_EQ(ZR_Settings_detectLayout(withMagic(shortOnly, 60, ZR_BLOCK_MAGIC, 4)), 4);
    EXPECT_EQ(ZR_Settings_detectLayout(withMagic(shortOnly, 166, ZR_BLOCK_MAGIC, 3)), 3);
    ZR_SettingsImage blank;
    std::memset(blank.bytes, 0xFF, sizeof blank.bytes);
    EXPECT_EQ(ZR_Settings_detectLayout(blank), -1);
}

// ---------------------------------------------------------------------------
// Progress

TEST_F(MachineOnSim, ProgressReportsEvery4096BytesWhenTheValueMoves)
{
    m = ZR_Machine_create(nullptr, nullptr, &MachineOnSim::onProgress, this);
    ZR_Machine_progressBegin(m, 10240);
    for (int i = 0; i < 160; ++i) ZR_Machine_progressStep(m, 64);
    ZR_Machine_progressEnd(m);
    EXPECT_EQ(events, (std::vector<Event>{{0, 10000}, {1, 4062}, {1, 8125}, {1, 10000}}));

    // No total: nothing to scale by, and nothing reported.
    events.clear();
    ZR_Machine_progressBegin(m, 0);
    ZR_Machine_progressStep(m, 8192);
    EXPECT_EQ(events, (std::vector<Event>{{0, 10000}}));

    // Overrunning the total caps the value.
    events.clear();
    ZR_Machine_progressBegin(m, 4096);
    ZR_Machine_progressStep(m, 8192);
    EXPECT_EQ(events, (std::vector<Event>{{0, 10000}, {1, 10000}}));

    events.clear();
    std::string longCaption(300, 'c');
    ZR_Machine_setMessage(m, longCaption.c_str());
    EXPECT_EQ(std::strlen(m->caption), 255u);
    EXPECT_EQ(events, (std::vector<Event>{{3, 10000}}));
}

TEST_F(MachineOnSim, TransfersFeedTheRunByProgressMode)
{
    identify("classic");
    std::vector<uint8_t> buffer(10240);
    const struct {
        uint32_t mode;
        std::vector<Event> expected;
    } cases[] = {
        {ZR_PROGRESS_NONE, {}},
        {ZR_PROGRESS_SELF, {{0, 10000}, {1, 4062}, {1, 8125}, {1, 10000}}},
        {ZR_PROGRESS_CALLER, {{1, 4062}, {1, 8125}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        m->progressMode = c.mode;
        if (c.mode == ZR_PROGRESS_CALLER) ZR_Machine_progressBegin(m, 10240);
        events.clear();
        ASSERT_EQ(Hidc_readFlash(m->channel, 0x100000, buffer.data(), 10240, 0), 1);
        EXPECT_EQ(events, c.expected);
    }
    // Identification reports nothing whatever mode it finds.
    events.clear();
    ASSERT_EQ(ZR_Machine_identify(m), 1);
    EXPECT_TRUE(events.empty());
}

// ---------------------------------------------------------------------------
// Texts, information file, parameter image, clients

TEST(MachineTexts, ClientTextEndsAtNulOrErasedFlash)
{
    auto text = [](std::vector<uint8_t> head) {
        uint8_t block[256];
        std::memset(block, 0xFF, sizeof block);
        std::copy(head.begin(), head.end(), block);
        char out[100];
        return std::string(ZR_clientBlockText(block, out));
    };
    EXPECT_EQ(text({'A', 'B', 0xFF, 0xFF}), "AB");
    EXPECT_EQ(text({}), "");
    EXPECT_EQ(text({'A', 'B', 0xFF, 'C', 0}), "AB\xFF" "C");
    EXPECT_EQ(text({'A', 0, 'B'}), "A");
    EXPECT_EQ(text(std::vector<uint8_t>(200, 'x')), std::string(99, 'x'));
}

TEST_F(MachineOnSim, InformationFileDescribesTheDevice)
{
    make("classic");
    std::vector<uint8_t> image = dev->readFlashDirect(kClassicMap.parameter, 256);
    ZR_InfoBlock info;
    std::memcpy(info.bytes, image.data() + 4, ZR_INFO_BLOCK_SIZE);
    ZR_Info_setU32(info, ZR_INFO_VOICE_SIZE, 0);  // a device without voice image
    SimFlash_putParam(dev.get(), kClassicMap.parameter, info, nullptr, nullptr);
    connect();
    ASSERT_EQ(ZR_Machine_identify(m), 1);

    test_support::TempDir dir;
    const std::string path = dir / "machine_info.txt";
    ASSERT_EQ(ZR_Machine_dumpInfo(m, path.c_str()), 1);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    // The server line carries the server area's size, not the update tool's (65536).
    EXPECT_EQ(text.str(),
              "502:0\nboot:1046\nflash size:8388608\nmain setting version:3\nbroad name:MVT7\n"
              "program version:2310\nclient:Halcyon Path\ngps version:20240320;size:3145728\n"
              "voice version:;size:0\nradar mute version:20230901;size:131072\n"
              "update version:\xD3\xD0;size:65536\nserver version:8192;size:8192\n");
    EXPECT_EQ(ZR_Machine_dumpInfo(m, "/nonexistent-dir/info.txt"), 0);
    EXPECT_EQ(ZR_Machine_dumpInfo(nullptr, path.c_str()), 0);
}

TEST_F(MachineOnSim, UpdateToolTextFollowsTheInformationBlock)
{
    char text[100];
    identify("classic");
    EXPECT_STREQ(ZR_Machine_getUpdateToolText(m, text), "\xD3\xD0" /* 有 */);
    ZR_Info_setU32(m->info, ZR_INFO_UPDATE_TOOL_SIZE, 0);
    EXPECT_STREQ(ZR_Machine_getUpdateToolText(m, text), "\xCE\xDE" /* 无 */);
    ZR_Info_setU32(m->info, ZR_INFO_MAGIC, 0);
    EXPECT_STREQ(ZR_Machine_getUpdateToolText(m, text), "\xB4\xED" /* 错 */);
    char small[3];
    EXPECT_STREQ(ZR_Machine_getBoardName(m, small, sizeof small), "MV");
}

TEST_F(MachineOnSim, ParameterImageRoundTripsThroughIdentification)
{
    identify("layout4");
    ZR_InfoBlock info = m->info;
    ZR_NetBlock net = m->net;
    std::memcpy(net.bytes + ZR_NET_USER, "fleet", 5);
    ASSERT_EQ(ZR_Machine_writeParam(nullptr, &net, m, false), 1);
    ASSERT_EQ(ZR_Machine_identify(m), 1);
    EXPECT_EQ(0, std::memcmp(m->info.bytes, info.bytes, ZR_INFO_BLOCK_SIZE));
    EXPECT_STREQ(reinterpret_cast<const char*>(m->net.bytes + ZR_NET_USER), "fleet");
    EXPECT_EQ(m->thirdPart[255], uint8_t(255 * 7 + 3));

    // A network block without its magic is not written; the one the device
    // had is gone with the rewritten image.
    ZR_NetBlock noMagic{};
    ASSERT_EQ(ZR_Machine_writeParam(&info, &noMagic, m, true), 1);
    ASSERT_EQ(ZR_Machine_writeParam(&info, &noMagic, m, false), 1);
    ASSERT_EQ(ZR_Machine_identify(m), 1);
    EXPECT_EQ(m->is502, 1);
    EXPECT_FALSE(ZR_Net_valid(m->net));
    EXPECT_EQ(ZR_Machine_writeParam(&info, nullptr, nullptr, false), 0);
}

TEST(ClientTable, EveryEntryIsFoundAtItsOwnPlace)
{
    EXPECT_STREQ(ZR_clientTable[0], std::string(21, ' ').c_str());
    EXPECT_STREQ(ZR_clientTable[1], "Halcyon Path");
    EXPECT_STREQ(ZR_clientTable[ZR_CLIENT_NO_LAYOUT], "Borealis Tech");
    for (int i = 0; i < ZR_CLIENT_TABLE_COUNT; ++i) {
        SCOPED_TRACE(i);
        ASSERT_GT(std::strlen(ZR_clientTable[i]), 0u);
        EXPECT_EQ(ZR_Machine_findClient(ZR_clientTable[i]), i);
    }
    for (const char* name : ZR_furtherAcceptedClients) EXPECT_GE(ZR_Machine_findClient(name), 0);
}

TEST(ClientTable, LookupMatchesWholeEntriesAsPrefixes)
{
    EXPECT_EQ(ZR_Machine_findClient("Halcyon Path Fleet"), 1);
    EXPECT_EQ(ZR_Machine_findClient("Halcyon Pat"), -1);
    EXPECT_EQ(ZR_Machine_findClient((std::string(21, ' ') + "x").c_str()), 0);
    EXPECT_EQ(ZR_Machine_findClient(std::string(20, ' ').c_str()), -1);
    EXPECT_EQ(ZR_Machine_findClient("\xB1\xB1\xB3\xBD\xB5\xE7\xD7\xD3" /* 北辰电子 */), 21);
    EXPECT_EQ(ZR_Machine_findClient(""), -1);
    EXPECT_EQ(ZR_Machine_findClient(nullptr), -1);
}

TEST_F(MachineOnSim, SetClientRenamesTheBlockOnTheDevicesMap)
{
    for (const char* preset : {"classic", "502"}) {
        SCOPED_TRACE(preset);
        reset();
        identify(preset);
        uint32_t address = ZR_flashMap(m->is502 != 0).client;
        std::vector<uint8_t> before = dev->readFlashDirect(address, 768);
        ASSERT_EQ(ZR_Machine_setClient(m), 1);
        std::vector<uint8_t> after = dev->readFlashDirect(address, 768);
        EXPECT_EQ(std::string(after.begin(), after.begin() + 5), "HLPTH");
        EXPECT_TRUE(std::equal(after.begin() + 5, after.end(), before.begin() + 5));
        // Five bytes and no terminator: the old name's tail stays.
        EXPECT_EQ(client(), "HLPTHon Path");
        ASSERT_EQ(ZR_Machine_identify(m), 1);
        EXPECT_EQ(client(), "HLPTHon Path");
    }
    EXPECT_EQ(ZR_Machine_setClient(nullptr), 0);
}

} // namespace
