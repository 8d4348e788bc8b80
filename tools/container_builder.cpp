#include "tools/container_builder.h"

#include <minizip/zip.h>
#include <zlib.h>

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>

#include "core/bytes.h"
#include "core/ciphers.h"
#include "core/package_format.h"
#include "tools/encode/cipher_encode.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Section properties and layout (the facts themselves: core/package_format.h)

const ZR_SectionFormat& info(ZR_Section s) { return ZR_sectionFormat(s); }

bool isTable(ZR_Section s)
{
    return s == ZR_Section::program || s == ZR_Section::gpsProvinceItems ||
           s == ZR_Section::gpsProvinceRecords;
}

constexpr size_t kTitleSize = ZR_PACKAGE_TITLE_SIZE;

bool fail(std::string* error, const std::string& text)
{
    if (error) *error = text;
    return false;
}

void putZeros(Bytes* out, size_t n) { out->insert(out->end(), n, 0); }

void putWord(Bytes* out, uint32_t v)
{
    uint8_t w[4];
    bytes::putLe32(w, v);
    out->insert(out->end(), w, w + 4);
}

void putName(Bytes* out, const std::string& name)
{
    out->insert(out->end(), name.begin(), name.end());
    putZeros(out, kZrProvinceNameSize - name.size());
}

// Under the block magic the whole-section decipher reads past a short tail
// as zeros and cuts it back; the tables tolerate trailing bytes, so they are
// padded to whole blocks instead.
void padToBlock(Bytes* body) { putZeros(body, (8 - body->size() % 8) % 8); }

bool checkName(const std::string& where, const std::string& name, std::string* error)
{
    if (name.empty()) return fail(error, where + ": the province name is empty");
    if (name.size() > kZrProvinceNameSize)
        return fail(error, where + ": the province name is " + std::to_string(name.size()) +
                               " bytes, at most 50 fit");
    return true;
}

// ---------------------------------------------------------------------------
// Section bodies

bool buildPlainSection(const ContainerSpec& spec, ZR_Section s, Bytes* body, std::string* error)
{
    *body = spec.section(s);
    if (spec.magic == ZR_PACKAGE_MAGIC_BLOCK && info(s).block && !body->empty()) {
        if (body->size() % 8 != 0)
            return fail(error, std::string(ZR_Section_name(s)) + ": " + std::to_string(body->size()) +
                                   " bytes is not a multiple of 8, which the block cipher needs");
        ZR_blockEncipher(body->data(), uint32_t(body->size()));
    }
    return true;
}

// True when the first 60 bytes of a program section would be taken for a
// pre-header: the magic in word 1 and the sum of bytes 0 to 55 in word 14.
bool looksLikePreHeader(const Bytes& body)
{
    return body.size() >= kZrPreHeaderSize &&
           bytes::getLe32(body.data() + kZrPreHeaderMagicAt) == kZrPreHeaderMagic &&
           bytes::getLe32(body.data() + kZrPreHeaderSumAt) == bytes::sum32(body.data(), kZrPreHeaderSumAt);
}

bool buildProgram(const ProgramTableSpec& table, Bytes* body, std::string* error)
{
    const size_t n = table.entries.size();
    if (n == 0) return fail(error, "program: the table has no entries");

    const size_t headSize = table.preHeader ? kZrPreHeaderSize : kZrCountWordSize;
    const size_t entrySize = table.preHeader ? kZrProgramEntrySize : kZrShortProgramEntrySize;
    body->assign(headSize + n * entrySize, 0);
    if (table.preHeader) {
        bytes::putLe32(body->data() + kZrPreHeaderMagicAt, kZrPreHeaderMagic);
        bytes::putLe32(body->data() + kZrPreHeaderCountAt, uint32_t(n));
        bytes::putLe32(body->data() + kZrPreHeaderSumAt, bytes::sum32(body->data(), kZrPreHeaderSumAt));
    } else {
        bytes::putLe32(body->data(), uint32_t(n));
    }

    for (size_t i = 0; i < n; ++i) {
        const ProgramEntrySpec& e = table.entries[i];
        const std::string where = "program entry " + std::to_string(i) + " (" + e.board + ")";
        if (e.board.empty() || e.board.size() > 4)
            return fail(error, where + ": the board key must be 1 to 4 characters");
        if (!table.preHeader &&
            std::any_of(e.params.begin(), e.params.end(), [](uint32_t w) { return w != 0; }))
            return fail(error, where + ": parameter words need the pre-header layout; "
                                       "16-byte entries read them as 0");

        uint8_t* entry = body->data() + headSize + i * entrySize;
        std::memcpy(entry + kZrEntryBoardKeyAt, e.board.data(), e.board.size());
        if (!e.image.empty()) {
            if (body->size() + e.image.size() > UINT32_MAX)
                return fail(error, where + ": the program section passes 4 GiB");
            // The pointer may move with the insert below; write the entry first.
            bytes::putLe32(entry + kZrEntryImageOffsetAt, uint32_t(body->size()));
            bytes::putLe32(entry + kZrEntryImageSizeAt, uint32_t(e.image.size()));
        }
        if (table.preHeader)
            for (int p = 0; p < ZR_PROGRAM_PARAM_COUNT; ++p)
                bytes::putLe32(entry + kZrEntryParamsAt + 4 * p, e.params[size_t(p)]);
        body->insert(body->end(), e.image.begin(), e.image.end());
    }
    if (!table.preHeader && looksLikePreHeader(*body))
        return fail(error, "program: without a pre-header these entries would be read as one; "
                           "use the pre-header layout");
    return true;
}

