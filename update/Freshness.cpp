#include "Freshness.h"

#include <algorithm>
#include <cwchar>

#include "base/DecimalParse.h"

namespace {

bool ReadSeconds(const wchar_t* text, uint64_t* seconds) {
    if (!text || !*text) return false;
    const wchar_t* pos = text;
    const wchar_t* const end = text + std::wcslen(text);
    return kit::ReadDecimalDigits(pos, end, INT64_MAX, seconds) && pos == end;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

// `count` decimal digits at text[at].
bool Digits(const std::wstring& text, size_t at, size_t count, unsigned* value) {
    *value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        *value = *value * 10 + static_cast<unsigned>(text[i] - L'0');
    }
    return true;
}

}  // namespace

Freshness ReadReleaseStamp(const wchar_t* released, const wchar_t* expires, tagReleaseStamp* stamp) {
    *stamp = tagReleaseStamp();
    if (!released) return Freshness::kFresh;
    stamp->stamped = true;
    if (!ReadSeconds(released, &stamp->released) || !ReadSeconds(expires, &stamp->expires) ||
        stamp->expires < stamp->released) {
        return Freshness::kMalformed;
    }
    return Freshness::kFresh;
}

Freshness JudgeFreshness(const tagReleaseStamp& stamp, uint64_t lastAccepted, uint64_t clock, uint64_t serverDate) {
    if (!stamp.stamped) return lastAccepted == 0 ? Freshness::kFresh : Freshness::kStale;
    if (stamp.released < lastAccepted) return Freshness::kStale;
    const uint64_t now = std::max({clock, serverDate, lastAccepted});
    return now >= stamp.expires ? Freshness::kStale : Freshness::kFresh;
}

bool ParseHttpDate(const std::wstring& text, uint64_t* seconds) {
    static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    // "Sun, 06 Nov 1994 08:49:37 GMT": fixed positions.
    if (text.size() != 29 || text.compare(3, 2, L", ") != 0 || text[7] != L' ' || text[11] != L' ' ||
        text[16] != L' ' || text[19] != L':' || text[22] != L':' || text.compare(25, 4, L" GMT") != 0) {
        return false;
    }
    unsigned day = 0, year = 0, hour = 0, minute = 0, second = 0, month = 0;
    while (month < 12 && text.compare(8, 3, kMonths[month]) != 0) ++month;
    if (month == 12 || !Digits(text, 5, 2, &day) || !Digits(text, 12, 4, &year) || !Digits(text, 17, 2, &hour) ||
        !Digits(text, 20, 2, &minute) || !Digits(text, 23, 2, &second) || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60 || year < 1970) {
        return false;
    }
    const int64_t days = DaysFromCivil(year, month + 1, day);
    *seconds = static_cast<uint64_t>(days) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}
