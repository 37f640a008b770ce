#include "ConnectPeer.h"

namespace {

const wchar_t kPeerClass[] = L"__ConnectPeer_wnd_class__";
const UINT_PTR kTimerId = 1;
const UINT kTimerPeriodMs = 1000;

}  // namespace

// The class exists before the entry function runs, so that a window can be
// made from any constructor or from the entry function alike.
struct CPeerClassRegistration {
    CPeerClassRegistration() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &CConnectPeer::WindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kPeerClass;
        RegisterClassW(&wc);
    }
};
static CPeerClassRegistration g_peerClassRegistration;

CConnectPeer::~CConnectPeer() {
    if (hWnd_) {
        SetWindowLongPtrW(hWnd_, GWLP_USERDATA, 0);
        DestroyWindow(hWnd_);
    }
}

bool CConnectPeer::Create() {
    if (hWnd_) return false;
    connected_ = false;
    hWnd_ = CreateWindowExW(0, kPeerClass, L"", 0, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (!hWnd_) return false;
    SetWindowLongPtrW(hWnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetTimer(hWnd_, kTimerId, kTimerPeriodMs, nullptr);
    return true;
}

bool CConnectPeer::Connect(HWND window) {
    if (connected_ || !hWnd_ || !IsWindow(window)) return false;
    COPYDATASTRUCT request = {0, 0, nullptr};
    if (!SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(hWnd_),
                      reinterpret_cast<LPARAM>(&request))) {
        return false;
    }
    tag_ = 0;
    hPeer_ = window;
    connected_ = true;
    return true;
}

void CConnectPeer::Close() {
    if (hPeer_) {
        connected_ = false;
        COPYDATASTRUCT notice = {tag_, 0, nullptr};
        SendMessageW(hPeer_, WM_COPYDATA, reinterpret_cast<WPARAM>(hWnd_),
                     reinterpret_cast<LPARAM>(&notice));
        hPeer_ = nullptr;
    }
    if (hWnd_) {
        SetWindowLongPtrW(hWnd_, GWLP_USERDATA, 0);
        DestroyWindow(hWnd_);
        hWnd_ = nullptr;
    }
}

void CConnectPeer::OnTimer() {
    if (hPeer_ && !IsWindow(hPeer_)) {
        tag_ = 0;
        hPeer_ = nullptr;
        OnDisconnected();
    }
}

LRESULT CConnectPeer::OnCopyData(HWND sender, const COPYDATASTRUCT* data) {
    if (!data) return 0;
    if (!connected_) {
        if (!OnAccept(sender, static_cast<uint32_t>(data->dwData))) return 0;
        hPeer_ = sender;
        connected_ = true;
        return 1;
    }
    if (sender != hPeer_) return 0;
    if (data->lpData) return OnReceive(data);
    // A data-less message from the peer is its disconnect notice.
    hPeer_ = nullptr;
    connected_ = false;
    OnDisconnected();
    return 1;
}

LRESULT CALLBACK CConnectPeer::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CConnectPeer*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (message) {
        case WM_COPYDATA:
            if (!self) return 0;
            return self->OnCopyData(reinterpret_cast<HWND>(wParam),
                                    reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        case WM_TIMER:
            if (self) self->OnTimer();
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
