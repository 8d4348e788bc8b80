// The province map window: boxes on their places with whole captions, the
// status line, the map, the room rule through real clicks, and the main
// window asking for provinces through it.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include <cstring>

#include "qt/qt_window_fixture.h"
#include "ui/qt/province_window.h"

namespace {

// provinces-4m: 北京 224K, 上海 192K, 江苏 288K, 浙江 256K, 四川 224K, 广东 416K.
constexpr int kBeijing = 0, kShanghai = 1, kJiangsu = 18, kGuangdong = 27;

class ProvinceWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        package_.reset(ZR_Package_load((samplesDir() / "provinces-4m.dzr").string().c_str()));
        ASSERT_NE(package_, nullptr);
        window_.host().answerMessageBox = [this](const QString& text, const QString& caption, unsigned) {
            boxes_.push_back(text + "|" + caption);
            return HOST_IDOK;
        };
        window_.prepare(package_.get(), 1000 * 1024);
    }
    void click(int id) { static_cast<QAbstractButton*>(window_.control(id))->click(); }
    std::vector<int> checked() const
    {
        std::vector<int> out;
        for (int p = 0; p < PROVINCE_COUNT; ++p)
            if (window_.box(p)->isChecked()) out.push_back(p);
        return out;
    }

    PackagePtr package_;
    ProvinceWindow window_;
    QStringList boxes_;
};

TEST_F(ProvinceWindowTest, BoxesSitOnTheirPlacesOverTheMapWithWholeCaptions)
{
    const QSize base = TessalyWindow::baseUnits(ProvinceWindow::templateFont());
    EXPECT_EQ(window_.size(), TessalyWindow::fromDialogUnits(QRect(0, 0, 624, 342), base).size());
    const QImage& map = window_.map();
    ASSERT_EQ(map.size(), QSize(PROVINCE_MAP_WIDTH, PROVINCE_MAP_HEIGHT));
    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        const ProvinceUnits& u = kProvinceBoxUnits[p];
        SCOPED_TRACE(p);
        QCheckBox* box = window_.box(p);
        const QRect place = TessalyWindow::fromDialogUnits(QRect(u.left, u.top, u.width, u.height), base);
        EXPECT_EQ(box->pos(), place.topLeft());
        EXPECT_EQ(box->height(), place.height());
        EXPECT_GE(box->width(), std::max(place.width(), box->sizeHint().width()));
        EXPECT_EQ(box->text(), QtDialogHost::fromGbk(Province_labelText(ProvinceTable[p], Province_size(package_.get(), p))));
        EXPECT_FALSE(box->autoFillBackground());
        // The map under the box's middle is a province, not the white ground.
        const QPoint onMap((u.left + u.width / 2) * PROVINCE_MAP_WIDTH / 624, (u.top + 5) * PROVINCE_MAP_HEIGHT / 342);
        EXPECT_NE(map.pixel(onMap), qRgb(255, 255, 255));
    }
    QLabel* status = window_.statusLine();
    EXPECT_EQ(status->font().pixelSize(), 15);
    EXPECT_EQ(status->font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(status->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(status->text(), u("分省数据包，最多可储存（1000K)数据，超过无法升级，请在地图上勾选。已勾选(0K)。"));
    EXPECT_GE(status->width(), QFontMetrics(status->font()).horizontalAdvance(status->text()));
    EXPECT_TRUE(window_.control(IDC_PROVINCE_HINT)->isHidden());
    EXPECT_TRUE(window_.control(IDC_PROVINCE_NATIONWIDE)->isHidden());
    EXPECT_TRUE(static_cast<QPushButton*>(window_.control(IDC_PROVINCE_CONFIRM))->isDefault());
}

TEST_F(ProvinceWindowTest, BitmapRowsTurnTopDown)
{
    struct Case {
        uint16_t bitCount;
        std::vector<uint8_t> pixels; // bottom row first, BGR(A), rows of 4 or 8 bytes
    };
    const Case cases[] = {
        {24, {1, 2, 3, 0, 4, 5, 6, 0}},
        {32, {1, 2, 3, 0, 4, 5, 6, 0}}, // alpha 0 is not drawn
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bitCount);
        ZR_Ximage image;
        image.header.width = 1;
        image.header.height = 2;
        image.header.bitCount = c.bitCount;
        image.pixels = c.pixels;
        const QImage out = ProvinceWindow::toImage(&image);
        ASSERT_EQ(out.size(), QSize(1, 2));
        EXPECT_EQ(out.pixel(0, 0), qRgb(6, 5, 4));
        EXPECT_EQ(out.pixel(0, 1), qRgb(3, 2, 1));
    }
    EXPECT_TRUE(ProvinceWindow::toImage(nullptr).isNull());
}

