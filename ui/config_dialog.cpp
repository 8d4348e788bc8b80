#include "ui/config_dialog.h"

#include <cstdio>
#include <cstring>

#include "common_k52/client_table.h"
#include "platform/translate_marks.h"
#include "common_k52/machine_blocks.h"

const char* const kConfigTitleText = "\xC5\xE4\xD6\xC3"; /* 配置 */

namespace {

constexpr unsigned kWmCommand = 0x0111;
constexpr unsigned kWmClose = 0x0010;

const char* const kAppTitle = "\xCA\xFD\xBE\xDD\xB8\xFC\xD0\xC2\xB7\xFE\xCE\xF1"; /* 数据更新服务 */

// Texts set at initialisation.
const char* const kTimeZoneText = "\xCA\xB1\xC7\xF8"; /* 时区 */
const char* const kStartText =
    "\xB0\xD7\xCC\xEC\xC1\xC1\xB6\xC8\xBF\xAA\xCA\xBC\xCA\xB1\xBC\xE4(3~10)"; /* 白天亮度开始时间(3~10) */
const char* const kEndText =
    "\xB0\xD7\xCC\xEC\xC1\xC1\xB6\xC8\xBD\xE1\xCA\xF8\xCA\xB1\xBC\xE4(15~23)"; /* 白天亮度结束时间(15~23) */
const char* const kShowNumberText = "\xCA\xC7\xB7\xF1\xCF\xD4\xCA\xBE\xC6\xB5\xB5\xE3";  /* 是否显示频点 */
const char* const kClock12Text = "12\xD0\xA1\xCA\xB1\xD6\xC6";                           /* 12小时制 */
const char* const kMilesText = "\xCB\xD9\xB6\xC8\xB5\xA5\xCE\xBB\xD3\xA2\xC0\xEF\xC3\xBF\xD0\xA1\xCA\xB1"; /* 速度单位英里每小时 */
const char* const kOkText = "\xC8\xB7\xB6\xA8";      /* 确定 */
const char* const kCancelText = "\xC8\xA1\xCF\xFB";  /* 取消 */
const char* const kProgramVersionText = "     \xB3\xCC\xD0\xF2\xB0\xE6\xB1\xBE\xA3\xBA"; /*      程序版本： */

// The data exchange's prompt for an edit that must hold an integer.
const char* const kEnterIntegerText = "\xC7\xEB\xCA\xE4\xC8\xEB\xD2\xBB\xB8\xF6\xD5\xFB\xCA\xFD\xA1\xA3"; /* 请输入一个整数。 */

// Refusals of the network texts.
const char* const kApnErrorText = "APN\xC9\xE8\xD6\xC3\xB3\xF6\xB4\xED\xA3\xA1";      /* APN设置出错！ */
const char* const kUserErrorText = "\xD3\xC3\xBB\xA7\xC3\xFB\xB3\xF6\xB4\xED\xA3\xA1";  /* 用户名出错！ */
const char* const kPasswordErrorText = "\xC3\xDC\xC2\xEB\xB3\xF6\xB4\xED\xA3\xA1";      /* 密码出错！ */
const char* const kServerErrorText = "\xB7\xFE\xCE\xF1\xC6\xF7\xB3\xF6\xB4\xED\xA3\xA1"; /* 服务器出错！ */
const char* const kPortErrorText = "\xB6\xCB\xBF\xDA\xB3\xF6\xB4\xED\xA3\xA1";          /* 端口出错！ */

// The client whose builds offer the carrier list (a prefix of the build client).
constexpr char kCarrierClient[] = "Halcyon Path";

constexpr int kNetworkControls[] = {IDC_CFG_CARRIER_LABEL, IDC_CFG_CARRIER,       IDC_CFG_APN_LABEL,
                                    IDC_CFG_APN,           IDC_CFG_USER_LABEL,    IDC_CFG_USER,
                                    IDC_CFG_PASSWORD_LABEL, IDC_CFG_PASSWORD,     IDC_CFG_SERVER_LABEL,
                                    IDC_CFG_SERVER,        IDC_CFG_PORT_LABEL,    IDC_CFG_PORT};

constexpr int kBandRowGap = 9;  // 15 pixels at 13 pixels per 8 vertical units

bool layout12(int32_t layout) { return layout == 1 || layout == 2; }

// A text field of the image or the network block, as the device stores it.
struct TextField {
    size_t offset;  // in the payload (layout 3) or the network block
    size_t width;   // bytes, terminator included
};

TextField layout3Field(ZR_NetField field)
{
    switch (field) {
    case ZR_NETFIELD_APN: return {ZR_S3_APN, 28};
    case ZR_NETFIELD_SERVER: return {ZR_S3_SERVER, 20};
    case ZR_NETFIELD_PORT: return {ZR_S3_PORT, 7};
    case ZR_NETFIELD_USER: return {ZR_S3_USER, 28};
    case ZR_NETFIELD_PASSWORD: return {ZR_S3_PASSWORD, 28};
    }
    return {0, 0};
}

TextField netBlockField(ZR_NetField field)
{
    switch (field) {
    case ZR_NETFIELD_APN: return {ZR_NET_APN, ZR_NET_TEXT_WIDTH};
    case ZR_NETFIELD_SERVER: return {ZR_NET_SERVER, ZR_NET_SERVER_WIDTH};
    case ZR_NETFIELD_USER: return {ZR_NET_USER, ZR_NET_TEXT_WIDTH};
    case ZR_NETFIELD_PASSWORD: return {ZR_NET_PASSWORD, ZR_NET_TEXT_WIDTH};
    case ZR_NETFIELD_PORT: break;
    }
    return {0, 0};
}

// Up to the NUL and never beyond the field.
std::string readField(const uint8_t* base, TextField f)
{
    const char* at = reinterpret_cast<const char*>(base + f.offset);
    return std::string(at, strnlen(at, f.width));
}

// Cleared, then filled; always ends with a NUL.
void writeField(uint8_t* base, TextField f, const std::string& text)
{
    std::memset(base + f.offset, 0, f.width);
    std::memcpy(base + f.offset, text.data(), std::min(text.size(), f.width - 1));
}

// A signed decimal number as the C library reads one: leading blanks, one
// sign, digits up to the first other character; no digits give 0. Clamped
// instead of overflowing.
long long leadingNumber(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        if (value < 100000000000LL) value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

// The whole text as an integer, as the data exchange accepts one: leading
// blanks, one sign, digits, nothing after; within 32 bits.
bool wholeInteger(const std::string& text, int* out)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) return false;
    }
    if (negative) value = -value;
    if (value > 2147483647LL) return false;
    *out = int(value);
    return true;
}

} // namespace

