// The configure action and the settings dialog against simulated devices of
// every settings layout: what the dialog offers, what a confirmation writes
// into the device's flash byte for byte, the refusals, and the carrier list.

#include <cstring>

#include "common_k52/machine_blocks.h"
#include "common_k52/settings_view.h"
#include "ui/carrier_presets.h"
#include "ui/config_dialog.h"
#include "ui/window_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNetInParam = ZR_PARAM_NET_OFFSET + 4;

// What the user does in one showing of the dialog (on its own host).
using UserActions = std::function<void(FakeHost& host, CConfigDialog& dialog)>;

void confirm(FakeHost&, CConfigDialog& dialog) { dialog.windowProc(WM_COMMAND, HOST_IDOK, 0); }
void chooseCarrier(FakeHost& host, CConfigDialog& dialog, int index)
{
    host.setComboSelection(IDC_CFG_CARRIER, index);
    dialog.windowProc(WM_COMMAND, IDC_CFG_CARRIER | (CONFIG_CBN_SELCHANGE << 16), 0);
}

class ConfigDialogTest : public WindowTest {
protected:
    // The window over the preset, the dialog run by `actions` on a fresh host
    // per showing.
    void openOn(const std::string& preset, const std::string& clientName = "")
    {
        plug(preset);
        TessalyDlgHooks hooks;
        hooks.clientName = clientName;
        hooks.runConfigDialog = [this](CConfigDialog& dialog) {
            ++shown_;
            dialogHost_ = std::make_unique<FakeHost>();
            dialog.OnInitDialog(*dialogHost_);
            if (actions_) actions_(*dialogHost_, dialog);
            std::vector<int> ends = dialogHost_->endResults();
            return ends.empty() ? int(HOST_IDCANCEL) : ends.back();
        };
        open(std::move(hooks));
        ASSERT_TRUE(dlg_->isConnected());
        is502_ = dlg_->machine()->is502 != 0;
        layout_ = dlg_->machine()->layoutVersion;
        settingsBefore_ = settingsBytes();
        netBefore_ = netBytes();
    }
    void configure(UserActions actions)
    {
        actions_ = std::move(actions);
        dlg_->windowProc(WM_COMMAND, IDC_CONFIGURE, 0);
    }

    const ZR_FlashMap& map() const { return ZR_flashMap(is502_); }
    Bytes settingsBytes() const { return device_->readFlashDirect(map().settings, ZR_SETTINGS_IMAGE_SIZE); }
    Bytes netBytes() const { return device_->readFlashDirect(map().parameter + kNetInParam, ZR_NET_BLOCK_SIZE); }

    // The image as it was, edited by `edit` on the payload, with the sum of the layout.
    Bytes expectedSettings(const std::function<void(uint8_t* payload)>& edit) const
    {
        ZR_SettingsImage image;
        std::memcpy(image.bytes, settingsBefore_.data(), sizeof image.bytes);
        edit(ZR_Settings_payload(image));
        bytes::putLe32(image.bytes, ZR_Settings_payloadSum(image, layout_));
        return Bytes(image.bytes, image.bytes + sizeof image.bytes);
    }

    std::string lastBox() const { return boxes().empty() ? std::string() : boxes().back(); }
    static std::string configDoneBox()
    {
        return gbk("配置成功！") + "|" + gbk("数据更新服务") + "|" + std::to_string(HOST_MB_ICONINFORMATION);
    }

    UserActions actions_;
    std::unique_ptr<FakeHost> dialogHost_;
    int shown_ = 0;
    bool is502_ = false;
    int32_t layout_ = -1;
    Bytes settingsBefore_, netBefore_;
};

// ---------------------------------------------------------------------------
// What each layout offers

struct OfferCase {
    const char* preset;
    int bands;
    int firstColumn;            // boxes in the first column
    const char* firstLabel;     // UTF-8
    int labelIndex;             // and one more label
    const char* label;
    bool showNumber, miles, timeZone, startHour, endHour, network;
    const char* timeZoneText;
};

