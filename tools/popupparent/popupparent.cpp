// A sample parent for Vistrel.exe: opens a window, starts the pop-up inside
// it, prints every navigation the pop-up reports and cancels those whose URL
// contains one of the texts given with --cancel.
//
//   popupparent [--cancel TEXT]... [--close-after MS] [--vistrel PATH]
//               [URL [WIDTH HEIGHT [TITLE]]]
//
// Prints "started Vistrel pid N", one "navigate ..." line per report and
// "Vistrel exited with code C"; its own exit code is Vistrel's.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "base/UniqueHandle.h"

namespace {

constexpr UINT WM_POPUP_NAVIGATE = 0x21F1;
constexpr wchar_t kClassName[] = L"PopupParentWindow";
constexpr UINT_PTR kCloseTimer = 1;

std::vector<std::wstring> g_cancelRules;

void PrintLine(const std::wstring& text) {
    // Console output in the ANSI code page, like the rest of the kit's tools.
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    std::printf("%s\n", narrow.c_str());
    std::fflush(stdout);
}

// Reads the pop-up's block while the pop-up waits in SendMessage; returns
// the answer: 1 cancels the navigation.
LRESULT OnPopupNavigate(WPARAM wParam, LPARAM lParam) {
    wchar_t name[64];
    swprintf(name, 64, L"Vistrel_notify_%u", static_cast<unsigned>(lParam));
    const kit::CKernelHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, name));
    if (!mapping) {
        PrintLine(L"navigate: cannot open " + std::wstring(name));
        return 0;
    }
    const kit::CMappedView mapped(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
    const BYTE* view = static_cast<const BYTE*>(mapped.Get());
    MEMORY_BASIC_INFORMATION region = {};
    if (!view || !VirtualQuery(view, &region, sizeof(region))) {
        PrintLine(L"navigate: cannot map " + std::wstring(name));
        return 0;
    }
    DWORD size = 0;
    std::memcpy(&size, view, 4);
    std::wstring url;
    bool valid = size >= 6 && size <= region.RegionSize;
    size_t end = 4;
    if (valid) {
        // The URL ends at the first 16-bit zero; the rest is post data.
        while (end + 1 < size && (view[end] | view[end + 1]) != 0) end += 2;
        valid = end + 1 < size;
        url.assign(reinterpret_cast<const wchar_t*>(view + 4), (end - 4) / 2);
    }
    std::string post;
    if (valid) post.assign(reinterpret_cast<const char*>(view + end + 2), size - end - 2);
    if (!valid) {
        PrintLine(L"navigate: malformed block " + std::wstring(name));
        return 0;
    }

    bool cancel = false;
    for (const std::wstring& rule : g_cancelRules) cancel = cancel || url.find(rule) != std::wstring::npos;
    wchar_t line[128];
    swprintf(line, 128, L" (wParam %u, block %lu bytes, post data %u bytes) -> ",
             static_cast<unsigned>(wParam), static_cast<unsigned long>(size),
             static_cast<unsigned>(post.size()));
    PrintLine(L"navigate " + url + line + (cancel ? L"cancelled" : L"allowed"));
    return cancel ? 1 : 0;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_POPUP_NAVIGATE:
            return OnPopupNavigate(wParam, lParam);
        case WM_TIMER:
            if (wParam == kCloseTimer) DestroyWindow(window);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(window, &ps);
            RECT client;
            GetClientRect(window, &client);
            FillRect(dc, &client, reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1));
            SetBkMode(dc, TRANSPARENT);
            DrawTextW(dc, L"Sample parent: Vistrel runs inside this window", -1, &client,
                      DT_SINGLELINE | DT_BOTTOM);
            EndPaint(window, &ps);
            return 0;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::wstring Quote(const std::wstring& arg) {
    std::wstring out = L"\"";
    for (wchar_t c : arg) {
        if (c == L'"') out += L'\\';
        out += c;
    }
    return out + L"\"";
}

std::wstring DefaultVistrelPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring self(path, length);
    return self.substr(0, self.find_last_of(L"\\/") + 1) + L"Vistrel.exe";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring vistrel = DefaultVistrelPath();
    UINT closeAfter = 0;
    std::vector<std::wstring> popupArgs;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--cancel" && i + 1 < argc) {
            g_cancelRules.push_back(argv[++i]);
        } else if (arg == L"--close-after" && i + 1 < argc) {
            closeAfter = static_cast<UINT>(_wtoi(argv[++i]));
        } else if (arg == L"--vistrel" && i + 1 < argc) {
            vistrel = argv[++i];
        } else if (arg.rfind(L"--", 0) == 0) {
            std::fprintf(stderr,
                         "usage: popupparent [--cancel TEXT]... [--close-after MS] [--vistrel PATH] "
                         "[URL [WIDTH HEIGHT [TITLE]]]\n");
            return 2;
        } else {
            popupArgs.push_back(arg);
        }
    }
    const wchar_t* defaults[] = {L"about:blank", L"600", L"400", L"Vistrel"};
    for (size_t i = popupArgs.size(); i < 4; ++i) popupArgs.push_back(defaults[i]);

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);
    // Destroyed early by the --close-after timer, or by its owner at the end.
    const kit::CWindowHandle window(
        CreateWindowExW(0, kClassName, L"Popup parent", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VISIBLE,
                        40, 40, 900, 700, nullptr, nullptr, windowClass.hInstance, nullptr));
    if (!window) {
        std::fprintf(stderr, "popupparent: cannot create the window\n");
        return 2;
    }

    std::wstring commandLine = Quote(vistrel);
    for (const std::wstring& arg : popupArgs) commandLine += L" " + Quote(arg);
    commandLine += L" " + std::to_wstring(reinterpret_cast<UINT_PTR>(window.Get()));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(vistrel.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "popupparent: cannot start Vistrel (error %lu)\n", GetLastError());
        return 2;
    }
    const kit::CKernelHandle processHandle(process.hProcess);
    const kit::CKernelHandle threadHandle(process.hThread);
    PrintLine(L"started Vistrel pid " + std::to_wstring(process.dwProcessId));
    if (closeAfter) SetTimer(window.Get(), kCloseTimer, closeAfter, nullptr);

    // Handle the pop-up's messages until it ends.
    for (;;) {
        const DWORD wait = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, INFINITE, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) break;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    PrintLine(L"Vistrel exited with code " + std::to_wstring(static_cast<int>(exitCode)));
    return static_cast<int>(exitCode);
}
