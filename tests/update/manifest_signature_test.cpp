// Signature blocks of update-check answers, checked in-process against
// signatures that Debian's minisign made for this build (make-signatures.sh).
#include <windows.h>

#include <sodium.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/Minisign.h"
#include "signature_fixtures.h"

using kit::ParseMinisignKey;
using kit::ParseMinisignSignature;
using kit::tagMinisignKey;
using kit::tagMinisignSignature;
using kit::VerifySignedBody;
using update_test::MinisignLine;
using update_test::SignatureBlock;
using update_test::SignatureFixture;

namespace {

const size_t kPoison = 0xdeadbeef;

std::string ReplaceLine(const std::string& text, int index, const std::string& line) {
    size_t start = 0;
    for (int i = 0; i < index; ++i) start = text.find('\n', start) + 1;
    return text.substr(0, start) + line + text.substr(text.find('\n', start));
}

std::vector<uint8_t> Base64Decode(const std::string& text) {
    std::vector<uint8_t> bytes(text.size());
    size_t length = 0;
    sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, nullptr,
                      sodium_base64_VARIANT_ORIGINAL);
    bytes.resize(length);
    return bytes;
}

std::string Base64Encode(const std::vector<uint8_t>& bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&text[0], text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    text.pop_back();  // the terminating NUL
    return text;
}

// The signature file with one byte of its line `index`, decoded, changed.
std::string FlipDecoded(const std::string& minisig, int index, size_t offset) {
    std::vector<uint8_t> bytes = Base64Decode(MinisignLine(minisig, index));
    bytes[offset] ^= 0x01;
    return ReplaceLine(minisig, index, Base64Encode(bytes));
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

class ManifestSignatureTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ParseMinisignKey(MinisignLine(SignatureFixture(L"key.pub"), 1), &key_));
        ASSERT_TRUE(ParseMinisignKey(MinisignLine(SignatureFixture(L"other.pub"), 1), &otherKey_));
        message_ = SignatureFixture(L"message.bin");
        prehashed_ = SignatureFixture(L"message.ED.minisig");
        legacy_ = SignatureFixture(L"message.Ed.minisig");
        other_ = SignatureFixture(L"message.other.minisig");
        ASSERT_FALSE(message_.empty() || prehashed_.empty() || legacy_.empty() || other_.empty());
    }

    tagMinisignKey key_{}, otherKey_{};
    std::string message_, prehashed_, legacy_, other_;
};

TEST_F(ManifestSignatureTest, KeyLineMustBeAWholeEd25519Key) {
    const std::string good = MinisignLine(SignatureFixture(L"key.pub"), 1);
    std::vector<uint8_t> raw = Base64Decode(good);
    raw[1] = 'D';
    const struct {
        const char* name;
        std::string line;
        bool ok;
    } cases[] = {
        {"key line", good, true},
        {"blanks around it", " \t" + good + "\r\n", true},
        {"comment line", MinisignLine(SignatureFixture(L"key.pub"), 0), false},
        {"signature line", MinisignLine(prehashed_, 1), false},
        {"algorithm ED", Base64Encode(raw), false},
        {"one character short", good.substr(1), false},
        {"text after it", good + " x", false},
        {"empty", "", false},
    };
    for (const auto& c : cases) {
        tagMinisignKey key;
        key.keyId_.fill(0xde);
        key.key_.fill(0xde);
        EXPECT_EQ(c.ok, ParseMinisignKey(c.line, &key)) << c.name;
        EXPECT_EQ(c.ok, key.keyId_ == key_.keyId_ && key.key_ == key_.key_) << c.name << ": key bytes";
    }
}

TEST_F(ManifestSignatureTest, SignatureFileFieldsAreRead) {
    const struct {
        const char* name;
        std::string minisig;
        bool prehashed;
    } cases[] = {{"ED", prehashed_, true}, {"Ed", legacy_, false}, {"Ed, CR LF lines", Crlf(legacy_), false}};
    for (const auto& c : cases) {
        tagMinisignSignature signature;
        signature.prehashed_ = !c.prehashed;
        ASSERT_TRUE(ParseMinisignSignature(c.minisig, &signature)) << c.name;
        EXPECT_EQ(c.prehashed, signature.prehashed_) << c.name;
        EXPECT_TRUE(signature.keyId_ == key_.keyId_) << c.name;
        EXPECT_EQ("release 2 of the test game", signature.trustedComment_) << c.name;
    }
}

