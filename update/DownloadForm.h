// The forms a download item may come in, and the choice among them. Besides
// its raw file ("fname", "size", "sha256") an item may name the file's zstd
// frame and zstd patches from contents its path held before:
//
//   zstd="FNAME SIZE SHA256"
//   patch="BASE SINCE UNTIL FNAME SIZE SHA256;..."
//
// A patch's BASE (the SHA-256 of the content it starts from) is what the path
// held at the installed versions SINCE <= v < UNTIL. Every form's own digest
// is signed with the manifest, so no unsigned byte is ever decoded. No I/O.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

struct tagManifestItem;

enum class FormKind : unsigned { kRaw = 0, kZstd = 1, kPatch = 2 };

// Kinds that failed for an item in this run, one bit per kind.
inline unsigned FormBit(FormKind kind) { return 1u << static_cast<unsigned>(kind); }

struct tagDownloadForm {
    FormKind kind = FormKind::kRaw;
    std::wstring fname;
    uint64_t size = 0;
    uint8_t sha256[32] = {};
    uint8_t base[32] = {};  // patches only
    uint64_t since = 0;
    uint64_t until = 0;
};

// What a path holds when an item reaches it: decided by the installed
// version (no item of this run touched it), a content an earlier item of
// this run put there, or nothing known (deleted, or moved in from a path of
// unknown content).
struct tagBaseState {
    enum class How { kInstalled, kKnown, kUnknown } how = How::kInstalled;
    uint8_t digest[32] = {};
};

// The item's forms, raw first. Without a readable "sha256" only the raw
// file (nothing could be checked); unreadable form attributes are skipped.
std::vector<tagDownloadForm> ReadForms(const tagManifestItem& item);

// Index of the cheapest form the item can use: a patch whose base is what
// the path holds, else the compressed file, else the raw one. Kinds in
// `failed` are not taken again; a raw partial file goes on as raw.
size_t ChooseForm(const std::vector<tagDownloadForm>& forms, uint64_t installedVersion, const tagBaseState& base,
                  unsigned failed, bool rawPartial);

// The largest compressed body or patch the item may fetch from form `chosen`
// on, as it falls back (a patch to the compressed file); 0 for a raw form.
uint64_t LargestBody(const std::vector<tagDownloadForm>& forms, size_t chosen);

// Reads the forms of every download in `items`, follows what each path holds
// through the items in order, and chooses each download's form. Returns the
// bytes the chosen forms fetch. `hasRawPartial(path)`: a raw download left a
// partial file there.
uint64_t AssignForms(std::deque<tagManifestItem>& items, uint64_t installedVersion,
                     const std::function<bool(const std::wstring&)>& hasRawPartial);
