#include "Update.h"

#include <cwchar>

// The test build may take a build setting from the environment, so that
// tests reach a server on a port the system chose for them and check
// signatures with a key made for the test run. The shipped build never
// names the variables.
#ifndef UPDATE_SERVER_HOST_ENV
#define UPDATE_SERVER_HOST_ENV nullptr
#endif
#ifndef UPDATE_PUBLIC_KEY_ENV
#define UPDATE_PUBLIC_KEY_ENV nullptr
#endif
#ifndef UPDATE_DEADLINE_ENV
#define UPDATE_DEADLINE_ENV nullptr
#endif
#ifndef UPDATE_FLOOR_WINDOW_ENV
#define UPDATE_FLOOR_WINDOW_ENV nullptr
#endif
#ifndef UPDATE_CLOCK_ENV
#define UPDATE_CLOCK_ENV nullptr
#endif

namespace {

template <size_t Size>
const wchar_t* Setting(const wchar_t* variable, wchar_t (&buffer)[Size], const wchar_t* built) {
    if (!variable) return built;
    const DWORD length = GetEnvironmentVariableW(variable, buffer, Size);
    return length > 0 && length < Size ? buffer : built;
}

// A shorter time in milliseconds from `variable`; the shipped value when it
// is unset, unreadable or not shorter.
DWORD ShorterMs(const wchar_t* variable, DWORD shipped) {
    wchar_t buffer[16];
    const wchar_t* text = Setting(variable, buffer, L"");
    wchar_t* end = nullptr;
    const unsigned long ms = std::wcstoul(text, &end, 10);
    return *text && !*end && ms != 0 && ms < shipped ? static_cast<DWORD>(ms) : shipped;
}

}  // namespace

const wchar_t* UpdateServerHost() {
    static wchar_t host[256];
    return Setting(UPDATE_SERVER_HOST_ENV, host, UPDATE_SERVER_HOST);
}

const wchar_t* UpdatePublicKey() {
    static wchar_t key[128];
    return Setting(UPDATE_PUBLIC_KEY_ENV, key, UPDATE_PUBLIC_KEY);
}

DWORD UpdateDeadlineMs(DWORD shipped) {
    return ShorterMs(UPDATE_DEADLINE_ENV, shipped);
}

DWORD UpdateFloorWindowMs(DWORD shipped) {
    return ShorterMs(UPDATE_FLOOR_WINDOW_ENV, shipped);
}

uint64_t UpdateClockSeconds() {
    wchar_t buffer[24];
    const wchar_t* text = Setting(UPDATE_CLOCK_ENV, buffer, L"");
    wchar_t* end = nullptr;
    const unsigned long long fake = std::wcstoull(text, &end, 10);
    if (*text && !*end) return fake;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // 100 ns ticks since 1601 to seconds since 1970.
    const uint64_t kUnixEpoch = 116444736000000000ull;
    return ticks < kUnixEpoch ? 0 : (ticks - kUnixEpoch) / 10000000;
}
