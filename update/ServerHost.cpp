#include "Update.h"

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

namespace {

template <size_t Size>
const wchar_t* Setting(const wchar_t* variable, wchar_t (&buffer)[Size], const wchar_t* built) {
    if (!variable) return built;
    const DWORD length = GetEnvironmentVariableW(variable, buffer, Size);
    return length > 0 && length < Size ? buffer : built;
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
