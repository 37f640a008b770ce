// CSoundManager: the DirectSound device, the hidden window that delivers
// end-of-sound reports on the initialising thread, the worker that watches
// the playing sounds, and the registry of those sounds.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <map>

#include "Cantorel.h"
#include "base/ComPtr.h"
#include "base/Lock.h"
#include "base/MessageWindow.h"
#include "base/UniqueHandle.h"

class CSoundObject;

class CSoundManager final : public ISoundManager {
public:
    // Samples per channel of each MPEG scratch array.
    static constexpr unsigned kScratchSamples = 65536;

    // A new manager with count 1, or null when memory is short.
    static CSoundManager* Create();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // ISoundManager
    HRESULT STDMETHODCALLTYPE Initialize(HWND appWindow) override;
    HRESULT STDMETHODCALLTYPE Uninitialize() override;
    HRESULT STDMETHODCALLTYPE CreateSoundFromFile(const wchar_t* path, ISoundObject** out) override;
    HRESULT STDMETHODCALLTYPE CreateSoundFromMemory(const void* data, unsigned size, SoundType type,
                                                    ISoundObject** out) override;
    HRESULT STDMETHODCALLTYPE SetVolume(long volume) override;
    HRESULT STDMETHODCALLTYPE GetVolume(long* volume) override;
    HRESULT STDMETHODCALLTYPE SetSink(ISoundSink* sink) override;

    // Used by the sound objects.
    IDirectSound8* Device() const { return device_.Get(); }
    long Volume() const { return volume_; }
    kit::CCriticalSection* Lock() { return &lock_; }
    // Adds the sound to the registry and takes the registry's reference on
    // it; a sound already registered is left as it is. False when memory is
    // short (the sound is then not registered).
    bool Register(CSoundObject* sound);
    // Removes the sound from the registry and hands over the registry's
    // reference (null when it was not there), for the caller to drop
    // outside the lock.
    kit::CComPtr<CSoundObject> Unregister(CSoundObject* sound);

    // The hidden window's messages (null manager: the window is unhooked).
    static LRESULT OnWindowMessage(CSoundManager* manager, HWND window, UINT message, WPARAM wParam,
                                   LPARAM lParam);

private:
    CSoundManager();
    ~CSoundManager();

    static DWORD WINAPI WorkerMain(void* param);
    void PollPlayingSounds();
    void OnSoundEndMessage(WPARAM sound);
    HRESULT FailInitialize(HRESULT hr);

    kit::CComPtr<IDirectSound8> device_;
    kit::CComPtr<IDirectSoundBuffer> primary_;
    kit::CKernelHandle worker_;
    kit::CKernelHandle stopEvent_;
    kit::CCriticalSection lock_;
    long volume_ = 0;
    kit::CComPtr<ISoundSink> sink_;
    kit::CMessageWindow window_;
    LONG refs_ = 1;
    // Each entry holds the registry's reference to a playing sound.
    std::map<CSoundObject*, kit::CComPtr<CSoundObject>> registry_;
    short left_[kScratchSamples];
    short right_[kScratchSamples];
};
