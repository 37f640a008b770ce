// Cantorel.dll: WAV and MP3 sound effects over DirectSound, for host programs.
//
// Loading: Cantorel.dll and libmp3lame-0.dll ship side by side. A host loads
// the library and looks up its one export by its plain name:
//
//     HMODULE dll = LoadLibraryW(L"Cantorel.dll");
//     auto create = reinterpret_cast<PFN_CreateSoundManager>(
//         GetProcAddress(dll, "CreateSoundManager"));
//     ISoundManager* manager = nullptr;
//     if (create && SUCCEEDED(create(&manager)) &&
//         SUCCEEDED(manager->Initialize(hostWindow))) { ... }
//
// Threading rules:
// - The thread that calls Initialize owns the manager's hidden window and
//   must pump messages: ISoundSink::OnSoundEnd is called on that thread, from
//   its message loop, about 100 ms after a sound has played to its end. A
//   sound stopped with ISoundObject::Stop is not reported.
// - CreateSoundFromFile and CreateSoundFromMemory must not run on two threads
//   at once (MP3 decoding uses shared scratch memory).
// - Reference counts are plain counters: do not AddRef or Release one object
//   on two threads at once.
// - Release every sound before the manager that made it. A sound that was
//   playing when the manager was uninitialised keeps working as a plain
//   buffer, without end reports.
//
// Volumes are DirectSound volumes in hundredths of a decibel: 0 is full
// volume, -10000 is silence.
#pragma once

#include <windows.h>
#include <unknwn.h>

#ifdef __cplusplus

// Posted to the manager's hidden window: wParam = the ISoundObject* that
// ended, lParam = the manager. Handled inside the library.
#define WM_SOUND_END 0x1231

// Type codes of CreateSoundFromMemory. Only wave and MPEG audio decode.
enum SoundType { SoundTypeWave = 0, SoundTypeMpeg = 1, SoundTypeOgg = 4 };

// {94DD4468-6850-4422-8D86-D150C779BD7C}
static const IID IID_ISoundManager = {
    0x94dd4468, 0x6850, 0x4422, {0x8d, 0x86, 0xd1, 0x50, 0xc7, 0x79, 0xbd, 0x7c}};
// {383E9A1E-8229-493C-BF90-0283BA459138}
static const IID IID_ISoundObject = {
    0x383e9a1e, 0x8229, 0x493c, {0xbf, 0x90, 0x02, 0x83, 0xba, 0x45, 0x91, 0x38}};

// One decoded sound in a static DirectSound buffer, played once from its start.
// QueryInterface accepts IID_ISoundObject only and does not AddRef.
struct ISoundObject : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Play() = 0;
    // E_FAIL when the sound is not playing.
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    // 1 while playing (and before the first play), 0 once the sound stopped.
    virtual BOOL STDMETHODCALLTYPE IsPlaying() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetVolume(long volume) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVolume(long* volume) = 0;
};

struct ISoundManager;

// Implemented by the host. The library calls AddRef, Release and OnSoundEnd
// (whose result it ignores); the sink may call back into the manager.
struct ISoundSink : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnSoundEnd(ISoundManager* manager, ISoundObject* sound) = 0;
};

// QueryInterface accepts IID_ISoundManager only (and AddRefs).
struct ISoundManager : public IUnknown {
    // appWindow is used for the DirectSound cooperative level. A second call
    // on an initialised manager fails with E_FAIL and uninitialises it.
    virtual HRESULT STDMETHODCALLTYPE Initialize(HWND appWindow) = 0;
    // Stops the playing sounds without reporting them; always S_OK.
    virtual HRESULT STDMETHODCALLTYPE Uninitialize() = 0;
    // Type by extension: ".wav", ".mp3", ".mpa" (any case); ".ogg" fails.
    virtual HRESULT STDMETHODCALLTYPE CreateSoundFromFile(const wchar_t* path, ISoundObject** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateSoundFromMemory(const void* data, unsigned size, SoundType type,
                                                            ISoundObject** out) = 0;
    // Applies to the sounds playing now and to every sound created later.
    virtual HRESULT STDMETHODCALLTYPE SetVolume(long volume) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVolume(long* volume) = 0;
    // The manager holds one reference on the sink; null removes it.
    virtual HRESULT STDMETHODCALLTYPE SetSink(ISoundSink* sink) = 0;
};

extern "C" {
typedef HRESULT(STDAPICALLTYPE* PFN_CreateSoundManager)(ISoundManager** out);
}

#endif  // __cplusplus
