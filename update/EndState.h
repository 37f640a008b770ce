// What a manifest leaves in a game folder, worked out from its items alone
// (no I/O): the files after every download, delete and move in order, the
// names its items install, and the most extra disk space a run can need at
// once. Repair, the partial-file names and the space check build on it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "UpdatePlan.h"

// One "File" item as far as the folder's content goes. A move reads `path`
// as its source and `to` as its destination; `size` is a download's.
struct tagFileStep {
    ManifestOp op = OpIgnored;
    std::wstring path;
    std::wstring to;
    int64_t size = 0;
};

// A file the steps leave: where it ends up and the download that brought it.
struct tagEndFile {
    std::wstring path;
    size_t step = 0;
};

// Windows compares names without regard to case, and takes "/" for "\".
std::wstring FoldPath(const std::wstring& path);

// The files every step in order leaves, in the order their downloads come.
// A download replaces what was at its path; a delete removes it; a move,
// like a rename, neither replaces an existing file nor moves a missing one,
// except that a move to the same name in another case renames the file.
std::vector<tagEndFile> EndState(const std::vector<tagFileStep>& steps);

// Folded names of every file a download or move writes, and of every folder
// on the way to one.
std::set<std::wstring> InstalledNames(const std::vector<tagFileStep>& steps);

// Every "File" item a fresh install carries out (version above 0), as steps
// in document order, and the files they leave as OpRepair items.
struct tagManifestFiles {
    std::vector<tagFileStep> steps;
    std::deque<ManifestItem> files;
    uint64_t totalBytes = 0;  // of the files
    bool digests = true;      // every file's download has a "sha256"
};
tagManifestFiles ReadManifestFiles(_ServerEngine::CXMLConfig& document);

// Where the client saves a download of `path`: the client writes
// "<save path>_" and renames it to the save path when it is complete. That
// is `path` itself, unless the manifest installs a file or folder named
// "<path>_": then a name beside it that no item installs, and the updater
// moves the file into place.
std::wstring DownloadSavePath(const std::wstring& path, const std::set<std::wstring>& installed);
// Where a compressed body or patch `body` (a name beside its target) is
// saved until it is decoded: `body` itself unless the manifest installs it
// or its partial name; then a name beside it that no item installs.
std::wstring FormSavePath(const std::wstring& body, const std::set<std::wstring>& installed);
// FormSavePath of the body of a form of `kind` (not raw) for `target`.
std::wstring FormBodySavePath(const std::wstring& target, FormKind kind, const std::set<std::wstring>& installed);

// An item as the space estimate sees it.
struct tagSpaceStep {
    ManifestOp op = OpIgnored;
    std::wstring path;     // download: the target; delete: the file; move: the source
    std::wstring to;       // move: the destination
    std::wstring partial;  // download: the file written first
    int64_t size = 0;      // download: its size (a negative one counts as 0)
    // Download of a compressed body or patch: the most bytes it fetches
    // (0: the file itself is fetched) and the file they are written to.
    int64_t body = 0;
    std::wstring bodyPartial;
};

// The most bytes the steps in order need on top of what the folder uses
// now: a download needs its file written beside the old one (less what a
// partial file already holds), and a compressed body or patch beside both
// until it is decoded, then frees the old one; a delete frees a file.
// `sizes` holds the current sizes by folded path (absent: no file); every
// size is rounded up to whole clusters of `cluster` bytes.
uint64_t PeakExtraSpace(const std::vector<tagSpaceStep>& steps, const std::map<std::wstring, uint64_t>& sizes,
                        uint64_t cluster);
