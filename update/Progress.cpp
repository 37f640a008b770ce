#include "Progress.h"

#include <cinttypes>
#include <cstdio>

uint32_t SecondsLeft(uint64_t total, uint64_t done, double bytesPerSecond) {
    const double divisor = bytesPerSecond < 2147483647.0 ? bytesPerSecond : 2147483647.0;
    if (!(divisor > 0.0)) return 0;
    const double quotient = static_cast<double>(total - done) / divisor;
    // 2^63: the first value that no longer fits in a signed 64-bit number.
    if (!(quotient < 9223372036854775808.0)) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(quotient)));
}

uint64_t ShareDone(uint64_t hashed, uint64_t size, uint64_t share) {
    if (size == 0 || hashed >= size) return size == 0 ? 0 : share;
    return static_cast<uint64_t>(static_cast<double>(hashed) / static_cast<double>(size) * static_cast<double>(share));
}

std::string FormatProgressLine(const ProgressReport& report, double bytesPerSecond) {
    char line[1024];
    std::snprintf(line, sizeof(line), "A=%" PRIu64 ",C=%" PRIu64 ",s=%f,t=%u", report.total, report.done,
                  bytesPerSecond, static_cast<unsigned>(report.secondsLeft));
    return line;
}
