#include "Console.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace publish {

#ifdef _WIN32

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
    return out;
}

}  // namespace

void PrepareConsole() { SetConsoleOutputCP(CP_UTF8); }
bool ErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
bool InputIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

bool GetEnvironment(const char* name, std::string* value) {
    const std::wstring wide(name, name + std::char_traits<char>::length(name));
    const wchar_t* found = _wgetenv(wide.c_str());
    if (!found) return false;
    *value = Utf8(found);
    return true;
}

bool ReadPassword(const std::string& prompt, std::string* password) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return false;
    std::fputs(prompt.c_str(), stderr);
    SetConsoleMode(input, mode & ~ENABLE_ECHO_INPUT);
    std::wstring line;
    wchar_t c;
    DWORD read = 0;
    while (ReadConsoleW(input, &c, 1, &read, nullptr) && read == 1 && c != L'\n') {
        if (c != L'\r') line += c;
    }
    SetConsoleMode(input, mode);
    std::fputs("\n", stderr);
    *password = Utf8(line);
    return true;
}

#else

void PrepareConsole() {}
bool ErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }
bool InputIsTerminal() { return isatty(STDIN_FILENO) != 0; }

bool GetEnvironment(const char* name, std::string* value) {
    const char* found = std::getenv(name);
    if (!found) return false;
    *value = found;
    return true;
}

bool ReadPassword(const std::string& prompt, std::string* password) {
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
    std::fputs(prompt.c_str(), stderr);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string line;
    const bool ok = static_cast<bool>(std::getline(std::cin, line));
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    *password = line;
    return ok;
}

#endif

}  // namespace publish
