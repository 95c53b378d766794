// HDLC-like framing of the download and streaming protocols: flag 0x7E, escape 0x7D (XOR 0x20)
// for 0x7E and 0x7D only, FCS-16 (reflected 0x8408, init 0xFFFF, complemented) sent low byte
// first. Pure functions over caller buffers.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint8_t kHdlcFlag = 0x7E;
inline constexpr std::uint8_t kHdlcEscape = 0x7D;

extern const std::uint16_t kCrc16Table[256];

std::uint16_t Crc16Update(std::uint16_t reg, std::uint8_t byte);

// Longest frame a body of n bytes can give: every body and FCS byte escaped, plus two flags.
constexpr std::size_t MaxFrameLength(std::size_t bodyLength) { return 2 * (bodyLength + 2) + 2; }

// One frame being built into a caller's buffer. A byte that would not fit is not written and
// marks the frame as overflowed; EndFrame then returns 0, so nothing truncated is ever sent.
struct HdlcEncoder {
    std::uint8_t* buffer = nullptr;
    std::size_t capacity = 0;
    std::size_t length = 0;
    std::uint16_t reg = 0xFFFF;
    bool overflow = false;
};

void BeginFrame(HdlcEncoder& enc, std::uint8_t* buffer, std::size_t capacity);
// Begins a frame whose register already holds the CRC of a constant body prefix that the
// caller places itself (for instance 0xB231 after 19 00).
void BeginFrameFrom(HdlcEncoder& enc, std::uint8_t* buffer, std::size_t capacity, std::uint16_t reg);
void AddFrameByte(HdlcEncoder& enc, std::uint8_t byte);
// Appends the FCS and the closing flag; returns the frame length, or 0 if the frame overflowed.
std::size_t EndFrame(HdlcEncoder& enc);
// The three steps for a body complete in memory; returns the frame length (0 on overflow).
std::size_t EncodeFrame(const std::uint8_t* body, std::size_t bodyLength, std::uint8_t* buffer,
                        std::size_t capacity);
