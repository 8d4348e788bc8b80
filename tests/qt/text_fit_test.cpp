// Longer texts than the templates were drawn for: every window keeps them
// whole by the one layout rule, and leaves its layout alone while texts fit.
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "qt/qt_window_fixture.h"
#include "platform/translate.h"
#include "qt/whole_texts.h"
#include "ui/config_dialog.h"
#include "ui/qt/config_window.h"
#include "ui/qt/province_window.h"
#include "ui/qt/text_fit.h"

namespace {

void setShown(QWidget* w, const QString& text)
{
    if (auto* label = qobject_cast<QLabel*>(w)) label->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(w)) button->setText(text);
    else if (auto* group = qobject_cast<QGroupBox*>(w)) group->setTitle(text);
    else if (auto* bar = qobject_cast<TextProgressBar*>(w)) bar->setText(text);
    else ADD_FAILURE() << "no text control";
}

struct Text {
    int id;
    const char* utf8;
};

enum class Window { Main, Config, Province };

struct Case {
    const char* name;
    Window window;
    std::vector<Text> texts;
    bool stretches; // the free room beside the controls is not enough
};

const char* const kLongStatus = "\xC2\xA1No se pudo obtener la versi\xC3\xB3n en l\xC3\xADnea! \xC2\xA1"
                                "Actualice con un paquete local!";

const Case kCases[] = {
    {"main window in Spanish: wraps and grows, no stretch", Window::Main,
     {{IDC_SEND, "Actualizar"}, {IDC_CONFIGURE, "Configuraci\xC3\xB3n"}, {IDC_OPEN, "Abrir"}, {IDC_CLOSE, "Cerrar"},
      {IDC_GROUP_FILE, "Paquete de actualizaci\xC3\xB3n"}, {IDC_GROUP_PROGRESS, "Progreso de la actualizaci\xC3\xB3n"},
      {IDC_STATUS, kLongStatus}, {IDC_PROGRESS, "Descarga 45.00% Velocidad 1234.56Kb/s  Quedan 1h2min3s"}},
     false},
    {"main window: a caption wider than any free room stretches the template", Window::Main,
     {{IDC_OPEN, "Abrir paquete"}, {IDC_STATUS, "Versi\xC3\xB3n en l\xC3\xADnea: 20241205"}}, true},
    {"configuration dialog in Spanish", Window::Config,
     {{IDC_CFG_TIME_ZONE_LABEL, "Zona horaria -12~13"}, {IDC_CFG_START_LABEL, "Brillo diurno desde 3~10"},
      {IDC_CFG_END_LABEL, "Brillo diurno hasta 15~23"}, {IDC_CFG_MILES, "Usar millas"},
      {IDC_CFG_SHOW_NUMBER, "Mostrar n\xC3\xBAmeros de banda"}, {1, "Aceptar"}, {2, "Cancelar"},
      {IDC_CFG_BAND_BASE, "Banda X (10.525)"}},
     false},
    {"configuration dialog: labels beyond their wrap stretch the dialog", Window::Config,
     {{IDC_CFG_TIME_ZONE_LABEL, "Zona horaria del dispositivo -12~13"},
      {IDC_CFG_START_LABEL, "Hora de inicio del brillo diurno de la pantalla 3~10"}},
     true},
    {"province map in English: the box at the map's right edge stretches it a little", Window::Province,
     {{Province_boxId(7), "Inner Mongolia 1234K"}, {Province_boxId(4), "Heilongjiang 224K"},
      {Province_boxId(10), "Shaanxi 0K"}, {IDC_PROVINCE_CLEAR, "Clear"}, {IDC_PROVINCE_CONFIRM, "OK"},
      {IDC_PROVINCE_STATUS, "Province data: room for 1000K at most, more cannot be written. "
                            "Tick provinces on the map. Ticked: 0K."}},
     true},
};

// The rule on a bare window: one text control needing room, its
// neighbours around it. Pixels; the window is 400 wide.
struct RuleCase {
    const char* what;
    QRect control;             // a one-line label (or a wrapping one when two lines high)
    int textChars;             // its text: this many 'm's
    std::vector<QRect> others; // empty buttons beside it; a containing one is a frame
    bool hideOthers;
    bool wraps;
    bool stretches;
    int maxRight;              // where the grown label may end at most (unstretched cases)
};

const RuleCase kRuleCases[] = {
    {"fits as it is", {10, 10, 200, 20}, 3, {{300, 10, 50, 20}}, false, false, false, 210},
    {"grows into the free room before its neighbour", {10, 10, 100, 20}, 22, {{300, 10, 50, 20}}, false, false,
     false, 296},
    {"a neighbour above or below is no obstacle", {10, 10, 100, 20}, 22, {{150, 40, 50, 20}}, false, false, false,
     400},
    {"a hidden neighbour is no obstacle", {10, 10, 100, 20}, 22, {{150, 10, 50, 20}}, true, false, false, 400},
    {"grows within the frame around it", {10, 10, 100, 20}, 18, {{0, 0, 250, 40}}, false, false, false, 244},
    {"a neighbour too close stretches the template", {10, 10, 100, 20}, 12, {{115, 10, 50, 20}}, false, false, true,
     0},
    {"two lines high: wraps instead of growing", {10, 10, 100, 60}, 12, {{115, 10, 50, 20}}, false, true, false, 110},
};

