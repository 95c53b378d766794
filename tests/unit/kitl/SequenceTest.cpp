// The data frames' sequence number starts at 0 with the program and carries on from one transfer
// to the next; this runs in a process of its own so no other transfer has moved it.
#include "ScriptedHandset.h"

#include "protocol/kitl/KitlLink.h"
#include "support/RecordingPage.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(KitlSequence, StartsAtZeroAndCarriesOnAcrossTransfers) {
    TempDir dir;
    dir.Write("FLASH.bin", Bytes(1517, 0x5C));
    PtyPeer peer;
    PointDeviceAt(peer);
    RecordingPage page(dir.PathW());
    Watchdog dog(30s, "two transfers");

    std::vector<std::uint32_t> sequences;
    for (int run = 0; run < 2; ++run) {
        ScriptedHandset handset(peer, TakeFrames(2));
        EXPECT_EQ(page.SendFlashImage(), 1);
        handset.Join();
        EXPECT_EQ(handset.problem, "");
        for (const ReceivedData& f : handset.frames)
            sequences.push_back(f.sequence);
    }
    EXPECT_EQ(sequences, (std::vector<std::uint32_t>{0, 1, 2, 3}));
}

} // namespace
