#include "GCManager.h"

#include <cstdlib>

namespace _ServerEngine {

CGCManager& CGCManager::Instance() {
    static CGCManager manager;
    return manager;
}

CGCManager::CGCManager() : tlsIndex_(TlsAlloc()) {}

CGCManager::~CGCManager() {
    for (unsigned i = 0; i < tableCount_; ++i) std::free(tables_[i]);
    tableCount_ = 0;
    if (tlsIndex_ != TLS_OUT_OF_INDEXES) TlsFree(tlsIndex_);
}

unsigned CGCManager::NewTypeSlot() {
    return static_cast<unsigned>(InterlockedIncrement(&typeCounter_));
}

void** CGCManager::ThreadTable() {
    if (tlsIndex_ == TLS_OUT_OF_INDEXES) return nullptr;
    if (void* table = TlsGetValue(tlsIndex_)) return static_cast<void**>(table);
    void** table = static_cast<void**>(std::calloc(kTableEntries, sizeof(void*)));
    if (!table) return nullptr;
    {
        CSafeLockGuard guard(&lock_);
        if (tableCount_ == kMaxTables) {
            guard.Release();
            std::free(table);
            return nullptr;
        }
        tables_[tableCount_++] = table;
    }
    TlsSetValue(tlsIndex_, table);
    return table;
}

void* CGCManager::GetCache(unsigned slot) {
    if (slot == 0 || slot >= kTableEntries) return nullptr;
    void** table = ThreadTable();
    return table ? table[slot] : nullptr;
}

bool CGCManager::SetCache(unsigned slot, void* cache) {
    if (slot == 0 || slot >= kTableEntries) return false;
    void** table = ThreadTable();
    if (!table) return false;
    table[slot] = cache;
    return true;
}

}  // namespace _ServerEngine
