// Keys and signatures in minisign's formats, so that operators can make keys
// and check signatures with minisign itself. All cryptography is libsodium's.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/Minisign.h"

namespace publish {

// Public keys and signatures are read and checked as the updater does.
using KeyId = kit::MinisignKeyId;
using tagPublicKey = kit::tagMinisignKey;
using tagSignature = kit::tagMinisignSignature;

struct tagSecretKey {
    KeyId keyId_{};
    std::array<unsigned char, 64> key_{};  // libsodium's Ed25519 secret key: seed, then public key
};

// A secret key file as stored: the key id, key and checksum are XORed with
// an scrypt stream of the password when the file is encrypted.
struct tagSecretKeyFile {
    bool encrypted_ = false;
    std::array<unsigned char, 32> salt_{};
    uint64_t opsLimit_ = 0;
    uint64_t memLimit_ = 0;
    std::array<unsigned char, 104> sealed_{};
};

bool InitCrypto();

// Upper-case hexadecimal of the id read as a little-endian number, as
// minisign prints it.
std::string KeyIdText(const KeyId& id);

bool ParsePublicKey(const std::string& text, tagPublicKey* key, std::string* error);
std::string FormatPublicKey(const tagPublicKey& key);

bool ParseSecretKeyFile(const std::string& text, tagSecretKeyFile* file, std::string* error);
// Applies the password (ignored for an unencrypted file) and checks the result.
bool OpenSecretKey(const tagSecretKeyFile& file, const std::string& password, tagSecretKey* key, std::string* error);
// An unencrypted secret key file (minisign -W's kind).
std::string FormatSecretKey(const tagSecretKey& key);

void GenerateKeyPair(tagSecretKey* key);
tagPublicKey PublicKeyOf(const tagSecretKey& key);

// The content of a .minisig file for message, in the prehashed "ED" form.
std::string Sign(const tagSecretKey& key, const std::string& message, const std::string& trustedComment);
bool ParseSignature(const std::string& text, tagSignature* signature, std::string* error);
bool VerifySignature(const tagPublicKey& key, const std::string& message, const tagSignature& signature,
                     std::string* error);

std::string HexOf(const unsigned char* bytes, size_t length);

}  // namespace publish
