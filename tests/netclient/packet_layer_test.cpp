// Encoding and decoding of framed packets, without any socket.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ClientSocket.h"

using namespace _ClientCommonLib;

namespace {

// A packet inside a buffer big enough for any decoded packet.
struct CPacketBuffer {
    alignas(4) uint8_t bytes[PACKET_MAX_DECODED];

    CPacketBuffer(uint8_t flags, const std::string& payload, uint8_t headerLength = 8) {
        std::memset(bytes, 0xCC, sizeof bytes);
        std::memset(bytes, 0, headerLength);
        Header()->length = static_cast<uint16_t>(headerLength + payload.size());
        Header()->type = 0x1234;
        Header()->flags = flags;
        Header()->headerLength = headerLength;
        for (uint8_t i = 8; i < headerLength; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
        std::memcpy(bytes + headerLength, payload.data(), payload.size());
    }
    PacketHeader* Header() { return reinterpret_cast<PacketHeader*>(bytes); }
    std::string Payload() {
        return std::string(reinterpret_cast<const char*>(bytes) + Header()->headerLength,
                           Header()->length - Header()->headerLength);
    }
    std::string Whole() { return std::string(reinterpret_cast<const char*>(bytes), Header()->length); }
};

std::string Compressible(size_t size) {
    std::string text;
    while (text.size() < size) text += "the lobby asks the server for the table list; ";
    text.resize(size);
    return text;
}

// Bytes that zlib cannot shorten (a fixed linear congruential sequence).
std::string Incompressible(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 23);
    }
    return bytes;
}

}  // namespace

struct RoundTripCase {
    const char* name;
    uint8_t flags;
    bool compressible;
    uint8_t headerLength;
};

class PacketRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(PacketRoundTrip, DecodeRestoresPayloadAndLengthOfEncode) {
    const RoundTripCase& c = GetParam();
    const std::string payload = c.compressible ? Compressible(3000) : Incompressible(3000);
    CPacketBuffer packet(c.flags, payload, c.headerLength);
    const std::string before = packet.Whole();
    CClientSocket codec;

    codec.EncodePacket(packet.Header());
    const uint8_t encodedFlags = packet.Header()->flags;
    EXPECT_TRUE(encodedFlags & PACKET_FLAG_ENCODED) << "flags " << int(encodedFlags);
    EXPECT_EQ(c.headerLength, packet.Header()->headerLength);
    if ((c.flags & (PACKET_FLAG_SCRAMBLED | PACKET_FLAG_SUBSTITUTED)) ||
        ((c.flags & PACKET_FLAG_COMPRESSED) && c.compressible)) {
        EXPECT_NE(payload, packet.Payload()) << "the payload went out as it was";
    }
    if (c.flags & PACKET_FLAG_COMPRESSED) {
        if (c.compressible) {
            EXPECT_TRUE(encodedFlags & PACKET_FLAG_COMPRESSED);
            EXPECT_LT(packet.Header()->length, before.size() / 4) << "compressible text was not shortened";
        } else {
            EXPECT_FALSE(encodedFlags & PACKET_FLAG_COMPRESSED) << "flags " << int(encodedFlags);
            EXPECT_EQ(before.size(), packet.Header()->length);
        }
    }

    EXPECT_EQ(0, codec.DecodePacket(packet.Header()));
    EXPECT_EQ(before.size(), packet.Header()->length);
    EXPECT_EQ(encodedFlags & ~PACKET_FLAG_ENCODED, packet.Header()->flags);
    EXPECT_EQ(payload, packet.Payload());
    // Everything but the key and flag bytes is as before, extra header bytes included.
    const std::string after = packet.Whole();
    EXPECT_EQ(before.substr(0, 4), after.substr(0, 4));
    EXPECT_EQ(before.substr(6), after.substr(6));
}

INSTANTIATE_TEST_SUITE_P(
    Flags, PacketRoundTrip,
    testing::Values(RoundTripCase{"Scrambled", 0x02, true, 8}, RoundTripCase{"Substituted", 0x04, true, 8},
                    RoundTripCase{"Compressed", 0x08, true, 8}, RoundTripCase{"AllThree", 0x0E, true, 8},
                    RoundTripCase{"AllThreeIncompressible", 0x0E, false, 8},
                    RoundTripCase{"CompressedIncompressible", 0x08, false, 8},
                    RoundTripCase{"AllThreeOwnHeader", 0x8E, true, 12},
                    RoundTripCase{"NoCoding", 0x00, true, 8}),
    [](const testing::TestParamInfo<RoundTripCase>& info) { return std::string(info.param.name); });

