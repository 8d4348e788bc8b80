// The terminal in each language: the final message of an update, the
// program's own lines and --help, chosen by the environment or --lang; the
// information file stays in its original text and GBK whatever the language.
#include "tests/cli/cli_support.h"

#include <algorithm>

#include "support/mo_file.h"

namespace {

using namespace cli_test;

// Small catalogues of the texts these tests look for.
const std::map<std::string, std::map<std::string, std::string>> kCatalogues = {
    {"es",
     {{"更新成功！", "¡Actualización correcta!"},
      {"no device found", "no se encontró ningún dispositivo"},
      {"update the connected device from a package or the update server",
       "actualiza el dispositivo conectado desde un paquete o el servidor"},
      {"Run with --help for more information.", "Use --help para más información."},
      {"有", "sí"},
      {"无", "no"},
      {"错", "error"},
      {"warning: the package's GPS data (%s) is older than the device's (%s)",
       "aviso: los datos GPS del paquete (%s) son más antiguos que los del dispositivo (%s)"},
      {"the GPS data (%s) does not fit the device's room of %s, and no provinces were chosen",
       "los datos GPS (%s) no caben en el espacio de %s del dispositivo y no se ha elegido ninguna provincia"},
      {"use --provinces %s (see tessaly-cli inspect %s)", "use --provinces %s (véase tessaly-cli inspect %s)"},
      {"no such file", "no existe el archivo"},
      {"check the file name; --package takes an update package (.dzr) or a zip archive holding one",
       "compruebe el nombre del archivo"}}},
    {"en", {{"更新成功！", "Update done!"}}},
    {"zh_CN", {{"no device found", "未找到设备"}}},
};

class Languages : public CliTest {
protected:
    void SetUp() override
    {
        CliTest::SetUp();
        localeDir = workDir() / "locale";
        for (const auto& [name, entries] : kCatalogues)
            ASSERT_TRUE(test_support::writeCatalogue(localeDir, name, entries));
    }

