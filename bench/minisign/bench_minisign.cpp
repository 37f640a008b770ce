// Checks one signed body (a manifest with its signature block) as the
// updater does, once, and prints whether it verified: a process to time
// against `minisign -V` on the same bytes.
//   bench_minisign PUBLIC_KEY_LINE BODY_FILE
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "base/Minisign.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_minisign PUBLIC_KEY_LINE BODY_FILE\n");
        return 2;
    }
    kit::tagMinisignKey key;
    std::ifstream file(argv[2], std::ios::binary);
    const std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!kit::ParseMinisignKey(argv[1], &key) || !file) {
        std::fprintf(stderr, "bench_minisign: bad key or unreadable body\n");
        return 2;
    }
    size_t manifestSize = 0;
    const bool ok = kit::VerifySignedBody(key, body, &manifestSize);
    std::printf("verified=%d bytes=%zu\n", ok ? 1 : 0, body.size());
    return 0;
}
