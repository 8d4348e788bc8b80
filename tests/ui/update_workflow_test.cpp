// The update run end to end: the window on a recording host, a simulated
// device, built and sample packages, and a local HTTP server.
#include <chrono>

#include "common_k52/machine_blocks.h"
#include "core/bytes.h"
#include "support/http_server.h"
#include "ui/window_fixture.h"

namespace {

using test_support::TestHttpServer;

using Bytes = std::vector<uint8_t>;

PackagePtr load(const std::string& path) { return PackagePtr(ZR_Package_load(path.c_str())); }
Bytes built(const ContainerSpec& spec)
{
    Bytes out;
    std::string error;
    EXPECT_TRUE(ContainerBuilder_build(spec, &out, &error)) << error;
    return out;
}

class UpdateTest : public WindowTest {};

TEST_F(UpdateTest, SamplePackageUpdatesClassicDevice)
{
    SimDevice& device = plug("classic");
    open();
    const std::string path = (samplesDir() / "mvt7-full.dzr").string();
    dlg_->OnDropFiles(path.c_str());
    runUpdate();

    EXPECT_EQ(boxes(), std::vector<std::string>{successBox()});
    PackagePtr package = load(path);
    ASSERT_NE(package, nullptr);
    Bytes gps = ContainerBuilder_plainForm(Bytes(package->gps.buffer, package->gps.buffer + package->gps.size));
    EXPECT_EQ(device.readFlashDirect(ZR_FIXED_GPS_START, uint32_t(gps.size())), gps); // MVT7: fixed areas
    EXPECT_EQ(TessalyDlg_dateNumber(dlg_->machine()->gpsDate), 20240517u);           // identified again
    EXPECT_TRUE(buttons(true, true, true));
    EXPECT_EQ(host_.positions().back(), 10000u);
    // The read-back is the run's last phase, under the window's own text.
    EXPECT_EQ(host_.text(IDC_PROGRESS).rfind(gbk("正在校验 100.00%   时间 "), 0), 0u);
    EXPECT_TRUE(host_.offThreadCalls().empty());
    EXPECT_TRUE(fs::exists(path)); // a local package is the user's
}

TEST_F(UpdateTest, ProgramOnlyPackageWritesOnlyTheProgram)
{
    SimDevice& device = plug("classic");
    open();
    Bytes before = device.readFlashDirect(0, device.flashSize());
    const std::string path = (samplesDir() / "program-only.dzr").string();
    PackagePtr package = load(path);
    ASSERT_TRUE(package && package->program.count == 1);
    const ZR_ProgramEntry& entry = package->program.entries[0];
    Bytes image = ContainerBuilder_plainForm(Bytes(entry.image, entry.image + entry.imageSize));
    dlg_->OnDropFiles(path.c_str());
    runUpdate();

    EXPECT_EQ(boxes(), std::vector<std::string>{successBox()});
    Bytes after = device.readFlashDirect(0, device.flashSize());
    EXPECT_EQ(bytes::getLe32(after.data() + ZR_PROGRAM_FLAG_ADDRESS + 4), image.size());
    EXPECT_EQ(Bytes(after.begin() + ZR_PROGRAM_ADDRESS, after.begin() + ZR_PROGRAM_ADDRESS + image.size()), image);
    // No plan ran: parameter image, settings and data areas are as they were.
    const size_t end = ZR_PROGRAM_ADDRESS + (image.size() + 255) / 256 * 256;
    EXPECT_TRUE(std::equal(after.begin() + end, after.end(), before.begin() + end));
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + ZR_PROGRAM_FLAG_ADDRESS, before.begin()));
}

