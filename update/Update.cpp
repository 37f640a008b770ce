#include "Update.h"

#include <shellapi.h>
#include <winsock2.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "EndState.h"
#include "FormDecoder.h"
#include "ManifestEnd.h"
#include "ManifestTrust.h"
#include "Progress.h"
#include "SpaceCheck.h"
#include "StatusText.h"
#include "StringHelpers.h"
#include "VersionStore.h"

namespace {

const uint32_t kMaxStatusUnits = 4090;
const DWORD kLobbyExitWaitMs = 10000;
// How long a run may take in all, and until its manifest is read: a run
// that hangs keeps the single-instance mutex, and with it every later run,
// no longer than this.
const DWORD kRunDeadlineMs = 6 * 60 * 60 * 1000;
const DWORD kCheckDeadlineMs = 30 * 60 * 1000;

// Process-wide: the periodic progress reports of every download share it.
CProgressThrottle g_progressThrottle;

typedef BOOL(WINAPI* ChangeWindowMessageFilterFn)(UINT message, DWORD flag);

// Lets a lobby with lower integrity reach us; absent before Vista.
void AllowMessageFromLowerIntegrity(UINT message) {
    const kit::CLibraryHandle user32(LoadLibraryW(L"user32.dll"));
    if (!user32) return;
    auto filter = reinterpret_cast<ChangeWindowMessageFilterFn>(
        reinterpret_cast<void*>(GetProcAddress(user32.Get(), "ChangeWindowMessageFilter")));
    if (filter) filter(message, 1 /* MSGFLT_ADD */);
}

std::wstring Attribute(const ManifestItem& item, const wchar_t* name) {
    const wchar_t* value = item.node->GetAttribute(name, L"");
    return value ? value : L"";
}

bool RegistersServer(const ManifestItem& item) {
    return item.node->GetAttributeInt(L"RegCom") != 0;
}

// Bytes in the partial file of a download; 0 when there is none.
uint64_t PartialFileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW((path + L"_").c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The bytes the item's chosen form fetches.
uint64_t FetchSize(const ManifestItem& item) {
    return item.forms.empty() ? item.size : item.forms[item.form].size;
}

bool IsRaw(const ManifestItem& item) {
    return item.forms.empty() || item.forms[item.form].kind == FormKind::kRaw;
}

// Handles the queued messages; false once WM_QUIT is read (it is in *msg).
bool PumpMessages(MSG* msg) {
    while (PeekMessageW(msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg->message == WM_QUIT) return false;
        TranslateMessage(msg);
        DispatchMessageW(msg);
    }
    return true;
}

void WriteLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
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
    started_ = GetTickCount();
    const DWORD runDeadline = UpdateDeadlineMs(kRunDeadlineMs);
    const DWORD checkDeadline = UpdateDeadlineMs(kCheckDeadlineMs);
    if (Start()) {
        // The loop wakes for messages, for the download's own waits and
        // for the run's deadline.
        const HANDLE waits[] = {partialHashed_.Get(), retryTimer_.Get(), decoded_.Get(), targetHashed_.Get()};
        bool overdue = false;
        do {
            const DWORD elapsed = GetTickCount() - started_;
            const DWORD limit = manifestRead_ ? runDeadline : checkDeadline;
            const DWORD wait = overdue ? INFINITE : elapsed >= limit ? 0 : limit - elapsed;
            switch (MsgWaitForMultipleObjects(4, waits, FALSE, wait, QS_ALLINPUT)) {
                case WAIT_OBJECT_0:
                    OnPartialHashed();
                    break;
                case WAIT_OBJECT_0 + 1:
                    OnRetryDue();
                    break;
                case WAIT_OBJECT_0 + 2:
                    OnDecoded();
                    break;
                case WAIT_OBJECT_0 + 3:
                    OnTargetHashed();
                    break;
                case WAIT_TIMEOUT:
                    overdue = true;
                    OnDeadline();
                    break;
                default:
                    break;
            }
        } while (PumpMessages(&msg));
    }
    Shutdown();
    return static_cast<int>(msg.wParam);
}

bool CUpdate::Start() {
    const std::wstring key = UpdatePublicKey();
    keyRequired_ = !key.empty();
    // A key the build got wrong makes every answer fail its check.
    keyValid_ = keyRequired_ && kit::ParseMinisignKey(_ServerEngine::ToNarrow(key), &key_);
    if (!Create()) return false;
    if (!ReadCommandLine()) return false;
    partialHashed_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    retryTimer_.Reset(CreateWaitableTimerW(nullptr, FALSE, nullptr));
    decoded_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    targetHashed_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!partialHashed_ || !retryTimer_ || !decoded_ || !targetHashed_) {
        ShowStatus(kStatusNoClient);
        return false;
    }
    WSADATA wsaData;
    if (WSAStartup(0x0202, &wsaData) != 0) {
        ShowStatus(kStatusNetworkFailed);
        return false;
    }
    client_.reset(new (std::nothrow) CHttpClientSocket(this));
    if (!client_) {
        ShowStatus(kStatusNoClient);
        return false;
    }
    client_->SetFloorRate(CHttpClientSocket::kFloorBytesPerSecond,
                          UpdateFloorWindowMs(CHttpClientSocket::kFloorWindowMs));
    if (!client_->Request(nullptr, 0, url_, L"", L"", false)) {
        ShowStatus(kStatusCheckNotStarted);
        return false;
    }
    ShowStatus(kStatusChecking);
    SendToLobby(nullptr, KindCheckStarted, 0);
    return true;
}

