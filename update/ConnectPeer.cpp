#include "ConnectPeer.h"

namespace {

const wchar_t kPeerClass[] = L"__ConnectPeer_wnd_class__";
const UINT_PTR kTimerId = 1;
const UINT kTimerPeriodMs = 1000;

// The class exists before the entry function runs, so that a window can be
// made from any constructor or from the entry function alike.
[[maybe_unused]] const bool g_peerClassRegistered =
    kit::RegisterMessageWindowClass(kPeerClass, &kit::UserDataWindowProc<CConnectPeer>);

}  // namespace

bool CConnectPeer::Create() {
    if (window_) return false;
    connected_ = false;
    if (!window_.Create(kPeerClass, L"", this, GetModuleHandleW(nullptr), CW_USEDEFAULT, CW_USEDEFAULT)) {
        return false;
    }
    SetTimer(window_.Get(), kTimerId, kTimerPeriodMs, nullptr);
    return true;
}

bool CConnectPeer::Connect(HWND window) {
    if (connected_ || !window_ || !IsWindow(window)) return false;
    COPYDATASTRUCT request = {0, 0, nullptr};
    if (!SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(window_.Get()),
                      reinterpret_cast<LPARAM>(&request))) {
        return false;
    }
    tag_ = 0;
    peer_ = window;
    connected_ = true;
    return true;
}

LRESULT CConnectPeer::Send(const void* data, uint32_t size) {
    if (!connected_ || !peer_) return 0;
    COPYDATASTRUCT message = {tag_, size, const_cast<void*>(data)};
    return SendMessageW(peer_, WM_COPYDATA, reinterpret_cast<WPARAM>(window_.Get()),
                        reinterpret_cast<LPARAM>(&message));
}

void CConnectPeer::Close() {
    if (peer_) {
        connected_ = false;
        COPYDATASTRUCT notice = {tag_, 0, nullptr};
        SendMessageW(peer_, WM_COPYDATA, reinterpret_cast<WPARAM>(window_.Get()),
                     reinterpret_cast<LPARAM>(&notice));
        peer_ = nullptr;
    }
    window_.Destroy();
}

void CConnectPeer::OnTimer() {
    if (peer_ && !IsWindow(peer_)) {
        tag_ = 0;
        peer_ = nullptr;
        OnDisconnected();
    }
}

LRESULT CConnectPeer::OnCopyData(HWND sender, const COPYDATASTRUCT* data) {
    if (!data) return 0;
    if (!connected_) {
        if (!OnAccept(sender, static_cast<uint32_t>(data->dwData))) return 0;
        peer_ = sender;
        connected_ = true;
        return 1;
    }
    if (sender != peer_) return 0;
    if (data->lpData) return OnReceive(data);
    // A data-less message from the peer is its disconnect notice.
    peer_ = nullptr;
    connected_ = false;
    OnDisconnected();
    return 1;
}

LRESULT CConnectPeer::OnWindowMessage(CConnectPeer* self, HWND window, UINT message, WPARAM wParam,
                                      LPARAM lParam) {
    switch (message) {
        case WM_COPYDATA:
            if (!self) return 0;
            return self->OnCopyData(reinterpret_cast<HWND>(wParam),
                                    reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        case WM_TIMER:
            if (self) self->OnTimer();
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}
