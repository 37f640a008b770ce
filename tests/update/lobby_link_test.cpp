// The lobby link between two windows and the arithmetic of the progress
// reports, driven through real windows in this process.
#include <windows.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectPeer.h"
#include "Progress.h"

namespace {

// A window standing in for the other process's peer: answers link requests
// with `answer` and records every WM_COPYDATA it gets.
class CFakePeerWindow {
public:
    explicit CFakePeerWindow(LRESULT answer) : answer_(answer) {
        static const ATOM atom = [] {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = &CFakePeerWindow::Proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"kit_test_fake_peer";
            return RegisterClassW(&wc);
        }();
        (void)atom;
        hwnd_ = CreateWindowExW(0, L"kit_test_fake_peer", L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), this);
    }
    ~CFakePeerWindow() {
        if (hwnd_) DestroyWindow(hwnd_);
    }
    void Destroy() {
        DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }
    HWND Handle() const { return hwnd_; }

    struct tagReceived {
        HWND sender;
        ULONG_PTR tag;
        bool hasData;
        DWORD size;
    };
    std::vector<tagReceived> received;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<CFakePeerWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (msg == WM_COPYDATA && self) {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            self->received.push_back(
                {reinterpret_cast<HWND>(wParam), data->dwData, data->lpData != nullptr, data->cbData});
            return self->answer_;
        }
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    HWND hwnd_ = nullptr;
    LRESULT answer_;
};

class CTestPeer : public CConnectPeer {
public:
    ~CTestPeer() = default;
    int disconnects = 0;
    bool accept = true;
    void Tick() { OnTimer(); }

protected:
    void OnDisconnected() override { ++disconnects; }
    bool OnAccept(HWND, uint32_t) override { return accept; }
};

LRESULT SendCopyData(HWND to, HWND from, const void* data, DWORD size, ULONG_PTR tag = 0) {
    COPYDATASTRUCT cds = {tag, size, const_cast<void*>(data)};
    return SendMessageW(to, WM_COPYDATA, reinterpret_cast<WPARAM>(from), reinterpret_cast<LPARAM>(&cds));
}

TEST(ConnectPeerTest, CreatesOneHiddenWindowOfItsClass) {
    CTestPeer peer;
    ASSERT_TRUE(peer.Create());
    EXPECT_FALSE(peer.Create()) << "a second Create must fail while the window exists";
    wchar_t className[64] = L"";
    GetClassNameW(peer.Window(), className, 64);
    EXPECT_STREQ(L"__ConnectPeer_wnd_class__", className);
    EXPECT_FALSE(IsWindowVisible(peer.Window()));
    EXPECT_EQ(nullptr, GetParent(peer.Window()));
    EXPECT_FALSE(peer.IsConnected());
}

TEST(ConnectPeerTest, ConnectSendsAnEmptyLinkRequestAndLinksOnANonZeroAnswer) {
    CTestPeer peer;
    ASSERT_TRUE(peer.Create());
    CFakePeerWindow lobby(1);
    ASSERT_TRUE(peer.Connect(lobby.Handle()));
    ASSERT_EQ(1u, lobby.received.size());
    EXPECT_EQ(peer.Window(), lobby.received[0].sender);
    EXPECT_EQ(0u, lobby.received[0].tag);
    EXPECT_FALSE(lobby.received[0].hasData);
    EXPECT_TRUE(peer.IsConnected());
    EXPECT_EQ(lobby.Handle(), peer.PeerWindow());
    CFakePeerWindow other(1);
    EXPECT_FALSE(peer.Connect(other.Handle())) << "already linked";
    EXPECT_TRUE(other.received.empty()) << "no request may go out while linked";
}

TEST(ConnectPeerTest, ConnectFailsOnRefusalOnANonWindowAndWithoutAnOwnWindow) {
    CTestPeer noWindow;
    CFakePeerWindow lobby(1);
    EXPECT_FALSE(noWindow.Connect(lobby.Handle()));
    EXPECT_TRUE(lobby.received.empty());

    CTestPeer peer;
    ASSERT_TRUE(peer.Create());
    CFakePeerWindow refusing(0);
    EXPECT_FALSE(peer.Connect(refusing.Handle()));
    EXPECT_EQ(1u, refusing.received.size());
    EXPECT_FALSE(peer.IsConnected());
    EXPECT_EQ(nullptr, peer.PeerWindow());

    CFakePeerWindow gone(1);
    const HWND stale = gone.Handle();
    gone.Destroy();
    EXPECT_FALSE(peer.Connect(stale));
    EXPECT_FALSE(peer.IsConnected());
}

