#include "ui/qt/text_progress.h"

#include <algorithm>

#include <QFontMetrics>
#include <QPainter>
#include <QResizeEvent>

// Colours, from the palette at paint time so a theme change follows: the bar is
// Highlight, the rest Dark (the desktop's button-shadow colour), the text over the
// rest ButtonText and the text over the bar Base (the window-background colour).
//
// No off-screen buffer of our own: Qt's backing store already double-buffers
// every widget, so the two fills and two clipped texts never flicker.

TextProgressBar::TextProgressBar(QWidget* parent) : QWidget(parent) {}

void TextProgressBar::setRange(int lower, int upper)
{
    if (lower == m_lower && upper == m_upper)
        return;
    m_lower = lower;
    m_upper = upper;
    requestRepaint();
}

void TextProgressBar::fraction(long long& num, long long& den) const
{
    den = static_cast<long long>(m_upper) - m_lower;
    num = std::clamp(static_cast<long long>(m_pos) - m_lower, 0LL, den);
}

int TextProgressBar::barWidth() const
{
    if (!rangeValid())
        return 0;
    long long num = 0, den = 1;
    fraction(num, den);
    // Whole-number arithmetic: a floating fraction times the width can land a
    // hair under an exact pixel (29/100 of 100 gives 28.999...).
    return static_cast<int>(std::max(0, contentsRect().width()) * num / den);
}

int TextProgressBar::percent() const
{
    if (!rangeValid())
        return 0;
    long long num = 0, den = 1;
    fraction(num, den);
    return static_cast<int>(num * 100 / den);
}

QString TextProgressBar::shownText() const
{
    if (!m_text.isEmpty())
        return m_text;
    return QStringLiteral("%1%").arg(percent());
}

int TextProgressBar::setPos(int position)
{
    const int previous = m_pos;
    m_pos = position;
    // On a bar narrower than 100 pixels the percentage can change while the bar
    // stays put; it is checked too so the shown number never lags behind.
    if (barWidth() != m_lastWidth || (m_text.isEmpty() && percent() != m_lastPercent))
        requestRepaint();
    return previous;
}

void TextProgressBar::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    requestRepaint();
    updateGeometry(); // lets the window see whether the new text still fits
}

void TextProgressBar::requestRepaint()
{
    ++m_updateRequests;
    update();
}

QSize TextProgressBar::sizeHint() const
{
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(QStringLiteral("100%")) * 4, fm.height() + 4);
}

void TextProgressBar::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_lastWidth = -1;
}

void TextProgressBar::paintEvent(QPaintEvent*)
{
    ++m_paintCount;
    if (!rangeValid())
        return;

    const QRect area = contentsRect();
    const int bar = barWidth();
    m_lastWidth = bar;
    m_lastPercent = percent();
    const QRect barRect(area.left(), area.top(), bar, area.height());
    const QRect restRect(area.left() + bar, area.top(), area.width() - bar, area.height());

    QPainter p(this);
    const QPalette& pal = palette();
    p.fillRect(barRect, pal.color(QPalette::Highlight));
    p.fillRect(restRect, pal.color(QPalette::Dark));

    const QString shown = shownText();
    const int flags = Qt::AlignCenter | Qt::TextSingleLine;
    p.setFont(font());
    p.setClipRect(barRect);
    p.setPen(pal.color(QPalette::Base));
    p.drawText(area, flags, shown);
    p.setClipRect(restRect);
    p.setPen(pal.color(QPalette::ButtonText));
    p.drawText(area, flags, shown);
}
