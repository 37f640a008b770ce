// Keys and signatures in minisign's formats, in-process. Interoperation with
// the minisign program itself is in the command-line tests.
#include <gtest/gtest.h>

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "Manifest.h"
#include "Minisign.h"

namespace publish {
namespace {

class MinisignTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(InitCrypto());
        GenerateKeyPair(&key_);
        public_ = PublicKeyOf(key_);
    }

    tagSecretKey key_;
    tagPublicKey public_;
};

// Replaces the line'th line of text (0-based).
std::string WithLine(const std::string& text, int line, const std::string& replacement) {
    size_t start = 0;
    for (int i = 0; i < line; ++i) start = text.find('\n', start) + 1;
    return text.substr(0, start) + replacement + text.substr(text.find('\n', start));
}

std::string Line(const std::string& text, int line) {
    size_t start = 0;
    for (int i = 0; i < line; ++i) start = text.find('\n', start) + 1;
    return text.substr(start, text.find('\n', start) - start);
}

std::string FlipLastBase64Digit(const std::string& line) {
    std::string out = line;
    size_t at = out.find_last_not_of('=') - 1;
    out[at] = out[at] == 'A' ? 'B' : 'A';
    return out;
}

TEST_F(MinisignTest, KeyFilesRoundTrip) {
    tagSecretKeyFile file;
    std::string error;
    ASSERT_TRUE(ParseSecretKeyFile(FormatSecretKey(key_), &file, &error)) << error;
    EXPECT_FALSE(file.encrypted_);
    tagSecretKey opened;
    ASSERT_TRUE(OpenSecretKey(file, "", &opened, &error)) << error;
    EXPECT_EQ(opened.key_, key_.key_);
    EXPECT_EQ(opened.keyId_, key_.keyId_);

    tagPublicKey parsed;
    const std::string text = FormatPublicKey(public_);
    ASSERT_TRUE(ParsePublicKey(text, &parsed, &error)) << error;
    EXPECT_EQ(parsed.key_, public_.key_);
    EXPECT_NE(text.find("minisign public key " + KeyIdText(public_.keyId_)), std::string::npos);
}

TEST_F(MinisignTest, KeyIdReadsAsLittleEndian) {
    const KeyId id = {0x6a, 0x6c, 0xcf, 0x81, 0x03, 0xfe, 0x1a, 0xcf};
    EXPECT_EQ(KeyIdText(id), "CF1AFE0381CF6C6A");
}

TEST_F(MinisignTest, DamagedSecretKeysAreRefused) {
    tagSecretKeyFile file;
    std::string error;
    ASSERT_TRUE(ParseSecretKeyFile(FormatSecretKey(key_), &file, &error)) << error;
    tagSecretKey opened;

    tagSecretKeyFile badChecksum = file;
    badChecksum.sealed_[90] ^= 1;
    EXPECT_FALSE(OpenSecretKey(badChecksum, "", &opened, &error));
    EXPECT_NE(error.find("checksum"), std::string::npos);

    // minisign -W leaves the checksum zero; the public half is checked then.
    tagSecretKeyFile zeroChecksum = file;
    std::fill(zeroChecksum.sealed_.begin() + 72, zeroChecksum.sealed_.end(), 0);
    EXPECT_TRUE(OpenSecretKey(zeroChecksum, "", &opened, &error)) << error;
    zeroChecksum.sealed_[70] ^= 1;
    EXPECT_FALSE(OpenSecretKey(zeroChecksum, "", &opened, &error));
    EXPECT_NE(error.find("public half"), std::string::npos);
}

