#include "Update.h"

// The shipped build asks the host fixed at build time. The test build may
// take it from the environment, so that tests reach a server on a port the
// system chose for them.
const wchar_t* UpdateServerHost() {
#ifdef UPDATE_SERVER_HOST_ENV
    static wchar_t host[256];
    const DWORD length = GetEnvironmentVariableW(UPDATE_SERVER_HOST_ENV, host, 256);
    if (length > 0 && length < 256) return host;
#endif
    return UPDATE_SERVER_HOST;
}
