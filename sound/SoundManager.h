// CSoundManager: the DirectSound device, the hidden window that delivers
// end-of-sound reports on the initialising thread, the worker that watches
// the playing sounds, and the registry of those sounds.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <map>

#include "Cantorel.h"
#include "KernelHandle.h"

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
    IDirectSound8* Device() const { return device_; }
    long Volume() const { return volume_; }
    CRITICAL_SECTION* Lock() { return &lock_; }
    // Adds the sound to the registry and takes the registry's reference on
    // it; a sound already registered is left as it is. False when memory is
    // short (the sound is then not registered).
    bool Register(CSoundObject* sound);
    // Removes the sound from the registry; true if it was there (the caller
    // then drops the registry's reference, outside the lock).
    bool Unregister(CSoundObject* sound);

private:
    CSoundManager();
    ~CSoundManager();

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI WorkerMain(void* param);
    void PollPlayingSounds();
    void OnSoundEndMessage(WPARAM sound);
    HRESULT FailInitialize(HRESULT hr);

    IDirectSound8* device_ = nullptr;
    IDirectSoundBuffer* primary_ = nullptr;
    CKernelHandle worker_;
    CKernelHandle stopEvent_;
    CRITICAL_SECTION lock_;
    long volume_ = 0;
    ISoundSink* sink_ = nullptr;
    HWND window_ = nullptr;
    LONG refs_ = 1;
    std::map<CSoundObject*, CSoundObject*> registry_;
    short left_[kScratchSamples];
    short right_[kScratchSamples];
};
