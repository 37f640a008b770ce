// Vistrel.exe as a process with the real browser control: arguments,
// single instance, life inside a parent, the close button and navigations
// offered to the parent.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "WebWnd.h"
#include "test_support.h"

using namespace webpopup_test;

namespace {

constexpr DWORD kStartMs = 20000;
constexpr DWORD kExitMs = 15000;

std::wstring HandleArg(HWND window) {
    return std::to_wstring(reinterpret_cast<UINT_PTR>(window));
}

RECT ClientRectOf(HWND window) {
    RECT rect = {};
    GetClientRect(window, &rect);
    return rect;
}

// A loopback HTTP listener that only notes whether anything connected.
class CLoopbackServer {
public:
    CLoopbackServer() {
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        ::listen(socket_, 4);
    }
    ~CLoopbackServer() { ::closesocket(socket_); }
    CLoopbackServer(const CLoopbackServer&) = delete;
    CLoopbackServer& operator=(const CLoopbackServer&) = delete;

    std::wstring Url(const std::wstring& path) const {
        return L"http://127.0.0.1:" + std::to_wstring(port_) + path;
    }
    // Waits (pumping) for a connection and returns the first bytes sent on
    // it; empty when nobody connected in time.
    std::string WaitForRequest(DWORD ms) {
        std::string received;
        PumpUntil(
            [&] {
                fd_set set;
                FD_ZERO(&set);
                FD_SET(socket_, &set);
                timeval none = {0, 0};
                if (::select(0, &set, nullptr, nullptr, &none) != 1) return false;
                SOCKET client = ::accept(socket_, nullptr, nullptr);
                char buffer[256] = {};
                timeval wait = {5, 0};
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(client, &readable);
                if (::select(0, &readable, nullptr, nullptr, &wait) == 1) {
                    const int n = ::recv(client, buffer, sizeof(buffer) - 1, 0);
                    if (n > 0) received.assign(buffer, n);
                }
                ::closesocket(client);
                if (received.empty()) received = "(connected)";
                return true;
            },
            ms);
        return received;
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
    unsigned short port_ = 0;
};

class CPopupProcessTest : public testing::Test {
protected:
    void TearDown() override {
        // Leave no pop-up behind for the next test's single-instance check.
        if (HWND left = FindWindowW(kVistrelClassName, nullptr)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(left, &pid);
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {
                TerminateProcess(process, 99);
                WaitForSingleObject(process, 10000);
                CloseHandle(process);
            }
        }
        PumpFor(0);
        TakeQuitCode();
    }
};

TEST_F(CPopupProcessTest, BrowserAreaArgumentsSizeTheWindow) {
    const struct {
        const wchar_t* args;
        int width, height, areaWidth, areaHeight;
    } cases[] = {
        {L"about:blank 400 300", 410, 337, 400, 300},
        {L"about:blank 400", 410, 600, 400, 563},
        {L"", 800, 600, 790, 563},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.args)));
        CChildProcess vistrel;
        ASSERT_TRUE(vistrel.Start(VistrelPath(), c.args));
        const HWND popup = WaitForPopup(kStartMs);
        ASSERT_NE(nullptr, popup);
        RECT rect = {};
        GetWindowRect(popup, &rect);
        EXPECT_EQ(c.width, rect.right - rect.left);
        EXPECT_EQ(c.height, rect.bottom - rect.top);
        EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - c.width) / 2, rect.left);
        EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - c.height) / 2, rect.top);
        wchar_t title[64] = L"poison";
        GetWindowTextW(popup, title, 64);
        EXPECT_STREQ(L"Vistrel", title);
        // The control creates its window before the pop-up moves it into
        // the browser area: wait for it to arrive there.
        HWND browser = nullptr;
        RECT area = {};
        PumpUntil(
            [&] {
                browser = GetWindow(popup, GW_CHILD);
                if (!browser || !GetWindowRect(browser, &area)) return false;
                return area.left == rect.left + 5 && area.top == rect.top + 32 &&
                       area.right - area.left == c.areaWidth && area.bottom - area.top == c.areaHeight;
            },
            kStartMs);
        ASSERT_NE(nullptr, browser) << "no browser window in the pop-up";
        EXPECT_EQ(c.areaWidth, area.right - area.left);
        EXPECT_EQ(c.areaHeight, area.bottom - area.top);
        EXPECT_EQ(rect.left + 5, area.left);
        EXPECT_EQ(rect.top + 32, area.top);
        vistrel.Kill();
    }
}

TEST_F(CPopupProcessTest, InvalidParentExitsWithZeroAtOnce) {
    CChildProcess vistrel;
    ASSERT_TRUE(vistrel.Start(VistrelPath(), L"about:blank 400 300 Title 12345"));
    EXPECT_EQ(0u, vistrel.WaitForExit(kExitMs));
    EXPECT_EQ(nullptr, FindWindowW(kVistrelClassName, nullptr));
}

TEST_F(CPopupProcessTest, SecondCopyExitsWithZeroAndTheFirstKeepsRunning) {
    CChildProcess first;
    ASSERT_TRUE(first.Start(VistrelPath(), L"about:blank 300 200 First"));
    const HWND popup = WaitForPopup(kStartMs);
    ASSERT_NE(nullptr, popup);
    CChildProcess second;
    ASSERT_TRUE(second.Start(VistrelPath(), L"about:blank 300 200 Second"));
    EXPECT_EQ(0u, second.WaitForExit(kExitMs));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), first.WaitForExit(0));
    EXPECT_TRUE(IsWindow(popup));
    EXPECT_EQ(popup, FindWindowW(kVistrelClassName, nullptr));
}

