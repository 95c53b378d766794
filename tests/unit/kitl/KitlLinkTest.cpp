// Reading frames from a real pseudo-terminal: the magic hunt, the checks that drop a frame, and
// the wait that skips frames it does not want.
#include "KitlTestFrames.h"

#include "link/SerialCom.h"
#include "protocol/kitl/KitlLink.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using namespace std::chrono_literals;

class KitlLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        PointDeviceAt(m_peer);
        HANDLE h = CreateFileW(kDeviceName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        KitlAttach(h);
    }
    void TearDown() override { KitlDetach(); }

    PtyPeer m_peer;
};

const Bytes kMarkerData = {0x01, 0x02};
const Bytes kMarker = MakeFrame(0xEE, kMarkerData);

// A complete frame hidden inside another frame's data: seen only when the outer frame's data is
// hunted through instead of being consumed.
const Bytes kInner = MakeFrame(0xC1, {0x07, 0x08, 0x09});
Bytes DataAround(const Bytes& inner, std::size_t size) {
    Bytes data(size, 0x11);
    std::copy(inner.begin(), inner.end(), data.begin() + 8);
    return data;
}

struct HuntCase {
    const char* name;
    Bytes stream;                              // sent before the marker frame
    std::vector<std::pair<int, int>> accepted; // (type, data length) of accepted frames
    int rejected;                              // attempts that returned false
};

TEST_F(KitlLinkTest, HuntAndFrameChecks) {
    const Bytes announcement = MakeFrame(0xBB, Bytes(36, 0x11));
    const Bytes ack = MakeFrame(0xDD, {0, 0, 0, 0});
    const HuntCase cases[] = {
        {"bytes without 0x6B before a frame",
         Concat({{0x00, 0xFF, 0x4C, 0x54, 0x49, 0x6A}, announcement}),
         {{0xBB, 36}},
         0},
        {"a broken magic before a frame", Concat({{0x6B, 0x49, 0x54, 0x00}, announcement}), {{0xBB, 36}}, 0},
        // The stray byte is taken as the magic's start; the frame's own 0x6B then breaks it and
        // is dropped, so the frame is lost and the next one is found.
        {"a stray 0x6B costs the next frame", Concat({{0x6B}, announcement, ack}), {{0xDD, 4}}, 0},
        // After a bad header the hunt goes on right after its tenth byte, through its data.
        {"bad header checksum",
         MakeFrame(0xBB, DataAround(kInner, 40), WithBrokenHeaderSum()),
         {{0xC1, 3}},
         1},
        {"1520 data bytes are read whole", MakeFrame(0xCC, DataAround(kInner, 1520)), {{0xCC, 1520}}, 0},
        {"1521 data bytes are refused unread", MakeFrame(0xCC, DataAround(kInner, 1521)), {{0xC1, 3}}, 1},
        {"wrong data checksum: data consumed, frame dropped",
         MakeFrame(0xBB, DataAround(kInner, 40), WithDataSum(0x00)),
         {},
         1},
        {"no data, checksum 0", MakeFrame(0xD0, {}), {{0xD0, 0}}, 0},
        {"no data, checksum 5", MakeFrame(0xD0, {}, WithDataSum(0x05)), {}, 1},
        {"any reserved byte", MakeFrame(0xBB, Bytes(36, 0x11), WithReserved(0xA5)), {{0xBB, 36}}, 0},
    };
    for (const HuntCase& c : cases) {
        SCOPED_TRACE(c.name);
        Watchdog dog(10s, c.name);
        m_peer.Send(Concat({c.stream, kMarker}));
        std::vector<std::pair<int, int>> accepted;
        int rejected = 0;
        for (int attempt = 0; attempt < 50; ++attempt) {
            BYTE header[kKitlHeaderSize] = {};
            if (!KitlReceiveFrame(header)) {
                ++rejected;
                continue;
            }
            if (KitlFrameType(header) == 0xEE)
                break;
            accepted.emplace_back(KitlFrameType(header), KitlDataLength(header));
        }
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_EQ(rejected, c.rejected);
    }
}

TEST_F(KitlLinkTest, LongestFrameFillsTheDataBuffer) {
    Bytes data(1520);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    Watchdog dog(10s, "longest frame");
    m_peer.Send(MakeFrame(0xCC, data));
    BYTE header[kKitlHeaderSize] = {};
    ASSERT_TRUE(KitlReceiveFrame(header));
    EXPECT_EQ(Bytes(g_kitlLink.frameData, g_kitlLink.frameData + 1520), data);
}

TEST_F(KitlLinkTest, WaitForDropsOtherTypesAndLengths) {
    Watchdog dog(10s, "wait for");
    m_peer.Send(Concat({MakeFrame(0xDD, {0, 0, 0, 0, 0}), MakeFrame(0xBB, Bytes(36, 0x22)),
                        MakeFrame(0xDD, {0, 0, 0}), MakeFrame(0xDD, {0x01, 0x02, 0x03, 0x04}), kMarker}));
    EXPECT_TRUE(KitlWaitFor(0xDD, 4));
    // Whatever the acknowledgement carries is accepted.
    EXPECT_EQ(Bytes(g_kitlLink.frameData, g_kitlLink.frameData + 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
    // Nothing past the awaited frame was consumed.
    BYTE header[kKitlHeaderSize] = {};
    ASSERT_TRUE(KitlReceiveFrame(header));
    EXPECT_EQ(KitlFrameType(header), 0xEE);
}

// A handset that takes its time is waited for: silence and bytes that trickle in are not failures.
TEST_F(KitlLinkTest, SlowFrameIsStillReceived) {
    Watchdog dog(20s, "slow frame");
    const Bytes frame = MakeFrame(0xBB, Bytes(36, 0x33));
    std::thread handset([&] {
        std::this_thread::sleep_for(400ms);
        for (std::size_t i = 0; i < frame.size(); i += 7) {
            m_peer.Send(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(i),
                              frame.begin() + static_cast<std::ptrdiff_t>(std::min(i + 7, frame.size()))));
            std::this_thread::sleep_for(30ms);
        }
    });
    EXPECT_TRUE(KitlWaitFor(0xBB, 36));
    handset.join();
    EXPECT_FALSE(KitlLinkLost());
}

TEST_F(KitlLinkTest, AckGoesOutInOneWriteOfFourteenBytes) {
    EXPECT_EQ(KitlSendAck(), 1);
    EXPECT_EQ(m_peer.Receive(100, 500ms),
              (Bytes{0x6B, 0x49, 0x54, 0x4C, 0xDD, 0x00, 0x04, 0x00, 0x00, 0x35, 0x00, 0x00, 0x00, 0x00}));
}

} // namespace
