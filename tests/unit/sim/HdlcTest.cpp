// The simulator's HDLC codec: it judges the host's frames, so it must agree with the known
// answers and flag every irregular frame without ever failing itself.
#include "Hdlc.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using sim::Bytes;
using simtest::FromHex;

std::vector<sim::HdlcFrame> DecodeAll(const Bytes& wire, sim::HdlcDecoder& decoder) {
    std::vector<sim::HdlcFrame> frames;
    for (std::uint8_t b : wire)
        if (auto f = decoder.Feed(b))
            frames.push_back(std::move(*f));
    return frames;
}

std::vector<sim::HdlcFrame> DecodeAll(const Bytes& wire) {
    sim::HdlcDecoder decoder;
    return DecodeAll(wire, decoder);
}

TEST(SimHdlc, CheckValueAndResidue) {
    const std::string digits = "123456789";
    EXPECT_EQ(sim::Fcs(Bytes(digits.begin(), digits.end())), 0x906E);
    // Running on over the FCS as sent ends at the good-frame residue, whatever the body.
    for (const Bytes& body : {Bytes{0x02}, FromHex("19 00 7E 7D"), Bytes(300, 0x7D)}) {
        const std::uint16_t fcs = sim::Fcs(body);
        std::uint16_t reg = 0xFFFF;
        for (std::uint8_t b : body)
            reg = sim::FcsStep(reg, b);
        reg = sim::FcsStep(reg, static_cast<std::uint8_t>(fcs & 0xFF));
        reg = sim::FcsStep(reg, static_cast<std::uint8_t>(fcs >> 8));
        EXPECT_EQ(reg, 0xF0B8);
    }
}

struct KnownFrame {
    const char* body;
    const char* wire;
};

TEST(SimHdlc, KnownAnswerFramesEncodeAndDecode) {
    const KnownFrame cases[] = {
        {"02", "7E 02 6A D3 7E"},
        {"18", "7E 18 B1 6C 7E"},
        {"05 00 A0 00 00", "7E 05 00 A0 00 00 F4 E6 7E"},
        {"0C", "7E 0C 14 3A 7E"},
        {"03 20 00 00 00 34 00", "7E 03 20 00 00 00 34 00 BC 70 7E"},
        {"17 00", "7E 17 00 DE D7 7E"},
        {"15", "7E 15 54 B7 7E"},
        {"0B", "7E 0B AB 4E 7E"},
        {"19 00", "7E 19 00 CE 4D 7E"},
        {"19 00 7E", "7E 19 00 7D 5E BE 45 7E"},
        {"1B 04", "7E 1B 04 5A 38 7E"},
        // Only 7E and 7D are escaped: control characters, 5E and 5D go out as they are.
        {"07 00 00 7E 00 5E 5D 20 11 13 00 7D", "7E 07 00 00 7D 5E 00 5E 5D 20 11 13 00 7D 5D"},
    };
    for (const KnownFrame& c : cases) {
        SCOPED_TRACE(c.body);
        const Bytes body = FromHex(c.body);
        const Bytes encoded = sim::EncodeFrame(body);
        const Bytes wire = FromHex(c.wire);
        // The last case lists the wire only up to the body; its FCS is checked by the decode.
        ASSERT_GE(encoded.size(), wire.size());
        EXPECT_TRUE(std::equal(wire.begin(), wire.end(), encoded.begin()));
        const auto frames = DecodeAll(encoded);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].body, body);
        EXPECT_TRUE(frames[0].fcsOk);
        EXPECT_TRUE(frames[0].faults.empty());
        EXPECT_EQ(frames[0].raw, encoded);
    }
}

