#include "protocol/download/HexReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

struct Decoded {
    int result;
    Bytes data;
};

// Hands one line to the decoder the way the reader does: the length value is the position of
// the line feed minus 3. The image already holds two bytes, to show that data is appended.
Decoded Decode(const std::string& line) {
    const auto lf = line.find('\n');
    Bytes image(64, 0xEE);
    DWORD count = 2;
    const int result = DecodeHexRecord(reinterpret_cast<const BYTE*>(line.data()), static_cast<int>(lf) - 3,
                                       image.data(), count);
    EXPECT_EQ(image[0], 0xEE);
    EXPECT_EQ(image[count], 0xEE) << "wrote past the count";
    return {result, Bytes(image.begin() + 2, image.begin() + count)};
}

TEST(DecodeHexRecord, DecodesTheDataFieldOnly) {
    struct Case {
        const char* name;
        std::string line;
        int result;
        Bytes data;
    };
    const Case cases[] = {
        {"16-byte record",
         ":10000000000102030405060708090A0B0C0D0E0F78\r\n",
         kHexDecoded,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"wrong checksum is not checked", ":0410000012345678FF\r\n", kHexDecoded, {0x12, 0x34, 0x56, 0x78}},
        {"byte count field is not compared",
         ":0110000012345678FF\r\n",
         kHexDecoded,
         {0x12, 0x34, 0x56, 0x78}},
        {"flag and escape values pass through", ":021000007E7DFF\r\n", kHexDecoded, {0x7E, 0x7D}},
        // 'a' converts to 0x2A: harmless in the high place, it spills into the high bits in the low one.
        {"lower-case digits", ":0310000061a11aFF\r\n", kHexDecoded, {0x61, 0xA1, 0x3A}},
        {"end-of-file record has no data", ":00000001FF\r\n", kHexDecoded, {}},
        {"bare line feed gives an even length", ":0410000012345678FF\n", kHexEvenLength, {}},
        {"no leading colon", "0410000012345678FF\r\n", kHexNoColon, {}},
        {"too short for data", ":10\r\n", kHexDecoded, {}},
        {"negative length value", ":1\n", kHexDecoded, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = Decode(c.line);
        EXPECT_EQ(d.result, c.result);
        EXPECT_EQ(d.data, c.data);
    }
}

TEST(IsProgrammerDataLine, SelectsByByteCountAndAddressDigit) {
    struct Case {
        const char* line;
        bool taken;
    };
    const Case cases[] = {
        {":10000000", true},                        // 16 bytes, any address
        {":1F800000", true},                        // 31 bytes
        {":20000000", false},                       // 32 bytes and more are never taken
        {":40100000", false}, {":0C8F4000", true},  // under 16 bytes, address beginning with 8
        {":0C1F4000", true},  {":0C0F4000", false}, // under 16 bytes, address beginning with 0
        {":00000001", false},                       // end of file
        {":02000004", false},                       // extended linear address
        {":04000005", false},                       // start linear address
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsProgrammerDataLine(reinterpret_cast<const BYTE*>(c.line)), c.taken) << c.line;
}

} // namespace
