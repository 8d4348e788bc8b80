#include "ui/province_model.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

const char* const kProvinceCaption = "\xCA\xA1\xB7\xDD\xD1\xA1\xD4\xF1"; /* 省份选择 */
const char* const kProvinceTooLargeText =
    "\xD1\xA1\xD4\xF1\xB5\xC4\xCA\xA1\xB7\xDD\xCA\xFD\xBE\xDD\xD2\xD1\xB3\xAC\xB9\xFD"
    "\xC9\xE8\xB1\xB8\xBF\xC9\xB1\xA3\xB4\xE6\xB4\xF3\xD0\xA1\xA1\xA3"; /* 选择的省份数据已超过设备可保存大小。 */
const char* const kProvinceNoneChosenText =
    "\xD6\xC1\xC9\xD9\xD0\xE8\xD1\xA1\xD4\xF1\xD2\xBB\xB8\xF6\xCA\xA1\xCA\xFD\xBE\xDD\xA3\xA1"; /* 至少需选择一个省数据！ */

namespace {

// "分省数据包，最多可储存（" ... "K)数据，超过无法升级，请在地图上勾选。已勾选(" ... "K)。"
const char* const kStatusHead =
    "\xB7\xD6\xCA\xA1\xCA\xFD\xBE\xDD\xB0\xFC\xA3\xAC\xD7\xEE\xB6\xE0\xBF\xC9\xB4\xA2\xB4\xE6\xA3\xA8"; /* 分省数据包，最多可储存（ */
const char* const kStatusMiddle =
    "K)\xCA\xFD\xBE\xDD\xA3\xAC\xB3\xAC\xB9\xFD\xCE\xDE\xB7\xA8\xC9\xFD\xBC\xB6\xA3\xAC"
    "\xC7\xEB\xD4\xDA\xB5\xD8\xCD\xBC\xC9\xCF\xB9\xB4\xD1\xA1\xA1\xA3\xD2\xD1\xB9\xB4\xD1\xA1("; /* K)数据，超过无法升级，请在地图上勾选。已勾选( */
const char* const kStatusTail = "K)\xA1\xA3"; /* K)。 */

char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Entry names come from the package: at most their field, not necessarily
// terminated within it.
bool sameName(const char* entryName, size_t entryField, const char* tableName)
{
    size_t i = 0;
    for (; i < entryField && i < PROVINCE_NAME_FIELD; ++i) {
        char a = entryName[i], b = tableName[i];
        if (foldAscii(a) != foldAscii(b)) return false;
        if (a == 0) return true;
    }
    // One name ran out of its field: equal only when the other ends here too.
    return (i >= entryField || entryName[i] == 0) && (i >= PROVINCE_NAME_FIELD || tableName[i] == 0);
}

uint64_t kib(uint64_t bytes) { return bytes / 1024; }

} // namespace

uint32_t Province_size(const ZR_Package* package, int position)
{
    if (!package || position < 0 || position >= PROVINCE_COUNT) return 0;
    const ZR_ProvinceSlot& slot = package->gpsProvinceRecords;
    if (!slot.entries) return 0;
    for (uint32_t e = 0; e < slot.count; ++e) {
        const ZR_ProvinceEntry& entry = slot.entries[e];
        if (sameName(entry.name, sizeof entry.name, ProvinceTable[position])) return entry.count * slot.recordSize;
    }
    return 0;
}

uint64_t Province_selectedSize(const ZR_Package* package, const int checked[PROVINCE_COUNT])
{
    uint64_t total = 0;
    if (!checked) return 0;
    for (int p = 0; p < PROVINCE_COUNT; ++p)
        if (checked[p]) total += Province_size(package, p);
    return total;
}

std::string Province_statusText(uint32_t room, uint64_t selectedSize)
{
    char number[32];
    std::string text = kStatusHead;
    std::snprintf(number, sizeof number, "%" PRIu64, kib(room));
    text += number;
    text += kStatusMiddle;
    std::snprintf(number, sizeof number, "%" PRIu64, kib(selectedSize));
    text += number;
    text += kStatusTail;
    return text;
}

std::string Province_labelText(const char* caption, uint32_t size)
{
    char number[32];
    std::snprintf(number, sizeof number, "%" PRIu64 "K", kib(size));
    return std::string(caption ? caption : "") + number;
}

void ProvinceChoice_begin(ProvinceChoice* choice, const ZR_Package* package, int64_t room)
{
    if (!choice) return;
    *choice = ProvinceChoice{};
    choice->package = package;
    choice->room = room <= 0 ? 0 : room >= int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(room);
}

int ProvinceChoice_set(ProvinceChoice* choice, int position, bool check)
{
    if (!choice || position < 0 || position >= PROVINCE_COUNT) return 0;
    int previous = choice->checked[position];
    choice->checked[position] = check ? 1 : 0;
    if (check && Province_selectedSize(choice->package, choice->checked) > choice->room) {
        choice->checked[position] = previous;
        return 0;
    }
    return 1;
}

void ProvinceChoice_clear(ProvinceChoice* choice)
{
    if (!choice) return;
    std::memset(choice->checked, 0, sizeof choice->checked);
}

int ProvinceChoice_confirm(ProvinceChoice* choice)
{
    if (!choice) return 0;
    choice->accepted = 1;
    int any = 0;
    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        choice->flags[p] = choice->checked[p] ? 1 : 0;
        any |= choice->flags[p];
    }
    // Provinces the package has no records for would write an empty GPS
    // area over the device's map data: such a choice is no choice.
    return any && Province_selectedSize(choice->package, choice->flags) > 0 ? 1 : 0;
}

std::string ProvinceChoice_statusText(const ProvinceChoice* choice)
{
    if (!choice) return Province_statusText(0, 0);
    return Province_statusText(choice->room, Province_selectedSize(choice->package, choice->checked));
}
