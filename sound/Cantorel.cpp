// The library's one export.
#include <windows.h>

#include "Cantorel.h"
#include "SoundManager.h"

extern "C" HRESULT STDAPICALLTYPE CreateSoundManager(ISoundManager** out) {
    if (!out) return E_POINTER;
    CSoundManager* manager = CSoundManager::Create();
    if (!manager) return E_OUTOFMEMORY;
    *out = manager;
    return S_OK;
}
