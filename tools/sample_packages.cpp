#include "tools/sample_packages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>

#include "core/bytes.h"
#include "core/ciphers.h"
#include "tools/container_builder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Json = nlohmann::ordered_json;

constexpr const char* kTitle = "Halcyon Path";
constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * 1024;
constexpr size_t kGpsRecordSize = 16;

struct Day {
    int year, month, day;
    uint32_t seconds() const { return *ContainerBuilder_secondsFromDate(year, month, day); }
    std::string text() const
    {
        char text[16];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        return text;
    }
};

// mt19937 is specified bit for bit, so the samples are the same everywhere.
Bytes randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes v(n);
    for (size_t i = 0; i < n; i += 4) {
        const uint32_t r = rng();
        for (size_t k = 0; k < 4 && i + k < n; ++k) v[i + k] = uint8_t(r >> (8 * k));
    }
    return v;
}

// Voice data opens with a header; the older form is (total, date, ...),
// voice7 and voice8 put the date first. The manifest stamps the date.
Bytes voiceData(size_t n, uint32_t seed, bool dateFirst)
{
    Bytes v = randomBytes(n, seed);
    bytes::putLe32(v.data(), 0);
    bytes::putLe32(v.data() + 4, 0);
    bytes::putLe32(v.data() + (dateFirst ? 4 : 0), uint32_t(n));
    bytes::putLe32(v.data() + 8, 1);
    bytes::putLe32(v.data() + 12, 0);
    return v;
}

// A GPS image: stamp, second word, record size, record count, then records
// in ascending order of their sort key, as the device searches them.
Bytes gpsImage(size_t records, uint32_t seed, Day day)
{
    Bytes body = randomBytes(records * kGpsRecordSize, seed);
    std::vector<uint32_t> index(records);
    std::iota(index.begin(), index.end(), 0u);
    std::stable_sort(index.begin(), index.end(), [&](uint32_t a, uint32_t b) {
        return ZR_recordKey(body.data() + a * kGpsRecordSize) < ZR_recordKey(body.data() + b * kGpsRecordSize);
    });
    Bytes image(16 + body.size());
    bytes::putLe32(image.data(), day.seconds());
    bytes::putLe32(image.data() + 4, 1);
    bytes::putLe32(image.data() + 8, uint32_t(kGpsRecordSize));
    bytes::putLe32(image.data() + 12, uint32_t(records));
    for (size_t i = 0; i < records; ++i)
        std::memcpy(image.data() + 16 + i * kGpsRecordSize, body.data() + index[i] * kGpsRecordSize, kGpsRecordSize);
    return image;
}

