#include "DownloadAttempts.h"

void CDownloadAttempts::Begin(uint64_t size, uint64_t kept) {
    size_ = size;
    refilledAt_ = kept;
    stored_ = 0;
    attempts_ = 0;
    retriesLeft_ = kRetries;
    wait_ = 0;
}

bool CDownloadAttempts::Lost(uint64_t kept, uint64_t stored) {
    ++attempts_;
    // Saturates rather than wrapping for sizes near the 64-bit limit.
    stored_ = stored > UINT64_MAX - stored_ ? UINT64_MAX : stored_ + stored;
    const uint64_t budget = size_ > (UINT64_MAX - kSpareBytes) / 2 ? UINT64_MAX : 2 * size_ + kSpareBytes;
    if (kept > size_ || attempts_ >= kMaxAttempts || stored_ > budget) return false;
    if (kept >= refilledAt_ && kept - refilledAt_ >= kRefillStep) {
        retriesLeft_ = kRetries;
        refilledAt_ = kept;
    }
    if (retriesLeft_ == 0) return false;
    wait_ = kFirstWaitMs << (kRetries - retriesLeft_);
    --retriesLeft_;
    return true;
}
