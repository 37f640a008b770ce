#include "Update.h"

#include <shellapi.h>
#include <winsock2.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ManifestEnd.h"
#include "Progress.h"
#include "StringHelpers.h"
#include "VersionStore.h"

using _ServerEngine::CXMLConfig;

namespace {

enum ManifestOp { OpDownload = 0, OpDelete = 1, OpMove = 2, OpCloseLobby = 3, OpRun = 4 };

const uint32_t kMaxStatusUnits = 4090;
const DWORD kLobbyExitWaitMs = 10000;

// Process-wide: the periodic progress reports of every download share it.
CProgressThrottle g_progressThrottle;

typedef BOOL(WINAPI* ChangeWindowMessageFilterFn)(UINT message, DWORD flag);

// Lets a lobby with lower integrity reach us; absent before Vista.
void AllowMessageFromLowerIntegrity(UINT message) {
    HMODULE user32 = LoadLibraryW(L"user32.dll");
    if (!user32) return;
    auto filter = reinterpret_cast<ChangeWindowMessageFilterFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "ChangeWindowMessageFilter")));
    if (filter) filter(message, 1 /* MSGFLT_ADD */);
    FreeLibrary(user32);
}

std::wstring Attribute(ManifestItem item, const wchar_t* name) {
    const wchar_t* value = item->GetAttribute(name, L"");
    return value ? value : L"";
}

uint64_t VersionAttribute(CXMLConfig* node) {
    return ParseVersion(node->GetAttribute(L"version", nullptr));
}

// "size" is a signed 32-bit count, widened with its sign.
uint64_t SizeAttribute(ManifestItem item) {
    return static_cast<uint64_t>(static_cast<int64_t>(item->GetAttributeInt(L"size")));
}

}  // namespace

CUpdate::CUpdate() : manifest_(L"", nullptr, 0) {
    AllowMessageFromLowerIntegrity(WM_COPYDATA);
    AllowMessageFromLowerIntegrity(0x0049);  // WM_COPYGLOBALDATA
}

CUpdate::~CUpdate() = default;

int CUpdate::Run() {
    MSG probe;
    PeekMessageW(&probe, nullptr, 0, 0, PM_NOREMOVE);  // makes the thread's queue exist
    MSG msg = {};
    if (Start()) {
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    Shutdown();
    return static_cast<int>(msg.wParam);
}

bool CUpdate::Start() {
    if (!Create()) return false;
    if (!ReadCommandLine()) return false;
    WSADATA wsaData;
    if (WSAStartup(0x0202, &wsaData) != 0) {
        ShowStatus(L"初始化网络失败！");
        return false;
    }
    client_.reset(new (std::nothrow) CHttpClientSocket(this));
    if (!client_) {
        ShowStatus(L"创建网络连接对象失败！");
        return false;
    }
    if (!client_->Request(nullptr, 0, url_, L"", L"", false)) {
        ShowStatus(L"启动下载失败，无法执行更新！");
        return false;
    }
    ShowStatus(L"正在检查更新......");
    SendToLobby(nullptr, KindCheckStarted, 0);
    return true;
}

bool CUpdate::ReadCommandLine() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args && count == 4) {
        const HWND lobby = reinterpret_cast<HWND>(static_cast<intptr_t>(_wtoi(args[2])));
        if (!Connect(lobby)) {
            LocalFree(args);
            return false;
        }
        lobbyProcess_ = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(_wtoi(args[3])));
        if (!lobbyProcess_) {
            ShowStatus(L"更新程序权限不够!");
            ExitProcess(1);
        }
        gameId_ = static_cast<uint32_t>(_wtoi(args[1]));
        currentVersion_ = ReadInstalledVersion(gameId_);
    }
    if (args) LocalFree(args);
    wchar_t url[1024];
    std::swprintf(url, 1024, L"http://%ls/update/?id=%u&v=%" PRIu64, UpdateServerHost(),
                  static_cast<unsigned>(gameId_), currentVersion_);
    url_ = url;
    return true;
}