std::string hex(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

class SampleWriter {
public:
    SampleWriter(const fs::path& dir, std::vector<SampleFile>* written, std::string* error)
        : dir_(dir), written_(written), error_(error)
    {
    }

    bool ok() const { return ok_; }

    // Writes a data file of a package and gives its name relative to the
    // sample folder, as the manifest refers to it.
    std::string data(const std::string& package, const std::string& file, const Bytes& bytes)
    {
        const std::string name = package + "/" + file;
        write(name, bytes);
        return name;
    }

    // Writes the manifest, then builds the container from it.
    void package(const std::string& name, const Json& manifest)
    {
        const std::string text = manifest.dump(2) + "\n";
        write(name + ".json", Bytes(text.begin(), text.end()));
        if (!ok_) return;
        ContainerSpec spec;
        Bytes container;
        std::string why;
        if (!ContainerBuilder_fromManifest((dir_ / (name + ".json")).string(), &spec, &why) ||
            !ContainerBuilder_build(spec, &container, &why)) {
            failWith(name + ": " + why);
            return;
        }
        write(name + ".dzr", container);
    }

    void zip(const std::string& name, const std::string& package, const std::string& entryName)
    {
        if (!ok_) return;
        std::ifstream f(dir_ / (package + ".dzr"), std::ios::binary);
        Bytes container((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::string why;
        if (!f || !ContainerBuilder_zip((dir_ / name).string(), {{entryName, container}}, &why)) {
            failWith(name + ": " + (why.empty() ? "cannot read " + package + ".dzr" : why));
            return;
        }
        noteWritten(name);
    }

private:
    void write(const std::string& name, const Bytes& bytes)
    {
        if (!ok_) return;
        const fs::path p = dir_ / name;
        std::error_code ec;
        fs::create_directories(p.parent_path(), ec);
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        f.close();
        if (!f) {
            failWith(p.string() + ": cannot write: " + std::strerror(errno));
            return;
        }
        noteWritten(name);
    }

    void noteWritten(const std::string& name)
    {
        std::error_code ec;
        const uintmax_t size = fs::file_size(dir_ / name, ec);
        if (written_) written_->push_back({name, ec ? 0 : uint64_t(size)});
    }

    void failWith(const std::string& text)
    {
        ok_ = false;
        if (error_) *error_ = text;
    }

    fs::path dir_;
    std::vector<SampleFile>* written_;
    std::string* error_;
    bool ok_ = true;
};

Json encoded(const std::string& file) { return Json{{"file", file}, {"encode", true}}; }

// A data file whose date the manifest stamps where the device reads it.
Json dated(const std::string& file, Day day, bool encode = false)
{
    Json ref{{"file", file}, {"stamp", day.text()}};
    if (encode) ref["encode"] = true;
    return ref;
}

Json programEntry(const std::string& board, const std::string& image, Json params)
{
    return Json{{"board", board}, {"image", encoded(image)}, {"params", std::move(params)}};
}

// (a) Classic map. MVT7 and MVT5 are fixed-layout boards; HB6T has an OLED.
void writeMvt7Full(SampleWriter& w)
{
    const std::string pkg = "mvt7-full";
    Json programs = Json::array();
    programs.push_back(programEntry("MVT7", w.data(pkg, "program-MVT7.bin", randomBytes(28 * kKiB, 0x7101)),
                                    Json{{"paramWord", 3107}}));
    programs.push_back(programEntry("HB6T", w.data(pkg, "program-HB6T.bin", randomBytes(30 * kKiB, 0x7102)),
                                    Json{{"serverDataSize", hex(0x1000)},
                                         {"paramWord", 3050},
                                         {"trackDataSize", hex(0x8000)},
                                         {"oled", 1}}));
    programs.push_back(programEntry("MVT5", w.data(pkg, "program-MVT5.bin", randomBytes(24 * kKiB, 0x7103)),
                                    Json{{"paramWord", 2980}}));

    Json sections;
    sections["boot"] = encoded(w.data(pkg, "boot.bin", randomBytes(12 * kKiB, 0x7100)));
    sections["program"] = Json{{"preHeader", true}, {"entries", programs}};
    sections["radarMute"] = dated(w.data(pkg, "radar-mute.bin", randomBytes(24 * kKiB, 0x7104)), {2024, 4, 10});
    const Day gpsDay{2024, 5, 17};
    sections["gps"] = dated(w.data(pkg, "gps.bin", gpsImage(8 * kKiB, 0x7105, gpsDay)), gpsDay, true);
    sections["voice"] = dated(w.data(pkg, "voice.bin", voiceData(96 * kKiB, 0x7106, false)), {2024, 3, 2});
    sections["updateTool"] = w.data(pkg, "update-tool.bin", randomBytes(20 * kKiB, 0x7107));
    sections["oled"] = dated(w.data(pkg, "oled.bin", randomBytes(12 * kKiB, 0x7108)), {2024, 1, 20}, true);

    w.package(pkg, Json{{"headerVersion", 3},
                        {"formatVersion", 5},
                        {"title", kTitle},
                        {"magic", "block"},
                        {"sections", sections}});
}

// Parameter words of the 502-map boards: the alternative layout moves the
// data areas behind 0x021000; the parameter magic marks the modem settings.
Json k502Params(uint32_t version, uint32_t trackSize, bool provinceGps)
{
    Json p{{"serverDataSize", hex(0x2000)},
           {"paramWord", version},
           {"altLayout", 1},
           {"trackDataSize", hex(trackSize)},
           {"paramMagic", 1},
           {"writeMode", 1}};
    if (provinceGps) {
        p["gps3"] = 1;   // plain gps3, or the chosen provinces
        p["voice7"] = 1; // voice8 in both modes, dated in word 0
    } else {
        p["secondVoice"] = 1; // voice2
        p["gps2"] = 1;
        p["oled"] = 1;
    }
    return p;
}

// (b) 502 map with the second voice, gps2 and OLED.
void writeK502Full(SampleWriter& w)
{
    const std::string pkg = "k502-full";
    Json programs = Json::array();
    programs.push_back(programEntry("K502", w.data(pkg, "program-K502.bin", randomBytes(56 * kKiB, 0x5201)),
                                    k502Params(5021, 0x10000, false)));
    programs.push_back(programEntry("K512", w.data(pkg, "program-K512.bin", randomBytes(60 * kKiB, 0x5202)),
                                    k502Params(5120, 0x10000, false)));

    Json sections;
    sections["boot"] = encoded(w.data(pkg, "boot.bin", randomBytes(16 * kKiB, 0x5200)));
    sections["program"] = Json{{"preHeader", true}, {"entries", programs}};
    sections["radarMute"] = dated(w.data(pkg, "radar-mute.bin", randomBytes(16 * kKiB, 0x5203)), {2024, 2, 14});
    sections["voice2"] = dated(w.data(pkg, "voice2.bin", voiceData(96 * kKiB, 0x5204, false)), {2024, 2, 28});
    const Day gpsDay{2024, 6, 3};
    sections["gps2"] = dated(w.data(pkg, "gps2.bin", gpsImage(4 * kKiB, 0x5205, gpsDay)), gpsDay, true);
    sections["updateTool"] = w.data(pkg, "update-tool.bin", randomBytes(24 * kKiB, 0x5206));
    sections["oled"] = dated(w.data(pkg, "oled.bin", randomBytes(16 * kKiB, 0x5207)), {2024, 1, 8}, true);

    w.package(pkg, Json{{"headerVersion", 3},
                        {"formatVersion", 5},
                        {"title", kTitle},
                        {"magic", "block"},
                        {"order", Json::array({"gps2", "voice2", "program", "boot"})},
                        {"alignment", 256},
                        {"sections", sections}});
}

// (c) A program alone, in the old header and the short table layout.
void writeProgramOnly(SampleWriter& w)
{
    const std::string pkg = "program-only";
    Json entry{{"board", "MVT7"}, {"image", encoded(w.data(pkg, "program-MVT7.bin", randomBytes(28 * kKiB, 0x3101)))}};
    Json sections;
    sections["program"] = Json{{"preHeader", false}, {"entries", Json::array({entry})}};
    w.package(pkg, Json{{"headerVersion", 2}, {"title", kTitle}, {"sections", sections}});
}

// (d) Province GPS data. The records of all provinces, sorted by key, form
// gps3; each province owns a run of them, in the order of the province
// table, so the province entries are slices of gps3.bin and choosing every
// province assembles gps3 again. On a 4 MiB 502-map device the layout needs
// 0x438000 bytes (server 0x2000, voice8 1 MiB, track 0x180000, gps3 1600 KiB)
// and leaves 1380 KiB for GPS data.
void writeProvinces4m(SampleWriter& w)
{
    const std::string pkg = "provinces-4m";
    struct Province {
        const char* name; // UTF-8 in the manifest, GBK in the container
        uint32_t kib;
    };
    // In province table order: 北京 0, 上海 1, 江苏 18, 浙江 20, 四川 26, 广东 27.
    static constexpr Province kProvinces[] = {
        {"北京", 224}, {"上海", 192}, {"江苏", 288}, {"浙江", 256}, {"四川", 224}, {"广东", 416},
    };
    const Day gpsDay{2024, 6, 1};
    size_t totalRecords = 0;
    for (const Province& p : kProvinces) totalRecords += p.kib * kKiB / kGpsRecordSize;
    const std::string gps3 = w.data(pkg, "gps3.bin", gpsImage(totalRecords, 0x4401, gpsDay));

    Json entries = Json::array();
    size_t offset = 16;
    for (const Province& p : kProvinces) {
        const size_t size = p.kib * kKiB;
        const Json slice{{"file", gps3}, {"offset", offset}, {"size", size}};
        entries.push_back(Json{{"name", p.name}, {"records", slice}});
        offset += size;
    }
    // The table's entries are found by name, so their order is free.
    std::rotate(entries.begin(), entries.end() - 1, entries.end());

    Json programs = Json::array();
    programs.push_back(programEntry("K502", w.data(pkg, "program-K502.bin", randomBytes(48 * kKiB, 0x4402)),
                                    k502Params(5022, 0x180000, true)));
    programs.push_back(programEntry("K512", w.data(pkg, "program-K512.bin", randomBytes(52 * kKiB, 0x4403)),
                                    k502Params(5122, 0x180000, true)));

    Json sections;
    sections["boot"] = encoded(w.data(pkg, "boot.bin", randomBytes(16 * kKiB, 0x4400)));
    sections["program"] = Json{{"preHeader", true}, {"entries", programs}};
    sections["radarMute"] = dated(w.data(pkg, "radar-mute.bin", randomBytes(16 * kKiB, 0x4404)), {2024, 5, 20});
    sections["voice8"] = dated(w.data(pkg, "voice8.bin", voiceData(1 * kMiB, 0x4405, true)), {2024, 5, 25});
    sections["gps3"] = dated(gps3, gpsDay);
    sections["gpsProvinceRecords"] = Json{{"stamp", gpsDay.text()},
                                          {"secondWord", 1},
                                          {"recordSize", kGpsRecordSize},
                                          {"entries", entries}};

    w.package(pkg, Json{{"headerVersion", 3},
                        {"formatVersion", 5},
                        {"title", kTitle},
                        {"magic", "block"},
                        {"sections", sections}});
}

} // namespace

bool SamplePackages_write(const std::string& dir, std::vector<SampleFile>* written, std::string* error)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        if (error) *error = dir + ": cannot create: " + ec.message();
        return false;
    }
    if (written) written->clear();
    SampleWriter w(dir, written, error);
    writeMvt7Full(w);
    writeK502Full(w);
    writeProgramOnly(w);
    writeProvinces4m(w);
    w.zip("mvt7-full.zip", "mvt7-full", "data/update.DZR");
    return w.ok();
}
