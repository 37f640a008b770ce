// CWebWnd hosted inside the test process, with a fake browser control in
// place of the system's one: the skin, the region, the mouse, the browser
// site and its events.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "WebWnd.h"
#include "base/UniqueHandle.h"
#include "fake_browser.h"
#include "resource.h"
#include "test_support.h"

using namespace webpopup_test;

namespace {

constexpr DWORD kMagenta = 0xFF00FF;

class CProcessEnvironment : public testing::Environment {
public:
    void SetUp() override {
        CoInitialize(nullptr);
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    void TearDown() override {
        WSACleanup();
        CoUninitialize();
    }
};
testing::Environment* const g_environment = testing::AddGlobalTestEnvironment(new CProcessEnvironment);

std::wstring Decimal(const void* p) {
    return std::to_wstring(reinterpret_cast<UINT_PTR>(p));
}

LPARAM At(int x, int y) {
    return MAKELPARAM(x, y);
}

class CWebWndTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, RegisterFakeBrowser(&cookie_));
        TakeQuitCode();
    }
    void TearDown() override {
        RevokeFakeBrowser(cookie_);
        PumpFor(0);
        TakeQuitCode();
        ResetFakeBrowserLog();
    }

    // Creates the pop-up inside `parent` (hidden) with a browser area of
    // width x height.
    bool CreateInside(CWebWnd& popup, HWND parent, int width, int height, const std::wstring& title = L"News",
                      const std::wstring& url = L"http://example.test/start") {
        const std::wstring commandLine = L"Vistrel.exe \"" + url + L"\" " + std::to_wstring(width) + L" " +
                                         std::to_wstring(height) + L" \"" + title + L"\" " + Decimal(parent);
        return popup.Create(GetModuleHandleW(nullptr), commandLine.c_str());
    }

    DWORD cookie_ = 0;
};

TEST_F(CWebWndTest, CreateEmbedsTheControlInTheBrowserAreaAndReleasesItOnDestroy) {
    CTestParent parent(700, 500);
    const tagFakeBrowserLog& log = FakeBrowserLog();
    {
        CWebWnd popup;
        ASSERT_TRUE(CreateInside(popup, parent.Window(), 400, 300, L"News", L"http://example.test/a?b=1"));
        EXPECT_EQ(static_cast<IOleClientSite*>(&popup), log.clientSite);
        EXPECT_EQ(OLEIVERB_INPLACEACTIVATE, log.verb);
        EXPECT_EQ(popup.Window(), log.verbParent);
        // Activated left of the client area, with the browser area's height.
        EXPECT_EQ(5 - 410, log.verbRect.left);
        EXPECT_EQ(32, log.verbRect.top);
        EXPECT_EQ(0, log.verbRect.right);
        EXPECT_EQ(337 - 5, log.verbRect.bottom);
        EXPECT_EQ(static_cast<void*>(static_cast<DWebBrowserEvents2*>(&popup)), log.sink);
        const std::vector<std::wstring> calls = {L"MenuBar=0", L"AddressBar=0", L"StatusBar=0",
                                                 L"ToolBar=0", L"Silent=-1",    L"Navigate2"};
        EXPECT_EQ(calls, log.calls);
        EXPECT_EQ(L"http://example.test/a?b=1", log.navigatedUrl);
        EXPECT_EQ(parent.Window(), GetParent(popup.Window()));

        ASSERT_EQ(log.window, popup.BrowserWindow());
        RECT area = {};
        GetWindowRect(popup.BrowserWindow(), &area);
        MapWindowPoints(nullptr, popup.Window(), reinterpret_cast<POINT*>(&area), 2);
        EXPECT_EQ(5, area.left);
        EXPECT_EQ(32, area.top);
        EXPECT_EQ(400, area.right - area.left);
        EXPECT_EQ(300, area.bottom - area.top);

        const HWND window = popup.Window();
        const HWND browserWindow = popup.BrowserWindow();
        popup.Destroy();
        EXPECT_EQ(1, log.quitCount);
        EXPECT_EQ(0, log.objectsAlive);
        EXPECT_EQ(0u, log.lastRelease);
        EXPECT_FALSE(IsWindow(browserWindow));
        EXPECT_FALSE(IsWindow(window));
        EXPECT_EQ(nullptr, popup.Window());
    }
    // Torn down by Destroy, not closed: no quit message.
    PumpFor(0);
    EXPECT_EQ(0xdeadbeefu, TakeQuitCode());
}

