// The update manifest as the updater reads it: an "Update" element with the
// game, the version after the update and the download base URL, and "File"
// items in the order the updater carries them out. Text is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace publish {

enum : int { kOpDownload = 0, kOpDelete = 1, kOpMove = 2, kOpRun = 4 };

// One "File" item. Its attributes stay in the order they were written, so an
// item this program does not make itself (a run item an operator added) goes
// out again as it came in.
struct tagItem {
    std::vector<std::pair<std::string, std::string>> attributes_;

    const std::string& Get(const char* name) const;
    uint64_t Version() const;
    int Op() const;
};

struct tagManifest {
    uint32_t game_ = 0;
    uint64_t version_ = 0;
    std::string url_;
    // When the release was signed and when updaters with a key stop taking
    // it, in seconds since 1970; released_ 0: no stamp (an older manifest).
    uint64_t released_ = 0;
    uint64_t expires_ = 0;
    std::vector<tagItem> items_;
};

tagItem MakeDownload(uint64_t version, const std::string& path, const std::string& fname, uint64_t size,
                     const std::string& sha256);
tagItem MakeDelete(uint64_t version, const std::string& path);
tagItem MakeMove(uint64_t version, const std::string& src, const std::string& des);

// The manifest bytes M: UTF-8 with a declaration, one item a line.
std::string FormatManifest(const tagManifest& manifest);
// Reads what FormatManifest writes and hand-written manifests of the same
// shape (attributes only; other children of "Update" are dropped).
bool ParseManifest(const std::string& xml, tagManifest* manifest, std::string* error);

// A signed body: M, then "<!-- signature", a line end, a .minisig file's
// content and "-->". The last such block counts; only blanks may follow it.
bool SplitSignedBody(const std::string& body, std::string* manifest, std::string* minisig, std::string* error);
std::string JoinSignedBody(const std::string& manifest, const std::string& minisig);

// Strict unsigned decimal: digits only, no sign, no overflow past limit.
bool ParseDecimal(const std::string& text, uint64_t limit, uint64_t* value);

}  // namespace publish
