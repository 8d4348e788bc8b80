#include "net/version_lookup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "net/message_queue.h"
#include "support/http_server.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using test_support::TestHttpServer;

// The main window as the lookup sees it.
struct FakeWindow : VersionLookupWindow {
    std::string status = "(initial)";
    std::map<int, bool> enabled;
    bool connected = true;

    void setStatusText(const char* text) override { status = text; }
    void enableControl(int id, bool enable) override { enabled[id] = enable; }
    bool isDeviceConnected() override { return connected; }
};

const std::string kBusy = kVersionLookupBusyText;
const std::string kFailed = kVersionLookupFailedText;
const std::string kVersionIs = kVersionLookupVersionText;

class VersionFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = temp / "Tmp";
        lookup.tempFile = path;
    }

    int parse(const std::string& text)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        return lookup.Parse(path.c_str());
    }

    test_support::TempDir temp;
    std::string path;
    FakeWindow window;
    CHttpDownload downloader;
    MessageQueue queue;
    CVersionLookup lookup{&window, &downloader, &queue};
};

TEST_F(VersionFile, SimpleFormGivesVersionAndAddress)
{
    ASSERT_EQ(parse("20240115\nhttp://update.example/pkg/2024.zip\n"), 1);
    EXPECT_EQ(lookup.listMode, 0);
    EXPECT_EQ(lookup.networkVersion, 20240115);
    EXPECT_EQ(lookup.packageAddress, "http://update.example/pkg/2024.zip");
    EXPECT_EQ(window.status, kVersionIs + "20240115");
    EXPECT_FALSE(fs::exists(path)) << "a file that was read is deleted";
    EXPECT_EQ(lookup.HasPackageChoice(), 1);

    // Only the leading digits count; CR LF endings leave no CR in the address.
    ASSERT_EQ(parse("20230901 beta\r\nhttp://h/p.dzr\r\n"), 1);
    EXPECT_EQ(lookup.networkVersion, 20230901);
    EXPECT_EQ(lookup.packageAddress, "http://h/p.dzr");

    // The address line holds at most 259 characters.
    ASSERT_EQ(parse("1\nhttp://h/" + std::string(400, 'a') + "\n"), 1);
    EXPECT_EQ(lookup.packageAddress.size(), 259u);
}

TEST_F(VersionFile, SimpleFormNeedsTwoLines)
{
    for (const char* text : {"20240115\n", "20240115", "20240115\n\nhttp://h/p.dzr\n", "7\r\n\r\n"}) {
        SCOPED_TRACE(text);
        window.status = "(before)";
        lookup.networkVersion = 5;
        EXPECT_EQ(parse(text), 0);
        EXPECT_EQ(lookup.networkVersion, -1);
        EXPECT_EQ(window.status, kFailed);
        EXPECT_TRUE(fs::exists(path)) << "a broken file is left";
    }
    fs::remove(path);
    window.status = "(before)";
    EXPECT_EQ(lookup.Parse(path.c_str()), 0) << "no file";
    EXPECT_EQ(window.status, "(before)");
}

TEST_F(VersionFile, ListFormKeepsThreeFieldLinesUpToTheFirstEmptyLine)
{
    window.status = kBusy;
    lookup.languageList.resize(4); // from an earlier lookup
    ASSERT_EQ(parse("Mandarin, 20240101 ,http://h/zh.dzr\r\n"
                    "two,fields\r\n"
                    "\t English\t,20240102,  http://h/en.dzr  \r\n"
                    "four,fields,in,all\r\n"
                    "a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s,t,u\r\n" // more than 20 fields
                    "empty,,field\r\n"
                    "\r\n"
                    "After,1,http://h/after.dzr\r\n"),
              1);
    EXPECT_EQ(lookup.listMode, 1);
    ASSERT_EQ(lookup.languageList.size(), 3u);
    EXPECT_STREQ(lookup.languageList[0].name, "Mandarin");
    EXPECT_STREQ(lookup.languageList[0].version, "20240101");
    EXPECT_STREQ(lookup.languageList[0].address, "http://h/zh.dzr");
    EXPECT_STREQ(lookup.languageList[1].name, "English");
    EXPECT_STREQ(lookup.languageList[1].address, "http://h/en.dzr");
    EXPECT_STREQ(lookup.languageList[2].version, "");
    EXPECT_STREQ(lookup.languageList[2].address, "field");
    EXPECT_EQ(window.status, kBusy) << "the list form leaves the status alone";
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(lookup.HasPackageChoice(), 1);
}

