// The main window on a recording host, a simulated device behind a fake
// discovery, a temporary folder of its own ($TMPDIR) and ready packages.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>

#include "common_k52/discovery.h"
#include "platform/text_codec.h"
#include "sim/presets.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"
#include "tools/container_builder.h"
#include "tools/sample_packages.h"
#include "ui/fake_host.h"
#include "ui/tessaly_dlg.h"

namespace fs = std::filesystem;

// Expectations are written in UTF-8 and encoded here, independently of the
// window's byte strings.
inline std::string gbk(const std::string& utf8)
{
    std::string out;
    EXPECT_TRUE(Text_utf8ToGbk(utf8, &out)) << utf8;
    return out;
}

using test_support::readBytes;
using test_support::randomBytes;

// The temporary folder as the process found it, before tests moved $TMPDIR.
inline const fs::path kTestTempBase = fs::temp_directory_path();

// The sample package set, written once per test process.
inline const fs::path& samplesDir()
{
    static const test_support::TempDir dir("tessaly-ui-samples-", kTestTempBase);
    static const bool written = [] {
        std::string error;
        if (!SamplePackages_write(dir.str(), nullptr, &error)) ADD_FAILURE() << error;
        return true;
    }();
    (void)written;
    return dir.path();
}

// Discovery over one simulated device, plugged while `device` is set: opens
// the port as the real discovery does, then refreshes the window.
class SimDiscovery : public TessalyDiscovery {
public:
    SimDevice* device = nullptr;

    void onStartup(DiscoveryHooks* hooks) override { connect(hooks); }
    void onDeviceChange(DiscoveryHooks* hooks, const DeviceEvent& event) override
    {
        if (event.kind == DEVICE_ARRIVAL) return connect(hooks);
        Discovery_closeChannel(hooks->machine);
        hooks->refreshConnection(hooks->user);
    }

private:
    void connect(DiscoveryHooks* hooks)
    {
        if (device) {
            Discovery_closeChannel(hooks->machine);
            hooks->machine->channel->port = Hidc_portFromDevice(SimDevice_openTransport(device));
            ZR_Machine_identify(hooks->machine);
        }
        hooks->refreshConnection(hooks->user);
    }
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = rootDir_.path();
        tempDir_ = root_ / "tmp";
        fs::create_directories(tempDir_);
        fs::create_directories(root_ / "packages");
        ::setenv("TMPDIR", tempDir_.c_str(), 1);
    }
    void TearDown() override
    {
        dlg_.reset();
        ::setenv("TMPDIR", kTestTempBase.c_str(), 1);
    }

    SimDevice& plug(std::unique_ptr<SimDevice> device)
    {
        device_ = std::move(device);
        discovery_->device = device_.get();
        return *device_;
    }
    SimDevice& plug(const std::string& preset) { return plug(SimPreset_make(preset)); }
    SimDevice& plugBlank(uint32_t flashSize)
    {
        SimDeviceOptions options;
        options.flashSize = flashSize;
        auto device = std::make_unique<SimDevice>(options);
        device->eraseAll();
        return plug(std::move(device));
    }

    // The window, initialised. No version lookup unless a host is given.
    void open(TessalyDlgHooks hooks = {}, const std::string& versionHost = "")
    {
        hooks.discovery = discovery_;
        dlg_ = std::make_unique<CTessalyDlg>(host_, std::move(hooks));
        if (versionHost.empty())
            dlg_->versionLookup().clientName = "No Such Client";
        else
            dlg_->versionLookup().updateHost = versionHost;
        ASSERT_EQ(dlg_->OnInitDialog(), 1);
        host_.pump();
    }

    // Clicks update and pumps until the run has ended.
    void runUpdate()
    {
        dlg_->windowProc(WM_COMMAND, IDC_SEND, 0);
        ASSERT_TRUE(host_.pumpUntil([&] { return !dlg_->isUpdating(); })) << "update did not end";
        host_.pump();
    }
    void setNetworkPackage(const std::string& address, int networkVersion = 29991231, int listMode = 0)
    {
        CVersionLookup& lookup = dlg_->versionLookup();
        lookup.packageAddress = address;
        lookup.networkVersion = networkVersion;
        lookup.listMode = listMode;
    }
    std::string dropPackage(const ContainerSpec& spec, const std::string& name = "p.dzr")
    {
        std::string path = (root_ / "packages" / name).string(), error;
        EXPECT_TRUE(ContainerBuilder_writeFile(spec, path, &error)) << error;
        dlg_->OnDropFiles(path.c_str());
        return path;
    }

    // "text|caption|flags" of every message box so far.
    std::vector<std::string> boxes() const
    {
        std::vector<std::string> out;
        for (const FakeHost::Box& b : host_.boxes()) out.push_back(b.text + "|" + b.caption + "|" + std::to_string(b.flags));
        return out;
    }
    static std::string errorBox(const std::string& utf8) { return gbk(utf8) + "||" + std::to_string(HOST_MB_ICONERROR); }
    static std::string successBox()
    {
        return gbk("更新成功！") + "|" + gbk("数据更新服务") + "|" + std::to_string(HOST_MB_ICONINFORMATION);
    }
    std::vector<std::string> tempFiles() const
    {
        std::vector<std::string> files;
        for (auto& entry : fs::recursive_directory_iterator(root_))
            if (entry.is_regular_file() && entry.path().parent_path().filename() != "packages")
                files.push_back(entry.path().string());
        return files;
    }
    // Enabled states of update, configure and open.
    bool buttons(bool send, bool configure, bool open) const
    {
        return host_.isEnabled(IDC_SEND) == send && host_.isEnabled(IDC_CONFIGURE) == configure &&
               host_.isEnabled(IDC_OPEN) == open;
    }

    // First, so that it goes last: everything the window left is removed with it.
    test_support::TempDir rootDir_{"tessaly-ui-", kTestTempBase};
    FakeHost host_;
    std::shared_ptr<SimDiscovery> discovery_ = std::make_shared<SimDiscovery>();
    std::unique_ptr<SimDevice> device_;
    std::unique_ptr<CTessalyDlg> dlg_;
    fs::path root_, tempDir_;
};

// A small package for the "classic" preset's board MVT7: boot, program,
// voice, radar mute and GPS.
inline ContainerSpec smallPackageSpec(const std::string& title = "Halcyon Path")
{
    ContainerSpec spec;
    spec.title = title;
    spec.section(ZR_Section::boot) = ContainerBuilder_rollingForm(randomBytes(4096, 1));
    spec.program = ProgramTableSpec{true, {{"MVT7", ContainerBuilder_rollingForm(randomBytes(8192, 2)), {}}}};
    spec.section(ZR_Section::voice) = randomBytes(8192, 3);
    spec.section(ZR_Section::radarMute) = randomBytes(4096, 4);
    spec.section(ZR_Section::gps) = ContainerBuilder_rollingForm(randomBytes(8192, 5));
    return spec;
}