const OfferCase kOfferCases[] = {
    {"layout1", 12, 6, "X频段(10.480~10.720)", 8, "KA3频段(34.600~35.450)", true, false, false, false, true, false, ""},
    {"classic", 12, 6, "X频段(10.480~10.720)", 11, "雷射频段(0.000~0.000)", true, false, true, true, true, false, "8"},
    {"layout3", 9, 7, "X频段", 2, "K2频段(24.050~24.250)", true, true, true, true, true, true, "-8"},
    {"layout4", 8, 7, "X频段", 3, "K2频段(24.250~24.400)", true, false, true, false, false, true, "3"},
    {"502", 13, 7, "X频段", 12, "Mtr频段", true, false, true, true, true, true, "8"},
};

TEST_F(ConfigDialogTest, EachLayoutOffersItsBandsInTwoColumnsAndItsOptions)
{
    for (const OfferCase& c : kOfferCases) {
        SCOPED_TRACE(c.preset);
        dlg_.reset();
        openOn(c.preset);
        FakeHost* seen = nullptr;
        configure([&](FakeHost& host, CConfigDialog& dialog) {
            seen = &host;
            EXPECT_EQ(dialog.bandCount(), c.bands);
            auto created = host.created();
            ASSERT_EQ(int(created.size()), c.bands);
            for (int i = 0; i < c.bands; ++i) {
                const FakeHost::Created& box = created.at(IDC_CFG_BAND_BASE + i);
                EXPECT_EQ(box.kind, HOST_CONTROL_CHECKBOX);
                bool first = i < c.firstColumn;
                int row = first ? i : i - c.firstColumn;
                EXPECT_EQ(box.rect.left, first ? 7 : 136) << i;
                EXPECT_EQ(box.rect.top, 7 + row * 19) << i;
                EXPECT_EQ(box.rect.height, 10);
            }
            EXPECT_EQ(created.at(IDC_CFG_BAND_BASE).text, gbk(c.firstLabel));
            EXPECT_EQ(created.at(IDC_CFG_BAND_BASE + c.labelIndex).text, gbk(c.label));
            EXPECT_FALSE(host.isVisible(IDC_CFG_FIRST_COLUMN));
            EXPECT_FALSE(host.isVisible(IDC_CFG_SECOND_COLUMN));
            EXPECT_FALSE(host.isVisible(IDC_CFG_CLOCK12));
            EXPECT_EQ(host.isVisible(IDC_CFG_SHOW_NUMBER), c.showNumber);
            EXPECT_EQ(host.isVisible(IDC_CFG_MILES), c.miles);
            EXPECT_EQ(host.isVisible(IDC_CFG_TIME_ZONE), c.timeZone);
            EXPECT_EQ(host.isVisible(IDC_CFG_TIME_ZONE_LABEL), c.timeZone);
            EXPECT_EQ(host.isVisible(IDC_CFG_START_HOUR), c.startHour);
            EXPECT_EQ(host.isVisible(IDC_CFG_START_LABEL), c.startHour);
            EXPECT_EQ(host.isVisible(IDC_CFG_END_HOUR), c.endHour);
            EXPECT_EQ(host.comboCount(IDC_CFG_TIME_ZONE), 26);
            if (c.timeZone) { EXPECT_EQ(host.text(IDC_CFG_TIME_ZONE), c.timeZoneText); }
            EXPECT_EQ(dialog.networkOffered(), c.network);
            EXPECT_EQ(host.isVisible(IDC_CFG_APN), c.network);
            EXPECT_EQ(host.isVisible(IDC_CFG_PORT_LABEL), c.network);
            EXPECT_EQ(host.text(HOST_IDOK), gbk("确定"));
        });
        ASSERT_NE(seen, nullptr);
        EXPECT_EQ(shown_, 1);
        shown_ = 0;
        // Cancelled: nothing written, nothing said.
        EXPECT_EQ(settingsBytes(), settingsBefore_);
        EXPECT_EQ(netBytes(), netBefore_);
        for (const std::string& box : boxes()) EXPECT_NE(box, configDoneBox());
    }
}

