#include "pages/DownloadPage.h"
#include "protocol/hdlc/FixedPackets.h"
#include "protocol/hdlc/Hdlc.h"

#include "HexText.h"
#include "support/PtyPeer.h"
#include "support/RecordingPage.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// The handset side: collects every frame the phase sends (raw, flags included), acknowledges each
// write packet and answers the go packet with `goResponse`.
class ScriptedHandset {
public:
    ScriptedHandset(PtyPeer& peer, Bytes goResponse, std::chrono::milliseconds firstAckDelay = 0ms)
        : m_peer(peer), m_goResponse(std::move(goResponse)), m_firstAckDelay(firstAckDelay) {
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedHandset() { Stop(); }
    // Called once the phase has returned: everything it sent is already in the pseudo-terminal,
    // so the peer stops at the first quiet moment after reading it.
    std::vector<Bytes> Frames() {
        Stop();
        return m_frames;
    }

private:
    void Run() {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        Bytes frame;
        bool inFrame = false;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{m_peer.MasterFd(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                if (m_stop)
                    return;
                continue;
            }
            std::uint8_t buf[4096];
            const ssize_t n = read(m_peer.MasterFd(), buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                const std::uint8_t b = buf[i];
                if (!inFrame) {
                    if (b == 0x7E) {
                        frame = {b};
                        inFrame = true;
                    }
                    continue;
                }
                frame.push_back(b);
                if (b != 0x7E)
                    continue;
                inFrame = false;
                m_frames.push_back(frame);
                if (frame.size() > 1 && frame[1] == 0x0F) {
                    if (m_frames.size() == 1)
                        std::this_thread::sleep_for(m_firstAckDelay);
                    m_peer.Send(Bytes(kWriteAckFrame, kWriteAckFrame + sizeof kWriteAckFrame));
                } else if (frame.size() > 1 && frame[1] == 0x05)
                    m_peer.Send(m_goResponse);
            }
        }
    }

    void Stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    PtyPeer& m_peer;
    Bytes m_goResponse;
    std::chrono::milliseconds m_firstAckDelay;
    std::vector<Bytes> m_frames;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Undoes the framing and checks the FCS; nothing for a frame that is not well formed.
std::optional<Bytes> DecodeFrame(const Bytes& raw) {
    if (raw.size() < 4 || raw.front() != 0x7E || raw.back() != 0x7E)
        return std::nullopt;
    Bytes inner;
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        std::uint8_t b = raw[i];
        if (b == 0x7E)
            return std::nullopt;
        if (b == 0x7D) {
            if (i + 2 >= raw.size() || (raw[i + 1] != 0x5E && raw[i + 1] != 0x5D))
                return std::nullopt;
            b = static_cast<std::uint8_t>(raw[++i] ^ 0x20);
        }
        inner.push_back(b);
    }
    std::uint16_t reg = 0xFFFF;
    for (std::uint8_t b : inner)
        reg = Crc16Update(reg, b);
    if (inner.size() < 3 || reg != 0xF0B8)
        return std::nullopt;
    inner.resize(inner.size() - 2);
    return inner;
}

struct WritePacket {
    std::uint32_t address;
    std::uint16_t length;
    Bytes data;
};

WritePacket ParseWrite(const Bytes& body) {
    WritePacket w{};
    EXPECT_GE(body.size(), 7u);
    if (body.size() < 7)
        return w;
    EXPECT_EQ(body[0], 0x0F);
    w.address = (std::uint32_t{body[1]} << 24) | (std::uint32_t{body[2]} << 16) |
                (std::uint32_t{body[3]} << 8) | body[4];
    w.length = static_cast<std::uint16_t>((body[5] << 8) | body[6]);
    w.data.assign(body.begin() + 7, body.end());
    return w;
}

const Bytes kGoFrame(kGoPacket, kGoPacket + sizeof kGoPacket);
const Bytes kCmd0CFrame(kCmd0CPacket, kCmd0CPacket + sizeof kCmd0CPacket);

struct UploadRun {
    int result = -1;
    std::vector<Bytes> frames;
    std::vector<std::string> events;
    std::vector<int> phase;
    std::vector<int> overall;
    Bytes receiveBuffer;
    DWORD receiveCount = 0;
};

// Runs the phase on a page whose port is the slave side of a pseudo-terminal.
UploadRun RunUpload(const std::optional<std::string>& hexText,
                    Bytes goResponse = {0x7E, 0x02, 0x6A, 0xD3, 0x7E},
                    std::chrono::milliseconds firstAckDelay = 0ms) {
    TempDir dir;
    if (hexText)
        dir.WriteText("NPRG7200.hex", *hexText);
    PtyPeer peer;
    RecordingPage page(dir.PathW());
    EXPECT_TRUE(page.m_port.Open(peer.SlavePathW().c_str()));
    EXPECT_TRUE(page.m_port.ConfigureState());
    EXPECT_TRUE(page.m_port.ConfigureTimeouts());
    page.m_receiveCount = 77;
    std::memset(page.m_receiveBuffer, 0xEE, sizeof page.m_receiveBuffer);

    UploadRun run;
    {
        ScriptedHandset handset(peer, std::move(goResponse), firstAckDelay);
        run.result = page.SwitchToDownloadMode();
        if (run.result != 0)
            run.frames = handset.Frames();
    }
    page.m_port.Close();
    run.events = page.Events();
    run.phase = page.PhasePositions();
    run.overall = page.OverallPositions();
    run.receiveBuffer.assign(page.m_receiveBuffer, page.m_receiveBuffer + sizeof page.m_receiveBuffer);
    run.receiveCount = page.m_receiveCount;
    return run;
}

// The image travels in 1017-byte write packets from 0x00A00000, then the go and 0x0C packets.
TEST(SwitchToDownloadMode, SendsImageInWritePacketsThenGo) {
    struct Case {
        const char* name;
        Bytes image;
        std::vector<std::uint16_t> lengths;
    };
    const Case cases[] = {
        {"2500 bytes", TestImage(2500), {1017, 1017, 466}},
        {"1017 bytes", TestImage(1017), {1017}},
        {"1018 bytes", TestImage(1018), {1017, 1}},
        {"500 bytes", TestImage(500), {500}},
        {"empty", {}, {}},
        // Every byte escaped: frames of over 2000 bytes, the longest a write packet can give.
        {"all flags", Bytes(2034, 0x7E), {1017, 1017}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes& image = c.image;
        const UploadRun run = RunUpload(HexFileFor(image));
        ASSERT_EQ(run.result, 1);
        ASSERT_EQ(run.frames.size(), c.lengths.size() + 2);

        Bytes sent;
        for (std::size_t k = 0; k < c.lengths.size(); ++k) {
            SCOPED_TRACE(k);
            const auto body = DecodeFrame(run.frames[k]);
            ASSERT_TRUE(body.has_value());
            const WritePacket w = ParseWrite(*body);
            EXPECT_EQ(w.address, 0x00A00000u + 1017u * k);
            EXPECT_EQ(w.length, c.lengths[k]);
            EXPECT_EQ(w.data.size(), c.lengths[k]);
            sent.insert(sent.end(), w.data.begin(), w.data.end());
        }
        EXPECT_EQ(sent, image);
        EXPECT_EQ(run.frames[c.lengths.size()], kGoFrame);
        EXPECT_EQ(run.frames[c.lengths.size() + 1], kCmd0CFrame);

        // The go response lands in the receive buffer; the receive count is not touched.
        EXPECT_EQ(Bytes(run.receiveBuffer.begin(), run.receiveBuffer.begin() + 6),
                  (Bytes{0x7E, 0x02, 0x6A, 0xD3, 0x7E, 0xEE}));
        EXPECT_EQ(run.receiveCount, 77u);
        EXPECT_EQ(run.events.front(), "status:Switching to download mode...");
        EXPECT_EQ(run.phase.front(), 0);
        EXPECT_EQ(run.phase.back(), 100);
    }
}

// 166 chunks: chunk 96's address 00 A1 7D 60 and chunk 165's address 00 A2 8F 7D need escapes, and
// the last chunk of 126 bytes has the length 00 7E. Checked on the raw bytes as they went out.
TEST(SwitchToDownloadMode, EscapesAddressAndLengthFields) {
    const Bytes image = TestImage(165 * 1017 + 126);
    const UploadRun run = RunUpload(HexFileFor(image));
    ASSERT_EQ(run.result, 1);
    ASSERT_EQ(run.frames.size(), 166u + 2);

    auto head = [&](std::size_t k, std::size_t n) {
        return Bytes(run.frames[k].begin(), run.frames[k].begin() + static_cast<std::ptrdiff_t>(n));
    };
    EXPECT_EQ(head(96, 9), (Bytes{0x7E, 0x0F, 0x00, 0xA1, 0x7D, 0x5D, 0x60, 0x03, 0xF9}));
    EXPECT_EQ(head(165, 11),
              (Bytes{0x7E, 0x0F, 0x00, 0xA2, 0x8F, 0x7D, 0x5D, 0x00, 0x7D, 0x5E, image[165 * 1017]}));

    Bytes sent;
    for (std::size_t k = 0; k < 166; ++k) {
        const auto body = DecodeFrame(run.frames[k]);
        ASSERT_TRUE(body.has_value()) << k;
        const WritePacket w = ParseWrite(*body);
        ASSERT_EQ(w.address, 0x00A00000u + 1017u * k);
        ASSERT_EQ(w.length, w.data.size());
        sent.insert(sent.end(), w.data.begin(), w.data.end());
    }
    EXPECT_EQ(sent, image);
}

// The phase bar climbs once per new percent and ends at 100; the overall bar moves from 1 to 8,
// each step right after the phase position where (p * 9) / 100 first reaches it.
TEST(SwitchToDownloadMode, PhaseAndOverallBarSequence) {
    const UploadRun run = RunUpload(HexFileFor(TestImage(2500)));
    ASSERT_EQ(run.result, 1);

    std::vector<int> expectedPhase;
    for (int p = 0; p <= 99; ++p)
        expectedPhase.push_back(p);
    expectedPhase.push_back(100);
    EXPECT_EQ(run.phase, expectedPhase);
    EXPECT_EQ(run.overall, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));

    const std::pair<int, int> overallAfterPhase[] = {{1, 12}, {2, 23}, {3, 34}, {4, 45},
                                                     {5, 56}, {6, 67}, {7, 78}, {8, 89}};
    for (auto [overall, phase] : overallAfterPhase) {
        const auto at = std::find(run.events.begin(), run.events.end(), "overall:" + std::to_string(overall));
        ASSERT_NE(at, run.events.end());
        ASSERT_NE(at, run.events.begin());
        EXPECT_EQ(*(at - 1), "phase:" + std::to_string(phase));
    }
    EXPECT_EQ(run.events.back(), "phase:100");
    for (const std::string& e : run.events)
        EXPECT_EQ(e.rfind("status:", 0) == 0, e == "status:Switching to download mode...") << e;
}

TEST(SwitchToDownloadMode, GoResponseFirstByteStoredWhateverItIs) {
    const UploadRun run = RunUpload(HexFileFor(TestImage(10)), {0x13, 0x05, 0x7E, 0x99});
    ASSERT_EQ(run.result, 1);
    EXPECT_EQ(Bytes(run.receiveBuffer.begin(), run.receiveBuffer.begin() + 4),
              (Bytes{0x13, 0x05, 0x7E, 0xEE}));
    EXPECT_EQ(run.receiveCount, 77u);
}

// A handset that takes its time: many empty reads (each the port's time-out) are no failure.
TEST(SwitchToDownloadMode, WaitsForASlowAcknowledgement) {
    const Bytes image = TestImage(1500);
    const UploadRun run = RunUpload(HexFileFor(image), {0x7E, 0x02, 0x6A, 0xD3, 0x7E}, 1500ms);
    ASSERT_EQ(run.result, 1);
    EXPECT_EQ(run.frames.size(), 4u);
}

TEST(SwitchToDownloadMode, MissingProgrammerFileFails) {
    const UploadRun run = RunUpload(std::nullopt);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.events, (std::vector<std::string>{
                              "status:Switching to download mode...", "phase:0",
                              "box:Vestrel:16:Switch to Upgrade Mode error: open file fail",
                              "status:Switch to Upgrade Mode error: open file fail. Download process stop"}));
}

