// Update.exe: brings one installed game up to the newest version that the
// update server offers. Started by the lobby as
//   Update.exe <game id> <lobby window> <lobby process id>
#include <windows.h>

#include "Update.h"

namespace {

const wchar_t kInstanceMutex[] = L"___update_exe__:ux70413952";

}  // namespace

int wmain() {
    // Held, never released, until the process ends: one updater at a time.
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    HANDLE instance = CreateMutexW(&attributes, TRUE, kInstanceMutex);
    if (!instance || GetLastError() == ERROR_ALREADY_EXISTS) return 0;
    CUpdate update;
    return update.Run();
}