TEST_F(VersionFile, ListFormCutsLongFields)
{
    std::string name(600, 'n'), version(150, 'v'), address(700, 'a');
    // A line is read up to 1023 characters, so keep this one within.
    ASSERT_EQ(parse(name.substr(0, 520) + "," + version + "," + address.substr(0, 340) + "\n"), 1);
    ASSERT_EQ(lookup.languageList.size(), 1u);
    EXPECT_EQ(std::string(lookup.languageList[0].name), name.substr(0, 511));
    EXPECT_EQ(std::string(lookup.languageList[0].version), version.substr(0, 99));
    EXPECT_EQ(std::string(lookup.languageList[0].address), address.substr(0, 340));

    // A one-line list without a record is an empty list: nothing to update from.
    ASSERT_EQ(parse("Mandarin only\n"), 1);
    EXPECT_TRUE(lookup.languageList.empty());
    EXPECT_EQ(lookup.HasPackageChoice(), 0);
}

TEST(VersionFileAddress, ComesFromTheClientTable)
{
    EXPECT_EQ(VersionLookup_addressFor("Halcyon Path", "srv.example"), "http://srv.example/UserFiles/File/HalcyonPath.txt");
    EXPECT_EQ(VersionLookup_addressFor("", "srv.example"), "http://srv.example/UserFiles/File/testNet.txt");
    EXPECT_EQ(VersionLookup_addressFor(std::string(21, ' ').c_str(), "h"), "http://h/UserFiles/File/testNet.txt");
    EXPECT_EQ(VersionLookup_addressFor("Borealis Tech", "h"), "");
}

// Start and finish against a server, as the window drives them.
class Lookup : public VersionFile {
protected:
    void SetUp() override
    {
        VersionFile::SetUp();
        lookup.clientName = "Halcyon Path";
        lookup.updateHost = server.hostPort();
        serve("20240301\nhttp://h/p.dzr\n");
    }

    // The window's WM_DOWNLOAD_DONE.
    void finish()
    {
        auto done = queue.waitFor(WM_DOWNLOAD_DONE);
        ASSERT_TRUE(done);
        ASSERT_EQ(lookup.downloadMode, 1);
        lookup.Finish(int(done->wParam));
    }

    void serve(const std::string& text) { server.serve("/UserFiles/File/HalcyonPath.txt", text); }

    TestHttpServer server;
};

TEST_F(Lookup, FetchesParsesAndEnablesUpdate)
{
    ASSERT_EQ(lookup.Start(), 1);
    EXPECT_EQ(lookup.versionFileAddress, server.url("/UserFiles/File/HalcyonPath.txt"));
    EXPECT_EQ(window.status, kBusy);
    EXPECT_FALSE(window.enabled.at(VERSION_LOOKUP_OPEN_BUTTON)) << "open is disabled during the lookup";
    finish();
    EXPECT_EQ(lookup.downloadMode, 0);
    EXPECT_EQ(lookup.networkVersion, 20240301);
    EXPECT_EQ(lookup.packageAddress, "http://h/p.dzr");
    EXPECT_EQ(window.status, kVersionIs + "20240301");
    EXPECT_TRUE(window.enabled.at(VERSION_LOOKUP_OPEN_BUTTON));
    EXPECT_TRUE(window.enabled.at(VERSION_LOOKUP_UPDATE_BUTTON));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(Lookup, ListFormEnablesUpdateOnlyWithRecords)
{
    serve("Mandarin,1,http://h/zh.dzr\n");
    ASSERT_EQ(lookup.Start(), 1);
    finish();
    EXPECT_EQ(lookup.listMode, 1);
    EXPECT_EQ(window.status, kBusy);
    EXPECT_TRUE(window.enabled.at(VERSION_LOOKUP_UPDATE_BUTTON));

    window.enabled.clear();
    queue.clear();
    serve("no records here\n");
    ASSERT_EQ(lookup.Start(), 1);
    finish();
    EXPECT_EQ(window.enabled.count(VERSION_LOOKUP_UPDATE_BUTTON), 0u);
}

TEST_F(Lookup, FailedFetchOrBrokenFileGivesTheFailureText)
{
    serve("20240301\n"); // one line only
    ASSERT_EQ(lookup.Start(), 1);
    finish();
    EXPECT_EQ(lookup.networkVersion, -1);
    EXPECT_EQ(window.status, kFailed);
    EXPECT_EQ(window.enabled.count(VERSION_LOOKUP_UPDATE_BUTTON), 0u);

    queue.clear();
    lookup.clientName = ""; // testNet.txt, which this server does not have
    lookup.networkVersion = 7;
    ASSERT_EQ(lookup.Start(), 1);
    finish();
    EXPECT_EQ(lookup.downloadMode, 0);
    EXPECT_EQ(lookup.networkVersion, -1);
    EXPECT_EQ(window.status, kFailed);
    EXPECT_TRUE(window.enabled.at(VERSION_LOOKUP_OPEN_BUTTON));
}

TEST_F(Lookup, AbortedFetchChangesNothingElse)
{
    lookup.networkVersion = 20200101;
    lookup.downloadMode = 1;
    window.status = kBusy;
    lookup.Finish(DOWNLOAD_ABORTED);
    EXPECT_EQ(lookup.downloadMode, 1);
    EXPECT_EQ(lookup.networkVersion, 20200101);
    EXPECT_EQ(window.status, kBusy);
    EXPECT_TRUE(window.enabled.at(VERSION_LOOKUP_OPEN_BUTTON));
}

TEST_F(Lookup, NoLookupWithoutAnAddressOrWhenTheDownloaderCannotStart)
{
    lookup.clientName = "Borealis Tech";
    EXPECT_EQ(lookup.Start(), 0);
    EXPECT_EQ(window.status, "(initial)");
    EXPECT_TRUE(window.enabled.empty());
    EXPECT_EQ(lookup.downloadMode, 0);

    // Without a device the address is not chosen, so none is there to fetch.
    lookup.clientName = "Halcyon Path";
    window.connected = false;
    EXPECT_EQ(lookup.Start(), 0);
    EXPECT_EQ(lookup.versionFileAddress, "");

    window.connected = true;
    lookup.tempFile = temp / "missing/Tmp";
    EXPECT_EQ(lookup.Start(), 0);
    EXPECT_EQ(window.status, "An error occured while opening the file to be downloaded, Error:2");
    EXPECT_EQ(lookup.downloadMode, 0);
    EXPECT_TRUE(window.enabled.at(VERSION_LOOKUP_OPEN_BUTTON));
    EXPECT_TRUE(queue.all().empty());
}

} // namespace

