#include "update_run.h"

#include <cstring>

#include <gtest/gtest.h>

#include "kit_test.h"

namespace update_test {

namespace {

template <typename T>
T ReadAt(const std::vector<uint8_t>& bytes, size_t offset) {
    T value = {};
    if (bytes.size() >= offset + sizeof(T)) std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

const wchar_t kLobbyClass[] = L"kit_update_test_lobby";

}  // namespace

uint16_t tagLobbyEvent::Size() const {
    return ReadAt<uint16_t>(bytes, 0);
}
uint16_t tagLobbyEvent::Mark() const {
    return ReadAt<uint16_t>(bytes, 2);
}
uint32_t tagLobbyEvent::Reserved() const {
    return ReadAt<uint32_t>(bytes, 4);
}
uint32_t tagLobbyEvent::Kind() const {
    return ReadAt<uint32_t>(bytes, 8);
}

std::vector<uint8_t> tagLobbyEvent::Payload() const {
    if (bytes.size() < 12) return {};
    return std::vector<uint8_t>(bytes.begin() + 12, bytes.end());
}

std::wstring tagLobbyEvent::StatusText() const {
    const std::vector<uint8_t> payload = Payload();
    std::wstring text(payload.size() / 2, L'\0');
    if (!text.empty()) std::memcpy(&text[0], payload.data(), text.size() * 2);
    return text;
}

CLobbyWindow::CLobbyWindow(bool accept) : accept_(accept) {
    static const ATOM registered = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &CLobbyWindow::Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kLobbyClass;
        return RegisterClassW(&wc);
    }();
    (void)registered;
    hwnd_ = CreateWindowExW(0, kLobbyClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr),
                             this);
}

CLobbyWindow::~CLobbyWindow() {
    if (hwnd_) DestroyWindow(hwnd_);
}

LRESULT CALLBACK CLobbyWindow::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        SetWindowLongPtrW(
            hwnd, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    }
    auto* self = reinterpret_cast<CLobbyWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg != WM_COPYDATA || !self) return DefWindowProcW(hwnd, msg, wParam, lParam);
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    tagLobbyEvent event;
    event.sender = reinterpret_cast<HWND>(wParam);
    event.tick = GetTickCount();
    event.tag = data->dwData;
    event.hasData = data->lpData != nullptr;
    if (data->lpData) {
        const auto* begin = static_cast<const uint8_t*>(data->lpData);
        event.bytes.assign(begin, begin + data->cbData);
    }
    self->events_.push_back(event);
    return event.hasData ? 0 : (self->accept_ ? 1 : 0);
}

std::vector<uint32_t> CLobbyWindow::Kinds() const {
    std::vector<uint32_t> kinds;
    for (const auto& e : events_)
        if (e.hasData) kinds.push_back(e.Kind());
    return kinds;
}

std::vector<std::wstring> CLobbyWindow::Statuses() const {
    std::vector<std::wstring> texts;
    for (const auto& e : events_)
        if (e.hasData && e.Kind() == 0) texts.push_back(e.StatusText());
    return texts;
}

std::vector<tagProgress> CLobbyWindow::Progress() const {
    std::vector<tagProgress> reports;
    for (const auto& e : events_) {
        if (!e.hasData || e.Kind() != 3) continue;
        const std::vector<uint8_t> p = e.Payload();
        tagProgress r = {ReadAt<uint64_t>(p, 0), ReadAt<uint64_t>(p, 8), ReadAt<double>(p, 16),
                         ReadAt<uint32_t>(p, 24), e.tick};
        reports.push_back(r);
    }
    return reports;
}

bool CLobbyWindow::Has(uint32_t kind) const {
    for (uint32_t k : Kinds())
        if (k == kind) return true;
    return false;
}

CUpdateProcess::~CUpdateProcess() {
    if (process_) {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 999);
            WaitForSingleObject(process_, 10000);
        }
        CloseHandle(process_);
    }
    if (pipe_) CloseHandle(pipe_);
}

bool CUpdateProcess::Start(const std::wstring& arguments, const std::wstring& directory,
                           const std::string& serverHost, const std::wstring& programName) {
    SetEnvironmentVariableW(L"KIT_UPDATE_SERVER", std::wstring(serverHost.begin(), serverHost.end()).c_str());
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&pipe_, &writeEnd, &inherit, 1 << 16)) return false;
    SetHandleInformation(pipe_, HANDLE_FLAG_INHERIT, 0);
    const std::wstring program = kit_test::ProgramDir() + L"\\" + programName;
    std::wstring command = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    const BOOL started = CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        directory.empty() ? nullptr : directory.c_str(), &startup, &info);
    CloseHandle(writeEnd);
    if (!started) return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    return true;
}

void CUpdateProcess::ReadOutput() {
    DWORD available = 0;
    while (pipe_ && PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD got = 0;
        if (!::ReadFile(pipe_, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &got,
                        nullptr) ||
            got == 0)
            return;
        output_.append(buffer, got);
    }
}

bool CUpdateProcess::Running() {
    ReadOutput();
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool CUpdateProcess::Wait(DWORD ms) {
    if (!process_) return false;
    const bool ended = PumpUntil([this] { return !Running(); }, ms);
    if (!ended) {
        TerminateProcess(process_, 999);
        WaitForSingleObject(process_, 10000);
    }
    PumpFor(50);  // messages sent just before the end
    ReadOutput();
    GetExitCodeProcess(process_, &exitCode_);
    return ended;
}

std::wstring LobbyArguments(unsigned game, HWND lobby, DWORD pid) {
    return std::to_wstring(game) + L" " + std::to_wstring(reinterpret_cast<uintptr_t>(lobby)) + L" " +
           std::to_wstring(pid);
}

std::string To936(const std::wstring& text) {
    return kit_test::Encode(936, text);
}

std::string Lines936(const std::vector<std::wstring>& texts) {
    std::string out;
    for (const auto& t : texts) out += To936(t) + "\r\n";
    return out;
}

std::wstring From936(const std::string& bytes) {
    return kit_test::Decode(936, bytes);
}

void WriteFile(const std::wstring& path, const std::string& text) {
    for (size_t i = 3; i < path.size(); ++i)
        if (path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    kit_test::WriteFileBytes(path, text);
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace update_test
