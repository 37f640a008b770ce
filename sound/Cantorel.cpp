#include <windows.h>

extern "C" HRESULT STDAPICALLTYPE CreateSoundManager(void** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}