bool CUpdate::ReadCommandLine() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    // "repair" after the three arguments asks for a repair; every other
    // count or fourth argument uses none of them, as before.
    repair_ = args && count == 5 && std::wcscmp(args[4], L"repair") == 0;
    if (args && (count == 4 || repair_)) {
        const HWND lobby = reinterpret_cast<HWND>(static_cast<intptr_t>(_wtoi(args[2])));
        if (!Connect(lobby)) {
            LocalFree(args);
            return false;
        }
        lobbyProcess_.Reset(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(_wtoi(args[3]))));
        if (!lobbyProcess_) {
            ShowStatus(kStatusNoRights);
            // Ends here on purpose, without Shutdown: the lobby gets no
            // finished message, and the exit code is 1, not a failure's 0.
            ExitProcess(1);
        }
        gameId_ = static_cast<uint32_t>(_wtoi(args[1]));
        currentVersion_ = ReadInstalledVersion(gameId_);
    }
    if (args) LocalFree(args);
    // The query carries the version unsigned, while the store writes it
    // signed: the same 64 bits either way.
    wchar_t url[1024];
    std::swprintf(url, 1024, L"http://%ls/update/?id=%u&v=%" PRIu64, UpdateServerHost(),
                  static_cast<unsigned>(gameId_), currentVersion_);
    url_ = url;
    return true;
}

void CUpdate::Shutdown() {
    // A decode under way ends by itself; its files must not be left open.
    if (decodeThread_) WaitForSingleObject(decodeThread_.Get(), INFINITE);
    if (client_) {
        client_->Close();
        client_.reset();
    }
    const uint8_t completed = completed_ ? 1 : 0;
    SendToLobby(&completed, KindFinished, 1);
    lobbyProcess_.Reset();
}

void CUpdate::SendToLobby(const void* payload, LobbyMessageKind kind, uint32_t length) {
    if (!IsConnected()) return;
    if (length > kLobbyMaxPayload) length = kLobbyMaxPayload;
    LobbyMessage message;
    message.size = static_cast<uint16_t>(kLobbyHeaderSize + length);
    message.mark = kLobbyMessageMark;
    message.reserved = 0;
    message.kind = kind;
    if (length) std::memcpy(message.payload, payload, length);
    Send(&message, message.size);
}

