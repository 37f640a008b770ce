#include <windows.h>

#include <cstdio>

int wmain() {
    std::puts("Update: not built yet");
    return 0;
}