bool buildProvinceItems(const ProvinceItemsSpec& table, bool block, Bytes* body, std::string* error)
{
    if (table.entries.empty())
        return fail(error, "gpsProvinceItems: the table has no entries (a count of 0 is invalid)");
    body->clear();
    putWord(body, table.stamp);
    putWord(body, uint32_t(table.entries.size()));
    for (size_t i = 0; i < table.entries.size(); ++i) {
        const ProvinceItemsEntrySpec& e = table.entries[i];
        const std::string where = "gpsProvinceItems entry " + std::to_string(i);
        if (!checkName(where, e.name, error)) return false;
        if (e.items.size() % kZrProvinceItemSize != 0)
            return fail(error, where + ": " + std::to_string(e.items.size()) +
                                   " bytes of items is not a multiple of 12");
        putName(body, e.name);
        putWord(body, uint32_t(e.items.size() / kZrProvinceItemSize));
    }
    for (const ProvinceItemsEntrySpec& e : table.entries) {
        const size_t at = body->size();
        body->insert(body->end(), e.items.begin(), e.items.end());
        // Each entry's items start a rolling XOR stream of their own.
        ZR_rollingXorEncode(uint32_t(e.items.size()), body->data() + at);
    }
    if (block) {
        padToBlock(body);
        ZR_blockEncipher(body->data(), uint32_t(body->size()));
    }
    return true;
}

