// Draws every picture the desktop program carries (application icon in the
// icon-theme sizes, the four button icons with their HiDPI doubles, the header
// picture) and writes them as PNG files into the folder named on the command
// line. The committed files in res/ come from here: `cmake --build build
// --target pictures` regenerates them.
//
// Everything is vector drawing on a design grid scaled to the target size, so
// each size is drawn afresh rather than shrunk; the small icon sizes drop
// detail instead of blurring it. No clock, no random source and no font is
// used, so the output is the same on every run.
#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>
#include <QRadialGradient>
#include <QString>
#include <QTransform>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>

namespace {

// 96 dpi, so that viewers and Qt agree on the natural size.
constexpr int kDotsPerMeter = 3780;

QImage blankImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDotsPerMeterX(kDotsPerMeter);
    image.setDotsPerMeterY(kDotsPerMeter);
    return image;
}

// A painter on image whose coordinates are the design grid: gridWidth units
// across the image.
void beginOnGrid(QPainter& painter, QImage& image, double gridWidth)
{
    painter.begin(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    const double scale = image.width() / gridWidth;
    painter.scale(scale, scale);
}

QPen outlinePen(const QColor& color, double width)
{
    QPen pen(color, width);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

// ---------------------------------------------------------------------------
// Application icon: a detector on a dark-blue tile, sending signal arcs up.
// Grid 256 × 256.

void drawAppIcon(QImage& image)
{
    const int size = image.width();
    const bool tiny = size <= 24;    // two arcs, no display detail
    const bool small = size <= 48;   // thicker strokes

    QPainter p;
    beginOnGrid(p, image, 256);

    // Tile.
    QLinearGradient tile(0, 8, 0, 248);
    tile.setColorAt(0.0, QColor(0x2F, 0x6D, 0xA8));
    tile.setColorAt(1.0, QColor(0x0C, 0x22, 0x42));
    p.setPen(small ? Qt::NoPen : outlinePen(QColor(0x08, 0x16, 0x2C), 4));
    p.setBrush(tile);
    const double inset = tiny ? 2 : 8;
    QPainterPath tilePath;
    tilePath.addRoundedRect(QRectF(inset, inset, 256 - 2 * inset, 256 - 2 * inset), 46, 46);
    p.drawPath(tilePath);
    if (!small) {
        // Soft light on the upper half of the tile.
        QLinearGradient sheen(0, 12, 0, 130);
        sheen.setColorAt(0.0, QColor(255, 255, 255, 60));
        sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(sheen);
        p.drawRoundedRect(QRectF(14, 14, 228, 116), 40, 40);
    }

    // Radar arcs reaching up and ahead from the detector's front edge: a
    // detector, not a wireless symbol, so they lean forward.
    const QPointF source(138, 156);
    struct Arc { double radius; double width; };
    const Arc tinyArcs[] = {{54, 30}, {96, 30}};
    const Arc smallArcs[] = {{42, 22}, {72, 22}, {102, 22}};
    const Arc largeArcs[] = {{40, 17}, {70, 17}, {100, 17}};
    const Arc* arcs = tiny ? tinyArcs : small ? smallArcs : largeArcs;
    const int arcCount = tiny ? 2 : 3;
    const double aim = 52;     // degrees above the horizontal
    const double sweep = 72;
    p.save();
    p.setClipPath(tilePath);
    for (int i = 0; i < arcCount; ++i) {
        const double r = arcs[i].radius;
        const QRectF box(source.x() - r, source.y() - r, 2 * r, 2 * r);
        if (!small) {
            p.setPen(outlinePen(QColor(0xFF, 0xC0, 0x40, 70), arcs[i].width + 12));
            p.drawArc(box, int((aim - sweep / 2) * 16), int(sweep * 16));
        }
        p.setPen(outlinePen(QColor(0xFF, 0xB8, 0x2E), arcs[i].width));
        p.drawArc(box, int((aim - sweep / 2) * 16), int(sweep * 16));
    }
    p.restore();

    // Detector body: a low wedge, its front sloping away to the right.
    QPainterPath body;
    body.moveTo(40, 216);
    body.lineTo(196, 216);
    body.quadTo(208, 216, 204, 205);
    body.lineTo(180, 162);
    body.quadTo(175, 152, 163, 152);
    body.lineTo(52, 152);
    body.quadTo(38, 152, 36, 166);
    body.lineTo(30, 204);
    body.quadTo(28, 216, 40, 216);
    QLinearGradient metal(0, 152, 0, 216);
    metal.setColorAt(0.0, QColor(0xF4, 0xF7, 0xFA));
    metal.setColorAt(1.0, QColor(0xA4, 0xB2, 0xC2));
    p.setPen(outlinePen(QColor(0x0A, 0x14, 0x24), tiny ? 10 : small ? 8 : 5));
    p.setBrush(metal);
    p.drawPath(body);

    // Display window with its warning light.
    p.setPen(Qt::NoPen);
    if (tiny) {
        p.setBrush(QColor(0xE0, 0x30, 0x20));
        p.drawEllipse(QPointF(96, 184), 18, 16);
    } else {
        p.setBrush(QColor(0x16, 0x1E, 0x2C));
        p.drawRoundedRect(QRectF(52, 168, 108, 32), 9, 9);
        p.setBrush(QColor(0xFF, 0x4A, 0x30));
        p.drawEllipse(QPointF(72, 184), 8.5, 8.5);
        // Signal-strength bars on the display.
        p.setBrush(QColor(0x5C, 0xE0, 0x7A));
        for (int i = 0; i < 4; ++i) {
            const double h = 7 + 5 * i;
            p.drawRect(QRectF(92 + 15 * i, 194 - h, 9, h));
        }
    }
    p.end();
}

// ---------------------------------------------------------------------------
// Button icons. Grid 24 × 24. They sit on a light grey-blue button next to
// dark text, so each has a dark outline and saturated fill.

void drawOpenIcon(QImage& image)
{
    QPainter p;
    beginOnGrid(p, image, 24);
    const QPen edge = outlinePen(QColor(0x6A, 0x3E, 0x04), 1.1);

    // Back of the folder with its tab.
    QPainterPath back;
    back.moveTo(2, 19.5);
    back.lineTo(2, 5.5);
    back.quadTo(2, 4.5, 3, 4.5);
    back.lineTo(8.5, 4.5);
    back.lineTo(10.5, 6.5);
    back.lineTo(19.5, 6.5);
    back.quadTo(20.5, 6.5, 20.5, 7.5);
    back.lineTo(20.5, 19.5);
    back.closeSubpath();
    QLinearGradient backFill(0, 4, 0, 20);
    backFill.setColorAt(0.0, QColor(0xE8, 0xA8, 0x30));
    backFill.setColorAt(1.0, QColor(0xB8, 0x74, 0x10));
    p.setPen(edge);
    p.setBrush(backFill);
    p.drawPath(back);

    // A sheet of paper peeking out.
    p.setPen(outlinePen(QColor(0x70, 0x78, 0x88), 0.7));
    p.setBrush(QColor(0xFA, 0xFC, 0xFF));
    p.drawRect(QRectF(5, 8, 12.5, 8));

    // Front flap, tilted open.
    QPainterPath front;
    front.moveTo(2, 19.5);
    front.lineTo(5.2, 10.5);
    front.lineTo(22.6, 10.5);
    front.lineTo(20.5, 19.5);
    front.closeSubpath();
    QLinearGradient frontFill(0, 10, 0, 20);
    frontFill.setColorAt(0.0, QColor(0xFF, 0xDC, 0x6A));
    frontFill.setColorAt(1.0, QColor(0xF2, 0xAA, 0x26));
    p.setPen(edge);
    p.setBrush(frontFill);
    p.drawPath(front);
    p.end();
}

void drawCloseIcon(QImage& image)
{
    QPainter p;
    beginOnGrid(p, image, 24);
    QRadialGradient fill(QPointF(10, 8), 14);
    fill.setColorAt(0.0, QColor(0xFF, 0x7A, 0x66));
    fill.setColorAt(1.0, QColor(0xB0, 0x1E, 0x16));
    p.setPen(outlinePen(QColor(0x5E, 0x0C, 0x08), 1.1));
    p.setBrush(fill);
    p.drawEllipse(QPointF(12, 12), 9.6, 9.6);
    p.setPen(outlinePen(Qt::white, 2.6));
    p.drawLine(QPointF(8.2, 8.2), QPointF(15.8, 15.8));
    p.drawLine(QPointF(15.8, 8.2), QPointF(8.2, 15.8));
    p.end();
}

void drawUpdateIcon(QImage& image)
{
    QPainter p;
    beginOnGrid(p, image, 24);

    // The device, with the slot the arrow goes into.
    QLinearGradient shell(0, 13, 0, 22);
    shell.setColorAt(0.0, QColor(0x5A, 0x70, 0x88));
    shell.setColorAt(1.0, QColor(0x26, 0x34, 0x46));
    p.setPen(outlinePen(QColor(0x10, 0x18, 0x24), 1.1));
    p.setBrush(shell);
    p.drawRoundedRect(QRectF(2.5, 13.5, 19, 8), 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x0C, 0x12, 0x1C));
    p.drawRoundedRect(QRectF(7, 15, 10, 1.6), 0.8, 0.8);
    p.setBrush(QColor(0x66, 0xF0, 0x88));
    p.drawEllipse(QPointF(18.2, 19), 1.1, 1.1);

    // Download arrow pointing into the slot.
    QPainterPath arrow;
    arrow.moveTo(9.6, 1.5);
    arrow.lineTo(14.4, 1.5);
    arrow.lineTo(14.4, 7.5);
    arrow.lineTo(18.2, 7.5);
    arrow.lineTo(12, 15);
    arrow.lineTo(5.8, 7.5);
    arrow.lineTo(9.6, 7.5);
    arrow.closeSubpath();
    QLinearGradient green(0, 1, 0, 15);
    green.setColorAt(0.0, QColor(0x6C, 0xDC, 0x5C));
    green.setColorAt(1.0, QColor(0x1E, 0x8C, 0x34));
    p.setPen(outlinePen(QColor(0x0C, 0x4A, 0x18), 1.1));
    p.setBrush(green);
    p.drawPath(arrow);
    p.end();
}

void drawConfigureIcon(QImage& image)
{
    QPainter p;
    beginOnGrid(p, image, 24);
    const QPointF centre(12, 12);
    const int teeth = 8;
    QPainterPath gear;
    gear.addEllipse(centre, 7.6, 7.6);
    for (int i = 0; i < teeth; ++i) {
        QPainterPath tooth;
        tooth.addRoundedRect(QRectF(-1.9, -10.6, 3.8, 5), 0.8, 0.8);
        QTransform turn;
        turn.translate(centre.x(), centre.y());
        turn.rotate(360.0 * i / teeth);
        gear = gear.united(turn.map(tooth));
    }
    QPainterPath hole;
    hole.addEllipse(centre, 3.2, 3.2);
    gear = gear.subtracted(hole);

    QLinearGradient steel(0, 1, 0, 23);
    steel.setColorAt(0.0, QColor(0x8A, 0x9C, 0xB0));
    steel.setColorAt(1.0, QColor(0x34, 0x44, 0x58));
    p.setPen(outlinePen(QColor(0x14, 0x1C, 0x28), 1.1));
    p.setBrush(steel);
    p.drawPath(gear);
    p.end();
}

// ---------------------------------------------------------------------------
// Header picture: a road at dusk seen through the windscreen, a detector on
// the dashboard. Grid 424 × 218.

constexpr double kHeaderWidth = 424;
constexpr double kHeaderHeight = 218;
constexpr double kHorizon = 116;
constexpr double kVanishX = 204;
// Perspective: a point X metres beside the road's centre line and Y metres
// above it, D metres ahead, is at (kVanishX + X·F/D, kHorizon + (H − Y)·F/D).
constexpr double kFocal = 150;
constexpr double kEyeHeight = 1.2;

QPointF ground(double x, double d, double y = 0)
{
    return QPointF(kVanishX + x * kFocal / d, kHorizon + (kEyeHeight - y) * kFocal / d);
}

// A fixed sequence for the stars (a plain linear congruential generator, so
// the picture never changes between runs or machines).
struct Sequence {
    std::uint32_t state;
    double next()
    {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / double(1u << 24);
    }
};

void drawGlow(QPainter& p, QPointF at, double radius, const QColor& core)
{
    QRadialGradient glow(at, radius);
    glow.setColorAt(0.0, core);
    QColor edge = core;
    edge.setAlpha(0);
    glow.setColorAt(1.0, edge);
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(at, radius, radius);
}

void drawSky(QPainter& p)
{
    QLinearGradient sky(0, 0, 0, kHorizon);
    sky.setColorAt(0.00, QColor(0x0A, 0x10, 0x30));
    sky.setColorAt(0.35, QColor(0x26, 0x22, 0x5E));
    sky.setColorAt(0.62, QColor(0x6E, 0x36, 0x6C));
    sky.setColorAt(0.85, QColor(0xD8, 0x68, 0x4C));
    sky.setColorAt(1.00, QColor(0xFF, 0xB4, 0x5C));
    p.fillRect(QRectF(0, 0, kHeaderWidth, kHorizon + 1), sky);

    Sequence seq{0x7e55a1u};
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 46; ++i) {
        const double x = seq.next() * kHeaderWidth;
        const double y = seq.next() * seq.next() * 70;
        const double r = 0.35 + seq.next() * 0.55;
        const int alpha = int(90 + 165 * (1 - y / 70) * seq.next());
        p.setBrush(QColor(255, 250, 235, alpha));
        p.drawEllipse(QPointF(x, y), r, r);
    }

    // The sun just gone down behind the hills.
    const QPointF sun(296, kHorizon - 2);
    drawGlow(p, sun, 120, QColor(0xFF, 0xC8, 0x78, 150));
    drawGlow(p, sun, 36, QColor(0xFF, 0xE6, 0xB0, 220));
    p.setBrush(QColor(0xFF, 0xEC, 0xC4));
    p.drawEllipse(sun, 13, 13);
}

