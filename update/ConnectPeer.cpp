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
    if (m_hWnd) {
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hWnd);
    }
}

bool CConnectPeer::Create() {
    if (m_hWnd) return false;
    m_connected = false;
    m_hWnd = CreateWindowExW(0, kPeerClass, L"", 0, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (!m_hWnd) return false;
    SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetTimer(m_hWnd, kTimerId, kTimerPeriodMs, nullptr);
    return true;
}

bool CConnectPeer::Connect(HWND window) {
    if (m_connected || !m_hWnd || !IsWindow(window)) return false;
    COPYDATASTRUCT request = {0, 0, nullptr};
    if (!SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(m_hWnd),
                      reinterpret_cast<LPARAM>(&request))) {
        return false;
    }
    m_tag = 0;
    m_hPeer = window;
    m_connected = true;
    return true;
}

void CConnectPeer::Close() {
    if (m_hPeer) {
        m_connected = false;
        COPYDATASTRUCT notice = {m_tag, 0, nullptr};
        SendMessageW(m_hPeer, WM_COPYDATA, reinterpret_cast<WPARAM>(m_hWnd),
                     reinterpret_cast<LPARAM>(&notice));
        m_hPeer = nullptr;
    }
    if (m_hWnd) {
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
}

void CConnectPeer::OnTimer() {
    if (m_hPeer && !IsWindow(m_hPeer)) {
        m_tag = 0;
        m_hPeer = nullptr;
        OnDisconnected();
    }
}

LRESULT CConnectPeer::OnCopyData(HWND sender, const COPYDATASTRUCT* data) {
    if (!data) return 0;
    if (!m_connected) {
        if (!OnAccept(sender, static_cast<uint32_t>(data->dwData))) return 0;
        m_hPeer = sender;
        m_connected = true;
        return 1;
    }
    if (sender != m_hPeer) return 0;
    if (data->lpData) return OnReceive(data);
    // A data-less message from the peer is its disconnect notice.
    m_hPeer = nullptr;
    m_connected = false;
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
