#include "IntelHex.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

unsigned HostDigit(std::uint8_t c) {
    return (c >= '0' && c <= '9') ? static_cast<unsigned>(c - '0') : static_cast<unsigned>(c) - 0x37U;
}

void DecodeLine(const std::vector<std::uint8_t>& line, long lengthValue, std::vector<std::uint8_t>& out) {
    if (line[0] != ':' || lengthValue % 2 == 0)
        return;
    for (long c = 9; c < lengthValue; c += 2) {
        const auto col = static_cast<std::size_t>(c);
        const unsigned hi = HostDigit(line[col]);
        const unsigned lo = HostDigit(line[col + 1]);
        out.push_back(static_cast<std::uint8_t>(((hi << 4) & 0xFFU) | lo));
    }
}

void AppendRecord(std::string& out, std::uint8_t type, std::uint16_t address,
                  std::span<const std::uint8_t> data) {
    char field[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    out += field;
    for (std::uint8_t b : data) {
        std::snprintf(field, sizeof field, "%02X", b);
        out += field;
        sum += b;
    }
    std::snprintf(field, sizeof field, "%02X\r\n", (0x100U - (sum & 0xFFU)) & 0xFFU);
    out += field;
}

} // namespace

std::vector<std::uint8_t> DecodeHexHostRule(std::string_view text) {
    std::vector<std::uint8_t> out;
    // Like the host's line buffer, this one is not cleared between lines: a short line sees the
    // characters an earlier line left behind at the positions it does not reach.
    std::vector<std::uint8_t> line(16, 0);
    std::size_t pos = 0;
    for (char ch : text) {
        const auto b = static_cast<std::uint8_t>(ch);
        if (pos >= line.size())
            line.resize(pos + 1, 0);
        line[pos] = b;
        if (b != '\n') {
            ++pos;
            continue;
        }
        const bool taken = line[1] == '1' || (line[1] == '0' && line[3] >= '1');
        if (taken)
            DecodeLine(line, static_cast<long>(pos) - 3, out);
        pos = 0;
    }
    return out;
}

std::string EncodeIntelHex(std::span<const std::uint8_t> data, std::uint32_t base) {
    std::string out;
    std::uint32_t upper = 0;
    std::size_t i = 0;
    while (i < data.size()) {
        const std::uint32_t address = base + static_cast<std::uint32_t>(i);
        if ((address >> 16) != upper || (i == 0 && (address >> 16) != 0)) {
            upper = address >> 16;
            const std::uint8_t ela[2] = {static_cast<std::uint8_t>(upper >> 8),
                                         static_cast<std::uint8_t>(upper)};
            AppendRecord(out, 0x04, 0, ela);
        }
        std::size_t n = std::min<std::size_t>(16, data.size() - i);
        const std::uint32_t toBoundary = 0x10000U - (address & 0xFFFFU);
        n = std::min<std::size_t>(n, toBoundary);
        AppendRecord(out, 0x00, static_cast<std::uint16_t>(address & 0xFFFF), data.subspan(i, n));
        i += n;
    }
    if (base != 0) {
        const std::uint8_t start[4] = {static_cast<std::uint8_t>(base >> 24),
                                       static_cast<std::uint8_t>(base >> 16),
                                       static_cast<std::uint8_t>(base >> 8), static_cast<std::uint8_t>(base)};
        AppendRecord(out, 0x05, 0, start);
    }
    AppendRecord(out, 0x01, 0, {});
    return out;
}

} // namespace sim
