#include "Sha256.h"

#include <bcrypt.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>

#include "base/UniqueHandle.h"

namespace {

// bcrypt.dll's functions and the SHA-256 provider, loaded once for the
// process; `provider` is null where CNG is missing or fails.
struct tagCng {
    kit::CLibraryHandle library;
    decltype(&BCryptOpenAlgorithmProvider) open = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) close = nullptr;
    decltype(&BCryptCreateHash) create = nullptr;
    decltype(&BCryptHashData) hashData = nullptr;
    decltype(&BCryptFinishHash) finish = nullptr;
    decltype(&BCryptDestroyHash) destroy = nullptr;
    BCRYPT_ALG_HANDLE provider = nullptr;

    ~tagCng() {
        if (provider) close(provider, 0);
    }
};

template <typename Function>
bool Load(HMODULE library, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return *function != nullptr;
}

const tagCng& Cng() {
    static tagCng cng;
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        cng.library.Reset(LoadLibraryW(L"bcrypt.dll"));
        const HMODULE library = cng.library.Get();
        if (!library || !Load(library, "BCryptOpenAlgorithmProvider", &cng.open) ||
            !Load(library, "BCryptCloseAlgorithmProvider", &cng.close) ||
            !Load(library, "BCryptCreateHash", &cng.create) || !Load(library, "BCryptHashData", &cng.hashData) ||
            !Load(library, "BCryptFinishHash", &cng.finish) || !Load(library, "BCryptDestroyHash", &cng.destroy)) {
            return;
        }
        BCRYPT_ALG_HANDLE provider = nullptr;
        if (cng.open(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0) cng.provider = provider;
    });
    return cng;
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

CSha256::~CSha256() { DestroyCng(); }

void CSha256::DestroyCng() {
    if (cng_) Cng().destroy(cng_);
    cng_ = nullptr;
}

CSha256::Engine CSha256::Fastest() {
    static Engine fastest = Engine::kSodium;
    static std::once_flag timed;
    std::call_once(timed, [] {
        if (!Cng().provider) return;
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
    DestroyCng();
    cngFailed_ = false;
    begun_ = false;
    if (engine == Engine::kCng) {
        const tagCng& cng = Cng();
        BCRYPT_HASH_HANDLE hash = nullptr;
        if (cng.provider && cng.create(cng.provider, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
            cng_ = hash;
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
    // CNG takes a ULONG count a call.
    while (size != 0 && !cngFailed_) {
        const ULONG take = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        cngFailed_ = Cng().hashData(cng_, const_cast<PUCHAR>(data), take, 0) != 0;
        data += take;
        size -= take;
    }
}

bool CSha256::Finish(uint8_t digest[kSize]) {
    if (!begun_) return false;
    begun_ = false;
    if (!cng_) return crypto_hash_sha256_final(&sodium_, digest) == 0;
    const bool done = !cngFailed_ && Cng().finish(cng_, digest, kSize, 0) == 0;
    DestroyCng();
    return done;
}