TEST(PacketLayer, EncodeForcesHeaderLengthEightWithoutOwnHeaderFlag) {
    CPacketBuffer packet(PACKET_FLAG_SCRAMBLED, "payload bytes", 8);
    packet.Header()->headerLength = 3;
    CClientSocket codec;
    codec.EncodePacket(packet.Header());
    EXPECT_EQ(8, packet.Header()->headerLength);
    EXPECT_EQ(0, codec.DecodePacket(packet.Header()));
    EXPECT_EQ("payload bytes", packet.Payload());
}

TEST(PacketLayer, EncodingTwiceChangesNothing) {
    CPacketBuffer packet(0x0E, Compressible(500));
    CClientSocket codec;
    codec.EncodePacket(packet.Header());
    const std::string once = packet.Whole();
    codec.EncodePacket(packet.Header());
    EXPECT_EQ(once, packet.Whole());
}

TEST(PacketLayer, DecodingAPacketThatIsNotEncodedChangesNothing) {
    CPacketBuffer packet(0x0E, "not encoded at all");
    const std::string before = packet.Whole();
    CClientSocket codec;
    EXPECT_EQ(0, codec.DecodePacket(packet.Header()));
    EXPECT_EQ(before, packet.Whole());
}

TEST(PacketLayer, EmptyPayloadOnlyTogglesTheEncodedFlag) {
    CPacketBuffer packet(0x0E, "");
    CClientSocket codec;
    codec.EncodePacket(packet.Header());
    EXPECT_EQ(0x4E, packet.Header()->flags);
    EXPECT_EQ(8, packet.Header()->length);
    EXPECT_EQ(0, codec.DecodePacket(packet.Header()));
    EXPECT_EQ(0x0E, packet.Header()->flags);
}

TEST(PacketLayer, SubstitutionMapsEveryByteToADistinctByte) {
    std::string all(256, '\0');
    for (int b = 0; b < 256; ++b) all[b] = static_cast<char>(b);
    CPacketBuffer packet(PACKET_FLAG_SUBSTITUTED, all);
    CClientSocket codec;
    codec.EncodePacket(packet.Header());
    std::string substituted = packet.Payload();
    int unchanged = 0;
    for (int b = 0; b < 256; ++b) unchanged += static_cast<uint8_t>(substituted[b]) == b;
    EXPECT_LT(unchanged, 16) << "the table leaves most bytes as they are";
    std::sort(substituted.begin(), substituted.end(),
              [](char a, char b) { return static_cast<uint8_t>(a) < static_cast<uint8_t>(b); });
    EXPECT_EQ(all, substituted) << "the substitution table is not a permutation";
}

TEST(PacketLayer, MalformedPacketsFailToDecode) {
    const struct {
        const char* name;
        uint8_t flags;
        uint16_t length;
        uint8_t headerLength;
    } cases[] = {
        {"header length beyond the length", 0x42, 20, 24},
        {"own header length inside the header", 0xC2, 20, 4},
        {"length below the header", 0x42, 5, 8},
        {"compressed payload that is not zlib", 0x48, 48, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CPacketBuffer packet(c.flags, std::string(40, 'p'));
        packet.Header()->length = c.length;
        packet.Header()->headerLength = c.headerLength;
        CClientSocket codec;
        EXPECT_EQ(PACKET_DECODE_FAILED, codec.DecodePacket(packet.Header()));
    }
}

TEST(PacketLayer, PayloadDecompressingBeyondTheLargestPacketFailsToDecode) {
    // 8185 bytes decompressed make a packet of 8193 bytes: one too many.
    for (size_t plainSize : {size_t(8184), size_t(8185)}) {
        const std::string plain(plainSize, 'z');
        std::vector<Bytef> compressed(compressBound(plainSize));
        uLongf compressedSize = compressed.size();
        ASSERT_EQ(Z_OK, compress(compressed.data(), &compressedSize,
                                 reinterpret_cast<const Bytef*>(plain.data()), plainSize));
        CPacketBuffer packet(PACKET_FLAG_COMPRESSED | PACKET_FLAG_ENCODED,
                             std::string(reinterpret_cast<const char*>(compressed.data()), compressedSize));
        CClientSocket codec;
        const int32_t result = codec.DecodePacket(packet.Header());
        if (plainSize == 8184) {
            EXPECT_EQ(0, result);
            EXPECT_EQ(8192, packet.Header()->length);
            EXPECT_EQ(plain, packet.Payload());
        } else {
            EXPECT_EQ(PACKET_DECODE_FAILED, result) << "decoded " << plainSize << " bytes";
        }
    }
}
