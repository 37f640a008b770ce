#include "Minisign.h"

#include <sodium.h>

#include <cstring>
#include <vector>

namespace publish {
namespace {

const char kUntrustedPrefix[] = "untrusted comment: ";
const char kTrustedPrefix[] = "trusted comment: ";
const size_t kSecretKeyFileBytes = 2 + 2 + 2 + 32 + 8 + 8 + 104;

std::string EncodeBase64(const unsigned char* bytes, size_t length) {
    std::string text(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&text[0], text.size(), bytes, length, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

uint64_t LoadLe64(const unsigned char* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

// The second line of a key file, after its untrusted comment; false, with
// the error, when there is none.
bool KeyLine(const std::string& text, std::string_view* line, std::string* error, const char* what) {
    std::string_view rest = text;
    const std::string_view comment = kit::NextMinisignLine(&rest);
    if (rest.empty() || comment.substr(0, std::strlen(kUntrustedPrefix)) != kUntrustedPrefix) {
        *error = std::string("not a minisign ") + what + " (no untrusted comment line)";
        return false;
    }
    *line = kit::NextMinisignLine(&rest);
    return true;
}

// BLAKE2b-256 over the algorithm, key id and secret key, as minisign checks a
// decrypted key.
std::array<unsigned char, 32> SecretKeyChecksum(const unsigned char* keyId, const unsigned char* key) {
    std::array<unsigned char, 32> sum{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, sum.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>("Ed"), 2);
    crypto_generichash_update(&state, keyId, 8);
    crypto_generichash_update(&state, key, 64);
    crypto_generichash_final(&state, sum.data(), sum.size());
    return sum;
}

std::array<unsigned char, 64> Blake2b512(const std::string& message) {
    std::array<unsigned char, 64> digest{};
    crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), nullptr, 0);
    return digest;
}

}  // namespace

bool InitCrypto() { return sodium_init() >= 0; }

std::string HexOf(const unsigned char* bytes, size_t length) {
    std::string hex(length * 2 + 1, '\0');
    sodium_bin2hex(&hex[0], hex.size(), bytes, length);
    hex.pop_back();
    return hex;
}

std::string KeyIdText(const KeyId& id) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = id.size(); i-- > 0;) {
        text += kDigits[id[i] >> 4];
        text += kDigits[id[i] & 15];
    }
    return text;
}

bool ParsePublicKey(const std::string& text, tagPublicKey* key, std::string* error) {
    std::string_view line;
    if (!KeyLine(text, &line, error, "public key")) return false;
    if (!kit::ParseMinisignKey(line, key)) {
        *error = "not a minisign public key (bad key line or algorithm)";
        return false;
    }
    return true;
}

std::string FormatPublicKey(const tagPublicKey& key) {
    unsigned char record[2 + 8 + 32];
    std::memcpy(record, "Ed", 2);
    std::memcpy(record + 2, key.keyId_.data(), 8);
    std::memcpy(record + 10, key.key_.data(), 32);
    return std::string(kUntrustedPrefix) + "minisign public key " + KeyIdText(key.keyId_) + "\n" +
           EncodeBase64(record, sizeof record) + "\n";
}

bool ParseSecretKeyFile(const std::string& text, tagSecretKeyFile* file, std::string* error) {
    std::string_view line;
    unsigned char record[kSecretKeyFileBytes];
    if (!KeyLine(text, &line, error, "secret key")) return false;
    if (!kit::DecodeMinisignRecord(line, record, sizeof record)) {
        *error = "not a minisign secret key (bad key line)";
        return false;
    }
    const unsigned char* p = record;
    if (std::memcmp(p, "Ed", 2) != 0 || std::memcmp(p + 4, "B2", 2) != 0) {
        *error = "unsupported secret key algorithm";
        return false;
    }
    if (std::memcmp(p + 2, "Sc", 2) == 0) {
        file->encrypted_ = true;
    } else if (p[2] == 0 && p[3] == 0) {
        file->encrypted_ = false;
    } else {
        *error = "unsupported secret key encryption";
        return false;
    }
    std::memcpy(file->salt_.data(), p + 6, 32);
    file->opsLimit_ = LoadLe64(p + 38);
    file->memLimit_ = LoadLe64(p + 46);
    std::memcpy(file->sealed_.data(), p + 54, 104);
    return true;
}

