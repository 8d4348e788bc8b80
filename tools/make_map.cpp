// Draws the province dialog's map picture, res/province_map.png: 717 × 593,
// opaque, a pastel region under every province box of the dialog, thin
// borders, a white ground, a red star at the capital and red dots at three
// coastal cities, and no text (the boxes carry the names).
//
// The regions are not surveyed outlines. Every pixel belongs to the province
// whose box (as far as its caption reaches) is nearest, measured on a gently
// warped plane so that borders wander like real ones; pixels far from every
// box are ground. So each box sits on its own region whatever the real shapes.
// No clock, random source or font is used: the output is the same on every run.
#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRectF>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/province_table.h"
#include "ui/province_layout.h"

namespace {

constexpr int W = PROVINCE_MAP_WIDTH, H = PROVINCE_MAP_HEIGHT;
constexpr int kGround = -1;
constexpr int kDotsPerMeter = 3780; // 96 dpi
constexpr int kTaiwan = 33, kHainan = 30;

double toMapX(double units) { return units * W / PROVINCE_DIALOG_WIDTH; }
double toMapY(double units) { return units * H / PROVINCE_DIALOG_HEIGHT; }

// A box as far as its caption goes: the indicator, the name and up to five
// characters of size, at the template font's proportions in dialog units.
QRectF boxOnMap(int position)
{
    const ProvinceUnits& u = kProvinceBoxUnits[position];
    const int nameChars = int(std::strlen(ProvinceTable[position])) / 2;
    const int reach = std::max(u.width, 12 + 8 * nameChars + 22);
    return QRectF(QPointF(toMapX(u.left), toMapY(u.top)), QPointF(toMapX(u.left + reach), toMapY(u.top + u.height)));
}

// How far a province spreads beyond its box, in pixels: the wide western
// provinces and the north-east far, islands little.
double spread(int position)
{
    switch (position) {
    case 12: return 132; // 新疆
    case 13: return 100; // 西藏
    case 14: return 64;  // 青海
    case 7: return 52;   // 内蒙古
    case 4: return 56;   // 黑龙江
    case 15: case 26: case 28: return 56; // 甘肃, 四川, 云南
    case kTaiwan: case kHainan: return 12;
    default: return 36;
    }
}

bool island(int position) { return position == kTaiwan || position == kHainan; }

double distanceTo(const QRectF& r, double x, double y)
{
    const double dx = std::max({r.left() - x, 0.0, x - r.right()});
    const double dy = std::max({r.top() - y, 0.0, y - r.bottom()});
    return std::sqrt(dx * dx + dy * dy);
}

// Smooth value noise in [-1, 1] from an integer hash on a lattice of cells.
double lattice(int x, int y, uint32_t seed)
{
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u + seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return (h & 0xFFFF) / 32767.5 - 1.0;
}

double noise(double x, double y, uint32_t seed, double cell = 28)
{
    const double gx = x / cell, gy = y / cell;
    const int x0 = int(std::floor(gx)), y0 = int(std::floor(gy));
    double fx = gx - x0, fy = gy - y0;
    fx = fx * fx * (3 - 2 * fx);
    fy = fy * fy * (3 - 2 * fy);
    const double top = lattice(x0, y0, seed) * (1 - fx) + lattice(x0 + 1, y0, seed) * fx;
    const double bottom = lattice(x0, y0 + 1, seed) * (1 - fx) + lattice(x0 + 1, y0 + 1, seed) * fx;
    return top * (1 - fy) + bottom * fy;
}

// Which province (or the ground) a pixel shows.
int ownerAt(const std::vector<QRectF>& boxes, double x, double y)
{
    // Warp the plane a little; boxes keep their own pixels because a box's
    // inside is at distance 0 and neighbours are further than the warp.
    const double wx = x + 4.0 * noise(x, y, 1), wy = y + 4.0 * noise(x, y, 2);
    const double coast = 14.0 * noise(x, y, 3, 44) + 6.0 * noise(x, y, 4, 13);
    int best = kGround;
    double bestDistance = 1e9, land = 1e9;
    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        const double d = distanceTo(boxes[p], wx, wy);
        if (d < bestDistance) bestDistance = d, best = p;
        if (!island(p)) land = std::min(land, d - spread(p));
    }
    // Land is wherever some mainland province reaches, so the inland has no holes.
    if (island(best) ? bestDistance > spread(best) + coast / 2 : land > coast) return kGround;
    // The islands stand apart in the sea.
    if (!island(best))
        for (int p : {kTaiwan, kHainan})
            if (distanceTo(boxes[p], wx, wy) < spread(p) + 10) return kGround;
    return best;
}