const ConfigTemplateControl kConfigTemplate[] = {
    {1, CFG_DEFAULT_BUTTON, {71, 189, 69, 23}, "\xC8\xB7\xB6\xA8" /* 确定 */, false},
    {2, CFG_BUTTON, {266, 190, 69, 22}, "\xC8\xA1\xCF\xFB" /* 取消 */, false},
    {IDC_CFG_FIRST_COLUMN, CFG_CHECKBOX, {7, 7, 122, 10}, "X\xC6\xB5\xB6\xCE" /* X频段 */, true},
    {IDC_CFG_SECOND_COLUMN, CFG_CHECKBOX, {136, 7, 122, 10}, "K1", true},
    {IDC_CFG_TIME_ZONE_LABEL, CFG_STATIC_RIGHT, {264, 4, 98, 14}, "\xCA\xB1\xC7\xF8 -12~13" /* 时区 -12~13 */, false},
    {IDC_CFG_TIME_ZONE, CFG_COMBO_EDIT, {366, 7, 32, 30}, "", false},
    {IDC_CFG_START_LABEL, CFG_STATIC, {264, 30, 98, 23},
     "\xB0\xD7\xCC\xEC\xC1\xC1\xB6\xC8\xBF\xAA\xCA\xBC\xCA\xB1\xBC\xE4 3~10" /* 白天亮度开始时间 3~10 */, false},
    {IDC_CFG_START_HOUR, CFG_EDIT, {366, 30, 32, 14}, "", false},
    {IDC_CFG_END_LABEL, CFG_STATIC, {264, 57, 98, 23},
     "\xB0\xD7\xCC\xEC\xC1\xC1\xB6\xC8\xBD\xE1\xCA\xF8 15~23" /* 白天亮度结束 15~23 */, false},
    {IDC_CFG_END_HOUR, CFG_EDIT, {366, 57, 32, 14}, "", false},
    {IDC_CFG_SHOW_NUMBER, CFG_CHECKBOX, {7, 175, 142, 10}, "SHOW_NUMBER", false},
    {IDC_CFG_CLOCK12, CFG_CHECKBOX, {159, 175, 113, 10}, "12\xD0\xA1\xCA\xB1\xD6\xC6" /* 12小时制 */, true},
    {IDC_CFG_MILES, CFG_CHECKBOX, {307, 175, 91, 10},
     "\xCA\xC7\xB7\xF1\xCE\xAA\xD3\xA2\xC0\xEF\xC4\xA3\xCA\xBD" /* 是否为英里模式 */, true},
    {IDC_CFG_CARRIER_LABEL, CFG_STATIC, {245, 80, 31, 8}, N_("Company"), false},
    {IDC_CFG_CARRIER, CFG_COMBO_LIST, {278, 78, 120, 201}, "", false},
    {IDC_CFG_APN_LABEL, CFG_STATIC, {256, 98, 14, 8}, "APN", false},
    {IDC_CFG_APN, CFG_EDIT, {277, 94, 121, 14}, "", false},
    {IDC_CFG_USER_LABEL, CFG_STATIC, {260, 116, 16, 8}, N_("User"), false},
    {IDC_CFG_USER, CFG_EDIT, {277, 113, 121, 14}, "", false},
    {IDC_CFG_PASSWORD_LABEL, CFG_STATIC, {260, 136, 14, 8}, N_("Psw"), false},
    {IDC_CFG_PASSWORD, CFG_EDIT_PASSWORD, {277, 133, 121, 14}, "", false},
    {IDC_CFG_SERVER_LABEL, CFG_STATIC, {218, 157, 22, 8}, N_("Server"), false},
    {IDC_CFG_SERVER, CFG_EDIT, {245, 155, 83, 14}, "", false},
    {IDC_CFG_PORT_LABEL, CFG_STATIC, {334, 157, 14, 8}, N_("Port"), false},
    {IDC_CFG_PORT, CFG_EDIT_DIGITS, {355, 155, 43, 14}, "", false},
};
const size_t kConfigTemplateCount = sizeof kConfigTemplate / sizeof kConfigTemplate[0];