bool buildProvinceRecords(const ProvinceRecordsSpec& table, bool block, Bytes* body, std::string* error)
{
    if (table.entries.empty())
        return fail(error, "gpsProvinceRecords: the table has no entries (a count of 0 is invalid)");
    if (table.recordSize == 0) return fail(error, "gpsProvinceRecords: the record size is 0");
    body->clear();
    putWord(body, table.stamp);
    putWord(body, table.secondWord);
    putWord(body, table.recordSize);
    putWord(body, uint32_t(table.entries.size()));
    for (size_t i = 0; i < table.entries.size(); ++i) {
        const ProvinceRecordsEntrySpec& e = table.entries[i];
        const std::string where = "gpsProvinceRecords entry " + std::to_string(i);
        if (!checkName(where, e.name, error)) return false;
        // An empty block fails the whole section in the loader.
        if (e.records.empty() || e.records.size() % table.recordSize != 0)
            return fail(error, where + ": " + std::to_string(e.records.size()) +
                                   " bytes of records is not a non-zero multiple of the record size " +
                                   std::to_string(table.recordSize));
        if (block && e.records.size() % 8 != 0)
            return fail(error, where + ": " + std::to_string(e.records.size()) +
                                   " bytes of records is not a multiple of 8, which the block cipher needs");
        putName(body, e.name);
        putWord(body, uint32_t(e.records.size() / table.recordSize));
    }
    for (const ProvinceRecordsEntrySpec& e : table.entries) {
        const size_t at = body->size();
        body->insert(body->end(), e.records.begin(), e.records.end());
        // The loader deciphers the whole section first and each entry again.
        if (block) ZR_blockEncipher(body->data() + at, uint32_t(e.records.size()));
    }
    if (block) {
        padToBlock(body);
        ZR_blockEncipher(body->data(), uint32_t(body->size()));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Spec checks and the header trailer

bool checkSpec(const ContainerSpec& spec, std::string* error)
{
    const uint32_t v = spec.headerVersion;
    if (v < 1 || v > 3)
        return fail(error, "headerVersion " + std::to_string(v) + " is not 1, 2 or 3");
    if (spec.title.size() > kTitleSize)
        return fail(error, "title: " + std::to_string(spec.title.size()) + " bytes, at most 256 fit");
    if (spec.magic != ZR_PACKAGE_MAGIC_PLAIN && spec.magic != ZR_PACKAGE_MAGIC_BLOCK)
        return fail(error, "magic must be 0x12345678 (plain) or 0x12345679 (block)");
    if (spec.alignment == 0) return fail(error, "alignment must be at least 1");

    for (int i = 0; i < kContainerSectionCount; ++i) {
        const auto s = ZR_Section(i);
        if (isTable(s) && !spec.section(s).empty())
            return fail(error, std::string(ZR_Section_name(s)) + ": give this section as its table, not as bytes");
    }

    if (v < 3) {
        if (spec.magic != ZR_PACKAGE_MAGIC_PLAIN)
            return fail(error, "magic: version " + std::to_string(v) + " headers have no magic; "
                               "their sections are always plain");
        for (int i = kZrTrailers[v].pairCount; i < kContainerSectionCount; ++i) {
            const auto s = ZR_Section(i);
            const bool present = !spec.section(s).empty() ||
                                 (s == ZR_Section::gpsProvinceItems && spec.provinceItems) ||
                                 (s == ZR_Section::gpsProvinceRecords && spec.provinceRecords);
            if (present)
                return fail(error, std::string(ZR_Section_name(s)) + ": version " + std::to_string(v) +
                                       " headers carry only boot, program, radarMute, voice and gps");
        }
        for (const ZR_SectionLimit& limit : kZrOldHeaderLimits)
            if (spec.section(limit.section).size() > limit.maxSize)
                return fail(error, std::string(ZR_Section_name(limit.section)) + ": " +
                                       std::to_string(spec.section(limit.section).size()) +
                                       " bytes, a version 1 or 2 header allows at most " +
                                       std::to_string(limit.maxSize));
    } else {
        if (spec.section(ZR_Section::boot).size() > kZrV3BootLimit)
            return fail(error, "boot: " + std::to_string(spec.section(ZR_Section::boot).size()) +
                                   " bytes, a version 3 header allows at most 32768");
        if (spec.formatVersion < kZrVersionWithEvenVoices)
            for (int i = 0; i < kContainerSectionCount; ++i)
                if (const auto s = ZR_Section(i); ZR_sectionNeedsVersion5(s) && !spec.section(s).empty())
                    return fail(error, std::string(ZR_Section_name(s)) + ": needs format version 5 or more (it is " +
                                           std::to_string(spec.formatVersion) + ")");
    }
    return true;
}

struct Pair {
    uint32_t offset = 0;
    uint32_t size = 0;
};

Bytes makeHeader(const ContainerSpec& spec, const Pair (&pairs)[kContainerSectionCount])
{
    const uint32_t v = spec.headerVersion;
    const ZR_TrailerLayout& layout = kZrTrailers[v];
    Bytes h(layout.size, 0);

    bytes::putLe32(h.data(), layout.length);
    if (v == 3) bytes::putLe32(h.data() + kZrTrailerVersionAt, spec.formatVersion);
    std::memcpy(h.data() + layout.titleAt, spec.title.data(), spec.title.size());
    for (int i = 0; i < layout.pairCount; ++i) {
        bytes::putLe32(h.data() + ZR_pairOffsetAt(layout, i), pairs[i].offset);
        bytes::putLe32(h.data() + ZR_pairSizeAt(layout, i), pairs[i].size);
    }
    if (v == 3) bytes::putLe32(h.data() + kZrTrailerMagicAt, spec.magic);
    const size_t checkAt = ZR_trailerCheckAt(layout);
    bytes::putLe32(h.data() + checkAt, bytes::sum32(h.data(), checkAt));
    ZR_headerXor(uint32_t(h.size()), h.data());
    return h;
}

} // namespace

// ---------------------------------------------------------------------------
// Public builder

bool ContainerSection_fromName(std::string_view name, ZR_Section* section)
{
    for (int i = 0; i < kContainerSectionCount; ++i)
        if (name == ZR_Section_name(ZR_Section(i))) {
            if (section) *section = ZR_Section(i);
            return true;
        }
    return false;
}

bool ContainerBuilder_build(const ContainerSpec& spec, std::vector<uint8_t>* out, std::string* error)
{
    if (!out) return fail(error, "no output buffer");
    if (!checkSpec(spec, error)) return false;

    const bool block = spec.headerVersion == 3 && spec.magic == ZR_PACKAGE_MAGIC_BLOCK;
    std::array<Bytes, kContainerSectionCount> bodies;
    for (int i = 0; i < kContainerSectionCount; ++i) {
        const auto s = ZR_Section(i);
        bool ok = true;
        if (s == ZR_Section::program) {
            if (spec.program) ok = buildProgram(*spec.program, &bodies[i], error);
        } else if (s == ZR_Section::gpsProvinceItems) {
            if (spec.provinceItems) ok = buildProvinceItems(*spec.provinceItems, block, &bodies[i], error);
        } else if (s == ZR_Section::gpsProvinceRecords) {
            if (spec.provinceRecords) ok = buildProvinceRecords(*spec.provinceRecords, block, &bodies[i], error);
        } else {
            ok = buildPlainSection(spec, s, &bodies[i], error);
        }
        if (!ok) return false;
    }

    // Placement: the listed sections first, then the rest in table order.
    std::vector<ZR_Section> order;
    bool listed[kContainerSectionCount] = {};
    for (ZR_Section s : spec.order) {
        if (size_t(s) >= size_t(kContainerSectionCount)) return fail(error, "order: unknown section");
        if (listed[size_t(s)])
            return fail(error, std::string("order: ") + ZR_Section_name(s) + " is listed twice");
        listed[size_t(s)] = true;
        order.push_back(s);
    }
    for (int i = 0; i < kContainerSectionCount; ++i)
        if (!listed[i]) order.push_back(ZR_Section(i));

    Bytes file;
    Pair pairs[kContainerSectionCount];
    for (ZR_Section s : order) {
        const Bytes& body = bodies[size_t(s)];
        if (body.empty()) continue;
        putZeros(&file, (spec.alignment - file.size() % spec.alignment) % spec.alignment);
        if (file.size() + body.size() > UINT32_MAX)
            return fail(error, std::string(ZR_Section_name(s)) + ": the container passes 4 GiB");
        pairs[size_t(s)] = {uint32_t(file.size()), uint32_t(body.size())};
        file.insert(file.end(), body.begin(), body.end());
    }
    const Bytes header = makeHeader(spec, pairs);
    file.insert(file.end(), header.begin(), header.end());
    *out = std::move(file);
    return true;
}

bool ContainerBuilder_writeFile(const ContainerSpec& spec, const std::string& path, std::string* error)
{
    Bytes data;
    if (!ContainerBuilder_build(spec, &data, error)) return false;
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return fail(error, path + ": cannot create: " + std::strerror(errno));
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    f.close();
    if (!f) return fail(error, path + ": write failed: " + std::strerror(errno));
    return true;
}

std::vector<uint8_t> ContainerBuilder_rollingForm(std::vector<uint8_t> plain)
{
    ZR_rollingXorEncode(uint32_t(plain.size()), plain.data());
    return plain;
}

std::vector<uint8_t> ContainerBuilder_plainForm(std::vector<uint8_t> rolling)
{
    ZR_rollingXorFromStart(uint32_t(rolling.size()), rolling.data());
    return rolling;
}

bool ContainerBuilder_stamp(ZR_Section section, uint32_t seconds, std::vector<uint8_t>* data,
                            std::string* error)
{
    if (!data) return fail(error, "no data");
    if (size_t(section) >= size_t(kContainerSectionCount)) return fail(error, "unknown section");
    const ZR_SectionFormat& s = info(section);
    switch (s.date) {
    case ZR_DateRule::none:
    case ZR_DateRule::stamp:
        return fail(error, std::string(ZR_Section_name(section)) + ": the section has no date word to stamp");
    case ZR_DateRule::word0:
    case ZR_DateRule::word1: {
        const size_t at = s.date == ZR_DateRule::word1 ? 4 : 0;
        if (data->size() < at + 4)
            return fail(error, std::string(ZR_Section_name(section)) + ": too short to hold a date at byte " +
                                   std::to_string(at));
        bytes::putLe32(data->data() + at, seconds);
        return true;
    }
    case ZR_DateRule::rolling: {
        if (data->size() < 4) return fail(error, std::string(ZR_Section_name(section)) + ": too short to hold a date");
        Bytes plain = ContainerBuilder_plainForm(std::move(*data));
        bytes::putLe32(plain.data(), seconds);
        *data = ContainerBuilder_rollingForm(std::move(plain));
        return true;
    }
    }
    return false;
}

std::optional<uint32_t> ContainerBuilder_secondsFromDate(int year, int month, int day, int hour, int minute,
                                                         int second)
{
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    static constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || year > 2106 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    const int monthDays = kMonthDays[month - 1] + (month == 2 && leap(year) ? 1 : 0);
    if (day > monthDays) return std::nullopt;

    uint64_t days = 0;
    for (int y = 1970; y < year; ++y) days += leap(y) ? 366 : 365;
    for (int m = 1; m < month; ++m) days += uint64_t(kMonthDays[m - 1] + (m == 2 && leap(year) ? 1 : 0));
    days += uint64_t(day - 1);
    const uint64_t total = days * 86400 + uint64_t(hour) * 3600 + uint64_t(minute) * 60 + uint64_t(second);
    if (total > UINT32_MAX) return std::nullopt;
    return uint32_t(total);
}

bool ContainerBuilder_zip(const std::string& zipPath, const std::vector<ZipEntry>& entries, std::string* error)
{
    zipFile zf = zipOpen64(zipPath.c_str(), APPEND_STATUS_CREATE);
    if (!zf) return fail(error, zipPath + ": cannot create the archive");
    bool ok = true;
    std::string why;
    for (const ZipEntry& e : entries) {
        zip_fileinfo fileInfo{};
        fileInfo.tmz_date.tm_mday = 1;
        fileInfo.tmz_date.tm_year = 2024;
        const int zip64 = e.data.size() >= 0xFFFFFFFFu ? 1 : 0;
        if (zipOpenNewFileInZip64(zf, e.name.c_str(), &fileInfo, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                  Z_BEST_COMPRESSION, zip64) != ZIP_OK) {
            ok = false;
            why = e.name + ": cannot add the entry";
            break;
        }
        // zipWriteInFileInZip takes an unsigned length; feed large entries in pieces.
        for (size_t at = 0; ok && at < e.data.size();) {
            const unsigned n = unsigned(std::min<size_t>(e.data.size() - at, size_t(1) << 30));
            if (zipWriteInFileInZip(zf, e.data.data() + at, n) != ZIP_OK) {
                ok = false;
                why = e.name + ": write failed";
            }
            at += n;
        }
        if (zipCloseFileInZip(zf) != ZIP_OK && ok) {
            ok = false;
            why = e.name + ": cannot finish the entry";
        }
        if (!ok) break;
    }
    if (zipClose(zf, nullptr) != ZIP_OK && ok) {
        ok = false;
        why = "cannot finish the archive";
    }
    return ok ? true : fail(error, zipPath + ": " + why);
}

// ---------------------------------------------------------------------------
// Manifest

namespace {

using Json = nlohmann::json;

// Converts UTF-8 text to GBK; false when the text is not UTF-8 or holds a
// character GBK lacks.
bool utf8ToGbk(const std::string& in, std::string* out)
{
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == iconv_t(-1)) return false;
    std::string result(in.size() * 2 + 4, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = result.data();
    size_t dstLeft = result.size();
    const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == size_t(-1) || srcLeft != 0) return false;
    result.resize(result.size() - dstLeft);
    *out = std::move(result);
    return true;
}

// Reads one manifest; every error is "<manifest>: <field>: <what>".
class ManifestReader {
public:
    ManifestReader(const std::string& path, std::string* error)
        : path_(path), base_(std::filesystem::path(path).parent_path()), error_(error)
    {
    }

    bool read(ContainerSpec* spec);

private:
    bool fail(const std::string& field, const std::string& text)
    {
        if (error_) *error_ = path_ + ": " + (field.empty() ? "" : field + ": ") + text;
        return false;
    }

    bool checkKeys(const Json& obj, const std::string& field, std::initializer_list<const char*> allowed);
    bool number(const Json& v, const std::string& field, uint32_t* out);
    bool stamp(const Json& v, const std::string& field, uint32_t* out);
    bool text(const Json& v, const std::string& field, std::string* gbk);
    bool flag(const Json& v, const std::string& field, bool* out);
    bool fileData(const Json& v, const std::string& field, bool allowEncode, Bytes* out, const Json** ref);
    bool plainSection(const Json& v, ZR_Section s, ContainerSpec* spec);
    bool program(const Json& v, ProgramTableSpec* table);
    bool provinceItems(const Json& v, ProvinceItemsSpec* table);
    bool provinceRecords(const Json& v, ProvinceRecordsSpec* table);

    std::string path_;
    std::filesystem::path base_;
    std::string* error_;
};

bool ManifestReader::checkKeys(const Json& obj, const std::string& field, std::initializer_list<const char*> allowed)
{
    if (!obj.is_object()) return fail(field, "expected an object");
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        const bool known = std::any_of(allowed.begin(), allowed.end(), [&](const char* k) { return it.key() == k; });
        if (!known) return fail(field.empty() ? it.key() : field + "." + it.key(), "unknown field");
    }
    return true;
}

