// Where the province dialog's controls sit, in dialog units of its 624 × 342
// template. Plain data: the dialog logic, the Qt window and the map picture's
// generator (which puts a region under every box) all read it from here.
#pragma once

inline constexpr int PROVINCE_DIALOG_WIDTH = 624;
inline constexpr int PROVINCE_DIALOG_HEIGHT = 342;
inline constexpr int PROVINCE_BOX_HEIGHT = 10;

// The map picture is drawn stretched over the whole client area.
inline constexpr int PROVINCE_MAP_WIDTH = 717;
inline constexpr int PROVINCE_MAP_HEIGHT = 593;

// Control ids of the province dialog besides the boxes (2000 + position).
inline constexpr int IDC_PROVINCE_CONFIRM = 1;     // "确定", the default button
inline constexpr int IDC_PROVINCE_STATUS = 1039;   // the room and what is checked
inline constexpr int IDC_PROVINCE_HINT = 1040;     // never shown
inline constexpr int IDC_PROVINCE_NATIONWIDE = 1042; // never shown
inline constexpr int IDC_PROVINCE_CLEAR = 1056;    // "清空"

struct ProvinceUnits {
    int left, top, width, height;
};

// The province boxes in table order (position 0 is 北京, 2000).
inline constexpr ProvinceUnits kProvinceBoxUnits[34] = {
    {461, 125, 57, 10}, /* 北京 */   {539, 204, 56, 10}, /* 上海 */   {475, 136, 54, 10}, /* 天津 */
    {363, 220, 55, 10}, /* 重庆 */   {555, 47, 56, 10},  /* 黑龙江 */ {549, 79, 49, 10},  /* 吉林 */
    {523, 102, 53, 10}, /* 辽宁 */   {358, 124, 73, 10}, /* 内蒙古 */ {444, 145, 54, 10}, /* 河北 */
    {408, 155, 47, 10}, /* 山西 */   {367, 185, 32, 10}, /* 陕西 */   {478, 156, 69, 10}, /* 山东 */
    {119, 102, 68, 10}, /* 新疆 */   {100, 196, 61, 10}, /* 西藏 */   {208, 167, 67, 10}, /* 青海 */
    {320, 177, 61, 10}, /* 甘肃 */   {344, 156, 50, 10}, /* 宁夏 */   {425, 186, 64, 10}, /* 河南 */
    {511, 188, 64, 10}, /* 江苏 */   {413, 211, 60, 10}, /* 湖北 */   {516, 227, 59, 10}, /* 浙江 */
    {476, 206, 60, 10}, /* 安徽 */   {495, 258, 65, 10}, /* 福建 */   {463, 244, 58, 10}, /* 江西 */
    {409, 246, 51, 10}, /* 湖南 */   {349, 258, 57, 10}, /* 贵州 */   {297, 220, 54, 10}, /* 四川 */
    {443, 284, 59, 10}, /* 广东 */   {275, 280, 58, 10}, /* 云南 */   {375, 283, 58, 10}, /* 广西 */
    {396, 328, 62, 10}, /* 海南 */   {459, 299, 56, 10}, /* 香港 */   {444, 308, 68, 10}, /* 澳门 */
    {542, 274, 55, 10}, /* 台湾 */
};

enum class ProvinceControlKind { PushButton, DefaultButton, Static, CheckBox };

struct ProvinceTemplateItem {
    int id;
    ProvinceControlKind kind;
    const char* text; // GBK; empty when set at initialisation
    ProvinceUnits units;
    bool visible;
};

// The other controls of the template.
inline constexpr ProvinceTemplateItem kProvinceTemplate[] = {
    {IDC_PROVINCE_CONFIRM, ProvinceControlKind::DefaultButton, "\xC8\xB7\xB6\xA8" /* 确定 */, {271, 318, 82, 24}, true},
    {IDC_PROVINCE_CLEAR, ProvinceControlKind::PushButton, "\xC7\xE5\xBF\xD5" /* 清空 */, {528, 1, 61, 17}, true},
    {IDC_PROVINCE_STATUS, ProvinceControlKind::Static, "", {7, 6, 373, 11}, true},
    {IDC_PROVINCE_HINT, ProvinceControlKind::Static,
     "\xBD\xA8\xD2\xE9\xCA\xB9\xD3\xC3:\xB7\xD6\xCA\xA1\xC8\xAB\xB2\xBF\xC0\xE0\xD0\xCD\xCA\xFD\xBE\xDD\xB0\xFC\xA1\xA3"
     /* 建议使用:分省全部类型数据包。 */,
     {8, 22, 160, 11}, false},
    {IDC_PROVINCE_NATIONWIDE, ProvinceControlKind::CheckBox,
     "\xC8\xAB\xB9\xFA\xCA\xFD\xBE\xDD\xB0\xFC\xB2\xE2\xCB\xD9\xD5\xD5\xCF\xE0\xC0\xE0\xBE\xAB\xBC\xF2\xB0\xFC("
     "\xCE\xDE\xC9\xFA\xBB\xEE\xB0\xB2\xC8\xAB\xCC\xE1\xCA\xBE\xCA\xFD\xBE\xDD\xC0\xE0)"
     /* 全国数据包测速照相类精简包(无生活安全提示数据类) */,
     {15, 319, 221, 10}, false},
};
