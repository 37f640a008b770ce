// Whole update runs with a key and signed release stamps, the player's
// clock set through the test build: expired and replayed manifests are
// refused and change nothing; fresh ones are remembered per game.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StatusText.h"
#include "signature_fixtures.h"
#include "update_scenario.h"

using namespace update_test;

namespace {

const wchar_t kKeyVariable[] = L"KIT_UPDATE_PUBLIC_KEY";
const wchar_t kClockVariable[] = L"KIT_UPDATE_CLOCK";
const uint64_t kDay = 86400;
const uint64_t kYear = 365 * kDay;
// The stamps of stamped-old.xml (version 2) and stamped-new.xml (version 3).
const uint64_t kOldMade = 1800000000, kOldExpires = kOldMade + 30 * kDay;
const uint64_t kNewMade = kOldMade + 10 * kDay;
// Dates as a server sends them.
const std::string kDayAfterOld = "Sat, 16 Jan 2027 08:00:00 GMT";     // kOldMade + 1 day
const std::string kPastOldExpiry = "Tue, 16 Feb 2027 08:00:00 GMT";  // kOldExpires + 1 day

class UpdateFreshnessTest : public UpdateScenarioTest {
protected:
    void SetUp() override {
        UpdateScenarioTest::SetUp();
        const std::string key = PublicKeyLine();
        SetEnvironmentVariableW(kKeyVariable, std::wstring(key.begin(), key.end()).c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(kKeyVariable, nullptr);
        SetEnvironmentVariableW(kClockVariable, nullptr);
    }
    static void SetClock(uint64_t seconds) {
        SetEnvironmentVariableW(kClockVariable, std::to_wstring(seconds).c_str());
    }
    // Runs game 7 from the version store `store` (none when empty), with
    // the player's clock at `clock`, against the signed `fixture` served
    // with the Date `date` (none when empty).
    tagRunResult RunAt(const std::string& store, uint64_t clock, const std::wstring& fixture,
                       const std::string& date) {
        WriteFile(GamePath(L"victim.txt"), "keep me");
        DeleteFileW(GamePath(L"Configs\\Version.dat").c_str());
        if (!store.empty()) SetStore(store);
        SetClock(clock);
        server_.Route("/update/?id=7&v=0",
                      kit_http::CResponse::Ok(SignedManifest(fixture), true,
                                              date.empty() ? "" : "Date: " + date + "\r\n"));
        return RunUpdate(7);
    }
};

TEST_F(UpdateFreshnessTest, ExpiredAndReplayedManifestsAreRefusedAndChangeNothing) {
    const std::string remembered = "[Released]\r\nGame7=" + std::to_string(kNewMade) + "\r\n";
    const struct {
        const char* name;
        const wchar_t* fixture;
        uint64_t clock;
        std::string date;
        std::string store;  // before the run, and after it
    } cases[] = {
        {"expired by the player's clock", L"stamped-old.xml", kOldExpires + kDay, "", ""},
        {"expired by the server's Date, clock a year behind", L"stamped-old.xml", kOldMade - kYear, kPastOldExpiry,
         ""},
        {"clock a year ahead", L"stamped-old.xml", kOldMade + kYear, kDayAfterOld, ""},
        {"replay of an older release", L"stamped-old.xml", kOldMade + kDay, kDayAfterOld, remembered},
        {"replay of a manifest without a stamp", L"delete.xml", kOldMade + kDay, "", remembered},
    };
    for (const auto& c : cases) {
        const tagRunResult run = RunAt(c.store, c.clock, c.fixture, c.date);
        EXPECT_EQ(0u, run.exitCode) << c.name;
        EXPECT_EQ(std::vector<uint8_t>{0}, run.finished) << c.name;
        EXPECT_EQ((std::vector<std::wstring>{kStatusChecking, kStatusListStale}), run.statuses)
            << c.name << ": " << From936(run.output);
        EXPECT_EQ("keep me", ReadFileBytes(GamePath(L"victim.txt"))) << c.name;
        EXPECT_EQ(c.store, Store()) << c.name;
    }
}

TEST_F(UpdateFreshnessTest, FreshManifestIsCarriedOutAndItsReleaseRemembered) {
    const struct {
        const char* name;
        const wchar_t* fixture;
        uint64_t clock;
        std::string date;
        std::string storeBefore, storeAfter;
    } cases[] = {
        {"a day old", L"stamped-old.xml", kOldMade + kDay, "", "",
         "[Released]\r\nGame7=1800000000\r\n[Versions]\r\nGame7=2\r\n"},
        {"clock a year behind", L"stamped-old.xml", kOldMade - kYear, kDayAfterOld, "",
         "[Released]\r\nGame7=1800000000\r\n[Versions]\r\nGame7=2\r\n"},
        {"newer than the one remembered", L"stamped-new.xml", kNewMade, "",
         "[Versions]\r\nGame7=0\r\n[Released]\r\nGame7=1800000000\r\n",
         "[Versions]\r\nGame7=3\r\n[Released]\r\nGame7=1800864000\r\n"},
        {"the remembered one again", L"stamped-old.xml", kOldMade + kDay, "",
         "[Released]\r\nGame7=1800000000\r\n", "[Released]\r\nGame7=1800000000\r\n[Versions]\r\nGame7=2\r\n"},
    };
    for (const auto& c : cases) {
        const tagRunResult run = RunAt(c.storeBefore, c.clock, c.fixture, c.date);
        EXPECT_EQ(1u, run.exitCode) << c.name;
        EXPECT_EQ(Installing({kStatusDone}), run.statuses) << c.name << ": " << From936(run.output);
        EXPECT_FALSE(FileExists(GamePath(L"victim.txt"))) << c.name;
        EXPECT_EQ(c.storeAfter, Store()) << c.name;
    }
}

TEST_F(UpdateFreshnessTest, UnreadableStampIsRefusedLikeABadSignature) {
    const tagRunResult run = RunAt("", kOldMade + kDay, L"stamped-bad.xml", "");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ((std::vector<std::wstring>{kStatusChecking, kStatusListRefused}), run.statuses) << From936(run.output);
    EXPECT_EQ("keep me", ReadFileBytes(GamePath(L"victim.txt")));
    EXPECT_EQ("", Store());
}

TEST_F(UpdateFreshnessTest, WithoutAKeyStampsAreNotJudged) {
    SetEnvironmentVariableW(kKeyVariable, nullptr);
    const tagRunResult run = RunAt("", kOldExpires + kYear, L"stamped-old.xml", "");
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses) << From936(run.output);
    EXPECT_EQ("[Versions]\r\nGame7=2\r\n", Store());
}

}  // namespace