bool ManifestReader::number(const Json& v, const std::string& field, uint32_t* out)
{
    uint64_t value = 0;
    if (v.is_number_unsigned()) {
        value = v.get<uint64_t>();
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        const std::string digits = hex ? s.substr(2) : s;
        const char* allowedDigits = hex ? "0123456789abcdefABCDEF" : "0123456789";
        if (digits.empty() || digits.find_first_not_of(allowedDigits) != std::string::npos)
            return fail(field, "\"" + s + "\" is not a decimal or 0x-prefixed hex number");
        for (char c : digits) {
            const unsigned d = c <= '9' ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
            value = value * (hex ? 16 : 10) + d;
            if (value > UINT32_MAX) return fail(field, "does not fit in 32 bits");
        }
    } else {
        return fail(field, "expected a non-negative integer (decimal, or a \"0x...\" string)");
    }
    if (value > UINT32_MAX) return fail(field, "does not fit in 32 bits");
    *out = uint32_t(value);
    return true;
}

bool ManifestReader::stamp(const Json& v, const std::string& field, uint32_t* out)
{
    const char* expected = "expected a date \"YYYY-MM-DD[ hh:mm:ss]\" or seconds since 1970";
    if (v.is_string() && v.get<std::string>().find('-') != std::string::npos) {
        const std::string s = v.get<std::string>();
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, dateEnd = 0, timeEnd = 0;
        if (std::sscanf(s.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &dateEnd) != 3) return fail(field, expected);
        const size_t rest = s.size() - size_t(dateEnd);
        if (rest != 0 && ((s[size_t(dateEnd)] != ' ' && s[size_t(dateEnd)] != 'T') ||
                          std::sscanf(s.c_str() + dateEnd + 1, "%2d:%2d:%2d%n", &h, &mi, &sec, &timeEnd) != 3 ||
                          size_t(timeEnd) + 1 != rest))
            return fail(field, expected);
        const std::optional<uint32_t> seconds = ContainerBuilder_secondsFromDate(y, mo, d, h, mi, sec);
        if (!seconds) return fail(field, "\"" + s + "\" is not a date between 1970 and 2106-02-07 06:28:15");
        *out = *seconds;
        return true;
    }
    if (!v.is_string() && !v.is_number_unsigned()) return fail(field, expected);
    return number(v, field, out);
}

