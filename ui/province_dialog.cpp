#include "ui/province_dialog.h"

#include <algorithm>
#include <iterator>

#include "core/stream.h"
#include "ui/province_map_data.h"

CDialogProvince::CDialogProvince(DialogHost& host)
    : host_(host), pictureBytes_(kProvinceMapPng), pictureSize_(kProvinceMapPngSize)
{
    ProvinceChoice_begin(&choice_, nullptr, 0);
}

CDialogProvince::~CDialogProvince() { releasePicture(); }

void CDialogProvince::setPackage(const ZR_Package* package, int64_t room)
{
    // Each showing starts with nothing checked; the last confirmation's flags stay.
    const ProvinceChoice last = choice_;
    ProvinceChoice_begin(&choice_, package, room);
    choice_.accepted = last.accepted;
    std::copy(std::begin(last.flags), std::end(last.flags), std::begin(choice_.flags));
}

void CDialogProvince::setPictureBytes(const uint8_t* bytes, size_t size)
{
    pictureBytes_ = bytes;
    pictureSize_ = size;
}

void CDialogProvince::releasePicture()
{
    ZR_Ximage_release(picture_);
    picture_ = nullptr;
}

bool CDialogProvince::OnInitDialog()
{
    releasePicture();
    picture_ = ZR_Ximage_create(ZR_XIMAGE_FORMAT_PNG);
    // A null block would make a growable stream of its own: no bytes, no stream.
    ZR_Stream* stream = pictureBytes_ && pictureSize_ > 0 && pictureSize_ <= UINT32_MAX
                            ? ZR_Stream_openMemory(pictureBytes_, uint32_t(pictureSize_))
                            : nullptr;
    if (!stream || !ZR_Ximage_decode(picture_, stream)) releasePicture();
    ZR_Stream_release(stream);

    host_.setVisible(IDC_PROVINCE_HINT, false);
    host_.setVisible(IDC_PROVINCE_NATIONWIDE, false);
    std::fill(std::begin(choice_.checked), std::end(choice_.checked), 0);
    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        host_.setChecked(Province_boxId(p), false);
        host_.setText(Province_boxId(p), Province_labelText(ProvinceTable[p], Province_size(choice_.package, p)));
    }
    UpdateStatus();
    return true;
}

void CDialogProvince::OnCommand(int id)
{
    if (id == IDC_PROVINCE_CONFIRM)
        OnConfirm();
    else if (id == IDC_PROVINCE_CLEAR)
        OnClear();
    else if (Province_positionOf(id) >= 0)
        OnCheckProvince(id);
}

void CDialogProvince::OnCheckProvince(int id)
{
    const int position = Province_positionOf(id);
    if (position < 0) return;
    if (ProvinceChoice_set(&choice_, position, host_.isChecked(id))) {
        UpdateStatus();
        return;
    }
    host_.setChecked(id, false);
    host_.messageBox(kProvinceTooLargeText, kProvinceCaption, HOST_MB_OK);
}

void CDialogProvince::OnClear()
{
    for (int p = 0; p < PROVINCE_COUNT; ++p) host_.setChecked(Province_boxId(p), false);
    ProvinceChoice_clear(&choice_);
    UpdateStatus();
}

void CDialogProvince::OnConfirm()
{
    if (!ProvinceChoice_confirm(&choice_)) {
        host_.messageBox(kProvinceNoneChosenText, kProvinceCaption, HOST_MB_OK);
        return;
    }
    if (endDialog) endDialog(HOST_IDOK);
}

void CDialogProvince::UpdateStatus() { host_.setText(IDC_PROVINCE_STATUS, ProvinceChoice_statusText(&choice_)); }
