// The skinned controls: shading palettes and pixels, the grey rest icon, the
// button's looks under synthetic mouse events, the progress bar's text and
// repaint rule.
#include <QCoreApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

#include <gtest/gtest.h>

#include "ui/qt/shade_button.h"
#include "ui/qt/text_progress.h"

namespace {

ShadeColours colours(QRgb shadow, QRgb face, QRgb highlight)
{
    return ShadeColours{QColor(face), QColor(shadow), QColor(highlight), QColor(Qt::black)};
}

TEST(ShadeGrainTest, FollowsTheClassic15BitSequence)
{
    ShadeGrain g(1);
    for (int expected : {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464})
        EXPECT_EQ(g.next(), expected);
}

TEST(ShadePaletteTest, EndsAndMidpointsForKnownColours)
{
    struct Case {
        QRgb shadow, face, highlight;
        int index;
        QRgb normal, over;
    };
    const Case cases[] = {
        // Black / grey / white: shadow end, midpoints, face, highlight end (in 128ths, tinted).
        {0xFF000000, 0xFF808080, 0xFFFFFFFF, 0, qRgb(2, 2, 12), qRgb(52, 52, 60)},
        {0xFF000000, 0xFF808080, 0xFFFFFFFF, 64, qRgb(63, 63, 73), qRgb(101, 101, 109)},
        {0xFF000000, 0xFF808080, 0xFFFFFFFF, 128, qRgb(124, 124, 134), qRgb(150, 150, 158)},
        {0xFF000000, 0xFF808080, 0xFFFFFFFF, 192, qRgb(184, 184, 194), qRgb(198, 198, 206)},
        {0xFF000000, 0xFF808080, 0xFFFFFFFF, 255, qRgb(244, 244, 254), qRgb(246, 246, 254)},
        // Channels run independently.
        {0xFF640000, 0xFF006400, 0xFF000064, 64, qRgb(50, 50, 12), qRgb(40, 40, 29)},
        {0xFF640000, 0xFF006400, 0xFF000064, 192, qRgb(2, 50, 60), qRgb(1, 40, 68)},
    };
    for (const Case& c : cases) {
        const ShadeColours sc = colours(c.shadow, c.face, c.highlight);
        const QVector<QRgb> normal = Shade_normalPalette(sc);
        const QVector<QRgb> over = Shade_overPalette(sc);
        ASSERT_EQ(normal.size(), 256);
        ASSERT_EQ(over.size(), 256);
        EXPECT_EQ(normal[c.index], c.normal) << "index " << c.index << " got " << std::hex << normal[c.index];
        EXPECT_EQ(over[c.index], c.over) << "index " << c.index << " got " << std::hex << over[c.index];
    }
}

TEST(ShadeImageTest, ExactBytesForSeedOne)
{
    const QVector<QRgb> pal = Shade_normalPalette(colours(0xFF000000, 0xFF808080, 0xFFFFFFFF));
    const QImage img = Shade_buildImage(QSize(4, 2), pal, 1);
    ASSERT_EQ(img.format(), QImage::Format_Indexed8);
    EXPECT_EQ(img.colorTable(), pal);
    // The grain runs from the bottom row: base 8 there, 8 + 239 / 2 = 127 on top.
    const uchar top[] = {128, 126, 124, 133};
    const uchar bottom[] = {0, 9, 3, 12};
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(img.pixelIndex(x, 0), top[x]) << x;
        EXPECT_EQ(img.pixelIndex(x, 1), bottom[x]) << x;
    }
}

TEST(ShadeImageTest, RowsFollowTheBaseIndexWithinTheGrain)
{
    const QVector<QRgb> pal = Shade_normalPalette(colours(0xFF000000, 0xFF808080, 0xFFFFFFFF));
    for (QSize size : {QSize(1, 1), QSize(126, 42), QSize(7, 300)}) {
        const QImage img = Shade_buildImage(size, pal, 12345);
        ASSERT_EQ(img.size(), size);
        for (int row = 0; row < size.height(); ++row) {
            const int base = 8 + 239 * row / size.height();
            for (int x = 0; x < size.width(); ++x) {
                const int d = img.pixelIndex(x, size.height() - 1 - row) - base;
                ASSERT_TRUE(d >= -8 && d <= 8) << "row " << row << " x " << x << " d " << d;
            }
        }
        EXPECT_EQ(Shade_buildImage(size, pal, 12345), img) << "same seed, same picture";
    }
    EXPECT_TRUE(Shade_buildImage(QSize(0, 5), pal, 1).isNull());
}

