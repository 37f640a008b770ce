#include "ManifestSignature.h"

#include <sodium.h>

#include <cstring>
#include <string_view>
#include <vector>

namespace {

const std::string_view kBlockStart = "<!-- signature";
const std::string_view kBlockEnd = "-->";
const std::string_view kUntrustedPrefix = "untrusted comment: ";
const std::string_view kTrustedPrefix = "trusted comment: ";
const size_t kSignatureLineBytes = 2 + 8 + 64;  // algorithm, key id, signature
const size_t kKeyLineBytes = 2 + 8 + 32;        // algorithm, key id, public key

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Decodes strict base64 (with padding) of exactly `size` bytes.
bool DecodeExactly(std::string_view text, uint8_t* out, size_t size) {
    size_t decoded = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        return false;
    }
    return decoded == size && end == text.data() + text.size();
}

// Cuts the text into lines at LF, dropping a CR before it; the last line
// may end with the text.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

}  // namespace

bool ParseMinisignKey(const std::string& line, tagMinisignKey* key) {
    uint8_t raw[kKeyLineBytes];
    if (!DecodeExactly(TrimBlanks(line), raw, sizeof raw) || std::memcmp(raw, "Ed", 2) != 0) return false;
    std::memcpy(key->keyId, raw + 2, sizeof key->keyId);
    std::memcpy(key->publicKey, raw + 10, sizeof key->publicKey);
    return true;
}

bool ParseMinisignSignature(const char* text, size_t size, tagMinisignSignature* signature) {
    std::vector<std::string_view> lines = Lines(std::string_view(text, size));
    if (lines.size() < 4) return false;
    for (size_t i = 4; i < lines.size(); ++i) {
        if (!TrimBlanks(lines[i]).empty()) return false;
    }
    if (!StartsWith(lines[0], kUntrustedPrefix) || !StartsWith(lines[2], kTrustedPrefix)) return false;
    uint8_t raw[kSignatureLineBytes];
    if (!DecodeExactly(lines[1], raw, sizeof raw)) return false;
    if (std::memcmp(raw, "ED", 2) == 0) {
        signature->prehashed = true;
    } else if (std::memcmp(raw, "Ed", 2) == 0) {
        signature->prehashed = false;
    } else {
        return false;
    }
    if (!DecodeExactly(lines[3], signature->globalSignature, sizeof signature->globalSignature)) return false;
    std::memcpy(signature->keyId, raw + 2, sizeof signature->keyId);
    std::memcpy(signature->signature, raw + 10, sizeof signature->signature);
    signature->trustedComment.assign(lines[2].substr(kTrustedPrefix.size()));
    return true;
}

bool VerifyMinisign(const tagMinisignKey& key, const tagMinisignSignature& signature, const uint8_t* message,
                    size_t size) {
    if (sodium_init() < 0) return false;
    if (std::memcmp(key.keyId, signature.keyId, sizeof key.keyId) != 0) return false;
    if (signature.prehashed) {
        uint8_t digest[crypto_generichash_BYTES_MAX];
        crypto_generichash(digest, sizeof digest, message, size, nullptr, 0);
        if (crypto_sign_verify_detached(signature.signature, digest, sizeof digest, key.publicKey) != 0) {
            return false;
        }
    } else if (crypto_sign_verify_detached(signature.signature, message, size, key.publicKey) != 0) {
        return false;
    }
    std::vector<uint8_t> global(signature.signature, signature.signature + sizeof signature.signature);
    global.insert(global.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    return crypto_sign_verify_detached(signature.globalSignature, global.data(), global.size(),
                                       key.publicKey) == 0;
}

bool SplitSignedBody(const char* body, size_t size, size_t* manifestSize, const char** minisig,
                     size_t* minisigSize) {
    const std::string_view text(body, size);
    // Only blanks may follow the block's "-->".
    std::string_view head = text;
    while (!head.empty() && IsBlank(head.back())) head.remove_suffix(1);
    if (head.size() < kBlockEnd.size() || head.substr(head.size() - kBlockEnd.size()) != kBlockEnd)
        return false;
    const size_t arrow = head.size() - kBlockEnd.size();
    size_t from = text.size();
    while (from != 0) {
        const size_t start = text.rfind(kBlockStart, from - 1);
        if (start == std::string_view::npos) return false;
        const std::string_view rest = text.substr(start + kBlockStart.size());
        const size_t lineEnd = StartsWith(rest, "\n") ? 1 : StartsWith(rest, "\r\n") ? 2 : 0;
        if (lineEnd != 0) {
            const size_t content = start + kBlockStart.size() + lineEnd;
            if (content > arrow) return false;
            *manifestSize = start;
            *minisig = body + content;
            *minisigSize = arrow - content;
            return true;
        }
        from = start;
    }
    return false;
}

bool VerifySignedBody(const tagMinisignKey& key, const char* body, size_t size, size_t* manifestSize) {
    size_t length = 0, minisigSize = 0;
    const char* minisig = nullptr;
    tagMinisignSignature signature;
    if (!SplitSignedBody(body, size, &length, &minisig, &minisigSize) ||
        !ParseMinisignSignature(minisig, minisigSize, &signature) ||
        !VerifyMinisign(key, signature, reinterpret_cast<const uint8_t*>(body), length)) {
        return false;
    }
    *manifestSize = length;
    return true;
}