bool ManifestReader::text(const Json& v, const std::string& field, std::string* gbk)
{
    if (!v.is_string()) return fail(field, "expected a text");
    if (!utf8ToGbk(v.get<std::string>(), gbk)) return fail(field, "cannot be written in GBK");
    return true;
}

bool ManifestReader::flag(const Json& v, const std::string& field, bool* out)
{
    if (!v.is_boolean()) return fail(field, "expected true or false");
    *out = v.get<bool>();
    return true;
}

// A data reference: "file" or {"file", "offset", "size", "encode"}. With
// "encode" the file holds plain bytes that are stored in rolling-XOR form.
// *ref is the object form (for further keys) or null.
bool ManifestReader::fileData(const Json& v, const std::string& field, bool allowEncode, Bytes* out, const Json** ref)
{
    *ref = nullptr;
    std::string name;
    uint32_t offset = 0, size = 0;
    bool hasSize = false, encode = false;
    if (v.is_string()) {
        name = v.get<std::string>();
    } else if (v.is_object()) {
        *ref = &v;
        if (!v.contains("file") || !v["file"].is_string()) return fail(field + ".file", "expected a file name");
        name = v["file"].get<std::string>();
        if (v.contains("offset") && !number(v["offset"], field + ".offset", &offset)) return false;
        if (v.contains("size")) {
            if (!number(v["size"], field + ".size", &size)) return false;
            hasSize = true;
        }
        if (v.contains("encode")) {
            if (!flag(v["encode"], field + ".encode", &encode)) return false;
            if (encode && !allowEncode)
                return fail(field + ".encode", "only boot, gps, gps2, oled and program images are kept "
                                               "in rolling-XOR form");
        }
    } else {
        return fail(field, "expected a file name or an object with \"file\"");
    }

    const std::string fileField = v.is_object() ? field + ".file" : field;
    if (name.empty()) return fail(fileField, "the file name is empty");
    const std::filesystem::path p = base_ / name; // an absolute name replaces the base
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) return fail(fileField, "'" + p.string() + "' is a folder");
    std::ifstream f(p, std::ios::binary);
    if (!f) return fail(fileField, "cannot open '" + p.string() + "': " + std::strerror(errno));
    f.seekg(0, std::ios::end);
    const std::streamoff fileSize = f.tellg();
    f.seekg(0, std::ios::beg);
    if (fileSize < 0 || uint64_t(fileSize) > UINT32_MAX)
        return fail(fileField, "'" + p.string() + "' is not a readable file of at most 4 GiB");
    Bytes data(static_cast<size_t>(fileSize));
    if (!f.read(reinterpret_cast<char*>(data.data()), fileSize))
        return fail(fileField, "cannot read '" + p.string() + "'");

    if (offset > data.size() || (hasSize && size > data.size() - offset))
        return fail(field, "offset " + std::to_string(offset) + (hasSize ? " and size " + std::to_string(size) : "") +
                               " pass the end of '" + p.string() + "' (" + std::to_string(data.size()) + " bytes)");
    const size_t end = hasSize ? size_t(offset) + size : data.size();
    *out = Bytes(data.begin() + std::ptrdiff_t(offset), data.begin() + std::ptrdiff_t(end));
    if (encode) *out = ContainerBuilder_rollingForm(std::move(*out));
    return true;
}