TEST(TextFitRule, GrowsWrapsOrStretchesByOneRule)
{
    for (const RuleCase& c : kRuleCases) {
        SCOPED_TRACE(c.what);
        QWidget window;
        window.setFixedSize(400, 100);
        QFont font = window.font();
        font.setPixelSize(12);
        window.setFont(font);
        auto* label = new QLabel(&window);
        label->setGeometry(c.control);
        std::vector<QPushButton*> others;
        for (const QRect& r : c.others) {
            others.push_back(new QPushButton(&window));
            others.back()->setGeometry(r);
            others.back()->setVisible(!c.hideOthers);
        }
        TextFit* fit = TextFit::install(&window);
        QString text(c.textChars, QChar('m'));
        // Only a text wider than its place moves anything.
        const bool needsRoom = QFontMetrics(font).horizontalAdvance(text) > c.control.width();
        if (c.wraps) text = QString("mm ").repeated(c.textChars / 2);
        label->setText(text);
        fit->apply();

        EXPECT_FALSE(TextFit::anyClipped(&window));
        EXPECT_EQ(fit->relayouts() > 0, needsRoom && !c.wraps);
        EXPECT_EQ(label->wordWrap(), c.wraps);
        EXPECT_EQ(fit->stretch() > 1.0, c.stretches);
        EXPECT_EQ(label->x(), int(std::lround(c.control.x() * fit->stretch())));
        EXPECT_EQ(label->y(), c.control.y());
        EXPECT_EQ(label->height(), c.control.height());
        if (!c.stretches) {
            EXPECT_LE(label->geometry().right() + 1, c.maxRight);
            EXPECT_EQ(window.width(), 400);
        } else {
            EXPECT_LE(label->geometry().right(), others[0]->x());
            EXPECT_NEAR(window.width(), 400 * fit->stretch(), 1.0);
        }
        // Fitting again changes nothing.
        const int relayouts = fit->relayouts();
        fit->apply();
        EXPECT_EQ(fit->relayouts(), relayouts);
    }
}

class TextFitTest : public QtWindowTest {
protected:
    // Runs `inside` on the configuration dialog of a layout-3 device.
    void onLayout3ConfigDialog(const std::function<void(ConfigWindow&)>& inside)
    {
        plug("layout3");
        openWindow();
        withConfigDialog(inside);
    }

    // Sets the case's texts on the shown window and checks it once the
    // window has had its turn.
    void run(const Case& c, QWidget* window, const std::function<QWidget*(int)>& control)
    {
        SCOPED_TRACE(c.name);
        TextFit* fit = TextFit::of(window);
        ASSERT_NE(fit, nullptr);
        const int before = window->width();
        expectWholeTexts(window); // the original texts fit as drawn
        EXPECT_EQ(fit->stretch(), 1.0);
        for (const Text& t : c.texts) {
            QWidget* w = control(t.id);
            ASSERT_NE(w, nullptr) << t.id;
            setShown(w, u(t.utf8));
        }
        ASSERT_TRUE(spinUntil([&] { return !TextFit::anyClipped(window); }));
        expectWholeTexts(window);
        EXPECT_EQ(fit->stretch() > 1.0, c.stretches);
        EXPECT_EQ(window->width() > before, c.stretches);
        EXPECT_LE(window->width(), int(before * kTextFitMaxStretch) + 1);
    }
};

TEST_F(TextFitTest, LongTextsStayWholeInEveryWindow)
{
    for (const Case& c : kCases) {
        switch (c.window) {
        case Window::Main:
            openWindow();
            run(c, window_.get(), [&](int id) { return window_->host().widget(id); });
            window_.reset();
            break;
        case Window::Config:
            onLayout3ConfigDialog([&](ConfigWindow& dialog) { run(c, &dialog, [&](int id) { return dialog.control(id); }); });
            window_.reset();
            break;
        case Window::Province: {
            PackagePtr package(ZR_Package_load((samplesDir() / "provinces-4m.dzr").string().c_str()));
            ASSERT_NE(package, nullptr);
            ProvinceWindow window;
            window.prepare(package.get(), 1000 * 1024);
            window.show();
            run(c, &window, [&](int id) { return window.control(id); });
            break;
        }
        }
    }
}

