// One check for any window of the program: every visible text is drawn
// whole inside its control, and no two visible controls side by side
// overlap (a frame around others does not count as overlapping them).
// Measured from the style's own text areas, not from the layout rule.
#pragma once

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>

#include <gtest/gtest.h>

#include "ui/qt/text_progress.h"

namespace whole_texts {

inline QString describe(const QWidget* w)
{
    QString text;
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) text = b->text();
    else if (auto* l = qobject_cast<const QLabel*>(w)) text = l->text();
    else if (auto* g = qobject_cast<const QGroupBox*>(w)) text = g->title();
    else if (auto* p = qobject_cast<const TextProgressBar*>(w)) text = p->shownText();
    return QString::fromLatin1(w->metaObject()->className()) + " \"" + text + "\"";
}

inline int widest(const QFontMetrics& fm, const QString& text)
{
    int w = 0;
    for (const QString& line : text.split('\n')) w = std::max(w, fm.horizontalAdvance(line));
    return w;
}

// The width a control has for its text and the width its text takes; room
// < 0 for controls that show no text.
inline void measure(const QWidget* w, int* room, int* taken)
{
    *room = -1;
    *taken = 0;
    const QFontMetrics fm = w->fontMetrics();
    if (auto* push = qobject_cast<const QPushButton*>(w)) {
        if (push->text().isEmpty()) return;
        QStyleOptionButton option;
        option.initFrom(push);
        option.text = push->text();
        option.icon = push->icon();
        option.iconSize = push->iconSize();
        *room = push->style()->subElementRect(QStyle::SE_PushButtonContents, &option, push).width();
        if (!push->icon().isNull()) *room -= push->iconSize().width();
        *taken = widest(fm, push->text());
    } else if (qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w)) {
        auto* box = static_cast<const QAbstractButton*>(w);
        if (box->text().isEmpty()) return;
        QStyleOptionButton option;
        option.initFrom(box);
        option.text = box->text();
        const auto element = qobject_cast<const QCheckBox*>(w) ? QStyle::SE_CheckBoxContents : QStyle::SE_RadioButtonContents;
        *room = box->style()->subElementRect(element, &option, box).width();
        *taken = widest(fm, box->text());
    } else if (auto* button = qobject_cast<const QAbstractButton*>(w)) {
        // Our own buttons: caption, icon and margins as the button draws them.
        if (button->text().isEmpty()) return;
        *room = button->width();
        *taken = button->sizeHint().width();
    } else if (auto* group = qobject_cast<const QGroupBox*>(w)) {
        if (group->title().isEmpty()) return;
        *room = group->width();
        *taken = group->minimumSizeHint().width();
    } else if (auto* bar = qobject_cast<const TextProgressBar*>(w)) {
        *room = bar->contentsRect().width();
        *taken = widest(fm, bar->shownText());
    } else if (auto* label = qobject_cast<const QLabel*>(w)) {
        if (label->text().isEmpty() || !label->pixmap().isNull()) return;
        const QRect inside = label->contentsRect();
        *room = inside.width();
        if (label->wordWrap()) {
            const QRect drawn = fm.boundingRect(QRect(0, 0, inside.width(), 1 << 20),
                                                int(label->alignment()) | Qt::TextWordWrap, label->text());
            EXPECT_LE(drawn.height(), inside.height()) << describe(w).toStdString() << ": wrapped too tall";
            *taken = drawn.width();
        } else {
            *taken = widest(fm, label->text());
        }
    }
}

// Where a control draws, in its parent's coordinates: a label's text and a
// check box's line are less tall than the control, and the templates let
// such controls touch at their empty edges.
inline QRect ink(const QWidget* w)
{
    const QFontMetrics fm = w->fontMetrics();
    if (auto* label = qobject_cast<const QLabel*>(w); label && !label->text().isEmpty() && label->pixmap().isNull()) {
        const int flags = int(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
        return fm.boundingRect(label->contentsRect(), flags, label->text()).intersected(label->rect()).translated(w->pos());
    }
    if (qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w)) {
        const int line = std::min(w->height(), std::max(fm.height(), w->style()->pixelMetric(QStyle::PM_IndicatorHeight)));
        const int drawn = std::min(w->width(), w->sizeHint().width());
        return QRect(w->x(), w->y() + (w->height() - line) / 2, drawn, line);
    }
    return w->geometry();
}

inline void check(const QWidget* w, const QWidget* top)
{
    int room = 0, taken = 0;
    measure(w, &room, &taken);
    if (room >= 0) {
        EXPECT_LE(taken, room) << describe(w).toStdString() << " is cut";
    }
    if (w != top) {
        EXPECT_LE(w->geometry().right(), w->parentWidget()->rect().right()) << describe(w).toStdString();
    }

    std::vector<const QWidget*> shown;
    for (const QObject* child : w->children())
        if (auto* cw = qobject_cast<const QWidget*>(child); cw && !cw->isWindow() && cw->isVisibleTo(top))
            shown.push_back(cw);
    for (size_t i = 0; i < shown.size(); ++i) {
        for (size_t j = i + 1; j < shown.size(); ++j) {
            const QRect a = ink(shown[i]), b = ink(shown[j]);
            if (a.intersects(b) && !a.contains(b) && !b.contains(a))
                ADD_FAILURE() << describe(shown[i]).toStdString() << " overlaps " << describe(shown[j]).toStdString();
        }
        check(shown[i], top);
    }
}

} // namespace whole_texts

// Every text of window whole, no two controls overlapping.
inline void expectWholeTexts(const QWidget* window) { whole_texts::check(window, window); }
