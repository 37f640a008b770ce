#include "test_support.h"

#include <cstring>

#include "kit_test.h"

namespace webpopup_test {

namespace {

UINT_PTR g_quitCode = 0xdeadbeef;

void RecordQuit(WPARAM code) {
    g_quitCode = code;
}

}  // namespace

// The pop-up's tests read the quit code its window posts while being
// destroyed: the queue is drained whole, as far as it goes, before returning.
bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
    const bool reached = kit_test::PumpUntil(done, ms, RecordQuit);
    kit_test::PumpFor(0, RecordQuit);
    return reached;
}

void PumpFor(DWORD ms) {
    kit_test::PumpFor(ms, RecordQuit);
}

UINT_PTR TakeQuitCode() {
    const UINT_PTR code = g_quitCode;
    g_quitCode = 0xdeadbeef;
    return code;
}

CChildProcess::~CChildProcess() {
    Kill();
    if (output_) CloseHandle(output_);
}

bool CChildProcess::Start(const std::wstring& program, const std::wstring& args, bool captureOutput) {
    std::wstring commandLine = L"\"" + program + L"\"" + (args.empty() ? L"" : L" " + args);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    HANDLE writeEnd = nullptr;
    if (captureOutput) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        if (!CreatePipe(&output_, &writeEnd, &inherit, 0)) return false;
        SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION info = {};
    const BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, captureOutput, 0,
                                        nullptr, nullptr, &startup, &info);
    if (writeEnd) CloseHandle(writeEnd);
    if (!started) return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    id_ = info.dwProcessId;
    return true;
}

DWORD CChildProcess::WaitForExit(DWORD ms) {
    if (!process_) return 0xdeadbeef;
    PumpUntil([this] { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }, ms);
    DWORD code = 0xdeadbeef;
    GetExitCodeProcess(process_, &code);
    return code;
}

bool CChildProcess::ReadLine(std::string* line, DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            *line = pending_.substr(0, end);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            pending_.erase(0, end + 1);
            return true;
        }
        DWORD available = 0;
        if (!output_ || !PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available) {
            char buffer[512];
            DWORD read = 0;
            if (!ReadFile(output_, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &read,
                          nullptr))
                return false;
            pending_.append(buffer, read);
            continue;
        }
        if (GetTickCount() - start >= ms) return false;
        PumpFor(20);
    }
}

void CChildProcess::Kill() {
    if (!process_) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 99);
        WaitForSingleObject(process_, 10000);
    }
    CloseHandle(process_);
    process_ = nullptr;
}

std::wstring VistrelPath() {
    return kit_test::ProgramDir() + L"\\Vistrel.exe";
}
std::wstring PopupParentPath() {
    return kit_test::ProgramDir() + L"\\popupparent.exe";
}

HWND WaitForPopup(DWORD ms) {
    HWND found = nullptr;
    // Shown only once the window is wired to its object and fully set up.
    PumpUntil(
        [&found] {
            found = FindWindowW(kVistrelClassName, nullptr);
            return found && IsWindowVisible(found);
        },
        ms);
    return found;
}

CTestParent::CTestParent(int clientWidth, int clientHeight) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &CTestParent::WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"WebPopupTestParent";
    RegisterClassW(&windowClass);
    RECT frame = {0, 0, clientWidth, clientHeight};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    // Hidden: destroying a shown top-level window without a window manager
    // is slow, and the pop-up does not need its parent to be visible.
    window_ = CreateWindowExW(0, windowClass.lpszClassName, L"parent", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                              0, 0, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                              windowClass.hInstance, nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

CTestParent::~CTestParent() {
    Destroy();
}

void CTestParent::Destroy() {
    if (window_) DestroyWindow(window_);
    window_ = nullptr;
}

LRESULT CALLBACK CTestParent::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CTestParent*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self || message != WM_POPUP_NAVIGATE) return DefWindowProcW(window, message, wParam, lParam);
    tagReceivedBlock block = {wParam, lParam, {}};
    wchar_t name[64];
    swprintf(name, 64, kNotifyNameFormat, static_cast<unsigned>(lParam));
    if (HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name)) {
        if (const BYTE* view = static_cast<const BYTE*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0))) {
            DWORD size = 0;
            std::memcpy(&size, view, 4);
            MEMORY_BASIC_INFORMATION region = {};
            VirtualQuery(view, &region, sizeof(region));
            if (size <= region.RegionSize) block.bytes.assign(view, view + size);
            UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
    }
    self->blocks_.push_back(std::move(block));
    return self->answer_;
}

std::vector<BYTE> ExpectedBlock(const std::wstring& url, const std::vector<BYTE>& post) {
    const DWORD size = static_cast<DWORD>(4 + 2 * url.size() + 2 + post.size());
    std::vector<BYTE> bytes(size, 0);
    std::memcpy(bytes.data(), &size, 4);
    std::memcpy(bytes.data() + 4, url.data(), 2 * url.size());
    if (!post.empty()) std::memcpy(bytes.data() + 6 + 2 * url.size(), post.data(), post.size());
    return bytes;
}

BITMAPINFO TopDownDib32(int width, int height) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

namespace {

std::vector<DWORD> ReadBitmap(HDC source, int x, int y, int width, int height) {
    BITMAPINFO info = TopDownDib32(width, height);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(source);
    HGDIOBJ old = SelectObject(memory, dib);
    BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
    GdiFlush();
    std::vector<DWORD> pixels(static_cast<const DWORD*>(bits),
                              static_cast<const DWORD*>(bits) + width * height);
    for (DWORD& p : pixels) p &= 0xFFFFFF;
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(dib);
    return pixels;
}

}  // namespace

std::vector<DWORD> CaptureClient(HWND window, int width, int height) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    HDC dc = GetDC(window);
    std::vector<DWORD> pixels = ReadBitmap(dc, 0, 0, width, height);
    ReleaseDC(window, dc);
    return pixels;
}

std::vector<DWORD> ResourcePixels(int id, int* width, int* height) {
    HBITMAP bitmap = LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id));
    BITMAP size = {};
    GetObjectW(bitmap, sizeof(size), &size);
    *width = size.bmWidth;
    *height = size.bmHeight;
    HDC memory = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(memory, bitmap);
    std::vector<DWORD> pixels = ReadBitmap(memory, 0, 0, size.bmWidth, size.bmHeight);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(bitmap);
    return pixels;
}

}  // namespace webpopup_test
