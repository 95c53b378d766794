#include "Kitl.h"

#include <cstdio>

namespace sim {

std::uint8_t KitlSum(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes)
        sum += b;
    return static_cast<std::uint8_t>(sum & 0xFF);
}

std::vector<std::uint8_t> BuildKitlFrame(std::uint8_t type, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out(kKitlMagic.begin(), kKitlMagic.end());
    out.push_back(type);
    out.push_back(0);
    out.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
    out.push_back(static_cast<std::uint8_t>(data.size() >> 8));
    out.push_back(KitlSum(data));
    out.push_back(KitlSum(std::span(out).first(9)));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<std::uint8_t> KitlFrame::Raw() const {
    std::vector<std::uint8_t> raw(header.begin(), header.end());
    raw.insert(raw.end(), data.begin(), data.end());
    return raw;
}

std::size_t KitlParser::PendingBytes() const {
    return m_stray + (m_state == State::Data ? kKitlHeaderSize + m_frame.data.size() : m_have);
}

std::optional<KitlFrame> KitlParser::Feed(std::uint8_t byte) {
    switch (m_state) {
    case State::Magic:
        if (byte == kKitlMagic[m_have]) {
            m_frame.header[m_have++] = byte;
        } else {
            // The bytes taken as a magic so far were stray; this byte may start a new magic.
            m_stray += m_have;
            m_have = 0;
            if (byte == kKitlMagic[0])
                m_frame.header[m_have++] = byte;
            else
                ++m_stray;
        }
        if (m_have == kKitlMagic.size())
            m_state = State::Header;
        return std::nullopt;
    case State::Header:
        m_frame.header[m_have++] = byte;
        if (m_have < kKitlHeaderSize)
            return std::nullopt;
        m_frame.strayBefore = m_stray;
        m_stray = 0;
        m_have = 0;
        if (KitlSum(std::span(m_frame.header).first(9)) != m_frame.header[9]) {
            char text[64];
            std::snprintf(text, sizeof text, "header sum %02X, should be %02X", m_frame.header[9],
                          KitlSum(std::span(m_frame.header).first(9)));
            m_frame.faults.emplace_back(text);
        } else if (m_frame.Length() > kKitlMaxData) {
            m_frame.faults.push_back("data length " + std::to_string(m_frame.Length()) + " above " +
                                     std::to_string(kKitlMaxData));
        }
        if (!m_frame.faults.empty() || m_frame.Length() == 0) {
            if (m_frame.faults.empty() && m_frame.header[8] != 0)
                m_frame.faults.push_back("empty data field with a data sum other than 0");
            m_state = State::Magic;
            KitlFrame done = std::move(m_frame);
            m_frame = KitlFrame{};
            return done;
        }
        m_frame.data.reserve(m_frame.Length());
        m_state = State::Data;
        return std::nullopt;
    case State::Data:
        m_frame.data.push_back(byte);
        if (m_frame.data.size() < m_frame.Length())
            return std::nullopt;
        if (KitlSum(m_frame.data) != m_frame.header[8]) {
            char text[64];
            std::snprintf(text, sizeof text, "data sum %02X, should be %02X", m_frame.header[8],
                          KitlSum(m_frame.data));
            m_frame.faults.emplace_back(text);
        }
        m_state = State::Magic;
        KitlFrame done = std::move(m_frame);
        m_frame = KitlFrame{};
        return done;
    }
    return std::nullopt;
}

} // namespace sim
