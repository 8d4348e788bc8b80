// Keeping every text whole in a window laid out from a dialog template.
//
// The templates were drawn for short Chinese captions; translated texts are
// often longer. Every window and dialog of the program follows one rule,
// written down here and nowhere else:
//
//  1. The text controls are buttons (push, check, radio and our own), labels,
//     group-box titles and the text progress bar, wherever they sit in the
//     window; each is measured with the metrics of its own font.
//  2. A label whose height holds two lines or more of its font wraps its text
//     within its width; every other text is one line.
//  3. A control whose text needs more width first grows to the right into
//     free room: up to the nearest visible sibling beside it, the frame that
//     holds it, or the window's edge. Nothing moves.
//  4. When free room is not enough, the whole template is stretched
//     horizontally by the largest factor any control needs (at most
//     kTextFitMaxStretch): every x position and width, and the window's
//     width, are scaled, so relative positions and alignments stay as
//     drawn. Step 3 then runs on the stretched template. Heights and y
//     positions never change.
//
// The rule only ever widens, and always from the template geometry recorded
// when it first saw a control, so fitting again gives the same layout as
// fitting once with the final texts. After installation it runs again by
// itself when the window is shown and when a text changes — and then only
// if that text would be cut, so a window whose texts fit never relays out
// (status and progress texts change many times a second).
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QRect>

class QWidget;

// The widest a template is ever stretched.
inline constexpr double kTextFitMaxStretch = 1.6;

class TextFit : public QObject {
    Q_OBJECT
public:
    // Puts the rule on window (owned by it; one per window): the current
    // geometry of its child controls is their template geometry. Returns
    // the window's TextFit (the existing one when called again).
    static TextFit* install(QWidget* window);
    // The TextFit of a window; null when none was installed.
    static TextFit* of(const QWidget* window);

    // Fits the window now (after its texts are set). Controls made since the
    // last fit join with their current geometry as their template geometry.
    void apply();
    // The horizontal stretch in use (1: the template as drawn).
    double stretch() const { return stretch_; }
    // How many times apply() changed the layout (tests and benchmarks).
    int relayouts() const { return relayouts_; }

    // True when w shows a text this rule measures.
    static bool isTextControl(const QWidget* w);
    // The width w needs for its whole text at its current height (the
    // wrapped width for wrapping labels); 0 for a control without text.
    static int neededWidth(const QWidget* w);
    // True when some visible text control of the window is cut.
    static bool anyClipped(const QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit TextFit(QWidget* window);
    void record();
    void watch(QWidget* w);

    QPointer<QWidget> window_;
    int baseWidth_ = 0;                 // the window's template width in pixels
    QHash<QWidget*, QRect> base_;       // template geometry of every direct child
    double stretch_ = 1.0;
    int relayouts_ = 0;
    bool fitting_ = false;
};
