// The subcommands. Each returns the process exit code: 0 done, 1 failed
// while working (or, for verify, problems found), 2 refused before anything
// was written.
#pragma once

#include <string>
#include <vector>

namespace publish {

enum : int { kExitOk = 0, kExitFailed = 1, kExitRefused = 2 };

// The environment variable that holds the password of an encrypted key.
extern const char kPasswordVariable[];

int RunCommand(const std::vector<std::string>& args);

}  // namespace publish