void CUpdate::ShowStatus(const std::wstring& text) {
    WriteLine(_ServerEngine::ToNarrow(text));
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
    // The lobby hears of a download waiting to go on, not only silence.
    if (waitingToRetry_) ReportProgress(doneBytes_ + downloadCheck_.Hashed(), 0);
    if (checkingTarget_) ReportCheckProgress();
    if (lobbyProcess_ && WaitForSingleObject(lobbyProcess_.Get(), 0) != WAIT_TIMEOUT) {
        PostQuitMessage(0);
        lobbyProcess_.Reset();
    }
}

void CUpdate::OnDeadline() {
    if (client_) client_->Close();
    CancelWaitableTimer(retryTimer_.Get());
    waitingToRetry_ = false;
    Fail(manifestRead_ ? kStatusFileFailed : kStatusListFailed);
}

void CUpdate::CloseLobby() {
    if (!lobbyProcess_) return;
    SendToLobby(nullptr, KindCloseLobby, 0);
    Close();
    if (WaitForSingleObject(lobbyProcess_.Get(), kLobbyExitWaitMs) == WAIT_TIMEOUT) {
        // Standard output only: the link is gone. Ends at once with exit
        // code 1 and without Shutdown (no finished message), before any
        // later item touches a file the lobby may still hold.
        ShowStatus(kStatusLobbyStillRunning);
        ExitProcess(1);
    }
    lobbyProcess_.Reset();
    Sleep(100);
}

void CUpdate::OnHttpHeader(CHttpClientSocket*, uint64_t) {}

void CUpdate::OnHttpComplete(CHttpClientSocket* client) {
    if (!client->savePath.empty()) {
        OnDownloadComplete(client);
        return;
    }
    manifestRead_ = true;
    switch (HandleManifest()) {
        case ManifestResult::Queued:
            break;
        case ManifestResult::NothingToDo:
            PostQuitMessage(1);
            break;
        case ManifestResult::Refused:
            Fail(kStatusListRefused);
            break;
        case ManifestResult::Stale:
            Fail(kStatusListStale);
            break;
        case ManifestResult::Ended:
            break;
    }
}

void CUpdate::OnHttpError(CHttpClientSocket* client, const wchar_t*) {
    if (client->savePath.empty()) {
        Fail(kStatusListFailed);
    } else if (resumable_ && client->ConnectionLost()) {
        if (!RetryDownload()) Fail(kStatusFileFailed);
    } else if (queue_.empty() || IsRaw(queue_.front()) || !FallBack()) {
        Fail(downloadCheck_.Mismatched() || client->SizeRefused() ? kStatusFileRefused : kStatusFileFailed);
    }
}

void CUpdate::OnHttpClose(CHttpClientSocket* client, int) {
    if (client->savePath.empty() || !resumable_) {
        Fail(kStatusDisconnected);
    } else if (!RetryDownload()) {
        Fail(kStatusFileFailed);
    }
}

void CUpdate::OnHttpProgress(CHttpClientSocket* client, uint64_t, uint64_t received, double bytesPerSecond) {
    if (client->savePath.empty()) return;
    if (!g_progressThrottle.Due(GetTickCount())) return;
    // Bytes resumed from the partial file were done before this body.
    ReportProgress(doneBytes_ + client->BodyOffset() + received, bytesPerSecond);
}

void CUpdate::ReportProgress(uint64_t done, double bytesPerSecond) {
    ProgressReport report;
    report.total = totalBytes_;
    report.done = done;
    // KB/s in the lobby's periodic report, but bytes per second on standard
    // output and in the completion report (OnDownloadComplete): lobbies read
    // the two reports with these two units.
    report.speed = bytesPerSecond / 1024;
    report.secondsLeft = SecondsLeft(report.total, report.done, bytesPerSecond);
    SendToLobby(&report, KindProgress, sizeof(report));
    WriteLine(FormatProgressLine(report, bytesPerSecond));
    g_progressThrottle.Mark(GetTickCount());
}

