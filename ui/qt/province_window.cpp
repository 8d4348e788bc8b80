#include "ui/qt/province_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include <algorithm>

#include "ui/qt/main_window.h"
#include "ui/qt/text_fit.h"

std::function<int(ProvinceWindow&)> ProvinceWindow::testDriver;

namespace {

constexpr double kTemplateFontPoints = 8.0;

QRect unitsRect(const ProvinceUnits& u) { return QRect(u.left, u.top, u.width, u.height); }

// The status line's font: Arial, 15 pixels high, normal weight.
QFont labelFont()
{
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(15);
    font.setWeight(QFont::Normal);
    return font;
}

void setTextColour(QWidget* w, const QColor& colour)
{
    QPalette palette = w->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    w->setPalette(palette);
}

} // namespace

QFont ProvinceWindow::templateFont()
{
    QFont font = QApplication::font();
    font.setPointSizeF(kTemplateFontPoints);
    return font;
}

ProvinceWindow::ProvinceWindow(QWidget* parent) : QDialog(parent), host_(this), dlg_(host_)
{
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QtDialogHost::fromGbk(kProvinceCaption));
    host_.applicationName = QtDialogHost::fromGbk(kProvinceCaption);
    buildControls();
    dlg_.endDialog = [this](int result) { done(result == HOST_IDOK ? QDialog::Accepted : QDialog::Rejected); };
}

ProvinceWindow::~ProvinceWindow() = default;

void ProvinceWindow::buildControls()
{
    const QFont font = templateFont();
    setFont(font);
    const QSize base = TessalyWindow::baseUnits(font);
    setFixedSize(TessalyWindow::fromDialogUnits(QRect(0, 0, PROVINCE_DIALOG_WIDTH, PROVINCE_DIALOG_HEIGHT), base).size());
    auto add = [&](int id, QWidget* w, const ProvinceUnits& units) {
        w->setGeometry(TessalyWindow::fromDialogUnits(unitsRect(units), base));
        host_.addControl(id, w);
        controls_[id] = w;
    };

    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        const int id = Province_boxId(p);
        auto* box = new QCheckBox(QtDialogHost::fromGbk(ProvinceTable[p]), this);
        // Nothing is painted behind the box, so the map shows through.
        box->setAutoFillBackground(false);
        add(id, box, kProvinceBoxUnits[p]);
        boxes_[p] = box;
        connect(box, &QCheckBox::clicked, this, [this, id] { dlg_.OnCommand(id); });
    }

    for (const ProvinceTemplateItem& item : kProvinceTemplate) {
        QWidget* w = nullptr;
        const QString text = QtDialogHost::fromGbk(item.text);
        switch (item.kind) {
        case ProvinceControlKind::DefaultButton:
        case ProvinceControlKind::PushButton: {
            auto* button = new QPushButton(text, this);
            button->setDefault(item.kind == ProvinceControlKind::DefaultButton);
            button->setAutoDefault(item.kind == ProvinceControlKind::DefaultButton);
            const int id = item.id;
            connect(button, &QPushButton::clicked, this, [this, id] { dlg_.OnCommand(id); });
            w = button;
            break;
        }
        case ProvinceControlKind::Static: {
            auto* label = new QLabel(text, this);
            label->setFont(labelFont());
            setTextColour(label, QColor(255, 0, 0));
            w = label;
            break;
        }
        case ProvinceControlKind::CheckBox: {
            auto* check = new QCheckBox(text, this);
            setTextColour(check, QColor(0, 255, 0));
            w = check;
            break;
        }
        }
        add(item.id, w, item.units);
        w->setVisible(item.visible);
    }

    status_ = static_cast<QLabel*>(controls_[IDC_PROVINCE_STATUS]);
    // The status line's font is taller than its template place.
    QRect line = status_->geometry();
    line.setHeight(std::max(line.height(), QFontMetrics(status_->font()).height() + 2));
    status_->setGeometry(line);
    TextFit::install(this);
}

QCheckBox* ProvinceWindow::box(int position) const
{
    return position >= 0 && position < PROVINCE_COUNT ? boxes_[position] : nullptr;
}

QWidget* ProvinceWindow::control(int id) const
{
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void ProvinceWindow::prepare(const ZR_Package* package, int64_t room)
{
    dlg_.setPackage(package, room);
    dlg_.OnInitDialog();
    map_ = toImage(dlg_.picture());
    TextFit::of(this)->apply();
    update();
}

bool ProvinceWindow::choose(const ZR_Package* package, int64_t room, ProvinceChoice* choice)
{
    prepare(package, room);
    const int result = testDriver ? testDriver(*this) : exec();
    if (result != QDialog::Accepted) return false;
    if (choice) {
        const ProvinceChoice& made = dlg_.choice();
        choice->accepted = made.accepted;
        std::copy(std::begin(made.flags), std::end(made.flags), std::begin(choice->flags));
        std::copy(std::begin(made.checked), std::end(made.checked), std::begin(choice->checked));
    }
    return true;
}

void ProvinceWindow::paintEvent(QPaintEvent* event)
{
    if (map_.isNull()) {
        QDialog::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.drawImage(rect(), map_);
}

QImage ProvinceWindow::toImage(const ZR_Ximage* image)
{
    const uint32_t stride = ZR_Ximage_stride(image);
    if (!stride) return {};
    const int width = image->header.width, height = image->header.height;
    const int bytes = image->header.bitCount / 8;
    QImage out(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = image->pixels.data() + size_t(height - 1 - y) * stride;
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < width; ++x, row += bytes) line[x] = qRgb(row[2], row[1], row[0]);
    }
    return out;
}
