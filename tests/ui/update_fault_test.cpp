// Device faults met by a whole update run: the run says "更新成功！" only
// when the device holds the package; otherwise it fails, and a device that
// was never understood is not touched.
#include <functional>

#include "common_k52/machine_blocks.h"
#include "ui/province_model.h"
#include "ui/window_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using PackagePtr = std::unique_ptr<ZR_Package, void (*)(ZR_Package*)>;

// The GPS image the device must hold after a run: the package's province
// GPS data for the first province that has any, as the run chose it.
Bytes expectedGps(const std::string& path)
{
    PackagePtr package(ZR_Package_load(path.c_str()), ZR_Package_free);
    EXPECT_TRUE(package);
    if (!package) return {};
    uint8_t selection[PROVINCE_COUNT] = {};
    for (int p = 0; p < PROVINCE_COUNT; ++p)
        if (Province_size(package.get(), p) > 0) {
            selection[p] = 1;
            break;
        }
    EXPECT_EQ(ZR_Package_assembleProvinceGps(package.get(), selection), 1);
    const ZR_AssembledImage& image = package->gpsProvinceRecords.assembled;
    Bytes bytes(image.buffer, image.buffer + image.size);
    return image.encoded ? ContainerBuilder_plainForm(bytes) : bytes;
}

class UpdateFaultTest : public WindowTest {
protected:
    // Plugs the preset with its faults counting from the window's first
    // query, opens the window (which identifies the device) and updates.
    void run(const std::string& preset, const SimFaults& faults, const std::string& package)
    {
        SimDevice& device = plug(preset);
        device.setFaults(faults);
        TessalyDlgHooks hooks;
        // The first province that has data: enough to fit a 4 MiB device.
        hooks.chooseProvinces = [](ZR_Package* p, int32_t, ProvinceChoice* choice) {
            for (int i = 0; i < PROVINCE_COUNT; ++i)
                if (Province_size(p, i) > 0) {
                    ProvinceChoice_set(choice, i, true);
                    break;
                }
            return ProvinceChoice_confirm(choice) == 1;
        };
        device.setCommandLog([](void* self, const char* line) { static_cast<UpdateFaultTest*>(self)->commands_.push_back(line); },
                             this);
        open(std::move(hooks));
        before_ = device.readFlashDirect(0, device.flashSize());
        commandsAtOpen_ = commands_.size();
        dlg_->OnDropFiles(package.c_str());
        runUpdate();
    }
    Bytes flash() const { return device_->readFlashDirect(0, device_->flashSize()); }
    bool wroteAfterOpen() const
    {
        for (size_t i = commandsAtOpen_; i < commands_.size(); ++i)
            if (commands_[i].rfind("WRITE", 0) == 0) return true;
        return false;
    }

    Bytes before_;
    std::vector<std::string> commands_;
    size_t commandsAtOpen_ = 0;
};

enum Outcome { written, untouched, refusedBeforeWriting };

struct FaultCase {
    const char* name;
    const char* preset;
    SimFaults faults;
    const char* package;
    const char* box;  // "" for success
    Outcome outcome;
};

class UpdateFaultCase : public UpdateFaultTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UpdateFaultCase, NoSuccessUnlessTheDeviceHoldsThePackage)
{
    const FaultCase& c = GetParam();
    const std::string package = (samplesDir() / c.package).string();
    run(c.preset, c.faults, package);
    const std::string box = c.box[0] ? errorBox(c.box) : successBox();
    EXPECT_EQ(boxes(), std::vector<std::string>{box});
    if (c.outcome == untouched) {
        EXPECT_EQ(flash(), before_);
        EXPECT_FALSE(wroteAfterOpen());
    } else if (c.outcome == refusedBeforeWriting) {
        EXPECT_FALSE(wroteAfterOpen());
    } else {
        // Identified again after the write: the GPS data is inside the
        // flash, dated, and is the package's.
        const ZR_Machine* m = dlg_->machine();
        ASSERT_EQ(m->identified, 1);
        EXPECT_LE(ZR_Info_u32(m->info, ZR_INFO_AREA_END), device_->flashSize());
        EXPECT_NE(m->gpsDate.year, 0);
        Bytes gps = expectedGps(package);
        EXPECT_EQ(device_->readFlashDirect(ZR_Info_u32(m->info, ZR_INFO_GPS_START), uint32_t(gps.size())), gps);
    }
}

// Replies on k502-4m: 1 boot version, 2 flash size, 4 the third part of the
// parameter image. On the classic preset the window's identification takes
// eleven replies; 12 is the plan's first erase.
INSTANTIATE_TEST_SUITE_P(
    Reproductions, UpdateFaultCase,
    ::testing::Values(
        FaultCase{"BootReplyLostOnce", "k502-4m", {.dropReply = 1}, "provinces-4m.dzr", "", written},
        FaultCase{"FlashSizeRefused", "k502-4m", {.failStatus = 2}, "k502-full.dzr", "   未连接硬件！", untouched},
        FaultCase{"ThirdPartRefused", "k502-4m", {.failStatus = 4}, "k502-full.dzr", "   未连接硬件！", untouched},
        FaultCase{"PlanEraseRefused", "classic", {.failStatus = 12}, "mvt7-full.dzr", "更新失败！  8",
                  refusedBeforeWriting},
        FaultCase{"PlanEraseUnanswered", "classic", {.dropReply = 12}, "mvt7-full.dzr", "更新失败！  8",
                  refusedBeforeWriting}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// A garbled reply to the information-block read is asked for again, so the
// third part of the parameter image goes back as the device held it.
TEST_F(UpdateFaultTest, GarbledInformationBlockReplyKeepsTheThirdPart)
{
    ContainerSpec spec = smallPackageSpec();
    spec.program->entries[0].board = "QX40";  // a laid-out board of the classic map
    const std::string path = (root_ / "packages" / "qx40.dzr").string();
    std::string error;
    ASSERT_TRUE(ContainerBuilder_writeFile(spec, path, &error)) << error;
    run("layout4", {.corruptSignature = 4}, path);
    EXPECT_EQ(boxes(), std::vector<std::string>{successBox()});
    const uint32_t third = kClassicMap.parameter + ZR_PARAM_THIRD_OFFSET;
    EXPECT_EQ(device_->readFlashDirect(third, ZR_THIRD_PART_SIZE),
              Bytes(before_.begin() + third, before_.begin() + third + ZR_THIRD_PART_SIZE));
}

} // namespace