CUpdate::ManifestResult CUpdate::HandleManifest() {
    const auto& body = client_->body;
    size_t size = body.size();
    // Unsigned bytes never reach the parser when a key is set.
    if (keyRequired_ &&
        (!keyValid_ || !kit::VerifySignedBody(key_, std::string_view(body.data(), body.size()), &size))) {
        return ManifestResult::Refused;
    }
    const bool loaded = size != 0 && UpdateElementClosed(body.data(), size) &&
                        manifest_.LoadFromBuffer(body.data(), static_cast<unsigned>(size));
    _ServerEngine::CXMLConfig* const update = loaded ? manifest_.FindNode(L"Update") : nullptr;
    if (update && ((keyRequired_ && !ManifestIsForGame(update, gameId_)) ||
                   !DownloadDigestsValid(update, keyRequired_))) {
        return ManifestResult::Refused;
    }
    if (update && keyRequired_) {
        switch (CheckFreshness(update)) {
            case Freshness::kMalformed:
                return ManifestResult::Refused;
            case Freshness::kStale:
                return ManifestResult::Stale;
            case Freshness::kFresh:
                break;
        }
    }
    tagUpdatePlan plan = loaded ? PlanUpdate(manifest_, currentVersion_) : tagUpdatePlan();
    if (plan.outcome == PlanOutcome::kUnusable) {
        ShowStatus(kStatusCheckFailed);
        return ManifestResult::NothingToDo;
    }
    url_ = std::move(plan.baseUrl);
    manifestVersion_ = plan.manifestVersion;
    tagManifestFiles files = ReadManifestFiles(manifest_);
    installedNames_ = InstalledNames(files.steps);
    if (repair_ && !files.digests) {
        Fail(kStatusRepairNoDigests);
        return ManifestResult::Ended;
    }
    if (plan.outcome == PlanOutcome::kNotNewer && !repair_) {
        ShowStatus(kStatusUpToDate);
        return ManifestResult::NothingToDo;
    }
    ShowStatus(kStatusCounting);
    // A newer manifest without newer items writes no version either.
    if (plan.outcome == PlanOutcome::kNoItems && !repair_) {
        ShowStatus(kStatusUpToDate);
        return ManifestResult::NothingToDo;
    }
    writesVersion_ = plan.outcome == PlanOutcome::kWork;
    if (writesVersion_) {
#ifdef UPDATE_WITHOUT_FORMS
        totalBytes_ = plan.totalBytes;
#else
        totalBytes_ = AssignForms(plan.items, currentVersion_,
                                  [this](const std::wstring& path) {
                                      return PartialFileSize(DownloadSavePath(path, installedNames_)) != 0;
                                  });
#endif
        queue_ = std::move(plan.items);
    }
    if (repair_) {
        // After the update's own items, so that its moves find the files
        // where the installed version left them; the checks then fetch
        // whatever is still missing or differs.
        ShowStatus(kStatusVerifying);
        totalBytes_ += files.totalBytes;
        queue_.insert(queue_.end(), files.files.begin(), files.files.end());
    }
    if (!EnoughSpace(queue_, installedNames_)) {
        queue_.clear();
        Fail(kStatusNoSpace);
        return ManifestResult::Ended;
    }
    ProcessQueue();
    return ManifestResult::Queued;
}

Freshness CUpdate::CheckFreshness(_ServerEngine::CXMLConfig* update) {
    tagReleaseStamp stamp;
    const Freshness read =
        ReadReleaseStamp(update->GetAttribute(L"released", nullptr), update->GetAttribute(L"expires", nullptr), &stamp);
    if (read != Freshness::kFresh) return read;
    const uint64_t last = ReadAcceptedRelease(gameId_);
    const Freshness verdict = JudgeFreshness(stamp, last, UpdateClockSeconds(), ServerDate());
    // Remembered at once: whatever becomes of this run, nothing older is
    // taken from now on.
    if (verdict == Freshness::kFresh && stamp.stamped && stamp.released > last) {
        WriteAcceptedRelease(gameId_, stamp.released);
    }
    return verdict;
}

uint64_t CUpdate::ServerDate() const {
    uint64_t seconds = 0;
    for (const auto& field : client_->Headers()) {
        if (_ServerEngine::CompareNoCase(field.first, L"Date") == 0) {
            return ParseHttpDate(field.second, &seconds) ? seconds : 0;
        }
    }
    return 0;
}