HostRect ConfigDialog_bandRect(int column, int row)
{
    const HostRect& first = kConfigTemplate[column == 0 ? 2 : 3].rect;
    return {first.left, first.top + row * (first.height + kBandRowGap), first.width, first.height};
}

// ---------------------------------------------------------------------------

int CConfigDialog::Run(const std::string& title, int32_t bootVersion, int32_t layoutVersion, const ZR_InfoBlock* info,
                       ZR_NetBlock* net, ZR_SettingsImage* image)
{
    if (!image || !runner_) return HOST_IDCANCEL;
    title_ = title;
    bootVersion_ = bootVersion;
    layoutVersion_ = layoutVersion;
    info_ = info;
    net_ = net;
    image_ = image;
    int result = runner_(*this);
    host_ = nullptr;
    bandIds_.clear();
    image_ = nullptr;
    net_ = nullptr;
    info_ = nullptr;
    return result;
}

void CConfigDialog::OnInitDialog(DialogHost& host)
{
    // A host shown again keeps the boxes of the last showing: drop them first.
    if (host_ == &host)
        for (int id : bandIds_) host.destroyControl(id);
    bandIds_.clear();
    host_ = &host;

    view_ = {};
    view_.layoutVersion = layoutVersion_;
    if (image_) view_.image = *image_;
    if (net_) view_.net = *net_;

    char board[5] = {};
    uint32_t programVersion = 0;
    if (info_) {
        std::memcpy(board, info_->bytes + ZR_INFO_BOARD_NAME, 4);
        programVersion = ZR_Info_u32(*info_, ZR_INFO_PROGRAM_VERSION);
    }
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%14s%s    Boot:%d%s%d", "", board, int(bootVersion_), kProgramVersionText,
                  int(programVersion));
    std::string title = title_;
    title.append(numbers);
    host.setTitle(title);

    InitNetwork();
    InitBands();

    host.setText(IDC_CFG_START_HOUR, std::to_string(startHour_));
    host.setText(IDC_CFG_END_HOUR, std::to_string(endHour_));

    host.setText(IDC_CFG_SHOW_NUMBER, kShowNumberText);
    host.setText(IDC_CFG_CLOCK12, kClock12Text);
    host.setText(IDC_CFG_MILES, kMilesText);
    host.setText(IDC_CFG_TIME_ZONE_LABEL, kTimeZoneText);
    host.setText(IDC_CFG_START_LABEL, kStartText);
    host.setText(IDC_CFG_END_LABEL, kEndText);
    host.setText(HOST_IDOK, kOkText);
    host.setText(HOST_IDCANCEL, kCancelText);
}

