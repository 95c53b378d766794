// Builds Intel HEX text for test images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One record with a correct checksum; `eol` lets a test choose CR LF or a bare line feed.
inline std::string HexRecord(unsigned address, unsigned type, const std::vector<std::uint8_t>& data,
                             const std::string& eol = "\r\n") {
    char field[16];
    std::string line = ":";
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(field, sizeof field, "%02X%04X%02X", static_cast<unsigned>(data.size()), address & 0xFFFF,
                  type);
    line += field;
    for (std::uint8_t b : data) {
        std::snprintf(field, sizeof field, "%02X", b);
        line += field;
        sum += b;
    }
    std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field + eol;
}

// The whole image as a file the reader takes completely: an extended address record, 16-byte
// data records, a short last record at an address beginning with F (short records at addresses
// beginning with 0 are skipped by the reader), and the end-of-file record.
inline std::string HexFileFor(const std::vector<std::uint8_t>& image) {
    std::string text = HexRecord(0, 4, {0x00, 0xA0});
    std::size_t pos = 0;
    unsigned address = 0;
    for (; pos + 16 <= image.size(); pos += 16, address += 16)
        text +=
            HexRecord(address, 0, std::vector<std::uint8_t>(image.begin() + pos, image.begin() + pos + 16));
    if (pos < image.size())
        text += HexRecord(0xF000, 0, std::vector<std::uint8_t>(image.begin() + pos, image.end()));
    return text + ":00000001FF\r\n";
}

// Bytes that include plenty of 7E and 7D, so escaping inside write packets is exercised.
inline std::vector<std::uint8_t> TestImage(std::size_t length) {
    std::vector<std::uint8_t> image(length);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        const std::uint8_t r = static_cast<std::uint8_t>(state >> 16);
        image[i] = (r % 8 == 0) ? 0x7E : (r % 8 == 1) ? 0x7D : r;
    }
    return image;
}
