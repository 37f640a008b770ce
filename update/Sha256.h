// SHA-256 as the hashing worker computes it: with Windows' own CNG, which
// uses the processor's SHA instructions where it has them, or with
// libsodium's portable code, whichever hashes faster on this machine (Wine's
// CNG is portable code, slower than libsodium's). No cryptography of our own:
// both are kept implementations. CNG is loaded at run time, so that the
// updater still starts where Windows has none (before Vista).
#pragma once

#include <windows.h>

#include <sodium.h>

#include <cstddef>
#include <cstdint>

class CSha256 {
public:
    enum class Engine { kFastest, kCng, kSodium };
    static constexpr size_t kSize = crypto_hash_sha256_BYTES;

    CSha256() = default;
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    // Starts a digest; the first one in the process times both engines
    // once on 1 MiB (a few milliseconds) for kFastest, which falls back to
    // libsodium when CNG fails. False when the engine asked for cannot start.
    bool Begin(Engine engine = Engine::kFastest);
    void Update(const uint8_t* data, size_t size);
    // Ends the digest; false when no digest was begun or CNG failed.
    bool Finish(uint8_t digest[kSize]);

    // The engine kFastest picks here.
    static Engine Fastest();

private:
    void DestroyCng();

    void* cng_ = nullptr;  // CNG's hash handle, owned
    crypto_hash_sha256_state sodium_{};
    bool cngFailed_ = false;
    bool begun_ = false;
};