void CConfigDialog::show(int id, bool visible) { host_->setVisible(id, visible); }

void CConfigDialog::InitBands()
{
    show(IDC_CFG_FIRST_COLUMN, false);
    show(IDC_CFG_SECOND_COLUMN, false);

    int count = ZR_SettingsView_bandCount(&view_);
    int firstColumn = layout12(layoutVersion_) ? 6 : 7;
    for (int i = 0; i < count; ++i) {
        ZR_Band band;
        ZR_SettingsView_band(&view_, i, &band);
        int column = i < firstColumn ? 0 : 1;
        int row = column == 0 ? i : i - firstColumn;
        int id = IDC_CFG_BAND_BASE + i;
        host_->createControl(id, HOST_CONTROL_CHECKBOX, ConfigDialog_bandRect(column, row), band.label);
        host_->setChecked(id, ZR_SettingsView_bandEnabled(&view_, i));
        bandIds_.push_back(id);
    }

    showNumberShown_ = ZR_SettingsView_hasShowNumber(&view_);
    show(IDC_CFG_SHOW_NUMBER, showNumberShown_);
    if (showNumberShown_) host_->setChecked(IDC_CFG_SHOW_NUMBER, ZR_SettingsView_showNumber(&view_));

    show(IDC_CFG_CLOCK12, false);

    milesShown_ = ZR_SettingsView_hasMiles(&view_);
    show(IDC_CFG_MILES, milesShown_);
    if (milesShown_) host_->setChecked(IDC_CFG_MILES, ZR_SettingsView_miles(&view_));

    host_->comboClear(IDC_CFG_TIME_ZONE);
    for (int zone = ZR_TIME_ZONE_MIN; zone <= ZR_TIME_ZONE_MAX; ++zone)
        host_->comboAdd(IDC_CFG_TIME_ZONE, std::to_string(zone));
    timeZoneShown_ = ZR_SettingsView_hasTimeZone(&view_);
    if (timeZoneShown_) host_->setText(IDC_CFG_TIME_ZONE, std::to_string(ZR_SettingsView_timeZone(&view_)));
    show(IDC_CFG_TIME_ZONE_LABEL, timeZoneShown_);
    show(IDC_CFG_TIME_ZONE, timeZoneShown_);

    startHour_ = ZR_SettingsView_brightStartHour(&view_);
    endHour_ = ZR_SettingsView_brightEndHour(&view_);
    startShown_ = startHour_ >= 0;
    endShown_ = endHour_ >= 0;
    show(IDC_CFG_START_LABEL, startShown_);
    show(IDC_CFG_START_HOUR, startShown_);
    show(IDC_CFG_END_LABEL, endShown_);
    show(IDC_CFG_END_HOUR, endShown_);
}

