// A critical section and its scoped guard: the only place that enters and
// leaves critical sections.
#pragma once

#include <windows.h>

namespace kit {

class CCriticalSection {
public:
    CCriticalSection() { InitializeCriticalSectionAndSpinCount(&section_, 8192); }
    ~CCriticalSection() { DeleteCriticalSection(&section_); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() { EnterCriticalSection(&section_); }
    void Unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// Holds the lock (when not null) for its lifetime, or until Release.
class CLockGuard {
public:
    explicit CLockGuard(CCriticalSection* lock) : lock_(lock) {
        if (lock_) lock_->Lock();
    }
    explicit CLockGuard(CCriticalSection& lock) : CLockGuard(&lock) {}
    ~CLockGuard() { Release(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

    // Leaves the lock early, for work that must run outside it.
    void Release() {
        if (lock_) lock_->Unlock();
        lock_ = nullptr;
    }

private:
    CCriticalSection* lock_;
};

}  // namespace kit
