// The update check: reading the manifest and choosing what to update.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StatusText.h"
#include "update_scenario.h"

using namespace update_test;

namespace {

std::string Utf16(const std::wstring& text, bool bigEndian) {
    std::string out;
    for (wchar_t c : text) {
        const char low = static_cast<char>(c & 0xFF), high = static_cast<char>((c >> 8) & 0xFF);
        out += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

class UpdateCheckTest : public UpdateScenarioTest {
protected:
    // A manifest for version `version` whose items delete the named files.
    std::string DeletingManifest(const std::string& version, const std::vector<std::string>& items) {
        std::string xml = "<Update url=\"" + Url("/files/") + "\" version=\"" + version + "\">";
        for (const auto& item : items) xml += item;
        return xml + "</Update>";
    }
    static std::string DeleteItem(const std::string& version, const std::string& path) {
        return "<File version=\"" + version + "\" op=\"1\" path=\"" + path + "\"/>";
    }
    void MakeFiles(const std::vector<std::wstring>& names) {
        for (const auto& name : names) WriteFile(GamePath(name), "old");
    }
};

TEST_F(UpdateCheckTest, UnusableManifestEndsWithCheckFailedAndLeavesEverything) {
    const std::string victim = DeleteItem("9", "victim.txt");
    const std::string whole = DeletingManifest("9", {victim});
    const std::string cutManifest = whole.substr(0, whole.size() - 9);
    const struct {
        const char* what;
        std::string body;
    } cases[] = {
        {"empty body", ""},
        {"encoding named in capitals",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + DeletingManifest("9", {victim})},
        {"8-bit text claiming UTF-16",
         "<?xml version=\"1.0\" encoding=\"utf-16\"?>" + DeletingManifest("9", {victim})},
        {"no Update element", "<Manifest><File version=\"9\" op=\"1\" path=\"victim.txt\"/></Manifest>"},
        {"empty url", "<Update url=\"\" version=\"9\">" + victim + "</Update>"},
        {"no url", "<Update version=\"9\">" + victim + "</Update>"},
        // Cut short in transit: the items that arrived must not run.
        {"cut before the end tag", cutManifest},
        {"cut inside the end tag", whole.substr(0, whole.size() - 4)},
        {"UTF-16 cut before the end tag",
         "\xFF\xFE" + Utf16(std::wstring(cutManifest.begin(), cutManifest.end()), false)},
    };
    SetStore("[Versions]\r\nGame2=1\r\n");
    MakeFiles({L"victim.txt"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server_.Route("/update/?id=2&v=1", kit_http::CResponse::Ok(c.body));
        const tagRunResult run = RunUpdate(2);
        EXPECT_EQ(1u, run.exitCode);
        EXPECT_EQ((std::vector<std::wstring>{kStatusChecking, kStatusCheckFailed}), run.statuses);
        EXPECT_EQ(Lines936(run.statuses), run.output) << From936(run.output);
        EXPECT_EQ(std::vector<uint8_t>{0}, run.finished);
        EXPECT_EQ("[Versions]\r\nGame2=1\r\n", Store());
        EXPECT_TRUE(FileExists(GamePath(L"victim.txt")));
    }
}

TEST_F(UpdateCheckTest, ManifestVersionNotAboveTheInstalledOneIsCurrent) {
    SetStore("[Versions]\r\nGame1=5\r\n");
    MakeFiles({L"keep.txt"});
    for (const char* version : {"5", "4", ""}) {
        SCOPED_TRACE(std::string("manifest version '") + version + "'");
        ServeManifest(1, 5, DeletingManifest(version, {DeleteItem("6", "keep.txt")}));
        const tagRunResult run = RunUpdate(1);
        EXPECT_EQ(1u, run.exitCode);
        EXPECT_EQ((std::vector<std::wstring>{kStatusChecking, kStatusUpToDate}), run.statuses);
        EXPECT_EQ(std::vector<uint8_t>{0}, run.finished);
        EXPECT_TRUE(FileExists(GamePath(L"keep.txt")));
        EXPECT_EQ("[Versions]\r\nGame1=5\r\n", Store());
    }
}

TEST_F(UpdateCheckTest, OnlyFileItemsNewerThanTheInstalledVersionAreCarriedOut) {
    SetStore("[Versions]\r\nGame1=2\r\n");
    MakeFiles({L"newer.txt", L"same.txt", L"unversioned.txt", L"other.txt", L"older.txt"});
    ServeManifest(
        1, 2,
        DeletingManifest("3", {DeleteItem("3", "newer.txt"), DeleteItem("2", "same.txt"),
                               "<File op=\"1\" path=\"unversioned.txt\"/>",
                               "<Other version=\"3\" op=\"1\" path=\"other.txt\"/>",
                               DeleteItem("1", "older.txt"), "<File version=\"3\" op=\"7\" path=\"x\"/>"}));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_EQ(std::vector<uint8_t>{1}, run.finished);
    EXPECT_FALSE(FileExists(GamePath(L"newer.txt")));
    for (const wchar_t* kept : {L"same.txt", L"unversioned.txt", L"other.txt", L"older.txt"})
        EXPECT_TRUE(FileExists(GamePath(kept))) << kept;
    EXPECT_EQ("[Versions]\r\nGame1=3\r\n", Store());
}

TEST_F(UpdateCheckTest, AnUnknownOperationAloneStillMakesARun) {
    ServeManifest(1, 0, DeletingManifest("2", {"<File version=\"1\" op=\"7\" size=\"500\"/>"}));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_TRUE(run.progress.empty()) << "no download, no progress";
    EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store()) << "a store without the game's key reads as version 0";
}

TEST_F(UpdateCheckTest, LoneEmptyFileElementIsFoldedAwayAndIsNoItem) {
    ServeManifest(1, 0, DeletingManifest("2", {"<File/>"}));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusUpToDate}), run.statuses);
    EXPECT_EQ("", Store()) << "nothing written";
}