TEST_F(CWebWndTest, BrowserCreationFailureFailsStartUpAndReleasesTheControl) {
    CTestParent parent(700, 500);
    FakeBrowserLog().failFindConnectionPoint = true;
    CWebWnd popup;
    EXPECT_FALSE(CreateInside(popup, parent.Window(), 400, 300));
    const tagFakeBrowserLog& log = FakeBrowserLog();
    EXPECT_EQ(1, log.quitCount);
    EXPECT_EQ(0, log.objectsAlive);
    EXPECT_EQ(0u, log.lastRelease);
    EXPECT_EQ(nullptr, popup.BrowserWindow());
    EXPECT_FALSE(IsWindow(log.window));
    popup.Destroy();
}

TEST_F(CWebWndTest, AParentThatIsNotAWindowFailsStartUpWithoutAWindow) {
    CWebWnd popup;
    EXPECT_FALSE(popup.Create(GetModuleHandleW(nullptr), L"Vistrel.exe http://x.test/ 400 300 T 12345"));
    EXPECT_EQ(nullptr, popup.Window());
    EXPECT_EQ(nullptr, FindWindowW(kVistrelClassName, nullptr));
    EXPECT_EQ(0, FakeBrowserLog().objectsAlive);
    popup.Destroy();
}

TEST_F(CWebWndTest, NoArgumentsOpenAboutBlankInACentred800By600Window) {
    CWebWnd popup;
    ASSERT_TRUE(popup.Create(GetModuleHandleW(nullptr), L"Vistrel.exe"));
    RECT rect = {};
    GetWindowRect(popup.Window(), &rect);
    EXPECT_EQ(800, rect.right - rect.left);
    EXPECT_EQ(600, rect.bottom - rect.top);
    EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - 800) / 2, rect.left);
    EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - 600) / 2, rect.top);
    wchar_t text[64] = L"poison";
    GetWindowTextW(popup.Window(), text, 64);
    EXPECT_STREQ(L"Vistrel", text);
    EXPECT_EQ(L"Vistrel", popup.Caption());
    EXPECT_EQ(L"about:blank", FakeBrowserLog().navigatedUrl);
    EXPECT_EQ(nullptr, GetParent(popup.Window()));
    // Without a parent no navigation is cancelled.
    EXPECT_EQ(VARIANT_FALSE, FireBeforeNavigate2(L"http://a.test/next", {1, 2}, true));
    popup.Destroy();
}

struct tagNavigationCase {
    const wchar_t* url;
    std::vector<BYTE> post;
    LRESULT answer;
    VARIANT_BOOL expectedCancel;
};

TEST_F(CWebWndTest, TopLevelNavigationReachesTheParentAsOneBlockAndItsAnswerCancels) {
    const tagNavigationCase cases[] = {
        // 20 characters and 10 bytes of post data: a 56-byte block.
        {L"http://a.test/p?q=12", {'n', 'a', 'm', 'e', '=', 'v', 'a', 'l', 'u', 'e'}, 1, VARIANT_TRUE},
        {L"http://a.test/p?q=12", {}, 0, VARIANT_FALSE},
        {L"http://例子.测试/页面", {0, 1, 2, 0xFF}, 0, VARIANT_FALSE},
        {L"", {}, 1, VARIANT_TRUE},
    };
    CTestParent parent(700, 500);
    CWebWnd popup;
    ASSERT_TRUE(CreateInside(popup, parent.Window(), 400, 300));
    size_t seen = parent.Blocks().size();
    for (const tagNavigationCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "url length " << wcslen(c.url) << ", post " << c.post.size());
        parent.SetAnswer(c.answer);
        const DWORD before = GetTickCount();
        EXPECT_EQ(c.expectedCancel, FireBeforeNavigate2(c.url, c.post, true));
        ASSERT_EQ(seen + 1, parent.Blocks().size());
        ++seen;
        const tagReceivedBlock& block = parent.Blocks().back();
        EXPECT_EQ(2u, block.wParam);
        EXPECT_LE(before, static_cast<DWORD>(block.tick));
        EXPECT_EQ(ExpectedBlock(c.url, c.post), block.bytes);
        // The block exists only while the parent handles the message.
        wchar_t name[64];
        swprintf(name, 64, L"Vistrel_notify_%u", static_cast<unsigned>(block.tick));
        HANDLE stale = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
        EXPECT_EQ(nullptr, stale) << "the block outlived the message";
        if (stale) CloseHandle(stale);
    }
    ASSERT_EQ(56u, parent.Blocks()[0].bytes.size());
    DWORD sizeField = 0;
    std::memcpy(&sizeField, parent.Blocks()[0].bytes.data(), 4);
    EXPECT_EQ(56u, sizeField);
    popup.Destroy();
}

