// The desktop window over the Qt host: what the window logic's own tests
// cannot see — real widgets, conversions at the edge, drops, the event loop
// under a running update, closing, a worker's call into a modal box.
#include <QGroupBox>
#include <QTimer>

#include <thread>

#include "cli/cli_support.h"
#include "qt/qt_window_fixture.h"
#include "ui/qt/province_window.h"

namespace {

TEST_F(QtWindowTest, StartUpWithoutDeviceShowsTheTemplate)
{
    openWindow();
    EXPECT_EQ(window_->windowTitle(), u("数据更新服务   未连接硬件！"));
    EXPECT_FALSE(enabled(IDC_SEND));
    EXPECT_FALSE(enabled(IDC_CONFIGURE));
    EXPECT_TRUE(enabled(IDC_OPEN));
    EXPECT_TRUE(enabled(IDC_CLOSE));
    for (auto [id, text] : {std::pair{IDC_SEND, "更新"}, {IDC_CONFIGURE, "配置"}, {IDC_OPEN, "打开"}, {IDC_CLOSE, "关闭"}})
        EXPECT_EQ(window_->button(id)->text(), u(text)) << id;
    auto groups = window_->findChildren<QGroupBox*>();
    ASSERT_EQ(groups.size(), 2);
    QStringList titles{groups[0]->title(), groups[1]->title()};
    EXPECT_TRUE(titles.contains(u("更新文件")) && titles.contains(u("更新进度")));

    // Laid out in dialog units: inside the window, the buttons in one row
    // without overlapping, the progress bar inside its group.
    const QSize base = TessalyWindow::baseUnits(window_->font());
    EXPECT_EQ(window_->size(), TessalyWindow::fromDialogUnits(QRect(0, 0, 282, 250), base).size());
    const QRect row[] = {window_->button(IDC_CONFIGURE)->geometry(), window_->button(IDC_SEND)->geometry(),
                         window_->button(IDC_CLOSE)->geometry()};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(window_->rect().contains(row[i])) << i;
        if (i) {
            EXPECT_FALSE(row[i].intersects(row[i - 1])) << i;
        }
    }
    const QRect group = window_->findChildren<QGroupBox*>()[1]->geometry();
    EXPECT_TRUE(group.contains(window_->progressBar()->parentWidget()->geometry()));
}

TEST_F(QtWindowTest, ConnectedTitleAndDroppedPackages)
{
    plug("classic");
    openWindow();
    EXPECT_EQ(window_->windowTitle(), u("数据更新服务   连接成功！   当前版本：20240320"));
    EXPECT_TRUE(enabled(IDC_CONFIGURE));

    // A zip is ignored, a container in capitals is taken and shown.
    const QString zip = QString::fromStdString((root_ / "packages" / "p.zip").string());
    test_support::writeFile((root_ / "packages" / "p.zip").string(), "PK");
    drop(zip);
    EXPECT_TRUE(window_->dialog()->localPackagePath().empty());
    EXPECT_FALSE(enabled(IDC_SEND));

    std::string error;
    const std::string path = (root_ / "packages" / "P.DZR").string();
    ASSERT_TRUE(ContainerBuilder_writeFile(smallPackageSpec(), path, &error)) << error;
    drop(QString::fromStdString(path));
    EXPECT_EQ(window_->dialog()->localPackagePath(), path);
    EXPECT_TRUE(enabled(IDC_SEND));
    EXPECT_EQ(window_->host().text(IDC_STATUS), path);
}

