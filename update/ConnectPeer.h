// Links two top-level windows of two processes through WM_COPYDATA: a hidden
// window of its own, a link handshake, disconnect notices and a one-second
// timer that notices a vanished peer.
#pragma once

#include <windows.h>

#include <cstdint>

#include "base/MessageWindow.h"

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
    // Sends `size` bytes at `data` to the linked peer (WM_COPYDATA carrying
    // the link's tag) and returns its answer; 0 without sending while
    // unlinked. `data` must not be null: a message without data is the
    // disconnect notice.
    LRESULT Send(const void* data, uint32_t size);
    // Ends the link with a disconnect notice to the peer and destroys the
    // own window (and its timer with it).
    void Close();

    HWND Window() const { return window_.Get(); }
    HWND PeerWindow() const { return peer_; }
    bool IsConnected() const { return connected_; }
    uint32_t Tag() const { return tag_; }

protected:
    // Not virtual: a peer is never deleted through this base. The window
    // is unhooked from the object before it is destroyed.
    ~CConnectPeer() = default;

    // Data message from the peer; the result is the WM_COPYDATA result.
    virtual LRESULT OnReceive(const COPYDATASTRUCT* data) { return 0; }
    // Link request from `sender` while unlinked; true accepts it.
    virtual bool OnAccept(HWND sender, uint32_t tag) { return true; }
    virtual void OnDisconnected() {}
    // Every second: forgets a peer whose window is gone.
    virtual void OnTimer();

private:
    friend LRESULT CALLBACK kit::UserDataWindowProc<CConnectPeer>(HWND, UINT, WPARAM, LPARAM);
    // The window procedure's handler; `self` is null before Create has
    // pointed the window at its object.
    static LRESULT OnWindowMessage(CConnectPeer* self, HWND window, UINT message, WPARAM wParam,
                                   LPARAM lParam);
    LRESULT OnCopyData(HWND sender, const COPYDATASTRUCT* data);

    kit::CMessageWindow window_;
    HWND peer_ = nullptr;
    uint32_t tag_ = 0;  // dwData of every message to the peer
    bool connected_ = false;
};