void drawHills(QPainter& p)
{
    QPainterPath far;
    far.moveTo(0, kHorizon);
    far.lineTo(0, 100);
    far.cubicTo(40, 88, 70, 92, 110, 101);
    far.cubicTo(140, 107, 170, 96, 205, 104);
    far.cubicTo(240, 111, 262, 103, 280, 108);
    far.cubicTo(320, 114, 350, 94, 390, 97);
    far.cubicTo(405, 98, 415, 101, 424, 103);
    far.lineTo(424, kHorizon);
    far.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x4A, 0x30, 0x58));
    p.drawPath(far);

    QPainterPath near;
    near.moveTo(0, kHorizon + 1);
    near.lineTo(0, 107);
    near.cubicTo(30, 103, 60, 108, 95, 112);
    near.cubicTo(130, 116, 160, 112, 190, kHorizon);
    near.lineTo(230, kHorizon);
    near.cubicTo(300, 113, 360, 104, 424, 110);
    near.lineTo(424, kHorizon + 1);
    near.closeSubpath();
    p.setBrush(QColor(0x2A, 0x1C, 0x3C));
    p.drawPath(near);
}

void drawRoad(QPainter& p)
{
    // Fields on both sides.
    QLinearGradient land(0, kHorizon, 0, kHeaderHeight);
    land.setColorAt(0.0, QColor(0x2E, 0x20, 0x3A));
    land.setColorAt(1.0, QColor(0x0C, 0x0A, 0x14));
    p.fillRect(QRectF(0, kHorizon, kHeaderWidth, kHeaderHeight - kHorizon), land);

    const double near = 1.2;
    const double far = 4000;
    const double halfWidth = 3.8;
    QPolygonF road;
    road << ground(-halfWidth, far) << ground(halfWidth, far) << ground(halfWidth, near)
         << ground(-halfWidth, near);
    QLinearGradient asphalt(0, kHorizon, 0, kHeaderHeight);
    asphalt.setColorAt(0.0, QColor(0x8A, 0x60, 0x62));   // the sky's light on the far road
    asphalt.setColorAt(0.12, QColor(0x4C, 0x40, 0x56));
    asphalt.setColorAt(1.0, QColor(0x1E, 0x1A, 0x26));
    p.setPen(Qt::NoPen);
    p.setBrush(asphalt);
    p.drawPolygon(road);

    // Edge lines.
    const QColor paint(0xE8, 0xE0, 0xD0, 200);
    p.setBrush(paint);
    for (double side : {-1.0, 1.0}) {
        const double inner = side * (halfWidth - 0.35);
        const double outer = side * (halfWidth - 0.2);
        QPolygonF line;
        line << ground(inner, far) << ground(outer, far) << ground(outer, near) << ground(inner, near);
        p.drawPolygon(line);
    }

    // Centre dashes, 3 m long every 7 m.
    p.setBrush(QColor(0xF4, 0xD0, 0x70, 220));
    for (double d = 2.5; d < 400; d += 7) {
        QPolygonF dash;
        dash << ground(-0.08, d + 3) << ground(0.08, d + 3) << ground(0.08, d) << ground(-0.08, d);
        p.drawPolygon(dash);
    }

    // Tail lights of a car far ahead.
    for (double x : {-1.55, -0.85}) {
        const QPointF light = ground(x, 60, 0.8);
        drawGlow(p, light, 4.5, QColor(0xFF, 0x30, 0x20, 200));
        p.setBrush(QColor(0xFF, 0x70, 0x50));
        p.drawEllipse(light, 0.9, 0.9);
    }

    // Street lights along the right-hand side.
    for (double d : {9.0, 16.0, 28.0, 50.0, 90.0}) {
        const QPointF foot = ground(halfWidth + 1.6, d);
        const QPointF top = ground(halfWidth + 1.6, d, 7);
        const QPointF lamp = ground(halfWidth + 0.2, d, 7);
        const double w = std::max(0.6, 0.18 * kFocal / d);
        p.setPen(outlinePen(QColor(0x10, 0x0C, 0x16), w));
        p.drawLine(foot, top);
        p.drawLine(top, lamp);
        p.setPen(Qt::NoPen);
        drawGlow(p, lamp, 3 + 90 / d, QColor(0xFF, 0xD2, 0x80, 210));
        drawGlow(p, ground(halfWidth - 0.6, d), 2 + 150 / d, QColor(0xFF, 0xC0, 0x70, 50));
    }
}

