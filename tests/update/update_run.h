// The updater's end-to-end fixture: the test program plays the lobby. It
// owns a window, starts the test build of Update.exe as a child process
// (pointed at a scripted server through KIT_UPDATE_SERVER), pumps messages
// while it runs, and records every WM_COPYDATA that arrives and the child's
// standard output.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kit_test.h"

namespace update_test {

// One WM_COPYDATA as the lobby received it.
struct tagLobbyEvent {
    HWND sender = nullptr;
    DWORD tick = 0;  // GetTickCount when it arrived
    ULONG_PTR tag = 0;
    bool hasData = false;  // false: link request or disconnect notice
    std::vector<uint8_t> bytes;

    // Fields of the message layout, read from the raw bytes.
    uint16_t Size() const;
    uint16_t Mark() const;
    uint32_t Reserved() const;
    uint32_t Kind() const;
    std::vector<uint8_t> Payload() const;
    std::wstring StatusText() const;
};

// A decoded progress report (kind 3).
struct tagProgress {
    uint64_t total, done;
    double speed;
    uint32_t secondsLeft;
    DWORD tick;  // when it arrived
};

// The lobby's window; answers link requests with `accept`.
class CLobbyWindow {
public:
    explicit CLobbyWindow(bool accept = true);
    ~CLobbyWindow();
    CLobbyWindow(const CLobbyWindow&) = delete;
    CLobbyWindow& operator=(const CLobbyWindow&) = delete;

    HWND Handle() const { return hwnd_; }
    const std::vector<tagLobbyEvent>& Events() const { return events_; }

    // The data messages' kinds in order, and the texts of the status messages.
    std::vector<uint32_t> Kinds() const;
    std::vector<std::wstring> Statuses() const;
    std::vector<tagProgress> Progress() const;
    // True when a message of `kind` has arrived.
    bool Has(uint32_t kind) const;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
    bool accept_;
    std::vector<tagLobbyEvent> events_;
};

using kit_test::PumpFor;
using kit_test::PumpUntil;

// Update.exe (test build) as a child process with its standard output on a pipe.
class CUpdateProcess {
public:
    CUpdateProcess() = default;
    ~CUpdateProcess();  // ends a child still running
    CUpdateProcess(const CUpdateProcess&) = delete;
    CUpdateProcess& operator=(const CUpdateProcess&) = delete;

    // Starts "<program> <arguments>" in `directory` with KIT_UPDATE_SERVER
    // set to `serverHost`; the program is one of build/bin.
    bool Start(const std::wstring& arguments, const std::wstring& directory, const std::string& serverHost,
               const std::wstring& program = L"UpdateTestHost.exe");
    // Pumps messages and collects output until the child ends; false when it
    // is still running after `ms` (it is then ended with code 999).
    bool Wait(DWORD ms);
    bool Running();
    DWORD ExitCode() const { return exitCode_; }
    // Standard output so far, as bytes.
    const std::string& Output() const { return output_; }
    void ReadOutput();

private:
    HANDLE process_ = nullptr;
    HANDLE pipe_ = nullptr;
    DWORD exitCode_ = 0xdeadbeef;
    std::string output_;
};

// The usual arguments: "<game> <lobby window> <this process id>".
std::wstring LobbyArguments(unsigned game, HWND lobby, DWORD pid = GetCurrentProcessId());

// Status texts as the updater writes them: code page 936, one line each.
std::string Lines936(const std::vector<std::wstring>& texts);
std::string To936(const std::wstring& text);
using kit_test::ToUtf8;

// A readable form of bytes in code page 936 for failure messages.
std::wstring From936(const std::string& bytes);

// Writes `text` to the file `path` (bytes as given), creating its folders.
void WriteFile(const std::wstring& path, const std::string& text);
using kit_test::ReadFileBytes;
bool FileExists(const std::wstring& path);

}  // namespace update_test