TEST_F(UpdateCheckTest, ChildElementsReadLikeAttributesAndUpdateIsFoundNestedDeep) {
    MakeFiles({L"child.txt", L"attr.txt"});
    ServeManifest(1, 0,
                  "<Root><Info/><Group><Update><url>" + Url("/files/") +
                      "</url><version>4</version>"
                      "<File><version>2</version><op>1</op><path>child.txt</path></File>"
                      "<File version=\"3\" op=\"1\" path=\"attr.txt\"/></Update></Group></Root>");
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_FALSE(FileExists(GamePath(L"child.txt")));
    EXPECT_FALSE(FileExists(GamePath(L"attr.txt")));
    EXPECT_EQ("[Versions]\r\nGame1=4\r\n", Store());
}

TEST_F(UpdateCheckTest, ManifestsInEveryAcceptedEncodingAreRead) {
    const std::string base = Url("/files/");
    const std::wstring manifest =
        L"<Update url=\"" + std::wstring(base.begin(), base.end()) +
        L"\" version=\"2\"><File version=\"1\" op=\"1\" path=\"存档.txt\"/></Update>";
    const std::wstring declared = L"<?xml version=\"1.0\" encoding=\"gb2312\"?>" + manifest;
    const struct {
        const char* what;
        std::string body;
    } cases[] = {
        {"UTF-16LE with byte-order mark", "\xFF\xFE" + Utf16(manifest, false)},
        {"UTF-16BE with byte-order mark", "\xFE\xFF" + Utf16(manifest, true)},
        {"UTF-8 with byte-order mark", "\xEF\xBB\xBF" + ToUtf8(manifest)},
        {"gb2312 declaration", To936(declared)},
        {"utf-8 declaration", ToUtf8(L"<?xml version=\"1.0\" encoding=\"utf-8\"?>" + manifest)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetStore("[Versions]\r\nGame1=0\r\n");
        MakeFiles({L"存档.txt"});
        ServeManifest(1, 0, c.body);
        const tagRunResult run = RunUpdate(1);
        EXPECT_EQ(1u, run.exitCode);
        EXPECT_EQ(Installing({kStatusDone}), run.statuses);
        EXPECT_FALSE(FileExists(GamePath(L"存档.txt"))) << "the Chinese file name was read right";
    }
}

TEST_F(UpdateCheckTest, NegativeVersionTextComparesAboveEveryPositiveOne) {
    SetStore("[Versions]\r\nGame1=100\r\n");
    MakeFiles({L"old.txt"});
    ServeManifest(1, 100, DeletingManifest("-5", {DeleteItem("-5", "old.txt")}));
    tagRunResult run = RunUpdate(1);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_FALSE(FileExists(GamePath(L"old.txt")));
    EXPECT_EQ("[Versions]\r\nGame1=-5\r\n", Store());

    // The next check carries the version unsigned and finds it current.
    ServeManifest(1, 18446744073709551611ull, DeletingManifest("-5", {DeleteItem("-5", "old.txt")}));
    run = RunUpdate(1);
    EXPECT_EQ((std::vector<std::wstring>{kStatusChecking, kStatusUpToDate}), run.statuses);
}

TEST_F(UpdateCheckTest, RedirectedCheckIsFollowedAndDownloadsUseTheManifestUrl) {
    kit_http::CScriptedHttpServer other;
    ASSERT_TRUE(other.Start());
    other.Route("/elsewhere/manifest.xml",
                kit_http::CResponse::Ok("<Update url=\"" + Url("/files/") +
                                        "\" version=\"2\"><File version=\"1\" fname=\"a.bin\" path=\"a.bin\" "
                                        "size=\"3\"/><File version=\"1\" op=\"7\"/></Update>"));
    server_.Route("/update/?id=1&v=0",
                   kit_http::CResponse().Send(kit_http::CResponse::Head(
                       302, "Found",
                       "Location: " + other.BaseUrl() + "/elsewhere/manifest.xml\r\nContent-Length: 0\r\n")));
    ServeFile("/files/a.bin", "abc");
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_EQ("abc", ReadFileBytes(GamePath(L"a.bin")));
    ASSERT_EQ(1u, other.Requests().size());
    const auto requests = server_.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("/files/a.bin", requests[1].target);
}

TEST_F(UpdateCheckTest, FailedOrBrokenCheckRequestEndsWithZeroAndLeavesTheStore) {
    const struct {
        const char* what;
        kit_http::CResponse answer;
        const wchar_t* status;
    } cases[] = {
        {"server error",
         kit_http::CResponse().Send(kit_http::CResponse::Head(500, "Oops", "Content-Length: 0\r\n")),
         kStatusListFailed},
        {"closed mid-body",
         kit_http::CResponse()
             .Send(kit_http::CResponse::Head(200, "OK", "Content-Length: 100\r\n") + "<Update")
             .Delay(200)
             .Close(),
         kStatusDisconnected},
    };
    SetStore("[Versions]\r\nGame1=1\r\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server_.Route("/update/?id=1&v=1", c.answer);
        const tagRunResult run = RunUpdate(1);
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ((std::vector<std::wstring>{kStatusChecking, c.status}), run.statuses);
        EXPECT_EQ(std::vector<uint8_t>{0}, run.finished);
        EXPECT_EQ("[Versions]\r\nGame1=1\r\n", Store());
    }
}

TEST_F(UpdateCheckTest, TotalCountsSignedSizesOfDownloadItemsOnly) {
    ServeManifest(1, 0,
                  "<Update url=\"" + Url("/files/") +
                      "\" version=\"2\">"
                      "<File version=\"1\" op=\"0\" fname=\"a.bin\" path=\"a.bin\" size=\"100\"/>"
                      "<File version=\"1\" op=\"1\" path=\"none.txt\" size=\"5000\"/>"
                      "<File version=\"1\" fname=\"b.bin\" path=\"b.bin\" size=\"-30\"/>"
                      "</Update>");
    ServeFile("/files/a.bin", std::string(100, 'a'));
    ServeFile("/files/b.bin", std::string(10, 'b'));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    ASSERT_EQ(2u, run.progress.size()) << "one completion report per download, nothing periodic";
    EXPECT_EQ(70u, run.progress[0].total);
    EXPECT_EQ(100u, run.progress[0].done);
    EXPECT_EQ(70u, run.progress[1].total);
    EXPECT_EQ(70u, run.progress[1].done);
    EXPECT_EQ(0u, run.progress[1].secondsLeft);
}

}  // namespace
