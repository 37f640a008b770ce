// Checks one signed body (a manifest with its signature block) as the
// updater does, once, and prints whether it verified: a process to time
// against `minisign -V` on the same bytes.
//   bench_minisign PUBLIC_KEY_LINE BODY_FILE
#include <cstdio>
#include <fstream>
#include <string>

#include "base/Minisign.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_minisign PUBLIC_KEY_LINE BODY_FILE\n");
        return 2;
    }
    kit::tagMinisignKey key;
    std::ifstream file(argv[2], std::ios::binary | std::ios::ate);
    std::string body(file ? static_cast<size_t>(file.tellg()) : 0, '\0');
    file.seekg(0);
    if (!kit::ParseMinisignKey(argv[1], &key) || !file.read(&body[0], static_cast<std::streamsize>(body.size()))) {
        std::fprintf(stderr, "bench_minisign: bad key or unreadable body\n");
        return 2;
    }
    size_t manifestSize = 0;
    const bool ok = kit::VerifySignedBody(key, body, &manifestSize);
    std::printf("verified=%d bytes=%zu\n", ok ? 1 : 0, body.size());
    return 0;
}
