// The update object: checks the update server for a newer version of one
// game, carries out the manifest's items and reports to the lobby.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>

#include "ConnectPeer.h"
#include "DownloadAttempts.h"
#include "DownloadCheck.h"
#include "Freshness.h"
#include "HttpClientSocket.h"
#include "LobbyMessage.h"
#include "UpdatePlan.h"
#include "XMLConfig.h"
#include "base/Minisign.h"
#include "base/UniqueHandle.h"

// Host (and port) of the update server, chosen by the program's build.
const wchar_t* UpdateServerHost();
// The minisign public key line manifests must be signed with, chosen by the
// program's build; empty: manifests are taken unsigned.
const wchar_t* UpdatePublicKey();
// The run's deadlines and the floor rate's window: the shipped values,
// which only the test build lets its environment shorten.
DWORD UpdateDeadlineMs(DWORD shipped);
DWORD UpdateFloorWindowMs(DWORD shipped);
// The player's clock in seconds since 1970 (the test build may set it).
uint64_t UpdateClockSeconds();

class CUpdate : public IHttpSink, public CConnectPeer {
public:
    CUpdate();
    ~CUpdate();

    // Start, message loop, shutdown; returns the process exit code.
    int Run();

    void OnHttpHeader(CHttpClientSocket* client, uint64_t contentLength) override;
    void OnHttpComplete(CHttpClientSocket* client) override;
    void OnHttpError(CHttpClientSocket* client, const wchar_t* message) override;
    void OnHttpProgress(CHttpClientSocket* client, uint64_t contentLength, uint64_t received,
                        double bytesPerSecond) override;
    void OnHttpClose(CHttpClientSocket* client, int error) override;

protected:
    void OnTimer() override;

private:
    bool Start();
    bool ReadCommandLine();
    void Shutdown();

    // Ended: the status is shown and the quit posted.
    enum class ManifestResult { Queued, NothingToDo, Refused, Stale, Ended };
    ManifestResult HandleManifest();
    // With a key: judges the release stamp of the verified manifest, and
    // remembers a newer release time it accepts.
    Freshness CheckFreshness(_ServerEngine::CXMLConfig* update);
    // The server's Date in seconds since 1970; 0 when absent or unreadable.
    uint64_t ServerDate() const;
    void ProcessQueue();
    // Carries out the front item; false when the queue has to stop there
    // (a download is under way or the run failed).
    bool ProcessItem(const ManifestItem& item);
    // Sets the client to check the download's "sha256", if it has one.
    bool WatchDownload(const ManifestItem& item);
    // Where a download or repair item puts its file, and where the client
    // saves it first.
    std::wstring TargetPath(const ManifestItem& item) const;
    std::wstring SavePath(const ManifestItem& item) const;
    // Starts hashing the target of a download with a digest when it may
    // already hold the file (it has the item's size); false when it cannot.
    bool CheckTarget(const ManifestItem& item);
    void OnTargetHashed();
    // Leaves out the front download: its file is in place.
    void SkipDownload();
    void ReportCheckProgress();
    // Requests the front item's file; one with a digest goes on from the
    // bytes of its partial file, after hashing them if need be.
    bool StartDownload();
    bool RequestDownload(uint64_t offset);
    void OnPartialHashed();
    // After a lost connection: waits before the next attempt, pumping
    // messages; false when the attempts are spent.
    bool RetryDownload();
    void OnRetryDue();
    // The run took longer than its deadline: it ends as failed.
    void OnDeadline();
    void ReportProgress(uint64_t done, double bytesPerSecond);
    void FinishQueue();
    void OnDownloadComplete(CHttpClientSocket* client);
    // The front download is in place: the next item. `speed` in bytes per
    // second, of its body.
    void FinishDownload(double speed);
    // Decodes the front download's compressed body or patch into place on a
    // thread; `decoded_` is set when it ended. False when it cannot start.
    bool StartDecode(const ManifestItem& item);
    static DWORD WINAPI DecodeMain(void* self);
    void OnDecoded();
    // After the front download's form failed: the next form, in this run.
    bool FallBack();

    void SendToLobby(const void* payload, LobbyMessageKind kind, uint32_t length);
    void ShowStatus(const std::wstring& text);
    void CloseLobby();
    void Fail(const wchar_t* text);

    std::unique_ptr<CHttpClientSocket> client_;
    uint64_t currentVersion_ = 0;
    uint64_t manifestVersion_ = 0;
    uint64_t totalBytes_ = 0;
    uint64_t doneBytes_ = 0;
    kit::CKernelHandle lobbyProcess_;  // SYNCHRONIZE access only
    std::wstring url_;
    _ServerEngine::CXMLConfig manifest_;
    std::deque<ManifestItem> queue_;
    uint32_t gameId_ = 0;
    bool completed_ = false;
    // With a key, answers must carry its signature.
    bool keyRequired_ = false;
    bool keyValid_ = false;
    kit::tagMinisignKey key_{};
    CDownloadCheck downloadCheck_;
    // The front download has a digest, so it may go on from a partial file.
    bool resumable_ = false;
    bool waitingToRetry_ = false;
    CDownloadAttempts attempts_;
    // GetTickCount at the start of the run; the manifest was read.
    DWORD started_ = 0;
    bool manifestRead_ = false;
    kit::CKernelHandle partialHashed_;  // event: the partial file is hashed
    kit::CKernelHandle retryTimer_;     // waitable timer: the next attempt is due
    // The decode thread's work; it owns `decode_` until it sets `decoded_`.
    struct tagDecode {
        std::wstring path;
        std::wstring body;
        std::wstring result;  // the partial file the decoded bytes go to
        bool patch = false;
        uint8_t digest[32] = {};
        bool ok = false;
    };
    tagDecode decode_;
    double decodeSpeed_ = 0;
    kit::CKernelHandle decodeThread_;
    kit::CKernelHandle decoded_;  // event: the decode thread ended
    kit::CKernelHandle targetHashed_;   // event: the target file is hashed
    // Started with "repair": every file the manifest leaves is checked.
    bool repair_ = false;
    // The version is written at the end only when the run had an update to do.
    bool writesVersion_ = false;
    // Folded names of every file and folder the manifest installs.
    std::set<std::wstring> installedNames_;
    bool checkingTarget_ = false;
    uint64_t checkedBytes_ = 0;  // of whole targets hashed, for the rate
    DWORD checkStarted_ = 0;     // tick of the first target check
};

// Renames like _wrename (an existing destination stays, a missing source
// does nothing), except that a destination that differs only in case
// renames the file.
void RenameFile(const std::wstring& source, const std::wstring& destination);
// Loads `file` and calls its DllRegisterServer export, if it has one.
void RegisterServer(const std::wstring& file);
// Opens `path` through the shell with `parameters` (none when empty); a path
// starting with "." is made absolute first. Does not wait.
void RunCommand(const std::wstring& path, const std::wstring& parameters);
