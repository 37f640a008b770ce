// SampleLobby.exe [--refuse] [--stay] [--repair] [--game N] [--update PATH] [--dir DIR]
//
// Starts the updater as "<update> <game> <window> <pid>" in DIR (with
// "repair" after them for --repair: check every file, fetch what is missing
// or differs, then update), answers its
// link request (or refuses it with --refuse), prints every lobby message it
// receives and every line the updater writes, in UTF-8, and shows the status,
// a progress bar and the speed and time left in a small window. It exits when
// asked to close (unless --stay) or when the updater ends, with the updater's
// exit code.
#include <windows.h>

#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "LobbyMessage.h"
#include "base/UniqueHandle.h"

namespace {

struct tagOptions {
    bool refuse = false;
    bool stay = false;
    bool repair = false;
    unsigned game = 1;
    std::wstring update;
    std::wstring dir;
};

tagOptions g_options;
HWND g_updater = nullptr;  // the linked updater window
bool g_closeRequested = false;

// The window's controls, children of the lobby window (which owns them).
struct tagLobbyControls {
    HWND status = nullptr;
    HWND bar = nullptr;
    HWND rate = nullptr;
};
tagLobbyControls g_controls;

// The bar's range: byte counts exceed what a progress bar holds.
constexpr int kBarSteps = 1000;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr,
                        nullptr);
    return out;
}

std::wstring FromAnsi(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

void Print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void CreateControls(HWND window) {
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    const auto font = reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT));
    g_controls.status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 12, 12, 396, 20, window,
                                        nullptr, instance, nullptr);
    g_controls.bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 12, 38, 396, 20, window,
                                     nullptr, instance, nullptr);
    g_controls.rate = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 12, 64, 396, 20, window, nullptr,
                                      instance, nullptr);
    SendMessageW(g_controls.status, WM_SETFONT, font, FALSE);
    SendMessageW(g_controls.rate, WM_SETFONT, font, FALSE);
    SendMessageW(g_controls.bar, PBM_SETRANGE32, 0, kBarSteps);
}

// The periodic reports give KB/s; the one at the end of each download gives
// bytes per second, shown until the next periodic one as the updater sends it.
void ShowProgress(const ProgressReport& report) {
    const int position = report.total ? static_cast<int>(report.done * kBarSteps / report.total) : 0;
    SendMessageW(g_controls.bar, PBM_SETPOS, position, 0);
    wchar_t text[128];
    std::swprintf(text, 128, L"%.1f KB/s, %u s left (%u of %u KB)", report.speed,
                  static_cast<unsigned>(report.secondsLeft), static_cast<unsigned>(report.done / 1024),
                  static_cast<unsigned>(report.total / 1024));
    SetWindowTextW(g_controls.rate, text);
}

void PrintMessage(const uint8_t* data, DWORD size) {
    LobbyMessage message;
    if (size < kLobbyHeaderSize || size > sizeof(message)) {
        Print("[lobby] malformed message of " + std::to_string(size) + " bytes");
        return;
    }
    std::memcpy(&message, data, size);
    const uint32_t payload = size - kLobbyHeaderSize;
    char line[512];
    switch (message.kind) {
        case KindStatus: {
            std::wstring text(payload / 2, L'\0');
            std::memcpy(&text[0], message.payload, text.size() * 2);
            Print("[lobby] status: " + Utf8(text));
            SetWindowTextW(g_controls.status, text.c_str());
            break;
        }
        case KindCheckStarted:
            Print("[lobby] update check started");
            break;
        case KindFinished:
            Print(std::string("[lobby] finished: ") +
                  (payload >= 1 && message.payload[0] ? "completed" : "not completed"));
            break;
        case KindProgress: {
            ProgressReport report = {};
            std::memcpy(&report, message.payload, payload < sizeof(report) ? payload : sizeof(report));
            std::snprintf(line, sizeof(line),
                          "[lobby] progress: %" PRIu64 " of %" PRIu64 " bytes, speed %.1f, %u s left",
                          report.done, report.total, report.speed, static_cast<unsigned>(report.secondsLeft));
            Print(line);
            ShowProgress(report);
            break;
        }
        case KindCloseLobby:
            Print(g_options.stay ? "[lobby] asked to close; staying (--stay)"
                                 : "[lobby] asked to close; exiting");
            if (!g_options.stay) g_closeRequested = true;
            break;
        default:
            std::snprintf(line, sizeof(line), "[lobby] message of unknown kind %u",
                          static_cast<unsigned>(message.kind));
            Print(line);
    }
}