// Objects another process could have made under the upcoming block names:
// from `first` on, `count` numbers, each taken unless its offset from `first`
// is a multiple of `freeEvery` (0: none free). The name before each tenth is
// a one-page section, smaller than a large block; the others are events.
class CPlantedNames {
public:
    CPlantedNames(DWORD first, DWORD count, DWORD freeEvery) {
        for (DWORD offset = 0; offset < count; ++offset) {
            if (freeEvery && offset % freeEvery == 0) continue;
            wchar_t name[64];
            swprintf(name, 64, kNotifyNameFormat, static_cast<unsigned>(first + offset));
            SetLastError(ERROR_SUCCESS);
            HANDLE object = offset % 10 == 9 ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr,
                                                                  PAGE_READWRITE, 0, 16, name)
                                             : CreateEventW(nullptr, TRUE, FALSE, name);
            EXPECT_TRUE(object && GetLastError() != ERROR_ALREADY_EXISTS) << "planting offset " << offset;
            objects_.emplace_back(object);
        }
    }

private:
    std::vector<kit::CKernelHandle> objects_;
};

// Planted names cover this many milliseconds from the test's tick count: far
// longer than planting and one navigation take.
constexpr DWORD kPlantedSpan = 3000;

TEST_F(CWebWndTest, NotificationSkipsNamesTakenByOtherObjects) {
    CTestParent parent(700, 500);
    CWebWnd popup;
    ASSERT_TRUE(CreateInside(popup, parent.Window(), 400, 300));
    // Post data larger than a page: a copy into a planted one-page section
    // would run past its view.
    const std::vector<BYTE> large(3 * 4096, 0x5A);
    const struct {
        const wchar_t* url;
        std::vector<BYTE> post;
        LRESULT answer;
    } cases[] = {
        {L"http://a.test/one", large, 1},
        {L"http://a.test/two", {}, 0},
        {L"http://a.test/three", large, 0},
        {L"http://a.test/four", {}, 1},
    };
    for (const auto& c : cases) {
        // Nine names taken for every free one: the pop-up meets up to nine,
        // a section among them, before a free name.
        const DWORD first = GetTickCount();
        const CPlantedNames planted(first, kPlantedSpan, 10);
        const size_t seen = parent.Blocks().size();
        parent.SetAnswer(c.answer);
        EXPECT_EQ(c.answer ? VARIANT_TRUE : VARIANT_FALSE, FireBeforeNavigate2(c.url, c.post, true));
        ASSERT_EQ(seen + 1, parent.Blocks().size()) << "the parent was not asked";
        const tagReceivedBlock& block = parent.Blocks().back();
        const DWORD offset = static_cast<DWORD>(block.tick) - first;
        EXPECT_TRUE(offset % 10 == 0 || offset >= kPlantedSpan) << "block named with taken offset " << offset;
        EXPECT_EQ(ExpectedBlock(c.url, c.post), block.bytes);
    }
    popup.Destroy();
}

TEST_F(CWebWndTest, NavigationIsCancelledWhenNoBlockNameIsFree) {
    CTestParent parent(700, 500);
    parent.SetAnswer(0);
    CWebWnd popup;
    ASSERT_TRUE(CreateInside(popup, parent.Window(), 400, 300));
    const CPlantedNames planted(GetTickCount(), kPlantedSpan, 0);
    EXPECT_EQ(VARIANT_TRUE, FireBeforeNavigate2(L"http://a.test/unasked", {1, 2}, true));
    EXPECT_EQ(0u, parent.Blocks().size()) << "the parent was asked";
    popup.Destroy();
}

