// A progress bar on standard error with bytes, rate and time left, drawn only
// when standard error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace publish {

class CProgress {
public:
    CProgress(const std::string& label, uint64_t total);
    ~CProgress();
    CProgress(const CProgress&) = delete;
    CProgress& operator=(const CProgress&) = delete;

    void Advance(uint64_t bytes);

private:
    using Clock = std::chrono::steady_clock;

    void Draw(bool last);

    std::string label_;
    uint64_t total_;
    uint64_t done_ = 0;
    bool enabled_;
    Clock::time_point start_;
    Clock::time_point drawn_;
};

}  // namespace publish
