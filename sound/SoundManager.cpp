#include "SoundManager.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "SoundDecode.h"
#include "SoundObject.h"

namespace {

const wchar_t kWindowClass[] = L"__soundmanager_wnd_class_";
const wchar_t kWindowTitle[] = L"UX:70413952";
constexpr DWORD kPollMilliseconds = 100;

// The file's whole contents; null when it cannot be read or is empty.
std::unique_ptr<unsigned char[]> ReadWholeFile(const wchar_t* path, unsigned* length) {
    *length = 0;
    FILE* file = nullptr;
    if (_wfopen_s(&file, path, L"rb") != 0 || !file) return nullptr;
    std::unique_ptr<FILE, int (*)(FILE*)> closer(file, &std::fclose);
    if (std::fseek(file, 0, SEEK_END) != 0) return nullptr;
    const long size = std::ftell(file);
    if (size <= 0 || std::fseek(file, 0, SEEK_SET) != 0) return nullptr;
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[size]);
    if (!block || std::fread(block.get(), 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
        return nullptr;
    }
    *length = static_cast<unsigned>(size);
    return block;
}

// The sound type named by the path's extension (the text from its last '.'),
// or -1.
int SoundTypeOfPath(const wchar_t* path) {
    const wchar_t* dot = std::wcsrchr(path, L'.');
    if (!dot || std::wcslen(dot) != 4) return -1;
    wchar_t ext[5] = {};
    for (int i = 0; i < 4; ++i) ext[i] = (dot[i] >= L'A' && dot[i] <= L'Z') ? dot[i] - L'A' + L'a' : dot[i];
    if (std::wcscmp(ext, L".wav") == 0) return SoundTypeWave;
    if (std::wcscmp(ext, L".mp3") == 0 || std::wcscmp(ext, L".mpa") == 0) return SoundTypeMpeg;
    if (std::wcscmp(ext, L".ogg") == 0) return SoundTypeOgg;
    return -1;
}

template <typename T>
void ReleaseAndClear(T*& p) {
    if (p) p->Release();
    p = nullptr;
}

// Sound objects from the two image types; null when the image is rejected or
// DirectSound refuses the buffer.
CSoundObject* CreateWaveSound(CSoundManager* manager, const unsigned char* image, unsigned size) {
    std::vector<unsigned char> format;
    const unsigned char* samples = nullptr;
    DWORD byteLength = 0;
    if (!ParseWave(image, size, &format, &samples, &byteLength)) return nullptr;
    return CSoundObject::Create(manager, *reinterpret_cast<const WAVEFORMATEX*>(format.data()), samples,
                                byteLength);
}

CSoundObject* CreateMpegSound(CSoundManager* manager, const unsigned char* image, unsigned size, short* left,
                              short* right, unsigned scratchSamples) {
    WAVEFORMATEX format;
    std::vector<short> pcm;
    if (!DecodeMpeg(image, size, left, right, scratchSamples, &format, &pcm)) return nullptr;
    return CSoundObject::Create(manager, format, pcm.data(), static_cast<DWORD>(pcm.size() * sizeof(short)));
}

}  // namespace

CSoundManager::CSoundManager() {
    InitializeCriticalSection(&lock_);
}

CSoundManager::~CSoundManager() {
    Uninitialize();
    DeleteCriticalSection(&lock_);
}

CSoundManager* CSoundManager::Create() {
    return new (std::nothrow) CSoundManager();
}

HRESULT STDMETHODCALLTYPE CSoundManager::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (std::memcmp(&iid, &IID_ISoundManager, sizeof(IID)) != 0) return E_NOINTERFACE;
    *out = static_cast<ISoundManager*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CSoundManager::AddRef() {
    return ++refs_;
}

ULONG STDMETHODCALLTYPE CSoundManager::Release() {
    const LONG refs = --refs_;
    if (refs == 0) delete this;
    return refs;
}

HRESULT CSoundManager::FailInitialize(HRESULT hr) {
    Uninitialize();
    return hr;
}