// Stretching scales every x position and width alike: the controls keep
// their order, their alignment and their share of the window.
TEST_F(TextFitTest, StretchKeepsRelativePositions)
{
    openWindow();
    const QRect send = window_->button(IDC_SEND)->geometry(), close = window_->button(IDC_CLOSE)->geometry();
    const int width = window_->width();
    window_->button(IDC_CLOSE)->setText(u("Cerrar la ventana ahora"));
    ASSERT_TRUE(spinUntil([&] { return !TextFit::anyClipped(window_.get()); }));
    const double f = TextFit::of(window_.get())->stretch();
    ASSERT_GT(f, 1.0);
    EXPECT_NEAR(window_->width(), width * f, 1.0);
    EXPECT_NEAR(window_->button(IDC_SEND)->x(), send.x() * f, 1.0);
    EXPECT_NEAR(window_->button(IDC_SEND)->width(), send.width() * f, 2.0);
    EXPECT_NEAR(window_->button(IDC_CLOSE)->x(), close.x() * f, 1.0);
    // The header picture and the frames follow the window's width.
    EXPECT_EQ(window_->header()->width(), window_->width());
    EXPECT_EQ(window_->progressBar()->parentWidget()->width() - 2, window_->progressBar()->width());
    expectWholeTexts(window_.get());
}

// A chosen package's path is no caption: a long one is shown shortened in
// the middle (whole in the tip) and leaves the window as it is.
TEST_F(TextFitTest, LongPathsAreShortenedNotMadeRoomFor)
{
    plug("classic");
    openWindow();
    const QString path = QString::fromStdString((root_ / "packages").string()) + "/" + QString(150, QChar('p')) + ".dzr";
    window_->dropFiles({QUrl::fromLocalFile(path)});
    QCoreApplication::processEvents();
    auto* status = qobject_cast<QLabel*>(window_->host().widget(IDC_STATUS));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->toolTip(), path);
    EXPECT_TRUE(status->text().contains(QChar(0x2026))) << status->text().toStdString();
    EXPECT_EQ(TextFit::of(window_.get())->stretch(), 1.0);
    expectWholeTexts(window_.get());
}

// Texts that fit change nothing: status and progress texts come many times
// a second and must not relay the window out.
TEST_F(TextFitTest, FittingTextsNeverRelayout)
{
    openWindow();
    TextFit* fit = TextFit::of(window_.get());
    const int relayouts = fit->relayouts();
    TextProgressBar* bar = window_->progressBar();
    for (int i = 0; i < 200; ++i) {
        bar->setText(QString("Actualizado %1.00%   Tiempo %2 s").arg(i % 100).arg(i));
        window_->host().setText(IDC_STATUS, "\xCD\xF8\xC2\xE7\xB0\xE6\xB1\xBE\xBA\xC5\xA3\xBA" /* 网络版本号： */ "2024");
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(fit->relayouts(), relayouts);
    EXPECT_EQ(fit->stretch(), 1.0);
    // A text made longer than its place later is caught when it is set.
    bar->setText(QString(80, QChar('x')));
    ASSERT_TRUE(spinUntil([&] { return fit->relayouts() > relayouts; }));
    expectWholeTexts(window_.get());
}

// The catalogues as built: every window in each language, with the texts
// it shows after connecting (the configuration dialog on a device with
// network settings, the map with sizes and a checked province).
TEST_F(TextFitTest, EveryWindowFitsInEveryLanguage)
{
    struct OriginalTextsAfter {
        ~OriginalTextsAfter() { Tr_setCatalogue(TR_ORIGINAL, {}); }
    } restore;
    for (const char* language : {"es", "en"}) {
        SCOPED_TRACE(language);
        ASSERT_TRUE(Tr_init(language)) << "no catalogue built for " << language;

        plug("classic");
        openWindow();
        window_->host().setText(IDC_STATUS, "\xBB\xF1\xC8\xA1\xB0\xE6\xB1\xBE\xCA\xA7\xB0\xDC\xA3\xA1"
                                            "\xC7\xEB\xCA\xB9\xD3\xC3\xB1\xBE\xB5\xD8\xCE\xC4\xBC\xFE"
                                            "\xB8\xFC\xD0\xC2\xA3\xA1" /* 获取版本失败！请使用本地文件更新！ */);
        QCoreApplication::processEvents();
        expectWholeTexts(window_.get());
        window_.reset();

        onLayout3ConfigDialog([&](ConfigWindow& dialog) { expectWholeTexts(&dialog); });
        window_.reset();

        PackagePtr package(ZR_Package_load((samplesDir() / "provinces-4m.dzr").string().c_str()));
        ASSERT_NE(package, nullptr);
        ProvinceWindow map;
        map.prepare(package.get(), 1380 * 1024);
        map.show();
        map.box(27)->click();
        QCoreApplication::processEvents();
        expectWholeTexts(&map);

        // The about box is modal: checked from its own event loop.
        QString title;
        std::function<void()> checkAndClose = [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QDialog*>(w);
                if (!box || !box->isVisible() || !box->findChild<QLabel*>(QStringLiteral("language"))) continue;
                expectWholeTexts(box);
                title = box->windowTitle();
                box->accept();
                return;
            }
            QTimer::singleShot(10, checkAndClose);
        };
        QTimer::singleShot(0, checkAndClose);
        TessalyWindow_showAboutBox(nullptr);
        // "About Data Update Service": the words spaced as the language writes them.
        EXPECT_TRUE(title.startsWith(QString::fromStdString(Tr_text("关于")) + " ")) << title.toStdString();
    }
}

} // namespace