TEST_F(QtWindowTest, UpdateRunsToSuccessWithItsProgressTextsAndDropsIgnoredMeanwhile)
{
    SimDevice& device = plug("classic");
    device.setLatencyUs(200); // long enough to watch, short enough for a test
    openWindow();
    std::string error;
    const std::string path = (root_ / "packages" / "p.dzr").string();
    ASSERT_TRUE(ContainerBuilder_writeFile(smallPackageSpec(), path, &error)) << error;
    drop(QString::fromStdString(path));

    QStringList texts;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString t = window_->progressBar()->text();
        if (!t.isEmpty() && (texts.isEmpty() || texts.last() != t)) texts << t;
    });
    watch.start(1);
    window_->button(IDC_SEND)->click();
    ASSERT_TRUE(spinUntil([&] { return window_->dialog()->isUpdating() && !enabled(IDC_OPEN); }));
    drop(QString::fromStdString((root_ / "packages" / "other.dzr").string()));
    EXPECT_EQ(window_->dialog()->localPackagePath(), path);
    ASSERT_TRUE(spinUntil([&] { return !window_->dialog()->isUpdating() && !boxes_.isEmpty(); }));
    watch.stop();

    EXPECT_EQ(boxes_.last(), u("更新成功！|数据更新服务|") + QString::number(HOST_MB_ICONINFORMATION));
    EXPECT_TRUE(enabled(IDC_OPEN));
    bool writing = false, verifying = false;
    for (const QString& t : texts) {
        writing |= t.contains(u("已更新"));
        verifying |= t.contains(u("正在校验"));
    }
    EXPECT_TRUE(writing) << texts.join('\n').toStdString();
    EXPECT_TRUE(verifying) << texts.join('\n').toStdString();
}

