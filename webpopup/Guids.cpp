// Interface ids that MinGW's uuid library does not define.
#include <windows.h>
#include <mshtmhst.h>

extern "C" const IID IID_IDocHostUIHandler2 = {
    0x3050f6d0, 0x98b5, 0x11cf, {0xbb, 0x82, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x0b}};
