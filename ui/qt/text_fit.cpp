#include "ui/qt/text_fit.h"

#include <QAbstractButton>
#include <QEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QVariant>
#include <QWidget>

#include <algorithm>
#include <cmath>

#include "ui/qt/text_progress.h"

namespace {

constexpr int kGap = 4;        // air kept between a grown control and the next one
constexpr int kFrameInset = 6; // and between it and the inner side of a frame around it
constexpr int kBarAir = 4;     // the progress bar's text never touches its ends
const char* const kProperty = "tessalyTextFit";

// The widest line of a text drawn on one line per '\n'.
int lineWidth(const QFontMetrics& fm, const QString& text)
{
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = std::max(widest, fm.horizontalAdvance(line));
    return widest;
}

// Where a label draws its text: its contents, less its margin and indent,
// as QLabel itself lays them out.
QRect labelRoom(const QLabel* label)
{
    const int margin = label->margin();
    QRect room = label->contentsRect().adjusted(margin, margin, -margin, -margin);
    int indent = label->indent();
    if (indent < 0 && label->frameWidth())
        indent = label->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 - margin;
    if (indent > 0) {
        const Qt::Alignment align = QStyle::visualAlignment(label->layoutDirection(), label->alignment());
        if (align & Qt::AlignLeft) room.setLeft(room.left() + indent);
        if (align & Qt::AlignRight) room.setRight(room.right() - indent);
        if (align & Qt::AlignTop) room.setTop(room.top() + indent);
        if (align & Qt::AlignBottom) room.setBottom(room.bottom() - indent);
    }
    return room;
}

bool labelShowsText(const QLabel* label) { return !label->text().isEmpty() && label->pixmap().isNull(); }

// Rule 2: a label two lines high or more wraps.
bool labelWraps(const QLabel* label) { return labelRoom(label).height() >= 2 * label->fontMetrics().lineSpacing(); }

bool wrappedFits(const QLabel* label, int width, int height)
{
    const QRect drawn = label->fontMetrics().boundingRect(QRect(0, 0, width, 1 << 20),
                                                          int(label->alignment()) | Qt::TextWordWrap, label->text());
    return drawn.height() <= height && drawn.width() <= width;
}

int labelNeed(const QLabel* label)
{
    if (!labelShowsText(label)) return 0;
    const QRect room = labelRoom(label);
    const int chrome = label->width() - room.width();
    const int oneLine = lineWidth(label->fontMetrics(), label->text());
    if (!labelWraps(label) || oneLine <= room.width()) return chrome + oneLine;
    if (wrappedFits(label, room.width(), room.height())) return label->width();
    // The narrowest width at which the wrapped text fits its height; one
    // line's width always does.
    int low = room.width() + 1, high = oneLine;
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (wrappedFits(label, mid, room.height()))
            high = mid;
        else
            low = mid + 1;
    }
    return chrome + high;
}

QStyleOptionButton buttonOption(const QAbstractButton* button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    option.icon = button->icon();
    option.iconSize = button->iconSize();
    if (auto* push = qobject_cast<const QPushButton*>(button)) {
        if (push->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
        if (push->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
        if (push->isFlat()) option.features |= QStyleOptionButton::Flat;
    }
    return option;
}

int buttonNeed(const QAbstractButton* button)
{
    if (button->text().isEmpty()) return 0;
    // Check boxes, radio buttons and our own buttons size themselves to their
    // caption; a push button's size hint has a least width of the style's,
    // which says nothing about its text.
    if (!qobject_cast<const QPushButton*>(button)) return button->sizeHint().width();
    const QStyleOptionButton option = buttonOption(button);
    int room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
    if (!button->icon().isNull()) room -= button->iconSize().width() + kGap;
    return button->width() - room + lineWidth(button->fontMetrics(), button->text());
}

int groupNeed(const QGroupBox* group)
{
    // The box's own least width is that of its title and frame.
    return group->title().isEmpty() ? 0 : group->minimumSizeHint().width();
}

int barNeed(const TextProgressBar* bar)
{
    const QString shown = bar->shownText();
    if (shown.isEmpty()) return 0;
    return bar->width() - bar->contentsRect().width() + lineWidth(bar->fontMetrics(), shown) + 2 * kBarAir;
}

// Every visible text control at or under w.
template <class F> void forEachText(QWidget* w, const QWidget* window, F&& f)
{
    if (!w->isVisibleTo(window) && w != window) return;
    if (TextFit::isTextControl(w)) f(w);
    for (QObject* child : w->children())
        if (auto* cw = qobject_cast<QWidget*>(child); cw && !cw->isWindow()) forEachText(cw, window, f);
}

} // namespace

TextFit::TextFit(QWidget* window) : QObject(window), window_(window)
{
    baseWidth_ = window->width();
    window->setProperty(kProperty, QVariant::fromValue(static_cast<QObject*>(this)));
    window->installEventFilter(this);
    record();
}

TextFit* TextFit::install(QWidget* window)
{
    if (!window) return nullptr;
    if (TextFit* existing = of(window)) return existing;
    return new TextFit(window);
}

TextFit* TextFit::of(const QWidget* window)
{
    return window ? qobject_cast<TextFit*>(window->property(kProperty).value<QObject*>()) : nullptr;
}

void TextFit::watch(QWidget* w)
{
    // Frames that hold text controls of their own hear of their text changes.
    if (!w->children().isEmpty()) w->installEventFilter(this);
    connect(w, &QObject::destroyed, this, [this, w] { base_.remove(w); });
}

void TextFit::record()
{
    for (QObject* child : window_->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w || w->isWindow() || base_.contains(w)) continue;
        // A control made after a stretch is placed in template geometry.
        base_.insert(w, w->geometry());
        watch(w);
    }
}