TEST_F(ConfigDialogTest, TitleNamesBoardBootAndProgram)
{
    openOn("classic");
    std::string title;
    configure([&](FakeHost& host, CConfigDialog&) { title = host.title(); });
    EXPECT_EQ(title, gbk("配置") + std::string(14, ' ') + "MVT7    Boot:1046" + gbk("     程序版本：") + "2310");
}

// ---------------------------------------------------------------------------
// What a confirmation writes

struct WriteCase {
    const char* name;
    const char* preset;
    UserActions actions;
    std::function<void(uint8_t* payload)> settings;  // expected edits of the payload
};

void setText(FakeHost& host, int id, const std::string& text) { host.setText(id, text); }

const WriteCase kWriteCases[] = {
    {"unchanged layout 2", "classic", confirm, [](uint8_t*) {}},
    {"KA3 off changes only its byte", "classic",
     [](FakeHost& h, CConfigDialog& d) {
         h.setChecked(IDC_CFG_BAND_BASE + 8, false);
         confirm(h, d);
     },
     [](uint8_t* p) { p[ZR_S12_BAND_ENABLE + 8] = 0; }},
    {"miles off keeps the other bits", "layout3",
     [](FakeHost& h, CConfigDialog& d) {
         h.setChecked(IDC_CFG_SHOW_NUMBER, false);
         h.setChecked(IDC_CFG_MILES, false);
         confirm(h, d);
     },
     [](uint8_t* p) { p[ZR_S35_MILES_FLAGS] &= uint8_t(~ZR_MILES); }},
    {"show number on", "layout3",
     [](FakeHost& h, CConfigDialog& d) {
         h.setChecked(IDC_CFG_SHOW_NUMBER, true);
         confirm(h, d);
     },
     [](uint8_t* p) { p[ZR_S35_CLOCK_FLAGS] |= ZR_CLOCK_SHOW_NUMBER; }},
    {"time zone 13 in five bits", "502",
     [](FakeHost& h, CConfigDialog& d) {
         setText(h, IDC_CFG_TIME_ZONE, "13");
         confirm(h, d);
     },
     [](uint8_t* p) { p[ZR_S35_TIME_ZONE] = 0xED; }},
    {"time zone +5", "layout4",
     [](FakeHost& h, CConfigDialog& d) {
         setText(h, IDC_CFG_TIME_ZONE, "+5");
         confirm(h, d);
     },
     [](uint8_t* p) { p[ZR_S35_TIME_ZONE] = 5; }},
    {"time zone abc", "layout3",
     [](FakeHost& h, CConfigDialog& d) {
         setText(h, IDC_CFG_TIME_ZONE, "abc");
         confirm(h, d);
     },
     [](uint8_t* p) { p[ZR_S35_TIME_ZONE] = 0; }},
    {"time zone -3 on layout 2", "classic",
     [](FakeHost& h, CConfigDialog& d) {
         setText(h, IDC_CFG_TIME_ZONE, " -3");
         confirm(h, d);
     },
     [](uint8_t* p) { p[ZR_S12_TIME_ZONE] = 0xFD; }},
    {"hidden zone and start hour kept, end hour stored", "layout1",
     [](FakeHost& h, CConfigDialog& d) {
         setText(h, IDC_CFG_END_HOUR, "23");
         setText(h, IDC_CFG_TIME_ZONE, "4");  // not shown: ignored
         confirm(h, d);
     },
     [](uint8_t* p) { p[ZR_S12_BRIGHT_END] = 23; }},
    {"brightness hours as low bytes", "502",
     [](FakeHost& h, CConfigDialog& d) {
         setText(h, IDC_CFG_START_HOUR, "9");
         setText(h, IDC_CFG_END_HOUR, "300");
         confirm(h, d);
     },
     [](uint8_t* p) {
         p[ZR_S35_BRIGHT_START] = 9;
         p[ZR_S35_BRIGHT_END] = 300 & 0xFF;
     }},
    {"layout 3 network texts into the image", "layout3",
     [](FakeHost& h, CConfigDialog& d) {
         setText(h, IDC_CFG_APN, std::string(27, 'a'));
         setText(h, IDC_CFG_USER, "u");
         setText(h, IDC_CFG_PASSWORD, "");
         setText(h, IDC_CFG_SERVER, std::string(19, 's'));
         setText(h, IDC_CFG_PORT, "123456");
         confirm(h, d);
     },
     [](uint8_t* p) {
         std::memset(p + ZR_S3_APN, 0, 28);
         std::memset(p + ZR_S3_APN, 'a', 27);
         std::memset(p + ZR_S3_USER, 0, 28);
         p[ZR_S3_USER] = 'u';
         std::memset(p + ZR_S3_PASSWORD, 0, 28);
         std::memset(p + ZR_S3_SERVER, 0, 20);
         std::memset(p + ZR_S3_SERVER, 's', 19);
         std::memset(p + ZR_S3_PORT, 0, 7);
         std::memcpy(p + ZR_S3_PORT, "123456", 6);
     }},
};