void drawCabin(QPainter& p)
{
    const QColor frame(0x07, 0x06, 0x0C);

    // Windscreen pillars and roof edge.
    QPainterPath pillars;
    pillars.moveTo(0, 0);
    pillars.lineTo(424, 0);
    pillars.lineTo(424, 160);
    pillars.lineTo(392, 8);
    pillars.quadTo(212, 2, 32, 8);
    pillars.lineTo(0, 160);
    pillars.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(frame);
    p.drawPath(pillars);

    // Rear-view mirror.
    p.setBrush(frame);
    p.drawRect(QRectF(209, 4, 6, 10));
    p.setPen(outlinePen(QColor(0x3A, 0x30, 0x4A), 1));
    QLinearGradient glass(0, 13, 0, 29);
    glass.setColorAt(0.0, QColor(0x20, 0x1A, 0x2E));
    glass.setColorAt(1.0, QColor(0x50, 0x34, 0x44));
    p.setBrush(glass);
    p.drawRoundedRect(QRectF(178, 13, 68, 16), 7, 7);

    // Dashboard.
    QPainterPath dash;
    dash.moveTo(0, 178);
    dash.cubicTo(110, 164, 310, 164, 424, 178);
    dash.lineTo(424, 218);
    dash.lineTo(0, 218);
    dash.closeSubpath();
    QLinearGradient top(0, 166, 0, 218);
    top.setColorAt(0.0, QColor(0x1C, 0x18, 0x24));
    top.setColorAt(1.0, QColor(0x05, 0x04, 0x08));
    p.setPen(Qt::NoPen);
    p.setBrush(top);
    p.drawPath(dash);
    // The sky's light along the dashboard's edge.
    QPainterPath rim;
    rim.moveTo(0, 178);
    rim.cubicTo(110, 164, 310, 164, 424, 178);
    QLinearGradient rimLight(0, 0, 424, 0);
    rimLight.setColorAt(0.0, QColor(0x80, 0x50, 0x70, 60));
    rimLight.setColorAt(0.7, QColor(0xE0, 0x90, 0x70, 150));
    rimLight.setColorAt(1.0, QColor(0x80, 0x50, 0x70, 60));
    p.setPen(QPen(QBrush(rimLight), 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(rim);
}

void drawDetector(QPainter& p)
{
    // Sits on the dashboard left of centre, its display facing the driver,
    // clear of the road's centre line. Non-slip pad first.
    p.save();
    p.translate(-36, 0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x02, 0x02, 0x04, 200));
    p.drawEllipse(QRectF(112, 168, 108, 8));

    QPainterPath body;
    body.moveTo(122, 172);
    body.lineTo(118, 162);
    body.quadTo(116, 150, 128, 148);
    body.lineTo(196, 143);
    body.quadTo(208, 142, 211, 152);
    body.lineTo(214, 166);
    body.quadTo(215, 172, 208, 172);
    body.closeSubpath();
    QLinearGradient shell(0, 142, 0, 172);
    shell.setColorAt(0.0, QColor(0x2A, 0x24, 0x34));
    shell.setColorAt(1.0, QColor(0x0A, 0x08, 0x10));
    p.setBrush(shell);
    p.drawPath(body);

    // Light from the sunset along its top edge.
    QPainterPath edge;
    edge.moveTo(117, 158);
    edge.quadTo(116, 150, 128, 148);
    edge.lineTo(196, 143);
    edge.quadTo(208, 142, 211, 152);
    QLinearGradient sheen(116, 0, 212, 0);
    sheen.setColorAt(0.0, QColor(0xC0, 0x70, 0x70, 90));
    sheen.setColorAt(1.0, QColor(0xFF, 0xB0, 0x80, 200));
    p.setPen(QPen(QBrush(sheen), 1.3, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(edge);

    // The display: a red warning light and signal bars, no characters.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x02, 0x02, 0x06));
    p.drawRoundedRect(QRectF(140, 154, 50, 11), 2.5, 2.5);
    drawGlow(p, QPointF(147, 159.5), 7, QColor(0xFF, 0x40, 0x28, 160));
    p.setBrush(QColor(0xFF, 0x5A, 0x3C));
    p.drawEllipse(QPointF(147, 159.5), 2.2, 2.2);
    for (int i = 0; i < 5; ++i) {
        const double h = 2 + 1.5 * i;
        const QColor bar = i < 4 ? QColor(0xFF, 0xB0, 0x30) : QColor(0x40, 0x34, 0x20);
        p.setBrush(bar);
        p.drawRect(QRectF(156 + 5.5 * i, 163 - h, 3.2, h));
    }

    // Power cord down the dashboard.
    QPainterPath cord;
    cord.moveTo(213, 163);
    cord.cubicTo(226, 166, 232, 178, 250, 184);
    cord.cubicTo(270, 190, 300, 190, 330, 218);
    p.setPen(outlinePen(QColor(0x02, 0x02, 0x04), 2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(cord);
    p.restore();
}

void drawHeader(QImage& image)
{
    QPainter p;
    beginOnGrid(p, image, kHeaderWidth);
    drawSky(p);
    drawHills(p);
    drawRoad(p);
    drawCabin(p);
    drawDetector(p);
    p.end();
}

// ---------------------------------------------------------------------------

bool writePicture(const QDir& folder, const QString& name, int width, int height,
                  const std::function<void(QImage&)>& draw)
{
    const QString path = folder.filePath(name);
    if (!QDir().mkpath(QFileInfo(path).path())) {
        std::fprintf(stderr, "make_pictures: cannot create the folder of %s\n", qPrintable(path));
        return false;
    }
    QImage image = blankImage(width, height);
    draw(image);
    // Straight alpha in the file; the premultiplied form is only for drawing.
    if (!image.convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
        std::fprintf(stderr, "make_pictures: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tessaly-make-pictures FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));

    bool ok = writePicture(out, "app.png", 256, 256, drawAppIcon);
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        ok = writePicture(out, QString("hicolor/%1/tessaly.png").arg(size), size, size, drawAppIcon) && ok;
    }
    const struct {
        const char* name;
        void (*draw)(QImage&);
    } buttons[] = {
        {"open", drawOpenIcon},
        {"close", drawCloseIcon},
        {"update", drawUpdateIcon},
        {"configure", drawConfigureIcon},
    };
    for (const auto& b : buttons) {
        ok = writePicture(out, QString("%1.png").arg(b.name), 24, 24, b.draw) && ok;
        ok = writePicture(out, QString("%1@2x.png").arg(b.name), 48, 48, b.draw) && ok;
    }
    ok = writePicture(out, "header.png", 424, 218, drawHeader) && ok;
    ok = writePicture(out, "header@2x.png", 848, 436, drawHeader) && ok;
    return ok ? 0 : 1;
}
