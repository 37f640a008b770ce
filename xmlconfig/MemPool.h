// Fixed-size object pools: CMemPool carves slots from malloc'd blocks of N
// and keeps freed slots on a free list; CMemPoolEx puts a per-thread cache
// of up to 65 free slots in front, so that most allocations and releases
// take no lock; CMemPoolObject routes a class's new and delete through it.
// Memory goes back to the system only at exit or through Collect.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include "GCManager.h"
#include "SafeLock.h"

namespace _ServerEngine {

// An object that can be asked to give memory back.
struct tagGCObject {
    virtual unsigned long Collect() = 0;

protected:
    ~tagGCObject() = default;
};

template <typename T, unsigned N>
class CMemPool : public tagGCObject, public CSafeLock {
    static_assert(N > 0, "a block holds at least one slot");

public:
    // Room for one T plus the link that chains the slot while it is free.
    struct Slot {
        Slot* nextFree;
        alignas(T) unsigned char object[sizeof(T)];
    };

    explicit CMemPool(unsigned blocksAhead = 0) {
        CSafeLockGuard guard(this);
        for (unsigned i = 0; i < blocksAhead; ++i) {
            Block* block = NewBlock();
            if (!block) break;
            for (unsigned s = 0; s < N; ++s) Push(&block->slots[s]);
        }
    }

    ~CMemPool() {
        CSafeLockGuard guard(this);
        while (blocks_) {
            Block* next = blocks_->nextBlock;
            std::free(blocks_);
            blocks_ = next;
        }
        freeList_ = nullptr;
        freeCount_ = 0;
        blockCount_ = 0;
    }

    CMemPool(const CMemPool&) = delete;
    CMemPool& operator=(const CMemPool&) = delete;

    // One slot, or null when the free list is empty and no block can be had.
    Slot* Alloc() {
        CSafeLockGuard guard(this);
        if (freeList_) {
            Slot* slot = freeList_;
            freeList_ = slot->nextFree;
            --freeCount_;
            return slot;
        }
        Block* block = NewBlock();
        if (!block) return nullptr;
        // The free list then starts with the block's last slot.
        for (unsigned s = 1; s < N; ++s) Push(&block->slots[s]);
        return &block->slots[0];
    }

    void Free(Slot* slot) {
        CSafeLockGuard guard(this);
        Push(slot);
    }

    // Frees every block whose slots are all on the free list; returns the
    // number of slots released. Slots in thread caches count as used.
    unsigned long Collect() override {
        CSafeLockGuard guard(this);
        std::vector<Block*> sorted;
        for (Block* b = blocks_; b; b = b->nextBlock) sorted.push_back(b);
        std::sort(sorted.begin(), sorted.end());
        std::vector<unsigned> freeSlots(sorted.size(), 0);
        auto owner = [&](Slot* slot) -> std::ptrdiff_t {
            auto it = std::upper_bound(sorted.begin(), sorted.end(), reinterpret_cast<Block*>(slot));
            if (it == sorted.begin()) return -1;
            --it;
            Block* b = *it;
            if (slot < b->slots || slot >= b->slots + N) return -1;
            return it - sorted.begin();
        };
        for (Slot* s = freeList_; s; s = s->nextFree) {
            const std::ptrdiff_t i = owner(s);
            if (i >= 0) ++freeSlots[static_cast<size_t>(i)];
        }
        Slot** link = &freeList_;
        while (*link) {
            const std::ptrdiff_t i = owner(*link);
            if (i >= 0 && freeSlots[static_cast<size_t>(i)] == N) {
                *link = (*link)->nextFree;
                --freeCount_;
            } else {
                link = &(*link)->nextFree;
            }
        }
        unsigned long released = 0;
        Block** blockLink = &blocks_;
        while (*blockLink) {
            Block* b = *blockLink;
            const size_t i =
                static_cast<size_t>(std::lower_bound(sorted.begin(), sorted.end(), b) - sorted.begin());
            if (freeSlots[i] == N) {
                *blockLink = b->nextBlock;
                std::free(b);
                --blockCount_;
                released += N;
            } else {
                blockLink = &b->nextBlock;
            }
        }
        return released;
    }

    // Diagnostics: blocks owned and slots on the free list.
    unsigned BlockCount() {
        CSafeLockGuard guard(this);
        return blockCount_;
    }
    unsigned FreeCount() {
        CSafeLockGuard guard(this);
        return freeCount_;
    }

    static Slot* SlotOf(void* object) {
        return reinterpret_cast<Slot*>(static_cast<unsigned char*>(object) - offsetof(Slot, object));
    }

private:
    struct Block {
        Block* nextBlock;
        Slot slots[N];
    };

    Block* NewBlock() {
        Block* block = static_cast<Block*>(std::malloc(sizeof(Block)));
        if (!block) return nullptr;
        block->nextBlock = blocks_;
        blocks_ = block;
        ++blockCount_;
        return block;
    }

