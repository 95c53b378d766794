#include "Hdlc.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace sim {
namespace {

constexpr std::array<std::uint16_t, 256> MakeTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned v = i;
        for (int bit = 0; bit < 8; ++bit)
            v = (v & 1U) ? (v >> 1) ^ 0x8408U : v >> 1;
        table[i] = static_cast<std::uint16_t>(v);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kTable = MakeTable();

void PutEscaped(std::vector<std::uint8_t>& out, std::uint8_t b) {
    if (b == kFlag || b == kEscape) {
        out.push_back(kEscape);
        out.push_back(static_cast<std::uint8_t>(b ^ 0x20));
    } else {
        out.push_back(b);
    }
}

} // namespace

std::uint16_t FcsStep(std::uint16_t reg, std::uint8_t byte) {
    return static_cast<std::uint16_t>((reg >> 8) ^ kTable[(reg ^ byte) & 0xFF]);
}

std::uint16_t Fcs(std::span<const std::uint8_t> body) {
    std::uint16_t reg = 0xFFFF;
    for (std::uint8_t b : body)
        reg = FcsStep(reg, b);
    return static_cast<std::uint16_t>(reg ^ 0xFFFF);
}

std::vector<std::uint8_t> EncodeFrame(std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> out;
    out.reserve(2 * body.size() + 6);
    out.push_back(kFlag);
    for (std::uint8_t b : body)
        PutEscaped(out, b);
    const std::uint16_t fcs = Fcs(body);
    PutEscaped(out, static_cast<std::uint8_t>(fcs & 0xFF));
    PutEscaped(out, static_cast<std::uint8_t>(fcs >> 8));
    out.push_back(kFlag);
    return out;
}

std::optional<HdlcFrame> HdlcDecoder::Feed(std::uint8_t byte) {
    if (!m_inFrame) {
        if (byte == kFlag) {
            m_inFrame = true;
            m_overflow = false;
            m_raw.assign(1, kFlag);
            m_rawSize = 1;
        } else {
            ++m_stray;
        }
        return std::nullopt;
    }
    if (byte == kFlag) {
        if (m_rawSize == 1) { // flag after flag: nothing in between, keep this one as the opening
            ++m_doubled;
            return std::nullopt;
        }
        ++m_rawSize;
        if (!m_overflow)
            m_raw.push_back(kFlag);
        m_inFrame = false;
        return Finish();
    }
    ++m_rawSize;
    if (m_rawSize > m_maxRaw)
        m_overflow = true;
    if (!m_overflow)
        m_raw.push_back(byte);
    return std::nullopt;
}

HdlcFrame HdlcDecoder::Finish() {
    HdlcFrame frame;
    frame.strayBefore = m_stray;
    frame.doubledFlags = m_doubled;
    m_stray = 0;
    m_doubled = 0;
    if (m_overflow) {
        frame.raw.assign(m_raw.begin(), m_raw.begin() + static_cast<std::ptrdiff_t>(
                                                            std::min<std::size_t>(m_raw.size(), 16)));
        frame.faults.push_back("frame of " + std::to_string(m_rawSize) + " bytes exceeds the limit of " +
                               std::to_string(m_maxRaw));
        m_raw.clear();
        return frame;
    }
    frame.raw = std::move(m_raw);
    m_raw.clear();

    bool endsInEscape = false;
    std::vector<std::uint8_t> inner;
    inner.reserve(frame.raw.size());
    for (std::size_t i = 1; i + 1 < frame.raw.size(); ++i) {
        std::uint8_t b = frame.raw[i];
        if (b == kEscape) {
            if (i + 2 >= frame.raw.size()) {
                frame.faults.push_back("escape byte 7D right before the closing flag");
                endsInEscape = true;
                break;
            }
            const std::uint8_t next = frame.raw[++i];
            b = static_cast<std::uint8_t>(next ^ 0x20);
            if (b != kFlag && b != kEscape) {
                char text[80];
                std::snprintf(text, sizeof text, "needless escape 7D %02X (byte %02X must go out as it is)",
                              next, b);
                frame.faults.emplace_back(text);
            }
        }
        inner.push_back(b);
    }
    if (inner.size() < 3) {
        frame.faults.push_back("frame too short for a code and an FCS (" + std::to_string(inner.size()) +
                               " bytes between the flags)");
        frame.body = std::move(inner);
        return frame;
    }
    frame.complete = !endsInEscape;
    const std::uint16_t got =
        static_cast<std::uint16_t>(inner[inner.size() - 2] | (inner[inner.size() - 1] << 8));
    inner.resize(inner.size() - 2);
    frame.fcsOk = Fcs(inner) == got;
    frame.body = std::move(inner);
    return frame;
}

std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t limit) {
    std::string out;
    const std::size_t n = std::min(bytes.size(), limit);
    for (std::size_t i = 0; i < n; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        if (i)
            out += ' ';
        out += hex;
    }
    if (bytes.size() > n)
        out += " ...";
    return out;
}

} // namespace sim