void CUpdate::ProcessQueue() {
    while (!queue_.empty()) {
        if (!ProcessItem(queue_.front())) return;
        queue_.pop_front();
    }
    FinishQueue();
}

bool CUpdate::ProcessItem(const ManifestItem& item) {
    switch (item.op) {
        case OpDownload:
        case OpRepair: {
            const std::wstring path = TargetPath(item);
            // Without a local path the body would be kept in memory and its
            // completion taken for the update check's.
            if (path.empty()) {
                Fail(kStatusUpdateFailed);
            } else if (!_ServerEngine::CreateParentDirectories(path.c_str())) {
                Fail(kStatusDirectoryFailed);
            } else if (!WatchDownload(item) || (!CheckTarget(item) && !StartDownload())) {
                Fail(kStatusUpdateFailed);
            }
            return false;
        }
        case OpDelete:
            DeleteFileW(Attribute(item, L"path").c_str());
            return true;
        case OpMove: {
            const std::wstring destination = Attribute(item, L"des");
            if (!_ServerEngine::CreateParentDirectories(destination.c_str())) {
                Fail(kStatusDirectoryFailed);
                return false;
            }
            RenameFile(Attribute(item, L"src"), destination);
            if (RegistersServer(item)) RegisterServer(destination);
            return true;
        }
        case OpCloseLobby:
            CloseLobby();
            return true;
        case OpRun:
            RunCommand(Attribute(item, L"path"), Attribute(item, L"cmd"));
            return true;
        case OpIgnored:
            break;
    }
    return true;
}

bool CUpdate::WatchDownload(const ManifestItem& item) {
    const wchar_t* text = item.node->GetAttribute(L"sha256", nullptr);
    resumable_ = text != nullptr;
    // Progress counts from the bytes an earlier run left, if they are kept.
    const uint64_t partial = resumable_ ? PartialFileSize(SavePath(item)) : 0;
    const uint64_t size = FetchSize(item);
    attempts_.Begin(size, partial < size ? partial : 0);
    if (!text) {
        client_->SetBodyObserver(nullptr);
        return true;
    }
    // Well-formed: checked when the manifest was read. A compressed body or
    // patch is checked against its own digest before it is decoded.
    uint8_t digest[crypto_hash_sha256_BYTES];
    if (!ParseSha256Hex(text, digest)) return false;
    if (!IsRaw(item)) std::memcpy(digest, item.forms[item.form].sha256, sizeof digest);
    downloadCheck_.Expect(digest);
    client_->SetBodyObserver(&downloadCheck_);
    return true;
}

std::wstring CUpdate::TargetPath(const ManifestItem& item) const {
    return item.op == OpRepair ? item.path : Attribute(item, L"path");
}

std::wstring CUpdate::SavePath(const ManifestItem& item) const {
    const std::wstring target = TargetPath(item);
    if (IsRaw(item)) return DownloadSavePath(target, installedNames_);
    // A compressed body or patch waits beside its target until it is decoded.
    return FormBodySavePath(target, item.forms[item.form].kind, installedNames_);
}

bool CUpdate::CheckTarget(const ManifestItem& item) {
    if (!resumable_) return false;
    const std::wstring path = TargetPath(item);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        ((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) != item.size) {
        return false;
    }
    // The target is compared with the file's own digest, not a form's.
    uint8_t digest[crypto_hash_sha256_BYTES];
    if (!ParseSha256Hex(item.node->GetAttribute(L"sha256", L""), digest)) return false;
    downloadCheck_.Expect(digest);
    if (!downloadCheck_.HashPartialFile(path, item.size, targetHashed_.Get())) {
        // The download that follows checks what it fetches.
        WatchDownload(item);
        return false;
    }
    if (checkedBytes_ == 0) checkStarted_ = GetTickCount();
    checkingTarget_ = true;
    return true;
}