TEST_F(CWebWndTest, NavigationInsideAFrameIsNotReported) {
    CTestParent parent(700, 500);
    parent.SetAnswer(1);
    CWebWnd popup;
    ASSERT_TRUE(CreateInside(popup, parent.Window(), 400, 300));
    const VARIANT_BOOL cancel = FireBeforeNavigate2(L"http://a.test/frame", {1, 2, 3}, false);
    EXPECT_EQ(0u, parent.Blocks().size());
    EXPECT_EQ(0x5a5a, static_cast<unsigned short>(cancel)) << "Cancel was written for a frame";
    popup.Destroy();
}

TEST_F(CWebWndTest, DocumentCompleteCaptionsTheTitleWithThePageTitle) {
    struct tagStep {
        const wchar_t* pageTitle;
        bool hasDocument;
        bool topLevel;
        const wchar_t* url;
        const wchar_t* expected;
    };
    const tagStep steps[] = {
        {L"Hello", true, true, L"http://a.test/", L"News ——Hello"},
        {L"", true, true, L"http://a.test/", L"News"},
        {L"Frame", true, false, L"http://a.test/f", L"News"},
        {L"公告", true, true, L"http://a.test/", L"News ——公告"},
        {L"NoDocument", false, true, L"http://a.test/", L"News ——公告"},
        {L"NullUrl", true, true, nullptr, L"News ——公告"},
    };
    CTestParent parent(700, 500);
    CWebWnd popup;
    ASSERT_TRUE(CreateInside(popup, parent.Window(), 400, 300, L"News"));
    EXPECT_EQ(L"News", popup.Caption());
    for (const tagStep& step : steps) {
        FakeBrowserLog().documentTitle = step.pageTitle;
        FakeBrowserLog().hasDocument = step.hasDocument;
        FireDocumentComplete(step.url, step.topLevel);
        EXPECT_EQ(step.expected, popup.Caption()) << "page title " << testing::PrintToString(step.pageTitle);
        EXPECT_EQ(1, FakeBrowserLog().objectsAlive) << "the document was not released";
    }
    popup.Destroy();
}

TEST_F(CWebWndTest, QueryInterfaceHandsOutTheTableAndNothingElse) {
    CWebWnd popup;
    struct tagEntry {
        const IID* iid;
        void* expected;
    };
    const tagEntry table[] = {
        {&IID_IUnknown, static_cast<IOleClientSite*>(&popup)},
        {&IID_IOleClientSite, static_cast<IOleClientSite*>(&popup)},
        {&IID_IDispatch, static_cast<DWebBrowserEvents2*>(&popup)},
        {&DIID_DWebBrowserEvents2, static_cast<DWebBrowserEvents2*>(&popup)},
        {&IID_IOleInPlaceSite, static_cast<IOleInPlaceSite*>(&popup)},
        {&IID_IOleInPlaceFrame, static_cast<IOleInPlaceFrame*>(&popup)},
        {&IID_IOleInPlaceUIWindow, static_cast<IOleInPlaceFrame*>(&popup)},
        {&IID_IDocHostUIHandler, static_cast<IDocHostUIHandler2*>(&popup)},
        {&IID_IDocHostUIHandler2, static_cast<IDocHostUIHandler2*>(&popup)},
        {&IID_IOleObject, nullptr},
        {&IID_IOleWindow, nullptr},
        {&IID_IOleCommandTarget, nullptr},
    };
    IUnknown* entryPoints[] = {static_cast<IOleClientSite*>(&popup), static_cast<IOleInPlaceSite*>(&popup),
                               static_cast<IOleInPlaceFrame*>(&popup),
                               static_cast<DWebBrowserEvents2*>(&popup),
                               static_cast<IDocHostUIHandler2*>(&popup)};
    for (IUnknown* unknown : entryPoints) {
        for (const tagEntry& entry : table) {
            void* out = reinterpret_cast<void*>(0xdeadbeef);
            const HRESULT hr = unknown->QueryInterface(*entry.iid, &out);
            EXPECT_EQ(entry.expected ? S_OK : E_NOINTERFACE, hr);
            EXPECT_EQ(entry.expected, out);
        }
        EXPECT_EQ(E_POINTER, unknown->QueryInterface(IID_IUnknown, nullptr));
        EXPECT_EQ(1u, unknown->AddRef());
        EXPECT_EQ(1u, unknown->Release());
    }
}

