// Links two top-level windows of two processes through WM_COPYDATA: a hidden
// window of its own, a link handshake, disconnect notices and a one-second
// timer that notices a vanished peer.
#pragma once

#include <windows.h>

#include <cstdint>

class CConnectPeer {
public:
    CConnectPeer() = default;
    CConnectPeer(const CConnectPeer&) = delete;
    CConnectPeer& operator=(const CConnectPeer&) = delete;

    // Creates the hidden window and starts its timer; false when the window
    // already exists or cannot be created.
    bool Create();
    // Sends the link request to `window`; false when already linked, without
    // a window of our own, when `window` is no window or it refuses.
    bool Connect(HWND window);
    // Ends the link with a disconnect notice to the peer and destroys the
    // own window (and its timer with it).
    void Close();

    HWND Window() const { return m_hWnd; }
    HWND PeerWindow() const { return m_hPeer; }
    bool IsConnected() const { return m_connected; }

protected:
    // Not virtual: a peer is never deleted through this base. The window
    // must not outlive the object it points at.
    ~CConnectPeer();

    // Data message from the peer; the result is the WM_COPYDATA result.
    virtual LRESULT OnReceive(const COPYDATASTRUCT* data) { return 0; }
    // Link request from `sender` while unlinked; true accepts it.
    virtual bool OnAccept(HWND sender, uint32_t tag) { return true; }
    virtual void OnDisconnected() {}
    // Every second: forgets a peer whose window is gone.
    virtual void OnTimer();

    HWND m_hWnd = nullptr;
    HWND m_hPeer = nullptr;
    uint32_t m_tag = 0;  // dwData of every message to the peer
    bool m_connected = false;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnCopyData(HWND sender, const COPYDATASTRUCT* data);
    friend struct CPeerClassRegistration;
};
