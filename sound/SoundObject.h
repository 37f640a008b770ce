// CSoundObject: one whole decoded sound in a static DirectSound buffer, with
// an event that DirectSound signals when the buffer stops.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include "Cantorel.h"
#include "base/ComPtr.h"
#include "base/UniqueHandle.h"

class CSoundManager;

class CSoundObject final : public ISoundObject {
public:
    // A new sound holding `byteLength` bytes of `samples` in `format`, with
    // count 1 and the manager's volume applied; null on any failure.
    static CSoundObject* Create(CSoundManager* manager, const WAVEFORMATEX& format, const void* samples,
                                DWORD byteLength);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // ISoundObject
    HRESULT STDMETHODCALLTYPE Play() override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    BOOL STDMETHODCALLTYPE IsPlaying() override;
    HRESULT STDMETHODCALLTYPE SetVolume(long volume) override;
    HRESULT STDMETHODCALLTYPE GetVolume(long* volume) override;

    // Used by the manager, under its lock.
    bool EndReported() const { return endReported_ != 0; }
    void MarkEndReported() { InterlockedExchange(&endReported_, 1); }
    void DetachManager() { manager_ = nullptr; }

private:
    CSoundObject(CSoundManager* manager, IDirectSound8* device);
    ~CSoundObject();

    CSoundManager* manager_;
    LONG refs_ = 1;
    // 0: the end of the current play is still to be reported; 1: reported,
    // stopped or being destroyed.
    volatile LONG endReported_ = 0;
    // Releasing the device destroys every buffer made from it: each sound
    // keeps it alive, so that it outlives the manager's Uninitialize.
    kit::CComPtr<IDirectSound8> device_;
    kit::CComPtr<IDirectSoundBuffer> buffer_;
    kit::CKernelHandle endEvent_;
};
