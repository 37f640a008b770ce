// A stand-in for the system's web browser control, registered for
// CLSID_WebBrowser inside the test process so that the unchanged
// CoCreateInstance call of the pop-up creates it. It records what its host
// does and fires DWebBrowserEvents2 with the argument layout of the real
// control. COM pointers cross this header as void* (the fake is built with C
// vtables).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

struct tagFakeBrowserLog {
    // Knobs, set before the host creates the control.
    bool failFindConnectionPoint = false;
    bool hasDocument = true;
    std::wstring documentTitle;

    // What the host did.
    int objectsAlive = 0;
    ULONG lastRelease = 0xdeadbeef;
    void* clientSite = nullptr;
    LONG verb = 0;
    HWND verbParent = nullptr;
    RECT verbRect = {};
    HWND window = nullptr;
    void* sink = nullptr;
    std::vector<std::wstring> calls;
    std::wstring navigatedUrl;
    int quitCount = 0;
};

tagFakeBrowserLog& FakeBrowserLog();
// Back to a fresh log, its strings' buffers freed.
void ResetFakeBrowserLog();

// Registers the fake's class object; the result is CoRegisterClassObject's.
HRESULT RegisterFakeBrowser(DWORD* cookie);
void RevokeFakeBrowser(DWORD cookie);

// Fires BeforeNavigate2 at the advised sink, for the top-level browser or
// for a frame inside the page. Post data go in as a byte SAFEARRAY, doubly
// by reference. Returns the value the sink left in Cancel (poisoned first).
VARIANT_BOOL FireBeforeNavigate2(const wchar_t* url, const std::vector<BYTE>& postData, bool topLevel);
// Fires DocumentComplete; a null url passes a VARIANT holding a null BSTR.
void FireDocumentComplete(const wchar_t* url, bool topLevel);
