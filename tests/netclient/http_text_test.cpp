// The HTTP client's text handling and content decoding, without a socket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ContentDecoder.h"
#include "HttpText.h"
#include "StringHelpers.h"
#include "http_test_support.h"

using http_test::Deflate;
using http_test::Gzip;
using http_test::NoiseBytes;

TEST(HttpTextTest, TargetIsEscapedOnlyWhereTheWireNeedsIt) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"/plain/path?a=1&b=%20x", "/plain/path?a=1&b=%20x"},
        {"/a b", "/a%20b"},
        {"/\xE6\x96\x87.txt", "/%E6%96%87.txt"},
        {std::string("/\x01\x7F\x80\xFF\t", 6), "/%01%7F%80%FF%09"},
        {"/~!$'()*+,;=:@[]\"<>{}|\\^`", "/~!$'()*+,;=:@[]\"<>{}|\\^`"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.out, http_text::EncodeTarget(c.in)) << c.in;
}

TEST(HttpTextTest, ChunkSizeLinesAreReadUpToTheirLimit) {
    const struct {
        std::string line;
        uint64_t limit;
        bool ok;
        uint64_t size;
    } cases[] = {
        {"1a", 100, true, 26},
        {" 1A;ext=\"x\"", 100, true, 26},
        {"0", 100, true, 0},
        {"64", 100, true, 100},
        {"65", 100, false, 0},
        {"7fffffffffffffff", INT64_MAX, true, INT64_MAX},
        {"8000000000000000", INT64_MAX, false, 0},
        {"00000000000000000000001", INT64_MAX, true, 1},
        {"fffffffffffffffff", UINT64_MAX, false, 0},
        {"", 100, false, 0},
        {";ext", 100, false, 0},
        {"zz", 100, false, 0},
    };
    for (const auto& c : cases) {
        uint64_t size = 0xdeadbeef;
        const bool ok =
            http_text::ParseChunkSize(c.line.data(), static_cast<uint32_t>(c.line.size()), c.limit, &size);
        EXPECT_EQ(c.ok, ok) << "'" << c.line << "' gave " << size;
        if (c.ok && ok) {
            EXPECT_EQ(c.size, size) << c.line;
        }
    }
}

TEST(HttpTextTest, HeaderEndIsFoundForEveryLineEndingAndFromAnyResumePoint) {
    const struct {
        std::string data;
        bool found;
        uint32_t blockEnd, bodyStart;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nA: 1\r\n\r\nbody", true, 21, 25},
        {"HTTP/1.1 200 OK\r\n\r\n", true, 15, 19},
        {"HTTP/1.0 200 OK\r\nA: 1\n\nbody", true, 21, 23},
        {"HTTP/1.0 200 OK\nA: 1\n\r\nbody", true, 20, 23},
        {"HTTP/1.1 200 OK\r\nA: 1\r\n\r", false, 0, 0},
        {"HTTP/1.1 200 OK\r\nA: 1\r\n", false, 0, 0},
        {"HTTP/1.1 200 OK\r\nA: \r1\r\n", false, 0, 0},
    };
    for (const auto& c : cases) {
        const uint32_t size = static_cast<uint32_t>(c.data.size());
        // A resume point at most two bytes behind the end of an earlier,
        // shorter search finds the same end.
        for (uint32_t cut = 0; cut <= size; ++cut) {
            uint32_t blockEnd = 0xdeadbeef, bodyStart = 0xdeadbeef;
            bool earlier = http_text::FindHeaderEnd(c.data.data(), cut, 0, &blockEnd, &bodyStart);
            if (earlier) continue;
            const uint32_t from = cut > 2 ? cut - 2 : 0;
            const bool found = http_text::FindHeaderEnd(c.data.data(), size, from, &blockEnd, &bodyStart);
            ASSERT_EQ(c.found, found) << c.data << " resumed at " << from;
            if (!found) continue;
            EXPECT_EQ(c.blockEnd, blockEnd) << c.data << " resumed at " << from;
            EXPECT_EQ(c.bodyStart, bodyStart) << c.data << " resumed at " << from;
        }
    }
}

