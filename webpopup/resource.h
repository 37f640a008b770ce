// Resource ids of Vistrel.exe.
#pragma once

#define IDI_VISTREL_LARGE 107
#define IDI_VISTREL_SMALL 108
#define IDB_VISTREL_FRAME 129
#define IDB_VISTREL_CLOSE 130