void CUpdate::Shutdown() {
    if (client_) {
        client_->Close();
        client_.reset();
    }
    const uint8_t completed = completed_ ? 1 : 0;
    SendToLobby(&completed, KindFinished, 1);
    if (lobbyProcess_) {
        CloseHandle(lobbyProcess_);
        lobbyProcess_ = nullptr;
    }
}

void CUpdate::SendToLobby(const void* payload, LobbyMessageKind kind, uint32_t length) {
    if (!connected_ || !hPeer_) return;
    if (length > kLobbyMaxPayload) length = kLobbyMaxPayload;
    LobbyMessage message;
    message.size = static_cast<uint16_t>(kLobbyHeaderSize + length);
    message.mark = kLobbyMessageMark;
    message.reserved = 0;
    message.kind = kind;
    if (length) std::memcpy(message.payload, payload, length);
    COPYDATASTRUCT data = {tag_, message.size, &message};
    SendMessageW(hPeer_, WM_COPYDATA, reinterpret_cast<WPARAM>(hWnd_), reinterpret_cast<LPARAM>(&data));
}

void CUpdate::ShowStatus(const std::wstring& text) {
    const std::string line = _ServerEngine::ToNarrow(text);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    const uint32_t units =
        text.size() < kMaxStatusUnits ? static_cast<uint32_t>(text.size()) : kMaxStatusUnits;
    SendToLobby(text.data(), KindStatus, units * sizeof(wchar_t));
}

void CUpdate::Fail(const wchar_t* text) {
    ShowStatus(text);
    PostQuitMessage(0);
}

void CUpdate::OnTimer() {
    CConnectPeer::OnTimer();
    if (lobbyProcess_ && WaitForSingleObject(lobbyProcess_, 0) != WAIT_TIMEOUT) {
        PostQuitMessage(0);
        CloseHandle(lobbyProcess_);
        lobbyProcess_ = nullptr;
    }
}

void CUpdate::CloseLobby() {
    if (!lobbyProcess_) return;
    SendToLobby(nullptr, KindCloseLobby, 0);
    Close();
    if (WaitForSingleObject(lobbyProcess_, kLobbyExitWaitMs) == WAIT_TIMEOUT) {
        ShowStatus(L"更新程序需要关闭游戏大厅才能继续，请先关闭大厅然后再重试!");
        ExitProcess(1);
    }
    CloseHandle(lobbyProcess_);
    lobbyProcess_ = nullptr;
    Sleep(100);
}

void CUpdate::OnHttpHeader(CHttpClientSocket*, uint64_t) {}

void CUpdate::OnHttpComplete(CHttpClientSocket* client) {
    if (!client->savePath.empty()) {
        OnDownloadComplete(client);
    } else if (!HandleManifest()) {
        PostQuitMessage(1);
    }
}

void CUpdate::OnHttpError(CHttpClientSocket* client, const wchar_t*) {
    Fail(client->savePath.empty() ? L"更新列表失败!" : L"更新文件失败!");
}

void CUpdate::OnHttpClose(CHttpClientSocket*, int) {
    Fail(L"与更新服务器连接断开!");
}

void CUpdate::OnHttpProgress(CHttpClientSocket* client, uint64_t, uint64_t received, double bytesPerSecond) {
    if (client->savePath.empty()) return;
    const DWORD now = GetTickCount();
    if (!g_progressThrottle.Due(now)) return;
    ProgressReport report;
    report.total = totalBytes_;
    report.done = doneBytes_ + received;
    report.speed = bytesPerSecond / 1024;
    report.secondsLeft = SecondsLeft(report.total, report.done, bytesPerSecond);
    SendToLobby(&report, KindProgress, sizeof(report));
    const std::string line = FormatProgressLine(report, bytesPerSecond);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    g_progressThrottle.Mark(now);
}