bool OpenSecretKey(const tagSecretKeyFile& file, const std::string& password, tagSecretKey* key,
                   std::string* error) {
    std::array<unsigned char, 104> plain = file.sealed_;
    if (file.encrypted_) {
        std::array<unsigned char, 104> stream{};
        if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), password.data(), password.size(),
                                               file.salt_.data(), file.opsLimit_,
                                               static_cast<size_t>(file.memLimit_)) != 0) {
            *error = "cannot derive the key from the password (out of memory?)";
            return false;
        }
        for (size_t i = 0; i < plain.size(); ++i) plain[i] ^= stream[i];
        sodium_memzero(stream.data(), stream.size());
    }
    const unsigned char* keyId = plain.data();
    const unsigned char* secret = plain.data() + 8;
    const unsigned char* checksum = plain.data() + 72;
    // minisign -W leaves the checksum of an unencrypted key zero.
    const bool checksumSet = !sodium_is_zero(checksum, 32);
    const std::array<unsigned char, 32> expected = SecretKeyChecksum(keyId, secret);
    if ((file.encrypted_ || checksumSet) && sodium_memcmp(expected.data(), checksum, 32) != 0) {
        *error = file.encrypted_ ? "wrong password for the secret key" : "damaged secret key (checksum)";
        sodium_memzero(plain.data(), plain.size());
        return false;
    }
    // The public half must belong to the seed, or every signature would fail later.
    unsigned char publicKey[32];
    unsigned char derived[64];
    crypto_sign_seed_keypair(publicKey, derived, secret);
    const bool consistent = std::memcmp(publicKey, secret + 32, 32) == 0;
    sodium_memzero(derived, sizeof derived);
    if (!consistent) {
        *error = "damaged secret key (public half does not match)";
        sodium_memzero(plain.data(), plain.size());
        return false;
    }
    std::memcpy(key->keyId_.data(), keyId, 8);
    std::memcpy(key->key_.data(), secret, 64);
    sodium_memzero(plain.data(), plain.size());
    return true;
}

std::string FormatSecretKey(const tagSecretKey& key) {
    unsigned char record[kSecretKeyFileBytes] = {};
    std::memcpy(record, "Ed", 2);
    std::memcpy(record + 4, "B2", 2);
    std::memcpy(record + 54, key.keyId_.data(), 8);
    std::memcpy(record + 62, key.key_.data(), 64);
    const std::array<unsigned char, 32> checksum = SecretKeyChecksum(key.keyId_.data(), key.key_.data());
    std::memcpy(record + 126, checksum.data(), 32);
    std::string text = std::string(kUntrustedPrefix) + "minisign encrypted secret key\n" +
                       EncodeBase64(record, sizeof record) + "\n";
    sodium_memzero(record, sizeof record);
    return text;
}

void GenerateKeyPair(tagSecretKey* key) {
    unsigned char publicKey[32];
    crypto_sign_keypair(publicKey, key->key_.data());
    randombytes_buf(key->keyId_.data(), key->keyId_.size());
}

tagPublicKey PublicKeyOf(const tagSecretKey& key) {
    tagPublicKey publicKey;
    publicKey.keyId_ = key.keyId_;
    std::memcpy(publicKey.key_.data(), key.key_.data() + 32, 32);
    return publicKey;
}

std::string Sign(const tagSecretKey& key, const std::string& message, const std::string& trustedComment) {
    const std::array<unsigned char, 64> digest = Blake2b512(message);
    unsigned char record[2 + 8 + 64];
    std::memcpy(record, "ED", 2);
    std::memcpy(record + 2, key.keyId_.data(), 8);
    crypto_sign_detached(record + 10, nullptr, digest.data(), digest.size(), key.key_.data());

    std::string global(record + 10, record + 74);
    global += trustedComment;
    unsigned char globalSignature[64];
    crypto_sign_detached(globalSignature, nullptr, reinterpret_cast<const unsigned char*>(global.data()),
                         global.size(), key.key_.data());
    return std::string(kUntrustedPrefix) + "signature from publish secret key\n" + EncodeBase64(record, sizeof record) +
           "\n" + kTrustedPrefix + trustedComment + "\n" + EncodeBase64(globalSignature, sizeof globalSignature) +
           "\n";
}

bool ParseSignature(const std::string& text, tagSignature* signature, std::string* error) {
    if (!kit::ParseMinisignSignature(text, signature)) {
        *error = "malformed signature (expected an untrusted comment, the signature, a trusted comment and the "
                 "global signature, one a line)";
        return false;
    }
    return true;
}

bool VerifySignature(const tagPublicKey& key, const std::string& message, const tagSignature& signature,
                     std::string* error) {
    switch (kit::CheckMinisign(key, signature, reinterpret_cast<const uint8_t*>(message.data()), message.size())) {
        case kit::MinisignCheck::kGood:
            return true;
        case kit::MinisignCheck::kOtherKey:
            *error = "signed by key " + KeyIdText(signature.keyId_) + ", not by key " + KeyIdText(key.keyId_);
            return false;
        case kit::MinisignCheck::kBadSignature:
            *error = "signature does not match the manifest";
            return false;
        case kit::MinisignCheck::kBadGlobalSignature:
            break;
    }
    *error = "global signature does not match the trusted comment";
    return false;
}

}  // namespace publish
