// The main window's progress bar: a plain bar that writes its percentage, or a
// message, across its middle in two colours split where the bar ends.
//
// Progress arrives far more often than the bar can visibly move (one step per
// 1/10000 of a run), so a new position repaints only when the bar's width in
// whole pixels or the shown percentage changes, and a text only when it differs
// from the current one.
#pragma once

#include <QString>
#include <QWidget>

class TextProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit TextProgressBar(QWidget* parent = nullptr);
    // An empty range (lower >= upper) draws nothing.
    void setRange(int lower, int upper);
    int lower() const { return m_lower; }
    int upper() const { return m_upper; }
    // Stores the position and gives the previous one. Positions outside the
    // range are kept as given but drawn as the nearer end.
    int setPos(int position);
    int pos() const { return m_pos; }
    // "" shows the percentage.
    void setText(const QString& text);
    QString text() const { return m_text; }
    // What is drawn: the text, or the whole percentage "37%".
    QString shownText() const;
    // The bar's length in device-independent pixels of the current width.
    int barWidth() const;
    // Paint events so far, and repaints asked for by position and text changes
    // (tests and the window's repaint benchmark).
    int paintCount() const { return m_paintCount; }
    int updateRequests() const { return m_updateRequests; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool rangeValid() const { return m_lower < m_upper; }
    // Position within the range, clamped, as a fraction num / den.
    void fraction(long long& num, long long& den) const;
    int percent() const; // 0..100, truncated
    void requestRepaint();

    int m_lower = 0;
    int m_upper = 100;
    int m_pos = 0;
    QString m_text;
    int m_lastWidth = -1;   // bar width of the last paint; -1 after a resize
    int m_lastPercent = -1; // percentage of the last paint
    int m_paintCount = 0;
    int m_updateRequests = 0;
};
