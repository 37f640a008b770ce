// SHA-256 as the hashing worker computes it: with Windows' own CNG, which
// uses the processor's SHA instructions where it has them, or with
// libsodium's portable code, whichever hashes faster on this machine (Wine's
// CNG is portable code, slower than libsodium's). No cryptography of our own:
// both are kept implementations.
#pragma once

#include <windows.h>

#include <sodium.h>

#include <cstddef>
#include <cstdint>

#include "base/UniqueHandle.h"

class CSha256 {
public:
    enum class Engine { kFastest, kCng, kSodium };
    static constexpr size_t kSize = crypto_hash_sha256_BYTES;

    // Starts a digest; the first one in the process times both engines
    // once on 1 MiB (a few milliseconds) for kFastest. False when the
    // engine cannot start.
    bool Begin(Engine engine = Engine::kFastest);
    void Update(const uint8_t* data, size_t size);
    // Ends the digest; false when no digest was begun or CNG failed.
    bool Finish(uint8_t digest[kSize]);

    // The engine kFastest picks here.
    static Engine Fastest();

private:
    kit::CHashHandle cng_;
    crypto_hash_sha256_state sodium_{};
    bool cngFailed_ = false;
    bool begun_ = false;
};
