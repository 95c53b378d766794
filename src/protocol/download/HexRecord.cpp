#include "protocol/download/HexReader.h"

namespace {

// '0'..'9' give their digit; every other character its code minus 0x37, so 'A'..'F' give
// 10..15. Kept to 8 bits like the byte it becomes part of.
BYTE HexValue(BYTE c) {
    return (c >= '0' && c <= '9') ? static_cast<BYTE>(c - '0') : static_cast<BYTE>(c - 0x37);
}

} // namespace

int DecodeHexRecord(const BYTE* line, int lengthValue, BYTE* image, DWORD& count) {
    if (line[0] != ':')
        return kHexNoColon;
    if (lengthValue % 2 == 0)
        return kHexEvenLength;
    for (int c = 9; c < lengthValue; c += 2) {
        const auto high = static_cast<BYTE>(HexValue(line[c]) << 4);
        image[count++] = static_cast<BYTE>(high | HexValue(line[c + 1]));
    }
    return kHexDecoded;
}

bool IsProgrammerDataLine(const BYTE* line) {
    return line[1] == '1' || (line[1] == '0' && line[3] >= '1');
}