TEST_F(UpdateTest, LocalPackageWinsAndListModeNeverDownloads)
{
    TestHttpServer server;
    plug("classic");
    open();
    setNetworkPackage(server.url("/pkgs/x.dzr"), 0, /*listMode=*/1);
    runUpdate();
    EXPECT_EQ(boxes(), std::vector<std::string>{errorBox("请选择正确的更新文件！")});
    EXPECT_EQ(host_.text(IDC_PROGRESS), "");
    EXPECT_TRUE(buttons(true, true, true));

    setNetworkPackage(server.url("/pkgs/newer.dzr"), 20991231);
    dropPackage(smallPackageSpec());
    runUpdate();
    EXPECT_EQ(boxes().back(), successBox());
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(UpdateTest, AlreadyNewestQuestionOnlyForAKnownNotNewerNetworkVersion)
{
    TestHttpServer server; // 404: a run that starts ends with the download error
    plug("classic");       // GPS data of 2024-03-20
    open();
    const std::string question = gbk("当前版本已经是最新，是否升级？");
    setNetworkPackage(server.url("/x.dzr"), 20240320);
    host_.answerNext(HOST_IDNO);
    runUpdate();
    EXPECT_EQ(boxes(), std::vector<std::string>{question + "|" + gbk("数据更新服务") + "|" + std::to_string(HOST_MB_YESNO)});
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(buttons(false, true, true)); // as before the click

    struct Case {
        int version, listMode;
        bool asks;
    };
    for (Case c : {Case{20240321, 0, false}, Case{20240319, 0, true}, Case{0, 0, false}, Case{-1, 0, false},
                   Case{20240320, 1, false}}) {
        SCOPED_TRACE(c.version);
        setNetworkPackage(server.url("/x.dzr"), c.version, c.listMode);
        size_t before = host_.boxes().size();
        runUpdate(); // a question is answered Yes
        std::vector<FakeHost::Box> shown = host_.boxes();
        ASSERT_EQ(shown.size(), before + (c.asks ? 2 : 1));
        EXPECT_EQ(shown[before].text == question, c.asks);
        EXPECT_EQ(shown.back().text, gbk(c.listMode ? "请选择正确的更新文件！" : "下载出错，请使用本地文件更新！"));
        // The cause behind the message: the server's answer, with its address.
        EXPECT_EQ(dlg_->lastCauseKind(), c.listMode ? TessalyCauseKind::VERSION_FILE : TessalyCauseKind::NETWORK);
        if (!c.listMode) {
            EXPECT_EQ(dlg_->lastCause(), "GET " + server.url("/x.dzr") + ": HTTP 404");
        }
    }
}

TEST_F(UpdateTest, UpdateWithoutDeviceSaysNotConnected)
{
    open();
    runUpdate();
    EXPECT_EQ(boxes(), std::vector<std::string>{errorBox("   未连接硬件！")});
    EXPECT_EQ(dlg_->lastCauseKind(), TessalyCauseKind::NO_DEVICE);
    EXPECT_EQ(dlg_->lastCause(), "no device connected");
}

// ---------------------------------------------------------------------------
// Network source

struct DownloadCase {
    const char* name;
    const char* address; // path and query on the server
    const char* served;  // "dzr", "zip", "junk", or "" for a 404
    const char* box;     // UTF-8; "" for success
};

class DownloadTest : public UpdateTest, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadTest, FileIsClassifiedByExtensionAndNothingStaysBehind)
{
    const DownloadCase& c = GetParam();
    const std::string served = c.served;
    Bytes body = built(smallPackageSpec());
    if (served == "zip") {
        const std::string zip = (root_ / "packages" / "p.zip").string();
        std::string error;
        ASSERT_TRUE(ContainerBuilder_zip(zip, {{"data/Update.DZR", body}}, &error)) << error;
        body = readBytes(zip);
    } else if (served == "junk") {
        body = randomBytes(3000, 9);
    }
    TestHttpServer server;
    std::string address = c.address;
    if (!served.empty()) server.serve(address.substr(0, address.find('?')), std::string(body.begin(), body.end()));
    plug("classic");
    open();
    setNetworkPackage(server.url(address));
    runUpdate();

