#include "protocol/hdlc/Hdlc.h"
#include "protocol/hdlc/FixedPackets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(const Bytes& body) {
    Bytes frame(MaxFrameLength(body.size()));
    const std::size_t n = EncodeFrame(body.data(), body.size(), frame.data(), frame.size());
    frame.resize(n);
    return frame;
}

std::uint16_t Crc(std::uint16_t reg, const Bytes& bytes) {
    for (std::uint8_t b : bytes)
        reg = Crc16Update(reg, b);
    return reg;
}

// Undoes the framing: both flags present, no flag inside, every escape followed by 5E or 5D.
// Returns the body and the FCS as sent (low byte first), or nothing for a malformed frame.
std::optional<Bytes> Unframe(const Bytes& frame) {
    if (frame.size() < 4 || frame.front() != 0x7E || frame.back() != 0x7E)
        return std::nullopt;
    Bytes out;
    for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
        std::uint8_t b = frame[i];
        if (b == 0x7E)
            return std::nullopt;
        if (b == 0x7D) {
            if (i + 2 >= frame.size() || (frame[i + 1] != 0x5E && frame[i + 1] != 0x5D))
                return std::nullopt;
            b = static_cast<std::uint8_t>(frame[++i] ^ 0x20);
        }
        out.push_back(b);
    }
    return out;
}

TEST(Crc16, TableAndCheckValues) {
    EXPECT_EQ(kCrc16Table[0x00], 0x0000);
    EXPECT_EQ(kCrc16Table[0x01], 0x1189);
    EXPECT_EQ(kCrc16Table[0x80], 0x8408);
    EXPECT_EQ(kCrc16Table[0xF0], 0xF78F);
    EXPECT_EQ(kCrc16Table[0xFF], 0x0F78);

    const std::string check = "123456789";
    EXPECT_EQ(Crc(0xFFFF, Bytes(check.begin(), check.end())) ^ 0xFFFF, 0x906E);
    EXPECT_EQ(Crc(0xFFFF, {0x19, 0x00}), 0xB231);
}

// Every stored packet must be exactly what the encoder makes of its body, or the handset drops it.
TEST(HdlcFrame, StoredPacketsEqualEncodedBodies) {
    Bytes helloBody(kHelloPacket + 1, kHelloPacket + 37);
    struct Case {
        const char* name;
        Bytes body;
        const std::uint8_t* stored;
        std::size_t storedLength;
    };
    const Case cases[] = {
        {"go", {0x05, 0x00, 0xA0, 0x00, 0x00}, kGoPacket, sizeof kGoPacket},
        {"0x0C", {0x0C}, kCmd0CPacket, sizeof kCmd0CPacket},
        {"write ack", {0x02}, kWriteAckFrame, sizeof kWriteAckFrame},
        {"hello", helloBody, kHelloPacket, sizeof kHelloPacket},
        {"read", {0x03, 0x20, 0x00, 0x00, 0x00, 0x34, 0x00}, kReadPacket, sizeof kReadPacket},
        {"security", {0x17, 0x00}, kSecurityPacket, sizeof kSecurityPacket},
        {"security response", {0x18}, kSecurityResponse, sizeof kSecurityResponse},
        {"close", {0x15}, kClosePacket, sizeof kClosePacket},
        {"reboot", {0x0B}, kRebootPacket, sizeof kRebootPacket},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Encode(c.body), Bytes(c.stored, c.stored + c.storedLength));
    }
    // The hello body: command, 32 text bytes, 03 03 09.
    ASSERT_EQ(helloBody.size(), 36u);
    EXPECT_EQ(helloBody[0], 0x01);
    EXPECT_EQ(Bytes(helloBody.end() - 3, helloBody.end()), (Bytes{0x03, 0x03, 0x09}));
    EXPECT_EQ(Encode({0x02}), (Bytes{0x7E, 0x02, 0x6A, 0xD3, 0x7E}));
    EXPECT_EQ(Encode({0x18}), (Bytes{0x7E, 0x18, 0xB1, 0x6C, 0x7E}));
}

