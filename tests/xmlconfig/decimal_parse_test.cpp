// The base's saturating decimal parsers, which the XML reader's integer
// attributes and character references go through.
#include <cstdint>
#include <cwchar>

#include <gtest/gtest.h>

#include "base/DecimalParse.h"

namespace {

TEST(DecimalParseTest, ReadsLikeWtoiAndSaturates) {
    struct {
        const wchar_t* text;
        int32_t as32;
        int64_t as64;
    } cases[] = {
        {L"", 0, 0},
        {L"x1", 0, 0},
        {L"-", 0, 0},
        {L"42", 42, 42},
        {L" \t\r\n\v\f+17abc", 17, 17},
        {L"- 5", 0, 0},
        {L"+-5", 0, 0},
        {L"-0012", -12, -12},
        {L"2147483647", INT32_MAX, 2147483647},
        {L"2147483648", INT32_MAX, 2147483648},
        {L"-2147483648", INT32_MIN, -2147483648LL},
        {L"-2147483649", INT32_MIN, -2147483649LL},
        {L"9223372036854775807", INT32_MAX, INT64_MAX},
        {L"9223372036854775808", INT32_MAX, INT64_MAX},
        {L"-9223372036854775808", INT32_MIN, INT64_MIN},
        {L"-99999999999999999999999", INT32_MIN, INT64_MIN},
        {L"99999999999999999999 7", INT32_MAX, INT64_MAX},
        {L"\x3000" L"5", 0, 0},  // only ASCII blanks are skipped
    };
    for (const auto& c : cases) {
        const wchar_t* end = c.text + std::wcslen(c.text);
        EXPECT_EQ(c.as32, kit::ParseInt32Saturated(c.text, end)) << c.text;
        EXPECT_EQ(c.as64, kit::ParseInt64Saturated(c.text, end)) << c.text;
    }
}

TEST(DecimalParseTest, StopsAtTheEndGivenAndReadsNarrowText) {
    const wchar_t wide[] = L"12345";
    EXPECT_EQ(123, kit::ParseInt32Saturated(wide, wide + 3));
    EXPECT_EQ(0, kit::ParseInt32Saturated(wide, wide));
    const char narrow[] = "-77;";
    EXPECT_EQ(-77, kit::ParseInt64Saturated(narrow, narrow + 4));
}

}  // namespace
