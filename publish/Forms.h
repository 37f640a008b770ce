// Smaller forms of a download, stored beside the raw files: the file's zstd
// frame ("zstd" attribute of its item) and zstd patches against contents its
// path held before ("patch" attribute). Updaters that do not know the
// attributes ignore them and fetch the raw file as before.
//
//   zstd="FNAME SIZE SHA256"
//   patch="BASE SINCE UNTIL FNAME SIZE SHA256;..."   newest base first
//
// BASE is the SHA-256 of the content the patch starts from; the path held it
// at the installed versions SINCE <= v < UNTIL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Planner.h"

namespace publish {

struct tagForm {
    std::string base_;  // empty for the compressed form
    uint64_t since_ = 0;
    uint64_t until_ = 0;
    std::string fname_;
    uint64_t size_ = 0;
    std::string sha256_;
};

struct tagFormOptions {
    int level_ = 19;
    size_t patchBases_ = 3;  // K: the last K contents of the path
};

// Files larger than this get no patch (the updater maps base and result).
constexpr uint64_t kMaxPatchFile = 512ull << 20;

std::string FormatZstdForm(const tagForm& form);
bool ParseZstdForm(const std::string& text, tagForm* form);
std::string FormatPatchForms(const std::vector<tagForm>& forms);
bool ParsePatchForms(const std::string& text, std::vector<tagForm>* forms);

// The contents a new download of `path` in version `version` may be patched
// from, newest first, at most `count`: what the path held in the old folder
// (since the item that put it there) and the bases of that item's own
// patches. `current` is the site's manifest before the release.
std::vector<tagForm> PatchBases(const tagManifest& current, const std::vector<tagFileEntry>& old,
                                const std::string& path, uint64_t version, size_t count);

#ifdef PUBLISH_WITH_ZSTD
// Makes the forms of every download `version` adds to `manifest` (files in
// `root`, earlier contents in `store`), stores those worth keeping and adds
// their attributes to the items. Works on all cores.
bool AddForms(const tagManifest& current, const std::vector<tagFileEntry>& old, const std::string& root,
              const std::string& store, const tagFormOptions& options, tagManifest* manifest, size_t* added,
              std::string* error);
#endif
// Checks a stored form's size and digest and, where zstd is at hand, that it
// decodes to the content with `sha256` (`store` holds a patch's base);
// `problem` says why not.
bool CheckForm(const std::string& store, const tagForm& form, const std::string& sha256, std::string* problem);

}  // namespace publish