TEST_F(ConfigDialogTest, ConfirmationWritesTheEditedImageAndReidentifies)
{
    for (const WriteCase& c : kWriteCases) {
        SCOPED_TRACE(c.name);
        dlg_.reset();
        host_.answerNext(HOST_IDYES);  // the radar question of layout 4, when asked
        openOn(c.preset);
        configure(c.actions);
        EXPECT_EQ(settingsBytes(), expectedSettings(c.settings));
        EXPECT_EQ(lastBox(), configDoneBox());
        // Identified again: the record holds what the device now holds.
        Bytes record(dlg_->machine()->settings.bytes, dlg_->machine()->settings.bytes + ZR_SETTINGS_IMAGE_SIZE);
        EXPECT_EQ(record, settingsBytes());
        if (layout_ != 3) { EXPECT_EQ(netBytes(), netBefore_); }
    }
}

// ---------------------------------------------------------------------------
// Network texts: limits, their order, and the network block

struct LimitCase {
    const char* preset;
    int id;
    size_t length;
    const char* refusal;  // UTF-8; "" accepted
};

const LimitCase kLimitCases[] = {
    {"layout3", IDC_CFG_APN, 27, ""},
    {"layout3", IDC_CFG_APN, 28, "APN设置出错！"},
    {"layout3", IDC_CFG_USER, 28, "用户名出错！"},
    {"layout3", IDC_CFG_PASSWORD, 28, "密码出错！"},
    {"layout3", IDC_CFG_SERVER, 20, "服务器出错！"},
    {"layout3", IDC_CFG_PORT, 7, "端口出错！"},
    {"layout4", IDC_CFG_APN, 49, ""},
    {"layout4", IDC_CFG_APN, 50, "APN设置出错！"},
    {"502", IDC_CFG_PASSWORD, 49, ""},
    {"502", IDC_CFG_USER, 50, "用户名出错！"},
};

TEST_F(ConfigDialogTest, NetworkTextsBeyondTheirFieldAreRefusedAndTheDialogStaysOpen)
{
    for (const LimitCase& c : kLimitCases) {
        SCOPED_TRACE(std::string(c.preset) + " " + std::to_string(c.id) + " " + std::to_string(c.length));
        dlg_.reset();
        host_.answerNext(HOST_IDYES);
        openOn(c.preset);
        std::vector<FakeHost::Box> dialogBoxes;
        std::vector<int> endsAfterConfirm;
        configure([&](FakeHost& h, CConfigDialog& d) {
            h.setText(c.id, std::string(c.length, '7'));
            confirm(h, d);
            dialogBoxes = h.boxes();
            endsAfterConfirm = h.endResults();
            if (endsAfterConfirm.empty()) d.windowProc(WM_COMMAND, HOST_IDCANCEL, 0);
        });
        if (*c.refusal) {
            ASSERT_EQ(dialogBoxes.size(), 1u);
            EXPECT_EQ(dialogBoxes[0].text, gbk(c.refusal));
            EXPECT_EQ(dialogBoxes[0].flags, unsigned(HOST_MB_OK));
            EXPECT_TRUE(endsAfterConfirm.empty());
            EXPECT_EQ(settingsBytes(), settingsBefore_);
            EXPECT_EQ(netBytes(), netBefore_);
        } else {
            EXPECT_TRUE(dialogBoxes.empty());
            EXPECT_EQ(endsAfterConfirm, std::vector<int>{HOST_IDOK});
            EXPECT_EQ(lastBox(), configDoneBox());
        }
    }
}