TEST_F(CWebWndTest, SiteSlotsReportTheWindowAndStripTheBrowserUi) {
    CTestParent parent(700, 500);
    CWebWnd popup;
    ASSERT_TRUE(CreateInside(popup, parent.Window(), 400, 300));

    DOCHOSTUIINFO info;
    std::memset(&info, 0xA5, sizeof(info));
    info.dwFlags = DOCHOSTUIFLAG_DIALOG;
    const DOCHOSTUIINFO before = info;
    EXPECT_EQ(S_OK, popup.GetHostInfo(&info));
    EXPECT_EQ(0x24002Du, info.dwFlags);
    EXPECT_EQ(before.cbSize, info.cbSize);
    EXPECT_EQ(before.dwDoubleClick, info.dwDoubleClick);
    EXPECT_EQ(before.pchHostCss, info.pchHostCss);

    IOleInPlaceFrame* frame = reinterpret_cast<IOleInPlaceFrame*>(0xdeadbeef);
    IOleInPlaceUIWindow* document = reinterpret_cast<IOleInPlaceUIWindow*>(0xdeadbeef);
    RECT position = {1, 2, 3, 4};
    RECT clip = {5, 6, 7, 8};
    OLEINPLACEFRAMEINFO frameInfo;
    std::memset(&frameInfo, 0xA5, sizeof(frameInfo));
    EXPECT_EQ(S_OK, popup.GetWindowContext(&frame, &document, &position, &clip, &frameInfo));
    EXPECT_EQ(static_cast<IOleInPlaceFrame*>(&popup), frame);
    EXPECT_EQ(nullptr, document);
    static_assert(sizeof(void*) != 4 || sizeof(OLEINPLACEFRAMEINFO) == 20, "frame info of the 32-bit build");
    EXPECT_EQ(sizeof(OLEINPLACEFRAMEINFO), frameInfo.cb);
    EXPECT_FALSE(frameInfo.fMDIApp);
    EXPECT_EQ(popup.Window(), frameInfo.hwndFrame);
    EXPECT_EQ(nullptr, frameInfo.haccel);
    EXPECT_EQ(0u, frameInfo.cAccelEntries);
    EXPECT_EQ(1, position.left);
    EXPECT_EQ(8, clip.bottom);

    HWND window = reinterpret_cast<HWND>(0xdeadbeef);
    EXPECT_EQ(S_OK, static_cast<IOleInPlaceSite*>(&popup)->GetWindow(&window));
    EXPECT_EQ(popup.Window(), window);
    IDispatch* external = reinterpret_cast<IDispatch*>(0xdeadbeef);
    EXPECT_EQ(S_OK, popup.GetExternal(&external));
    EXPECT_EQ(nullptr, external);
    LPWSTR translated = reinterpret_cast<LPWSTR>(0xdeadbeef);
    EXPECT_EQ(S_OK, popup.TranslateUrl(0, const_cast<LPWSTR>(L"http://a.test/"), &translated));
    EXPECT_EQ(nullptr, translated);
    EXPECT_EQ(S_OK, popup.ShowContextMenu(0, nullptr, nullptr, nullptr));
    popup.Destroy();
}

// Region ------------------------------------------------------------------

// A memory DC holding a 32-bit DIB filled by `pixel(x, y)`.
class CTestBitmap {
public:
    CTestBitmap(int width, int height, const std::function<DWORD(int, int)>& pixel) {
        BITMAPINFO info = TopDownDib32(width, height);
        void* bits = nullptr;
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) static_cast<DWORD*>(bits)[y * width + x] = pixel(x, y);
        old_ = SelectObject(dc_, bitmap_);
    }
    ~CTestBitmap() {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    CTestBitmap(const CTestBitmap&) = delete;
    CTestBitmap& operator=(const CTestBitmap&) = delete;
    HDC Dc() const { return dc_; }
    HBITMAP Bitmap() const { return bitmap_; }

private:
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ old_;
};