bool CUpdate::HandleManifest() {
    auto& body = client_->body;
    CXMLConfig* update = nullptr;
    if (!body.empty() && UpdateElementClosed(body.data(), body.size()) &&
        manifest_.LoadFromBuffer(reinterpret_cast<const char*>(body.data()), static_cast<unsigned>(body.size()))) {
        update = manifest_.FindNode(L"Update");
    }
    if (update) url_ = Attribute(update, L"url");
    if (!update || url_.empty()) {
        ShowStatus(L"更新检测失败！");
        return false;
    }
    manifestVersion_ = VersionAttribute(update);
    if (manifestVersion_ <= currentVersion_) {
        ShowStatus(L"当前已是最新版本！");
        return false;
    }
    ShowStatus(L"正在统计需要更新的文件...");
    // Items are chosen against the version installed before the run, so a
    // client several versions behind gets every newer item in one run.
    for (CXMLConfig* child : *update->children) {
        if (child->name != L"File" || VersionAttribute(child) <= currentVersion_) continue;
        if (child->GetAttributeInt(L"op") == OpDownload) totalBytes_ += SizeAttribute(child);
        queue_.push_back(child);
    }
    if (queue_.empty()) {
        ShowStatus(L"当前已是最新版本！");
        return false;
    }
    ProcessQueue();
    return true;
}

void CUpdate::ProcessQueue() {
    while (!queue_.empty()) {
        if (!ProcessItem(queue_.front())) return;
        queue_.pop_front();
    }
    FinishQueue();
}

bool CUpdate::ProcessItem(ManifestItem item) {
    switch (_wtoi(Attribute(item, L"op").c_str())) {
        case OpDownload: {
            const std::wstring path = Attribute(item, L"path");
            // Without a local path the body would be kept in memory and its
            // completion taken for the update check's.
            if (path.empty()) {
                Fail(L"更新失败!");
            } else if (!_ServerEngine::CreateParentDirectories(path.c_str())) {
                Fail(L"创建目录失败，请确定您有足够的权限！");
            } else if (!client_->Request(nullptr, 0, url_ + Attribute(item, L"fname"), path, L"", false)) {
                Fail(L"更新失败!");
            }
            return false;
        }
        case OpDelete:
            DeleteFileW(Attribute(item, L"path").c_str());
            return true;
        case OpMove: {
            const std::wstring destination = Attribute(item, L"des");
            if (!_ServerEngine::CreateParentDirectories(destination.c_str())) {
                Fail(L"创建目录失败，请确定您有足够的权限！");
                return false;
            }
            _wrename(Attribute(item, L"src").c_str(), destination.c_str());
            if (item->GetAttributeInt(L"RegCom") != 0) RegisterServer(destination);
            return true;
        }
        case OpCloseLobby:
            CloseLobby();
            return true;
        case OpRun:
            RunCommand(Attribute(item, L"path"), Attribute(item, L"cmd"));
            return true;
        default:
            return true;
    }
}

void CUpdate::FinishQueue() {
    ShowStatus(L"更新完成!");
    PostQuitMessage(1);
    if (manifestVersion_ != 0) WriteInstalledVersion(gameId_, manifestVersion_);
    completed_ = true;
}

void CUpdate::OnDownloadComplete(CHttpClientSocket* client) {
    if (queue_.empty()) return;
    const ManifestItem item = queue_.front();
    if (item->GetAttributeInt(L"RegCom") != 0) RegisterServer(Attribute(item, L"path"));
    doneBytes_ += SizeAttribute(item);
    queue_.pop_front();
    ProgressReport report;
    report.total = totalBytes_;
    report.done = doneBytes_;
    report.speed = client->speed;
    report.secondsLeft = SecondsLeft(report.total, report.done, client->speed);
    SendToLobby(&report, KindProgress, sizeof(report));
    ProcessQueue();
}

void RegisterServer(const std::wstring& file) {
    HMODULE library = LoadLibraryW(file.c_str());
    if (!library) return;
    typedef HRESULT(STDAPICALLTYPE * RegisterFn)();
    auto reg =
        reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(library, "DllRegisterServer")));
    if (reg) reg();
    FreeLibrary(library);
}

void RunCommand(const std::wstring& path, const std::wstring& parameters) {
    std::wstring file = path;
    if (!path.empty() && path[0] == L'.') {
        wchar_t full[1024];
        // A path whose absolute form does not fit is not started at all,
        // rather than a truncated or unrelated one.
        if (!_wfullpath(full, path.c_str(), 1024)) return;
        file = full;
    }
    ShellExecuteW(nullptr, L"open", file.c_str(), parameters.empty() ? nullptr : parameters.c_str(), nullptr,
                  SW_SHOW);
}