bool ManifestReader::plainSection(const Json& v, ZR_Section s, ContainerSpec* spec)
{
    const std::string field = std::string("sections.") + ZR_Section_name(s);
    const Json* ref = nullptr;
    Bytes data;
    if (!fileData(v, field, info(s).rollingForm, &data, &ref)) return false;
    if (ref) {
        if (!checkKeys(*ref, field, {"file", "offset", "size", "encode", "stamp"})) return false;
        if (ref->contains("stamp")) {
            uint32_t seconds = 0;
            std::string why;
            if (!stamp((*ref)["stamp"], field + ".stamp", &seconds)) return false;
            if (!ContainerBuilder_stamp(s, seconds, &data, &why)) return fail(field + ".stamp", why);
        }
    }
    if (data.empty()) return fail(field, "the data is empty; leave the section out instead");
    spec->section(s) = std::move(data);
    return true;
}

bool ManifestReader::program(const Json& v, ProgramTableSpec* table)
{
    const std::string field = "sections.program";
    if (!checkKeys(v, field, {"preHeader", "entries"})) return false;
    if (v.contains("preHeader") && !flag(v["preHeader"], field + ".preHeader", &table->preHeader)) return false;
    if (!v.contains("entries") || !v["entries"].is_array() || v["entries"].empty())
        return fail(field + ".entries", "expected a non-empty list of program entries");

    for (size_t i = 0; i < v["entries"].size(); ++i) {
        const Json& e = v["entries"][i];
        const std::string ef = field + ".entries[" + std::to_string(i) + "]";
        if (!checkKeys(e, ef, {"board", "image", "params"})) return false;
        ProgramEntrySpec entry;
        if (!e.contains("board") || !e["board"].is_string()) return fail(ef + ".board", "expected a board key");
        entry.board = e["board"].get<std::string>();
        const bool ascii = std::all_of(entry.board.begin(), entry.board.end(),
                                       [](char c) { return c >= 0x20 && c < 0x7F; });
        if (entry.board.empty() || entry.board.size() > 4 || !ascii)
            return fail(ef + ".board", "\"" + entry.board + "\" is not 1 to 4 ASCII characters");
        if (e.contains("image")) {
            const Json* ref = nullptr;
            if (!fileData(e["image"], ef + ".image", true, &entry.image, &ref)) return false;
            if (ref && !checkKeys(*ref, ef + ".image", {"file", "offset", "size", "encode"})) return false;
        }
        if (e.contains("params")) {
            const Json& p = e["params"];
            if (p.is_array()) {
                if (p.size() != ZR_PROGRAM_PARAM_COUNT)
                    return fail(ef + ".params", "a list of parameter words needs exactly 13 numbers");
                for (int k = 0; k < ZR_PROGRAM_PARAM_COUNT; ++k)
                    if (!number(p[size_t(k)], ef + ".params[" + std::to_string(k) + "]", &entry.params[size_t(k)]))
                        return false;
            } else if (p.is_object()) {
                for (auto it = p.begin(); it != p.end(); ++it) {
                    int k = 0;
                    while (k < ZR_PROGRAM_PARAM_COUNT && it.key() != ZR_ProgramParam_name(ZR_ProgramParam(k))) ++k;
                    if (k == ZR_PROGRAM_PARAM_COUNT) return fail(ef + ".params." + it.key(), "unknown parameter word");
                    if (!number(it.value(), ef + ".params." + it.key(), &entry.params[size_t(k)])) return false;
                }
            } else {
                return fail(ef + ".params", "expected an object of named words or a list of 13 numbers");
            }
        }
        table->entries.push_back(std::move(entry));
    }
    return true;
}