void CUpdate::OnTargetHashed() {
    checkingTarget_ = false;
    if (queue_.empty()) return;
    checkedBytes_ += queue_.front().size;
    if (downloadCheck_.HashedFileMatches()) {
        SkipDownload();
    } else if (!WatchDownload(queue_.front()) || !StartDownload()) {
        Fail(kStatusUpdateFailed);
    }
}

void CUpdate::SkipDownload() {
    // A partial file an earlier run left would never be used again.
    DeleteFileW((SavePath(queue_.front()) + L"_").c_str());
    // The total counts what the item would have fetched.
    doneBytes_ += FetchSize(queue_.front());
    queue_.pop_front();
    // The last one is always reported, so that the lobby sees the total done.
    if (queue_.empty() || g_progressThrottle.Due(GetTickCount())) ReportCheckProgress();
    ProcessQueue();
}

void CUpdate::ReportCheckProgress() {
    const DWORD elapsed = GetTickCount() - checkStarted_;
    const uint64_t hashing = checkingTarget_ ? downloadCheck_.FileProgress() : 0;
    const uint64_t share =
        queue_.empty() ? 0 : ShareDone(hashing, queue_.front().size, FetchSize(queue_.front()));
    ReportProgress(doneBytes_ + share, elapsed ? (checkedBytes_ + hashing) * 1000.0 / elapsed : 0);
}

bool CUpdate::StartDownload() {
    const ManifestItem& item = queue_.front();
    const std::wstring save = SavePath(item);
    uint64_t partial = resumable_ ? PartialFileSize(save) : 0;
    // A partial file as long as what is fetched (or longer, left by an
    // updater that knew no bound) has nothing left to ask for: it starts over.
    if (partial != 0 && partial >= FetchSize(item)) {
        DeleteFileW((save + L"_").c_str());
        partial = 0;
    }
    // After a lost connection the digest already holds the partial file.
    if (partial == 0 || partial == downloadCheck_.Hashed()) return RequestDownload(partial);
    return downloadCheck_.HashPartialFile(save + L"_", partial, partialHashed_.Get()) || RequestDownload(0);
}

bool CUpdate::RequestDownload(uint64_t offset) {
    const ManifestItem& item = queue_.front();
    const std::wstring fname = item.forms.empty() ? Attribute(item, L"fname") : item.forms[item.form].fname;
    // A digest makes the size part of what the item promises.
    return client_->RequestFrom(url_ + fname, SavePath(item), offset,
                                resumable_ ? FetchSize(item) : CHttpClientSocket::kUnknownSize);
}

void CUpdate::OnPartialHashed() {
    if (queue_.empty()) return;
    const uint64_t hashed = downloadCheck_.Hashed();
    // A partial file that cannot be read is downloaded anew.
    if (!RequestDownload(downloadCheck_.PartialFileHashed() ? hashed : 0)) Fail(kStatusUpdateFailed);
}

bool CUpdate::RetryDownload() {
    if (!attempts_.Lost(downloadCheck_.Hashed(), client_->Stored())) return false;
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * attempts_.WaitMs();  // relative, in 100 ns
    if (!SetWaitableTimer(retryTimer_.Get(), &due, 0, nullptr, nullptr, FALSE)) return false;
    waitingToRetry_ = true;
    ReportProgress(doneBytes_ + downloadCheck_.Hashed(), 0);
    return true;
}

void CUpdate::OnRetryDue() {
    waitingToRetry_ = false;
    if (!queue_.empty() && !StartDownload()) Fail(kStatusUpdateFailed);
}

void CUpdate::FinishQueue() {
    ShowStatus(kStatusDone);
    PostQuitMessage(1);
    if (writesVersion_ && manifestVersion_ != 0) WriteInstalledVersion(gameId_, manifestVersion_);
    completed_ = true;
}

bool CUpdate::FallBack() {
    ManifestItem& item = queue_.front();
    // The fetched bytes count as done: the total grows by the next form.
    doneBytes_ += item.forms[item.form].size;
    item.failed |= FormBit(item.forms[item.form].kind);
    item.form = ChooseForm(item.forms, currentVersion_, item.base, item.failed, false);
    totalBytes_ += item.forms[item.form].size;
    return WatchDownload(item) && StartDownload();
}

