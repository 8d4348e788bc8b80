// The main window's states: start-up, titles, the button table, package
// choice, device changes, the version lookup and the progress display.
#include <cstring>
#include <thread>

#include "core/log.h"
#include "core/runtime.h"
#include "support/http_server.h"
#include "ui/window_fixture.h"

namespace {

using test_support::TestHttpServer;

std::string notConnected() { return gbk("数据更新服务   未连接硬件！"); }
std::string connected(const std::string& date) { return gbk("数据更新服务   连接成功！   当前版本：") + date; }
DeviceEvent hid(DeviceEventKind kind) { return DeviceEvent_make(kind, DEVICE_CLASS_HID, "sim:d#vid_0416&pid_b500"); }

class MainWindowTest : public WindowTest {};

TEST_F(MainWindowTest, StartUpWithoutDevice)
{
    struct Line {
        std::string file, function, message;
    };
    static std::vector<Line> lines;
    void* context = nullptr;
    ZR_LogSink previous = ZR_logGetSink(&context);
    ZR_logSetSink([](void*, const char* f, int, const char* fn, int, int, const char* m) { lines.push_back({f, fn, m}); },
                  nullptr);
    open();
    ZR_logSetSink(previous, context);

    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].file + "|" + lines[0].function + "|" + lines[0].message, "TessalyDlg|CTessalyDlg::OnInitDialog|start");
    EXPECT_EQ(host_.titles(), (std::vector<std::string>{gbk("数据更新服务"), notConnected()}));
    EXPECT_TRUE(buttons(false, false, true));
    for (auto [id, text] : {std::pair{IDC_SEND, "更新"}, {IDC_CONFIGURE, "配置"}, {IDC_OPEN, "打开"}, {IDC_CLOSE, "关闭"},
                            {IDC_GROUP_FILE, "更新文件"}, {IDC_GROUP_PROGRESS, "更新进度"}})
        EXPECT_EQ(host_.text(id), gbk(text)) << id;
    EXPECT_EQ(host_.focus, IDC_SEND);
    EXPECT_EQ(dlg_->SystemMenuText(), "Halcyon " + gbk("版本") + "425");
}

TEST_F(MainWindowTest, ConnectedTitlesAndAcceptedClients)
{
    plug("classic");
    open();
    EXPECT_EQ(host_.title(), connected("20240320"));
    EXPECT_TRUE(buttons(false, true, true)); // nothing to update from yet (no lookup here)

    plug("blank"); // no GPS date: nothing after the label
    dlg_->OnDeviceChange(hid(DEVICE_ARRIVAL));
    EXPECT_EQ(host_.title(), connected(""));

    uint8_t block[ZR_CLIENT_BLOCK_SIZE];
    for (auto [client, accepted] : {std::pair{"Halcyon Path", 1}, {"Lumen Drive", 1}, {"Ostara Labs", 1},
                                    {"Unknown Corp", 1}, {"Quillmere Systems", 0}}) {
        std::memset(block, 0, sizeof block);
        std::memcpy(block, client, std::strlen(client));
        EXPECT_EQ(CTessalyDlg::AcceptDevice(dlg_.get(), block), accepted) << client;
    }
}

TEST_F(MainWindowTest, DroppedFilesOnlyDzrInAnyCaseAndLookupSkippedAfterwards)
{
    open({}, "127.0.0.1:1"); // a lookup would start (and fail) on every refresh
    dlg_->OnDropFiles("/data/update.zip");
    dlg_->OnDropFiles("/data/readme");
    EXPECT_EQ(dlg_->localPackagePath(), "");
    dlg_->windowProc(WM_DROPFILES, 0, reinterpret_cast<intptr_t>("/data/UPDATE.DZR"));
    EXPECT_EQ(dlg_->localPackagePath(), "/data/UPDATE.DZR");
    EXPECT_EQ(host_.text(IDC_STATUS), "/data/UPDATE.DZR");
    EXPECT_TRUE(buttons(false, false, true)); // no device: update stays off

    plug("classic");
    dlg_->OnDeviceChange(hid(DEVICE_ARRIVAL));
    EXPECT_TRUE(buttons(true, true, true));
    EXPECT_EQ(dlg_->versionLookup().downloadMode, 0);
}

TEST_F(MainWindowTest, OpenButtonChoosesAnyFile)
{
    open();
    dlg_->windowProc(WM_COMMAND, IDC_OPEN, 0); // cancelled
    EXPECT_EQ(dlg_->localPackagePath(), "");
    EXPECT_EQ(host_.filters(), std::vector<std::string>{"Update File(*.dzr)|*.dzr|All File(*.*)|*.*||"});
    host_.chooseNext("/data/any.bin");
    dlg_->windowProc(WM_COMMAND, IDC_OPEN, 0);
    EXPECT_EQ(host_.text(IDC_STATUS), "/data/any.bin");
    EXPECT_FALSE(host_.isEnabled(IDC_SEND));
}

