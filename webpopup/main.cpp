// Vistrel.exe: shows one web page in a skinned pop-up, optionally inside a
// parent window that is told about every top-level navigation.
#include <windows.h>

#include "WebWnd.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    CoInitialize(nullptr);
    int exitCode = 0;
    {
        CWebWnd popup;
        if (popup.Create(instance)) exitCode = popup.MessageLoop();
        popup.Destroy();
    }
    CoUninitialize();
    return exitCode;
}