TEST(HdlcFrame, EscapesOnlyFlagAndEscapeBytes) {
    struct Case {
        const char* name;
        Bytes body;
        Bytes frame;
    };
    const Case cases[] = {
        // The CRC runs over 7E and 7D themselves, not over what goes on the wire.
        {"body 7E 7D",
         {0x7E, 0x7D},
         {0x7E, 0x7D, 0x5E, 0x7D, 0x5D, static_cast<std::uint8_t>(~Crc(0xFFFF, {0x7E, 0x7D}) & 0xFF),
          static_cast<std::uint8_t>((~Crc(0xFFFF, {0x7E, 0x7D}) >> 8) & 0xFF), 0x7E}},
        {"FCS low byte 7E", {0x60}, {0x7E, 0x60, 0x7D, 0x5E, 0x93, 0x7E}},
        {"FCS high byte 7D", {0x19}, {0x7E, 0x19, 0x38, 0x7D, 0x5D, 0x7E}},
        {"FCS both bytes 7E", {0x1B, 0x00}, {0x7E, 0x1B, 0x00, 0x7D, 0x5E, 0x7D, 0x5E, 0x7E}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Encode(c.body), c.frame);
    }

    const Bytes plain = {0x5E, 0x5D, 0x20, 0x11, 0x13, 0x00};
    const Bytes frame = Encode(plain);
    ASSERT_EQ(frame.size(), plain.size() + 4); // nothing escaped (this body's FCS has no 7E/7D)
    EXPECT_EQ(Bytes(frame.begin() + 1, frame.begin() + 7), plain);
}

// Over all two-byte bodies: the frame unescapes to body + FCS, and running the register on over
// the FCS as sent always ends at the FCS-16 residue, so a receiver's check would pass.
TEST(HdlcFrame, EveryTwoByteBodyRoundTripsWithGoodResidue) {
    int escapedFcs = 0;
    for (unsigned v = 0; v < 0x10000; ++v) {
        const Bytes body = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
        const Bytes frame = Encode(body);
        const auto inner = Unframe(frame);
        ASSERT_TRUE(inner.has_value()) << v;
        ASSERT_EQ(inner->size(), 4u) << v;
        ASSERT_EQ(Bytes(inner->begin(), inner->begin() + 2), body) << v;
        ASSERT_EQ(Crc(0xFFFF, *inner), 0xF0B8) << v;
        const std::uint8_t lo = (*inner)[2], hi = (*inner)[3];
        if (lo == 0x7E || lo == 0x7D || hi == 0x7E || hi == 0x7D)
            ++escapedFcs;
    }
    EXPECT_GT(escapedFcs, 0);
}

TEST(HdlcFrame, ResidueOverBodiesOfSeveralShapes) {
    Bytes big(1024);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7 + 0x7D);
    const Bytes bodies[] = {{0x00}, {0xFF}, {0x7E, 0x7E, 0x7E}, {0x05, 0x00, 0xA0, 0x00, 0x00}, big};
    for (const Bytes& body : bodies) {
        const auto inner = Unframe(Encode(body));
        ASSERT_TRUE(inner.has_value());
        EXPECT_EQ(Bytes(inner->begin(), inner->end() - 2), body);
        EXPECT_EQ(Crc(0xFFFF, *inner), 0xF0B8);
    }
}

// A frame begun after a constant prefix (19 00, register 0xB231) equals the whole encoding.
TEST(HdlcFrame, StartingFromPrefixRegisterGivesSameFrame) {
    const Bytes tail = {0x01, 0x7E, 0x44, 0x7D, 0x90};
    Bytes whole = {0x19, 0x00};
    whole.insert(whole.end(), tail.begin(), tail.end());

    Bytes frame(MaxFrameLength(whole.size()));
    HdlcEncoder enc;
    BeginFrameFrom(enc, frame.data(), frame.size(), 0xB231);
    frame[1] = 0x19; // the caller places the prefix itself
    frame[2] = 0x00;
    enc.length = 3;
    for (std::uint8_t b : tail)
        AddFrameByte(enc, b);
    frame.resize(EndFrame(enc));
    EXPECT_EQ(frame, Encode(whole));
}

// A buffer too small for the frame: nothing lands past its end and no length is returned, so a
// cut frame is never sent. Tried at every capacity, through escape pairs and the FCS.
TEST(HdlcFrame, OverflowNeverWritesPastCapacity) {
    const Bytes body = {0x0F, 0x7E, 0x01, 0x7D, 0x60};
    const std::size_t full = Encode(body).size();
    for (std::size_t capacity = 0; capacity <= full; ++capacity) {
        SCOPED_TRACE(capacity);
        Bytes buffer(capacity + 8, 0xAA);
        const std::size_t n = EncodeFrame(body.data(), body.size(), buffer.data(), capacity);
        EXPECT_EQ(n, capacity == full ? full : 0u);
        for (std::size_t i = capacity; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], 0xAA) << "byte " << i << " written";
    }
    EXPECT_EQ(EncodeFrame(body.data(), body.size(), nullptr, 100), 0u);
    // The longest frame of a full write packet body fits the stated bound exactly.
    const Bytes allFlags(1024, 0x7E);
    EXPECT_LE(Encode(allFlags).size(), MaxFrameLength(1024));
    EXPECT_EQ(MaxFrameLength(1024), 2054u);
}

} // namespace
