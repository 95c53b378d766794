// The frames we put on the wire, byte for byte, and the checksum they rest on.
#include "protocol/kitl/KitlFrames.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<BYTE> Bytes(const BYTE* p, std::size_t n) {
    return {p, p + n};
}

TEST(KitlChecksum, IsAPlainSumModulo256) {
    std::vector<BYTE> ones(256, 0x01);
    EXPECT_EQ(KitlChecksum(ones.data(), 256), 0x00);
    EXPECT_EQ(KitlChecksum(ones.data(), 255), 0xFF);
    const BYTE mixed[] = {0xFF, 0x02, 0x80, 0x80};
    EXPECT_EQ(KitlChecksum(mixed, 4), 0x01);
    EXPECT_EQ(KitlChecksum(mixed, 0), 0x00);
}

TEST(KitlFrames, AckIsTheFixedFourteenBytes) {
    BYTE frame[kKitlAckFrameSize];
    std::fill(std::begin(frame), std::end(frame), 0xAA); // no reliance on a cleared buffer
    KitlBuildAck(frame);
    const std::vector<BYTE> expected = {0x6B, 0x49, 0x54, 0x4C, 0xDD, 0x00, 0x04,
                                        0x00, 0x00, 0x35, 0,    0,    0,    0};
    EXPECT_EQ(Bytes(frame, sizeof frame), expected);
}

struct DataCase {
    DWORD sequence;
    BYTE fill;      // every byte of the piece
    BYTE lastByte;  // overrides the piece's last byte, to show it lands at the frame's end
    BYTE dataSum;   // expected byte 8
    BYTE headerSum; // expected byte 9
};

TEST(KitlFrames, DataFrameLayoutAndChecksums) {
    const DataCase cases[] = {
        {0, 0x00, 0x00, 0x00, 0x15},
        {1, 0x00, 0x00, 0x01, 0x16},
        // 0x01020304 sums to 0x0A; 1515 bytes of 0x01 give 0xEB; with 0x10 at the end 0x05.
        {0x01020304, 0x01, 0x10, 0x05, 0x1A},
        {0xFFFFFFFF, 0x00, 0x7F, 0x7B, 0x90},
    };
    for (const DataCase& c : cases) {
        SCOPED_TRACE(c.sequence);
        BYTE piece[kKitlPieceSize];
        std::fill(std::begin(piece), std::end(piece), c.fill);
        piece[kKitlPieceSize - 1] = c.lastByte;
        BYTE frame[kKitlDataFrameSize];
        KitlBuildData(frame, c.sequence, piece);

        const std::vector<BYTE> head = {0x6B,
                                        0x49,
                                        0x54,
                                        0x4C,
                                        0xCC,
                                        0x00,
                                        0xF0,
                                        0x05,
                                        c.dataSum,
                                        c.headerSum,
                                        static_cast<BYTE>(c.sequence),
                                        static_cast<BYTE>(c.sequence >> 8),
                                        static_cast<BYTE>(c.sequence >> 16),
                                        static_cast<BYTE>(c.sequence >> 24)};
        EXPECT_EQ(Bytes(frame, head.size()), head);
        EXPECT_EQ(Bytes(frame + 14, kKitlPieceSize), Bytes(piece, kKitlPieceSize));
        // The checksums must agree with the bytes actually laid out.
        EXPECT_EQ(KitlChecksum(frame + 10, 1520), frame[8]);
        EXPECT_TRUE(KitlHeaderChecksumOk(frame));
    }
}

} // namespace