QImage drawMap()
{
    std::vector<QRectF> boxes;
    for (int p = 0; p < PROVINCE_COUNT; ++p) boxes.push_back(boxOnMap(p));

    std::vector<int> owner(size_t(W) * H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) owner[size_t(y) * W + x] = ownerAt(boxes, x + 0.5, y + 0.5);
    auto at = [&](int x, int y) { return (x < 0 || y < 0 || x >= W || y >= H) ? kGround : owner[size_t(y) * W + x]; };

    // Neighbours get different colours: greedy, in table order.
    std::vector<std::vector<bool>> touches(PROVINCE_COUNT, std::vector<bool>(PROVINCE_COUNT, false));
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const int a = at(x, y), b = at(x + 1, y), c = at(x, y + 1);
            if (a >= 0 && b >= 0 && a != b) touches[a][b] = touches[b][a] = true;
            if (a >= 0 && c >= 0 && a != c) touches[a][c] = touches[c][a] = true;
        }
    const QColor pastels[] = {
        QColor(0xF7, 0xD6, 0xC4), QColor(0xFB, 0xEC, 0xB3), QColor(0xD3, 0xEC, 0xC6), QColor(0xC8, 0xE2, 0xF4),
        QColor(0xE2, 0xD5, 0xF0), QColor(0xF5, 0xCF, 0xDF), QColor(0xD4, 0xF0, 0xE8),
    };
    constexpr int kPastels = int(sizeof pastels / sizeof pastels[0]);
    std::vector<int> colour(PROVINCE_COUNT, 0);
    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        for (int c = 0; c < kPastels; ++c) {
            bool free = true;
            for (int q = 0; q < p; ++q) free = free && !(touches[p][q] && colour[q] == c);
            if (free) {
                colour[p] = c;
                break;
            }
        }
    }

    QImage image(W, H, QImage::Format_ARGB32);
    image.setDotsPerMeterX(kDotsPerMeter);
    image.setDotsPerMeterY(kDotsPerMeter);
    const QRgb ground = qRgb(255, 255, 255), border = qRgb(0x8E, 0x8E, 0x8E), coastLine = qRgb(0x6F, 0x86, 0xA3);
    for (int y = 0; y < H; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < W; ++x) {
            const int here = at(x, y);
            const int right = at(x + 1, y), below = at(x, y + 1);
            if (here == kGround) {
                // The coast is drawn on the land side only.
                line[x] = ground;
            } else if (right == kGround || below == kGround || at(x - 1, y) == kGround || at(x, y - 1) == kGround) {
                line[x] = coastLine;
            } else if (right != here || below != here) {
                line[x] = border;
            } else {
                line[x] = pastels[colour[here]].rgb();
            }
        }
    }

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xD8, 0x1E, 0x1E));
    // The capital: a star just before 北京's box.
    const QRectF beijing = boxes[0];
    const QPointF centre(beijing.left() - 9, beijing.center().y());
    QPolygonF star;
    for (int i = 0; i < 10; ++i) {
        const double angle = -M_PI / 2 + i * M_PI / 5;
        const double r = (i % 2 == 0) ? 7.5 : 3.1;
        star << centre + QPointF(r * std::cos(angle), r * std::sin(angle));
    }
    p.drawPolygon(star);
    // Three ports: before 天津's, 上海's and 广东's boxes.
    for (int position : {2, 1, 27}) {
        const QRectF& box = boxes[position];
        p.drawEllipse(QPointF(box.left() - 7, box.center().y()), 3.6, 3.6);
    }
    p.end();
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tessaly-make-map FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "make_map: cannot create %s\n", argv[1]);
        return 1;
    }
    const QString path = out.filePath(QStringLiteral("province_map.png"));
    if (!drawMap().save(path, "PNG")) {
        std::fprintf(stderr, "make_map: cannot write %s\n", qPrintable(path));
        return 1;
    }
    return 0;
}
