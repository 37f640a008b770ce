// Hidden windows that deliver messages to an object: the window's user data
// points at the object, and the class's procedure hands every message to it.
#pragma once

#include <windows.h>

#include "UniqueHandle.h"

namespace kit {

// The window procedure of a class whose windows carry a T* in their user
// data: calls T::OnWindowMessage(target, window, message, wParam, lParam),
// with a null target before Attach and after Detach, so that T decides what
// a message without an object answers.
template <typename T>
LRESULT CALLBACK UserDataWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* target = reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return T::OnWindowMessage(target, window, message, wParam, lParam);
}

// Registers a window class of this module with the given procedure; false
// when RegisterClassW fails (the class may already exist).
inline bool RegisterMessageWindowClass(const wchar_t* className, WNDPROC procedure) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    return RegisterClassW(&windowClass) != 0;
}

// An owned hidden top-level window whose user data points at its target.
class CMessageWindow {
public:
    CMessageWindow() = default;
    CMessageWindow(CMessageWindow&&) = default;
    CMessageWindow& operator=(CMessageWindow&&) = default;
    ~CMessageWindow() { Destroy(); }

    // Creates the window of `className` (registered with this module's
    // instance, or the given one) and points it at `target`; false, owning
    // nothing, when a window is already owned or creation fails. The size
    // is 0 x 0 unless given (CW_USEDEFAULT included).
    bool Create(const wchar_t* className, const wchar_t* title, void* target,
                HINSTANCE instance = GetModuleHandleW(nullptr), int width = 0, int height = 0) {
        if (window_) return false;
        window_.Reset(CreateWindowExW(0, className, title, 0, 0, 0, width, height, nullptr, nullptr, instance,
                                      nullptr));
        if (!window_) return false;
        SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(target));
        return true;
    }
    // Unhooks the target first, so that the messages destruction sends
    // reach no object, then destroys the window.
    void Destroy() {
        if (window_) SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, 0);
        window_.Reset();
    }
    // Unhooks the target and gives up the window without destroying it, for
    // a caller on another thread than the window's.
    HWND Detach() {
        if (window_) SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, 0);
        return window_.Release();
    }

    HWND Get() const { return window_.Get(); }
    explicit operator bool() const { return static_cast<bool>(window_); }

private:
    CWindowHandle window_;
};

}  // namespace kit