bool ManifestReader::provinceItems(const Json& v, ProvinceItemsSpec* table)
{
    const std::string field = "sections.gpsProvinceItems";
    if (!checkKeys(v, field, {"stamp", "entries"})) return false;
    if (v.contains("stamp") && !stamp(v["stamp"], field + ".stamp", &table->stamp)) return false;
    if (!v.contains("entries") || !v["entries"].is_array() || v["entries"].empty())
        return fail(field + ".entries", "expected a non-empty list of provinces");
    for (size_t i = 0; i < v["entries"].size(); ++i) {
        const Json& e = v["entries"][i];
        const std::string ef = field + ".entries[" + std::to_string(i) + "]";
        if (!checkKeys(e, ef, {"name", "items"})) return false;
        ProvinceItemsEntrySpec entry;
        if (!e.contains("name")) return fail(ef + ".name", "missing");
        if (!text(e["name"], ef + ".name", &entry.name)) return false;
        if (e.contains("items")) {
            const Json* ref = nullptr;
            if (!fileData(e["items"], ef + ".items", false, &entry.items, &ref)) return false;
            if (ref && !checkKeys(*ref, ef + ".items", {"file", "offset", "size"})) return false;
        }
        table->entries.push_back(std::move(entry));
    }
    return true;
}

bool ManifestReader::provinceRecords(const Json& v, ProvinceRecordsSpec* table)
{
    const std::string field = "sections.gpsProvinceRecords";
    if (!checkKeys(v, field, {"stamp", "secondWord", "recordSize", "entries"})) return false;
    if (v.contains("stamp") && !stamp(v["stamp"], field + ".stamp", &table->stamp)) return false;
    if (v.contains("secondWord") && !number(v["secondWord"], field + ".secondWord", &table->secondWord)) return false;
    if (v.contains("recordSize") && !number(v["recordSize"], field + ".recordSize", &table->recordSize)) return false;
    if (!v.contains("entries") || !v["entries"].is_array() || v["entries"].empty())
        return fail(field + ".entries", "expected a non-empty list of provinces");
    for (size_t i = 0; i < v["entries"].size(); ++i) {
        const Json& e = v["entries"][i];
        const std::string ef = field + ".entries[" + std::to_string(i) + "]";
        if (!checkKeys(e, ef, {"name", "records"})) return false;
        ProvinceRecordsEntrySpec entry;
        if (!e.contains("name")) return fail(ef + ".name", "missing");
        if (!text(e["name"], ef + ".name", &entry.name)) return false;
        if (!e.contains("records")) return fail(ef + ".records", "missing");
        const Json* ref = nullptr;
        if (!fileData(e["records"], ef + ".records", false, &entry.records, &ref)) return false;
        if (ref && !checkKeys(*ref, ef + ".records", {"file", "offset", "size"})) return false;
        table->entries.push_back(std::move(entry));
    }
    return true;
}