namespace {

// Without a file named by the caller, "Tmp" lives in a private folder of the
// lookup's own, which goes after every answer, broken ones included; a "Tmp"
// someone left in the temporary directory is neither used nor touched.
TEST_F(Lookup, TheVersionFileLivesInAFolderOfItsOwnThatGoesAfterEveryAnswer)
{
    const fs::path tmp = temp.path() / "tmpdir";
    fs::create_directories(tmp);
    const fs::path victim = temp.path() / "victim";
    std::ofstream(victim) << "keep";
    fs::create_symlink(victim, tmp / "Tmp");
    std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", tmp.c_str(), 1);
    lookup.tempFile.clear();

    for (const char* text : {"20240301\nhttp://h/p.dzr\n", "20240301\n", "Mandarin,1,http://h/zh.dzr\n", ""}) {
        SCOPED_TRACE(text);
        queue.clear();
        serve(text);
        ASSERT_EQ(lookup.Start(), 1);
        const fs::path fetched = lookup.TempFilePath();
        EXPECT_EQ(fetched.filename(), "Tmp");
        EXPECT_EQ(fetched.parent_path().parent_path(), tmp);
        EXPECT_EQ(fs::status(fetched.parent_path()).permissions(), fs::perms::owner_all);
        finish();
        EXPECT_FALSE(fs::exists(fetched.parent_path()));
        EXPECT_EQ(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()), 1);
    }
    EXPECT_TRUE(fs::is_symlink(tmp / "Tmp"));
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
    saved.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved.c_str(), 1);
}

} // namespace

namespace {

// A lookup that fails keeps its cause with the address, and whether the
// fetch itself failed; one that works clears both. A file that names no
// package in either form ends as a failure, never on the busy text.
TEST_F(Lookup, FailureKeepsItsCauseWithTheAddress)
{
    const std::string address = server.url("/UserFiles/File/HalcyonPath.txt");
    const struct {
        const char* name;
        const char* body;       // null: the file is not served at all
        bool fetchFailed;
        std::string cause;      // part of lastError; "" for none
    } cases[] = {
        {"missing", nullptr, true, "GET " + server.url("/UserFiles/File/testNet.txt") + ": HTTP 404"},
        {"no record", "<title>Not Found</title>\n", false,
         "the version file " + address + " is not one: its first line \"<title>Not Found</title>\""},
        {"empty", "", false, "the version file " + address + " is empty"},
        {"no address", "20240301\n", false, "names version 20240301 but no package address"},
        {"good", "20240301\nhttp://h/p.dzr\n", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        queue.clear();
        lookup.clientName = c.body ? "Halcyon Path" : "";
        if (c.body) serve(c.body);
        ASSERT_EQ(lookup.Start(), 1);
        finish();
        EXPECT_EQ(lookup.lastFetchFailed, c.fetchFailed);
        if (c.cause.empty()) {
            EXPECT_EQ(lookup.lastError, "");
            EXPECT_EQ(window.status, kVersionIs + "20240301");
        } else {
            EXPECT_NE(lookup.lastError.find(c.cause), std::string::npos) << lookup.lastError;
            EXPECT_EQ(window.status, kFailed);
            EXPECT_EQ(lookup.networkVersion, -1);
        }
    }
}

} // namespace