    EXPECT_EQ(boxes(), std::vector<std::string>{*c.box ? errorBox(c.box) : successBox()});
    EXPECT_EQ(server.requests().size(), 1u);
    std::vector<std::string> steps = host_.textHistory(IDC_PROGRESS);
    EXPECT_EQ(steps.front(), gbk("正在更新"));
    EXPECT_EQ(std::count(steps.begin(), steps.end(), gbk("正在解压数据...")), served == "zip" || served == "junk");
    // Download and container are deleted on every path, and nothing was
    // written outside the temporary folder; the run's own folder goes too.
    EXPECT_EQ(tempFiles(), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_empty(tempDir_));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, DownloadTest,
    ::testing::Values(DownloadCase{"CapitalDzr", "/pkgs/Update.DZR", "dzr", ""},
                      DownloadCase{"CapitalZip", "/pkgs/UPDATE.ZIP", "zip", ""},
                      DownloadCase{"Rar", "/pkgs/update.rar", "junk", "请选择正确的更新文件！"},
                      DownloadCase{"SevenZip", "/pkgs/update.7z", "junk", "请选择正确的更新文件！"},
                      DownloadCase{"NoDot", "/pkgs/update", "dzr", "没有找到升级文件！"},
                      DownloadCase{"OtherExtension", "/pkgs/update.bin", "dzr", "没有找到升级文件！"},
                      DownloadCase{"BackslashName", "/get?f=..\\..\\escape.dzr", "dzr", ""},
                      DownloadCase{"DotDotBase", "/...dzr", "dzr", ""},
                      DownloadCase{"NotFound", "/pkgs/missing.dzr", "", "下载出错，请使用本地文件更新！"}),
    [](const ::testing::TestParamInfo<DownloadCase>& info) { return std::string(info.param.name); });

TEST(DownloadNames, StayPlainNamesInsideTheTemporaryFolder)
{
    struct Case {
        const char *address, *file, *base;
    };
    for (Case c : {Case{"http://h/a/b.dzr", "b.dzr", "b"}, Case{"b.dzr", "b.dzr", "b"}, Case{"http://h/update", "update", ""},
                   Case{"http://h/x?f=..\\..\\y.zip", "y.zip", "y"}, Case{"http://h/..", "package", ""},
                   Case{"http://h/", "package", ""}, Case{"http://h/.", "package", ""}, Case{"http://h/...dzr", "...dzr", ""},
                   Case{"http://h/..dzr", "..dzr", ""}, Case{"http://h/a.b.dzr", "a.b.dzr", "a.b"}}) {
        std::string file = TessalyDlg_downloadFileName(c.address);
        EXPECT_EQ(file, c.file) << c.address;
        EXPECT_EQ(TessalyDlg_baseName(file), c.base) << c.address;
    }
}

// ---------------------------------------------------------------------------
// Packages refused before the device is touched

struct RefusedCase {
    const char* name;
    void (*change)(ContainerSpec*);
    const char* box; // UTF-8
};

class RefusedTest : public UpdateTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedTest, EndsWithItsMessageBeforeAnyDeviceCommand)
{
    SimDevice& device = plug("classic");
    open();
    ContainerSpec spec = smallPackageSpec();
    GetParam().change(&spec);
    dropPackage(spec);
    Bytes before = device.readFlashDirect(0, device.flashSize());
    device.resetCounters();
    runUpdate();

    EXPECT_EQ(boxes(), std::vector<std::string>{errorBox(GetParam().box)});
    EXPECT_EQ(device.commandsIn(), 0u);
    EXPECT_EQ(device.readFlashDirect(0, device.flashSize()), before);
    EXPECT_TRUE(buttons(true, true, true));
}

