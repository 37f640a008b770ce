// The download digest: SHA-256 on a worker thread fed with body spans, and
// the observer that lets a download into place only on the expected digest.
#include <windows.h>

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DownloadCheck.h"

namespace {

const size_t kBlock = CSha256Worker::kBlockSize;
const size_t kRing = CSha256Worker::kBlockSize * CSha256Worker::kBlockCount;

std::vector<uint8_t> Bytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 0x12345678;
    for (auto& b : bytes) {
        x = x * 1103515245 + 12345;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

std::string Hex(const uint8_t* digest) {
    char text[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(text, sizeof text, digest, crypto_hash_sha256_BYTES);
    return text;
}

std::string ExpectedHex(const std::vector<uint8_t>& bytes) {
    uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, bytes.data(), bytes.size());
    return Hex(digest);
}

// Feeds `bytes` in spans cycling through `spans`; returns the digest in hex.
std::string Digest(CSha256Worker& worker, const std::vector<uint8_t>& bytes,
                   const std::vector<size_t>& spans) {
    EXPECT_TRUE(worker.Begin());
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
        const size_t n = std::min(spans[i % spans.size()], bytes.size() - at);
        worker.Add(bytes.data() + at, n);
        at += n;
    }
    uint8_t digest[crypto_hash_sha256_BYTES];
    std::memset(digest, 0xde, sizeof digest);
    EXPECT_TRUE(worker.Finish(digest));
    return Hex(digest);
}

TEST(Sha256WorkerTest, DigestEqualsTheOneShotHashForAnySpans) {
    const struct {
        const char* name;
        size_t size;
        std::vector<size_t> spans;
    } cases[] = {
        {"empty", 0, {1}},
        {"one byte", 1, {1}},
        {"one whole block", kBlock, {kBlock}},
        {"a block and a byte", kBlock + 1, {kBlock}},
        {"three rings in uneven spans", 3 * kRing + 17, {65536, 1, 4096, 70001, 3}},
        {"ring plus one in small spans", kRing + 1, {4093}},
        {"spans larger than the ring", 2 * kRing + 5, {kRing + 3}},
    };
    CSha256Worker worker;
    for (const auto& c : cases) {
        const std::vector<uint8_t> bytes = Bytes(c.size);
        EXPECT_EQ(ExpectedHex(bytes), Digest(worker, bytes, c.spans)) << c.name;
    }
}

TEST(Sha256WorkerTest, BeginDropsAnUnfinishedDigest) {
    CSha256Worker worker;
    uint8_t digest[crypto_hash_sha256_BYTES];
    EXPECT_FALSE(worker.Finish(digest)) << "no digest was begun";
    const std::vector<uint8_t> dropped = Bytes(kRing + 99), kept = Bytes(1000);
    ASSERT_TRUE(worker.Begin());
    worker.Add(dropped.data(), dropped.size());
    EXPECT_EQ(ExpectedHex(kept), Digest(worker, kept, {7}));
    // Destroying a worker in the middle of a digest ends it cleanly too.
    CSha256Worker abandoned;
    ASSERT_TRUE(abandoned.Begin());
    abandoned.Add(dropped.data(), dropped.size());
}

TEST(DownloadCheckTest, OnlyTheExpectedDigestLetsTheBodyThrough) {
    const std::vector<uint8_t> body = Bytes(300000);
    uint8_t expected[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(expected, body.data(), body.size());
    std::vector<uint8_t> changed = body;
    changed[123456] ^= 0x80;
    const struct {
        const char* name;
        std::vector<uint8_t> body;
        bool begun;
        bool accepted;
    } cases[] = {
        {"expected body", body, true, true},
        {"one bit changed", changed, true, false},
        {"cut short", std::vector<uint8_t>(body.begin(), body.end() - 1), true, false},
        {"body end without a beginning", {}, false, false},
        {"expected body again", body, true, true},
    };
    CDownloadCheck check;
    for (const auto& c : cases) {
        check.Expect(expected);
        if (c.begun) check.OnHttpBodyBegin(0);
        for (size_t at = 0; at < c.body.size(); at += 65536) {
            const size_t n = std::min<size_t>(65536, c.body.size() - at);
            check.OnHttpBody(reinterpret_cast<const char*>(c.body.data() + at), static_cast<uint32_t>(n));
        }
        EXPECT_EQ(c.accepted, check.OnHttpBodyEnd()) << c.name;
        EXPECT_EQ(!c.accepted, check.Mismatched()) << c.name;
    }
}

TEST(DownloadCheckTest, PartialFileStartsTheDigestThatLaterBodiesContinue) {
    const std::vector<uint8_t> body = Bytes(kRing + 5000);
    uint8_t expected[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(expected, body.data(), body.size());
    wchar_t folder[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, folder));
    ASSERT_NE(0u, GetTempFileNameW(folder, L"dck", 0, path));
    const struct {
        const char* name;
        size_t stored;          // bytes in the partial file
        uint64_t hashedLength;  // bytes asked to hash of it
        uint64_t offset;        // where the next body starts
        bool read, accepted;
    } cases[] = {
        {"one byte kept", 1, 1, 1, true, true},
        {"a ring and more kept", kRing + 3, kRing + 3, kRing + 3, true, true},
        {"file shorter than asked", 100, 200, 200, false, false},
        {"body starting elsewhere", 1000, 1000, 999, true, false},
        {"body starting over", 1000, 1000, 0, true, true},
    };
    const kit::CKernelHandle done(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    CDownloadCheck check;
    for (const auto& c : cases) {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0xdeadbeef;
        ASSERT_TRUE(WriteFile(file, body.data(), static_cast<DWORD>(c.stored), &written, nullptr)) << c.name;
        CloseHandle(file);
        check.Expect(expected);
        ASSERT_TRUE(check.HashPartialFile(path, c.hashedLength, done.Get())) << c.name;
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done.Get(), 10000)) << c.name;
        EXPECT_EQ(c.read, check.PartialFileHashed()) << c.name;
        EXPECT_EQ(c.hashedLength, check.Hashed()) << c.name;
        check.OnHttpBodyBegin(c.offset);
        const size_t from = static_cast<size_t>(c.offset);
        check.OnHttpBody(reinterpret_cast<const char*>(body.data() + from), static_cast<uint32_t>(body.size() - from));
        EXPECT_EQ(c.accepted, check.OnHttpBodyEnd()) << c.name;
    }
    EXPECT_FALSE(check.HashPartialFile(L"Z:\\no\\such\\file", 10, done.Get()));
    DeleteFileW(path);
}

TEST(DownloadCheckTest, DigestTextIsSixtyFourHexDigitsOfEitherCase) {
    const std::wstring lower = L"00ff8a9b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f7a8b9c0d1e2f3a4b";
    std::wstring upper = lower, mixed = lower;
    for (auto& c : upper) c = towupper(c);
    for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = towupper(mixed[i]);
    const struct {
        const char* name;
        std::wstring text;
        bool ok;
    } cases[] = {
        {"lower", lower, true},
        {"upper", upper, true},
        {"mixed", mixed, true},
        {"63 digits", lower.substr(1), false},
        {"65 digits", lower + L"0", false},
        {"a g", L"g" + lower.substr(1), false},
        {"a blank", L" " + lower.substr(1), false},
        {"colons", L"00:" + lower.substr(3), false},
        {"full-width digit", L"\xFF10" + lower.substr(1), false},
        {"empty", L"", false},
    };
    for (const auto& c : cases) {
        uint8_t digest[crypto_hash_sha256_BYTES];
        std::memset(digest, 0xde, sizeof digest);
        EXPECT_EQ(c.ok, ParseSha256Hex(c.text.c_str(), digest)) << c.name;
        if (c.ok) {
            EXPECT_EQ("00ff8a9b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f7a8b9c0d1e2f3a4b", Hex(digest))
                << c.name;
        }
    }
    uint8_t digest[crypto_hash_sha256_BYTES];
    EXPECT_FALSE(ParseSha256Hex(nullptr, digest));
}

}  // namespace