bool CUpdate::StartDecode(const ManifestItem& item) {
    decode_.path = TargetPath(item);
    decode_.body = SavePath(item);
    decode_.result = DownloadSavePath(decode_.path, installedNames_) + L"_";
    decode_.patch = item.forms[item.form].kind == FormKind::kPatch;
    decode_.ok = false;
    if (!ParseSha256Hex(item.node->GetAttribute(L"sha256", L""), decode_.digest)) return false;
    decodeThread_.Reset(CreateThread(nullptr, 0, DecodeMain, this, 0, nullptr));
    return static_cast<bool>(decodeThread_);
}

DWORD WINAPI CUpdate::DecodeMain(void* self) {
    CUpdate* const update = static_cast<CUpdate*>(self);
    tagDecode& decode = update->decode_;
    const std::wstring& result = decode.result;
    decode.ok = DecodeForm(decode.body, decode.patch ? decode.path : std::wstring(), result, decode.digest);
    DeleteFileW(decode.body.c_str());
    if (decode.ok && !MoveFileExW(result.c_str(), decode.path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(result.c_str());
        decode.ok = false;
    }
    SetEvent(update->decoded_.Get());
    return 0;
}

void CUpdate::OnDecoded() {
    WaitForSingleObject(decodeThread_.Get(), INFINITE);
    decodeThread_.Reset();
    if (queue_.empty()) return;
    if (!decode_.ok) {
        if (!FallBack()) Fail(kStatusUpdateFailed);
        return;
    }
    FinishDownload(decodeSpeed_);
}

void CUpdate::OnDownloadComplete(CHttpClientSocket* client) {
    if (queue_.empty()) return;
    if (IsRaw(queue_.front())) {
        FinishDownload(client->speed);
        return;
    }
    // Decoded on a thread of its own: messages are handled meanwhile.
    decodeSpeed_ = client->speed;
    if (!StartDecode(queue_.front()) && !FallBack()) Fail(kStatusUpdateFailed);
}

void CUpdate::FinishDownload(double speed) {
    const ManifestItem item = queue_.front();
    const std::wstring target = TargetPath(item);
    // A decoded form is in place already; a raw body may have come under
    // another name.
    const std::wstring save = IsRaw(item) ? SavePath(item) : target;
    if (save != target && !MoveFileExW(save.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        Fail(kStatusFileFailed);
        return;
    }
    if (RegistersServer(item)) RegisterServer(target);
    doneBytes_ += FetchSize(item);
    queue_.pop_front();
    // Bytes per second here, unlike the periodic report's KB/s: see
    // OnHttpProgress.
    ProgressReport report;
    report.total = totalBytes_;
    report.done = doneBytes_;
    report.speed = speed;
    report.secondsLeft = SecondsLeft(report.total, report.done, speed);
    SendToLobby(&report, KindProgress, sizeof(report));
    ProcessQueue();
}

void RenameFile(const std::wstring& source, const std::wstring& destination) {
    if (source == destination || FoldPath(source) != FoldPath(destination)) {
        _wrename(source.c_str(), destination.c_str());
        return;
    }
    // Only the case differs: some file systems (Wine's) keep the old name
    // on a direct rename, so go through a name of our own.
    for (unsigned n = 1; n < 100; ++n) {
        const std::wstring temporary = destination + L".rename" + std::to_wstring(n);
        if (GetFileAttributesW(temporary.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        if (_wrename(source.c_str(), temporary.c_str()) != 0) return;
        if (_wrename(temporary.c_str(), destination.c_str()) != 0) _wrename(temporary.c_str(), source.c_str());
        return;
    }
}

void RegisterServer(const std::wstring& file) {
    const kit::CLibraryHandle library(LoadLibraryW(file.c_str()));
    if (!library) return;
    typedef HRESULT(STDAPICALLTYPE * RegisterFn)();
    auto reg = reinterpret_cast<RegisterFn>(
        reinterpret_cast<void*>(GetProcAddress(library.Get(), "DllRegisterServer")));
    if (reg) reg();
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
