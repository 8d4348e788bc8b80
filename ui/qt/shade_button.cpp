#include "ui/qt/shade_button.h"

#include <algorithm>
#include <cmath>

#include <QEnterEvent>
#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QResizeEvent>

namespace {

// The tint that gives the shade its faint blue cast, and how strongly the
// hovered palette leans toward the highlight colour (both in percent).
constexpr QRgb kTint = 0xFF3737FF; // RGB(55, 55, 255)
constexpr int kTintPercent = 5;
constexpr int kOverPercent = 20;
// Space between the button's edge and its icon, and between icon and caption.
constexpr int kMargin = 3;
constexpr int kSpacing = 4;

// (weight * to + (total - weight) * from) / total per channel; all operands are
// non-negative so the division truncates the same way on every compiler.
QRgb mix(QRgb from, QRgb to, int weight, int total)
{
    auto ch = [&](int a, int b) { return (weight * b + (total - weight) * a) / total; };
    return qRgb(ch(qRed(from), qRed(to)), ch(qGreen(from), qGreen(to)), ch(qBlue(from), qBlue(to)));
}

} // namespace

ShadeColours ShadeColours::fromPalette(const QPalette& p)
{
    ShadeColours c;
    c.face = p.color(QPalette::Button);
    c.shadow = p.color(QPalette::Dark);
    c.highlight = p.color(QPalette::Light);
    c.text = p.color(QPalette::ButtonText);
    return c;
}

QVector<QRgb> Shade_normalPalette(const ShadeColours& c)
{
    const QRgb shadow = c.shadow.rgb(), face = c.face.rgb(), highlight = c.highlight.rgb();
    QVector<QRgb> pal(256);
    for (int i = 0; i < 256; ++i) {
        const QRgb plain = i <= 128 ? mix(shadow, face, i, 128) : mix(face, highlight, i - 128, 128);
        pal[i] = mix(plain, kTint, kTintPercent, 100);
    }
    return pal;
}

QVector<QRgb> Shade_overPalette(const ShadeColours& c)
{
    QVector<QRgb> pal = Shade_normalPalette(c);
    const QRgb highlight = c.highlight.rgb();
    for (QRgb& e : pal)
        e = mix(e, highlight, kOverPercent, 100);
    return pal;
}

QImage Shade_buildImage(QSize size, const QVector<QRgb>& palette, uint32_t seed)
{
    if (size.isEmpty())
        return QImage();
    QImage img(size, QImage::Format_Indexed8);
    if (img.isNull())
        return img;
    QVector<QRgb> table = palette.mid(0, 256);
    while (table.size() < 256)
        table.append(qRgb(0, 0, 0));
    img.setColorTable(table);

    ShadeGrain grain(seed);
    const int64_t height = size.height();
    // Rows count from the bottom: the shade was designed on bottom-up bitmaps and
    // the grain sequence follows that order, so the same seed gives the same picture.
    for (int row = 0; row < size.height(); ++row) {
        const int base = 8 + static_cast<int>(239 * int64_t(row) / height);
        uchar* line = img.scanLine(size.height() - 1 - row);
        for (int x = 0; x < size.width(); ++x) {
            // base is 8..246 and the grain -8..+8, so the index always fits a byte.
            line[x] = static_cast<uchar>(base + grain.next() / 2047 - 8);
        }
    }
    return img;
}

QImage Shade_greyIcon(const QImage& icon)
{
    QImage out = icon.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const QRgb px = line[x];
            if ((px & 0x00FFFFFF) == 0)
                continue;
            const int lum = (299 * qRed(px) + 587 * qGreen(px) + 114 * qBlue(px)) / 1000;
            line[x] = qRgba(lum, lum, lum, qAlpha(px));
        }
    }
    return out;
}

ShadeButton::ShadeButton(QWidget* parent) : QAbstractButton(parent)
{
    // Hover comes from enter and leave events alone (WA_Hover would only add a
    // second repaint per crossing). The shading covers every pixel, so nothing
    // underneath needs painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ShadeButton::buildShading()
{
    rebuildImages();
    update();
}

void ShadeButton::rebuildImages()
{
    // Built at device pixels so the grain stays one pixel fine on high-density
    // screens; at ratio 1 the pixels are exactly those of Shade_buildImage.
    const qreal dpr = devicePixelRatioF();
    const QSize devSize(static_cast<int>(std::ceil(width() * dpr)), static_cast<int>(std::ceil(height() * dpr)));
    const ShadeColours colours = ShadeColours::fromPalette(palette());

    // The same pixels for all four looks; over and down take the blended palette.
    m_normal = Shade_buildImage(devSize, Shade_normalPalette(colours), m_seed);
    m_normal.setDevicePixelRatio(dpr);
    m_disabled = m_normal;
    m_over = m_normal;
    if (!m_over.isNull())
        m_over.setColorTable(Shade_overPalette(colours));
    m_down = m_over;
    m_builtSize = size();
    m_builtRatio = dpr;
}

bool ShadeButton::shadingStale(qreal dpr) const
{
    return m_builtSize != size() || m_builtRatio != dpr;
}

void ShadeButton::setButtonIcons(const QIcon& icon, int secondIcon)
{
    m_icon = icon;
    m_greyAtRest = secondIcon == AutoGrey;
    m_greyCache = QPixmap();
    const QList<QSize> sizes = icon.availableSizes();
    if (!sizes.isEmpty())
        setIconSize(sizes.first());
    updateGeometry();
    update();
}

void ShadeButton::setGrainSeed(uint32_t seed)
{
    m_seed = seed;
    if (!m_builtSize.isEmpty())
        buildShading();
}

ShadeButton::Look ShadeButton::look() const
{
    if (!isEnabled())
        return Look::Disabled;
    if (isDown())
        return Look::Down;
    if (m_mouseOver)
        return Look::Over;
    return Look::Rest;
}

QSize ShadeButton::sizeHint() const
{
    const QFontMetrics fm(font());
    const QSize icon = m_icon.isNull() ? QSize() : iconSize();
    const int textWidth = text().isEmpty() ? 0 : fm.horizontalAdvance(text());
    int w = icon.width() + textWidth + (icon.width() > 0 && textWidth > 0 ? kSpacing : 0);
    int h = std::max(icon.height(), text().isEmpty() ? 0 : fm.height());
    // Room for the border, the one-pixel press shift and a little air.
    return QSize(w + 4 * kMargin + 2, h + 2 * kMargin + 2);
}

void ShadeButton::resizeEvent(QResizeEvent* event)
{
    QAbstractButton::resizeEvent(event);
    buildShading();
}

void ShadeButton::changeEvent(QEvent* event)
{
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && !m_builtSize.isEmpty())
        buildShading();
    else if (event->type() == QEvent::EnabledChange)
        update();
}