TEST(RegionFromBitmap, CoversExactlyTheNonMagentaPixelsAcrossManyBatches) {
    struct tagCase {
        const char* name;
        int width, height;
        std::function<DWORD(int, int)> pixel;
    };
    const tagCase cases[] = {
        {"no magenta", 64, 48, [](int, int) { return 0x123456u; }},
        {"all magenta", 40, 30, [](int, int) { return 0xFF00FFu; }},
        // 151 runs a row for 40 rows: over 6,000 rectangles, four batches.
        {"stripes", 301, 40, [](int x, int) { return x % 2 ? kMagenta : 0x00FF00u; }},
        // The top byte is not part of the colour key.
        {"checker with alpha", 257, 33,
         [](int x, int y) { return ((x / 3 + y) % 2) ? 0x7FFF00FFu : 0xFF000000u; }},
    };
    for (const tagCase& c : cases) {
        SCOPED_TRACE(c.name);
        CTestBitmap bitmap(c.width, c.height, c.pixel);
        HRGN region = CreateRegionFromBitmap(bitmap.Dc(), bitmap.Bitmap(), c.width, c.height);
        ASSERT_NE(nullptr, region);
        int mismatches = 0;
        for (int y = 0; y < c.height + 2; ++y)
            for (int x = 0; x < c.width + 2; ++x) {
                const bool inside = x < c.width && y < c.height && (c.pixel(x, y) & 0xFFFFFF) != kMagenta;
                mismatches += (PtInRegion(region, x, y) != FALSE) != inside;
            }
        EXPECT_EQ(0, mismatches);
        DeleteObject(region);
    }
}

TEST_F(CWebWndTest, WindowCornersAreCutAtEverySizeAndTheEdgesStay) {
    int skinWidth = 0, skinHeight = 0;
    const std::vector<DWORD> skin = ResourcePixels(IDB_VISTREL_FRAME, &skinWidth, &skinHeight);
    ASSERT_EQ(128, skinWidth);
    ASSERT_EQ(128, skinHeight);
    ASSERT_EQ(kMagenta, skin[0]) << "the frame artwork has no rounded corner";
    const SIZE areas[] = {{400, 300}, {118, 91}, {1000, 700}, {60, 40}};
    CTestParent parent(1100, 800);
    for (const SIZE& area : areas) {
        SCOPED_TRACE(testing::Message() << area.cx << " x " << area.cy);
        CWebWnd popup;
        ASSERT_TRUE(CreateInside(popup, parent.Window(), area.cx, area.cy));
        const int w = area.cx + 10, h = area.cy + 37;
        HRGN region = CreateRectRgn(0, 0, 0, 0);
        ASSERT_NE(ERROR, GetWindowRgn(popup.Window(), region));
        // Corners are copied 1:1 from the artwork's corners.
        int mismatches = 0;
        for (int dy = 0; dy < 32; ++dy) {
            for (int dx = 0; dx < 32; ++dx) {
                const int sx[] = {dx, skinWidth - 32 + dx};
                const int sy[] = {dy, skinHeight - 32 + dy};
                const int wx[] = {dx, w - 32 + dx};
                const int wy[] = {dy, h - 32 + dy};
                for (int cx = 0; cx < 2; ++cx)
                    for (int cy = 0; cy < 2; ++cy)
                        mismatches += (PtInRegion(region, wx[cx], wy[cy]) != FALSE) !=
                                      (skin[sy[cy] * skinWidth + sx[cx]] != kMagenta);
            }
        }
        EXPECT_EQ(0, mismatches);
        EXPECT_FALSE(PtInRegion(region, 0, 0));
        EXPECT_FALSE(PtInRegion(region, w - 1, h - 1));
        EXPECT_TRUE(PtInRegion(region, w / 2, 0));
        EXPECT_TRUE(PtInRegion(region, 0, h / 2));
        EXPECT_TRUE(PtInRegion(region, w - 1, h / 2));
        EXPECT_TRUE(PtInRegion(region, w / 2, h - 1));
        EXPECT_FALSE(PtInRegion(region, w, h / 2));
        DeleteObject(region);
        popup.Destroy();
    }
}

// Mouse -----------------------------------------------------------------

