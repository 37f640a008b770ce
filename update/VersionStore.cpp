#include "VersionStore.h"

#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <cwctype>

#include "StringHelpers.h"

namespace {

const wchar_t kStoreFile[] = L"./Configs/Version.dat";
const wchar_t kSection[] = L"Versions";

void FormatKey(wchar_t* key, size_t capacity, uint32_t gameId) {
    std::swprintf(key, capacity, L"Game%u", static_cast<unsigned>(gameId));
}

}  // namespace

// Converted here rather than by the C runtime: Wine's _wtoi64 wraps around
// instead of saturating.
uint64_t ParseVersion(const wchar_t* text) {
    if (!text) return 0;
    while (std::iswspace(*text)) ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        const unsigned digit = static_cast<unsigned>(*text - L'0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    return negative ? uint64_t{0} - magnitude : magnitude;
}

uint64_t ReadInstalledVersion(uint32_t gameId) {
    wchar_t key[1024];
    FormatKey(key, 1024, gameId);
    wchar_t value[64];
    GetPrivateProfileStringW(kSection, key, L"0", value, 64, kStoreFile);
    return ParseVersion(value);
}

bool WriteInstalledVersion(uint32_t gameId, uint64_t version) {
    wchar_t key[64];
    FormatKey(key, 64, gameId);
    wchar_t value[64];
    std::swprintf(value, 64, L"%" PRId64, static_cast<int64_t>(version));
    // Without its folder the write fails silently and every later run would
    // carry out the same items again.
    _ServerEngine::CreateParentDirectories(kStoreFile);
    return WritePrivateProfileStringW(kSection, key, value, kStoreFile) != FALSE;
}
