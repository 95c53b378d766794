#include "ScriptedHandset.h"

using namespace std::chrono_literals;

ScriptedHandset::ScriptedHandset(PtyPeer& peer, HandsetScript script) : m_peer(peer), m_script(script) {
    m_thread = std::thread([this] { Run(); });
}

ScriptedHandset::~ScriptedHandset() {
    Join();
}

void ScriptedHandset::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

void ScriptedHandset::Run() {
    if (m_script.vanishBeforeAnnouncing) {
        std::this_thread::sleep_for(300ms);
        m_peer.CloseMaster();
        return;
    }
    PeerReader reader(m_peer);
    const Bytes ourAck = MakeFrame(0xDD, {0, 0, 0, 0});
    // The handset's acknowledgements carry bytes the program must not care about.
    const Bytes handsetAck = MakeFrame(0xDD, {0x5A, 0xA5, 0xFF, 0x01});

    m_peer.Send(MakeFrame(0xBB, Bytes(36, 0x42)));
    if (reader.Take(14, 5s) != ourAck) {
        problem = "no acknowledgement of the announcement";
        return;
    }
    m_peer.Send(handsetAck);

    for (std::size_t i = 0; i < m_script.framesToTake; ++i) {
        const Bytes frame = reader.Take(1530, 5s);
        if (frame.size() != 1530) {
            problem = "data frame " + std::to_string(i) + " short: " + std::to_string(frame.size());
            return;
        }
        const Bytes head(frame.begin(), frame.begin() + 8);
        const Bytes data(frame.begin() + 10, frame.end());
        if (head != Bytes{0x6B, 0x49, 0x54, 0x4C, 0xCC, 0x00, 0xF0, 0x05} ||
            frame[8] != Sum8(data.data(), data.size()) || frame[9] != Sum8(frame.data(), 9)) {
            problem = "data frame " + std::to_string(i) + " malformed";
            return;
        }
        const std::uint32_t seq =
            static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
            (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
        frames.push_back({seq, Bytes(data.begin() + 4, data.end())});
        if (m_script.vanishAfter && frames.size() == *m_script.vanishAfter) {
            m_peer.CloseMaster();
            return;
        }
        m_peer.Send(handsetAck);
    }
    // Nothing may follow the last acknowledged frame.
    const Bytes extra = reader.Take(1, 200ms);
    if (!extra.empty())
        problem = "bytes after the last data frame";
}

Bytes Reassemble(const std::vector<ReceivedData>& frames) {
    Bytes out;
    for (const ReceivedData& f : frames)
        out.insert(out.end(), f.piece.begin(), f.piece.end());
    return out;
}
