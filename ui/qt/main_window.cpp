#include "ui/qt/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFrame>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QShortcut>
#include <QSocketNotifier>
#include <QUrl>

#include "common_k52/discovery.h"
#include "core/version.h"
#include "platform/device_events.h"
#include "sim/presets.h"
#include "sim/sim_device.h"
#include "ui/qt/config_window.h"
#include "ui/qt/province_window.h"
#include "ui/qt/shade_button.h"
#include "ui/qt/text_fit.h"
#include "ui/qt/text_progress.h"
#include "ui/service_tools.h"
#include "platform/translate.h"

namespace {

// The dialog template: control, position and size in dialog units.
struct TemplateItem {
    int id;
    QRect units;
};
constexpr QSize kWindowUnits(282, 250);
constexpr double kDialogFontPoints = 9.0;
const TemplateItem kTemplate[] = {
    {IDC_SEND, {96, 215, 84, 28}},       {IDC_CONFIGURE, {3, 215, 84, 28}},  {IDC_OPEN, {228, 146, 42, 20}},
    {IDC_GROUP_FILE, {0, 136, 282, 36}}, {IDC_PROGRESS, {12, 185, 258, 16}}, {IDC_GROUP_PROGRESS, {0, 173, 282, 36}},
    {IDC_CLOSE, {194, 215, 84, 28}},     {IDC_HEADER, {0, 0, 282, 134}},     {IDC_STATUS, {12, 148, 210, 18}},
};

QRect unitsOf(int id)
{
    for (const TemplateItem& item : kTemplate)
        if (item.id == id) return item.units;
    return {};
}

QFont dialogFont()
{
    QFont font = QApplication::font();
    font.setPointSizeF(kDialogFontPoints);
    return font;
}

// The header picture fills its control; what does not fit is cut evenly.
class HeaderPicture : public QLabel {
public:
    explicit HeaderPicture(QWidget* parent) : QLabel(parent)
    {
        setAlignment(Qt::AlignCenter);
        setContextMenuPolicy(Qt::CustomContextMenu);
    }
    void setPicture(const QPixmap& picture)
    {
        picture_ = picture;
        fit();
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QLabel::resizeEvent(event);
        fit();
    }

private:
    void fit()
    {
        if (picture_.isNull() || width() <= 0 || height() <= 0) return;
        const qreal ratio = devicePixelRatioF();
        QPixmap scaled = picture_.scaled(size() * ratio, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        const QSize target = size() * ratio;
        scaled = scaled.copy((scaled.width() - target.width()) / 2, (scaled.height() - target.height()) / 2,
                             target.width(), target.height());
        scaled.setDevicePixelRatio(ratio);
        setPixmap(scaled);
    }
    QPixmap picture_;
};

} // namespace

// The pictures are compiled into this static library; nothing would pull
// their registration in without a call by name.
static void initPictures()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(tessaly);
        return true;
    }();
    (void)done;
}

// ---------------------------------------------------------------------------

std::shared_ptr<SimulatedDiscovery> SimulatedDiscovery::make(const std::string& preset)
{
    std::unique_ptr<SimDevice> device = SimPreset_make(preset.empty() ? "classic" : preset);
    if (!device) return nullptr;
    auto discovery = std::shared_ptr<SimulatedDiscovery>(new SimulatedDiscovery);
    discovery->path_ = SimDevice_attach(device.get(), "window");
    discovery->device_ = std::move(device);
    return discovery;
}

SimulatedDiscovery::~SimulatedDiscovery()
{
    if (device_) SimDevice_detach("window");
}

void SimulatedDiscovery::onStartup(DiscoveryHooks* hooks)
{
    Discovery_openChannel(hooks->machine, path_.c_str());
    hooks->refreshConnection(hooks->user);
}

void SimulatedDiscovery::onDeviceChange(DiscoveryHooks* hooks, const DeviceEvent& event)
{
    Discovery_handleEvent(hooks, event);
}

// ---------------------------------------------------------------------------

QSize TessalyWindow::baseUnits(const QFont& font)
{
    // The average width of the alphabet, rounded as the dialog manager does.
    QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QSize((width / 26 + 1) / 2, metrics.height());
}

QRect TessalyWindow::fromDialogUnits(const QRect& units, QSize base)
{
    auto x = [&](int u) { return (u * base.width() + 2) / 4; };
    auto y = [&](int u) { return (u * base.height() + 4) / 8; };
    return QRect(QPoint(x(units.left()), y(units.top())),
                 QPoint(x(units.left() + units.width()) - 1, y(units.top() + units.height()) - 1));
}

TessalyWindow::TessalyWindow(TessalyWindowOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)), host_(this)
{
    initPictures();
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAcceptDrops(true);
    setWindowIcon(QIcon(QStringLiteral(":/tessaly/app.png")));
    buildControls();

    // Hidden service commands; nothing on screen leads to them.
    auto* info = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+I")), this);
    connect(info, &QShortcut::activated, this, [this] { runService(SERVICE_DEVICE_INFO); });
    auto* image = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+S")), this);
    connect(image, &QShortcut::activated, this, [this] { runService(SERVICE_SERVER_IMAGE); });
}

