#include "VersionStore.h"

#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "StringHelpers.h"
#include "base/DecimalParse.h"

namespace {

const wchar_t kStoreFile[] = L"./Configs/Version.dat";
const wchar_t kSection[] = L"Versions";
const wchar_t kReleasedSection[] = L"Released";

void FormatKey(wchar_t* key, size_t capacity, uint32_t gameId) {
    std::swprintf(key, capacity, L"Game%u", static_cast<unsigned>(gameId));
}

}  // namespace

uint64_t ParseVersion(const wchar_t* text) {
    if (!text) return 0;
    // iswspace, as _wtoi64 skips: wider than the parser's ASCII blanks.
    while (std::iswspace(*text)) ++text;
    return static_cast<uint64_t>(kit::ParseInt64Saturated(text, text + std::wcslen(text)));
}

uint64_t ReadNumber(const wchar_t* section, uint32_t gameId) {
    wchar_t key[1024];
    FormatKey(key, 1024, gameId);
    wchar_t value[64];
    GetPrivateProfileStringW(section, key, L"0", value, 64, kStoreFile);
    return ParseVersion(value);
}

bool WriteNumber(const wchar_t* section, uint32_t gameId, uint64_t number) {
    wchar_t key[64];
    FormatKey(key, 64, gameId);
    wchar_t value[64];
    std::swprintf(value, 64, L"%" PRId64, static_cast<int64_t>(number));
    // Without its folder the write fails silently and every later run would
    // carry out the same items again.
    _ServerEngine::CreateParentDirectories(kStoreFile);
    return WritePrivateProfileStringW(section, key, value, kStoreFile) != FALSE;
}

uint64_t ReadInstalledVersion(uint32_t gameId) {
    return ReadNumber(kSection, gameId);
}

bool WriteInstalledVersion(uint32_t gameId, uint64_t version) {
    return WriteNumber(kSection, gameId, version);
}

uint64_t ReadAcceptedRelease(uint32_t gameId) {
    return ReadNumber(kReleasedSection, gameId);
}

bool WriteAcceptedRelease(uint32_t gameId, uint64_t released) {
    return WriteNumber(kReleasedSection, gameId, released);
}
