// Placeholder until the text progress bar lands: the same interface, plain drawing.
#pragma once
#include <QPainter>
#include <QWidget>
class TextProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit TextProgressBar(QWidget* parent = nullptr) : QWidget(parent) {}
    void setRange(int lower, int upper) { lower_ = lower; upper_ = upper; update(); }
    int setPos(int position) { int old = pos_; pos_ = position; update(); return old; }
    int pos() const { return pos_; }
    void setText(const QString& text) { text_ = text; update(); }
    QString text() const { return text_; }
    QString shownText() const { return text_.isEmpty() ? QString("%1%").arg(upper_ > lower_ ? (pos_ - lower_) * 100 / (upper_ - lower_) : 0) : text_; }
    int barWidth() const { return upper_ > lower_ ? int(double(width()) * (pos_ - lower_) / (upper_ - lower_)) : 0; }
    int paintCount() const { return paints_; }
protected:
    void paintEvent(QPaintEvent*) override
    {
        ++paints_;
        QPainter p(this);
        p.fillRect(rect(), Qt::gray);
        p.fillRect(0, 0, barWidth(), height(), Qt::blue);
        p.drawText(rect(), Qt::AlignCenter, shownText());
    }
private:
    int lower_ = 0, upper_ = 100, pos_ = 0, paints_ = 0;
    QString text_;
};