HRESULT STDMETHODCALLTYPE CSoundManager::Initialize(HWND appWindow) {
    if (worker_) return FailInitialize(E_FAIL);

    // The class belongs to the host's module; registering it anew each time
    // keeps its window procedure pointing into this copy of the library.
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &CSoundManager::WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    UnregisterClassW(kWindowClass, instance);
    RegisterClassW(&wc);
    window_ =
        CreateWindowExW(0, kWindowClass, kWindowTitle, 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (!window_) return FailInitialize(E_FAIL);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    HRESULT hr = DirectSoundCreate8(nullptr, &device_, nullptr);
    if (FAILED(hr)) return FailInitialize(hr);
    hr = device_->SetCooperativeLevel(appWindow, DSSCL_NORMAL);
    if (FAILED(hr)) return FailInitialize(hr);
    DSBUFFERDESC desc = {};
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    hr = device_->CreateSoundBuffer(&desc, &primary_, nullptr);
    if (FAILED(hr)) return FailInitialize(hr);

    stopEvent_ = CKernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent_) return FailInitialize(E_FAIL);
    worker_ = CKernelHandle(CreateThread(nullptr, 0, &CSoundManager::WorkerMain, this, 0, nullptr));
    if (!worker_) return FailInitialize(E_FAIL);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSoundManager::Uninitialize() {
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        // Only the owning thread can destroy the window; from any other one
        // it is asked to close itself.
        if (!DestroyWindow(window_)) PostMessageW(window_, WM_CLOSE, 0, 0);
        window_ = nullptr;
    }
    if (stopEvent_) {
        SetEvent(stopEvent_.Get());
        if (worker_) {
            WaitForSingleObject(worker_.Get(), INFINITE);
            worker_.Reset();
        }
        stopEvent_.Reset();
    }
    std::map<CSoundObject*, CSoundObject*> playing;
    EnterCriticalSection(&lock_);
    playing.swap(registry_);
    LeaveCriticalSection(&lock_);
    for (const auto& entry : playing) {
        entry.second->DetachManager();
        entry.second->Stop();
        entry.second->Release();
    }
    ReleaseAndClear(primary_);
    ReleaseAndClear(device_);
    ReleaseAndClear(sink_);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoundManager::CreateSoundFromFile(const wchar_t* path, ISoundObject** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!path) return E_INVALIDARG;
    const int type = SoundTypeOfPath(path);
    if (type < 0) return E_FAIL;
    unsigned length = 0;
    const std::unique_ptr<unsigned char[]> block = ReadWholeFile(path, &length);
    if (!block) return E_FAIL;
    return CreateSoundFromMemory(block.get(), length, static_cast<SoundType>(type), out);
}

HRESULT STDMETHODCALLTYPE CSoundManager::CreateSoundFromMemory(const void* data, unsigned size,
                                                               SoundType type, ISoundObject** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (size == 0) return E_INVALIDARG;
    if (!data) return E_POINTER;
    if (!device_) return E_FAIL;
    const auto* image = static_cast<const unsigned char*>(data);
    CSoundObject* sound = nullptr;
    if (type == SoundTypeWave) {
        sound = CreateWaveSound(this, image, size);
    } else if (type == SoundTypeMpeg) {
        sound = CreateMpegSound(this, image, size, left_, right_, kScratchSamples);
    }
    if (!sound) return E_FAIL;
    *out = sound;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoundManager::SetVolume(long volume) {
    volume_ = volume;
    EnterCriticalSection(&lock_);
    for (const auto& entry : registry_) entry.second->SetVolume(volume);
    LeaveCriticalSection(&lock_);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoundManager::GetVolume(long* volume) {
    if (!volume) return E_POINTER;
    *volume = volume_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoundManager::SetSink(ISoundSink* sink) {
    if (sink == sink_) return S_OK;
    if (sink) sink->AddRef();
    ReleaseAndClear(sink_);
    sink_ = sink;
    return S_OK;
}

bool CSoundManager::Register(CSoundObject* sound) {
    EnterCriticalSection(&lock_);
    bool added = false;
    bool ok = true;
    try {
        added = registry_.emplace(sound, sound).second;
    } catch (const std::exception&) {
        ok = false;
    }
    if (added) sound->AddRef();
    LeaveCriticalSection(&lock_);
    return ok;
}

bool CSoundManager::Unregister(CSoundObject* sound) {
    EnterCriticalSection(&lock_);
    const bool erased = registry_.erase(sound) != 0;
    LeaveCriticalSection(&lock_);
    return erased;
}

DWORD WINAPI CSoundManager::WorkerMain(void* param) {
    auto* manager = static_cast<CSoundManager*>(param);
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (WaitForSingleObject(manager->stopEvent_.Get(), kPollMilliseconds) == WAIT_TIMEOUT) {
        manager->PollPlayingSounds();
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
}

void CSoundManager::PollPlayingSounds() {
    EnterCriticalSection(&lock_);
    for (const auto& entry : registry_) {
        CSoundObject* sound = entry.second;
        if (sound->EndReported() || sound->IsPlaying()) continue;
        PostMessageW(window_, WM_SOUND_END, reinterpret_cast<WPARAM>(static_cast<ISoundObject*>(sound)),
                     reinterpret_cast<LPARAM>(this));
        sound->MarkEndReported();
    }
    LeaveCriticalSection(&lock_);
}

void CSoundManager::OnSoundEndMessage(WPARAM soundParam) {
    CSoundObject* sound = nullptr;
    EnterCriticalSection(&lock_);
    const auto it = registry_.find(reinterpret_cast<CSoundObject*>(soundParam));
    // A sound played again after the report was posted is still playing: its
    // new end is reported later.
    if (it != registry_.end() && it->second->EndReported()) {
        sound = it->second;
        registry_.erase(it);
    }
    LeaveCriticalSection(&lock_);
    if (!sound) return;
    // The sink runs outside the lock: it may uninitialise or release the
    // manager, which waits for the worker, which may be waiting for the lock.
    // Nothing of the manager is touched after the call.
    ISoundSink* sink = sink_;
    if (sink) {
        sink->AddRef();
        sink->OnSoundEnd(this, sound);
        sink->Release();
    }
    sound->Release();
}

LRESULT CALLBACK CSoundManager::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_SOUND_END) return DefWindowProcW(window, message, wParam, lParam);
    auto* manager = reinterpret_cast<CSoundManager*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (manager && lParam == reinterpret_cast<LPARAM>(manager)) manager->OnSoundEndMessage(wParam);
    return 1;
}