TEST_F(CPopupProcessTest, CloseButtonClosesOnlyWhenReleasedOverIt) {
    CChildProcess vistrel;
    ASSERT_TRUE(vistrel.Start(VistrelPath(), L"about:blank 400 300 Title"));
    const HWND popup = WaitForPopup(kStartMs);
    ASSERT_NE(nullptr, popup);
    const int bx = 410 - 27 - 8 + 13, by = 5 + 14;
    // Pressed on the button, moved off, released elsewhere: stays open.
    SendMessageW(popup, WM_MOUSEMOVE, 0, MAKELPARAM(bx, by));
    SendMessageW(popup, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(bx, by));
    SendMessageW(popup, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(200, 200));
    SendMessageW(popup, WM_LBUTTONUP, 0, MAKELPARAM(200, 200));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), vistrel.WaitForExit(1500));
    // A click on the button ends the program with 1.
    SendMessageW(popup, WM_MOUSEMOVE, 0, MAKELPARAM(bx, by));
    SendMessageW(popup, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(bx, by));
    SendMessageW(popup, WM_LBUTTONUP, 0, MAKELPARAM(bx, by));
    EXPECT_EQ(1u, vistrel.WaitForExit(kExitMs));
}

struct tagAnswerCase {
    LRESULT answer;
    bool expectRequest;
};

class CParentAnswerTest : public CPopupProcessTest, public testing::WithParamInterface<tagAnswerCase> {};

TEST_P(CParentAnswerTest, FirstNavigationIsOfferedToTheParentWhoseAnswerDecides) {
    CLoopbackServer server;
    const std::wstring url = server.Url(L"/page?x=1");
    CTestParent parent(700, 500);
    parent.SetAnswer(GetParam().answer);
    CChildProcess vistrel;
    ASSERT_TRUE(vistrel.Start(VistrelPath(), L"\"" + url + L"\" 400 300 News " + HandleArg(parent.Window())));
    ASSERT_TRUE(PumpUntil([&] { return !parent.Blocks().empty(); }, kStartMs)) << "no notification arrived";
    const tagReceivedBlock& block = parent.Blocks().front();
    EXPECT_EQ(2u, block.wParam);
    EXPECT_EQ(ExpectedBlock(url, {}), block.bytes);

    // The pop-up sits centred in the parent's client area.
    const HWND popup = FindWindowExW(parent.Window(), nullptr, kVistrelClassName, nullptr);
    ASSERT_NE(nullptr, popup);
    RECT rect = {};
    GetWindowRect(popup, &rect);
    MapWindowPoints(nullptr, parent.Window(), reinterpret_cast<POINT*>(&rect), 2);
    const RECT client = ClientRectOf(parent.Window());
    EXPECT_EQ((client.right - 410) / 2, rect.left);
    EXPECT_EQ((client.bottom - 337) / 2, rect.top);
    EXPECT_EQ(410, rect.right - rect.left);
    EXPECT_EQ(337, rect.bottom - rect.top);

    const std::string request = server.WaitForRequest(GetParam().expectRequest ? kStartMs : 3000);
    if (GetParam().expectRequest) {
        EXPECT_EQ(0u, request.rfind("GET /page?x=1 ", 0)) << request;
    } else {
        EXPECT_EQ("", request) << "a cancelled navigation reached the server";
    }
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), vistrel.WaitForExit(0));
    // Destroying the parent takes the pop-up's window with it.
    parent.Destroy();
    EXPECT_EQ(1u, vistrel.WaitForExit(kExitMs));
}

INSTANTIATE_TEST_SUITE_P(Answers, CParentAnswerTest,
                         testing::Values(tagAnswerCase{1, false}, tagAnswerCase{0, true}),
                         [](const testing::TestParamInfo<tagAnswerCase>& info) {
                             return info.param.answer ? std::string("CancelledByOne")
                                                      : std::string("AllowedByZero");
                         });

TEST_F(CPopupProcessTest, PopupExitsWithMinusOneSoonAfterItsParentProcessDies) {
    CChildProcess parent;
    ASSERT_TRUE(parent.Start(PopupParentPath(), L"--cancel /never about:blank 300 200", true));
    std::string line;
    ASSERT_TRUE(parent.ReadLine(&line, kStartMs));
    const std::string prefix = "started Vistrel pid ";
    ASSERT_EQ(0u, line.rfind(prefix, 0)) << line;
    const DWORD pid = std::stoul(line.substr(prefix.size()));
    HANDLE vistrel = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    ASSERT_NE(nullptr, vistrel);
    // The first navigation report means the pop-up is up and watching.
    ASSERT_TRUE(parent.ReadLine(&line, kStartMs));
    EXPECT_EQ(0u, line.rfind("navigate about:blank ", 0)) << line;

    parent.Kill();
    const DWORD start = GetTickCount();
    const DWORD waited = WaitForSingleObject(vistrel, kExitMs);
    const DWORD elapsed = GetTickCount() - start;
    DWORD code = 0xdeadbeef;
    GetExitCodeProcess(vistrel, &code);
    if (waited != WAIT_OBJECT_0) TerminateProcess(vistrel, 99);
    CloseHandle(vistrel);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), waited);
    EXPECT_EQ(static_cast<DWORD>(-1), code);
    EXPECT_LT(elapsed, 5000u) << "the parent watch runs every 500 ms";
}

}  // namespace
