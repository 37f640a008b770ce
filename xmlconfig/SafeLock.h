// A critical section and its scoped guard.
#pragma once

#include <windows.h>

namespace _ServerEngine {

class CSafeLock {
public:
    CSafeLock() { InitializeCriticalSectionAndSpinCount(&section_, 8192); }
    ~CSafeLock() { DeleteCriticalSection(&section_); }
    CSafeLock(const CSafeLock&) = delete;
    CSafeLock& operator=(const CSafeLock&) = delete;

    void Lock() { EnterCriticalSection(&section_); }
    void Unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// Enters the lock (when not null) for its lifetime, or until Release.
class CSafeLockGuard {
public:
    explicit CSafeLockGuard(CSafeLock* lock) : lock_(lock) {
        if (lock_) lock_->Lock();
    }
    ~CSafeLockGuard() { Release(); }
    CSafeLockGuard(const CSafeLockGuard&) = delete;
    CSafeLockGuard& operator=(const CSafeLockGuard&) = delete;

    void Release() {
        if (lock_) lock_->Unlock();
        lock_ = nullptr;
    }

private:
    CSafeLock* lock_;
};

}  // namespace _ServerEngine
