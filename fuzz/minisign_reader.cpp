// The minisign reader: any body is checked against a fixed key without
// harm, and a manifest signed with that key verifies whatever its message
// and trusted comment hold (a trusted comment is one line).
#include <sodium.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "Manifest.h"
#include "Minisign.h"

namespace {

struct tagKeys {
    publish::tagSecretKey secret;
    publish::tagPublicKey open;
    tagKeys() {
        if (sodium_init() < 0) std::abort();
        unsigned char seed[crypto_sign_SEEDBYTES] = {7};
        unsigned char unused[crypto_sign_PUBLICKEYBYTES];
        crypto_sign_seed_keypair(unused, secret.key_.data(), seed);
        std::memcpy(secret.keyId_.data(), "fuzzkey!", 8);
        open = publish::PublicKeyOf(secret);
    }
};

const tagKeys& Keys() {
    static const tagKeys keys;
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const tagKeys& keys = Keys();
    const std::string body(reinterpret_cast<const char*>(data), size);
    size_t manifestSize = 0;
    if (kit::VerifySignedBody(keys.open, body, &manifestSize)) std::abort();  // no forgery by chance
    kit::tagMinisignKey key;
    kit::ParseMinisignKey(body, &key);

    FuzzedDataProvider input(data, size);
    std::string comment = input.ConsumeRandomLengthString(200);
    comment.erase(
        std::remove_if(comment.begin(), comment.end(), [](char c) { return c == '\r' || c == '\n'; }),
        comment.end());
    const std::string message = input.ConsumeRemainingBytesAsString();
    const std::string signedBody =
        publish::JoinSignedBody(message, publish::Sign(keys.secret, message, comment));
    manifestSize = 0;
    if (!kit::VerifySignedBody(keys.open, signedBody, &manifestSize) || manifestSize != message.size())
        std::abort();
    return 0;
}