TEST_F(ConfigDialogTest, TheFirstFailingCheckSpeaksInTheFixedOrder)
{
    openOn("layout3");
    std::vector<FakeHost::Box> seen;
    configure([&](FakeHost& h, CConfigDialog& d) {
        h.setText(IDC_CFG_PORT, "12345678");
        h.setText(IDC_CFG_SERVER, std::string(30, 's'));
        h.setText(IDC_CFG_PASSWORD, std::string(30, 'p'));
        confirm(h, d);
        h.setText(IDC_CFG_PASSWORD, "ok");
        confirm(h, d);
        h.setText(IDC_CFG_SERVER, "ok");
        confirm(h, d);
        seen = h.boxes();
    });
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].text, gbk("密码出错！"));
    EXPECT_EQ(seen[1].text, gbk("服务器出错！"));
    EXPECT_EQ(seen[2].text, gbk("端口出错！"));
    EXPECT_EQ(settingsBytes(), settingsBefore_);
}

TEST_F(ConfigDialogTest, NetworkBlockTakesTextsAndThePortAsANumber)
{
    openOn("502");
    bool serverEnabled = true;
    configure([&](FakeHost& h, CConfigDialog& d) {
        serverEnabled = h.isEnabled(IDC_CFG_SERVER) || h.isEnabled(IDC_CFG_PORT);
        chooseCarrier(h, d, 0);  // Movistar
        h.setText(IDC_CFG_PORT, "8080");
        confirm(h, d);
    });
    EXPECT_FALSE(serverEnabled);
    Bytes net = netBytes();
    ZR_NetBlock block;
    std::memcpy(block.bytes, net.data(), sizeof block.bytes);
    EXPECT_STREQ(reinterpret_cast<const char*>(block.bytes + ZR_NET_APN), "movistar.es");
    EXPECT_STREQ(reinterpret_cast<const char*>(block.bytes + ZR_NET_USER), "MOVISTAR");
    EXPECT_STREQ(reinterpret_cast<const char*>(block.bytes + ZR_NET_PASSWORD), "MOVISTAR");
    EXPECT_STREQ(reinterpret_cast<const char*>(block.bytes + ZR_NET_SERVER), "203.0.113.7");
    EXPECT_EQ(ZR_Net_u32(block, ZR_NET_PORT), 8080u);
    EXPECT_TRUE(ZR_Net_valid(block));
    // The rest of the text fields is cleared.
    for (size_t i = std::strlen("movistar.es"); i < ZR_NET_TEXT_WIDTH; ++i) EXPECT_EQ(block.bytes[ZR_NET_APN + i], 0);
    EXPECT_EQ(settingsBytes(), expectedSettings([](uint8_t*) {}));
}

TEST_F(ConfigDialogTest, WithoutTheCarrierListNetworkControlsHideAndTextsStay)
{
    for (const char* preset : {"layout3", "502"}) {
        SCOPED_TRACE(preset);
        dlg_.reset();
        openOn(preset, "   ");  // a blank build client: every device, no carrier list
        bool offered = true;
        std::vector<int> hidden;
        configure([&](FakeHost& h, CConfigDialog& d) {
            offered = d.networkOffered();
            for (int id = IDC_CFG_CARRIER; id <= IDC_CFG_APN; ++id)
                if (!h.isVisible(id)) hidden.push_back(id);
            confirm(h, d);
        });
        EXPECT_FALSE(offered);
        EXPECT_EQ(hidden.size(), 12u);
        EXPECT_EQ(settingsBytes(), expectedSettings([](uint8_t*) {}));
        EXPECT_EQ(netBytes(), netBefore_);
    }
}

