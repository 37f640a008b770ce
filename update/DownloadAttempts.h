// How often a download may be tried again after its connection was lost,
// decided from the item's size and what the attempts brought. No I/O.
//
// An attempt is given back only for progress: after the bytes kept (the
// partial file, which never passes the item's size) grew by a whole step
// beyond where the retries were last given back. On top of that the item
// has a cap on attempts and on the bytes its answers may store, so that a
// server can neither cut an endless body nor restart a file forever.
#pragma once

#include <cstdint>

class CDownloadAttempts {
public:
    // Tries after a lost connection before progress gives them back, and
    // the waits before them: 1 s, 2 s, 4 s.
    static constexpr unsigned kRetries = 3;
    static constexpr uint32_t kFirstWaitMs = 1000;
    // Growth of the bytes kept that gives all retries back.
    static constexpr uint64_t kRefillStep = 1 << 20;
    // Attempts of one item in all, the first one included.
    static constexpr unsigned kMaxAttempts = 32;
    // Bytes the attempts of an item may store beyond twice its size.
    static constexpr uint64_t kSpareBytes = 1 << 20;

    // A new item of `size` bytes, `kept` of them already in its partial file.
    void Begin(uint64_t size, uint64_t kept);
    // An attempt lost its connection after storing `stored` bytes, leaving
    // `kept` in the partial file. True when another attempt may follow,
    // after WaitMs().
    bool Lost(uint64_t kept, uint64_t stored);
    uint32_t WaitMs() const { return wait_; }
    unsigned Attempts() const { return attempts_; }

private:
    uint64_t size_ = 0;
    uint64_t refilledAt_ = 0;
    uint64_t stored_ = 0;
    unsigned attempts_ = 0;
    unsigned retriesLeft_ = kRetries;
    uint32_t wait_ = 0;
};