TEST(ShadeGreyIconTest, NonBlackPixelsTurnToTheirLuminance)
{
    struct Case {
        QRgb in, out;
    };
    const Case cases[] = {
        {qRgba(0, 0, 0, 255), qRgba(0, 0, 0, 255)},       // black stays black
        {qRgba(0, 0, 0, 0), qRgba(0, 0, 0, 0)},           // transparent black too
        {qRgba(255, 0, 0, 255), qRgba(76, 76, 76, 255)},  // 0.299 * 255
        {qRgba(0, 255, 0, 128), qRgba(149, 149, 149, 128)}, // alpha kept
        {qRgba(0, 0, 255, 0), qRgba(29, 29, 29, 0)},
        {qRgba(255, 255, 255, 255), qRgba(255, 255, 255, 255)},
        {qRgba(10, 20, 30, 200), qRgba(18, 18, 18, 200)},
        {qRgba(0, 0, 1, 255), qRgba(0, 0, 0, 255)},       // too dark to show as grey
    };
    QImage icon(int(std::size(cases)), 1, QImage::Format_ARGB32);
    for (int i = 0; i < int(std::size(cases)); ++i)
        icon.setPixel(i, 0, cases[i].in);
    const QImage grey = Shade_greyIcon(icon);
    ASSERT_EQ(grey.size(), icon.size());
    for (int i = 0; i < int(std::size(cases)); ++i)
        EXPECT_EQ(grey.pixel(i, 0), cases[i].out) << "pixel " << i << " got " << std::hex << grey.pixel(i, 0);
}

// Synthetic mouse input, as the window system would deliver it.
void enter(QWidget& w)
{
    QEnterEvent e(QPointF(5, 5), QPointF(5, 5), w.mapToGlobal(QPointF(5, 5)));
    QCoreApplication::sendEvent(&w, &e);
}
void leave(QWidget& w)
{
    QEvent e(QEvent::Leave);
    QCoreApplication::sendEvent(&w, &e);
}
void mouse(QWidget& w, QEvent::Type type)
{
    const QPointF at(5, 5);
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, at, at, w.mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &e);
}

TEST(ShadeButtonTest, LooksFollowMouseEvents)
{
    ShadeButton b;
    b.resize(80, 30);
    int clicks = 0;
    QObject::connect(&b, &QAbstractButton::clicked, [&] { ++clicks; });
    using L = ShadeButton::Look;
    EXPECT_EQ(b.look(), L::Rest);
    enter(b);
    EXPECT_EQ(b.look(), L::Over);
    mouse(b, QEvent::MouseButtonPress);
    EXPECT_EQ(b.look(), L::Down);
    mouse(b, QEvent::MouseButtonRelease);
    EXPECT_EQ(b.look(), L::Over);
    EXPECT_EQ(clicks, 1);
    // A double click is a second click.
    mouse(b, QEvent::MouseButtonDblClick);
    mouse(b, QEvent::MouseButtonRelease);
    EXPECT_EQ(clicks, 2);
    leave(b);
    EXPECT_EQ(b.look(), L::Rest);
    b.setEnabled(false);
    enter(b);
    EXPECT_EQ(b.look(), L::Disabled);
}

TEST(ShadeButtonTest, PaintsTheShadingOfItsLook)
{
    ShadeButton b;
    b.setGrainSeed(7);
    b.resize(60, 24);
    const ShadeColours sc = ShadeColours::fromPalette(b.palette());
    const QImage img = Shade_buildImage(QSize(60, 24), Shade_normalPalette(sc), 7);
    const QVector<QRgb> over = Shade_overPalette(sc);
    // Inside the border's reach, away from icon and caption (there are none).
    const QPoint at(10, 20);
    EXPECT_EQ(b.grab().toImage().pixel(at), img.pixel(at));
    enter(b);
    EXPECT_EQ(b.grab().toImage().pixel(at), over[img.pixelIndex(at)]);
    EXPECT_EQ(b.grab().toImage().pixel(0, 0), sc.highlight.rgb()) << "raised border";
    mouse(b, QEvent::MouseButtonPress);
    const QImage down = b.grab().toImage();
    EXPECT_EQ(down.pixel(at), over[img.pixelIndex(at - QPoint(1, 1))]) << "shifted one pixel";
    EXPECT_EQ(down.pixel(0, 0), sc.shadow.rgb()) << "sunken border";
}

