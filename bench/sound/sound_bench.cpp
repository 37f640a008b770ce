// Times CreateSoundFromFile on one file through Cantorel.dll and reports the
// process's peak memory.   sound_bench.exe FILE [RUNS]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "Cantorel.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fwprintf(stderr, L"usage: sound_bench FILE [RUNS]\n");
        return 1;
    }
    const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
    HMODULE dll = LoadLibraryW(L"Cantorel.dll");
    auto create = dll ? reinterpret_cast<PFN_CreateSoundManager>(
                            reinterpret_cast<void*>(GetProcAddress(dll, "CreateSoundManager")))
                      : nullptr;
    ISoundManager* manager = nullptr;
    if (!create || FAILED(create(&manager))) return 1;
    HWND window = CreateWindowExW(0, L"STATIC", L"sound_bench", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (FAILED(manager->Initialize(window))) return 1;

    PROCESS_MEMORY_COUNTERS before = {sizeof(before)};
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before));
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    double best = 1e30;
    double total = 0;
    for (int i = 0; i < runs; ++i) {
        ISoundObject* sound = nullptr;
        QueryPerformanceCounter(&start);
        const HRESULT hr = manager->CreateSoundFromFile(argv[1], &sound);
        QueryPerformanceCounter(&stop);
        if (FAILED(hr)) {
            std::fwprintf(stderr, L"CreateSoundFromFile failed: 0x%08lX\n", static_cast<unsigned long>(hr));
            return 1;
        }
        sound->Release();
        const double seconds = static_cast<double>(stop.QuadPart - start.QuadPart) / frequency.QuadPart;
        best = std::min(best, seconds);
        total += seconds;
    }
    PROCESS_MEMORY_COUNTERS after = {sizeof(after)};
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after));
    std::wprintf(L"CreateSoundFromFile: best %.3f s, mean %.3f s over %d runs\n", best, total / runs, runs);
    std::wprintf(L"peak private bytes %.1f MB (%.1f MB before decoding), peak working set %.1f MB\n",
                 after.PeakPagefileUsage / 1048576.0, before.PagefileUsage / 1048576.0,
                 after.PeakWorkingSetSize / 1048576.0);
    manager->Release();
    DestroyWindow(window);
    FreeLibrary(dll);
    return 0;
}
