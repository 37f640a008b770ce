// A program the updater's tests start. With "--wait" it lingers up to two
// minutes (a stand-in lobby process the test ends); otherwise it appends its
// working directory and arguments, as a UTF-8 line, to the file named by
// KIT_PROBE_LOG and exits.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wcscmp(argv[1], L"--wait") == 0) {
        Sleep(120000);
        return 0;
    }
    wchar_t log[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"KIT_PROBE_LOG", log, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    wchar_t cwd[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring line = cwd;
    for (int i = 1; i < argc; ++i) line += std::wstring(L"|") + argv[i];
    line += L"\n";
    char utf8[4 * MAX_PATH + 4096];
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), utf8,
                                         sizeof(utf8), nullptr, nullptr);
    FILE* file = _wfopen(log, L"ab");
    if (!file) return 1;
    std::fwrite(utf8, 1, static_cast<size_t>(size), file);
    std::fclose(file);
    return 0;
}