bool TextFit::isTextControl(const QWidget* w)
{
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QGroupBox*>(w) ||
           qobject_cast<const TextProgressBar*>(w) ||
           (qobject_cast<const QLabel*>(w) && labelShowsText(static_cast<const QLabel*>(w)));
}

int TextFit::neededWidth(const QWidget* w)
{
    if (auto* label = qobject_cast<const QLabel*>(w)) return labelNeed(label);
    if (auto* button = qobject_cast<const QAbstractButton*>(w)) return buttonNeed(button);
    if (auto* group = qobject_cast<const QGroupBox*>(w)) return groupNeed(group);
    if (auto* bar = qobject_cast<const TextProgressBar*>(w)) return barNeed(bar);
    return 0;
}

bool TextFit::anyClipped(const QWidget* window)
{
    bool clipped = false;
    auto* root = const_cast<QWidget*>(window);
    forEachText(root, window, [&](QWidget* w) {
        if (!clipped && neededWidth(w) > w->width()) clipped = true;
    });
    return clipped;
}

void TextFit::apply()
{
    if (!window_ || fitting_) return;
    fitting_ = true;
    record();

    // Rule 2 holds for every label, also one whose text comes later.
    for (QLabel* label : window_->findChildren<QLabel*>())
        if (label->pixmap().isNull()) label->setWordWrap(labelWraps(label));

    struct Placed {
        QWidget* w;
        QRect base;
        int need;  // pixels its texts ask for; 0 when they ask nothing
        int limit; // rule 3: the right end it may grow to, in template pixels
    };
    std::vector<Placed> placed;
    for (auto it = base_.cbegin(); it != base_.cend(); ++it) {
        QWidget* w = it.key();
        int need = 0;
        if (w->isVisibleTo(window_)) {
            // A text inside a frame asks the frame for its width plus the frame's own.
            forEachText(w, window_, [&](QWidget* t) { need = std::max(need, neededWidth(t) + w->width() - t->width()); });
        }
        placed.push_back({w, it.value(), need, baseWidth_});
    }
    double factor = stretch_;
    for (Placed& p : placed) {
        if (p.need <= 0) continue;
        for (const Placed& other : placed) {
            const QRect& s = other.base;
            if (other.w == p.w || !other.w->isVisibleTo(window_) || p.base.contains(s)) continue;
            if (s.contains(p.base))
                p.limit = std::min(p.limit, s.right() + 1 - kFrameInset);
            else if (s.top() <= p.base.bottom() && p.base.top() <= s.bottom() && s.left() > p.base.left())
                p.limit = std::min(p.limit, s.left() - kGap);
        }
        p.limit = std::max(p.limit, p.base.right() + 1);
        factor = std::max(factor, double(p.need) / double(p.limit - p.base.left()));
    }
    factor = std::min(factor, kTextFitMaxStretch);

    bool changed = false;
    auto scaled = [factor](int x) { return int(std::lround(x * factor)); };
    const int windowWidth = scaled(baseWidth_);
    if (windowWidth != window_->width()) {
        changed = true;
        if (window_->minimumWidth() == window_->maximumWidth())
            window_->setFixedWidth(windowWidth);
        else
            window_->resize(windowWidth, window_->height());
    }
    for (const Placed& p : placed) {
        const int left = scaled(p.base.left());
        int width = scaled(p.base.right() + 1) - left;
        if (p.need > width) width = std::max(width, std::min(p.need, scaled(p.limit) - left));
        const QRect target(left, p.w->y(), width, p.w->height());
        if (target != p.w->geometry()) {
            p.w->setGeometry(target);
            changed = true;
        }
    }
    stretch_ = factor;
    if (changed) ++relayouts_;
    fitting_ = false;
}

bool TextFit::eventFilter(QObject* watched, QEvent* event)
{
    // A changed text asks its parent for a new layout; that is the moment to
    // look whether it still fits. Shown: the texts a window got before.
    const QEvent::Type type = event->type();
    if ((type == QEvent::LayoutRequest || (type == QEvent::Show && watched == window_)) && !fitting_ && window_ &&
        (type == QEvent::Show || anyClipped(window_)))
        apply();
    return QObject::eventFilter(watched, event);
}
