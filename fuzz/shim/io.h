// The one call of <io.h> the string helpers use; the fuzz targets never
// reach it.
#pragma once

#include "windows.h"

inline int _waccess(const wchar_t*, int) {
    kit_shim::Unavailable("_waccess");
}