bool ManifestReader::read(ContainerSpec* spec)
{
    std::ifstream f(path_);
    if (!f) return fail("", std::string("cannot open: ") + std::strerror(errno));
    Json m;
    try {
        m = Json::parse(f);
    } catch (const Json::parse_error& e) {
        return fail("", std::string("not valid JSON: ") + e.what());
    }
    if (!checkKeys(m, "", {"headerVersion", "formatVersion", "title", "magic", "sections", "order", "alignment"}))
        return false;

    ContainerSpec s;
    if (m.contains("headerVersion")) {
        if (!number(m["headerVersion"], "headerVersion", &s.headerVersion)) return false;
        if (s.headerVersion < 1 || s.headerVersion > 3)
            return fail("headerVersion", std::to_string(s.headerVersion) + " is not 1, 2 or 3");
    }
    if (m.contains("formatVersion")) {
        if (s.headerVersion != 3) return fail("formatVersion", "only version 3 headers carry a format version");
        if (!number(m["formatVersion"], "formatVersion", &s.formatVersion)) return false;
    }
    if (m.contains("title")) {
        if (!text(m["title"], "title", &s.title)) return false;
        if (s.title.size() > kTitleSize)
            return fail("title", std::to_string(s.title.size()) + " bytes in GBK, at most 256 fit");
    }
    if (m.contains("magic")) {
        const Json& v = m["magic"];
        if (v == "plain") {
            s.magic = ZR_PACKAGE_MAGIC_PLAIN;
        } else if (v == "block") {
            s.magic = ZR_PACKAGE_MAGIC_BLOCK;
        } else {
            if (!number(v, "magic", &s.magic)) return false;
            if (s.magic != ZR_PACKAGE_MAGIC_PLAIN && s.magic != ZR_PACKAGE_MAGIC_BLOCK)
                return fail("magic", "expected \"plain\", \"block\", 0x12345678 or 0x12345679");
        }
        if (s.headerVersion != 3 && s.magic != ZR_PACKAGE_MAGIC_PLAIN)
            return fail("magic", "version 1 and 2 headers are always plain");
    }
    if (m.contains("alignment")) {
        if (!number(m["alignment"], "alignment", &s.alignment)) return false;
        if (s.alignment == 0) return fail("alignment", "must be at least 1");
    }
    if (m.contains("order")) {
        if (!m["order"].is_array()) return fail("order", "expected a list of section names");
        for (size_t i = 0; i < m["order"].size(); ++i) {
            const Json& n = m["order"][i];
            ZR_Section section;
            if (!n.is_string() || !ContainerSection_fromName(n.get<std::string>(), &section))
                return fail("order[" + std::to_string(i) + "]", "not a section name");
            s.order.push_back(section);
        }
    }
    if (!m.contains("sections") || !m["sections"].is_object() || m["sections"].empty())
        return fail("sections", "expected an object with at least one section");

    const Json& sections = m["sections"];
    for (auto it = sections.begin(); it != sections.end(); ++it) {
        ZR_Section section;
        if (!ContainerSection_fromName(it.key(), &section)) return fail("sections." + it.key(), "unknown section");
        bool ok = true;
        if (section == ZR_Section::program) {
            ok = program(it.value(), &s.program.emplace());
        } else if (section == ZR_Section::gpsProvinceItems) {
            ok = provinceItems(it.value(), &s.provinceItems.emplace());
        } else if (section == ZR_Section::gpsProvinceRecords) {
            ok = provinceRecords(it.value(), &s.provinceRecords.emplace());
        } else {
            ok = plainSection(it.value(), section, &s);
        }
        if (!ok) return false;
    }
    *spec = std::move(s);
    return true;
}

} // namespace

bool ContainerBuilder_fromManifest(const std::string& manifestPath, ContainerSpec* spec, std::string* error)
{
    if (!spec) return fail(error, "no spec");
    ManifestReader reader(manifestPath, error);
    return reader.read(spec);
}
