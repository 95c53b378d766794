// The simulator's kITL codec: the frames it builds, and the strict parser that judges the
// host's frames.
#include "Kitl.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

namespace {

using sim::Bytes;
using simtest::FromHex;

std::vector<sim::KitlFrame> ParseAll(const Bytes& wire) {
    sim::KitlParser parser;
    std::vector<sim::KitlFrame> frames;
    for (std::uint8_t b : wire)
        if (auto f = parser.Feed(b))
            frames.push_back(std::move(*f));
    return frames;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(SimKitl, KnownFrames) {
    EXPECT_EQ(sim::BuildKitlFrame(sim::kKitlAck, Bytes(4, 0)), simtest::kHostAck);
    const Bytes zeroPiece(sim::kKitlPiece, 0);
    const Bytes seq0 = simtest::KitlData(0, zeroPiece, 0);
    ASSERT_EQ(seq0.size(), 1530u);
    EXPECT_EQ(Bytes(seq0.begin(), seq0.begin() + 14), FromHex("6B 49 54 4C CC 00 F0 05 00 15 00 00 00 00"));
    const Bytes seq1 = simtest::KitlData(1, zeroPiece, 0);
    EXPECT_EQ(seq1[8], 0x01);
    EXPECT_EQ(seq1[9], 0x16);
    EXPECT_EQ(sim::KitlSum(Bytes(256, 0x01)), 0);
}

TEST(SimKitl, ParserFindsFramesAndReportsEverythingElse) {
    const Bytes ack = simtest::kHostAck;
    Bytes badHeader = ack;
    badHeader[9] ^= 1;
    Bytes badData = ack;
    badData[13] = 1;
    Bytes tooLong = sim::BuildKitlFrame(0x99, Bytes(1521, 0));
    const Bytes empty = sim::BuildKitlFrame(0x42, {});
    Bytes emptyBadSum = empty;
    emptyBadSum[8] = 1;
    emptyBadSum[9] = static_cast<std::uint8_t>(emptyBadSum[9] + 1);

    struct Case {
        const char* name;
        Bytes wire;
        std::size_t frames;
        std::size_t stray; // stray bytes before the last frame
        const char* fault; // in the first frame, "" for none
    };
    const Case cases[] = {
        {"plain ack", ack, 1, 0, ""},
        {"garbage without 0x6B before it", Concat({FromHex("00 49 54 4C 7E 55"), ack}), 1, 6, ""},
        {"stray 0x6B right before it is noted, the frame kept", Concat({FromHex("6B"), ack}), 1, 1, ""},
        {"wrong header sum", Concat({badHeader, ack}), 2, 4, "header sum"},
        {"wrong data sum", badData, 1, 0, "data sum"},
        {"length above 1520", Concat({Bytes(tooLong.begin(), tooLong.begin() + 10), ack}), 2, 0,
         "above 1520"},
        {"empty data field", empty, 1, 0, ""},
        {"empty data field with a data sum", emptyBadSum, 1, 0, "empty data field"},
        // A magic inside the data is data: the parser takes the field by its length.
        {"magic in the data",
         sim::BuildKitlFrame(sim::kKitlData, Concat({Bytes(4, 0), FromHex("6B 49 54 4C"), Bytes(1512, 0)})),
         1, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto frames = ParseAll(c.wire);
        ASSERT_EQ(frames.size(), c.frames);
        EXPECT_EQ(frames.back().strayBefore, c.stray);
        if (*c.fault) {
            ASSERT_FALSE(frames.front().faults.empty());
            EXPECT_NE(frames.front().faults[0].find(c.fault), std::string::npos) << frames.front().faults[0];
        } else {
            EXPECT_TRUE(frames.front().Intact());
        }
    }
}

} // namespace
