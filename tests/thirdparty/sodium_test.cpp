#include <sodium.h>

#include <string>

#include <gtest/gtest.h>

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 15];
    }
    return hex;
}

TEST(SodiumTest, InitialisesAndHashes) {
    const int init = sodium_init();
    EXPECT_TRUE(init == 0 || init == 1) << "sodium_init returned " << init;

    struct tagCase {
        std::string input;
        const char* sha256;
    };
    const tagCase cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const auto& c : cases) {
        unsigned char digest[crypto_hash_sha256_BYTES];
        std::fill(std::begin(digest), std::end(digest), 0xde);
        ASSERT_EQ(0, crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(c.input.data()),
                                        c.input.size()));
        EXPECT_EQ(c.sha256, Hex(digest, sizeof(digest))) << "input \"" << c.input << "\"";
    }
}

}  // namespace
