// `tessaly-cli inspect FILE`: what an update container (or a zip archive
// holding one) carries, section by section.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/cli.h"
#include "cli/zip_container.h"
#include "core/package.h"
#include "core/regular_file.h"
#include "platform/text_codec.h"
#include "platform/translate_marks.h"

namespace {

using Json = nlohmann::ordered_json;

std::string dateText(const ZR_Date& d)
{
    if (d.year == 0) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(d.year), unsigned(d.month),
                  unsigned(d.day), unsigned(d.hour), unsigned(d.minute), unsigned(d.second));
    return text;
}

std::string gbkField(const char* bytes, size_t width)
{
    size_t n = strnlen(bytes, width);
    return Text_gbkToUtf8(std::string_view(bytes, n)); // always valid UTF-8
}

// A field meant to hold ASCII (a board key): anything else is shown as \xNN,
// so the text stays valid UTF-8 and says which bytes the container holds.
std::string asciiField(const char* bytes, size_t width)
{
    std::string out;
    for (size_t i = 0; i < width && bytes[i] != '\0'; ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

const char* magicText(uint32_t magic)
{
    switch (magic) {
    case ZR_PACKAGE_MAGIC_PLAIN: return "plain";
    case ZR_PACKAGE_MAGIC_BLOCK: return "block-enciphered";
    default: return "none (version 1 or 2 header)";
    }
}

std::string hex(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

uint32_t kibUp(uint64_t bytes) { return uint32_t((bytes + 1023) / 1024); }

Json describe(const ZR_Package& pkg, const std::string& file)
{
    const ZR_PackageHeader& h = pkg.header;
    Json j;
    j["file"] = file;
    j["headerVersion"] = ZR_PackageHeader_trailerVersion(&h);
    j["formatVersion"] = h.version;
    j["title"] = gbkField(pkg.title, sizeof pkg.title);
    j["magic"] = hex(h.magic);
    j["magicMeaning"] = magicText(h.magic);
    Json sections = Json::array();
    for (int i = 0; i < ZR_SECTION_COUNT; ++i) {
        auto s = ZR_Section(i);
        ZR_SectionView view{};
        ZR_Package_sectionView(&pkg, s, &view);
        Json e;
        e["name"] = ZR_Section_name(s);
        e["offset"] = h.sections[i].offset;
        e["size"] = h.sections[i].size;
        e["loaded"] = view.size;
        e["encoded"] = view.encoded;
        e["date"] = view.hasDate ? dateText(view.date) : "";
        sections.push_back(e);
    }
    j["sections"] = sections;

    Json programs = Json::array();
    for (uint32_t i = 0; i < pkg.program.count; ++i) {
        const ZR_ProgramEntry& p = pkg.program.entries[i];
        Json e;
        e["board"] = asciiField(p.boardKey, 4);
        e["imageSize"] = p.imageSize;
        e["loaded"] = p.image != nullptr;
        Json flags = Json::object();
        for (int k = 0; k < ZR_PROGRAM_PARAM_COUNT; ++k)
            if (p.params[k]) flags[ZR_ProgramParam_name(ZR_ProgramParam(k))] = p.params[k];
        e["params"] = flags;
        programs.push_back(e);
    }
    j["programLayout"] = pkg.program.count ? (pkg.program.layout ? "pre-header" : "short") : "";
    j["programs"] = programs;

    auto provinces = [](const ZR_ProvinceSlot& slot, uint32_t unit) {
        Json list = Json::array();
        for (uint32_t i = 0; i < slot.count; ++i) {
            const ZR_ProvinceEntry& e = slot.entries[i];
            Json x;
            x["name"] = gbkField(e.name, 50);
            x["count"] = e.count;
            x["sizeK"] = kibUp(uint64_t(e.count) * unit);
            list.push_back(x);
        }
        return list;
    };
    j["provinceRecords"] = {{"recordSize", pkg.gpsProvinceRecords.recordSize},
                            {"date", dateText(pkg.gpsProvinceRecords.date)},
                            {"entries", provinces(pkg.gpsProvinceRecords, pkg.gpsProvinceRecords.recordSize)}};
    j["provinceItems"] = {{"date", dateText(pkg.gpsProvinceItems.date)},
                          {"entries", provinces(pkg.gpsProvinceItems, 12)}};
    return j;
}

void printText(const Json& j)
{
    // Every text from the container goes to the terminal with its control
    // characters escaped: an ESC in a name must not drive the terminal.
    auto str = [](const Json& v) { return Text_terminalSafe(v.get<std::string>()); };
    std::printf("file            %s\n", str(j["file"]).c_str());
    std::printf("header          version %d, format version %u\n", j["headerVersion"].get<int>(),
                j["formatVersion"].get<unsigned>());
    std::printf("title           %s\n", str(j["title"]).c_str());
    std::printf("magic           %s (%s)\n", j["magic"].get<std::string>().c_str(),
                j["magicMeaning"].get<std::string>().c_str());
    std::printf("\n%-20s %10s %10s  %-7s  %s\n", "section", "offset", "size", "form", "date");
    for (const Json& s : j["sections"]) {
        uint32_t size = s["size"];
        if (size == 0) continue;
        uint32_t loaded = s["loaded"];
        std::string form = loaded == 0 && size != 0 ? "FAILED" : (s["encoded"].get<uint32_t>() ? "encoded" : "plain");
        std::printf("%-20s %10s %10u  %-7s  %s\n", str(s["name"]).c_str(),
                    hex(s["offset"]).c_str(), size, form.c_str(), s["date"].get<std::string>().c_str());
    }
    const Json& programs = j["programs"];
    if (!programs.empty()) {
        std::printf("\nprograms (%zu, %s table)\n", programs.size(), j["programLayout"].get<std::string>().c_str());
        std::printf("  %-6s %10s  %s\n", "board", "image", "parameters");
        for (const Json& p : programs) {
            std::string params;
            for (auto it = p["params"].begin(); it != p["params"].end(); ++it) {
                if (!params.empty()) params += ' ';
                params += it.key() + "=" + std::to_string(it.value().get<uint32_t>());
            }
            std::string image = p["loaded"].get<bool>() ? std::to_string(p["imageSize"].get<uint32_t>()) : "missing";
            std::printf("  %-6s %10s  %s\n", str(p["board"]).c_str(), image.c_str(), params.c_str());
        }
    }
    auto provinceList = [&](const char* title, const Json& table, const char* unit) {
        const Json& entries = table["entries"];
        if (entries.empty()) return;
        std::printf("\n%s (%s)\n", title, table["date"].get<std::string>().c_str());
        std::printf("  %-12s %10s %10s\n", "province", unit, "size K");
        for (const Json& e : entries) {
            // Names are padded by display width: a CJK character takes two columns.
            std::string name = Text_terminalSafe(e["name"].get<std::string>());
            size_t columns = 0;
            for (unsigned char c : name) columns += (c & 0xC0) != 0x80 ? (c >= 0xE0 ? 2 : 1) : 0;
            std::printf("  %s%*s %10u %10u\n", name.c_str(), int(columns < 12 ? 12 - columns : 0), "",
                        e["count"].get<uint32_t>(), e["sizeK"].get<uint32_t>());
        }
    };
    std::string recordsTitle =
        "province GPS records, " + std::to_string(j["provinceRecords"]["recordSize"].get<uint32_t>()) + " bytes each";
    provinceList(recordsTitle.c_str(), j["provinceRecords"], "records");
    provinceList("province GPS items", j["provinceItems"], "items");
}

int runInspect(const std::string& file, bool json)
{
    std::string notRegular;
    if (!ZR_isRegularFile(file.c_str(), &notRegular)) {
        std::fprintf(stderr, "inspect: %s: %s\n", Text_terminalSafe(file).c_str(), notRegular.c_str());
        return CLI_EXIT_ERROR;
    }
    CliTempContainer temp;
    std::string container = file;
    if (Cli_looksLikeZip(file)) {
        std::string error;
        if (!temp.extract(file, &error)) {
            std::fprintf(stderr, "inspect: %s: %s\n", file.c_str(), error.c_str());
            return CLI_EXIT_ERROR;
        }
        container = temp.path();
    }
    PackagePtr pkg(ZR_Package_load(container.c_str()));
    if (!pkg) {
        std::fprintf(stderr, "inspect: %s: %s\n", file.c_str(), _("not an update container (no valid header)"));
        return CLI_EXIT_ERROR;
    }
    Json j = describe(*pkg, file);
    if (json)
        std::printf("%s\n", j.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
    else
        printText(j);
    return CLI_EXIT_OK;
}

} // namespace

void Cli_addInspectCommand(CLI::App& app, CliOptions& /*options*/, int* exitStatus)
{
    auto* cmd = app.add_subcommand("inspect", "list what an update container (.dzr, or a zip holding one) carries");
    auto file = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("FILE", *file, "the container or zip archive")->required();
    cmd->add_flag("--json", *json, "print JSON for machines");
    cmd->callback([=] { *exitStatus = runInspect(*file, *json); });
}