TEST(SimHdlc, EscapedFcsBytesAreUndone) {
    // Find bodies whose FCS has a 7E or 7D in either byte: the decoder must unescape them.
    int found = 0;
    for (unsigned v = 0; v < 65536 && found < 4; ++v) {
        const Bytes body = {0x07, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
        const std::uint16_t fcs = sim::Fcs(body);
        const auto lo = static_cast<std::uint8_t>(fcs & 0xFF), hi = static_cast<std::uint8_t>(fcs >> 8);
        if (lo != 0x7E && lo != 0x7D && hi != 0x7E && hi != 0x7D)
            continue;
        ++found;
        const auto frames = DecodeAll(sim::EncodeFrame(body));
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_TRUE(frames[0].fcsOk);
        EXPECT_EQ(frames[0].body, body);
    }
    EXPECT_EQ(found, 4);
}

struct FaultyWire {
    const char* name;
    const char* wire;
    bool fcsOk;
    const char* faultText; // part of the expected fault, or "" for none
    std::size_t stray;
    std::size_t doubled;
};

TEST(SimHdlc, IrregularFramesAreReported) {
    const FaultyWire cases[] = {
        {"needless escape of 0x11", "7E 11 7D 31 06 82 7E", true, "needless escape 7D 31", 0, 0},
        {"escape right before the flag", "7E 02 6A D3 7D 7E", true, "escape byte 7D right before", 0, 0},
        {"wrong FCS", "7E 02 6A D4 7E", false, "", 0, 0},
        {"too short for an FCS", "7E 02 6A 7E", false, "too short", 0, 0},
        {"bytes before the opening flag", "11 22 7E 02 6A D3 7E", true, "", 2, 0},
        {"doubled flag", "7E 7E 02 6A D3 7E", true, "", 0, 1},
    };
    for (const FaultyWire& c : cases) {
        SCOPED_TRACE(c.name);
        const auto frames = DecodeAll(FromHex(c.wire));
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].fcsOk, c.fcsOk);
        EXPECT_EQ(frames[0].complete, std::string(c.name) != "escape right before the flag" &&
                                          std::string(c.name) != "too short for an FCS");
        EXPECT_EQ(frames[0].strayBefore, c.stray);
        EXPECT_EQ(frames[0].doubledFlags, c.doubled);
        if (*c.faultText) {
            ASSERT_FALSE(frames[0].faults.empty());
            EXPECT_NE(frames[0].faults[0].find(c.faultText), std::string::npos) << frames[0].faults[0];
        } else {
            EXPECT_TRUE(frames[0].faults.empty());
        }
    }
}

TEST(SimHdlc, OverlongFrameIsCutAndTheNextFrameStillDecodes) {
    sim::HdlcDecoder decoder(64);
    Bytes wire = {0x7E};
    wire.insert(wire.end(), 1000, 0x55);
    wire.push_back(0x7E);
    const Bytes good = FromHex("7E 02 6A D3 7E");
    wire.insert(wire.end(), good.begin(), good.end());
    const auto frames = DecodeAll(wire, decoder);
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_FALSE(frames[0].faults.empty());
    EXPECT_NE(frames[0].faults[0].find("exceeds the limit"), std::string::npos);
    EXPECT_LE(frames[0].raw.size(), 64u);
    EXPECT_TRUE(frames[1].fcsOk);
    EXPECT_EQ(frames[1].body, Bytes{0x02});
}

TEST(SimHdlc, RandomBytesNeverBreakTheDecoder) {
    std::mt19937 random(1662);
    sim::HdlcDecoder decoder(4096);
    for (int round = 0; round < 200; ++round) {
        Bytes wire(random() % 3000);
        for (std::uint8_t& b : wire) {
            const unsigned r = random() % 8;
            b = r == 0 ? 0x7E : r == 1 ? 0x7D : static_cast<std::uint8_t>(random());
        }
        // Whatever state the noise left, a flag pair resynchronises and a good frame decodes.
        const Bytes resync = FromHex("7E 7E 02 6A D3 7E");
        wire.insert(wire.end(), resync.begin(), resync.end());
        const auto frames = DecodeAll(wire, decoder);
        for (const auto& f : frames)
            EXPECT_LE(f.raw.size(), 4096u);
        ASSERT_FALSE(frames.empty());
        EXPECT_TRUE(frames.back().fcsOk);
        EXPECT_EQ(frames.back().body, Bytes{0x02});
    }
}

} // namespace