// ---------------------------------------------------------------------------
// The configure action's checks

TEST_F(ConfigDialogTest, ActionRefusesWhatCannotBeConfigured)
{
    struct Case {
        const char* name;
        const char* preset;  // "" none plugged
        std::function<void(ZR_Machine*)> alter;
        int answer;
        std::string box;  // "text|caption|flags"
    };
    const std::string question = gbk("未正确连接一次雷达，将使用默认值，雷达配置有可能出错！确认配置？") + "|" +
                                 gbk("数据更新服务") + "|" + std::to_string(HOST_MB_YESNO | HOST_MB_ICONQUESTION);
    const Case cases[] = {
        {"no device", "", nullptr, 0, errorBox("   未连接硬件！")},
        {"no layout", "borealis", nullptr, 0, errorBox("请启动一次机器以初始化参数！ P[BT21]")},
        {"newer tool", "classic",
         [](ZR_Machine* m) { ZR_Info_setU32(m->info, ZR_INFO_REQUIRED_TOOL_VERSION, 426); }, 0,
         errorBox("需要更新的更新工具，请重新下载！！")},
        {"radar question declined", "layout4", nullptr, HOST_IDNO, question},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dlg_.reset();
        shown_ = 0;
        if (*c.preset) {
            openOn(c.preset);
        } else {
            TessalyDlgHooks hooks;
            hooks.runConfigDialog = [this](CConfigDialog&) { return ++shown_, int(HOST_IDOK); };
            open(std::move(hooks));
        }
        if (c.alter) c.alter(dlg_->machine());
        size_t before = host_.boxes().size();
        if (c.answer) host_.answerNext(c.answer);
        configure(confirm);
        ASSERT_EQ(host_.boxes().size(), before + 1);
        EXPECT_EQ(lastBox(), c.box);
        EXPECT_EQ(shown_, 0);
        if (*c.preset) { EXPECT_EQ(settingsBytes(), settingsBefore_); }
    }
}

TEST_F(ConfigDialogTest, BrightnessHourMustBeAnInteger)
{
    openOn("classic");
    std::vector<FakeHost::Box> seen;
    int focus = 0;
    configure([&](FakeHost& h, CConfigDialog& d) {
        h.setText(IDC_CFG_END_HOUR, "abc");
        confirm(h, d);
        seen = h.boxes();
        focus = h.focus;
        EXPECT_TRUE(h.endResults().empty());
        h.setText(IDC_CFG_END_HOUR, " 21");
        confirm(h, d);
    });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, gbk("请输入一个整数。"));
    EXPECT_EQ(focus, IDC_CFG_END_HOUR);
    EXPECT_EQ(settingsBytes(), expectedSettings([](uint8_t* p) { p[ZR_S12_BRIGHT_END] = 21; }));
}

TEST_F(ConfigDialogTest, DeviceGoneDuringTheDialogWritesNothingAndSaysNothing)
{
    openOn("classic");
    size_t before = host_.boxes().size();
    configure([&](FakeHost& h, CConfigDialog& d) {
        Discovery_closeChannel(dlg_->machine());
        confirm(h, d);
    });
    EXPECT_EQ(host_.boxes().size(), before);
    EXPECT_EQ(settingsBytes(), settingsBefore_);
}

TEST_F(ConfigDialogTest, AnotherDevicePluggedInDuringTheDialogGetsNothing)
{
    openOn("classic");
    Bytes otherBefore;
    size_t before = host_.boxes().size();
    configure([&](FakeHost& h, CConfigDialog& d) {
        Discovery_closeChannel(dlg_->machine());
        SimDevice& other = plug("layout4");
        dlg_->OnDeviceChange(DeviceEvent{DEVICE_ARRIVAL, DEVICE_CLASS_HID, "sim"});
        ASSERT_TRUE(dlg_->isConnected());
        otherBefore = other.readFlashDirect(kClassicMap.settings, ZR_SETTINGS_IMAGE_SIZE);
        confirm(h, d);
    });
    EXPECT_EQ(device_->readFlashDirect(kClassicMap.settings, ZR_SETTINGS_IMAGE_SIZE), otherBefore);
    EXPECT_EQ(host_.boxes().size(), before);
}