TEST(HttpTextTest, LocationsAreResolvedAgainstTheCurrentPath) {
    const struct {
        std::wstring location, path, expected;
    } cases[] = {
        {L"/x/y", L"/a/b", L"/x/y"},
        {L"http://h:81/x", L"/a/b", L"http://h:81/x"},
        {L"HTTPS://h/x", L"/a/b", L"HTTPS://h/x"},
        {L"//h:81/x", L"/a/b", L"http://h:81/x"},
        {L"c.bin", L"/a/b.bin?q=/z", L"/a/c.bin"},
        {L"../c", L"/a/b", L"/a/../c"},
        {L"c?x=a://b", L"/", L"/c?x=a://b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, http_text::ResolveLocation(c.location, c.path)) << _ServerEngine::ToUtf8(c.location);
    }
}

TEST(HttpTextTest, ContentRangesAreReadOnlyWhenWellFormed) {
    const uint64_t unknown = http_text::tagContentRange::kUnknownLength;
    const struct {
        std::wstring value;
        bool ok;
        uint64_t first, last, complete;
    } cases[] = {
        {L"bytes 10-19/20", true, 10, 19, 20},
        {L"Bytes  0-0/1", true, 0, 0, 1},
        {L"bytes 5000000000-5000000009/*", true, 5000000000, 5000000009, unknown},
        {L"bytes 10-9/20", false},
        {L"bytes 10-20/20", false},
        {L"bytes */20", false},
        {L"bytes 10-19", false},
        {L"bytes 10-19/20 ", false},
        {L"items 10-19/20", false},
        {L"bytes=10-19/20", false},
        {L"bytes 99999999999999999999-1/2", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        http_text::tagContentRange range;
        range.first = range.last = range.complete = 0xdeadbeef;
        EXPECT_EQ(c.ok, http_text::ParseContentRange(c.value, &range)) << _ServerEngine::ToNarrow(c.value);
        if (!c.ok) {
            EXPECT_EQ(0xdeadbeefu, range.first) << "untouched on failure";
            continue;
        }
        EXPECT_EQ(c.first, range.first) << _ServerEngine::ToNarrow(c.value);
        EXPECT_EQ(c.last, range.last) << _ServerEngine::ToNarrow(c.value);
        EXPECT_EQ(c.complete, range.complete) << _ServerEngine::ToNarrow(c.value);
    }
}

TEST(ContentDecoderTest, CodingsAreNamedAsServersSpellThem) {
    using Coding = CContentDecoder::Coding;
    const struct {
        std::wstring value;
        Coding coding;
    } cases[] = {
        {L"", Coding::Identity},      {L"identity", Coding::Identity}, {L" GZIP ", Coding::Gzip},
        {L"x-gzip", Coding::Gzip},    {L"Deflate", Coding::Deflate},   {L"br", Coding::Unsupported},
        {L"gzip, br", Coding::Unsupported}, {L"compress", Coding::Unsupported},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<int>(c.coding), static_cast<int>(CContentDecoder::FromHeader(c.value)))
            << _ServerEngine::ToUtf8(c.value);
    }
}

TEST(ContentDecoderTest, BodiesDecodeTheSameInAnyPiecesAndBrokenOnesAreTold) {
    using Coding = CContentDecoder::Coding;
    const std::string plain = std::string(30000, 'p') + NoiseBytes(20000, 2);
    const std::string gz = Gzip(plain);
    std::string corrupt = gz;
    for (size_t i = 40; i < 80; ++i) corrupt[i] = static_cast<char>(~corrupt[i]);
    const struct {
        const char* what;
        Coding coding;
        std::string encoded;
        std::string decoded;
        bool finished, corrupt;
    } cases[] = {
        {"gzip", Coding::Gzip, gz, plain, true, false},
        {"two gzip members", Coding::Gzip, Gzip("first ") + Gzip("second"), "first second", true, false},
        {"padding after gzip", Coding::Gzip, gz + std::string(9, '\0'), plain, true, false},
        {"zlib deflate", Coding::Deflate, Deflate(plain, 15), plain, true, false},
        {"raw deflate", Coding::Deflate, Deflate(plain, -15), plain, true, false},
        {"identity", Coding::Identity, "as is", "as is", true, false},
        {"truncated gzip", Coding::Gzip, gz.substr(0, gz.size() - 10), "", false, false},
        {"truncated raw deflate", Coding::Deflate, Deflate(plain, -15).substr(0, 100), "", false, false},
        {"corrupt gzip", Coding::Gzip, corrupt, "", false, true},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, c.encoded.size()}) {
            CContentDecoder decoder;
            decoder.Reset(c.coding);
            std::string out;
            bool ok = true;
            for (size_t at = 0; ok && at < c.encoded.size(); at += piece) {
                const std::string part = c.encoded.substr(at, piece);
                ok = decoder.Write(part.data(), static_cast<uint32_t>(part.size()), [&](const char* d, uint32_t n) {
                    out.append(d, n);
                    return true;
                });
            }
            EXPECT_EQ(!c.corrupt, ok) << c.what << " in pieces of " << piece;
            EXPECT_EQ(c.corrupt, decoder.Corrupt()) << c.what << " in pieces of " << piece;
            EXPECT_EQ(c.finished, decoder.Finished()) << c.what << " in pieces of " << piece;
            if (c.finished) {
                EXPECT_TRUE(out == c.decoded) << c.what << ": " << out.size() << " bytes";
            }
        }
    }
}