std::string CConfigDialog::deviceText(ZR_NetField field) const
{
    if (layoutVersion_ == 3) return readField(ZR_Settings_payload(view_.image), layout3Field(field));
    if (field == ZR_NETFIELD_PORT) return std::to_string(int32_t(ZR_Net_u32(view_.net, ZR_NET_PORT)));
    return readField(view_.net.bytes, netBlockField(field));
}

void CConfigDialog::InitNetwork()
{
    const char* client = clientName.empty() ? ZR_buildClientName() : clientName.c_str();
    bool listInUse = std::strncmp(client, kCarrierClient, sizeof kCarrierClient - 1) == 0;
    carriers_ = listInUse ? CarrierPresetTable : nullptr;
    carrierCount_ = listInUse ? CARRIER_PRESET_COUNT : 0;

    networkOffered_ = carrierCount_ > 0 && (layoutVersion_ == 3 || (net_ && ZR_Net_valid(view_.net)));
    if (!networkOffered_) {
        for (int id : kNetworkControls) show(id, false);
        return;
    }

    host_->comboClear(IDC_CFG_CARRIER);
    for (int i = 0; i < carrierCount_; ++i) host_->comboAdd(IDC_CFG_CARRIER, carriers_[i].name);

    // A device whose access point belongs to no listed carrier keeps its own
    // texts under "Others"; taking the first carrier's instead would replace
    // the user's modem settings on any confirmation.
    std::string apn = deviceText(ZR_NETFIELD_APN);
    int choice = CarrierPreset_find(carriers_, carrierCount_, apn.c_str());
    if (choice < 0 || carriers_[choice].accessPoint[0] == '\0') {
        host_->setComboSelection(IDC_CFG_CARRIER, CARRIER_OTHERS);
        CarrierPreset_applyOwn(*host_, apn, deviceText(ZR_NETFIELD_USER), deviceText(ZR_NETFIELD_PASSWORD));
    } else {
        host_->setComboSelection(IDC_CFG_CARRIER, choice);
        OnCarrierChange();
    }

    host_->setText(IDC_CFG_SERVER, deviceText(ZR_NETFIELD_SERVER));
    host_->setText(IDC_CFG_PORT, deviceText(ZR_NETFIELD_PORT));
    host_->setEnabled(IDC_CFG_SERVER, layoutVersion_ == 3);
    host_->setEnabled(IDC_CFG_PORT, layoutVersion_ == 3);
}

void CConfigDialog::OnCarrierChange()
{
    if (!host_ || !carriers_) return;
    int index = host_->comboSelection(IDC_CFG_CARRIER);
    if (index < 0 || index >= carrierCount_) return;
    CarrierPreset_apply(*host_, carriers_[index]);
}

intptr_t CConfigDialog::windowProc(unsigned message, uintptr_t wParam, intptr_t)
{
    if (!host_) return 0;
    if (message == kWmClose) {
        OnCancel();
    } else if (message == kWmCommand) {
        int id = int(wParam & 0xFFFF);
        unsigned code = unsigned(wParam >> 16) & 0xFFFF;
        if (id == HOST_IDOK) OnConfirm();
        else if (id == HOST_IDCANCEL) OnCancel();
        else if (id == IDC_CFG_CARRIER && code == CONFIG_CBN_SELCHANGE) OnCarrierChange();
    }
    return 0;
}

void CConfigDialog::endDialog(int result)
{
    if (host_) host_->endDialog(result);
}

void CConfigDialog::OnCancel() { endDialog(HOST_IDCANCEL); }

bool CConfigDialog::exchangeHours()
{
    for (auto [id, hour] : {std::pair{IDC_CFG_START_HOUR, &startHour_}, std::pair{IDC_CFG_END_HOUR, &endHour_}}) {
        int value = 0;
        if (!wholeInteger(host_->text(id), &value)) {
            host_->messageBox(kEnterIntegerText, kAppTitle, HOST_MB_OK | HOST_MB_ICONWARNING);
            host_->setFocus(id);
            return false;
        }
        *hour = value;
    }
    return true;
}