TEST_F(QtWindowTest, ClosingDuringAnUpdateShowsNoErrorAndEndsInTime)
{
    SimDevice& device = plug("classic");
    device.setLatencyUs(5000); // slow: the update is surely still running
    openWindow();
    std::string error;
    const std::string path = (root_ / "packages" / "p.dzr").string();
    ASSERT_TRUE(ContainerBuilder_writeFile(smallPackageSpec(), path, &error)) << error;
    drop(QString::fromStdString(path));
    window_->button(IDC_SEND)->click();
    ASSERT_TRUE(spinUntil([&] { return window_->dialog()->isUpdating(); }));

    const auto start = std::chrono::steady_clock::now();
    window_->button(IDC_CLOSE)->click();
    ASSERT_TRUE(spinUntil([&] { return !window_->isVisible() && !window_->dialog(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(TESSALY_WORKER_WAIT_MS + 3000));
    QCoreApplication::processEvents();
    EXPECT_TRUE(boxes_.isEmpty()) << boxes_.join('\n').toStdString();
}

// A package from the update server, chosen through the file dialog first
// and then left for the server's: the bar shows the download, the unpacking
// and the write.
TEST_F(QtWindowTest, ChosenPackageAndADownloadWithItsProgressTexts)
{
    plug("classic");
    openWindow();
    const std::string chosen = (samplesDir() / "mvt7-full.dzr").string();
    window_->host().answerFileDialog = [&](bool save, const QString& filter, QString* path) {
        EXPECT_FALSE(save);
        EXPECT_EQ(filter, u("Update File(*.dzr);;All File(*.*)"));
        *path = QString::fromStdString(chosen);
        return true;
    };
    window_->button(IDC_OPEN)->click();
    EXPECT_EQ(window_->dialog()->localPackagePath(), chosen);
    EXPECT_TRUE(enabled(IDC_SEND));

    // Restarted without the local choice, the package comes from the server.
    window_.reset();
    openWindow();
    test_support::TestHttpServer server;
    server.serve("/pkgs/update.zip", test_support::readText(samplesDir() / "mvt7-full.zip"));
    CVersionLookup& lookup = window_->dialog()->versionLookup();
    lookup.packageAddress = server.url("/pkgs/update.zip");
    lookup.networkVersion = 29991231;
    std::vector<std::string> texts;
    window_->host().watchText = [&](int id, const std::string& text) {
        if (id == IDC_PROGRESS) texts.push_back(text);
    };
    window_->dialog()->windowProc(WM_COMMAND, IDC_SEND, 0);
    ASSERT_TRUE(spinUntil([&] { return !window_->dialog()->isUpdating() && !boxes_.isEmpty(); }));
    EXPECT_EQ(boxes_.last(), u("更新成功！|数据更新服务|") + QString::number(HOST_MB_ICONINFORMATION));
    const auto unpacking = std::find(texts.begin(), texts.end(), gbk("正在解压数据..."));
    ASSERT_NE(unpacking, texts.end());
    EXPECT_GT(unpacking - texts.begin(), 1) << "no download progress before the unpacking";
    EXPECT_TRUE(std::any_of(unpacking, texts.end(), [](const std::string& t) { return t.find(gbk("已更新")) != std::string::npos; }));
}

// A package that needs a choice shows the province map; closing it ends as
// a cancelled choice does, and does not hang.
TEST_F(QtWindowTest, PackageNeedingProvincesEndsAsCancelled)
{
    plug("k502-4m");
    openWindow();
    ProvinceWindow::testDriver = [](ProvinceWindow& w) {
        w.reject();
        return w.result();
    };
    drop(QString::fromStdString((samplesDir() / "provinces-4m.dzr").string()));
    window_->button(IDC_SEND)->click();
    ASSERT_TRUE(spinUntil([&] { return !window_->dialog()->isUpdating() && !boxes_.isEmpty(); }));
    ProvinceWindow::testDriver = nullptr;
    EXPECT_EQ(boxes_.last(), u("数据已超过长度！  1|Tessaly|") + QString::number(HOST_MB_ICONERROR));
}

TEST_F(QtWindowTest, ServiceCommandWithoutDeviceAndAWorkersCallIntoAModalBox)
{
    openWindow();
    // The box answers only after a worker's sendMessage went through the
    // window thread, which sits in the box meanwhile.
    window_->host().answerMessageBox = [this](const QString& text, const QString& caption, unsigned flags) {
        boxes_.push_back(text + "|" + caption + "|" + QString::number(flags));
        QEventLoop modal;
        intptr_t answer = 0;
        std::thread worker([&] {
            answer = window_->host().sendMessage(WM_COMMAND, 0xFFFF, 0);
            QMetaObject::invokeMethod(&modal, "quit", Qt::QueuedConnection);
        });
        QTimer::singleShot(test_support::kPatienceMs, &modal, &QEventLoop::quit);
        modal.exec();
        worker.join();
        EXPECT_EQ(answer, 0);
        return HOST_IDOK;
    };
    window_->runService(10000);
    ASSERT_EQ(boxes_.size(), 1);
    EXPECT_EQ(boxes_[0], u("   未连接硬件！|Tessaly|") + QString::number(HOST_MB_ICONERROR));
}

// A delayed call asked for from a worker runs once, on the window thread.
TEST(QtDialogHostTest, SingleShotFromAWorkerRunsOnTheWindowThread)
{
    QWidget window;
    QtDialogHost host(&window);
    std::atomic<int> runs{0};
    std::atomic<bool> onWindow{false};
    std::thread worker([&] { host.singleShot(5, [&] { onWindow = host.onWindowThread(); ++runs; }); });
    worker.join();
    ASSERT_TRUE(spinUntil([&] { return runs.load() == 1; }));
    EXPECT_TRUE(onWindow.load());
}

TEST(QtDialogHostTest, FiltersExtensionsBoxesAndGbk)
{
    struct {
        const char* windows;
        const char* qt;
    } filters[] = {
        {"Update File(*.dzr)|*.dzr|All File(*.*)|*.*||", "Update File(*.dzr);;All File(*.*)"},
        {"txt File(*.txt)|*.txt|All File(*.*)|*.*||", "txt File(*.txt);;All File(*.*)"},
        {"Pictures|*.png;*.bmp||", "Pictures (*.png *.bmp)"},
        {"", ""},
    };
    for (auto& f : filters) EXPECT_EQ(QtDialogHost::qtFilter(f.windows), QString(f.qt)) << f.windows;

    struct {
        const char* typed;
        const char* saved;
    } saves[] = {{"/x/info", "/x/info.file"}, {"/x/info.txt", "/x/info.txt"}, {"/x.d/info", "/x.d/info.file"}};
    for (auto& s : saves) EXPECT_EQ(QtDialogHost::withDefaultExtension(s.typed, "file"), QString(s.saved)) << s.typed;

    struct {
        unsigned flags;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        int closed; // the result of a box closed without a button
    } boxes[] = {
        {HOST_MB_OK | HOST_MB_ICONERROR, QMessageBox::Critical, QMessageBox::Ok, HOST_IDOK},
        {HOST_MB_YESNO | HOST_MB_ICONQUESTION, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No, HOST_IDNO},
        {HOST_MB_OKCANCEL | HOST_MB_ICONWARNING, QMessageBox::Warning, QMessageBox::Ok | QMessageBox::Cancel, HOST_IDCANCEL},
        {HOST_MB_ICONINFORMATION, QMessageBox::Information, QMessageBox::Ok, HOST_IDOK},
        {HOST_MB_OK, QMessageBox::NoIcon, QMessageBox::Ok, HOST_IDOK},
    };
    for (auto& b : boxes) {
        EXPECT_EQ(QtDialogHost::boxIcon(b.flags), b.icon) << b.flags;
        EXPECT_EQ(QtDialogHost::boxButtons(b.flags), b.buttons) << b.flags;
        EXPECT_EQ(QtDialogHost::boxResult(b.flags, QMessageBox::NoButton), b.closed) << b.flags;
    }
    EXPECT_EQ(QtDialogHost::boxResult(HOST_MB_YESNO, QMessageBox::Yes), HOST_IDYES);

    EXPECT_EQ(QtDialogHost::fromGbk("\xB8\xFC\xD0\xC2"), u("更新"));
    EXPECT_EQ(QtDialogHost::toGbk(u("更新 ok")), "\xB8\xFC\xD0\xC2 ok");
    EXPECT_EQ(QtDialogHost::toGbk(u("a😀b")), "a??b"); // outside GBK: each UTF-16 unit becomes '?'
}

} // namespace

namespace {

// The real discovery in the window: a tessaly-devsim plugged in as a disk
// after start-up is switched into update mode and connected, through the
// folder's events on the window's loop, and its removal is seen.
TEST_F(QtWindowTest, DeviceInDiskModeArrivesAfterStartUpAndLeaves)
{
    test_support::TempDir sim("tessaly-qt-sim-", kTestTempBase);
    fs::permissions(sim.path(), fs::perms::owner_all);
    TessalyWindowOptions options;
    options.simDir = sim.str();
    options.prepare = [](CTessalyDlg& dlg) { dlg.versionLookup().clientName = "No Such Client"; };
    window_ = std::make_unique<TessalyWindow>(options);
    ASSERT_TRUE(window_->start());
    window_->show();
    EXPECT_EQ(window_->windowTitle(), u("数据更新服务   未连接硬件！"));

    cli_test::Devsim device(sim.path(), root_ / "devsim.log", {"--id", "q", "--mode", "disk", "--preset", "classic"});
    ASSERT_TRUE(device.waitReady(test_support::kPatienceMs)) << device.log();
    ASSERT_TRUE(spinUntil([&] { return window_->windowTitle().contains(u("连接成功！")); }))
        << window_->windowTitle().toStdString() << "\n" << device.log();
    EXPECT_TRUE(enabled(IDC_CONFIGURE));

    ASSERT_TRUE(device.unplug());
    ASSERT_TRUE(spinUntil([&] { return window_->windowTitle() == u("数据更新服务   未连接硬件！"); }));
    EXPECT_FALSE(enabled(IDC_CONFIGURE));
}

} // namespace