LRESULT CALLBACK LobbyWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_COPYDATA) return DefWindowProcW(hwnd, msg, wParam, lParam);
    const HWND sender = reinterpret_cast<HWND>(wParam);
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (!data) return 0;
    if (!data->lpData) {
        if (sender == g_updater) {
            Print("[lobby] the updater ended the link");
            g_updater = nullptr;
            return 1;
        }
        if (g_updater || g_options.refuse) {
            Print("[lobby] link request refused");
            return 0;
        }
        Print("[lobby] link request accepted");
        g_updater = sender;
        return 1;
    }
    if (sender == g_updater) PrintMessage(static_cast<const uint8_t*>(data->lpData), data->cbData);
    return 0;
}

bool ParseOptions(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--refuse") {
            g_options.refuse = true;
        } else if (arg == L"--stay") {
            g_options.stay = true;
        } else if (arg == L"--repair") {
            g_options.repair = true;
        } else if (arg == L"--game" && hasValue) {
            g_options.game = static_cast<unsigned>(_wtoi(argv[++i]));
        } else if (arg == L"--update" && hasValue) {
            g_options.update = argv[++i];
        } else if (arg == L"--dir" && hasValue) {
            g_options.dir = argv[++i];
        } else {
            return false;
        }
    }
    if (g_options.update.empty()) {
        wchar_t self[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path(self, length);
        g_options.update = path.substr(0, path.find_last_of(L"\\/") + 1) + L"Update.exe";
    }
    return true;
}

// Prints the complete lines the updater wrote so far (its ANSI code page),
// and with `flush` also an unterminated rest.
void PumpUpdaterOutput(HANDLE pipe, std::string& pending, bool flush) {
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &got, nullptr) ||
            got == 0) {
            break;
        }
        pending.append(buffer, got);
    }
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Print("[Update.exe] " + Utf8(FromAnsi(line)));
        pending.erase(0, end + 1);
    }
    if (flush && !pending.empty()) {
        Print("[Update.exe] " + Utf8(FromAnsi(pending)));
        pending.clear();
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (!ParseOptions(argc, argv)) {
        Print("usage: SampleLobby.exe [--refuse] [--stay] [--repair] [--game N] [--update PATH] [--dir DIR]");
        return 2;
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = LobbyWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"SampleLobbyWnd";
    RegisterClassW(&wc);
    const kit::CWindowHandle lobby(CreateWindowExW(0, wc.lpszClassName, L"Sample lobby - game update",
                                                   WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE, 40, 40, 430, 130,
                                                   nullptr, nullptr, wc.hInstance, nullptr));
    if (!lobby) {
        Print("cannot create the lobby window");
        return 2;
    }
    const HWND window = lobby.Get();
    CreateControls(window);

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    kit::CKernelHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.Put(), writeEnd.Put(), &inherit, 0)) return 2;
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring command = L"\"" + g_options.update + L"\" " + std::to_wstring(g_options.game) + L" " +
                           std::to_wstring(reinterpret_cast<uintptr_t>(window)) + L" " +
                           std::to_wstring(GetCurrentProcessId()) + (g_options.repair ? L" repair" : L"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.Get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    Print("[lobby] starting " + Utf8(command));
    if (!CreateProcessW(g_options.update.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                        g_options.dir.empty() ? nullptr : g_options.dir.c_str(), &startup, &process)) {
        Print("[lobby] cannot start the updater");
        return 2;
    }
    const kit::CKernelHandle updater(process.hProcess), updaterThread(process.hThread);
    writeEnd.Reset();  // the updater holds the only write end now

    std::string pending;
    const HANDLE waitFor[] = {updater.Get()};
    for (;;) {
        const DWORD wait = MsgWaitForMultipleObjects(1, waitFor, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        PumpUpdaterOutput(readEnd.Get(), pending, false);
        if (g_closeRequested) return 0;
        if (wait == WAIT_OBJECT_0) break;
    }
    PumpUpdaterOutput(readEnd.Get(), pending, true);
    DWORD code = 0;
    GetExitCodeProcess(updater.Get(), &code);
    Print("[lobby] Update.exe exited with code " + std::to_string(code));
    return static_cast<int>(code);
}