TessalyWindow::~TessalyWindow() { endLogic(); }

void TessalyWindow::buildControls()
{
    const QFont font = dialogFont();
    setFont(font);
    const QSize base = baseUnits(font);
    setFixedSize(fromDialogUnits(QRect(QPoint(0, 0), kWindowUnits), base).size());

    auto place = [&](QWidget* w, int id) {
        w->setGeometry(fromDialogUnits(unitsOf(id), base));
        host_.addControl(id, w);
    };
    // Group boxes first: they frame the controls laid over them.
    fileGroup_ = new QGroupBox(this);
    place(fileGroup_, IDC_GROUP_FILE);
    progressGroup_ = new QGroupBox(this);
    place(progressGroup_, IDC_GROUP_PROGRESS);

    auto* header = new HeaderPicture(this);
    header->setPicture(QPixmap(QStringLiteral(":/tessaly/header.png")));
    header_ = header;
    place(header_, IDC_HEADER);
    connect(header_, &QLabel::customContextMenuRequested, this, &TessalyWindow::showHeaderMenu);

    status_ = new QLabel(this);
    status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    status_->setIndent(3);
    place(status_, IDC_STATUS);

    // The bar sits in a sunken edge, as the template's client and static edges draw it.
    auto* edge = new QFrame(this);
    edge->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    edge->setLineWidth(1);
    edge->setGeometry(fromDialogUnits(unitsOf(IDC_PROGRESS), base));
    progress_ = new TextProgressBar(edge);
    // The bar fills the edge whatever width the edge is given.
    auto* fill = new QHBoxLayout(edge);
    fill->setContentsMargins(0, 0, 0, 0);
    fill->addWidget(progress_);
    host_.addControl(IDC_PROGRESS, progress_);

    auto makeButton = [&](ShadeButton*& button, int id, const char* icon) {
        button = new ShadeButton(this);
        place(button, id);
        button->setFocusPolicy(Qt::StrongFocus);
        button->buildShading();
        button->setButtonIcons(QIcon(QString::fromLatin1(icon)), id == IDC_OPEN ? ShadeButton::AutoGrey : 0);
        button->setIconSize(QSize(24, 24));
        connect(button, &QAbstractButton::clicked, this, [this, id] {
            if (dlg_) dlg_->windowProc(WM_COMMAND, uintptr_t(id), 0);
        });
    };
    // In the template's tab order.
    makeButton(send_, IDC_SEND, ":/tessaly/update.png");
    makeButton(configure_, IDC_CONFIGURE, ":/tessaly/configure.png");
    makeButton(open_, IDC_OPEN, ":/tessaly/open.png");
    makeButton(close_, IDC_CLOSE, ":/tessaly/close.png");
    setTabOrder(send_, configure_);
    setTabOrder(configure_, open_);
    setTabOrder(open_, close_);
    TextFit::install(this);
}

bool TessalyWindow::start()
{
    TessalyDlgHooks hooks;
    if (options_.discovery) {
        hooks.discovery = options_.discovery;
    } else {
        systemDiscovery_ = std::make_shared<TessalySystemDiscovery>(options_.simDir);
        hooks.discovery = systemDiscovery_;
    }
    hooks.verifyMode = options_.verifyMode;
    hooks.about = [this] { showAbout(); };
    hooks.runConfigDialog = [this](CConfigDialog& dialog) { return ConfigWindow::run(dialog, this); };
    hooks.chooseProvinces = [this](ZR_Package* package, int32_t room, ProvinceChoice* choice) {
        return ProvinceWindow(this).choose(package, room, choice);
    };
    // The logic may end the window from inside one of its own handlers: the
    // window goes once that handler has returned.
    hooks.endDialog = [this](int) { QMetaObject::invokeMethod(this, &TessalyWindow::finish, Qt::QueuedConnection); };

    dlg_ = std::make_unique<CTessalyDlg>(host_, std::move(hooks));
    if (!options_.versionUrl.empty()) dlg_->versionLookup().addressOverride = options_.versionUrl;
    if (options_.prepare) options_.prepare(*dlg_);
    if (!dlg_->OnInitDialog()) {
        endLogic();
        return false;
    }
    TextFit::of(this)->apply();
    watchDeviceEvents();
    return true;
}

void TessalyWindow::watchDeviceEvents()
{
    DeviceEventSource* source = systemDiscovery_ ? systemDiscovery_->eventSource() : nullptr;
    const int fd = DeviceEvents_fd(source);
    if (fd < 0) return;
    deviceNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(deviceNotifier_, &QSocketNotifier::activated, this, &TessalyWindow::readDeviceEvents);
}