TEST_F(CWebWndTest, ButtonPressedAndReleasedElsewhereDoesNotClose) {
    CTestParent parent(700, 500);
    CWebWnd popup;
    ASSERT_TRUE(CreateInside(popup, parent.Window(), 400, 300));
    const HWND w = popup.Window();
    const RECT button = popup.ButtonRect();
    EXPECT_EQ(410 - 27 - 8, button.left);
    EXPECT_EQ(5, button.top);
    EXPECT_EQ(27, button.right - button.left);
    EXPECT_EQ(28, button.bottom - button.top);
    const int bx = button.left + 10, by = button.top + 10;

    SendMessageW(w, WM_MOUSEMOVE, 0, At(bx, by));
    EXPECT_EQ(CWebWnd::ButtonHover, popup.ButtonState());
    SendMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, At(bx, by));
    EXPECT_EQ(CWebWnd::ButtonPressed, popup.ButtonState());
    SendMessageW(w, WM_MOUSEMOVE, MK_LBUTTON, At(bx, by + 1));
    EXPECT_EQ(CWebWnd::ButtonPressed, popup.ButtonState()) << "moving on the button keeps it pressed";
    SendMessageW(w, WM_MOUSEMOVE, MK_LBUTTON, At(100, 100));
    EXPECT_EQ(CWebWnd::ButtonNormal, popup.ButtonState());
    SendMessageW(w, WM_LBUTTONUP, 0, At(100, 100));
    EXPECT_EQ(CWebWnd::ButtonNormal, popup.ButtonState());
    PumpFor(200);
    EXPECT_TRUE(IsWindow(w));
    EXPECT_EQ(0xdeadbeefu, TakeQuitCode());

    // Losing the capture returns a hovered button to normal.
    SendMessageW(w, WM_MOUSEMOVE, 0, At(bx, by));
    EXPECT_EQ(CWebWnd::ButtonHover, popup.ButtonState());
    SendMessageW(w, WM_CAPTURECHANGED, 0, 0);
    EXPECT_EQ(CWebWnd::ButtonNormal, popup.ButtonState());
    popup.Destroy();
}

TEST_F(CWebWndTest, ReleaseOverTheButtonClosesTheWindowWithCodeOne) {
    CTestParent parent(700, 500);
    CWebWnd popup;
    ASSERT_TRUE(CreateInside(popup, parent.Window(), 400, 300));
    const HWND w = popup.Window();
    const RECT button = popup.ButtonRect();
    // Pressed below the caption line (no drag), released over the button.
    SendMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, At(50, 100));
    EXPECT_EQ(CWebWnd::ButtonNormal, popup.ButtonState());
    SendMessageW(w, WM_LBUTTONUP, 0, At(button.right - 1, button.bottom - 1));
    EXPECT_EQ(CWebWnd::ButtonHover, popup.ButtonState());
    EXPECT_TRUE(PumpUntil([w] { return !IsWindow(w); }, 5000));
    EXPECT_EQ(1u, TakeQuitCode());
    popup.Destroy();
}

// Painting ----------------------------------------------------------------

int CountBright(const std::vector<DWORD>& pixels, int width, int x0, int x1, int y0, int y1) {
    int count = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const DWORD p = pixels[y * width + x];
            count += ((p >> 16) & 0xFF) > 200 && ((p >> 8) & 0xFF) > 200 && (p & 0xFF) > 200;
        }
    return count;
}

// Rightmost column with bright caption text left of `limit`.
int RightmostText(const std::vector<DWORD>& pixels, int width, int limit) {
    for (int x = limit - 1; x >= 8; --x)
        if (CountBright(pixels, width, x, x + 1, 0, 32)) return x;
    return -1;
}

