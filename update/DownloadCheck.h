// Checks a download against the SHA-256 its manifest item names, while the
// body arrives, so that the file is never read a second time.
#pragma once

#include <windows.h>

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "IHttpBodyObserver.h"
#include "base/UniqueHandle.h"

// SHA-256 computed on a worker thread: libsodium hashes a little slower than
// loopback delivers, so hashing on the message-loop thread would slow the
// download down. Add copies the bytes into a bounded ring of blocks and
// waits only when the worker is the whole ring behind.
class CSha256Worker {
public:
    static constexpr size_t kBlockSize = 128 * 1024;
    static constexpr size_t kBlockCount = 8;

    CSha256Worker() = default;
    ~CSha256Worker();  // lets the worker finish and joins it
    CSha256Worker(const CSha256Worker&) = delete;
    CSha256Worker& operator=(const CSha256Worker&) = delete;

    // Starts a new digest, dropping an unfinished one. False when the
    // worker cannot be started.
    bool Begin();
    void Add(const uint8_t* data, size_t size);
    // Waits until every byte added is hashed; false without a Begin.
    bool Finish(uint8_t digest[crypto_hash_sha256_BYTES]);

private:
    enum class BlockKind { Data, Last, Stop };
    struct tagBlock {
        size_t used = 0;
        BlockKind kind = BlockKind::Data;
    };

    bool Start();
    uint8_t* BlockData(size_t index) { return buffer_.get() + index * kBlockSize; }
    // The block being filled, waiting for a free one when there is none.
    size_t FillBlock();
    void Submit(BlockKind kind);
    static DWORD WINAPI WorkerMain(void* self);
    void Work();

    std::unique_ptr<uint8_t[]> buffer_;
    tagBlock blocks_[kBlockCount];
    kit::CKernelHandle freeBlocks_;    // semaphore: blocks the producer may fill
    kit::CKernelHandle filledBlocks_;  // semaphore: blocks the worker may hash
    kit::CKernelHandle finished_;      // event: the worker ended a digest
    kit::CKernelHandle thread_;
    // Producer side (the caller's thread).
    size_t produce_ = 0;
    bool filling_ = false;
    bool digesting_ = false;
    // Worker side; the state and digest change hands through the semaphores
    // and the event.
    size_t consume_ = 0;
    crypto_hash_sha256_state state_{};
    uint8_t digest_[crypto_hash_sha256_BYTES] = {};
};

// The body observer of one download: hashes what the client writes and, at
// the end, lets the file into place only when the digest is the expected one.
class CDownloadCheck : public IHttpBodyObserver {
public:
    // Expects `expected` for the next response body.
    void Expect(const uint8_t expected[crypto_hash_sha256_BYTES]);
    // True when the last body ended with another digest (or none could be made).
    bool Mismatched() const { return mismatched_; }

    void OnHttpBodyBegin() override;
    void OnHttpBody(const char* data, uint32_t size) override;
    bool OnHttpBodyEnd() override;

private:
    CSha256Worker worker_;
    uint8_t expected_[crypto_hash_sha256_BYTES] = {};
    bool started_ = false;
    bool mismatched_ = false;
};

// Reads 64 hexadecimal digits (either case) and nothing else.
bool ParseSha256Hex(const wchar_t* text, uint8_t digest[crypto_hash_sha256_BYTES]);