TEST(ConnectPeerTest, AcceptsOneIncomingLinkAndRefusesASecondFromAnotherWindow) {
    CTestPeer peer;
    ASSERT_TRUE(peer.Create());
    CFakePeerWindow first(1), second(1);
    EXPECT_EQ(1, SendCopyData(peer.Window(), first.Handle(), nullptr, 0));
    EXPECT_TRUE(peer.IsConnected());
    EXPECT_EQ(first.Handle(), peer.PeerWindow());
    EXPECT_EQ(0, SendCopyData(peer.Window(), second.Handle(), nullptr, 0));
    EXPECT_EQ(first.Handle(), peer.PeerWindow()) << "a second link request changes nothing";
    const char data[] = "x";
    EXPECT_EQ(0, SendCopyData(peer.Window(), second.Handle(), data, 1)) << "data from a stranger";
    EXPECT_EQ(0, SendCopyData(peer.Window(), first.Handle(), data, 1)) << "the base answers data with 0";
    EXPECT_EQ(0, peer.disconnects);
}

TEST(ConnectPeerTest, RefusedIncomingLinkLeavesThePeerUnlinked) {
    CTestPeer peer;
    peer.accept = false;
    ASSERT_TRUE(peer.Create());
    CFakePeerWindow lobby(1);
    EXPECT_EQ(0, SendCopyData(peer.Window(), lobby.Handle(), nullptr, 0));
    EXPECT_FALSE(peer.IsConnected());
}

TEST(ConnectPeerTest, DisconnectNoticeFromThePeerUnlinks) {
    CTestPeer peer;
    ASSERT_TRUE(peer.Create());
    CFakePeerWindow lobby(1);
    ASSERT_TRUE(peer.Connect(lobby.Handle()));
    EXPECT_EQ(1, SendCopyData(peer.Window(), lobby.Handle(), nullptr, 0));
    EXPECT_FALSE(peer.IsConnected());
    EXPECT_EQ(nullptr, peer.PeerWindow());
    EXPECT_EQ(1, peer.disconnects);
}

TEST(ConnectPeerTest, TimerForgetsAPeerWhoseWindowIsGone) {
    CTestPeer peer;
    ASSERT_TRUE(peer.Create());
    CFakePeerWindow lobby(1);
    ASSERT_TRUE(peer.Connect(lobby.Handle()));
    peer.Tick();
    EXPECT_EQ(0, peer.disconnects) << "the peer is still there";
    lobby.Destroy();
    peer.Tick();
    EXPECT_EQ(1, peer.disconnects);
    EXPECT_EQ(nullptr, peer.PeerWindow());
    EXPECT_EQ(0u, peer.Tag());
    peer.Tick();
    EXPECT_EQ(1, peer.disconnects) << "reported once";
}

TEST(ConnectPeerTest, TimerTicksReachTheObjectEverySecond) {
    CTestPeer peer;
    ASSERT_TRUE(peer.Create());
    CFakePeerWindow lobby(1);
    ASSERT_TRUE(peer.Connect(lobby.Handle()));
    lobby.Destroy();
    // The real timer must notice the vanished peer; allow a loaded machine
    // plenty of ticks.
    const DWORD start = GetTickCount();
    while (peer.disconnects == 0 && GetTickCount() - start < 15000) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    EXPECT_EQ(1, peer.disconnects) << "after " << GetTickCount() - start << " ms";
}

