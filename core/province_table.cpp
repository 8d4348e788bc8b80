#include "core/province_table.h"

const char ProvinceTable[PROVINCE_COUNT][PROVINCE_NAME_FIELD] = {
    "\xB1\xB1\xBE\xA9",         /*  0 北京 */
    "\xC9\xCF\xBA\xA3",         /*  1 上海 */
    "\xCC\xEC\xBD\xF2",         /*  2 天津 */
    "\xD6\xD8\xC7\xEC",         /*  3 重庆 */
    "\xBA\xDA\xC1\xFA\xBD\xAD", /*  4 黑龙江 */
    "\xBC\xAA\xC1\xD6",         /*  5 吉林 */
    "\xC1\xC9\xC4\xFE",         /*  6 辽宁 */
    "\xC4\xDA\xC3\xC9\xB9\xC5", /*  7 内蒙古 */
    "\xBA\xD3\xB1\xB1",         /*  8 河北 */
    "\xC9\xBD\xCE\xF7",         /*  9 山西 */
    "\xC9\xC2\xCE\xF7",         /* 10 陕西 */
    "\xC9\xBD\xB6\xAB",         /* 11 山东 */
    "\xD0\xC2\xBD\xAE",         /* 12 新疆 */
    "\xCE\xF7\xB2\xD8",         /* 13 西藏 */
    "\xC7\xE0\xBA\xA3",         /* 14 青海 */
    "\xB8\xCA\xCB\xE0",         /* 15 甘肃 */
    "\xC4\xFE\xCF\xC4",         /* 16 宁夏 */
    "\xBA\xD3\xC4\xCF",         /* 17 河南 */
    "\xBD\xAD\xCB\xD5",         /* 18 江苏 */
    "\xBA\xFE\xB1\xB1",         /* 19 湖北 */
    "\xD5\xE3\xBD\xAD",         /* 20 浙江 */
    "\xB0\xB2\xBB\xD5",         /* 21 安徽 */
    "\xB8\xA3\xBD\xA8",         /* 22 福建 */
    "\xBD\xAD\xCE\xF7",         /* 23 江西 */
    "\xBA\xFE\xC4\xCF",         /* 24 湖南 */
    "\xB9\xF3\xD6\xDD",         /* 25 贵州 */
    "\xCB\xC4\xB4\xA8",         /* 26 四川 */
    "\xB9\xE3\xB6\xAB",         /* 27 广东 */
    "\xD4\xC6\xC4\xCF",         /* 28 云南 */
    "\xB9\xE3\xCE\xF7",         /* 29 广西 */
    "\xBA\xA3\xC4\xCF",         /* 30 海南 */
    "\xCF\xE3\xB8\xDB",         /* 31 香港 */
    "\xB0\xC4\xC3\xC5",         /* 32 澳门 */
    "\xCC\xA8\xCD\xE5",         /* 33 台湾 */
};
