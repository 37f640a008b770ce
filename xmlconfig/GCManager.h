// Process-wide bookkeeping of the object pools: numbers the pooled types and
// gives every thread a table of its per-type caches through thread-local
// storage, so that finding a thread's cache takes no lock.
#pragma once

#include <windows.h>

#include "SafeLock.h"

namespace _ServerEngine {

class CGCManager {
public:
    // Slot numbers run from 1; a thread's table has one entry per number.
    static constexpr unsigned kTableEntries = 65536;
    // At most this many threads get a table; later threads go without caches.
    static constexpr unsigned kMaxTables = 65536;

    // Created on first use; torn down at exit after every pool created later.
    static CGCManager& Instance();

    // The next pooled type's slot number: 1 for the first type.
    unsigned NewTypeSlot();
    // The calling thread's cache stored under `slot`, or null.
    void* GetCache(unsigned slot);
    // Stores the calling thread's cache under `slot`; false when the thread
    // has no table (or `slot` is out of range) and the cache was not stored.
    bool SetCache(unsigned slot, void* cache);

    CSafeLock& Lock() { return lock_; }

private:
    CGCManager();
    ~CGCManager();
    CGCManager(const CGCManager&) = delete;
    CGCManager& operator=(const CGCManager&) = delete;

    void** ThreadTable();

    CSafeLock lock_;
    volatile LONG typeCounter_ = 0;
    DWORD tlsIndex_;
    void** tables_[kMaxTables] = {};
    unsigned tableCount_ = 0;
};

}  // namespace _ServerEngine
