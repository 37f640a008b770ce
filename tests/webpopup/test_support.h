// Helpers shared by the pop-up's tests: message pumping with deadlines,
// child processes, a parent window that records notification blocks, and
// reading pixels back from a window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "WebWnd.h"

namespace webpopup_test {

// Pumps the thread's messages until `done` is true or `ms` have passed;
// returns `done()`. A WM_QUIT seen on the way is recorded in QuitCode().
bool PumpUntil(const std::function<bool()>& done, DWORD ms);
void PumpFor(DWORD ms);
// The wParam of the last WM_QUIT the pump saw, or 0xdeadbeef; reset on read.
UINT_PTR TakeQuitCode();

// A child process, killed if still running when the object goes away.
class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts `program` with `args` (already quoted); with captureOutput its
    // standard output can be read with ReadLine.
    bool Start(const std::wstring& program, const std::wstring& args, bool captureOutput = false);
    // Waits (pumping messages) up to `ms` for the exit; STILL_ACTIVE when the
    // process is still running.
    DWORD WaitForExit(DWORD ms);
    bool ReadLine(std::string* line, DWORD ms);
    void Kill();
    HANDLE Handle() const { return process_; }
    DWORD Id() const { return id_; }

private:
    HANDLE process_ = nullptr;
    HANDLE output_ = nullptr;
    DWORD id_ = 0;
    std::string pending_;
};

std::wstring VistrelPath();
std::wstring PopupParentPath();
// Waits (pumping) for a shown top-level pop-up window; null on timeout.
HWND WaitForPopup(DWORD ms);

// A hidden top-level window of the test process that answers
// WM_POPUP_NAVIGATE with Answer() and keeps a copy of every block.
struct tagReceivedBlock {
    WPARAM wParam;
    LPARAM tick;
    std::vector<BYTE> bytes;
};
class CTestParent {
public:
    CTestParent(int clientWidth, int clientHeight);
    ~CTestParent();
    CTestParent(const CTestParent&) = delete;
    CTestParent& operator=(const CTestParent&) = delete;

    HWND Window() const { return window_; }
    void SetAnswer(LRESULT answer) { answer_ = answer; }
    const std::vector<tagReceivedBlock>& Blocks() const { return blocks_; }
    void Destroy();

private:
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    HWND window_ = nullptr;
    LRESULT answer_ = 0;
    std::vector<tagReceivedBlock> blocks_;
};

// The block layout: size field, URL with its zero, post data.
std::vector<BYTE> ExpectedBlock(const std::wstring& url, const std::vector<BYTE>& post);

// Header of a 32-bit top-down DIB.
BITMAPINFO TopDownDib32(int width, int height);

// The window's client area as 0x00RRGGBB pixels, rows top-down, after a
// synchronous repaint.
std::vector<DWORD> CaptureClient(HWND window, int width, int height);
// A bitmap resource of the test program as 0x00RRGGBB pixels, rows top-down.
std::vector<DWORD> ResourcePixels(int id, int* width, int* height);

}  // namespace webpopup_test
