// The release stamp of a signed manifest: how it is read, how it is judged
// against the player's clock, the server's Date and the release accepted
// before, and the HTTP date it may be judged by.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "Freshness.h"

namespace {

const uint64_t kDay = 86400;
const uint64_t kYear = 365 * kDay;
// A release made at kMade that expires 30 days later.
const uint64_t kMade = 1800000000;
const uint64_t kExpires = kMade + 30 * kDay;

const char* Name(Freshness f) {
    switch (f) {
        case Freshness::kFresh: return "fresh";
        case Freshness::kStale: return "stale";
        case Freshness::kMalformed: return "malformed";
    }
    return "?";
}

TEST(Freshness, StampIsReadFromItsAttributes) {
    const struct {
        const wchar_t* released;
        const wchar_t* expires;
        Freshness verdict;
        bool stamped;
    } cases[] = {
        {nullptr, nullptr, Freshness::kFresh, false},
        {nullptr, L"5", Freshness::kFresh, false},
        {L"1800000000", L"1802592000", Freshness::kFresh, true},
        {L"5", L"5", Freshness::kFresh, true},
        {L"1800000000", nullptr, Freshness::kMalformed, true},
        {L"1800000000", L"", Freshness::kMalformed, true},
        {L"1800000000", L"1799999999", Freshness::kMalformed, true},
        {L"", L"5", Freshness::kMalformed, true},
        {L"-5", L"5", Freshness::kMalformed, true},
        {L"5 ", L"6", Freshness::kMalformed, true},
        {L"5", L"99999999999999999999", Freshness::kMalformed, true},
    };
    for (const auto& c : cases) {
        tagReleaseStamp stamp;
        stamp.released = 0xdeadbeef;
        const Freshness verdict = ReadReleaseStamp(c.released, c.expires, &stamp);
        const std::wstring label = std::wstring(c.released ? c.released : L"(none)") + L" / " +
                                   (c.expires ? c.expires : L"(none)");
        EXPECT_STREQ(Name(c.verdict), Name(verdict)) << testing::PrintToString(label);
        EXPECT_EQ(c.stamped, stamp.stamped) << testing::PrintToString(label);
    }
}

TEST(Freshness, JudgedAtTheNewestOfClockServerDateAndLastRelease) {
    tagReleaseStamp stamped;
    stamped.stamped = true;
    stamped.released = kMade;
    stamped.expires = kExpires;
    const tagReleaseStamp unstamped;
    const struct {
        const char* name;
        const tagReleaseStamp& stamp;
        uint64_t lastAccepted, clock, serverDate;
        Freshness verdict;
    } cases[] = {
        {"a day old", stamped, 0, kMade + kDay, 0, Freshness::kFresh},
        {"a second before it expires", stamped, 0, kExpires - 1, 0, Freshness::kFresh},
        {"when it expires", stamped, 0, kExpires, 0, Freshness::kStale},
        {"the same release again", stamped, kMade, kMade + kDay, 0, Freshness::kFresh},
        {"older than the one accepted", stamped, kMade + 1, kMade + kDay, 0, Freshness::kStale},
        {"clock a year behind, no Date", stamped, 0, kMade - kYear, 0, Freshness::kFresh},
        {"clock a year behind, Date past expiry", stamped, 0, kMade - kYear, kExpires + kDay, Freshness::kStale},
        {"clock a year behind, Date within", stamped, 0, kMade - kYear, kMade + kDay, Freshness::kFresh},
        {"clock a year behind, last release past expiry", stamped, kExpires, kMade - kYear, 0, Freshness::kStale},
        {"clock a year ahead", stamped, 0, kMade + kYear, kMade + kDay, Freshness::kStale},
        {"Date in the past changes nothing", stamped, 0, kExpires + kDay, kMade, Freshness::kStale},
        {"unstamped, nothing accepted yet", unstamped, 0, kMade, 0, Freshness::kFresh},
        {"unstamped after a stamped one", unstamped, kMade, kMade, 0, Freshness::kStale},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(Name(c.verdict), Name(JudgeFreshness(c.stamp, c.lastAccepted, c.clock, c.serverDate)))
            << c.name;
    }
}

TEST(Freshness, HttpDateIsReadInItsFixedFormatOnly) {
    const struct {
        const wchar_t* text;
        bool valid;
        uint64_t seconds;
    } cases[] = {
        {L"Sun, 06 Nov 1994 08:49:37 GMT", true, 784111777},
        {L"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
        {L"Tue, 29 Feb 2028 23:59:59 GMT", true, 1835481599},
        {L"Fri, 15 Jan 2027 08:00:00 GMT", true, 1800000000},
        {L"Sunday, 06-Nov-94 08:49:37 GMT", false, 0},
        {L"Sun Nov  6 08:49:37 1994", false, 0},
        {L"Sun, 06 Nov 1994 08:49:37 UTC", false, 0},
        {L"Sun, 06 Foo 1994 08:49:37 GMT", false, 0},
        {L"Sun, 32 Nov 1994 08:49:37 GMT", false, 0},
        {L"Sun, 06 Nov 1994 24:49:37 GMT", false, 0},
        {L"Sun, 06 Nov 1969 08:49:37 GMT", false, 0},
        {L"Sun, 0x Nov 1994 08:49:37 GMT", false, 0},
        {L"", false, 0},
    };
    for (const auto& c : cases) {
        uint64_t seconds = 0xdeadbeef;
        EXPECT_EQ(c.valid, ParseHttpDate(c.text, &seconds)) << testing::PrintToString(std::wstring(c.text));
        if (c.valid) {
            EXPECT_EQ(c.seconds, seconds) << testing::PrintToString(std::wstring(c.text));
        }
    }
}

}  // namespace
