// What differs between the Linux program and Publish.exe: the terminal, the
// environment and the console's code page. Everything else is portable.
#pragma once

#include <string>

namespace publish {

// Lets the Windows console show UTF-8 text; nothing elsewhere.
void PrepareConsole();
bool ErrorIsTerminal();
bool InputIsTerminal();
// The variable's value in UTF-8; false when it is not set.
bool GetEnvironment(const char* name, std::string* value);
// Prompts on standard error and reads a line from the terminal without echo.
bool ReadPassword(const std::string& prompt, std::string* password);

}  // namespace publish
