// Sample host of Cantorel.dll: plays one sound file and waits for its end.
//   soundhost.exe FILE [VOLUME]
// VOLUME is in hundredths of a decibel (0 full, -10000 silent). Exit code 0
// once the end was reported, 1 on any failure.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "Cantorel.h"
#include "base/ComPtr.h"
#include "base/UniqueHandle.h"

namespace {

// Longest wait for the end report, for a sound of any length.
constexpr DWORD kMaxWaitMilliseconds = 10 * 60 * 1000;

// Quits the message loop when the sound ends. Lives on the stack of wmain,
// longer than the manager, so its count only matters to the library's
// AddRef/Release pairs.
class CSink final : public ISoundSink {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    HRESULT STDMETHODCALLTYPE OnSoundEnd(ISoundManager*, ISoundObject*) override {
        ended_ = true;
        PostQuitMessage(0);
        return S_OK;
    }
    bool Ended() const { return ended_; }

private:
    ULONG refs_ = 1;
    bool ended_ = false;
};

int Fail(const wchar_t* what, HRESULT hr) {
    std::fwprintf(stderr, L"soundhost: %ls failed (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return 1;
}

// Pumps messages until WM_QUIT or the deadline.
void PumpUntilQuit(DWORD deadline) {
    for (;;) {
        const DWORD now = GetTickCount();
        if (static_cast<LONG>(deadline - now) <= 0) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, deadline - now, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return;
            DispatchMessageW(&msg);
        }
    }
}

int Play(ISoundManager* manager, CSink* sink, const wchar_t* path, long volume) {
    const kit::CWindowHandle window(CreateWindowExW(0, L"STATIC", L"soundhost", 0, 0, 0, 0, 0, nullptr,
                                                    nullptr, GetModuleHandleW(nullptr), nullptr));
    HRESULT hr = manager->Initialize(window.Get());
    if (FAILED(hr)) return Fail(L"Initialize", hr);
    manager->SetSink(sink);
    manager->SetVolume(volume);
    kit::CComPtr<ISoundObject> sound;
    hr = manager->CreateSoundFromFile(path, &sound);
    if (FAILED(hr)) return Fail(L"CreateSoundFromFile", hr);
    const DWORD start = GetTickCount();
    hr = sound->Play();
    if (SUCCEEDED(hr)) PumpUntilQuit(start + kMaxWaitMilliseconds);
    const DWORD elapsed = GetTickCount() - start;
    sound.Reset();
    manager->Uninitialize();
    if (FAILED(hr)) return Fail(L"Play", hr);
    if (!sink->Ended()) return Fail(L"waiting for the end", E_FAIL);
    std::wprintf(L"played %ls at volume %ld: OnSoundEnd after %lu ms\n", path, volume,
                 static_cast<unsigned long>(elapsed));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        std::fwprintf(stderr, L"usage: soundhost FILE [VOLUME]\n");
        return 1;
    }
    const long volume = argc == 3 ? std::wcstol(argv[2], nullptr, 10) : 0;
    const kit::CLibraryHandle dll(LoadLibraryW(L"Cantorel.dll"));
    if (!dll) return Fail(L"LoadLibrary(Cantorel.dll)", HRESULT_FROM_WIN32(GetLastError()));
    auto create = reinterpret_cast<PFN_CreateSoundManager>(
        reinterpret_cast<void*>(GetProcAddress(dll.Get(), "CreateSoundManager")));
    if (!create) return Fail(L"GetProcAddress(CreateSoundManager)", E_FAIL);
    // The manager goes first: it still holds the sink, and the library holds
    // its code.
    CSink sink;
    kit::CComPtr<ISoundManager> manager;
    const HRESULT hr = create(&manager);
    if (FAILED(hr)) return Fail(L"CreateSoundManager", hr);
    return Play(manager.Get(), &sink, argv[1], volume);
}
