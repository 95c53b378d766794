// Intel HEX on both ends: the host's line rule (which lines it takes and how it decodes them),
// used to know what programmer image the host must send, and a writer that produces the files
// common tools write, used by make-images.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Decodes a programmer file the way the host reads it: a line ends at its line feed; the line is
// taken when its second character is '1', or '0' with the fourth character '1' or above; a taken
// line must start with ':' and have an odd length value (line feed position minus 3, so bare
// line feeds lose the line); its characters from position 9 up to the length value are decoded in
// pairs, where '0'-'9' count as digits and every other character as its code minus 0x37 (so
// lower-case letters do not decode as hex digits). Record addresses, types and checksums are not
// looked at; text after the last line feed is dropped.
std::vector<std::uint8_t> DecodeHexHostRule(std::string_view text);

// Writes `data` loaded at `base` as Intel HEX with CRLF line ends and upper-case digits: an
// extended linear address record whenever the upper 16 address bits change (the first one only
// when they are not zero), data records of up to 16 bytes that never cross a 64 KiB boundary, a
// start linear address record for `base` (when it is not zero) and the end-of-file record.
std::string EncodeIntelHex(std::span<const std::uint8_t> data, std::uint32_t base);

} // namespace sim
