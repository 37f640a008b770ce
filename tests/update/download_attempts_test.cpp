// The accounting of a download's attempts after lost connections: which
// lost attempt may be followed by another, and after how long.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "DownloadAttempts.h"

namespace {

const uint64_t kMiB = 1 << 20;

// One lost attempt: the bytes kept after it, the bytes it stored, and the
// wait expected before the next one (0: none follows).
struct tagLoss {
    uint64_t kept, stored;
    uint32_t waitMs;
};

TEST(DownloadAttempts, LostAttemptsAreFollowedOnlyWithinTheirBounds) {
    const struct {
        const char* name;
        uint64_t size, keptAtStart;
        std::vector<tagLoss> losses;
    } cases[] = {
        {"no progress: three retries, 1 s, 2 s, 4 s", 100 * kMiB, 0,
         {{1000, 1000, 1000}, {1000, 0, 2000}, {1000, 0, 4000}, {1000, 0, 0}}},
        {"a step of progress gives them back", 100 * kMiB, 0,
         {{10, 10, 1000}, {20, 10, 2000}, {kMiB + 20, kMiB, 1000}, {kMiB + 30, 10, 2000}}},
        {"growth below a step after the last refill gives nothing", 100 * kMiB, 0,
         {{kMiB, kMiB, 1000}, {2 * kMiB - 1, kMiB - 1, 2000}, {2 * kMiB - 1, 0, 4000}, {2 * kMiB - 1, 0, 0}}},
        {"bytes kept by an earlier run are no progress", 100 * kMiB, 5 * kMiB,
         {{5 * kMiB + 10, 10, 1000}, {5 * kMiB + 20, 10, 2000}, {5 * kMiB + 30, 10, 4000}, {5 * kMiB + 40, 10, 0}}},
        {"bytes lost by a restart must be fetched again before they count", 100 * kMiB, 0,
         {{3 * kMiB, 3 * kMiB, 1000}, {kMiB, kMiB, 2000}, {2 * kMiB, kMiB, 4000}, {4 * kMiB, 2 * kMiB, 1000}}},
        // 2 * 1 MiB + 1 MiB spare may be stored: the fourth attempt passes it.
        {"stored bytes beyond twice the size and the spare end it", kMiB, 0,
          {{kMiB - 1, kMiB - 1, 1000}, {0, kMiB - 1, 2000}, {10, kMiB + 10, 0}}},
        {"a partial file beyond the size ends it", 1000, 0, {{1001, 1001, 0}}},
    };
    for (const auto& c : cases) {
        CDownloadAttempts attempts;
        attempts.Begin(c.size, c.keptAtStart);
        for (size_t i = 0; i < c.losses.size(); ++i) {
            const tagLoss& loss = c.losses[i];
            const bool again = attempts.Lost(loss.kept, loss.stored);
            EXPECT_EQ(loss.waitMs != 0, again) << c.name << ", loss " << i;
            if (again) {
                EXPECT_EQ(loss.waitMs, attempts.WaitMs()) << c.name << ", loss " << i;
            }
        }
    }
}

TEST(DownloadAttempts, ProgressRefillsNoMoreThanTheAttemptCap) {
    // A 1 GiB file cut after every 2 MiB of progress: the retries come back
    // each time, but the item ends with its attempt cap.
    CDownloadAttempts attempts;
    attempts.Begin(1024 * kMiB, 0);
    unsigned followed = 0;
    for (uint64_t kept = 2 * kMiB; attempts.Lost(kept, 2 * kMiB); kept += 2 * kMiB) ++followed;
    EXPECT_EQ(CDownloadAttempts::kMaxAttempts - 1, followed);
    EXPECT_EQ(CDownloadAttempts::kMaxAttempts, attempts.Attempts());
}

TEST(DownloadAttempts, SizesNearTheLimitDoNotWrap) {
    // A size widened from a negative count is near 2^64: twice it must not
    // wrap to a small budget, nor a huge stored count to a small sum.
    CDownloadAttempts attempts;
    attempts.Begin(UINT64_MAX - 5, 0);
    EXPECT_TRUE(attempts.Lost(10, UINT64_MAX - 100));
    EXPECT_TRUE(attempts.Lost(20, 200));
    EXPECT_EQ(2000u, attempts.WaitMs());
}

}  // namespace
