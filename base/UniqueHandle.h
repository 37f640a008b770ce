// One move-only owner for every kind of Windows handle the kit closes, one
// alias per kind. A kind is a traits struct: the handle type, its empty
// value and the call that closes it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <utility>

namespace kit {

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
    // Gives up ownership without closing.
    Type Release() { return std::exchange(handle_, Traits::Empty()); }
    // Closes the owned handle, if any, and owns `handle` instead.
    void Reset(Type handle = Traits::Empty()) {
        const Type old = std::exchange(handle_, handle);
        if (old != Traits::Empty()) Traits::Close(old);
    }
    // Closes the owned handle and gives the address to a function that
    // writes a new one.
    Type* Put() {
        Reset();
        return &handle_;
    }

private:
    Type handle_ = Traits::Empty();
};

template <typename T, T EmptyValue, auto CloseFunction>
struct tagHandleTraits {
    using Type = T;
    static Type Empty() { return EmptyValue; }
    static void Close(Type handle) { CloseFunction(handle); }
};

// INVALID_HANDLE_VALUE is a cast, not a constant expression.
template <typename T, auto CloseFunction>
struct tagInvalidIsEmptyTraits {
    using Type = T;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(Type handle) { CloseFunction(handle); }
};

template <typename T>
struct tagGdiObjectTraits {
    using Type = T;
    static Type Empty() { return nullptr; }
    static void Close(Type handle) { DeleteObject(handle); }
};

// Events, threads, processes, mutexes, file mappings: empty is NULL.
using CKernelHandle = CUniqueHandle<tagHandleTraits<HANDLE, nullptr, CloseHandle>>;
// CreateFileW fails with INVALID_HANDLE_VALUE.
using CFileHandle = CUniqueHandle<tagInvalidIsEmptyTraits<HANDLE, CloseHandle>>;
using CFindHandle = CUniqueHandle<tagInvalidIsEmptyTraits<HANDLE, FindClose>>;
using CMappedView = CUniqueHandle<tagHandleTraits<void*, nullptr, UnmapViewOfFile>>;
using CLibraryHandle = CUniqueHandle<tagHandleTraits<HMODULE, nullptr, FreeLibrary>>;
template <typename T = HGDIOBJ>
using CGdiObject = CUniqueHandle<tagGdiObjectTraits<T>>;
using CMemoryDc = CUniqueHandle<tagHandleTraits<HDC, nullptr, DeleteDC>>;
// DestroyWindow works only on the thread that made the window.
using CWindowHandle = CUniqueHandle<tagHandleTraits<HWND, nullptr, DestroyWindow>>;
using CSocketHandle = CUniqueHandle<tagHandleTraits<SOCKET, INVALID_SOCKET, closesocket>>;

}  // namespace kit