    // tessaly-cli with the catalogues above and the given language settings
    // in place of the C locale the other tests run in.
    RunResult cliIn(const std::vector<std::string>& vars, const std::vector<std::string>& args)
    {
        std::vector<std::string> env = childEnvironment(tmpDir);
        env.erase(std::remove(env.begin(), env.end(), "LC_ALL=C"), env.end());
        env.push_back("TESSALY_LOCALEDIR=" + localeDir.string());
        env.insert(env.end(), vars.begin(), vars.end());
        std::vector<std::string> argv = {TESSALY_CLI, "--sim-dir", simDir.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string base = (workDir() / ("lang-" + std::to_string(++runs))).string();
        Child child(argv, env, base + ".stdout", base + ".stderr");
        EXPECT_TRUE(child.started());
        return finish(child);
    }

    fs::path localeDir;
    int runs = 0;
};

TEST_F(Languages, UpdateEndsInTheChosenLanguage)
{
    const std::string full = Samples::get().file("k502-full.dzr").string();
    const std::string provinces = Samples::get().file("provinces-4m.dzr").string();
    struct Case {
        std::vector<std::string> env;
        std::vector<std::string> lang;
        std::string message;
        std::vector<std::string> args = {};  // after the package; {} for a plain update
        std::string package = {};            // "" for k502-full.dzr
        int status = 0;
        std::vector<std::string> err = {};   // texts of stderr, in this order
    };
    const Case cases[] = {
        {{"LANG=es_ES.UTF-8"}, {}, "¡Actualización correcta!\n"},
        {{"LANG=es_ES.UTF-8", "LANGUAGE=en"}, {}, "Update done!\n"},
        {{"LC_ALL=C", "LANGUAGE=es"}, {}, kSuccess},
        {{"LC_ALL=C"}, {"--lang", "es"}, "¡Actualización correcta!\n"},
        {{"LANG=es_ES.UTF-8"}, {"--lang=en"}, "Update done!\n"},
        // Chinese: the window's texts as written.
        {{"LANG=en_US.UTF-8"}, {"--lang", "zh"}, kSuccess},
        // The plan's warning, and a cause line with its advice, are the
        // terminal's: translated with their values in place.
        {{"LC_ALL=C"}, {"--lang", "es"}, "¡Actualización correcta!\n", {"--provinces", "北京,上海,广东"}, provinces, 0,
         {"aviso: los datos GPS del paquete (2024-06-01) son más antiguos que los del dispositivo (2024-11-02)"}},
        {{"LC_ALL=C"}, {"--lang", "es"}, kTooLong, {}, provinces, 1,
         {"update: los datos GPS (", " K) no caben en el espacio de 1380 K del dispositivo y no se ha elegido ninguna "
          "provincia; use --provinces 北京,上海 (véase tessaly-cli inspect " + provinces + ")\n"}},
        // A cause of two texts, "<file>: <reason>": its parts looked up.
        {{"LC_ALL=C"}, {"--lang", "es"}, "", {}, "/no/such/file", 1,
         {"update: /no/such/file: no existe el archivo; compruebe el nombre del archivo\n"}},
        {{"LC_ALL=C"}, {}, kTooLong, {}, provinces, 1,
         {"update: the GPS data (", "and no provinces were chosen; use --provinces 北京,上海 (see tessaly-cli"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env.back() + (c.lang.empty() ? "" : " " + c.lang.back()));
        Devsim* sim = plugIn("lang" + std::to_string(n++), "hid", "k502-4m");
        ASSERT_NE(sim, nullptr);
        std::vector<std::string> args = c.lang;
        for (const char* a : {"update", "--package"}) args.push_back(a);
        args.push_back(c.package.empty() ? full : c.package);
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = cliIn(c.env, args);
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_EQ(r.out, c.message) << r;
        size_t at = 0;
        for (const std::string& text : c.err) {
            at = r.err.find(text, at);
            ASSERT_NE(at, std::string::npos) << text << "\n" << r;
        }
        EXPECT_TRUE(sim->unplug()) << sim->log();
    }
}

TEST_F(Languages, OwnLinesAndHelpTranslatedInfoFileNot)
{
    // The program's own lines and its help.
    RunResult none = cliIn({"LANG=es_ES.UTF-8"}, {"devices"});
    EXPECT_EQ(none.status, 3) << none; // no device
    EXPECT_NE(none.err.find("no se encontró ningún dispositivo"), std::string::npos) << none;
    RunResult chinese = cliIn({"LC_ALL=C"}, {"--lang", "zh", "devices"});
    EXPECT_NE(chinese.err.find("未找到设备"), std::string::npos) << chinese;
    RunResult original = cliIn({"LANG=C"}, {"devices"});
    EXPECT_NE(original.err.find("no device found"), std::string::npos) << original;

    RunResult help = cliIn({"LANG=es_ES.UTF-8"}, {"--help"});
    EXPECT_EQ(help.status, 0) << help;
    EXPECT_NE(help.out.find("actualiza el dispositivo conectado"), std::string::npos) << help;
    RunResult badLang = cliIn({}, {"--lang", "fr", "devices"});
    EXPECT_EQ(badLang.status, 2) << badLang;
    RunResult usage = cliIn({"LANG=es_ES.UTF-8"}, {"--bogus", "devices"});
    EXPECT_EQ(usage.status, 2) << usage;
    EXPECT_NE(usage.err.find("Use --help para más información."), std::string::npos) << usage;

    // The information file is the device tool's, byte for byte, in any language.
    ASSERT_NE(plugIn("info", "hid", "k502-4m"), nullptr);
    const fs::path spanish = workDir() / "info-es.txt", plain = workDir() / "info-c.txt";
    EXPECT_EQ(cliIn({"LANG=es_ES.UTF-8"}, {"info", "-o", spanish.string()}).status, 0);
    EXPECT_EQ(cliIn({"LC_ALL=C"}, {"info", "-o", plain.string()}).status, 0);
    const std::string text = readText(spanish);
    EXPECT_EQ(text, readText(plain));
    EXPECT_TRUE(text.find("update version:\xD3\xD0" /* 有 */) != std::string::npos ||
                text.find("update version:\xCE\xDE" /* 无 */) != std::string::npos)
        << text;
    RunResult shown = cliIn({"LANG=es_ES.UTF-8"}, {"info"});
    EXPECT_EQ(shown.status, 0) << shown;
    EXPECT_TRUE(shown.out.find("update version:有") != std::string::npos ||
                shown.out.find("update version:无") != std::string::npos)
        << shown;
}

} // namespace
