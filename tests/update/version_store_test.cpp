// The version store, read and written in a temp game folder.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "VersionStore.h"
#include "kit_test.h"

namespace {

TEST(VersionTextTest, ReadsLikeWtoi64WithSaturation) {
    struct {
        const wchar_t* text;
        uint64_t expected;
    } cases[] = {
        {L"12", 12},
        {L"  \t+7x9", 7},
        {L"-1", UINT64_MAX},
        {L"abc", 0},
        {L"", 0},
        {nullptr, 0},
        {L"9223372036854775807", INT64_MAX},
        {L"99999999999999999999", INT64_MAX},
        {L"-99999999999999999999", uint64_t{1} << 63},
        {L"-9223372036854775808", uint64_t{1} << 63},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, ParseVersion(c.text)) << (c.text ? c.text : L"(null)");
    }
}

class VersionStoreTest : public testing::Test {
protected:
    void SetUp() override {
        GetCurrentDirectoryW(MAX_PATH, previous_);
        ASSERT_TRUE(SetCurrentDirectoryW(dir_.Path().c_str()));
    }
    void TearDown() override { SetCurrentDirectoryW(previous_); }

    void WriteStore(const char* text) {
        CreateDirectoryW((dir_ / L"Configs").c_str(), nullptr);
        FILE* f = _wfopen((dir_ / L"Configs\\Version.dat").c_str(), L"wb");
        ASSERT_NE(nullptr, f);
        std::fputs(text, f);
        std::fclose(f);
    }

    kit_test::CTempDir dir_;
    wchar_t previous_[MAX_PATH];
};

TEST_F(VersionStoreTest, MissingFileSectionOrKeyReadsAsZero) {
    EXPECT_EQ(0u, ReadInstalledVersion(12));
    WriteStore("[Other]\r\nGame12=5\r\n");
    EXPECT_EQ(0u, ReadInstalledVersion(12));
    WriteStore("[Versions]\r\nGame3=5\r\n");
    EXPECT_EQ(0u, ReadInstalledVersion(12));
}

TEST_F(VersionStoreTest, ReadsTheKeyOfTheGameAmongOthers) {
    WriteStore("[Versions]\r\nGame1=7\r\nGame12=42\r\nGame4294967295=-3\r\n");
    EXPECT_EQ(7u, ReadInstalledVersion(1));
    EXPECT_EQ(42u, ReadInstalledVersion(12));
    EXPECT_EQ(uint64_t{0} - 3, ReadInstalledVersion(4294967295u));
}

TEST_F(VersionStoreTest, ValueIsCutTo63Characters) {
    WriteStore(("[Versions]\r\nGame1=+" + std::string(61, '0') + "5\r\n").c_str());
    EXPECT_EQ(5u, ReadInstalledVersion(1)) << "63 characters are read whole";
    WriteStore(("[Versions]\r\nGame1=+" + std::string(62, '0') + "5\r\n").c_str());
    EXPECT_EQ(0u, ReadInstalledVersion(1)) << "the digit is the 64th character and is cut";
}

TEST_F(VersionStoreTest, WriteCreatesTheMissingFolderAndKeepsOtherGames) {
    ASSERT_TRUE(WriteInstalledVersion(12, 3));
    EXPECT_EQ(3u, ReadInstalledVersion(12));
    ASSERT_TRUE(WriteInstalledVersion(4, uint64_t{0} - 2));
    EXPECT_EQ(3u, ReadInstalledVersion(12));
    wchar_t text[64] = L"";
    GetPrivateProfileStringW(L"Versions", L"Game4", L"", text, 64, (dir_ / L"Configs\\Version.dat").c_str());
    EXPECT_STREQ(L"-2", text) << "written as signed decimal";
}

}  // namespace