// Without a device every read returns at once; the wait for an acknowledgement would spin for
// ever, so the phase stops with a message instead.
TEST(SwitchToDownloadMode, PortWithoutDeviceStopsInsteadOfSpinning) {
    TempDir dir;
    dir.WriteText("NPRG7200.hex", HexFileFor(TestImage(100)));
    RecordingPage page(dir.PathW());
    EXPECT_EQ(page.SwitchToDownloadMode(), 0);
    const auto events = page.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "box:Vestrel:16:Switch to Upgrade Mode error: port is not open.");
    EXPECT_EQ(events.back(), "status:Switch to Upgrade Mode error: port is not open. Download process stop");
}

// A handset that goes away (cable pulled) makes every read fail at once; the unlimited wait for
// an acknowledgement would spin, so the phase stops with a message.
TEST(SwitchToDownloadMode, DeviceLostWhileWaitingStops) {
    TempDir dir;
    dir.WriteText("NPRG7200.hex", HexFileFor(TestImage(3000)));
    auto peer = std::make_unique<PtyPeer>();
    RecordingPage page(dir.PathW());
    ASSERT_TRUE(page.m_port.Open(peer->SlavePathW().c_str()));
    ASSERT_TRUE(page.m_port.ConfigureState());
    ASSERT_TRUE(page.m_port.ConfigureTimeouts());

    // Hang up once the first write packet is complete.
    std::thread handset([&peer] {
        const Bytes first = peer->ReceiveUntil({0x7E}, 10s);
        if (first.size() == 1)
            peer->ReceiveUntil({0x7E}, 10s);
        peer.reset();
    });
    const int result = page.SwitchToDownloadMode();
    handset.join();
    page.m_port.Close();

    EXPECT_EQ(result, 0);
    const auto events = page.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "box:Vestrel:16:Switch to Upgrade Mode error: read port fail.");
    EXPECT_EQ(events.back(), "status:Switch to Upgrade Mode error: read port fail. Download process stop");
}

} // namespace