TEST_F(ConfigDialogTest, FailedWriteIsReportedAsAFailure)
{
    openOn("classic");
    SimFaults faults;
    faults.refuseWrite = 1;  // the settings image never arrives
    device_->setFaults(faults);
    configure(confirm);
    EXPECT_EQ(lastBox(), errorBox("配置失败！"));
}

// ---------------------------------------------------------------------------
// Carriers

TEST(CarrierPresets, TextsCompareWithoutCaseAndDoubleByteCharactersAsUnits)
{
    struct Case {
        const char *a, *b;
        bool same;
    };
    const Case cases[] = {
        {"internet.EUSKALTEL.mobi", "Internet.Euskaltel.Mobi", true},
        {"", "", true},
        {nullptr, "", true},
        {"orangeworld", "orangeworl", false},
        {"M\xA8\xA2s", "m\xA8\xA2S", true},
        {"\x81\x41", "\x81\x61", false},  // a trail byte is not a letter
        {"\x81\x41", "\x81\x41", true},
        {"a\x81", "A\x81", true},         // a lone lead byte at the end
    };
    for (const Case& c : cases) EXPECT_EQ(CarrierPreset_sameText(c.a, c.b), c.same) << (c.a ? c.a : "null") << "|" << c.b;
}

TEST(CarrierPresets, TableHoldsThirtyRecordsWithUsableTexts)
{
    ASSERT_STREQ(CarrierPresetTable[0].name, "Movistar");
    ASSERT_STREQ(CarrierPresetTable[16].name, "RACC Tel");
    EXPECT_EQ(CarrierPresetTable[16].editable, 0);
    ASSERT_STREQ(CarrierPresetTable[CARRIER_OTHERS].name, "Others");
    for (int i = 0; i < CARRIER_OTHERS; ++i) {
        size_t n = std::strlen(CarrierPresetTable[i].accessPoint);
        EXPECT_TRUE(n >= 7 && n <= 23) << i;
        EXPECT_LE(std::strlen(CarrierPresetTable[i].user), 27u) << i;
        EXPECT_LE(std::strlen(CarrierPresetTable[i].password), 27u) << i;
        if (i != 16) { EXPECT_EQ(CarrierPresetTable[i].editable, 1) << i; }
    }
    EXPECT_EQ(CarrierPresetTable[CARRIER_OTHERS].accessPoint[0], '\0');
    EXPECT_EQ(CarrierPreset_find(CarrierPresetTable, CARRIER_PRESET_COUNT, "ORANGEWORLD"), 6);  // the later of two
    EXPECT_EQ(CarrierPreset_find(CarrierPresetTable, CARRIER_PRESET_COUNT, "no.such.apn"), -1);
}