    void Push(Slot* slot) {
        slot->nextFree = freeList_;
        freeList_ = slot;
        ++freeCount_;
    }

    Block* blocks_ = nullptr;
    Slot* freeList_ = nullptr;
    unsigned blockCount_ = 0;
    unsigned freeCount_ = 0;
};

// The pool with per-thread caches of free slots in front of it.
template <typename T, unsigned N>
class CMemPoolEx : public CMemPool<T, N> {
    using Base = CMemPool<T, N>;

public:
    using Slot = typename Base::Slot;
    static constexpr unsigned kMaxCached = 65;

    struct ThreadCache {
        CMemPoolEx* pool;
        Slot* head;
        unsigned count;
    };

    CMemPoolEx(unsigned blocksAhead, unsigned typeSlot) : Base(blocksAhead), typeSlot_(typeSlot) {}

    // At exit: cached slots go back to the free list before the blocks go.
    ~CMemPoolEx() {
        while (caches_) {
            Registration* entry = caches_;
            caches_ = entry->next;
            ThreadCache* cache = entry->cache;
            while (cache->head) {
                Slot* slot = cache->head;
                cache->head = slot->nextFree;
                Base::Free(slot);
            }
            cache->count = 0;
            std::free(cache);
            std::free(entry);
        }
    }

    // The calling thread's cache, created on its first use; null when no
    // cache can be had (no memory, or no table for this thread or type), and
    // the caller then goes to the pool directly.
    ThreadCache* Cache() {
        CGCManager& manager = CGCManager::Instance();
        if (auto* cache = static_cast<ThreadCache*>(manager.GetCache(typeSlot_))) return cache;
        // The bookkeeping lives until exit, outside the C++ heap.
        auto* cache = static_cast<ThreadCache*>(std::malloc(sizeof(ThreadCache)));
        auto* entry = static_cast<Registration*>(std::malloc(sizeof(Registration)));
        if (!cache || !entry) {
            std::free(cache);
            std::free(entry);
            return nullptr;
        }
        *cache = ThreadCache{this, nullptr, 0};
        if (!manager.SetCache(typeSlot_, cache)) {
            std::free(cache);
            std::free(entry);
            return nullptr;
        }
        CSafeLockGuard guard(this);
        entry->cache = cache;
        entry->next = caches_;
        caches_ = entry;
        return cache;
    }

    void* Allocate() {
        ThreadCache* cache = Cache();
        Slot* slot = nullptr;
        if (cache && cache->head) {
            slot = cache->head;
            cache->head = slot->nextFree;
            --cache->count;
        } else {
            slot = Base::Alloc();
        }
        return slot ? slot->object : nullptr;
    }

    void Release(void* object) {
        if (!object) return;
        Slot* slot = Base::SlotOf(object);
        ThreadCache* cache = Cache();
        if (cache && cache->count < kMaxCached) {
            slot->nextFree = cache->head;
            cache->head = slot;
            ++cache->count;
        } else {
            Base::Free(slot);
        }
    }

    // Diagnostics: free slots in the calling thread's cache, and in all.
    unsigned CachedHere() {
        ThreadCache* cache = Cache();
        return cache ? cache->count : 0;
    }
    unsigned CachedTotal() {
        CSafeLockGuard guard(this);
        unsigned total = 0;
        for (Registration* e = caches_; e; e = e->next) total += e->cache->count;
        return total;
    }

    unsigned TypeSlot() const { return typeSlot_; }

private:
    struct Registration {
        ThreadCache* cache;
        Registration* next;
    };

    const unsigned typeSlot_;
    Registration* caches_ = nullptr;
};

// Base class whose new and delete go through the process-wide pool of T.
template <typename T, unsigned N>
class CMemPoolObject {
public:
    using Pool = CMemPoolEx<T, N>;
    static constexpr unsigned kBlocksAhead = 4;

    // Created on first use under the manager's lock, after the manager, so
    // that it is torn down before it at exit.
    static Pool& GetPool() {
        static Pool& pool = CreatePool();
        return pool;
    }

    // Null when no memory is left: a new-expression then yields null.
    static void* operator new(std::size_t size) noexcept {
        if (size != sizeof(T)) return ::operator new(size, std::nothrow);
        return GetPool().Allocate();
    }
    static void operator delete(void* object, std::size_t size) noexcept {
        if (size != sizeof(T)) {
            ::operator delete(object);
            return;
        }
        GetPool().Release(object);
    }

private:
    static Pool& CreatePool() {
        CGCManager& manager = CGCManager::Instance();
        CSafeLockGuard guard(&manager.Lock());
        static Pool pool(kBlocksAhead, manager.NewTypeSlot());
        return pool;
    }
};

}  // namespace _ServerEngine
