// Start-up, message loop, parent watch, teardown and the parent notification.
#include "WebWnd.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "resource.h"

namespace {

// The one pop-up of the process, for the thread timer that has no window.
CWebWnd* g_webWnd = nullptr;
UINT_PTR g_parentWatch = 0;

constexpr DWORD kParentWatchMs = 500;
constexpr int kDefaultWidth = 800;
constexpr int kDefaultHeight = 600;
// The window is this much larger than the browser area on the command line.
constexpr int kExtraWidth = 2 * kBorderWidth;
constexpr int kExtraHeight = kCaptionHeight + kBorderWidth;

struct tagCommandLine {
    std::wstring url = L"about:blank";
    int width = kDefaultWidth;
    int height = kDefaultHeight;
    std::wstring title = L"Vistrel";
    HWND parent = nullptr;
};

// A later argument counts only when every earlier one is present.
tagCommandLine ParseCommandLine(const wchar_t* commandLine) {
    tagCommandLine result;
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(commandLine, &count);
    if (!args) return result;
    if (count > 1) result.url = args[1];
    if (count > 2) result.width = _wtoi(args[2]) + kExtraWidth;
    if (count > 3) result.height = _wtoi(args[3]) + kExtraHeight;
    if (count > 4) result.title = args[4];
    if (count > 5) result.parent = reinterpret_cast<HWND>(static_cast<INT_PTR>(_wtoi(args[5])));
    LocalFree(args);
    return result;
}

void StopParentWatch() {
    if (g_parentWatch) KillTimer(nullptr, g_parentWatch);
    g_parentWatch = 0;
}

}  // namespace

CWebWnd::CWebWnd() {
    g_webWnd = this;
}

CWebWnd::~CWebWnd() {
    Destroy();
    // The frame bitmap leaves its DC before either goes.
    frameSelection_.Reset();
    frameDc_.Reset();
    frameBitmap_.Reset();
    if (g_webWnd == this) g_webWnd = nullptr;
}

bool CWebWnd::Create(HINSTANCE instance) {
    return Create(instance, GetCommandLineW());
}

bool CWebWnd::Create(HINSTANCE instance, const wchar_t* commandLine) {
    if (HWND other = FindWindowW(kVistrelClassName, nullptr)) {
        FlashWindow(other, FALSE);
        return false;
    }
    buttonStrip_.Reset(LoadBitmapW(instance, MAKEINTRESOURCEW(IDB_VISTREL_CLOSE)));
    if (!buttonStrip_) return false;
    font_.Reset(CreateFontW(14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET, 0, 0,
                            ANTIALIASED_QUALITY, 0, L"宋体"));
    if (!font_) return false;

    const tagCommandLine args = ParseCommandLine(commandLine);
    url_ = args.url;
    title_ = args.title;
    caption_ = title_;
    parent_ = args.parent;
    const int width = args.width;
    const int height = args.height;

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &CWebWnd::WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_VISTREL_LARGE));
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_VISTREL_SMALL));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kVistrelClassName;
    RegisterClassExW(&windowClass);

    if (parent_) {
        if (!IsWindow(parent_)) return false;
        RECT client = {};
        GetClientRect(parent_, &client);
        window_.Reset(CreateWindowExW(
            WS_EX_APPWINDOW, kVistrelClassName, caption_.c_str(),
            WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX,
            (client.right - client.left - width) / 2, (client.bottom - client.top - height) / 2, width,
            height, parent_, nullptr, instance, nullptr));
        if (!window_) return false;
        StopParentWatch();
        g_parentWatch = SetTimer(nullptr, 0, kParentWatchMs, &CWebWnd::ParentWatchProc);
    } else {
        window_.Reset(CreateWindowExW(
            WS_EX_APPWINDOW, kVistrelClassName, caption_.c_str(),
            WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX,
            (GetSystemMetrics(SM_CXSCREEN) - width) / 2, (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width,
            height, nullptr, nullptr, instance, nullptr));
        if (!window_) return false;
    }

    HDC windowDc = GetDC(window_.Get());
    if (!windowDc) return false;
    const bool drawn = DrawFrame(windowDc, width, height);
    ReleaseDC(window_.Get(), windowDc);
    if (!drawn || !BuildRegion(width, height)) return false;

    BITMAP strip = {};
    GetObjectW(buttonStrip_.Get(), sizeof(strip), &strip);
    buttonWidth_ = strip.bmWidth / 5;
    buttonHeight_ = strip.bmHeight;
    buttonX_ = width - buttonWidth_ - 8;
    buttonY_ = 5;

    SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ShowWindow(window_.Get(), SW_SHOW);
    UpdateWindow(window_.Get());
    return CreateBrowser();
}

int CWebWnd::MessageLoop() {
    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (activeObject_ && activeObject_->TranslateAccelerator(&msg) == S_OK) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void CALLBACK CWebWnd::ParentWatchProc(HWND, UINT, UINT_PTR, DWORD) {
    if (g_webWnd && IsWindow(g_webWnd->parent_)) return;
    PostQuitMessage(-1);
    StopParentWatch();
}

void CWebWnd::Destroy() {
    StopParentWatch();
    ReleaseBrowser();
    if (window_) {
        SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, 0);
        window_.Reset();
    }
}

bool CWebWnd::NotifyParent(const wchar_t* url, const BYTE* data, DWORD size) {
    if (!parent_) return false;
    const size_t length = wcslen(url);
    // Size field, URL, terminating zero and post data must fit the 32-bit size field.
    const unsigned long long total = 6ull + 2ull * length + size;
    if (total > 0xFFFFFFFFull) return true;
    const DWORD blockSize = static_cast<DWORD>(total);

    // The name is easy to guess: an object another process made under it
    // (a smaller section, an event) is never used, only a block made here.
    const DWORD tick = GetTickCount();
    for (unsigned attempt = 0; attempt < kNotifyNameAttempts; ++attempt) {
        const DWORD number = tick + attempt;
        wchar_t name[257];
        swprintf(name, 257, kNotifyNameFormat, static_cast<unsigned>(number));
        SetLastError(ERROR_SUCCESS);
        const kit::CKernelHandle mapping(
            CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, blockSize, name));
        // Another kind of object under the name makes creation fail.
        if (!mapping || GetLastError() == ERROR_ALREADY_EXISTS) continue;
        const kit::CMappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 0));
        MEMORY_BASIC_INFORMATION region = {};
        if (!view || VirtualQuery(view.Get(), &region, sizeof(region)) != sizeof(region) ||
            region.RegionSize < blockSize) {
            return true;
        }
        BYTE* block = static_cast<BYTE*>(view.Get());
        std::memcpy(block, &blockSize, 4);
        std::memcpy(block + 4, url, 2 * (length + 1));
        if (size) std::memcpy(block + 6 + 2 * length, data, size);
        return SendMessageW(parent_, WM_POPUP_NAVIGATE, 2, static_cast<LPARAM>(number)) != 0;
    }
    return true;
}