TEST_F(MinisignTest, UnreadableKeyFilesAreRefused) {
    const std::string secret = FormatSecretKey(key_);
    const std::string pub = FormatPublicKey(public_);
    const struct {
        const char* name;
        std::string text;
        bool isPublic;
    } cases[] = {
        {"empty", "", true},
        {"no comment line", Line(pub, 1) + "\n", true},
        {"secret key given as public key", secret, true},
        {"public key given as secret key", pub, false},
        {"bad base64", WithLine(pub, 1, "!!!!"), true},
        {"unknown key encryption", WithLine(secret, 1, "RWRYWQ" + Line(secret, 1).substr(6)), false},
    };
    for (const auto& c : cases) {
        std::string error;
        tagPublicKey parsedPublic;
        tagSecretKeyFile parsedSecret;
        const bool ok = c.isPublic ? ParsePublicKey(c.text, &parsedPublic, &error)
                                   : ParseSecretKeyFile(c.text, &parsedSecret, &error);
        EXPECT_FALSE(ok) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
    }
}

TEST_F(MinisignTest, SignaturesVerifyAndEveryChangeBreaksThem) {
    const std::string message = "<Update game=\"1\"/>\n";
    const std::string minisig = Sign(key_, message, "game 1 version 1");
    tagSignature signature;
    std::string error;
    ASSERT_TRUE(ParseSignature(minisig, &signature, &error)) << error;
    EXPECT_TRUE(signature.prehashed_);
    EXPECT_EQ(signature.trustedComment_, "game 1 version 1");
    ASSERT_TRUE(VerifySignature(public_, message, signature, &error)) << error;

    tagSecretKey other;
    GenerateKeyPair(&other);
    const struct {
        const char* name;
        std::string message;
        std::string minisig;
        tagPublicKey key;
        const char* reason;
    } cases[] = {
        {"message changed", message + " ", minisig, public_, "does not match the manifest"},
        {"trusted comment changed", message, WithLine(minisig, 2, "trusted comment: game 2 version 1"), public_,
         "global signature"},
        {"signature changed", message, WithLine(minisig, 1, FlipLastBase64Digit(Line(minisig, 1))), public_,
         "does not match the manifest"},
        {"global signature changed", message, WithLine(minisig, 3, FlipLastBase64Digit(Line(minisig, 3))),
         public_, "global signature"},
        {"other key", message, minisig, PublicKeyOf(other), "not by key"},
        {"other key with the same id", message, minisig,
         [&] {
             tagPublicKey forged = PublicKeyOf(other);
             forged.keyId_ = public_.keyId_;
             return forged;
         }(),
         "does not match the manifest"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tagSignature parsed;
        ASSERT_TRUE(ParseSignature(c.minisig, &parsed, &error)) << error;
        error.clear();
        EXPECT_FALSE(VerifySignature(c.key, c.message, parsed, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

// minisign's legacy "Ed" signs the message itself rather than its BLAKE2b hash.
TEST_F(MinisignTest, LegacySignaturesVerify) {
    const std::string message = "legacy";
    unsigned char record[74];
    std::memcpy(record, "Ed", 2);
    std::memcpy(record + 2, key_.keyId_.data(), 8);
    crypto_sign_detached(record + 10, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                         message.size(), key_.key_.data());
    std::string global(record + 10, record + 74);
    global += "t";
    unsigned char globalSignature[64];
    crypto_sign_detached(globalSignature, nullptr, reinterpret_cast<const unsigned char*>(global.data()),
                         global.size(), key_.key_.data());
    char line[200], globalLine[200];
    sodium_bin2base64(line, sizeof line, record, sizeof record, sodium_base64_VARIANT_ORIGINAL);
    sodium_bin2base64(globalLine, sizeof globalLine, globalSignature, 64, sodium_base64_VARIANT_ORIGINAL);
    const std::string minisig =
        std::string("untrusted comment: x\r\n") + line + "\r\ntrusted comment: t\r\n" + globalLine + "\r\n";

    tagSignature signature;
    std::string error;
    ASSERT_TRUE(ParseSignature(minisig, &signature, &error)) << error;
    EXPECT_FALSE(signature.prehashed_);
    EXPECT_TRUE(VerifySignature(public_, message, signature, &error)) << error;
    EXPECT_FALSE(VerifySignature(public_, message + "!", signature, &error));
}

TEST_F(MinisignTest, MalformedSignaturesAreRefused) {
    const std::string minisig = Sign(key_, "m", "t");
    const std::string cases[] = {
        "",
        WithLine(minisig, 0, "comment: x"),
        WithLine(minisig, 2, "comment: t"),
        WithLine(minisig, 1, "RUQ="),
        WithLine(minisig, 1, "XX" + Line(minisig, 1).substr(2)),
        minisig + "extra line\n",
    };
    for (const std::string& text : cases) {
        tagSignature signature;
        std::string error;
        EXPECT_FALSE(ParseSignature(text, &signature, &error)) << text;
    }
}

// A signed body is found by its structure from the end, whatever its
// comments hold; the updater's check and publish's agree on every case.
TEST_F(MinisignTest, SignedBodiesAreFoundByTheirStructureFromTheEnd) {
    const std::string message = "<Update game=\"1\"/>\n";
    const auto signedWith = [&](const std::string& trusted, const std::string& untrusted = "") {
        const std::string minisig = Sign(key_, message, trusted);
        return untrusted.empty() ? minisig : WithLine(minisig, 0, "untrusted comment: " + untrusted);
    };
    const auto body = [&](const std::string& minisig) { return JoinSignedBody(message, minisig); };
    const auto crlf = [](const std::string& text) {
        std::string out;
        for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return out;
    };
    const std::string plain = signedWith("game 1 version 1");
    const struct {
        const char* name;
        std::string body;
        bool ok;
    } cases[] = {
        {"plain", body(plain), true},
        {"trusted comment holding -->", body(signedWith("release --> 2")), true},
        {"trusted comment that is -->", body(signedWith("-->")), true},
        {"trusted comment ending the block's first line", body(signedWith("file:m.xml <!-- signature")),
         true},
        {"trusted comment holding a whole block", body(signedWith("<!-- signature -->")), true},
        {"untrusted comment holding both", body(signedWith("t", "x <!-- signature")), true},
        {"untrusted comment holding -->", body(signedWith("t", "a --> b")), true},
        {"CR LF throughout the block",
         message + crlf(body(signedWith("a --> <!-- signature")).substr(message.size())), true},
        {"no line end before -->", message + "<!-- signature\n" + plain.substr(0, plain.size() - 1) + "-->",
         true},
        {"blank lines before -->", message + "<!-- signature\n" + plain + "\n \n\t\n\n-->\n", true},
        {"many blanks after -->", body(plain) + std::string(1 << 20, '\n'), true},
        {"too many blank lines before -->",
         message + "<!-- signature\n" + plain + std::string(20, '\n') + "-->", false},
        {"a million line ends before -->", message + "<!-- signature\n" + std::string(1 << 20, '\n') + "-->",
         false},
        {"--> on a record line", message + "<!-- signature\n" + plain + "-->x\n-->", false},
        {"text after -->", body(plain) + "x", false},
        {"block start without a line end", message + "<!-- signature " + plain + "-->", false},
        {"the comment's block start alone",
         message + "x\ntrusted comment: <!-- signature\n" + Line(plain, 3) + "\n-->", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        size_t size = 0xdeadbeef;
        EXPECT_EQ(kit::VerifySignedBody(public_, c.body, &size), c.ok);
        EXPECT_EQ(size, c.ok ? message.size() : 0xdeadbeef);
        std::string manifest, minisig, error;
        tagSignature signature;
        const bool ok = SplitSignedBody(c.body, &manifest, &minisig, &error) &&
                        ParseSignature(minisig, &signature, &error) &&
                        VerifySignature(public_, manifest, signature, &error);
        EXPECT_EQ(ok, c.ok) << error;
        if (ok) {
            EXPECT_EQ(manifest, message);
        }
    }
}

}  // namespace
}  // namespace publish
