#include "Progress.h"

#include <cstdio>

#include "Console.h"

namespace publish {
namespace {

const int kBarWidth = 30;
const auto kRedrawEvery = std::chrono::milliseconds(100);

std::string Bytes(double bytes) {
    static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000 && unit < 4) {
        bytes /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

}  // namespace

CProgress::CProgress(const std::string& label, uint64_t total)
    : label_(label), total_(total), enabled_(ErrorIsTerminal() && total > 0), start_(Clock::now()), drawn_(start_) {}

CProgress::~CProgress() {
    if (enabled_) Draw(true);
}

void CProgress::Advance(uint64_t bytes) {
    done_ += bytes;
    if (enabled_ && Clock::now() - drawn_ >= kRedrawEvery) Draw(false);
}

void CProgress::Draw(bool last) {
    drawn_ = Clock::now();
    const double seconds = std::chrono::duration<double>(drawn_ - start_).count();
    const double rate = seconds > 0 ? done_ / seconds : 0;
    const uint64_t shown = done_ < total_ ? done_ : total_;
    const int filled = static_cast<int>(kBarWidth * static_cast<double>(shown) / total_);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    char left[32] = "";
    if (!last && rate > 0) std::snprintf(left, sizeof left, ", %.0f s left", (total_ - shown) / rate);
    std::fprintf(stderr, "\r%-8s [%s] %s of %s, %s/s%s     ", label_.c_str(), bar.c_str(), Bytes(shown).c_str(),
                 Bytes(total_).c_str(), Bytes(rate).c_str(), left);
    if (last) std::fputs("\n", stderr);
    std::fflush(stderr);
}

}  // namespace publish
