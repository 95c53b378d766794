#include "KitlTestFrames.h"

#include <cstdio>
#include <cstdlib>
#include <numeric>

std::uint8_t Sum8(const std::uint8_t* p, std::size_t n) {
    return static_cast<std::uint8_t>(std::accumulate(p, p + n, 0u));
}

Bytes MakeFrame(std::uint8_t type, const Bytes& data, const FrameTweak& tweak) {
    const std::uint16_t length = tweak.length.value_or(static_cast<std::uint16_t>(data.size()));
    Bytes frame = {0x6B,
                   0x49,
                   0x54,
                   0x4C,
                   type,
                   tweak.reserved,
                   static_cast<std::uint8_t>(length & 0xFF),
                   static_cast<std::uint8_t>(length >> 8)};
    frame.push_back(tweak.dataSum.value_or(Sum8(data.data(), data.size())));
    frame.push_back(static_cast<std::uint8_t>(Sum8(frame.data(), 9) + (tweak.breakHeaderSum ? 1 : 0)));
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

void PointDeviceAtPath(const char* path) {
    setenv("VESTREL_DEVICE_WCEUSBSH001", path, 1);
}
void PointDeviceAt(const PtyPeer& peer) {
    PointDeviceAtPath(peer.SlavePath().c_str());
}

Watchdog::Watchdog(std::chrono::seconds limit, const char* what) {
    m_thread = std::thread([this, limit, what] {
        std::unique_lock lock(m_mutex);
        if (!m_cv.wait_for(lock, limit, [this] { return m_done; })) {
            std::fprintf(stderr, "watchdog: %s did not finish within %lld s\n", what,
                         static_cast<long long>(limit.count()));
            std::_Exit(3);
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard lock(m_mutex);
        m_done = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

Bytes PeerReader::Take(std::size_t n, std::chrono::milliseconds limit) {
    if (m_pending.size() < n) {
        Bytes more = m_peer.Receive(n - m_pending.size(), limit);
        m_pending.insert(m_pending.end(), more.begin(), more.end());
    }
    const std::size_t k = std::min(n, m_pending.size());
    Bytes out(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(k));
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(k));
    return out;
}
