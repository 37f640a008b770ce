// Owner of one kernel handle closed with CloseHandle (events, threads).
#pragma once

#include <windows.h>

class CKernelHandle {
public:
    CKernelHandle() = default;
    explicit CKernelHandle(HANDLE handle) : handle_(handle) {}
    ~CKernelHandle() { Reset(); }
    CKernelHandle(CKernelHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    CKernelHandle& operator=(CKernelHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    CKernelHandle(const CKernelHandle&) = delete;
    CKernelHandle& operator=(const CKernelHandle&) = delete;

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void Reset() {
        if (handle_) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;  // CreateEvent and CreateThread fail with NULL
};
