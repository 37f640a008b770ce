// A COM smart pointer: owns one reference to an interface.
#pragma once

#include <unknwn.h>

#include <utility>

namespace kit {

template <typename T>
class CComPtr {
public:
    CComPtr() = default;
    CComPtr(std::nullptr_t) {}
    // Takes a reference of its own on `pointer`.
    explicit CComPtr(T* pointer) : pointer_(pointer) {
        if (pointer_) pointer_->AddRef();
    }
    CComPtr(const CComPtr& other) : CComPtr(other.pointer_) {}
    CComPtr(CComPtr&& other) noexcept : pointer_(other.Detach()) {}
    ~CComPtr() { Reset(); }
    CComPtr& operator=(const CComPtr& other) {
        CComPtr(other).Swap(*this);
        return *this;
    }
    CComPtr& operator=(CComPtr&& other) noexcept {
        CComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    CComPtr& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }

    T* Get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

    // Releases the reference held, for a function that writes a new one.
    T** operator&() {
        Reset();
        return &pointer_;
    }
    // Owns a reference the caller already holds (no AddRef).
    void Attach(T* pointer) {
        Reset();
        pointer_ = pointer;
    }
    // Hands the reference to the caller (no Release).
    T* Detach() { return std::exchange(pointer_, nullptr); }
    // Gives the caller a reference of its own; `out` may not be null.
    HRESULT CopyTo(T** out) const {
        if (!out) return E_POINTER;
        *out = pointer_;
        if (pointer_) pointer_->AddRef();
        return S_OK;
    }
    HRESULT As(REFIID iid, void** out) const {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!pointer_) return E_POINTER;
        return pointer_->QueryInterface(iid, out);
    }
    // Releases the reference held, if any; the count Release returned, or
    // 0 when nothing was held.
    ULONG Reset() {
        T* const old = std::exchange(pointer_, nullptr);
        return old ? old->Release() : 0;
    }
    void Swap(CComPtr& other) noexcept { std::swap(pointer_, other.pointer_); }

private:
    T* pointer_ = nullptr;
};

}  // namespace kit
