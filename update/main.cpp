// Update.exe: brings one installed game up to the newest version that the
// update server offers. Started by the lobby as
//   Update.exe <game id> <lobby window> <lobby process id>
#include <windows.h>

#include "Update.h"
#include "base/UniqueHandle.h"

namespace {

// Every copy of the updater, whatever its version, checks this exact name
// (local namespace, no "Global\\" prefix): change nothing in it.
const wchar_t kInstanceMutex[] = L"___update_exe__:ux70413952";

}  // namespace

int wmain() {
    // Owned, never released, for the whole run: one updater at a time. The
    // handle closes only after the update object is gone, as the process ends.
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    const kit::CKernelHandle instance(CreateMutexW(&attributes, TRUE, kInstanceMutex));
    if (!instance || GetLastError() == ERROR_ALREADY_EXISTS) return 0;
    CUpdate update;
    return update.Run();
}
