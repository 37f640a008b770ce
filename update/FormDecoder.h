// Turns a downloaded zstd form into the file it stands for. A compressed
// body is streamed through a bounded window; a patch is applied against the
// old file mapped into memory (never copied), writing into the mapped result
// file, so that nothing is allocated in proportion to a file's size.
#pragma once

#include <cstdint>
#include <string>

// The largest file a patch may give or start from: base and result are both
// mapped, which a 32-bit process can afford up to about this size.
constexpr uint64_t kMaxPatchedFile = 512ull << 20;

// Decodes the zstd frame in `body` into a new file `output` while hashing
// it; with a non-empty `base`, the frame is a patch from that file. True
// only when it decoded whole and its SHA-256 is `expected`; otherwise
// `output` is deleted.
bool DecodeForm(const std::wstring& body, const std::wstring& base, const std::wstring& output,
                const uint8_t expected[32]);
