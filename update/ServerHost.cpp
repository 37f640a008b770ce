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