TEST_F(CWebWndTest, PaintedWindowShowsFrameButtonStatesAndCaption) {
    // A shown top-level pop-up: only such windows can be read back.
    const std::wstring longTitle =
        L"WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW";
    CWebWnd popup;
    ASSERT_TRUE(popup.Create(GetModuleHandleW(nullptr),
                             (L"Vistrel.exe http://a.test/ 400 300 " + longTitle).c_str()));
    const HWND w = popup.Window();
    const int width = 410, height = 337;

    int skinWidth = 0, skinHeight = 0;
    const std::vector<DWORD> skin = ResourcePixels(IDB_VISTREL_FRAME, &skinWidth, &skinHeight);
    int stripWidth = 0, stripHeight = 0;
    const std::vector<DWORD> strip = ResourcePixels(IDB_VISTREL_CLOSE, &stripWidth, &stripHeight);
    const RECT button = popup.ButtonRect();
    const int bw = stripWidth / 5;

    const struct {
        int state;
        UINT message;
        LPARAM at;
    } states[] = {
        {CWebWnd::ButtonNormal, WM_MOUSEMOVE, At(100, 100)},
        {CWebWnd::ButtonHover, WM_MOUSEMOVE, At(button.left + 3, button.top + 3)},
        {CWebWnd::ButtonPressed, WM_LBUTTONDOWN, At(button.left + 3, button.top + 3)},
    };
    for (const auto& s : states) {
        SCOPED_TRACE(testing::Message() << "button state " << s.state);
        SendMessageW(w, s.message, 0, s.at);
        ASSERT_EQ(s.state, popup.ButtonState());
        const std::vector<DWORD> pixels = CaptureClient(w, width, height);
        int mismatches = 0, compared = 0;
        for (int y = 0; y < stripHeight; ++y)
            for (int x = 0; x < bw; ++x) {
                const DWORD expected = strip[y * stripWidth + s.state * bw + x];
                if (expected == kMagenta) continue;
                ++compared;
                mismatches += pixels[(button.top + y) * width + button.left + x] != expected;
            }
        EXPECT_LT(100, compared);
        EXPECT_EQ(0, mismatches) << "the button does not show strip frame " << s.state;
        // The frame around the browser area: corner, edges and stretched middle.
        const struct {
            int x, y, sx, sy;
        } frame[] = {{4, 20, 4, 20},
                     {2, height / 2, 2, 64},
                     {width - 2, height / 2, skinWidth - 2, 64},
                     {width / 2, height - 2, 64, skinHeight - 2},
                     {width - 12, height - 3, skinWidth - 12, skinHeight - 3}};
        for (const auto& f : frame)
            EXPECT_EQ(skin[f.sy * skinWidth + f.sx], pixels[f.y * width + f.x])
                << "at " << f.x << ", " << f.y;
    }
    SendMessageW(w, WM_LBUTTONUP, 0, At(100, 100));

    // A caption too long for the line ends in an ellipsis before the button:
    // only low dots in the last columns of the text.
    // A window of the test before may still be on the display for a moment
    // after it was destroyed (slow without a window manager): look again, for
    // a bounded time, until the caption shows as it should.
    std::vector<DWORD> pixels;
    const int textEnd = button.left - 8;
    int right = 0;
    PumpUntil(
        [&] {
            pixels = CaptureClient(w, width, height);
            right = RightmostText(pixels, width, textEnd);
            return right > textEnd - 30 && CountBright(pixels, width, right - 10, right + 1, 0, 15) == 0;
        },
        5000);
    ASSERT_GT(right, textEnd - 30) << "the caption does not reach the button";
    EXPECT_GT(CountBright(pixels, width, right - 10, right + 1, 17, 32), 0);
    EXPECT_EQ(0, CountBright(pixels, width, right - 10, right + 1, 0, 15)) << "no ellipsis at the end";
    EXPECT_EQ(0, CountBright(pixels, width, textEnd, button.left, 0, 32))
        << "the caption runs into the button";

    FakeBrowserLog().documentTitle = L"W&W";
    FireDocumentComplete(L"http://a.test/", true);
    EXPECT_EQ(longTitle + L" ——W&W", popup.Caption());
    popup.Destroy();

    // A short caption is drawn whole, ampersand and all (no mnemonic).
    CWebWnd shortOne;
    ASSERT_TRUE(shortOne.Create(GetModuleHandleW(nullptr), L"Vistrel.exe http://a.test/ 400 300 W&W"));
    pixels = CaptureClient(shortOne.Window(), width, height);
    right = RightmostText(pixels, width, textEnd);
    ASSERT_GT(right, 8);
    EXPECT_LT(right, 60) << "a short caption should end early";
    EXPECT_GT(CountBright(pixels, width, right - 6, right + 1, 0, 15), 0) << "the last W is missing";
    shortOne.Destroy();
}

}  // namespace