TEST(ShadeButtonTest, GreyIconUntilTheMouseEnters)
{
    QPixmap red(16, 16);
    red.fill(QColor(255, 0, 0));
    ShadeButton grey, plain;
    grey.setButtonIcons(QIcon(red), ShadeButton::AutoGrey);
    plain.setButtonIcons(QIcon(red));
    struct Case {
        ShadeButton* button;
        bool hovered;
        QRgb centre;
    };
    const Case cases[] = {
        {&grey, false, qRgb(76, 76, 76)},
        {&grey, true, qRgb(255, 0, 0)},
        {&plain, false, qRgb(255, 0, 0)},
    };
    for (const Case& c : cases) {
        c.button->resize(60, 30);
        if (c.hovered)
            enter(*c.button);
        EXPECT_EQ(c.button->iconSize(), QSize(16, 16));
        EXPECT_EQ(c.button->grab().toImage().pixel(30, 15), c.centre) << "hovered " << c.hovered;
    }
}

TEST(TextProgressBarTest, ShownTextIsTheTextOrThePercentage)
{
    struct Case {
        int lower, upper, pos;
        const char* text;
        const char* shown;
    };
    const Case cases[] = {
        {0, 100, 37, "", "37%"},
        {0, 100, 37, "abc", "abc"},
        {0, 100, 29, "", "29%"},  // exact, not 28 from 0.29 * 100
        {10, 20, 15, "", "50%"},
        {0, 10000, 9999, "", "99%"},
        {0, 100, 150, "", "100%"}, // out of range draws as the nearer end
        {0, 100, -5, "", "0%"},
        {-2147483647 - 1, 2147483647, 2147483647, "", "100%"},
    };
    for (const Case& c : cases) {
        TextProgressBar bar;
        bar.setRange(c.lower, c.upper);
        bar.setPos(c.pos);
        bar.setText(QString::fromUtf8(c.text));
        EXPECT_EQ(bar.shownText(), QString::fromUtf8(c.shown)) << c.pos;
    }
    TextProgressBar bar;
    EXPECT_EQ(bar.setPos(37), 0);
    EXPECT_EQ(bar.setPos(40), 37);
    bar.setText(QStringLiteral("正在更新"));
    EXPECT_EQ(bar.shownText(), QStringLiteral("正在更新"));
    bar.setText(QString());
    EXPECT_EQ(bar.shownText(), QStringLiteral("40%"));
}

TEST(TextProgressBarTest, RepaintsOnlyWhenTheBarOrTextChanges)
{
    TextProgressBar bar;
    bar.setRange(0, 1000);
    bar.resize(258, 16);
    bar.show();
    QCoreApplication::processEvents();
    struct Step {
        int pos;             // -1: change the text instead
        const char* text;
        bool repaint;
    };
    const Step steps[] = {
        {1, nullptr, false},   // 0.258 px: same bar
        {3, nullptr, false},
        {4, nullptr, true},    // 1.03 px
        {7, nullptr, false},
        {500, nullptr, true},
        {-1, "正在更新", true},
        {-1, "正在更新", false}, // same text
        {-1, "", true},
        {501, nullptr, false},
    };
    for (const Step& s : steps) {
        const int requests = bar.updateRequests();
        const int paints = bar.paintCount();
        if (s.pos >= 0)
            bar.setPos(s.pos);
        else
            bar.setText(QString::fromUtf8(s.text));
        QCoreApplication::processEvents();
        EXPECT_EQ(bar.updateRequests() > requests, s.repaint) << s.pos;
        if (s.repaint)
            EXPECT_GT(bar.paintCount(), paints) << s.pos;
        else
            EXPECT_EQ(bar.paintCount(), paints) << s.pos;
    }
    // A resize forgets the drawn width: the same position repaints once more.
    bar.resize(300, 16);
    const int requests = bar.updateRequests();
    bar.setPos(501);
    EXPECT_GT(bar.updateRequests(), requests);

    // A bar narrower than 100 pixels: the percentage moves before the bar does.
    TextProgressBar narrow;
    narrow.resize(50, 16);
    narrow.show();
    QCoreApplication::processEvents();
    const int before = narrow.paintCount();
    narrow.setPos(1);
    QCoreApplication::processEvents();
    EXPECT_EQ(narrow.barWidth(), 0);
    EXPECT_GT(narrow.paintCount(), before);
}

TEST(TextProgressBarTest, BarColourLeftOfTheEndBackgroundRight)
{
    TextProgressBar bar;
    bar.resize(200, 16);
    bar.setPos(50);
    bar.setText(QStringLiteral(" ")); // nothing visible over the fills
    EXPECT_EQ(bar.barWidth(), 100);
    const QImage img = bar.grab().toImage();
    const QRgb barColour = bar.palette().color(QPalette::Highlight).rgb();
    const QRgb restColour = bar.palette().color(QPalette::Dark).rgb();
    for (int x : {0, 50, 99})
        EXPECT_EQ(img.pixel(x, 8), barColour) << x;
    for (int x : {100, 150, 199})
        EXPECT_EQ(img.pixel(x, 8), restColour) << x;
}

} // namespace