TEST(ConnectPeerTest, SendReachesThePeerOnlyWhileLinked) {
    CTestPeer peer;
    ASSERT_TRUE(peer.Create());
    CFakePeerWindow lobby(7);
    const char data[] = "abc";
    EXPECT_EQ(0, peer.Send(data, 3)) << "not linked yet";
    EXPECT_TRUE(lobby.received.empty());
    ASSERT_TRUE(peer.Connect(lobby.Handle()));
    EXPECT_EQ(7, peer.Send(data, 3)) << "the peer's answer comes back";
    ASSERT_EQ(2u, lobby.received.size());
    EXPECT_EQ(peer.Window(), lobby.received[1].sender);
    EXPECT_EQ(0u, lobby.received[1].tag);
    EXPECT_TRUE(lobby.received[1].hasData);
    EXPECT_EQ(3u, lobby.received[1].size);
    peer.Close();
    EXPECT_EQ(0, peer.Send(data, 3)) << "after Close";
    EXPECT_EQ(3u, lobby.received.size()) << "only the disconnect notice followed";
}

TEST(ConnectPeerTest, CloseSendsTheDisconnectNoticeAndDestroysTheWindow) {
    CTestPeer peer;
    ASSERT_TRUE(peer.Create());
    CFakePeerWindow lobby(1);
    ASSERT_TRUE(peer.Connect(lobby.Handle()));
    const HWND own = peer.Window();
    peer.Close();
    ASSERT_EQ(2u, lobby.received.size());
    EXPECT_EQ(own, lobby.received[1].sender);
    EXPECT_FALSE(lobby.received[1].hasData);
    EXPECT_FALSE(peer.IsConnected());
    EXPECT_EQ(nullptr, peer.PeerWindow());
    EXPECT_EQ(nullptr, peer.Window());
    EXPECT_FALSE(IsWindow(own));
}

TEST(ProgressTest, SecondsLeftTruncatesCapsAndGivesZeroWhenUndefined) {
    struct {
        uint64_t total, done;
        double speed;
        uint32_t expected;
    } cases[] = {
        {1048576, 524288, 65536.0, 8},      // the worked example
        {1048576, 524288, 0.0, 0},          // no speed yet
        {1000, 0, 3.0, 333},                // truncated toward zero
        {4294967294ull, 0, 1e12, 2},        // divisor capped at 2147483647
        {1ull << 40, 0, 1e-300, 0},         // quotient beyond signed 64 bits
        {(1ull << 32) * 3 + 5, 0, 1.0, 5},  // low 32 bits of the quotient
        {100, 100, 512.0, 0},               // nothing left
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, SecondsLeft(c.total, c.done, c.speed))
            << "total " << c.total << ", done " << c.done << ", speed " << c.speed;
    }
}

TEST(ProgressTest, ShareDoneStaysWithinTheItemsShare) {
    struct {
        uint64_t hashed, size, share, expected;
    } cases[] = {
        {0, 1000, 100, 0},
        {500, 1000, 100, 50},            // a compressed body's share, half hashed
        {1000, 1000, 100, 100},          // whole
        {1200, 1000, 100, 100},          // never past the share
        {500, 1000, 1000, 500},          // a raw item: the bytes hashed
        {10, 0, 100, 0},                 // an empty file
        {3ull << 40, 6ull << 40, 1ull << 33, 1ull << 32},  // sizes past 32 bits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, ShareDone(c.hashed, c.size, c.share))
            << c.hashed << " of " << c.size << " hashed, share " << c.share;
    }
}

TEST(ProgressTest, LineCarriesTheSpeedInBytesPerSecond) {
    ProgressReport report = {1048576, 524288, 64.0, 8};
    EXPECT_EQ("A=1048576,C=524288,s=65536.000000,t=8", FormatProgressLine(report, 65536.0));
    ProgressReport big = {18446744073709551615ull, 0, 0.0, 4294967295u};
    EXPECT_EQ("A=18446744073709551615,C=0,s=0.500000,t=4294967295", FormatProgressLine(big, 0.5));
}

TEST(ProgressTest, ThrottleLetsReportsThroughMoreThan500MsApart) {
    CProgressThrottle throttle;
    throttle.Mark(10000);
    struct {
        DWORD now;
        bool due;
    } steps[] = {{10300, false}, {10500, false}, {10600, true}};
    for (const auto& s : steps) EXPECT_EQ(s.due, throttle.Due(s.now)) << "at " << s.now;
    throttle.Mark(0xFFFFFF00u);
    EXPECT_FALSE(throttle.Due(0xF0u)) << "496 ms across the tick wrap";
    EXPECT_TRUE(throttle.Due(0x100u)) << "512 ms across the tick wrap";
}

}  // namespace