INSTANTIATE_TEST_SUITE_P(
    Plans, RefusedTest,
    ::testing::Values(
        RefusedCase{"OtherClient", [](ContainerSpec* s) { s->title = "Quillmere Systems"; }, "请选择正确的更新文件！"},
        RefusedCase{"NoVoice", [](ContainerSpec* s) { s->section(ZR_Section::voice).clear(); },
                    "程序使用不压缩声音，但数据中没有找到！  2"},
        RefusedCase{"NoGps", [](ContainerSpec* s) { s->section(ZR_Section::gps).clear(); }, "请选择正确的更新文件！  3"},
        RefusedCase{"NeedsOled", [](ContainerSpec* s) { s->program->entries[0].params[size_t(ZR_ProgramParam::oled)] = 1; },
                    "程序需要OLED数据，但数据中没有找到！  4"},
        RefusedCase{"NoProgramForBoard",
                    [](ContainerSpec* s) {
                        s->program->entries[0].board = "XX01";
                        s->program->entries.push_back(s->program->entries[0]);
                        s->program->entries[1].board = "XX02";
                    },
                    "更新失败！  6"},
        RefusedCase{"NoBoot", [](ContainerSpec* s) { s->section(ZR_Section::boot).clear(); }, "更新失败！  7"}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateTest, DeviceLostDuringTheWriteGivesTheWriteResult)
{
    SimDevice& device = plug("classic");
    open();
    dropPackage(smallPackageSpec());
    SimFaults faults;
    faults.disconnectAfter = 10; // past the plan's two erases, inside the GPS data
    device.setFaults(faults);
    runUpdate();
    EXPECT_EQ(boxes(), std::vector<std::string>{errorBox("更新失败！  -7")});
    EXPECT_EQ(host_.text(IDC_PROGRESS), "");
    EXPECT_TRUE(buttons(true, true, true));
}

// ---------------------------------------------------------------------------
// Province choice: 1 MiB of GPS data against a 1 MiB device, with province
// records of 64 KiB for 北京 and 上海.

class ProvinceTest : public UpdateTest {
protected:
    void start(std::vector<int> chosen, bool cancel = false, bool withProvinces = true)
    {
        plugBlank(1024 * 1024);
        TessalyDlgHooks hooks;
        hooks.chooseProvinces = [=, this](ZR_Package*, int32_t room, ProvinceChoice* choice) {
            rooms_.push_back(room);
            for (int p : chosen) ProvinceChoice_set(choice, p, true);
            return !cancel && ProvinceChoice_confirm(choice) == 1;
        };
        open(std::move(hooks));
        ContainerSpec spec;
        spec.title = "Halcyon Path";
        spec.section(ZR_Section::boot) = ContainerBuilder_rollingForm(randomBytes(4096, 11));
        ProgramEntrySpec entry{"PRV1", ContainerBuilder_rollingForm(randomBytes(8192, 12)), {}};
        entry.params[size_t(ZR_ProgramParam::gps3)] = 1;
        entry.params[size_t(ZR_ProgramParam::voice7)] = 1;
        spec.program = ProgramTableSpec{true, {entry}};
        spec.section(ZR_Section::voice8) = randomBytes(4096, 13);
        spec.section(ZR_Section::gps3) = Bytes(1024 * 1024 + 16, 0x5A);
        if (withProvinces)
            spec.provinceRecords = ProvinceRecordsSpec{1717200000, 1, 16,
                                                       {{gbk("北京"), randomBytes(65536, 14)}, {gbk("上海"), randomBytes(65536, 15)}}};
        path_ = dropPackage(spec);
        device_->resetCounters();
        runUpdate();
    }
    Bytes gpsArea(uint32_t size) const
    {
        return device_->readFlashDirect(ZR_Info_u32(dlg_->machine()->info, ZR_INFO_GPS_START), size);
    }

    std::vector<int32_t> rooms_;
    std::string path_;
};

TEST_F(ProvinceTest, CancelledOrImpossibleChoiceIsDataTooLong)
{
    start({}, /*cancel=*/true);
    // The room: flash less the classic map's data start and the 4 KiB voice area.
    EXPECT_EQ(rooms_, std::vector<int32_t>{1024 * 1024 - 0x019000 - 0x1000});
    EXPECT_EQ(boxes(), std::vector<std::string>{errorBox("数据已超过长度！  1")});
    EXPECT_EQ(device_->commandsIn(), 0u);
}

TEST_F(ProvinceTest, PackageWithoutProvinceDataNeverAsks)
{
    start({0}, false, /*withProvinces=*/false);
    EXPECT_TRUE(rooms_.empty());
    EXPECT_EQ(boxes(), std::vector<std::string>{errorBox("数据已超过长度！  1")});
}

TEST_F(ProvinceTest, ChosenProvinceIsAssembledAndWritten)
{
    start({0}); // 北京
    ASSERT_EQ(boxes(), std::vector<std::string>{successBox()});
    EXPECT_EQ(dlg_->provinceAccepted(), 1);
    PackagePtr package = load(path_);
    uint8_t selection[PROVINCE_COUNT] = {1};
    ASSERT_EQ(ZR_Package_assembleProvinceGps(package.get(), selection), 1);
    const ZR_AssembledImage& image = package->gpsProvinceRecords.assembled;
    ASSERT_EQ(image.size, 16u + 65536);
    EXPECT_EQ(gpsArea(image.size), Bytes(image.buffer, image.buffer + image.size));
}

TEST_F(ProvinceTest, ChoiceOfProvincesWithoutRecordsWritesNothing)
{
    // 台湾 has no records in the package: its GPS area would be written empty
    // over the device's map data, so the choice cannot be confirmed.
    start({33});
    EXPECT_EQ(boxes(), std::vector<std::string>{errorBox("数据已超过长度！  1")});
    EXPECT_EQ(dlg_->provinceAccepted(), 0);
    EXPECT_EQ(device_->commandsIn(), 0u);
}

// ---------------------------------------------------------------------------
// Closing the window during an update

TEST_F(UpdateTest, ClosingDuringDownloadEndsSilentlyAndCleansUp)
{
    TestHttpServer server;
    const Bytes package = built(smallPackageSpec());
    server.serveHeld("/pkgs/slow.dzr", std::string(package.begin(), package.end()));
    SimDevice& device = plug("classic");
    open();
    setNetworkPackage(server.url("/pkgs/slow.dzr"));
    device.resetCounters();
    dlg_->windowProc(WM_COMMAND, IDC_SEND, 0);
    ASSERT_TRUE(host_.pumpUntil([&] { return !server.requests().empty(); }));
    dlg_->OnDropFiles((samplesDir() / "mvt7-full.dzr").c_str()); // ignored while updating
    EXPECT_EQ(dlg_->localPackagePath(), "");

    auto start = std::chrono::steady_clock::now();
    dlg_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(TESSALY_WORKER_WAIT_MS));
    server.release();
    host_.pump(); // what was queued for the gone window is dropped
    EXPECT_TRUE(host_.boxes().empty());
    EXPECT_EQ(device.commandsIn(), 0u);
    EXPECT_EQ(tempFiles(), std::vector<std::string>{});
}

TEST_F(UpdateTest, ClosingDuringASlowWriteCancelsTheTransferAfterTheWait)
{
    SimDevice& device = plug("classic");
    TessalyDlgHooks hooks;
    hooks.closeWaitMs = 100;
    open(std::move(hooks));
    dropPackage(smallPackageSpec());
    device.setLatencyUs(20000); // the write now takes over ten seconds
    dlg_->windowProc(WM_COMMAND, IDC_SEND, 0);
    ASSERT_TRUE(host_.pumpUntil([&] { return !host_.positions().empty() && host_.positions().back() > 0; }));

    auto start = std::chrono::steady_clock::now();
    dlg_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000)) << "waited for the write";
    host_.pump();
    EXPECT_TRUE(host_.boxes().empty());
}

} // namespace
