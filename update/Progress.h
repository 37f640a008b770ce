// Arithmetic and text of the progress reports sent to the lobby.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "LobbyMessage.h"

// Estimated seconds left for `total` - `done` bytes (unsigned difference) at
// `bytesPerSecond`, the divisor capped at 2147483647. 0 for a zero speed and
// for a quotient that does not fit in a signed 64-bit number; otherwise the
// low 32 bits of the truncated quotient.
uint32_t SecondsLeft(uint64_t total, uint64_t done, double bytesPerSecond);

// The part of `share` bytes of the total that `hashed` of `size` bytes
// stand for: a file in place is hashed whole, while the total counts what
// its item would fetch (a compressed body or patch may be far smaller).
// Never above `share`; 0 for an empty file.
uint64_t ShareDone(uint64_t hashed, uint64_t size, uint64_t share);

// The standard-output line of a periodic report:
// "A=<total>,C=<done>,s=<bytes per second, %f>,t=<seconds left>".
std::string FormatProgressLine(const ProgressReport& report, double bytesPerSecond);

// Lets a periodic report through only when more than 500 ms (unsigned tick
// difference) have passed since the last one let through.
class CProgressThrottle {
public:
    bool Due(DWORD now) const { return now - lastTick_ > kIntervalMs; }
    void Mark(DWORD now) { lastTick_ = now; }

private:
    static const DWORD kIntervalMs = 500;
    DWORD lastTick_ = 0;
};