void CConfigDialog::OnConfirm()
{
    if (!host_ || !image_) return;
    if (!exchangeHours()) return;
    if (networkOffered_ && !StoreNetwork()) return;
    StoreSettings();
    endDialog(HOST_IDOK);
}

bool CConfigDialog::StoreNetwork()
{
    const bool inImage = layoutVersion_ == 3;
    const size_t textLimit = inImage ? 27 : 49;
    struct Check {
        int id;
        ZR_NetField field;
        size_t limit;
        const char* message;
    };
    const Check checks[] = {
        {IDC_CFG_APN, ZR_NETFIELD_APN, textLimit, kApnErrorText},
        {IDC_CFG_USER, ZR_NETFIELD_USER, textLimit, kUserErrorText},
        {IDC_CFG_PASSWORD, ZR_NETFIELD_PASSWORD, textLimit, kPasswordErrorText},
        {IDC_CFG_SERVER, ZR_NETFIELD_SERVER, 19, kServerErrorText},
        {IDC_CFG_PORT, ZR_NETFIELD_PORT, 6, kPortErrorText},
    };
    std::string texts[5];
    for (size_t i = 0; i < 5; ++i) {
        texts[i] = host_->text(checks[i].id);
        if (texts[i].size() > checks[i].limit) {
            host_->messageBox(checks[i].message, kAppTitle, HOST_MB_OK);
            return false;
        }
    }
    for (size_t i = 0; i < 5; ++i) {
        ZR_NetField field = checks[i].field;
        if (inImage) {
            writeField(ZR_Settings_payload(*image_), layout3Field(field), texts[i]);
        } else if (!net_) {
            continue;
        } else if (field == ZR_NETFIELD_PORT) {
            ZR_Net_setU32(*net_, ZR_NET_PORT, uint32_t(int32_t(leadingNumber(texts[i]))));
        } else {
            writeField(net_->bytes, netBlockField(field), texts[i]);
        }
    }
    return true;
}

void CConfigDialog::StoreSettings()
{
    uint8_t* p = ZR_Settings_payload(*image_);
    const bool classic = layout12(layoutVersion_);
    const size_t enableAt = classic ? ZR_S12_BAND_ENABLE : ZR_S35_BAND_ENABLE;
    for (size_t i = 0; i < bandIds_.size(); ++i) p[enableAt + i] = host_->isChecked(bandIds_[i]) ? 1 : 0;

    auto setBit = [](uint8_t& byte, uint8_t mask, bool on) { byte = uint8_t(on ? byte | mask : byte & ~mask); };
    if (showNumberShown_)
        setBit(p[classic ? ZR_S12_CLOCK_FLAGS : ZR_S35_CLOCK_FLAGS], ZR_CLOCK_SHOW_NUMBER,
               host_->isChecked(IDC_CFG_SHOW_NUMBER));
    if (milesShown_) setBit(p[ZR_S35_MILES_FLAGS], ZR_MILES, host_->isChecked(IDC_CFG_MILES));

    if (timeZoneShown_) {
        uint8_t& zone = p[classic ? ZR_S12_TIME_ZONE : ZR_S35_TIME_ZONE];
        auto value = uint8_t(leadingNumber(host_->text(IDC_CFG_TIME_ZONE)) & 0xFF);
        zone = layoutVersion_ == 5 ? uint8_t((zone & 0xE0) | (value & 0x1F)) : value;
    }
    if (startShown_) p[classic ? ZR_S12_BRIGHT_START : ZR_S35_BRIGHT_START] = uint8_t(startHour_ & 0xFF);
    if (endShown_) p[classic ? ZR_S12_BRIGHT_END : ZR_S35_BRIGHT_END] = uint8_t(endHour_ & 0xFF);
}
