// Checks a download against the SHA-256 its manifest item names, while the
// body arrives, so that the file is never read a second time.
#pragma once

#include <windows.h>

#include <sodium.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "IHttpBodyObserver.h"
#include "Sha256.h"
#include "base/UniqueHandle.h"

// SHA-256 computed on a worker thread: it hashes a little slower than
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
    // Goes on with the first `length` bytes of `file`, which the worker
    // reads itself; it sets `done` once they are hashed, and FileRead()
    // then tells whether all of them could be read.
    void AddFile(kit::CFileHandle file, uint64_t length, HANDLE done);
    bool FileRead() const { return fileRead_; }
    // Bytes of the file hashed so far; read from any thread.
    uint64_t FileHashed() const { return fileHashed_.load(std::memory_order_relaxed); }
    // Waits until every byte added is hashed; false without a Begin or
    // when the digest could not be made.
    bool Finish(uint8_t digest[crypto_hash_sha256_BYTES]);

private:
    enum class BlockKind { Data, File, Last, Stop };
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
    bool HashFile();

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
    kit::CFileHandle file_;
    uint64_t fileLength_ = 0;
    HANDLE fileDone_ = nullptr;
    bool fileRead_ = false;
    std::atomic<uint64_t> fileHashed_{0};
    CSha256 sha_;
    uint8_t digest_[crypto_hash_sha256_BYTES] = {};
    bool digestMade_ = false;
};

// The body observer of one download: hashes what the client writes and, at
// the end, lets the file into place only when the digest is the expected one.
// A download may come in several responses: each resumed body continues the
// digest of the bytes before it.
class CDownloadCheck : public IHttpBodyObserver {
public:
    // Expects `expected` for the file of the next response bodies.
    void Expect(const uint8_t expected[crypto_hash_sha256_BYTES]);
    // Starts the digest with the first `length` bytes of the partial file
    // at `path`, hashed on the worker; `done` is set when they are. False
    // when the file cannot be opened.
    bool HashPartialFile(const std::wstring& path, uint64_t length, HANDLE done);
    // After `done`: true when all those bytes were read.
    bool PartialFileHashed() const { return worker_.FileRead(); }
    // Bytes of that file hashed so far, while the worker reads it.
    uint64_t FileProgress() const { return worker_.FileHashed(); }
    // After `done`, for a file that may already be the expected one: true
    // when all of it was read and its digest is the expected one. Ends the
    // digest either way, so that a download starts a new one.
    bool HashedFileMatches();
    // Bytes of the file in the digest so far.
    uint64_t Hashed() const { return started_ ? hashed_ : 0; }
    // True when the last body ended with another digest (or none could be made).
    bool Mismatched() const { return mismatched_; }

    void OnHttpBodyBegin(uint64_t offset) override;
    void OnHttpBody(const char* data, uint32_t size) override;
    bool OnHttpBodyEnd() override;

private:
    CSha256Worker worker_;
    uint8_t expected_[crypto_hash_sha256_BYTES] = {};
    uint64_t hashed_ = 0;
    bool started_ = false;
    bool mismatched_ = false;
};

// Reads 64 hexadecimal digits (either case) and nothing else.
bool ParseSha256Hex(const wchar_t* text, uint8_t digest[crypto_hash_sha256_BYTES]);
