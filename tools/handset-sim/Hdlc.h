// The handset's own HDLC codec: frame check sequence, a frame encoder for its answers, and a
// streaming decoder that takes the host's bytes apart and notes everything irregular about them.
// It is deliberately separate from the program's encoder so that it can judge it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

inline constexpr std::uint8_t kFlag = 0x7E;
inline constexpr std::uint8_t kEscape = 0x7D;

// One step of the 16-bit frame check register (reflected polynomial 0x8408).
std::uint16_t FcsStep(std::uint16_t reg, std::uint8_t byte);
// The frame check sequence of a body: the complemented register after the body, from 0xFFFF.
std::uint16_t Fcs(std::span<const std::uint8_t> body);

// Builds a complete frame: flag, body and FCS (low byte first) escaped, flag.
std::vector<std::uint8_t> EncodeFrame(std::span<const std::uint8_t> body);

struct HdlcFrame {
    std::vector<std::uint8_t> raw;  // exactly as it arrived, both flags included
    std::vector<std::uint8_t> body; // unescaped, without the FCS
    bool fcsOk = false;
    bool complete = false;           // flags, a body and an FCS were found (escape faults aside)
    std::size_t strayBefore = 0;     // bytes outside any frame before the opening flag
    std::size_t doubledFlags = 0;    // empty frames (flag right after flag) before this one
    std::vector<std::string> faults; // escape faults, too short, too long
};

// Splits a byte stream into frames. Every frame has its own opening and closing flag; a flag
// that follows a flag directly is counted and taken as the opening flag. Memory is bounded:
// a frame longer than `maxRaw` bytes is cut, reported and skipped up to its closing flag.
class HdlcDecoder {
public:
    explicit HdlcDecoder(std::size_t maxRaw = 65536) : m_maxRaw(maxRaw) {}

    // Takes one byte; returns a frame when this byte closed one.
    std::optional<HdlcFrame> Feed(std::uint8_t byte);

    // Bytes held that belong to no complete frame (an unfinished frame or stray bytes).
    std::size_t PendingBytes() const { return m_inFrame ? m_rawSize : m_stray; }
    bool InFrame() const { return m_inFrame; }

private:
    HdlcFrame Finish();

    std::size_t m_maxRaw;
    bool m_inFrame = false;
    bool m_overflow = false;
    std::size_t m_rawSize = 0; // bytes of the current frame, also those dropped by overflow
    std::size_t m_stray = 0;
    std::size_t m_doubled = 0;
    std::vector<std::uint8_t> m_raw;
};

// Renders bytes as "7E 02 6A ..." (at most `limit` bytes, then "...").
std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t limit = 48);

} // namespace sim