TEST_F(ConfigDialogTest, InitialCarrierFollowsTheDeviceAccessPoint)
{
    struct Case {
        const char* preset;
        const char* apn;  // stored on the device
        int selected;
        const char* shownApn, *shownUser, *shownPassword;
    };
    const Case cases[] = {
        {"layout3", "Internet.Euskaltel.Mobi", 15, "internet.euskaltel.mobi", "CLIENTE", "EUSKALTEL"},
        {"502", "orangeworld", 6, "orangeworld", "", ""},
        // No carrier: "Others" with the device's own texts.
        {"layout3", "3gnet", CARRIER_OTHERS, "3gnet", "driver", "pa55word"},
        {"502", "cmnet", CARRIER_OTHERS, "cmnet", "tessaly", "s3cret"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.preset) + " " + c.apn);
        dlg_.reset();
        openOn(c.preset);
        ZR_Machine* m = dlg_->machine();
        uint8_t* apn = c.preset == std::string("layout3") ? ZR_Settings_payload(m->settings) + ZR_S3_APN
                                                          : m->net.bytes + ZR_NET_APN;
        std::memset(apn, 0, 28);
        std::memcpy(apn, c.apn, std::strlen(c.apn));
        int selected = -1;
        std::string texts[3];
        bool enabled = false;
        configure([&](FakeHost& h, CConfigDialog& d) {
            EXPECT_EQ(d.carrierCount(), CARRIER_PRESET_COUNT);
            EXPECT_EQ(h.comboItems(IDC_CFG_CARRIER).size(), size_t(CARRIER_PRESET_COUNT));
            selected = h.comboSelection(IDC_CFG_CARRIER);
            texts[0] = h.text(IDC_CFG_APN), texts[1] = h.text(IDC_CFG_USER), texts[2] = h.text(IDC_CFG_PASSWORD);
            enabled = h.isEnabled(IDC_CFG_APN) && h.isEnabled(IDC_CFG_USER) && h.isEnabled(IDC_CFG_PASSWORD);
            confirm(h, d);
        });
        EXPECT_EQ(selected, c.selected);
        EXPECT_EQ(texts[0], c.shownApn);
        EXPECT_EQ(texts[1], c.shownUser);
        EXPECT_EQ(texts[2], c.shownPassword);
        EXPECT_TRUE(enabled);
        if (c.selected == CARRIER_OTHERS && !is502_) {
            // Confirming keeps the device's modem settings.
            EXPECT_EQ(settingsBytes(), expectedSettings([](uint8_t*) {}));
        } else if (c.selected == CARRIER_OTHERS) {
            EXPECT_EQ(netBytes(), netBefore_);
        }
    }
}

TEST_F(ConfigDialogTest, ChoosingACarrierFillsTheThreeEditsOnly)
{
    openOn("layout3");
    configure([&](FakeHost& h, CConfigDialog& d) {
        size_t serverSets = h.textHistory(IDC_CFG_SERVER).size(), portSets = h.textHistory(IDC_CFG_PORT).size();
        chooseCarrier(h, d, 16);  // RACC Tel: fixed texts
        EXPECT_EQ(h.text(IDC_CFG_APN), "internet.racc.es");
        EXPECT_EQ(h.text(IDC_CFG_USER), "racc");
        EXPECT_FALSE(h.isEnabled(IDC_CFG_APN));
        EXPECT_FALSE(h.isEnabled(IDC_CFG_USER));
        EXPECT_FALSE(h.isEnabled(IDC_CFG_PASSWORD));
        chooseCarrier(h, d, CARRIER_OTHERS);
        EXPECT_EQ(h.text(IDC_CFG_APN), "");
        EXPECT_EQ(h.text(IDC_CFG_USER), "");
        EXPECT_EQ(h.text(IDC_CFG_PASSWORD), "");
        EXPECT_TRUE(h.isEnabled(IDC_CFG_APN) && h.isEnabled(IDC_CFG_USER) && h.isEnabled(IDC_CFG_PASSWORD));
        EXPECT_EQ(h.textHistory(IDC_CFG_SERVER).size(), serverSets);
        EXPECT_EQ(h.textHistory(IDC_CFG_PORT).size(), portSets);
        EXPECT_EQ(h.text(IDC_CFG_SERVER), "gps.example.net");
        EXPECT_EQ(h.text(IDC_CFG_PORT), "7700");
        chooseCarrier(h, d, 16);
        confirm(h, d);
    });
    Bytes written = settingsBytes();
    const char* apn = reinterpret_cast<const char*>(written.data() + ZR_SETTINGS_PAYLOAD + ZR_S3_APN);
    EXPECT_STREQ(apn, "internet.racc.es");
    EXPECT_STREQ(reinterpret_cast<const char*>(written.data() + ZR_SETTINGS_PAYLOAD + ZR_S3_SERVER), "gps.example.net");
}

} // namespace
