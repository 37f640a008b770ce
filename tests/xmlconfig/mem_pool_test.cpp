#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "MemPool.h"

using namespace _ServerEngine;

namespace {

// Each test uses a type of its own, so that it starts from a fresh pool.
template <int Tag>
struct Pooled : CMemPoolObject<Pooled<Tag>, 4> {
    std::uint32_t value = 0;
    char padding[20] = {};
};

template <typename T>
void RunOnThread(T&& body) {
    std::thread thread(std::forward<T>(body));
    thread.join();
}

TEST(MemPoolTest, FreshPoolHoldsFourBlocksAndGrowsOneBlockAtATime) {
    using P = Pooled<1>;
    auto& pool = P::GetPool();
    EXPECT_EQ(4u, pool.BlockCount());
    EXPECT_EQ(16u, pool.FreeCount());

    // A new thread starts with an empty cache, so every allocation below
    // comes from the pool itself.
    RunOnThread([&] {
        std::vector<P*> objects;
        for (int i = 0; i < 16; ++i) objects.push_back(new P);
        EXPECT_EQ(4u, pool.BlockCount()) << "the first 16 come from the blocks made ahead";
        EXPECT_EQ(0u, pool.FreeCount());
        objects.push_back(new P);
        EXPECT_EQ(5u, pool.BlockCount()) << "the 17th grows the pool by one block";
        EXPECT_EQ(3u, pool.FreeCount());
        for (int i = 0; i < 3; ++i) objects.push_back(new P);
        EXPECT_EQ(5u, pool.BlockCount()) << "the next three need no block";
        EXPECT_EQ(0u, pool.FreeCount());
        for (P* p : objects) delete p;
    });
}

TEST(MemPoolTest, SlotsOfAGrownBlockAreHandedOutFromTheLastDown) {
    using P = Pooled<2>;
    auto& pool = P::GetPool();
    RunOnThread([&] {
        std::vector<P*> objects;
        for (int i = 0; i < 16; ++i) objects.push_back(new P);
        P* first = new P;
        P* next[3] = {new P, new P, new P};
        EXPECT_EQ(reinterpret_cast<char*>(first) + 3 * sizeof(typename P::Pool::Slot),
                  reinterpret_cast<char*>(next[0]));
        EXPECT_EQ(reinterpret_cast<char*>(first) + 1 * sizeof(typename P::Pool::Slot),
                  reinterpret_cast<char*>(next[2]));
        delete first;
        for (P* p : next) delete p;
        for (P* p : objects) delete p;
    });
    EXPECT_EQ(5u, pool.BlockCount());
}

TEST(MemPoolTest, ThreadKeepsSixtyFiveFreedObjectsAndReturnsTheRest) {
    using P = Pooled<3>;
    auto& pool = P::GetPool();
    RunOnThread([&] {
        std::vector<P*> objects;
        for (int i = 0; i < 70; ++i) objects.push_back(new P);
        const unsigned freeBefore = pool.FreeCount();
        for (P* p : objects) delete p;
        EXPECT_EQ(65u, pool.CachedHere());
        EXPECT_EQ(freeBefore + 5, pool.FreeCount());
        // Reuse comes from the cache first, without the pool.
        P* again = new P;
        EXPECT_EQ(64u, pool.CachedHere());
        EXPECT_EQ(freeBefore + 5, pool.FreeCount());
        delete again;
    });
}

TEST(MemPoolTest, ObjectFreedOnAnotherThreadLandsInThatThreadsCache) {
    using P = Pooled<4>;
    auto& pool = P::GetPool();
    P* object = nullptr;
    RunOnThread([&] { object = new P; });
    const unsigned freeBefore = pool.FreeCount();
    unsigned cachedThere = 0;
    RunOnThread([&] {
        delete object;
        cachedThere = pool.CachedHere();
    });
    EXPECT_EQ(1u, cachedThere);
    EXPECT_EQ(freeBefore, pool.FreeCount()) << "the pool's free list is not touched";
}

TEST(MemPoolTest, TypesAreNumberedFromOneInOrderOfFirstUse) {
    const unsigned a = Pooled<5>::GetPool().TypeSlot();
    const unsigned b = Pooled<6>::GetPool().TypeSlot();
    EXPECT_GE(a, 1u);
    EXPECT_EQ(a + 1, b);
    EXPECT_EQ(a, Pooled<5>::GetPool().TypeSlot());
    // The process's first pooled type took slot 1, entry 0 is never used.
    EXPECT_EQ(nullptr, CGCManager::Instance().GetCache(0));
    int dummy = 0;
    EXPECT_FALSE(CGCManager::Instance().SetCache(0, &dummy));
}

TEST(MemPoolTest, CollectFreesOnlyBlocksWithEverySlotFree) {
    using P = Pooled<7>;
    auto& pool = P::GetPool();
    RunOnThread([&] {
        std::vector<P*> objects;
        for (int i = 0; i < 200; ++i) objects.push_back(new P);
        // Fill this thread's cache first, then free the rest to the pool.
        for (P* p : objects) delete p;
    });
    const unsigned blocks = pool.BlockCount();
    const unsigned cached = pool.CachedTotal();
    ASSERT_EQ(65u, cached);
    const unsigned long released = pool.Collect();
    EXPECT_EQ(0u, released % 4);
    EXPECT_EQ(blocks - released / 4, pool.BlockCount());
    EXPECT_GE(pool.BlockCount() * 4, cached) << "blocks with cached slots stay";
    EXPECT_EQ(pool.BlockCount() * 4, pool.FreeCount() + cached);
    EXPECT_EQ(0u, pool.Collect()) << "a second pass finds nothing more";
}

TEST(MemPoolStressTest, NoSlotIsLostOrHandedOutTwice) {
    using P = Pooled<8>;
    auto& pool = P::GetPool();
    std::mutex mutex;
    std::set<P*> live;
    std::atomic<int> duplicates{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            std::vector<P*> mine;
            for (int step = 0; step < 20000; ++step) {
                if (mine.empty() || random() % 3 != 0) {
                    P* p = new P;
                    p->value = static_cast<std::uint32_t>(t);
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!live.insert(p).second) ++duplicates;
                    mine.push_back(p);
                } else {
                    const size_t i = random() % mine.size();
                    P* p = mine[i];
                    mine[i] = mine.back();
                    mine.pop_back();
                    if (p->value != static_cast<std::uint32_t>(t)) ++duplicates;
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        live.erase(p);
                    }
                    delete p;
                }
            }
            // Half the survivors are released by another thread below.
            std::lock_guard<std::mutex> lock(mutex);
            for (size_t i = 0; i < mine.size(); i += 2) live.erase(mine[i]), delete mine[i];
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, duplicates.load());
    const size_t survivors = live.size();
    EXPECT_EQ(pool.BlockCount() * 4, pool.FreeCount() + pool.CachedTotal() + survivors)
        << "every slot is free, cached or live";
    RunOnThread([&] {
        for (P* p : live) delete p;
    });
    EXPECT_EQ(pool.BlockCount() * 4, pool.FreeCount() + pool.CachedTotal());
}

}  // namespace