namespace {

// Both engines, and the one picked, give libsodium's one-shot digest for
// lengths around the 64-byte block and the padding's 56, fed whole and in
// uneven pieces.
TEST(Sha256Test, EveryEngineGivesTheSameDigest) {
    const std::vector<uint8_t> data = Bytes(3 * kBlock + 7);
    const size_t lengths[] = {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000, 3 * kBlock + 7};
    const struct {
        const char* name;
        CSha256::Engine engine;
    } engines[] = {{"CNG", CSha256::Engine::kCng},
                   {"libsodium", CSha256::Engine::kSodium},
                   {"the faster", CSha256::Engine::kFastest}};
    for (const auto& e : engines) {
        for (const size_t length : lengths) {
            for (const size_t piece : {length ? length : size_t{1}, size_t{13}}) {
                const std::vector<uint8_t> bytes(data.begin(), data.begin() + length);
                CSha256 sha;
                ASSERT_TRUE(sha.Begin(e.engine)) << e.name;
                for (size_t at = 0; at < length; at += piece) sha.Update(bytes.data() + at, std::min(piece, length - at));
                uint8_t digest[CSha256::kSize];
                std::memset(digest, 0xde, sizeof digest);
                ASSERT_TRUE(sha.Finish(digest)) << e.name;
                EXPECT_EQ(ExpectedHex(bytes), Hex(digest)) << e.name << ", " << length << " bytes in pieces of " << piece;
            }
        }
        uint8_t digest[CSha256::kSize];
        CSha256 unused;
        EXPECT_FALSE(unused.Finish(digest)) << e.name << ": no digest begun";
    }
    std::printf("the faster engine here: %s\n", CSha256::Fastest() == CSha256::Engine::kCng ? "CNG" : "libsodium");
}

}  // namespace
