// Whole update runs with a public key (given to the test build through
// KIT_UPDATE_PUBLIC_KEY) and without one: signed manifests, refused
// answers, and downloads checked against their SHA-256.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "signature_fixtures.h"
#include "update_scenario.h"

using namespace update_test;

namespace {

const wchar_t kKeyVariable[] = L"KIT_UPDATE_PUBLIC_KEY";
const std::wstring kListRefused = L"更新列表校验失败!";
const std::wstring kFileRefused = L"更新文件校验失败!";
const std::string kFresh = "fresh contents";  // its SHA-256 is in download.xml
const std::string kFreshSha256 = "43bb7c7784d0a6304837645dbdef417d21a805cb2c0dd6fe1ce8b52027cefb97";

std::string Gzipped(const std::string& packed) {
    return kit_http::CResponse::Head(200, "OK",
                                     "Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"
                                     "Connection: keep-alive\r\n") +
           kit_http::CResponse::Chunked(packed, 100);
}

class UpdateTrustTest : public UpdateScenarioTest {
protected:
    void TearDown() override { SetEnvironmentVariableW(kKeyVariable, nullptr); }

    static void UseKey() {
        const std::string key = PublicKeyLine();
        SetEnvironmentVariableW(kKeyVariable, std::wstring(key.begin(), key.end()).c_str());
    }
    // A fresh game folder state: the file the manifests delete, an old
    // download target, no version store.
    void ResetGame() {
        WriteFile(GamePath(L"victim.txt"), "keep me");
        WriteFile(GamePath(L"data.bin"), "old contents");
        DeleteFileW(GamePath(L"Configs\\Version.dat").c_str());
    }
    std::vector<std::string> Targets() const {
        std::vector<std::string> targets;
        for (const auto& r : server_.Requests()) targets.push_back(r.target);
        return targets;
    }
    // Checks that a run refused its answer and changed nothing.
    void ExpectRefused(const tagRunResult& run, const std::wstring& status, const char* name) {
        EXPECT_EQ(0u, run.exitCode) << name;
        EXPECT_EQ(std::vector<uint8_t>{0}, run.finished) << name;
        EXPECT_EQ("keep me", ReadFileBytes(GamePath(L"victim.txt"))) << name;
        EXPECT_EQ("old contents", ReadFileBytes(GamePath(L"data.bin"))) << name;
        EXPECT_FALSE(FileExists(GamePath(L"data.bin_"))) << name;
        EXPECT_FALSE(FileExists(GamePath(L"Configs\\Version.dat"))) << name << ": " << Store();
        ASSERT_FALSE(run.statuses.empty()) << name;
        EXPECT_EQ(status, run.statuses.back()) << name << ": " << From936(run.output);
    }
    std::string Unsigned(const std::string& items) const {
        return "<Update url=\"" + Url("/files/") + "\" version=\"2\">" + items + "</Update>";
    }
    static std::string Download(const std::string& extra) {
        return "<File version=\"1\" op=\"0\" fname=\"data.bin\" path=\"data.bin\" size=\"14\"" + extra + "/>";
    }
};

TEST_F(UpdateTrustTest, SignedManifestIsCarriedOutPlainOrGzippedAndChunked) {
    UseKey();
    const struct {
        const char* name;
        kit_http::CResponse answer;
    } cases[] = {
        {"plain", kit_http::CResponse::Ok(SignedManifest(L"delete.xml"))},
        {"gzip, chunked", kit_http::CResponse().Send(Gzipped(SignatureFixture(L"delete.xml.signed.gz")))},
    };
    for (const auto& c : cases) {
        ResetGame();
        server_.Route("/update/?id=7&v=0", c.answer);
        const tagRunResult run = RunUpdate(7);
        EXPECT_EQ(1u, run.exitCode) << c.name;
        EXPECT_EQ(Installing({L"更新完成!"}), run.statuses) << c.name << ": " << From936(run.output);
        EXPECT_FALSE(FileExists(GamePath(L"victim.txt"))) << c.name;
        EXPECT_EQ("[Versions]\r\nGame7=2\r\n", Store()) << c.name;
    }
}

TEST_F(UpdateTrustTest, AnswersWithoutAValidSignatureForThisGameCarryOutNothing) {
    UseKey();
    const std::string manifest = SignatureFixture(L"delete.xml");
    const std::string minisig = SignatureFixture(L"delete.xml.minisig");
    std::string newer = manifest;
    newer.replace(newer.find("version=\"2\""), 11, "version=\"3\"");
    std::string comment = minisig;
    comment.insert(comment.find("\ntrusted comment: ") + 18, "x");
    const struct {
        const char* name;
        unsigned game;
        std::string body;
    } cases[] = {
        {"unsigned", 7, manifest},
        {"a byte of the manifest changed", 7, newer + SignatureBlock(minisig)},
        {"trusted comment changed", 7, manifest + SignatureBlock(comment)},
        {"block followed by more XML", 7, SignedManifest(L"delete.xml") + "<Update/>"},
        {"signed for game 7, run for game 8", 8, SignedManifest(L"delete.xml")},
        {"download item without sha256 after a delete item", 7, SignedManifest(L"unhashed.xml")},
    };
    for (const auto& c : cases) {
        ResetGame();
        ServeManifest(c.game, 0, c.body);
        const size_t before = server_.Requests().size();
        const tagRunResult run = RunUpdate(c.game);
        ExpectRefused(run, kListRefused, c.name);
        // Nothing of the manifest was read: not even the counting step.
        EXPECT_EQ((std::vector<std::wstring>{L"正在检查更新......", kListRefused}), run.statuses) << c.name;
        EXPECT_EQ(before + 1, server_.Requests().size()) << c.name << ": only the check was asked";
    }
}

TEST_F(UpdateTrustTest, DownloadIsPutInPlaceOnlyWithItsDigest) {
    UseKey();
    const struct {
        const char* name;
        std::string payload;
        bool good;
    } cases[] = {
        {"forged file", "forged content", false},
        {"expected file (upper-case digest)", kFresh, true},
    };
    for (const auto& c : cases) {
        ResetGame();
        server_.Route("/update/?id=7&v=0", kit_http::CResponse::Ok(SignedManifest(L"download.xml")));
        ServeFile("/files/data.bin", c.payload);
        const tagRunResult run = RunUpdate(7);
        if (c.good) {
            EXPECT_EQ(1u, run.exitCode) << c.name;
            EXPECT_EQ(Installing({L"更新完成!"}), run.statuses) << c.name << ": " << From936(run.output);
            EXPECT_EQ(kFresh, ReadFileBytes(GamePath(L"data.bin"))) << c.name;
            EXPECT_FALSE(FileExists(GamePath(L"victim.txt")))
                << c.name << ": the item after the download ran";
            EXPECT_EQ("[Versions]\r\nGame7=2\r\n", Store()) << c.name;
        } else {
            ExpectRefused(run, kFileRefused, c.name);
            EXPECT_EQ(Installing({kFileRefused}), run.statuses) << c.name;
        }
    }
}

TEST_F(UpdateTrustTest, WithoutAKeyUnsignedManifestsWorkAndDigestsAreStillChecked) {
    const struct {
        const char* name;
        std::string body;
        std::string payload;
        std::wstring status;  // the last one
    } cases[] = {
        {"no sha256", Unsigned(Download("")), "anything", L"更新完成!"},
        {"matching sha256", Unsigned(Download(" sha256=\"" + kFreshSha256 + "\"")), kFresh, L"更新完成!"},
        {"signed body, key not set", SignedManifest(L"download.xml"), kFresh, L"更新完成!"},
        {"mismatching sha256", Unsigned(Download(" sha256=\"" + kFreshSha256 + "\"")), "forged content",
         kFileRefused},
        {"sha256 of 63 digits", Unsigned(Download(" sha256=\"" + kFreshSha256.substr(1) + "\"")), kFresh,
         kListRefused},
    };
    for (const auto& c : cases) {
        ResetGame();
        ServeManifest(7, 0, c.body);
        ServeFile("/files/data.bin", c.payload);
        const tagRunResult run = RunUpdate(7);
        ASSERT_FALSE(run.statuses.empty()) << c.name;
        EXPECT_EQ(c.status, run.statuses.back()) << c.name << ": " << From936(run.output);
        if (c.status == L"更新完成!") {
            EXPECT_EQ(1u, run.exitCode) << c.name;
            EXPECT_EQ(c.payload, ReadFileBytes(GamePath(L"data.bin"))) << c.name;
            EXPECT_EQ("[Versions]\r\nGame7=2\r\n", Store()) << c.name;
        } else {
            ExpectRefused(run, c.status, c.name);
        }
    }
}

TEST_F(UpdateTrustTest, OnlyTheTestBuildKnowsTheKeyVariable) {
    // The key, and the deadlines and clock the test build lets tests set.
    const std::wstring names[] = {kKeyVariable, L"KIT_UPDATE_DEADLINE_MS", L"KIT_UPDATE_FLOOR_WINDOW_MS",
                                  L"KIT_UPDATE_CLOCK"};
    const struct {
        const wchar_t* program;
        bool knows;
    } cases[] = {{L"UpdateTestHost.exe", true}, {L"Update.exe", false}};
    for (const auto& c : cases) {
        bool exists = true;
        const std::string image = ReadFileBytes(kit_test::ProgramDir() + L"\\" + c.program, &exists);
        ASSERT_TRUE(exists) << ToUtf8(c.program);
        for (const std::wstring& name : names) {
            const std::string pattern(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(wchar_t));
            EXPECT_EQ(c.knows, image.find(pattern) != std::string::npos) << ToUtf8(c.program) << " " << ToUtf8(name);
        }
    }
}

}  // namespace
