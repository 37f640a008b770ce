#include "DownloadCheck.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

CSha256Worker::~CSha256Worker() {
    if (!thread_) return;
    FillBlock();
    Submit(BlockKind::Stop);
    WaitForSingleObject(thread_.Get(), INFINITE);
}

bool CSha256Worker::Start() {
    buffer_.reset(new (std::nothrow) uint8_t[kBlockSize * kBlockCount]);
    freeBlocks_.Reset(CreateSemaphoreW(nullptr, kBlockCount, kBlockCount, nullptr));
    filledBlocks_.Reset(CreateSemaphoreW(nullptr, 0, kBlockCount, nullptr));
    finished_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!buffer_ || !freeBlocks_ || !filledBlocks_ || !finished_) return false;
    thread_.Reset(CreateThread(nullptr, 0, &CSha256Worker::WorkerMain, this, 0, nullptr));
    return static_cast<bool>(thread_);
}

bool CSha256Worker::Begin() {
    if (!thread_ && !Start()) return false;
    if (digesting_) {
        uint8_t dropped[crypto_hash_sha256_BYTES];
        Finish(dropped);
    }
    // The worker is idle between digests (Finish waited for it).
    if (!sha_.Begin()) return false;
    digesting_ = true;
    return true;
}

size_t CSha256Worker::FillBlock() {
    if (!filling_) {
        WaitForSingleObject(freeBlocks_.Get(), INFINITE);
        blocks_[produce_].used = 0;
        filling_ = true;
    }
    return produce_;
}

void CSha256Worker::Submit(BlockKind kind) {
    blocks_[produce_].kind = kind;
    filling_ = false;
    produce_ = (produce_ + 1) % kBlockCount;
    ReleaseSemaphore(filledBlocks_.Get(), 1, nullptr);
}

void CSha256Worker::Add(const uint8_t* data, size_t size) {
    if (!digesting_) return;
    while (size != 0) {
        tagBlock& block = blocks_[FillBlock()];
        const size_t take = std::min(size, kBlockSize - block.used);
        std::memcpy(BlockData(produce_) + block.used, data, take);
        block.used += take;
        data += take;
        size -= take;
        if (block.used == kBlockSize) Submit(BlockKind::Data);
    }
}

void CSha256Worker::AddFile(kit::CFileHandle file, uint64_t length, HANDLE done) {
    if (!digesting_) return;
    FillBlock();
    // The worker owns the file from the submit on; Finish or Begin wait
    // for it before these members are touched again.
    file_ = std::move(file);
    fileLength_ = length;
    fileDone_ = done;
    fileHashed_.store(0, std::memory_order_relaxed);
    Submit(BlockKind::File);
}

bool CSha256Worker::Finish(uint8_t digest[crypto_hash_sha256_BYTES]) {
    if (!digesting_) return false;
    FillBlock();
    Submit(BlockKind::Last);
    WaitForSingleObject(finished_.Get(), INFINITE);
    std::memcpy(digest, digest_, crypto_hash_sha256_BYTES);
    digesting_ = false;
    return digestMade_;
}

DWORD WINAPI CSha256Worker::WorkerMain(void* self) {
    static_cast<CSha256Worker*>(self)->Work();
    return 0;
}

void CSha256Worker::Work() {
    for (;;) {
        WaitForSingleObject(filledBlocks_.Get(), INFINITE);
        const tagBlock& block = blocks_[consume_];
        if (block.kind == BlockKind::Stop) return;
        if (block.kind == BlockKind::File) {
            fileRead_ = HashFile();
            file_.Reset();
            SetEvent(fileDone_);
        } else {
            sha_.Update(BlockData(consume_), block.used);
        }
        const bool last = block.kind == BlockKind::Last;
        if (last) digestMade_ = sha_.Finish(digest_);
        consume_ = (consume_ + 1) % kBlockCount;
        ReleaseSemaphore(freeBlocks_.Get(), 1, nullptr);
        if (last) SetEvent(finished_.Get());
    }
}

// Reads the file through the block being handled, which is the worker's
// until it is released.
bool CSha256Worker::HashFile() {
    for (uint64_t left = fileLength_; left != 0;) {
        const DWORD want = static_cast<DWORD>(std::min<uint64_t>(left, kBlockSize));
        DWORD got = 0;
        if (!ReadFile(file_.Get(), BlockData(consume_), want, &got, nullptr) || got != want) return false;
        sha_.Update(BlockData(consume_), got);
        left -= got;
        fileHashed_.fetch_add(got, std::memory_order_relaxed);
    }
    return true;
}

void CDownloadCheck::Expect(const uint8_t expected[crypto_hash_sha256_BYTES]) {
    std::memcpy(expected_, expected, sizeof expected_);
    started_ = false;
    hashed_ = 0;
    mismatched_ = false;
}

bool CDownloadCheck::HashPartialFile(const std::wstring& path, uint64_t length, HANDLE done) {
    kit::CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    started_ = file && worker_.Begin();
    if (!started_) return false;
    worker_.AddFile(std::move(file), length, done);
    hashed_ = length;
    return true;
}

bool CDownloadCheck::HashedFileMatches() {
    uint8_t digest[crypto_hash_sha256_BYTES];
    const bool matches = started_ && worker_.Finish(digest) && worker_.FileRead() &&
                         sodium_memcmp(digest, expected_, sizeof digest) == 0;
    started_ = false;
    return matches;
}

void CDownloadCheck::OnHttpBodyBegin(uint64_t offset) {
    if (offset == 0) {
        started_ = worker_.Begin();
        hashed_ = 0;
    } else if (offset != hashed_) {
        // A body that does not continue the bytes hashed can only end in a
        // mismatch.
        started_ = false;
    }
}

void CDownloadCheck::OnHttpBody(const char* data, uint32_t size) {
    worker_.Add(reinterpret_cast<const uint8_t*>(data), size);
    hashed_ += size;
}

bool CDownloadCheck::OnHttpBodyEnd() {
    uint8_t digest[crypto_hash_sha256_BYTES];
    mismatched_ =
        !started_ || !worker_.Finish(digest) || sodium_memcmp(digest, expected_, sizeof digest) != 0;
    started_ = false;
    return !mismatched_;
}

bool ParseSha256Hex(const wchar_t* text, uint8_t digest[crypto_hash_sha256_BYTES]) {
    if (!text || std::wcslen(text) != 2 * crypto_hash_sha256_BYTES) return false;
    char narrow[2 * crypto_hash_sha256_BYTES];
    for (size_t i = 0; i < sizeof narrow; ++i) {
        if (text[i] > 0x7F) return false;  // libsodium rejects every other non-digit
        narrow[i] = static_cast<char>(text[i]);
    }
    size_t length = 0;
    return sodium_hex2bin(digest, crypto_hash_sha256_BYTES, narrow, sizeof narrow, nullptr, &length,
                          nullptr) == 0 &&
           length == crypto_hash_sha256_BYTES;
}