void TessalyWindow::readDeviceEvents()
{
    if (!dlg_ || !systemDiscovery_) return;
    std::vector<DeviceEvent> events;
    if (DeviceEvents_read(systemDiscovery_->eventSource(), &events) < 0) {
        // A source that failed would wake the loop for ever.
        deviceNotifier_->setEnabled(false);
        return;
    }
    for (const DeviceEvent& event : events)
        if (dlg_) dlg_->OnDeviceChange(event);
}

ShadeButton* TessalyWindow::button(int id) const
{
    switch (id) {
    case IDC_OPEN: return open_;
    case IDC_SEND: return send_;
    case IDC_CONFIGURE: return configure_;
    case IDC_CLOSE: return close_;
    default: return nullptr;
    }
}

void TessalyWindow::endLogic()
{
    if (ending_) return;
    ending_ = true;
    if (deviceNotifier_) deviceNotifier_->setEnabled(false);
    // The logic's destructor waits (bounded) for a running update, whose
    // messages then no longer reach this window.
    dlg_.reset();
    systemDiscovery_.reset();
}

void TessalyWindow::finish()
{
    endLogic();
    close();
}

void TessalyWindow::closeEvent(QCloseEvent* event)
{
    hide();
    endLogic();
    event->accept();
    emit finished();
}

void TessalyWindow::activateFromOutside()
{
    // Shown normally, lifted above the other windows for a moment, then
    // given the input, as a second copy asks.
    showNormal();
    raise();
    activateWindow();
}

void TessalyWindow::runService(unsigned command)
{
    if (dlg_) dlg_->windowProc(WM_SYSCOMMAND, command, 0);
}

void TessalyWindow::dragEnterEvent(QDragEnterEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.first().isLocalFile()) event->acceptProposedAction();
}

void TessalyWindow::dropEvent(QDropEvent* event)
{
    dropFiles(event->mimeData()->urls());
    event->acceptProposedAction();
}

void TessalyWindow::dropFiles(const QList<QUrl>& urls)
{
    // Only the first file counts, as on the desktop the window was made for.
    if (urls.isEmpty() || !urls.first().isLocalFile() || !dlg_) return;
    const std::string path = host_.nativePath(urls.first().toLocalFile());
    dlg_->OnDropFiles(path.c_str());
}

void TessalyWindow::showHeaderMenu(const QPoint& at)
{
    // Without a system menu, the version line and the about box live here.
    QMenu menu(this);
    if (dlg_) {
        QAction* version = menu.addAction(QtDialogHost::fromGbk(dlg_->SystemMenuText()));
        Q_UNUSED(version); // shows the version; choosing it does nothing
    }
    QAction* about = menu.addAction(QtDialogHost::fromGbk("\xB9\xD8\xD3\xDA" /* 关于 */) + QStringLiteral("..."));
    connect(about, &QAction::triggered, this, [this] {
        if (dlg_) dlg_->windowProc(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    });
    menu.exec(header_->mapToGlobal(at));
}

void TessalyWindow::showAbout() { TessalyWindow_showAboutBox(this); }

void TessalyWindow_showAboutBox(QWidget* parent)
{
    const QFont font = dialogFont();
    const QSize base = TessalyWindow::baseUnits(font);
    const QString name = QtDialogHost::fromGbk(kTessalyAppTitle);
    QDialog box(parent);
    box.setFont(font);
    // One text, so that a translation spaces its words as the language needs.
    box.setWindowTitle(QtDialogHost::fromGbk(std::string("\xB9\xD8\xD3\xDA" /* 关于 */) + kTessalyAppTitle));
    box.setFixedSize(TessalyWindow::fromDialogUnits(QRect(0, 0, 170, 62), base).size());
    auto* icon = new QLabel(&box);
    icon->setPixmap(QIcon(QStringLiteral(":/tessaly/app.png")).pixmap(32, 32));
    icon->setGeometry(TessalyWindow::fromDialogUnits(QRect(14, 14, 21, 20), base));
    auto* line1 = new QLabel(name + QStringLiteral(" ") + QString::fromLatin1(ZR_RELEASE_VERSION), &box);
    line1->setGeometry(TessalyWindow::fromDialogUnits(QRect(42, 14, 114, 8), base));
    auto* line2 = new QLabel(QStringLiteral("Tessaly, tool %1").arg(ZR_TOOL_NUMBER), &box);
    line2->setGeometry(TessalyWindow::fromDialogUnits(QRect(42, 26, 114, 8), base));
    // The language the texts are shown in, named in itself.
    auto* language = new QLabel(QString::fromUtf8(Tr_languageName(Tr_language())), &box);
    language->setObjectName(QStringLiteral("language"));
    language->setGeometry(TessalyWindow::fromDialogUnits(QRect(42, 38, 70, 8), base));
    auto* ok = new QPushButton(QtDialogHost::fromGbk("\xC8\xB7\xB6\xA8" /* 确定 */), &box);
    ok->setGeometry(TessalyWindow::fromDialogUnits(QRect(114, 35, 50, 14), base));
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &box, &QDialog::accept);
    TextFit::install(&box)->apply();
    box.exec();
}
