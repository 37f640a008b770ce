#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StringHelpers.h"
#include "kit_test.h"

using namespace _ServerEngine;

namespace {

struct SplitCase {
    const wchar_t* text;
    const wchar_t* separator;
    std::vector<std::wstring> segments;
};

class SplitStringTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitStringTest, SplitsOutsideQuotesAndTrims) {
    const SplitCase& c = GetParam();
    std::vector<std::wstring> segments;
    EXPECT_EQ(static_cast<int>(c.segments.size()), SplitString(&segments, c.text, c.separator));
    EXPECT_EQ(c.segments, segments);
    EXPECT_EQ(static_cast<int>(c.segments.size()), SplitString(nullptr, c.text, c.separator))
        << "a null list still counts the segments";
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitStringTest,
    testing::Values(SplitCase{L"a, \"b, c\", d", L",", {L"a", L"\"b, c\"", L"d"}},
                    SplitCase{L"a, 'b, c', d", L",", {L"a", L"'b, c'", L"d"}},
                    SplitCase{L"  no separator \r\n", L",", {L"no separator"}}, SplitCase{L"", L",", {}},
                    SplitCase{L",a,,", L",", {L"", L"a", L"", L""}},
                    // A quote of one kind inside the other kind still counts.
                    SplitCase{L"'\"',x", L",", {L"'\"',x"}},
                    SplitCase{L"Host: a\r\nX: b\r\n\r\n", L"\r\n", {L"Host: a", L"X: b", L"", L""}},
                    SplitCase{L"aXYbXYc", L"XY", {L"a", L"b", L"c"}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::to_string(info.index); });

TEST(TrimStringTest, RemovesTabLineFeedReturnAndSpaceOnly) {
    std::wstring text = L"\t\r\n a b \b\n ";
    TrimString(text);
    EXPECT_EQ(L"a b \b", text);
    std::wstring blank = L" \t\r\n";
    TrimString(blank);
    EXPECT_EQ(L"", blank);
}

TEST(CompareNoCaseTest, IgnoresCaseOnly) {
    for (const wchar_t* s : {L"gzip", L"GZIP", L"GzIp", L"gZiP"})
        EXPECT_EQ(0, CompareNoCase(s, L"gzip")) << s;
    EXPECT_NE(0, CompareNoCase(L"gzip ", L"gzip"));
    EXPECT_NE(0, CompareNoCase(L"deflate", L"gzip"));
}

TEST(FindBytesTest, HonoursBoundsAndStartOffset) {
    const char data[] = "abcabcab";
    const unsigned size = 8;
    EXPECT_EQ(0, FindBytes(data, size, "abc", 3, 0));
    EXPECT_EQ(3, FindBytes(data, size, "abc", 3, 1));
    EXPECT_EQ(-1, FindBytes(data, size, "abc", 3, 4)) << "last match would run past the end";
    EXPECT_EQ(6, FindBytes(data, size, "ab", 0, 4)) << "length 0 takes the pattern to its NUL";
    EXPECT_EQ(-1, FindBytes(data, size, "ab", 2, 7));
    EXPECT_EQ(-1, FindBytes(data, size, "ab", 2, 100));
    EXPECT_EQ(-1, FindBytes("abc", 3, "abcd", 4, 0)) << "pattern longer than the data";
    const char binary[] = {'\0', 'x', '\0', 'y'};
    EXPECT_EQ(2, FindBytes(binary, 4, "\0y", 2, 0));
}

TEST(ConversionTest, ChineseStatusTextsSurviveTheAnsiCodePage) {
    ASSERT_EQ(936u, GetACP()) << "the harness runs tests in code page 936";
    const std::wstring text = L"正在检查更新......";
    const std::string narrow = ToNarrow(text);
    EXPECT_EQ(std::string("\xd5\xfd\xd4\xda\xbc\xec\xb2\xe9\xb8\xfc\xd0\xc2......"), narrow);
    EXPECT_EQ(text, ToWide(narrow));
    EXPECT_EQ(std::string("\xe6\x9b\xb4\xe6\x96\xb0"), ToUtf8(L"更新"));
}

TEST(ConversionTest, EmptyAndUnrepresentableTexts) {
    EXPECT_EQ("", ToNarrow(L""));
    EXPECT_EQ(L"", ToWide(""));
    EXPECT_EQ("", ToUtf8(L""));
    EXPECT_EQ("?", ToNarrow(L"\u0e01")) << "no representation in 936: the default character";
    EXPECT_EQ("ab", ToNarrow(std::wstring(L"ab\0cd", 5))) << "reads up to the first NUL";
}

class CreateParentDirectoriesTest : public testing::Test {
protected:
    static bool IsDirectory(const std::wstring& path) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    static bool Exists(const std::wstring& path) {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    kit_test::CTempDir temp_;
};

TEST_F(CreateParentDirectoriesTest, CreatesEveryDirectoryAboveTheFileButNotTheFile) {
    const std::wstring file = temp_ / L"a\\b\\c\\file.txt";
    ASSERT_TRUE(CreateParentDirectories(file.c_str()));
    EXPECT_TRUE(IsDirectory(temp_ / L"a\\b\\c"));
    EXPECT_FALSE(Exists(file));
    EXPECT_TRUE(CreateParentDirectories(file.c_str())) << "existing directories are fine";
}

TEST_F(CreateParentDirectoriesTest, TrailingBackslashCreatesTheLastDirectoryToo) {
    ASSERT_TRUE(CreateParentDirectories((temp_ / L"x\\y\\").c_str()));
    EXPECT_TRUE(IsDirectory(temp_ / L"x\\y"));
}

TEST_F(CreateParentDirectoriesTest, ForwardSlashesAndChineseNames) {
    const std::wstring file = temp_.Path() + L"/游戏/数据/file.dat";
    ASSERT_TRUE(CreateParentDirectories(file.c_str()));
    EXPECT_TRUE(IsDirectory(temp_ / L"游戏\\数据"));
}

TEST_F(CreateParentDirectoriesTest, FailsWhereAFileStandsInTheWay) {
    const std::wstring blocker = temp_ / L"blocker";
    HANDLE h = CreateFileW(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    EXPECT_FALSE(CreateParentDirectories((blocker + L"\\sub\\file").c_str()));
}

TEST_F(CreateParentDirectoriesTest, PathLongerThanMaxPathFailsCleanly) {
    std::wstring path = temp_.Path();
    while (path.size() < 300) path += L"\\long-directory-name";
    EXPECT_FALSE(CreateParentDirectories((path + L"\\file").c_str()));
    EXPECT_FALSE(Exists(temp_ / L"long-directory-name")) << "nothing is created";
}

TEST(CreateParentDirectoriesShortPath, RootAndNullPaths) {
    EXPECT_TRUE(CreateParentDirectories(L"C:\\"));
    EXPECT_FALSE(CreateParentDirectories(nullptr));
}

}  // namespace
