// Placeholder until the shaded button lands: a plain button with the same interface.
#pragma once
#include <QAbstractButton>
#include <QIcon>
#include <QPainter>
class ShadeButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit ShadeButton(QWidget* parent = nullptr) : QAbstractButton(parent) {}
    void buildShading() {}
    void setButtonIcons(const QIcon& icon, int = 0) { setIcon(icon); }
    void setGrainSeed(uint32_t) {}
    QSize sizeHint() const override { return {80, 28}; }
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), isEnabled() ? QColor(200, 200, 230) : QColor(220, 220, 220));
        p.drawText(rect(), Qt::AlignCenter, text());
    }
};
