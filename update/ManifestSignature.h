// Signed update-check answers: the manifest bytes M followed by an XML
// comment that holds a minisign signature of M,
//
//     M<!-- signature
//     untrusted comment: ...
//     <base64: algorithm, key id, signature>
//     trusted comment: ...
//     <base64: global signature>
//     -->
//
// so that operators sign with the standard tool. Pure functions over bytes;
// libsodium does the cryptography.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A minisign public key (algorithm "Ed"), as in the "RW..." line of a .pub file.
struct tagMinisignKey {
    uint8_t keyId[8];
    uint8_t publicKey[32];
};

// The content of a .minisig file.
struct tagMinisignSignature {
    // "ED": the signature covers the BLAKE2b-512 of the message; legacy "Ed":
    // the message itself.
    bool prehashed;
    uint8_t keyId[8];
    uint8_t signature[64];
    std::string trustedComment;  // the text after "trusted comment: "
    // Over `signature` followed by `trustedComment`.
    uint8_t globalSignature[64];
};

// Reads a key line; blanks around it are allowed, nothing else.
bool ParseMinisignKey(const std::string& line, tagMinisignKey* key);

// Reads the four lines of a .minisig file (each ended by LF or CR LF, the
// last one possibly by the end of the text; only blanks may follow it).
bool ParseMinisignSignature(const char* text, size_t size, tagMinisignSignature* signature);

// What `minisign -V` checks: the key id, the signature over the message and
// the global signature over the trusted comment.
bool VerifyMinisign(const tagMinisignKey& key, const tagMinisignSignature& signature, const uint8_t* message,
                    size_t size);

// Finds the signature block: the last "<!-- signature" followed by LF or
// CR LF. The body must end in "-->" plus blanks. Gives the length of M (the
// bytes before the block) and the .minisig text between the block's first
// line and its "-->".
bool SplitSignedBody(const char* body, size_t size, size_t* manifestSize, const char** minisig,
                     size_t* minisigSize);

// The whole check: true, with the length of M, when the body's signature
// block carries a valid signature of M by `key`.
bool VerifySignedBody(const tagMinisignKey& key, const char* body, size_t size, size_t* manifestSize);
