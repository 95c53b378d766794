// The handset's own kITL codec: frame building for what it sends and a strict streaming parser
// for what the host sends (every byte must belong to a well-formed frame).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

inline constexpr std::array<std::uint8_t, 4> kKitlMagic = {0x6B, 0x49, 0x54, 0x4C};
inline constexpr std::size_t kKitlHeaderSize = 10;
inline constexpr std::size_t kKitlMaxData = 1520;
inline constexpr std::uint8_t kKitlAnnounce = 0xBB;
inline constexpr std::uint8_t kKitlAck = 0xDD;
inline constexpr std::uint8_t kKitlData = 0xCC;
inline constexpr std::size_t kKitlPiece = 1516;

std::uint8_t KitlSum(std::span<const std::uint8_t> bytes);

// A complete frame: header (magic, type, reserved 0, length, data sum, header sum) and data.
std::vector<std::uint8_t> BuildKitlFrame(std::uint8_t type, std::span<const std::uint8_t> data);

struct KitlFrame {
    std::array<std::uint8_t, kKitlHeaderSize> header{};
    std::vector<std::uint8_t> data;
    std::size_t strayBefore = 0; // bytes that belonged to no frame before this one
    std::vector<std::string> faults;

    std::uint8_t Type() const { return header[4]; }
    std::size_t Length() const { return static_cast<std::size_t>(header[6] | (header[7] << 8)); }
    bool Intact() const { return faults.empty(); }
    std::vector<std::uint8_t> Raw() const;
};

// Finds frames in a byte stream. A header with a wrong header sum or a length above the limit
// is reported (as a frame with faults and no data) and the hunt goes on after its magic; a
// data field with a wrong sum is reported with the frame.
class KitlParser {
public:
    std::optional<KitlFrame> Feed(std::uint8_t byte);
    // Bytes held that belong to no complete frame yet.
    std::size_t PendingBytes() const;

private:
    enum class State { Magic, Header, Data };
    State m_state = State::Magic;
    std::size_t m_have = 0; // bytes of the current part
    std::size_t m_stray = 0;
    KitlFrame m_frame;
};

} // namespace sim
