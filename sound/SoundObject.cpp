#include "SoundObject.h"

#include <cstring>
#include <new>

#include "SoundManager.h"

namespace {

// The description with the 3D algorithm field, which DirectSound 7 and later take.
static_assert(sizeof(DSBUFFERDESC) > sizeof(DSBUFFERDESC1), "DirectSound 7+ buffer description");

// Static, software-mixed, volume control, stop notification, audible when the
// host window has no focus.
constexpr DWORD kBufferFlags = DSBCAPS_STATIC | DSBCAPS_LOCSOFTWARE | DSBCAPS_CTRLVOLUME |
                               DSBCAPS_CTRLPOSITIONNOTIFY | DSBCAPS_GLOBALFOCUS;
static_assert(kBufferFlags == 0x818A, "buffer flags");

}  // namespace

CSoundObject::CSoundObject(CSoundManager* manager, IDirectSound8* device)
    : manager_(manager), device_(device) {}

CSoundObject::~CSoundObject() {
    InterlockedExchange(&endReported_, 1);
    if (buffer_) buffer_->Stop();
    // The buffer goes before the device that made it.
    buffer_.Reset();
}

CSoundObject* CSoundObject::Create(CSoundManager* manager, const WAVEFORMATEX& format, const void* samples,
                                   DWORD byteLength) {
    IDirectSound8* device = manager->Device();
    if (!device) return nullptr;
    kit::CComPtr<CSoundObject> sound;
    sound.Attach(new (std::nothrow) CSoundObject(manager, device));
    if (!sound) return nullptr;
    sound->endEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));

    DSBUFFERDESC desc = {};
    desc.dwSize = sizeof(desc);
    desc.dwFlags = kBufferFlags;
    desc.dwBufferBytes = byteLength;
    desc.lpwfxFormat = const_cast<WAVEFORMATEX*>(&format);
    bool filled = false;
    if (sound->endEvent_ && SUCCEEDED(device->CreateSoundBuffer(&desc, &sound->buffer_, nullptr)) &&
        sound->buffer_) {
        void* region = nullptr;
        DWORD regionBytes = 0;
        if (SUCCEEDED(sound->buffer_->Lock(0, byteLength, &region, &regionBytes, nullptr, nullptr,
                                           DSBLOCK_ENTIREBUFFER))) {
            std::memcpy(region, samples, regionBytes < byteLength ? regionBytes : byteLength);
            filled = SUCCEEDED(sound->buffer_->Unlock(region, byteLength, nullptr, 0));
        }
    }
    if (!filled) return nullptr;
    // Without the notify interface the sound still plays; its end is then
    // never reported.
    kit::CComPtr<IDirectSoundNotify> notify;
    if (SUCCEEDED(sound->buffer_.As(IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify))) && notify) {
        DSBPOSITIONNOTIFY stop = {static_cast<DWORD>(DSBPN_OFFSETSTOP), sound->endEvent_.Get()};
        notify->SetNotificationPositions(1, &stop);
    }
    sound->SetVolume(manager->Volume());
    return sound.Detach();
}

HRESULT STDMETHODCALLTYPE CSoundObject::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (std::memcmp(&iid, &IID_ISoundObject, sizeof(IID)) != 0) return E_NOINTERFACE;
    *out = static_cast<ISoundObject*>(this);
    return S_OK;
}

ULONG STDMETHODCALLTYPE CSoundObject::AddRef() {
    return ++refs_;
}

ULONG STDMETHODCALLTYPE CSoundObject::Release() {
    const LONG refs = --refs_;
    if (refs == 0) delete this;
    return refs;
}

HRESULT STDMETHODCALLTYPE CSoundObject::Play() {
    if (!buffer_) return E_FAIL;
    // Under the manager's lock the worker cannot see the restart's stop as
    // the end of this play.
    const kit::CLockGuard lock(manager_ ? manager_->Lock() : nullptr);
    DWORD status = 0;
    if (SUCCEEDED(buffer_->GetStatus(&status)) && (status & DSBSTATUS_PLAYING)) buffer_->Stop();
    buffer_->SetCurrentPosition(0);
    ResetEvent(endEvent_.Get());
    const HRESULT hr = buffer_->Play(0, 0, 0);
    if (FAILED(hr)) return hr;
    InterlockedExchange(&endReported_, 0);
    if (manager_ && !manager_->Register(this)) {
        InterlockedExchange(&endReported_, 1);
        buffer_->Stop();
        return E_OUTOFMEMORY;
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE CSoundObject::Stop() {
    DWORD status = 0;
    if (!buffer_ || FAILED(buffer_->GetStatus(&status)) || !(status & DSBSTATUS_PLAYING)) return E_FAIL;
    InterlockedExchange(&endReported_, 1);
    // The registry's reference may be the last one: it goes once the buffer
    // is stopped, when this function returns.
    const kit::CComPtr<CSoundObject> registered = manager_ ? manager_->Unregister(this) : nullptr;
    return buffer_->Stop();
}

BOOL STDMETHODCALLTYPE CSoundObject::IsPlaying() {
    if (!endEvent_) return FALSE;
    return WaitForSingleObject(endEvent_.Get(), 0) != WAIT_OBJECT_0;
}

HRESULT STDMETHODCALLTYPE CSoundObject::SetVolume(long volume) {
    if (!buffer_) return E_FAIL;
    return buffer_->SetVolume(volume);
}

HRESULT STDMETHODCALLTYPE CSoundObject::GetVolume(long* volume) {
    if (!buffer_) return E_FAIL;
    if (!volume) return E_POINTER;
    return buffer_->GetVolume(volume);
}
