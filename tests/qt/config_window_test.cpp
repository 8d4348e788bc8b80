// The settings dialog in Qt, opened from the window's configure button on a
// simulated device: the controls the logic asks for, and a confirmation
// that reaches the device.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "common_k52/machine_blocks.h"
#include "common_k52/settings_view.h"
#include "qt/qt_window_fixture.h"
#include "ui/qt/config_window.h"

namespace {

class ConfigWindowTest : public QtWindowTest {
protected:
    template <class W> static W* get(ConfigWindow& w, int id) { return qobject_cast<W*>(w.control(id)); }
};

TEST_F(ConfigWindowTest, LayoutThreeDeviceShowsBandsNetworkAndWritesTheConfirmation)
{
    SimDevice& device = plug("layout3");
    openWindow();
    ASSERT_TRUE(window_->button(IDC_CONFIGURE)->isEnabled());

    withConfigDialog([&](ConfigWindow& w) {
        // Nine bands: seven in the first column, two beside them.
        auto* first = get<QCheckBox>(w, IDC_CFG_BAND_BASE);
        auto* k2 = get<QCheckBox>(w, IDC_CFG_BAND_BASE + 2);
        auto* eighth = get<QCheckBox>(w, IDC_CFG_BAND_BASE + 7);
        ASSERT_TRUE(first && k2 && eighth);
        EXPECT_EQ(get<QCheckBox>(w, IDC_CFG_BAND_BASE + 9), nullptr);
        EXPECT_EQ(k2->text(), u("K2频段(24.050~24.250)"));
        EXPECT_TRUE(first->isVisible() && first->isChecked());
        EXPECT_EQ(eighth->y(), first->y());
        EXPECT_GT(eighth->x(), first->x() + first->width());
        EXPECT_FALSE(w.control(IDC_CFG_FIRST_COLUMN)->isVisible());
        EXPECT_TRUE(get<QCheckBox>(w, IDC_CFG_MILES)->isVisible());
        EXPECT_EQ(get<QLabel>(w, IDC_CFG_TIME_ZONE_LABEL)->text(), u("时区"));

        auto* carrier = get<QComboBox>(w, IDC_CFG_CARRIER);
        EXPECT_EQ(carrier->count(), CARRIER_PRESET_COUNT);
        EXPECT_EQ(carrier->currentText(), u("Others"));
        EXPECT_EQ(get<QLineEdit>(w, IDC_CFG_APN)->text(), u("3gnet"));
        EXPECT_EQ(get<QLineEdit>(w, IDC_CFG_PASSWORD)->echoMode(), QLineEdit::Password);
        EXPECT_EQ(get<QComboBox>(w, IDC_CFG_TIME_ZONE)->currentText(), u("-8"));

        // The user's choice of a carrier reaches the logic.
        carrier->setCurrentIndex(16);
        emit carrier->activated(16);
        EXPECT_EQ(get<QLineEdit>(w, IDC_CFG_APN)->text(), u("internet.racc.es"));
        EXPECT_FALSE(get<QLineEdit>(w, IDC_CFG_APN)->isEnabled());

        first->setChecked(false);
        get<QComboBox>(w, IDC_CFG_TIME_ZONE)->setEditText(u("5"));
        get<QPushButton>(w, HOST_IDOK)->click();
        EXPECT_FALSE(w.isVisible());
    });

    ASSERT_FALSE(boxes_.isEmpty());
    EXPECT_EQ(boxes_.back(), u("配置成功！|数据更新服务|") + QString::number(HOST_MB_ICONINFORMATION));
    std::vector<uint8_t> image = device.readFlashDirect(kClassicMap.settings, ZR_SETTINGS_IMAGE_SIZE);
    const uint8_t* p = image.data() + ZR_SETTINGS_PAYLOAD;
    EXPECT_EQ(p[ZR_S35_BAND_ENABLE], 0);
    EXPECT_EQ(p[ZR_S35_TIME_ZONE], 5);
    EXPECT_STREQ(reinterpret_cast<const char*>(p + ZR_S3_APN), "internet.racc.es");
}

TEST_F(ConfigWindowTest, CloseBoxCancelsAndWritesNothing)
{
    SimDevice& device = plug("classic");
    openWindow();
    const std::vector<uint8_t> before = device.readFlashDirect(kClassicMap.settings, ZR_SETTINGS_IMAGE_SIZE);
    withConfigDialog([&](ConfigWindow& w) {
        EXPECT_FALSE(w.control(IDC_CFG_CARRIER)->isVisible());
        get<QCheckBox>(w, IDC_CFG_BAND_BASE)->setChecked(false);
        w.close();
        EXPECT_FALSE(w.isVisible());
    });
    EXPECT_EQ(device.readFlashDirect(kClassicMap.settings, ZR_SETTINGS_IMAGE_SIZE), before);
    EXPECT_TRUE(boxes_.isEmpty());
}

} // namespace
