// Reading and checking minisign's public keys and signatures, and the signed
// manifests that carry a signature of their bytes M in an XML comment,
//
//     M<!-- signature
//     untrusted comment: ...
//     <base64: algorithm, key id, signature>
//     trusted comment: ...
//     <base64: global signature>
//     -->
//
// so that operators sign and check with the standard tool. Shared by the
// updater and the publishing tool, which builds for Linux too: portable,
// pure functions over bytes; libsodium does the cryptography.
#pragma once

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kit {

using MinisignKeyId = std::array<uint8_t, 8>;

// A minisign public key (algorithm "Ed"), as in the "RW..." line of a .pub file.
struct tagMinisignKey {
    MinisignKeyId keyId_{};
    std::array<uint8_t, 32> key_{};
};

// The content of a .minisig file.
struct tagMinisignSignature {
    // "ED": the signature covers the BLAKE2b-512 of the message; legacy "Ed":
    // the message itself.
    bool prehashed_ = true;
    MinisignKeyId keyId_{};
    std::array<uint8_t, 64> signature_{};
    std::string trustedComment_;  // the text after "trusted comment: "
    // Over `signature_` followed by `trustedComment_`.
    std::array<uint8_t, 64> globalSignature_{};
};

namespace minisign_detail {

constexpr std::string_view kBlockStart = "<!-- signature";
constexpr std::string_view kBlockEnd = "-->";
constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

inline std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

inline bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace minisign_detail

// Decodes strict base64 (with padding) of exactly `size` bytes, as the
// record lines of minisign's files hold them.
inline bool DecodeMinisignRecord(std::string_view text, uint8_t* out, size_t size) {
    size_t decoded = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        return false;
    }
    return decoded == size && end == text.data() + text.size();
}

// Takes the first line off `rest`: up to LF, dropping a CR before it; the
// last line may end with the text. One line at a time, so that no input
// makes a list of lines.
inline std::string_view NextMinisignLine(std::string_view* rest) {
    const size_t end = rest->find('\n');
    std::string_view line = rest->substr(0, end);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
    return line;
}

// Reads a key line; blanks around it are allowed, nothing else.
inline bool ParseMinisignKey(std::string_view line, tagMinisignKey* key) {
    uint8_t raw[2 + 8 + 32];  // algorithm, key id, public key
    if (!DecodeMinisignRecord(minisign_detail::TrimBlanks(line), raw, sizeof raw) ||
        std::memcmp(raw, "Ed", 2) != 0) {
        return false;
    }
    std::memcpy(key->keyId_.data(), raw + 2, key->keyId_.size());
    std::memcpy(key->key_.data(), raw + 10, key->key_.size());
    return true;
}

// Reads the four lines of a .minisig file (each ended by LF or CR LF, the
// last one possibly by the end of the text; only blanks may follow it).
inline bool ParseMinisignSignature(std::string_view text, tagMinisignSignature* signature) {
    using namespace minisign_detail;
    std::string_view lines[4];
    for (std::string_view& line : lines) {
        if (text.empty()) return false;
        line = NextMinisignLine(&text);
    }
    // Lines after the fourth may only be blank: all of the rest is blanks.
    if (!TrimBlanks(text).empty()) return false;
    if (!StartsWith(lines[0], kUntrustedPrefix) || !StartsWith(lines[2], kTrustedPrefix)) return false;
    uint8_t raw[2 + 8 + 64];  // algorithm, key id, signature
    if (!DecodeMinisignRecord(lines[1], raw, sizeof raw)) return false;
    const bool prehashed = std::memcmp(raw, "ED", 2) == 0;
    if (!prehashed && std::memcmp(raw, "Ed", 2) != 0) return false;
    if (!DecodeMinisignRecord(lines[3], signature->globalSignature_.data(), signature->globalSignature_.size())) {
        return false;
    }
    signature->prehashed_ = prehashed;
    std::memcpy(signature->keyId_.data(), raw + 2, signature->keyId_.size());
    std::memcpy(signature->signature_.data(), raw + 10, signature->signature_.size());
    signature->trustedComment_.assign(lines[2].substr(kTrustedPrefix.size()));
    return true;
}

enum class MinisignCheck { kGood, kOtherKey, kBadSignature, kBadGlobalSignature };

// What `minisign -V` checks, in its order: the key id, the signature over
// the message and the global signature over the trusted comment.
inline MinisignCheck CheckMinisign(const tagMinisignKey& key, const tagMinisignSignature& signature,
                                   const uint8_t* message, size_t size) {
    if (key.keyId_ != signature.keyId_) return MinisignCheck::kOtherKey;
    if (sodium_init() < 0) return MinisignCheck::kBadSignature;
    const uint8_t* signedBytes = message;
    uint8_t digest[crypto_generichash_BYTES_MAX];
    if (signature.prehashed_) {
        crypto_generichash(digest, sizeof digest, message, size, nullptr, 0);
        signedBytes = digest;
        size = sizeof digest;
    }
    if (crypto_sign_verify_detached(signature.signature_.data(), signedBytes, size, key.key_.data()) != 0) {
        return MinisignCheck::kBadSignature;
    }
    std::vector<uint8_t> global(signature.signature_.begin(), signature.signature_.end());
    global.insert(global.end(), signature.trustedComment_.begin(), signature.trustedComment_.end());
    return crypto_sign_verify_detached(signature.globalSignature_.data(), global.data(), global.size(),
                                       key.key_.data()) == 0
               ? MinisignCheck::kGood
               : MinisignCheck::kBadGlobalSignature;
}

// How many line ends before the closing "-->" are looked at for the block's
// first line: the four lines of the .minisig, the block's first line and a
// few blank ones. Finding the block costs the same however many lines the
// answer has.
constexpr size_t kMinisignBlockLines = 16;

// Finds the signature block by its fixed structure from the end: the body,
// blanks aside, ends with "-->"; the block starts right after a line end
// that follows "<!-- signature", among the last kMinisignBlockLines line
// ends before that "-->". The comments may hold anything, "-->" and
// "<!-- signature" too, so the first line that starts with an untrusted
// comment tells which "<!-- signature" line opens the block; without one
// the last such line does. "-->" outside the comment lines ends the block
// early: only blanks may follow the block. Gives the length of M (the bytes
// before the block) and the .minisig text between the block's first line and
// its "-->".
inline bool SplitSignedBody(std::string_view body, size_t* manifestSize, std::string_view* minisig) {
    using namespace minisign_detail;
    const std::string_view trimmed = body.substr(0, body.find_last_not_of(" \t\r\n") + 1);
    if (trimmed.size() < kBlockEnd.size() || trimmed.substr(trimmed.size() - kBlockEnd.size()) != kBlockEnd) {
        return false;
    }
    const size_t close = trimmed.size() - kBlockEnd.size();
    size_t start = std::string_view::npos, content = 0;
    size_t lineEnd = close;
    for (size_t seen = 0; seen < kMinisignBlockLines && lineEnd != 0; ++seen) {
        lineEnd = body.rfind('\n', lineEnd - 1);
        if (lineEnd == std::string_view::npos) break;
        const size_t textEnd = lineEnd != 0 && body[lineEnd - 1] == '\r' ? lineEnd - 1 : lineEnd;
        if (textEnd < kBlockStart.size() ||
            body.substr(textEnd - kBlockStart.size(), kBlockStart.size()) != kBlockStart) {
            continue;
        }
        const bool opensComment = StartsWith(body.substr(lineEnd + 1, close - lineEnd - 1), kUntrustedPrefix);
        if (start == std::string_view::npos || opensComment) {
            start = textEnd - kBlockStart.size();
            content = lineEnd + 1;
        }
        if (opensComment) break;
    }
    if (start == std::string_view::npos) return false;
    const std::string_view block = body.substr(content, close - content);
    for (std::string_view rest = block; !rest.empty();) {
        const std::string_view line = NextMinisignLine(&rest);
        if (!StartsWith(line, kUntrustedPrefix) && !StartsWith(line, kTrustedPrefix) &&
            line.find(kBlockEnd) != std::string_view::npos) {
            return false;
        }
    }
    *manifestSize = start;
    *minisig = block;
    return true;
}

// The whole check: true, with the length of M, when the body's signature
// block carries a valid signature of M by `key`.
inline bool VerifySignedBody(const tagMinisignKey& key, std::string_view body, size_t* manifestSize) {
    size_t length = 0;
    std::string_view minisig;
    tagMinisignSignature signature;
    if (!SplitSignedBody(body, &length, &minisig) || !ParseMinisignSignature(minisig, &signature) ||
        CheckMinisign(key, signature, reinterpret_cast<const uint8_t*>(body.data()), length) !=
            MinisignCheck::kGood) {
        return false;
    }
    *manifestSize = length;
    return true;
}

}  // namespace kit
