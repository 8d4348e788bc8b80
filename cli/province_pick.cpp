#include "cli/province_pick.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "core/strings.h"
#include "platform/text_codec.h"
#include "platform/translate_marks.h"

namespace {

std::string trim(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

uint32_t sizeAt(const ProvinceSizes& sizes, int p) { return size_t(p) < sizes.size() ? sizes[size_t(p)] : 0; }

std::string nameOf(int p) { return Text_gbkToUtf8(ProvinceTable[p]); }

// A province by table position or by its UTF-8 name; -1 if none.
int provinceIndex(const std::string& item)
{
    if (!item.empty() && item.size() <= 3 && item.find_first_not_of("0123456789") == std::string::npos) {
        int n = std::atoi(item.c_str());
        return n < PROVINCE_COUNT ? n : -1;
    }
    std::string gbk;
    if (!Text_utf8ToGbk(item, &gbk)) return -1;
    for (int i = 0; i < PROVINCE_COUNT; ++i)
        if (gbk == ProvinceTable[i]) return i;
    return -1;
}

uint64_t total(const ProvincePick& pick, const ProvinceSizes& sizes)
{
    uint64_t sum = 0;
    for (int p : pick.positions) sum += sizeAt(sizes, p);
    return sum;
}

std::string joined(const std::vector<std::string>& items, const char* quote)
{
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + (quote + item + quote);
    return text;
}

std::string kib(uint64_t bytes) { return std::to_string(bytes / 1024) + " K"; }

} // namespace

std::vector<int> ProvincePick_all(const ProvinceSizes& sizes, uint64_t room)
{
    std::vector<int> order;
    for (int p = 0; p < PROVINCE_COUNT; ++p)
        if (sizeAt(sizes, p) > 0) order.push_back(p);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return sizeAt(sizes, a) > sizeAt(sizes, b); });
    std::vector<int> chosen;
    uint64_t used = 0;
    for (int p : order) {
        if (used + sizeAt(sizes, p) > room) continue;
        used += sizeAt(sizes, p);
        chosen.push_back(p);
    }
    return chosen;
}

ProvincePick ProvincePick_parse(const std::string& list, const ProvinceSizes& sizes, uint64_t room)
{
    ProvincePick pick;
    if (trim(list) == "all") {
        pick.all = true;
        pick.positions = ProvincePick_all(sizes, room);
        return pick;
    }
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        item = trim(item);
        if (item.empty()) continue;
        int p = provinceIndex(item);
        if (p < 0) {
            pick.unknown.push_back(item);
        } else if (sizeAt(sizes, p) == 0) {
            if (std::find(pick.absent.begin(), pick.absent.end(), nameOf(p)) == pick.absent.end())
                pick.absent.push_back(nameOf(p));
        } else if (std::find(pick.positions.begin(), pick.positions.end(), p) == pick.positions.end()) {
            pick.positions.push_back(p);
        }
    }
    return pick;
}

std::string ProvincePick_problem(const ProvincePick& pick, const ProvinceSizes& sizes, uint64_t room)
{
    std::string problem;
    if (!pick.unknown.empty()) problem = ZR_formatString(_("unknown province %s"), joined(pick.unknown, "'").c_str());
    if (!pick.absent.empty())
        problem += (problem.empty() ? "" : "; ") +
                   ZR_formatString(_("the package holds no data for %s"), joined(pick.absent, "").c_str());
    if (!problem.empty()) return problem;
    if (pick.positions.empty())
        return pick.all ? ZR_formatString(_("no province of the package fits the room of %s"), kib(room).c_str())
                        : std::string(_("no province chosen: a GPS area without data would wipe the device's map"));
    uint64_t sum = total(pick, sizes);
    if (sum > room)
        return ZR_formatString(_("the provinces chosen need %s, the device has room for %s"), kib(sum).c_str(),
                          kib(room).c_str());
    return {};
}

std::vector<std::string> ProvincePick_table(const ProvinceSizes& sizes)
{
    std::vector<std::string> lines;
    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        if (sizeAt(sizes, p) == 0) continue;
        char line[96];
        std::snprintf(line, sizeof line, "  %2d  %s  %s", p, nameOf(p).c_str(), kib(sizeAt(sizes, p)).c_str());
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ProvincePick_totals(const ProvincePick& pick, const ProvinceSizes& sizes, uint64_t room)
{
    std::vector<std::string> lines;
    uint64_t sum = 0;
    for (int p : pick.positions) {
        bool fitted = sum <= room;
        sum += sizeAt(sizes, p);
        std::string line = "  " + nameOf(p) + "  " + kib(sizeAt(sizes, p)) + "  " +
                           ZR_formatString(_("total %s of %s"), kib(sum).c_str(), kib(room).c_str());
        if (fitted && sum > room) line += std::string("  ") + _("<- over the room");
        lines.push_back(line);
    }
    return lines;
}
