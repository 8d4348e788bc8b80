// CConfigDialog: the device settings dialog (template 141), free of any
// toolkit. It edits copies of the device's settings image and network block:
// the radar bands (check boxes made at run time, two columns), band numbers
// on the display, miles, time zone, day-brightness hours and, in builds for
// the client with the carrier list, the modem's network settings. Nothing
// reaches the device here; the caller writes the copies back after IDOK.
//
// Showing it: Run() hands the dialog to the runner, which makes a window
// with the controls of kConfigTemplate and a DialogHost over it, then
//   dialog.OnInitDialog(host);
//   ... delivers the user's actions on the window thread:
//       dialog.windowProc(WM_COMMAND, 1, 0)                     "确定"
//       dialog.windowProc(WM_COMMAND, 2, 0)  (also for closing)  "取消"
//       dialog.windowProc(WM_COMMAND, 1043 | CONFIG_CBN_SELCHANGE << 16, 0)
//   ... until the dialog calls host.endDialog(result);
// and gives that result back. Run() drops the band boxes' bookkeeping when
// the runner returns; the runner disposes of its window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common_k52/machine.h"
#include "common_k52/settings_view.h"
#include "ui/carrier_presets.h"
#include "ui/dialog_host.h"

// Controls of template 141 (besides 1 "确定" and 2 "取消").
enum : int {
    IDC_CFG_BAND_BASE = 100,        // band box i has the id 100 + i
    IDC_CFG_FIRST_COLUMN = 1013,    // hidden; where the first column of band boxes starts
    IDC_CFG_SECOND_COLUMN = 1014,   // hidden; where the second column starts
    IDC_CFG_TIME_ZONE_LABEL = 1026,
    IDC_CFG_START_LABEL = 1027,
    IDC_CFG_START_HOUR = 1028,
    IDC_CFG_END_LABEL = 1029,
    IDC_CFG_END_HOUR = 1030,
    IDC_CFG_CLOCK12 = 1033,         // never shown
    IDC_CFG_SHOW_NUMBER = 1034,
    IDC_CFG_MILES = 1035,
    IDC_CFG_CARRIER = 1043,
    IDC_CFG_SERVER = 1044,
    IDC_CFG_PORT = 1045,
    IDC_CFG_CARRIER_LABEL = 1046,
    IDC_CFG_SERVER_LABEL = 1047,
    IDC_CFG_PORT_LABEL = 1048,
    IDC_CFG_PASSWORD_LABEL = 1049,
    IDC_CFG_USER_LABEL = 1050,
    // 1051 user, 1052 password and 1054 access point: ui/carrier_presets.h
    IDC_CFG_APN_LABEL = 1053,
    IDC_CFG_TIME_ZONE = 1055,
};

// The notification code of a changed combo-box selection (high word of
// WM_COMMAND's wParam).
inline constexpr unsigned CONFIG_CBN_SELCHANGE = 1;

// Template 141, for the hosts that draw it.
enum ConfigControlKind : int {
    CFG_DEFAULT_BUTTON,
    CFG_BUTTON,
    CFG_CHECKBOX,
    CFG_STATIC,
    CFG_STATIC_RIGHT,
    CFG_COMBO_EDIT,   // drop-down with an edit field
    CFG_COMBO_LIST,   // drop-down list
    CFG_EDIT,
    CFG_EDIT_PASSWORD,
    CFG_EDIT_DIGITS,
};
struct ConfigTemplateControl {
    int id;
    ConfigControlKind kind;
    HostRect rect;     // dialog units
    const char* text;  // GBK
    bool hidden;
};
inline constexpr int kConfigDialogWidth = 405;  // dialog units, font "MS Shell Dlg" 8 points
inline constexpr int kConfigDialogHeight = 219;
extern const ConfigTemplateControl kConfigTemplate[];
extern const size_t kConfigTemplateCount;

// A band box's place: column 0 or 1, row within the column, in dialog units.
// The rows of a column are 15 pixels apart (9 units at the dialog font's
// standard base units).
HostRect ConfigDialog_bandRect(int column, int row);

class CConfigDialog {
public:
    using ModalRunner = std::function<int(CConfigDialog& dialog)>;

    explicit CConfigDialog(ModalRunner runner = {}) : runner_(std::move(runner)) {}
    CConfigDialog(const CConfigDialog&) = delete;
    CConfigDialog& operator=(const CConfigDialog&) = delete;

    void setRunner(ModalRunner runner) { runner_ = std::move(runner); }

    // Shows the dialog over the copies (owned by the caller). 2 (IDCANCEL)
    // without an image or a runner; otherwise the runner's result, HOST_IDOK
    // after a confirmation.
    int Run(const std::string& title, int32_t bootVersion, int32_t layoutVersion, const ZR_InfoBlock* info,
            ZR_NetBlock* net, ZR_SettingsImage* image);

    // The runner's side (window thread).
    void OnInitDialog(DialogHost& host);
    intptr_t windowProc(unsigned message, uintptr_t wParam, intptr_t lParam);
    void OnConfirm();
    void OnCancel();
    void OnCarrierChange();

    // The build client name deciding the carrier list; "" the build's own.
    std::string clientName;

    // What the showing offers, for hosts and tests.
    int bandCount() const { return int(bandIds_.size()); }
    bool networkOffered() const { return networkOffered_; }
    int carrierCount() const { return carrierCount_; }

private:
    void InitNetwork();
    void InitBands();
    bool exchangeHours();
    bool StoreNetwork();
    void StoreSettings();
    void endDialog(int result);
    void show(int id, bool visible);
    std::string deviceText(ZR_NetField field) const;

    ModalRunner runner_;
    DialogHost* host_ = nullptr;

    std::string title_;
    int32_t bootVersion_ = 0;
    int32_t layoutVersion_ = -1;
    ZR_SettingsImage* image_ = nullptr;
    const ZR_InfoBlock* info_ = nullptr;
    ZR_NetBlock* net_ = nullptr;
    ZR_SettingsView view_{};  // the copies as the showing began, for reading

    int startHour_ = 0;
    int endHour_ = 0;
    std::vector<int> bandIds_;
    const CarrierPreset* carriers_ = nullptr;
    int carrierCount_ = 0;

    // What the showing made visible; only these store.
    bool networkOffered_ = false;
    bool showNumberShown_ = false;
    bool milesShown_ = false;
    bool timeZoneShown_ = false;
    bool startShown_ = false;
    bool endShown_ = false;
};

// Texts shared with the main window's configure action, GBK.
extern const char* const kConfigTitleText;  // "配置"
