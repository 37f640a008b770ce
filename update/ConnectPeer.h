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

    HWND Window() const { return hWnd_; }
    HWND PeerWindow() const { return hPeer_; }
    bool IsConnected() const { return connected_; }

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

    HWND hWnd_ = nullptr;
    HWND hPeer_ = nullptr;
    uint32_t tag_ = 0;  // dwData of every message to the peer
    bool connected_ = false;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnCopyData(HWND sender, const COPYDATASTRUCT* data);
    friend struct CPeerClassRegistration;
};
