// Move-only owners for the GDI and kernel handles the pop-up uses briefly.
#pragma once

#include <windows.h>

#include <utility>

template <typename Traits>
class CUniqueHandle {
public:
    using Type = typename Traits::Type;

    CUniqueHandle() = default;
    explicit CUniqueHandle(Type handle) : handle_(handle) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(CUniqueHandle&& other) noexcept : handle_(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;

    Type Get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Empty(); }
    Type Release() { return std::exchange(handle_, Traits::Empty()); }
    void Reset(Type handle = Traits::Empty()) {
        if (handle_ != Traits::Empty()) Traits::Close(handle_);
        handle_ = handle;
    }

private:
    Type handle_ = Traits::Empty();
};

struct tagMemoryDcTraits {
    using Type = HDC;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { DeleteDC(h); }
};
struct tagGdiObjectTraits {
    using Type = HGDIOBJ;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { DeleteObject(h); }
};
struct tagKernelHandleTraits {
    using Type = HANDLE;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

using CMemoryDc = CUniqueHandle<tagMemoryDcTraits>;
using CGdiObject = CUniqueHandle<tagGdiObjectTraits>;
using CKernelHandle = CUniqueHandle<tagKernelHandleTraits>;

// Selects an object into a DC for the life of the scope.
class CSelectObject {
public:
    CSelectObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~CSelectObject() { SelectObject(dc_, previous_); }
    CSelectObject(const CSelectObject&) = delete;
    CSelectObject& operator=(const CSelectObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};
