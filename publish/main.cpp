// publish: turns game folders into a signed, static update site.
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"

#ifdef _WIN32
#include <windows.h>

// Arguments arrive as UTF-16; the program works in UTF-8 throughout.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(static_cast<size_t>(bytes > 0 ? bytes - 1 : 0), '\0');
        if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &arg[0], bytes, nullptr, nullptr);
        args.push_back(arg);
    }
    publish::PrepareConsole();
    return publish::RunCommand(args);
}
#else
int main(int argc, char** argv) {
    return publish::RunCommand(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
