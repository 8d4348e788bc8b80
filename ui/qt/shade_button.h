// The main window's flat buttons: a shaded, lightly grained background that is
// dark at the bottom and light at the top, an icon beside the caption, a raised
// border under the mouse and a sunken one while pressed.
//
// The shading is built once per size into 8-bit images with the same pixels
// that differ only in their 256-entry palettes; hovering picks another image,
// it never rebuilds pixels. The pixel functions are free functions so that tests
// can check palettes and rows without a widget.
#pragma once

#include <cstdint>

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPalette>
#include <QPixmap>
#include <QSize>
#include <QVector>

// The grain's random numbers: the classic 15-bit linear congruential generator.
// Its range (0..32767) is what makes next() / 2047 - 8 land in -8..+8, so the
// platform's rand(), whose range differs, would not do. Each image build starts
// from the button's seed, so a given seed and size always give the same pixels.
class ShadeGrain {
public:
    explicit ShadeGrain(uint32_t seed = 1) : m_state(seed) {}
    // The next value, 0..32767.
    int next()
    {
        m_state = m_state * 214013u + 2531011u;
        return static_cast<int>((m_state >> 16) & 0x7FFF);
    }

private:
    uint32_t m_state;
};

// The system colours the shading uses. The button colours of the desktop this
// was designed on map onto palette roles as: face = Button, shadow = Dark,
// highlight = Light, text = ButtonText.
struct ShadeColours {
    QColor face;      // button face: the middle of the shade
    QColor shadow;    // button shadow: the bottom of the shade, bottom-right of a raised border
    QColor highlight; // 3D highlight: the top of the shade, the hover blend, top-left of a raised border
    QColor text;      // caption
    static ShadeColours fromPalette(const QPalette& p);
};

// The 256 entries of the resting palette: 0..128 run from shadow to face,
// 128..255 from face to highlight (in 128ths), then every channel is tinted 5 %
// toward RGB(55, 55, 255).
QVector<QRgb> Shade_normalPalette(const ShadeColours& c);
// The resting palette blended 20 % toward the highlight colour (hover and press).
QVector<QRgb> Shade_overPalette(const ShadeColours& c);
// The shaded picture: Format_Indexed8 with the given palette (padded with black
// to 256 entries). Counting rows from the bottom, row r has the base index
// 8 + 239 * r / height and each pixel adds a grain of next() / 2047 - 8; the
// generator runs bottom row first, left to right. A null image for an empty size.
QImage Shade_buildImage(QSize size, const QVector<QRgb>& palette, uint32_t seed);
// The grey rest-state copy of an icon: every pixel that is not black becomes the
// grey of its luminance (299 R + 587 G + 114 B) / 1000; black pixels and every
// alpha value stay as they are. The result is Format_ARGB32.
QImage Shade_greyIcon(const QImage& icon);

class ShadeButton : public QAbstractButton {
    Q_OBJECT
public:
    // The second-icon argument that asks for a grey copy of the icon at rest.
    static constexpr int AutoGrey = -2;

    explicit ShadeButton(QWidget* parent = nullptr);
    // Builds the normal/over/down/disabled images from the current size (and
    // again on every resize, palette or screen change).
    void buildShading();
    // icon: shown hovered/pressed (and at rest without a second icon);
    // secondIcon AutoGrey (-2): a grey copy at rest; any other value: none.
    // The icon size becomes the icon's own (first) size; setIconSize() after this
    // call overrides it.
    void setButtonIcons(const QIcon& icon, int secondIcon = 0);
    void setGrainSeed(uint32_t seed);
    uint32_t grainSeed() const { return m_seed; }

    enum class Look { Rest, Over, Down, Disabled };
    Look look() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QPixmap iconPixmap(Look look, qreal dpr) const;
    void drawBorder(class QPainter& p, Look look) const;
    void drawContent(class QPainter& p, Look look, qreal dpr) const;
    bool shadingStale(qreal dpr) const;
    void rebuildImages();

    uint32_t m_seed = 1;
    bool m_mouseOver = false;
    bool m_greyAtRest = false;
    QIcon m_icon;
    mutable QPixmap m_greyCache; // the grey rest icon at the size and ratio last drawn
    QImage m_normal, m_over, m_down, m_disabled;
    QSize m_builtSize;           // logical size the images were built for
    qreal m_builtRatio = 0;      // and the device pixel ratio
};