TEST_F(ProvinceWindowTest, ClicksFollowTheRoomRuleAndConfirmTakesTheChoice)
{
    click(Province_boxId(kBeijing));
    click(Province_boxId(kShanghai));
    click(Province_boxId(kGuangdong)); // 832K
    click(Province_boxId(kJiangsu));   // would be 1120K
    EXPECT_EQ(checked(), (std::vector<int>{kBeijing, kShanghai, kGuangdong}));
    EXPECT_EQ(boxes_, QStringList{u("选择的省份数据已超过设备可保存大小。|省份选择")});
    EXPECT_TRUE(window_.statusLine()->text().endsWith(u("已勾选(832K)。")));

    click(IDC_PROVINCE_CLEAR);
    EXPECT_TRUE(checked().empty());
    click(IDC_PROVINCE_CONFIRM);
    EXPECT_EQ(boxes_.last(), u("至少需选择一个省数据！|省份选择"));
    click(Province_boxId(33)); // 台湾, no data
    click(IDC_PROVINCE_CONFIRM);
    EXPECT_EQ(boxes_.size(), 3);

    ProvinceChoice choice;
    ProvinceChoice_begin(&choice, package_.get(), 1000 * 1024);
    ProvinceWindow::testDriver = [this](ProvinceWindow& w) {
        EXPECT_EQ(&w, &window_);
        click(Province_boxId(kJiangsu));
        click(IDC_PROVINCE_CONFIRM);
        return w.result();
    };
    EXPECT_TRUE(window_.choose(package_.get(), 1000 * 1024, &choice));
    ProvinceWindow::testDriver = nullptr;
    int expected[PROVINCE_COUNT] = {};
    expected[kJiangsu] = 1;
    EXPECT_EQ(std::memcmp(choice.flags, expected, sizeof expected), 0);
    EXPECT_EQ(choice.accepted, 1);
}

// The main window asks for provinces through the map and writes the chosen ones.
class ProvinceFlowTest : public QtWindowTest {
protected:
    void TearDown() override
    {
        ProvinceWindow::testDriver = nullptr;
        QtWindowTest::TearDown();
    }
};

TEST_F(ProvinceFlowTest, ChosenProvincesAreWritten)
{
    plug("k502-4m");
    openWindow();
    int shown = 0;
    ProvinceWindow::testDriver = [&](ProvinceWindow& w) {
        shown++;
        EXPECT_EQ(w.statusLine()->text(), u("分省数据包，最多可储存（1380K)数据，超过无法升级，请在地图上勾选。已勾选(0K)。"));
        for (int p : {kBeijing, kShanghai, kGuangdong}) w.box(p)->click();
        static_cast<QPushButton*>(w.control(IDC_PROVINCE_CONFIRM))->click();
        return w.result();
    };
    drop(QString::fromStdString((samplesDir() / "provinces-4m.dzr").string()));
    window_->button(IDC_SEND)->click();
    ASSERT_TRUE(spinUntil([&] { return !window_->dialog()->isUpdating() && !boxes_.isEmpty(); }));
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(boxes_.last(), u("更新成功！|数据更新服务|") + QString::number(HOST_MB_ICONINFORMATION));
}

} // namespace
