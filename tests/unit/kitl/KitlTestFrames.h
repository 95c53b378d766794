// Frames as a handset would send them, built independently of the program's own encoder, with
// knobs to break them; and a watchdog so a test that would hang in a blocking read fails instead.
#pragma once

#include "support/PtyPeer.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

struct FrameTweak {
    std::uint8_t reserved = 0;
    std::optional<std::uint16_t> length; // the header's data length, if not the data's size
    std::optional<std::uint8_t> dataSum; // byte 8, if not the data's sum
    bool breakHeaderSum = false;         // byte 9 off by one
};

inline FrameTweak WithReserved(std::uint8_t r) {
    FrameTweak t;
    t.reserved = r;
    return t;
}
inline FrameTweak WithDataSum(std::uint8_t sum) {
    FrameTweak t;
    t.dataSum = sum;
    return t;
}
inline FrameTweak WithBrokenHeaderSum() {
    FrameTweak t;
    t.breakHeaderSum = true;
    return t;
}

Bytes MakeFrame(std::uint8_t type, const Bytes& data, const FrameTweak& tweak = {});
Bytes Concat(std::initializer_list<Bytes> parts);
std::uint8_t Sum8(const std::uint8_t* p, std::size_t n);

// Opens the device name the program uses on a pseudo-terminal's slave side: the posix build maps
// it through VESTREL_DEVICE_WCEUSBSH001.
void PointDeviceAt(const PtyPeer& peer);
void PointDeviceAtPath(const char* path);

// Ends the process with a message when the scope is not left in time.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit, const char* what);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

// Reads exact byte counts from the peer's master side.
class PeerReader {
public:
    explicit PeerReader(PtyPeer& peer) : m_peer(peer) {}
    // Exactly n bytes, or fewer when the limit passes first.
    Bytes Take(std::size_t n, std::chrono::milliseconds limit);

private:
    PtyPeer& m_peer;
    Bytes m_pending;
};
