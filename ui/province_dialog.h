// The province map dialog: one check box per province laid over a map, the
// room and the checked size in a status line, "清空" and "确定". The logic
// runs over a DialogHost, so the Qt window and the tests drive the same
// rules; the boxes' places are in ui/province_layout.h.
//
// A host shows it modally: it creates the controls (the boxes unchecked),
// calls setPackage and OnInitDialog, routes every click to OnCommand
// (automatic check boxes toggle before they report), and ends when the
// endDialog hook is called or the user closes the window (a cancel).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/ximage.h"
#include "ui/dialog_host.h"
#include "ui/province_layout.h"
#include "ui/province_model.h"

class CDialogProvince {
public:
    explicit CDialogProvince(DialogHost& host);
    ~CDialogProvince();
    CDialogProvince(const CDialogProvince&) = delete;
    CDialogProvince& operator=(const CDialogProvince&) = delete;

    // The package whose provinces are offered and the bytes left for GPS
    // data (below 0 counts as 0), before each showing.
    void setPackage(const ZR_Package* package, int64_t room);
    // The picture decoded at each showing; the embedded map unless a caller
    // (a test) gives other bytes, which must outlive the dialog.
    void setPictureBytes(const uint8_t* bytes, size_t size);

    // Each showing: decodes the map (none when that fails; the boxes work the
    // same), captions every box with its province's size, renews the status.
    bool OnInitDialog();
    // A click on button or box id. Unknown ids are ignored.
    void OnCommand(int id);
    // The room rule for the box just toggled: a check that would take the
    // selection past the room is undone with a message, all else renews the status.
    void OnCheckProvince(int id);
    void OnClear();
    // Takes the choice; ends the dialog (endDialog(HOST_IDOK)) when it holds
    // GPS records, else says "至少需选择一个省数据！" and stays open.
    void OnConfirm();
    void UpdateStatus();

    // Ends the host's modal loop with HOST_IDOK.
    std::function<void(int result)> endDialog;

    // The map of this showing, or null.
    const ZR_Ximage* picture() const { return picture_; }
    // The choice: flags and accepted as the last confirmation left them.
    const ProvinceChoice& choice() const { return choice_; }

private:
    void releasePicture();

    DialogHost& host_;
    ProvinceChoice choice_;
    ZR_Ximage* picture_ = nullptr;
    const uint8_t* pictureBytes_;
    size_t pictureSize_;
};

// Control id of the box at table position p, and back (-1 for other ids).
inline constexpr int Province_boxId(int position) { return PROVINCE_FIRST_CONTROL + position; }
inline constexpr int Province_positionOf(int id)
{
    return id >= PROVINCE_FIRST_CONTROL && id < PROVINCE_FIRST_CONTROL + PROVINCE_COUNT ? id - PROVINCE_FIRST_CONTROL : -1;
}