TEST_F(ManifestSignatureTest, OnlyAnIntactBlockAtTheEndVerifies) {
    std::string changedFirst = message_, changedLast = message_;
    changedFirst[0] ^= 0x20;
    changedLast[changedLast.size() - 2] ^= 0x01;
    const std::string nested = SignatureFixture(L"nested.bin");
    const struct {
        const char* name;
        std::string body;
        size_t manifestSize;  // kPoison: refused
    } cases[] = {
        {"ED", message_ + SignatureBlock(prehashed_), message_.size()},
        {"legacy Ed", message_ + SignatureBlock(legacy_), message_.size()},
        {"CR LF throughout", message_ + SignatureBlock(Crlf(prehashed_), "\r\n"), message_.size()},
        {"blanks after the block", message_ + SignatureBlock(prehashed_) + " \t\r\n\n", message_.size()},
        {"untrusted comment changed",
         message_ + SignatureBlock(ReplaceLine(prehashed_, 0, "untrusted comment: x")), message_.size()},
        {"last of two blocks counts", nested + SignatureBlock(SignatureFixture(L"nested.ED.minisig")),
         nested.size()},
        {"last of two blocks is another key's",
         message_ + SignatureBlock(prehashed_) + SignatureBlock(other_), kPoison},
        {"no block", message_, kPoison},
        {"empty body", "", kPoison},
        {"first byte of M changed", changedFirst + SignatureBlock(prehashed_), kPoison},
        {"a byte near the end of M changed", changedLast + SignatureBlock(prehashed_), kPoison},
        {"legacy, byte of M changed", changedFirst + SignatureBlock(legacy_), kPoison},
        {"other key", message_ + SignatureBlock(other_), kPoison},
        {"algorithm changed to Ed", message_ + SignatureBlock(FlipDecoded(prehashed_, 1, 1)), kPoison},
        {"key id changed", message_ + SignatureBlock(FlipDecoded(prehashed_, 1, 5)), kPoison},
        {"signature byte changed", message_ + SignatureBlock(FlipDecoded(prehashed_, 1, 40)), kPoison},
        {"trusted comment changed",
         message_ + SignatureBlock(ReplaceLine(prehashed_, 2, "trusted comment: release 3")), kPoison},
        {"trusted comment prefix missing",
         message_ + SignatureBlock(ReplaceLine(prehashed_, 2, MinisignLine(prehashed_, 2).substr(8))),
         kPoison},
        {"untrusted comment prefix missing",
         message_ + SignatureBlock(ReplaceLine(prehashed_, 0, "comment: x")), kPoison},
        {"global signature changed", message_ + SignatureBlock(FlipDecoded(prehashed_, 3, 0)), kPoison},
        {"global signature missing",
         message_ + SignatureBlock(prehashed_.substr(0, prehashed_.rfind('\n', prehashed_.size() - 2) + 1)),
         kPoison},
        {"signature line cut short",
         message_ + SignatureBlock(ReplaceLine(prehashed_, 1, MinisignLine(prehashed_, 1).substr(4))),
         kPoison},
        {"a fifth line", message_ + SignatureBlock(prehashed_ + "x\n"), kPoison},
        {"block not at the end", message_ + SignatureBlock(prehashed_) + "<Update/>", kPoison},
        {"block start without line end", message_ + "<!-- signature " + "\n" + prehashed_ + "-->", kPoison},
        {"block without -->", message_ + "<!-- signature\n" + prehashed_, kPoison},
    };
    for (const auto& c : cases) {
        size_t manifestSize = kPoison;
        const bool ok = VerifySignedBody(key_, c.body, &manifestSize);
        EXPECT_EQ(c.manifestSize != kPoison, ok) << c.name;
        EXPECT_EQ(c.manifestSize, manifestSize) << c.name;
    }
    size_t manifestSize = kPoison;
    const std::string good = message_ + SignatureBlock(prehashed_);
    EXPECT_FALSE(VerifySignedBody(otherKey_, good, &manifestSize))
        << "checked with another key";
    EXPECT_EQ(kPoison, manifestSize);
}

}  // namespace
