#include "SoundManager.h"

#include <climits>
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
    const kit::CFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 || size.QuadPart > LONG_MAX) {
        return nullptr;
    }
    const DWORD total = static_cast<DWORD>(size.QuadPart);
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[total]);
    if (!block) return nullptr;
    for (DWORD done = 0; done < total;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), block.get() + done, total - done, &read, nullptr) || read == 0)
            return nullptr;
        done += read;
    }
    *length = total;
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

CSoundManager::CSoundManager() = default;

CSoundManager::~CSoundManager() {
    Uninitialize();
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
    UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
    kit::RegisterMessageWindowClass(kWindowClass, &kit::UserDataWindowProc<CSoundManager>);
    if (!window_.Create(kWindowClass, kWindowTitle, this)) return FailInitialize(E_FAIL);

    HRESULT hr = DirectSoundCreate8(nullptr, &device_, nullptr);
    if (FAILED(hr)) return FailInitialize(hr);
    hr = device_->SetCooperativeLevel(appWindow, DSSCL_NORMAL);
    if (FAILED(hr)) return FailInitialize(hr);
    DSBUFFERDESC desc = {};
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    hr = device_->CreateSoundBuffer(&desc, &primary_, nullptr);
    if (FAILED(hr)) return FailInitialize(hr);

    stopEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent_) return FailInitialize(E_FAIL);
    worker_.Reset(CreateThread(nullptr, 0, &CSoundManager::WorkerMain, this, 0, nullptr));
    if (!worker_) return FailInitialize(E_FAIL);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSoundManager::Uninitialize() {
    if (window_) {
        // Only the owning thread can destroy the window; from any other one
        // it is let go and asked to close itself.
        if (GetWindowThreadProcessId(window_.Get(), nullptr) == GetCurrentThreadId()) {
            window_.Destroy();
        } else {
            PostMessageW(window_.Detach(), WM_CLOSE, 0, 0);
        }
    }
    if (stopEvent_) {
        SetEvent(stopEvent_.Get());
        if (worker_) {
            WaitForSingleObject(worker_.Get(), INFINITE);
            worker_.Reset();
        }
        stopEvent_.Reset();
    }
    std::map<CSoundObject*, kit::CComPtr<CSoundObject>> playing;
    {
        const kit::CLockGuard lock(lock_);
        playing.swap(registry_);
    }
    for (auto& entry : playing) {
        entry.second->DetachManager();
        entry.second->Stop();
        entry.second.Reset();
    }
    primary_.Reset();
    device_.Reset();
    sink_.Reset();
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
    const kit::CLockGuard lock(lock_);
    for (const auto& entry : registry_) entry.second->SetVolume(volume);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoundManager::GetVolume(long* volume) {
    if (!volume) return E_POINTER;
    *volume = volume_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoundManager::SetSink(ISoundSink* sink) {
    if (sink != sink_.Get()) sink_ = kit::CComPtr<ISoundSink>(sink);
    return S_OK;
}

bool CSoundManager::Register(CSoundObject* sound) {
    const kit::CLockGuard lock(lock_);
    try {
        // Takes a reference only when the sound was not registered yet.
        registry_.try_emplace(sound, sound);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

kit::CComPtr<CSoundObject> CSoundManager::Unregister(CSoundObject* sound) {
    kit::CComPtr<CSoundObject> registered;
    const kit::CLockGuard lock(lock_);
    const auto it = registry_.find(sound);
    if (it != registry_.end()) {
        registered = std::move(it->second);
        registry_.erase(it);
    }
    return registered;
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
    const kit::CLockGuard lock(lock_);
    for (const auto& entry : registry_) {
        CSoundObject* sound = entry.first;
        if (sound->EndReported() || sound->IsPlaying()) continue;
        PostMessageW(window_.Get(), WM_SOUND_END, reinterpret_cast<WPARAM>(static_cast<ISoundObject*>(sound)),
                     reinterpret_cast<LPARAM>(this));
        sound->MarkEndReported();
    }
}

void CSoundManager::OnSoundEndMessage(WPARAM soundParam) {
    kit::CComPtr<CSoundObject> sound;
    {
        const kit::CLockGuard lock(lock_);
        const auto it = registry_.find(reinterpret_cast<CSoundObject*>(soundParam));
        // A sound played again after the report was posted is still playing:
        // its new end is reported later.
        if (it != registry_.end() && it->second->EndReported()) {
            sound = std::move(it->second);
            registry_.erase(it);
        }
    }
    if (!sound) return;
    // The sink runs outside the lock: it may uninitialise or release the
    // manager, which waits for the worker, which may be waiting for the lock.
    // Nothing of the manager is touched after the call.
    const kit::CComPtr<ISoundSink> sink(sink_);
    if (sink) sink->OnSoundEnd(this, sound.Get());
}

LRESULT CSoundManager::OnWindowMessage(CSoundManager* manager, HWND window, UINT message, WPARAM wParam,
                                       LPARAM lParam) {
    if (message != WM_SOUND_END) return DefWindowProcW(window, message, wParam, lParam);
    if (manager && lParam == reinterpret_cast<LPARAM>(manager)) manager->OnSoundEndMessage(wParam);
    return 1;
}