TEST_F(MainWindowTest, VersionLookupDisablesOpenUntilItEnds)
{
    TestHttpServer server;
    const std::string file = "20240501\r\n" + server.url("/pkgs/new.dzr") + "\r\n";
    server.serveHeld("/UserFiles/File/HalcyonPath.txt", file);
    plug("classic");
    open({}, server.hostPort());
    EXPECT_EQ(host_.text(IDC_STATUS), gbk("正在获取网络版本，请稍候..."));
    EXPECT_TRUE(buttons(false, true, false));
    runUpdate(); // the downloader is busy with the version file: refused quietly
    EXPECT_TRUE(host_.boxes().empty());

    server.release();
    ASSERT_TRUE(host_.pumpUntil([&] { return host_.isEnabled(IDC_OPEN); }));
    EXPECT_EQ(host_.text(IDC_STATUS), gbk("网络版本号：20240501"));
    EXPECT_TRUE(buttons(true, true, true));
}

TEST_F(MainWindowTest, RemovalAndArrival)
{
    plug("classic");
    open();
    dlg_->OnDropFiles("/data/p.dzr");
    const DeviceEvent removal = hid(DEVICE_REMOVE_COMPLETE);
    dlg_->windowProc(WM_DEVICECHANGE, DEVICE_REMOVE_COMPLETE, reinterpret_cast<intptr_t>(&removal));
    EXPECT_EQ(host_.title(), notConnected());
    EXPECT_TRUE(buttons(false, false, true));
    dlg_->OnDeviceChange(hid(DEVICE_ARRIVAL));
    EXPECT_EQ(host_.title(), connected("20240320"));
    EXPECT_TRUE(buttons(true, true, true));
}

TEST_F(MainWindowTest, WhileUpdatingDeviceChangesWaitAndCommandsAreRefused)
{
    // The province request holds the run while it owns the device's port.
    plugBlank(1024 * 1024);
    bool connectedDuringRun = false;
    TessalyDlgHooks hooks;
    hooks.chooseProvinces = [&](ZR_Package*, int32_t, ProvinceChoice*) {
        dlg_->OnDeviceChange(hid(DEVICE_REMOVE_COMPLETE));
        connectedDuringRun = dlg_->isConnected();
        dlg_->windowProc(WM_SYSCOMMAND, 10001, 0); // would read through the same channel
        dlg_->OnDropFiles("/data/late.dzr");
        return false;
    };
    open(std::move(hooks));
    ContainerSpec spec = smallPackageSpec();
    spec.program->entries[0].board = "ABCD"; // laid-out areas: 2 MiB of GPS data cannot fit
    spec.section(ZR_Section::gps) = ContainerBuilder_rollingForm(randomBytes(2 * 1024 * 1024, 5));
    spec.provinceRecords = ProvinceRecordsSpec{0, 0, 16, {{gbk("北京"), randomBytes(1024, 1)}}};
    const std::string package = dropPackage(spec);
    runUpdate();

    EXPECT_TRUE(connectedDuringRun);
    EXPECT_TRUE(host_.filters().empty());
    EXPECT_EQ(dlg_->localPackagePath(), package);
    EXPECT_EQ(boxes(), std::vector<std::string>{errorBox("数据已超过长度！  1")});
    EXPECT_EQ(host_.title(), notConnected()); // the removal, once the run had ended
    EXPECT_TRUE(buttons(false, false, true));
}

TEST_F(MainWindowTest, MachineProgressIsThrottledButStartAndEndAlwaysShow)
{
    EXPECT_EQ(TessalyDlg_progressText("Load ", 1234, 3), "Load " + gbk("已更新 12.34%   时间 3 秒"));
    open();
    std::atomic<bool> done{false};
    const uint32_t start = ZR_tickCount() - 2500;
    auto began = std::chrono::steady_clock::now();
    std::thread worker([&] {
        CTessalyDlg::OnMachineProgress(dlg_.get(), dlg_->machine(), 0, 10000, start);
        for (uint32_t v = 1; v < 10000; v += 7) CTessalyDlg::OnMachineProgress(dlg_.get(), dlg_->machine(), 1, v, start);
        CTessalyDlg::OnMachineProgress(dlg_.get(), dlg_->machine(), 1, 10000, start);
        done = true;
    });
    ASSERT_TRUE(host_.pumpUntil([&] { return done.load(); }));
    worker.join();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();

    std::vector<uint32_t> positions = host_.positions();
    EXPECT_EQ(positions.front(), 0u);
    EXPECT_EQ(positions.back(), 10000u);
    EXPECT_EQ(host_.rangeHigh(), 10000u);
    EXPECT_LE(positions.size(), size_t(ms / 50 + 3)); // at most 20 a second, plus start and end
    EXPECT_EQ(host_.text(IDC_PROGRESS), gbk("已更新 100.00%   时间 2 秒"));
    EXPECT_TRUE(host_.offThreadCalls().empty());
}

} // namespace
