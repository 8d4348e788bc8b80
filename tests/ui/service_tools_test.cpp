// The hidden service commands 10000 (device description) and 10001
// (server-data image), through the window's message handler.
#include "common_k52/machine_blocks.h"
#include "ui/window_fixture.h"

namespace {

constexpr uint32_t kServerStart = 0x019000; // the "classic" preset's server area, 0x2000 bytes

class ServiceToolsTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        image_ = (root_ / "server.bin").string();
    }
    // The area as the device describes it, filled with a pattern to compare against.
    std::vector<uint8_t> serverArea(uint32_t start, uint32_t size)
    {
        ZR_Info_setU32(dlg_->machine()->info, ZR_INFO_SERVER_START, start);
        ZR_Info_setU32(dlg_->machine()->info, ZR_INFO_SERVER_SIZE, size);
        std::vector<uint8_t> pattern;
        if (size > 0 && uint64_t(start) + size <= device_->flashSize()) {
            pattern = randomBytes(size, size);
            device_->writeFlashDirect(start, pattern.data(), size);
        }
        device_->resetCounters();
        fs::remove(image_);
        return pattern;
    }
    void command(unsigned id, unsigned message = WM_SYSCOMMAND) { dlg_->windowProc(message, id, 0); }
    std::string progressStart(const std::string& utf8) { return host_.text(IDC_PROGRESS).substr(0, gbk(utf8).size()); }

    std::string image_;
};

TEST_F(ServiceToolsTest, DeviceInfoWritesTheDescription)
{
    open();
    command(10000);
    command(10001);
    EXPECT_EQ(boxes(), std::vector<std::string>(2, errorBox("   未连接硬件！")));
    EXPECT_TRUE(host_.filters().empty());

    plug("classic");
    dlg_->OnDeviceChange(DeviceEvent_make(DEVICE_ARRIVAL, DEVICE_CLASS_HID, "sim:d#vid_0416&pid_b500"));
    const std::string path = (root_ / "info.txt").string();
    host_.chooseNext(path);
    command(10000, WM_COMMAND);
    command(10000); // cancelled: nothing
    host_.chooseNext((root_ / "no" / "dir.txt").string());
    command(10000);
    EXPECT_EQ(host_.filters(), std::vector<std::string>(3, "txt File(*.txt)|*.txt|All File(*.*)|*.*||"));
    // Both outcomes carry the error icon.
    std::vector<std::string> shown = boxes();
    EXPECT_EQ(std::vector<std::string>(shown.begin() + 2, shown.end()),
              (std::vector<std::string>{errorBox("Write Ok!"), errorBox("Write Error!")}));
    std::vector<uint8_t> text = readBytes(path);
    EXPECT_NE(std::string(text.begin(), text.end()).find("client:Halcyon Path\ngps version:20240320;"),
              std::string::npos);
}

TEST_F(ServiceToolsTest, ServerImageHoldsTheAreaIncludingAPartialLastBlock)
{
    plug("classic");
    open();
    for (uint32_t size : {0x2000u, 1000u, 100u}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> pattern = serverArea(kServerStart, size);
        host_.chooseNext(image_);
        command(10001);
        EXPECT_EQ(boxes().back(), "Write Ok!|Tips|" + std::to_string(HOST_MB_OK));
        EXPECT_EQ(readBytes(image_), pattern);
        EXPECT_EQ(device_->commandsIn(), (size + 255) / 256); // one read per 256-byte block
        EXPECT_EQ(host_.text(IDC_PROGRESS), "Load " + gbk("已更新 100.00%   时间 0 秒"));
    }
    EXPECT_EQ(host_.filters().back(), "bin File(*.bin)|*.bin|All File(*.*)|*.*||");
}

TEST_F(ServiceToolsTest, ServerImageFailuresReadNothingTheyNeedNot)
{
    plug("classic");
    open();
    const uint32_t flash = device_->flashSize();
    struct Case {
        uint32_t start, size;
        const char* caption;
        uint64_t reads;
    };
    for (Case c : {Case{flash - 256, 512, "out memory！", 0}, Case{0x1000, 0xFFFFFF00, "out memory！", 0},
                   Case{kServerStart, 0, "out memory！", 0}, Case{0xFFFFFF00, 0x200, "out memory！", 0},
                   Case{kServerStart + 3, 512, "read fail！", 1}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.start << "/" << c.size);
        serverArea(c.start, c.size);
        host_.chooseNext(image_);
        command(10001);
        EXPECT_EQ(boxes().back(), errorBox("Write Error!"));
        EXPECT_EQ(progressStart(c.caption), gbk(c.caption));
        EXPECT_LE(device_->commandsIn(), c.reads);
        EXPECT_FALSE(fs::exists(image_));
    }
    serverArea(kServerStart, 512);
    host_.chooseNext((root_ / "no" / "dir.bin").string());
    command(10001);
    EXPECT_EQ(progressStart("open file fail！"), gbk("open file fail！"));
    size_t shown = host_.boxes().size();
    command(10001); // cancelled
    EXPECT_EQ(host_.boxes().size(), shown);
}

} // namespace
