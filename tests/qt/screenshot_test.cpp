// Pictures of the window in its main states for the documentation. Runs
// when TESSALY_SCREENSHOT_DIR names a folder (`make screenshots` runs it
// under Xvfb); skipped otherwise. Xvfb has no window manager, so the title
// is drawn above the window's content here, as a title bar would show it.
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QPalette>

#include <cstdlib>

#include "platform/translate.h"
#include "qt/qt_window_fixture.h"
#include "qt/whole_texts.h"
#include "ui/qt/config_window.h"
#include "ui/qt/province_window.h"

namespace {

class Screenshots : public QtWindowTest {
protected:
    void SetUp() override
    {
        QtWindowTest::SetUp();
        const char* dir = std::getenv("TESSALY_SCREENSHOT_DIR");
        if (!dir || !*dir) GTEST_SKIP() << "TESSALY_SCREENSHOT_DIR is not set";
        dir_ = QString::fromLocal8Bit(dir);
        QDir().mkpath(dir_);
    }

    void shoot(const QString& name) { shoot(window_.get(), name); }
    void shoot(QWidget* window, const QString& name)
    {
        QCoreApplication::processEvents();
        const QPixmap content = window->grab();
        const int bar = QFontMetrics(window->font()).height() + 12;
        QPixmap picture(content.width(), content.height() + bar);
        picture.fill(Qt::white);
        QPainter p(&picture);
        p.fillRect(0, 0, picture.width(), bar, QColor(0x3b, 0x4a, 0x6b));
        p.setPen(Qt::white);
        p.setFont(window->font());
        p.drawText(QRect(10, 0, picture.width() - 20, bar), Qt::AlignVCenter | Qt::AlignLeft, window->windowTitle());
        p.drawPixmap(0, bar, content);
        p.end();
        ASSERT_TRUE(picture.save(dir_ + "/" + name + ".png")) << name.toStdString();
    }

    QString dir_;
};

TEST_F(Screenshots, MainWindowStates)
{
    openWindow();
    shoot("idle");
    window_.reset();

    SimDevice& device = plug("classic");
    device.setLatencyUs(2000);
    openWindow();
    std::string error;
    const std::string path = (root_ / "packages" / "update-20241205.dzr").string();
    ContainerSpec spec = smallPackageSpec();
    spec.section(ZR_Section::gps) = ContainerBuilder_rollingForm(randomBytes(256 * 1024, 5));
    ASSERT_TRUE(ContainerBuilder_writeFile(spec, path, &error)) << error;
    window_->dropFiles({QUrl::fromLocalFile(QString::fromStdString(path))});
    shoot("connected");

    window_->button(IDC_SEND)->click();
    TextProgressBar* bar = window_->progressBar();
    ASSERT_TRUE(spinUntil([&] {
        return bar->text().contains(u("已更新")) && bar->barWidth() * 10 >= bar->width() * 4;
    }));
    shoot("updating");
    ASSERT_TRUE(spinUntil([&] { return !window_->dialog()->isUpdating() && !boxes_.isEmpty(); }));
    shoot("success");
}

TEST_F(Screenshots, ConfigDialog)
{
    plug("layout3");
    openWindow();
    withConfigDialog([&](ConfigWindow& dialog) { shoot(&dialog, "config"); });
}

// The province map as the update shows it for provinces-4m on a 4 MiB
// device: three provinces checked, the status line counting them.
TEST_F(Screenshots, ProvinceMap)
{
    PackagePtr package(ZR_Package_load((samplesDir() / "provinces-4m.dzr").string().c_str()));
    ASSERT_NE(package, nullptr);
    ProvinceWindow window;
    window.prepare(package.get(), 1380 * 1024);
    window.show();
    for (int p : {0, 18, 27}) window.box(p)->click(); // 北京, 江苏, 广东
    ASSERT_TRUE(window.statusLine()->text().endsWith(u("已勾选(928K)。")));
    shoot(&window, "province_map");
}

// The main window with a package chosen, the configuration dialog and the
// province map in each translation: main_es.png, config_es.png,
// province_map_es.png and the same for en. Each is checked whole before it
// is taken.
TEST_F(Screenshots, InEachLanguage)
{
    struct OriginalTextsAfter {
        ~OriginalTextsAfter() { Tr_setCatalogue(TR_ORIGINAL, {}); }
    } restore;
    const std::string path = (root_ / "packages" / "update-20241205.dzr").string();
    std::string error;
    ASSERT_TRUE(ContainerBuilder_writeFile(smallPackageSpec(), path, &error)) << error;
    PackagePtr provinces(ZR_Package_load((samplesDir() / "provinces-4m.dzr").string().c_str()));
    ASSERT_NE(provinces, nullptr);

    for (const QString& language : {QStringLiteral("es"), QStringLiteral("en")}) {
        SCOPED_TRACE(language.toStdString());
        ASSERT_TRUE(Tr_init(language.toStdString()));

        plug("layout3");
        openWindow();
        window_->dropFiles({QUrl::fromLocalFile(QString::fromStdString(path))});
        expectWholeTexts(window_.get());
        shoot("main_" + language);

        withConfigDialog([&](ConfigWindow& dialog) {
            expectWholeTexts(&dialog);
            shoot(&dialog, "config_" + language);
        });
        window_.reset();

        ProvinceWindow map;
        map.prepare(provinces.get(), 1380 * 1024);
        map.show();
        for (int p : {0, 18, 27}) map.box(p)->click(); // 北京, 江苏, 广东
        QCoreApplication::processEvents();
        expectWholeTexts(&map);
        shoot(&map, "province_map_" + language);
    }
}

} // namespace
