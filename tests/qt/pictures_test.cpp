// The embedded pictures: every resource path the window loads is there, at
// the size its control was laid out for, with HiDPI doubles beside them.
#include <QImage>
#include <QSizeF>
#include <QString>

#include <gtest/gtest.h>

// The resources sit in a static library, whose registration object the
// linker drops unless something names it.
static void loadPictures() { Q_INIT_RESOURCE(tessaly); }

namespace {

struct Picture {
    const char* path;
    int width;
    int height;
};

const Picture kPictures[] = {
    {":/tessaly/app.png", 256, 256},
    {":/tessaly/open.png", 24, 24},
    {":/tessaly/open@2x.png", 48, 48},
    {":/tessaly/close.png", 24, 24},
    {":/tessaly/close@2x.png", 48, 48},
    {":/tessaly/update.png", 24, 24},
    {":/tessaly/update@2x.png", 48, 48},
    {":/tessaly/configure.png", 24, 24},
    {":/tessaly/configure@2x.png", 48, 48},
    {":/tessaly/header.png", 424, 218},
    {":/tessaly/header@2x.png", 848, 436},
};

TEST(Pictures, EveryResourceLoadsAtItsSize)
{
    loadPictures();
    for (const Picture& p : kPictures) {
        SCOPED_TRACE(p.path);
        const QImage image(QString::fromLatin1(p.path));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.width(), p.width);
        EXPECT_EQ(image.height(), p.height);
        EXPECT_TRUE(image.hasAlphaChannel() || p.width > 256);
    }
}

// Qt takes the device pixel ratio of a picture from its "@2x" name; on a
// HiDPI screen it then swaps the double in for the plain name. Both must
// describe the same logical size.
TEST(Pictures, DoublesCarryRatioTwoAndTheSameLogicalSize)
{
    loadPictures();
    for (const char* name : {"open", "close", "update", "configure", "header"}) {
        SCOPED_TRACE(name);
        const QImage plain(QString(":/tessaly/%1.png").arg(QLatin1String(name)));
        const QImage twice(QString(":/tessaly/%1@2x.png").arg(QLatin1String(name)));
        ASSERT_FALSE(plain.isNull());
        ASSERT_FALSE(twice.isNull());
        EXPECT_DOUBLE_EQ(plain.devicePixelRatio(), 1.0);
        EXPECT_DOUBLE_EQ(twice.devicePixelRatio(), 2.0);
        EXPECT_EQ(twice.deviceIndependentSize(), QSizeF(plain.size()));
    }
}

// The icons must stand out on the light grey-blue button face: each needs
// enough dark, opaque pixels for its outline to read.
TEST(Pictures, ButtonIconsHaveADarkOutline)
{
    loadPictures();
    for (const char* name : {"open", "close", "update", "configure"}) {
        SCOPED_TRACE(name);
        const QImage image(QString(":/tessaly/%1.png").arg(QLatin1String(name)));
        ASSERT_FALSE(image.isNull());
        int dark = 0;
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.alpha() < 200) continue;
                ++opaque;
                if (c.lightness() < 110) ++dark;
            }
        }
        EXPECT_GT(opaque, 24 * 24 / 4);
        EXPECT_GT(dark, 20);
    }
}

}  // namespace