void ShadeButton::enterEvent(QEnterEvent* event)
{
    QAbstractButton::enterEvent(event);
    m_mouseOver = true;
    update();
}

void ShadeButton::leaveEvent(QEvent* event)
{
    QAbstractButton::leaveEvent(event);
    m_mouseOver = false;
    update();
}

QPixmap ShadeButton::iconPixmap(Look look, qreal dpr) const
{
    if (m_icon.isNull())
        return QPixmap();
    if (look == Look::Disabled)
        return m_icon.pixmap(iconSize(), dpr, QIcon::Disabled);
    QPixmap coloured = m_icon.pixmap(iconSize(), dpr);
    if (look != Look::Rest || !m_greyAtRest)
        return coloured;
    if (m_greyCache.isNull() || m_greyCache.size() != coloured.size()
        || m_greyCache.devicePixelRatio() != coloured.devicePixelRatio()) {
        m_greyCache = QPixmap::fromImage(Shade_greyIcon(coloured.toImage()));
        m_greyCache.setDevicePixelRatio(coloured.devicePixelRatio());
    }
    return m_greyCache;
}

void ShadeButton::drawBorder(QPainter& p, Look look) const
{
    if (look != Look::Over && look != Look::Down)
        return;
    const ShadeColours c = ShadeColours::fromPalette(palette());
    const QColor topLeft = look == Look::Over ? c.highlight : c.shadow;
    const QColor bottomRight = look == Look::Over ? c.shadow : c.highlight;
    const int r = width() - 1, b = height() - 1;
    p.setPen(topLeft);
    p.drawLine(0, 0, r - 1, 0);
    p.drawLine(0, 0, 0, b - 1);
    p.setPen(bottomRight);
    p.drawLine(r, 0, r, b);
    p.drawLine(0, b, r, b);
}

void ShadeButton::drawContent(QPainter& p, Look look, qreal dpr) const
{
    const int shift = look == Look::Down ? 1 : 0;
    const QRect area = rect().adjusted(kMargin + shift, kMargin + shift, -kMargin + shift, -kMargin + shift);
    const QPixmap pix = iconPixmap(look, dpr);
    const QSize iconLogical = pix.isNull() ? QSize() : pix.deviceIndependentSize().toSize();

    QRect textArea = area;
    if (!pix.isNull()) {
        // Alone the icon sits in the middle; with a caption it leads at the left
        // and the caption is centred in the room beside it.
        QRect iconRect(QPoint(0, 0), iconLogical);
        if (text().isEmpty()) {
            iconRect.moveCenter(area.center());
        } else {
            iconRect.moveLeft(area.left());
            iconRect.moveTop(area.top() + (area.height() - iconLogical.height()) / 2);
            textArea.setLeft(iconRect.right() + 1 + kSpacing);
        }
        p.drawPixmap(iconRect.topLeft(), pix);
    }
    if (text().isEmpty())
        return;

    const ShadeColours c = ShadeColours::fromPalette(palette());
    const int flags = Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic;
    p.setFont(font());
    if (look == Look::Disabled) {
        // Embossed: a highlight copy one pixel down-right under the shadow-coloured caption.
        p.setPen(c.highlight);
        p.drawText(textArea.translated(1, 1), flags, text());
        p.setPen(c.shadow);
    } else {
        // The caption colour is the same at rest and hovered: both are the button text colour.
        p.setPen(c.text);
    }
    p.drawText(textArea, flags, text());
}

void ShadeButton::paintEvent(QPaintEvent*)
{
    const qreal dpr = devicePixelRatioF();
    if (shadingStale(dpr))
        rebuildImages();

    QPainter p(this);
    const Look lk = look();
    const QImage* background = &m_normal;
    QPoint at(0, 0);
    switch (lk) {
    case Look::Rest: background = &m_normal; break;
    case Look::Over: background = &m_over; break;
    case Look::Down:
        background = &m_down;
        at = QPoint(1, 1);
        // The strip the shift uncovers; the sunken border covers most of it.
        p.fillRect(rect(), palette().color(QPalette::Button));
        break;
    case Look::Disabled: background = &m_disabled; break;
    }
    if (!background->isNull())
        p.drawImage(at, *background);
    else
        p.fillRect(rect(), palette().color(QPalette::Button));
    drawBorder(p, lk);
    drawContent(p, lk, dpr);
}
