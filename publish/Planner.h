// The release planner: from the site's current manifest and the two game
// folders' listings to the next manifest. No I/O: the caller lists and hashes
// the folders, stores the files and signs the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Manifest.h"

namespace publish {

// One file of a game folder: path relative to the folder with backslashes,
// UTF-8.
struct tagFileEntry {
    std::string path_;
    uint64_t size_ = 0;
    std::string sha256_;  // lower-case hexadecimal
};

struct tagReleaseInput {
    tagManifest current_;  // game_ 0, version 0 and no items when the site has none yet
    bool hasOld_ = false;
    std::vector<tagFileEntry> old_;
    std::vector<tagFileEntry> new_;
    uint32_t game_ = 0;
    uint64_t version_ = 0;
    std::string url_;
};

struct tagReleasePlan {
    tagManifest manifest_;
    std::vector<tagFileEntry> stored_;  // the new version's downloads, one per content
    size_t downloads_ = 0;
    size_t deletes_ = 0;
    size_t moves_ = 0;
    size_t kept_ = 0;     // earlier items carried over
    size_t dropped_ = 0;  // earlier downloads the new version makes useless
};

// The store's name of a content: "ab/abcdef..." (also the items' fname).
std::string StoreName(const std::string& sha256);

// Refusals that need no hashing, checked before the folders are read.
bool CheckVersion(const tagManifest& current, uint64_t version, std::string* refusal);
// The longest relative path, in UTF-16 units. Windows' full paths stay
// below 260 units with the terminating zero: 259 = install folder with its
// backslash + path + 1 (the "_" of a download's partial file). 160 leaves 98
// units for the install folder, such as "C:\Program Files (x86)\" (23) and
// 75 more for the platform's and the game's folders.
constexpr long kMaxRelativePath = 160;

// A relative backslash path the updater can create on Windows in a typical
// install folder.
bool CheckInstallablePath(const std::string& path, std::string* refusal);

// False with a reason when the release must be refused.
bool PlanRelease(const tagReleaseInput& input, tagReleasePlan* plan, std::string* refusal);

}  // namespace publish
