#include "Sha256.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>

namespace {

// Opened once, for the process.
BCRYPT_ALG_HANDLE Provider() {
    static kit::CAlgorithmHandle provider;
    static std::once_flag opened;
    std::call_once(opened, [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0) provider.Reset(handle);
    });
    return provider.Get();
}

// Seconds one engine takes for `size` bytes; a failed engine never wins.
double TimeEngine(CSha256::Engine engine, const uint8_t* data, size_t size) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    CSha256 sha;
    uint8_t digest[CSha256::kSize];
    if (!sha.Begin(engine)) return 1e9;
    sha.Update(data, size);
    if (!sha.Finish(digest)) return 1e9;
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
}

}  // namespace

CSha256::Engine CSha256::Fastest() {
    static Engine fastest = Engine::kSodium;
    static std::once_flag timed;
    std::call_once(timed, [] {
        const size_t size = 1 << 20;
        std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]());
        if (!data) return;
        // Each at its best of two, against the noise of a busy machine.
        double cng = 1e9, sodium = 1e9;
        for (int round = 0; round < 2; ++round) {
            cng = std::min(cng, TimeEngine(Engine::kCng, data.get(), size));
            sodium = std::min(sodium, TimeEngine(Engine::kSodium, data.get(), size));
        }
        if (cng < sodium) fastest = Engine::kCng;
    });
    return fastest;
}

bool CSha256::Begin(Engine engine) {
    const bool either = engine == Engine::kFastest;
    if (either) engine = Fastest();
    cng_.Reset();
    cngFailed_ = false;
    begun_ = false;
    if (engine == Engine::kCng) {
        BCRYPT_HASH_HANDLE hash = nullptr;
        const BCRYPT_ALG_HANDLE provider = Provider();
        if (provider && BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
            cng_.Reset(hash);
        } else if (!either) {
            return false;
        }
    }
    if (!cng_) crypto_hash_sha256_init(&sodium_);
    begun_ = true;
    return true;
}

void CSha256::Update(const uint8_t* data, size_t size) {
    if (!cng_) {
        crypto_hash_sha256_update(&sodium_, data, size);
        return;
    }
    // CNG takes at most 4 GiB - 1 bytes a call.
    while (size != 0 && !cngFailed_) {
        const ULONG take = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        cngFailed_ = BCryptHashData(cng_.Get(), const_cast<PUCHAR>(data), take, 0) != 0;
        data += take;
        size -= take;
    }
}

bool CSha256::Finish(uint8_t digest[kSize]) {
    if (!begun_) return false;
    begun_ = false;
    if (!cng_) return crypto_hash_sha256_final(&sodium_, digest) == 0;
    const bool done = !cngFailed_ && BCryptFinishHash(cng_.Get(), digest, kSize, 0) == 0;
    cng_.Reset();
    return done;
}
