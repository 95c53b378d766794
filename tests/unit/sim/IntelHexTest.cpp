// The host's reading rule for the programmer file, and the generator's files as other tools
// write them.
#include "IntelHex.h"
#include "ImageGen.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

using sim::Bytes;
using simtest::FromHex;

const std::string k16 = "000102030405060708090A0B0C0D0E0F";

struct HexCase {
    const char* name;
    std::string text;
    Bytes expected;
};

TEST(SimIntelHex, HostRuleTakesAndDecodesLines) {
    const Bytes sixteen = FromHex(k16);
    Bytes twelve(sixteen.begin(), sixteen.begin() + 12);
    Bytes twoRecords = sixteen;
    twoRecords.insert(twoRecords.end(), sixteen.begin(), sixteen.end());
    const HexCase cases[] = {
        {"full record", ":10000000" + k16 + "FF\r\n", sixteen},
        {"records at distant addresses end up adjacent",
         ":10000000" + k16 + "00\r\n:10800000" + k16 + "00\r\n", twoRecords},
        {"wrong checksum still counts", ":10000000" + k16 + "12\r\n", sixteen},
        {"bare line feeds lose every line", ":10000000" + k16 + "FF\n", {}},
        {"32-byte record is never taken", ":20000000" + k16 + k16 + "FF\r\n", {}},
        {"short record at an address beginning with 0 is skipped",
         ":0C0F4000" + k16.substr(0, 24) + "FF\r\n",
         {}},
        {"short record at an address beginning with 8 is taken", ":0C8F4000" + k16.substr(0, 24) + "FF\r\n",
         twelve},
        {"address, start and end records are skipped",
         ":0200000400A05A\r\n:0400000500A0000057\r\n:00000001FF\r\n",
         {}},
        {"last line without a line end is dropped", ":10000000" + k16 + "FF", {}},
        {"line without a colon adds nothing", ";10000000" + k16 + "FF\r\n", {}},
        // 'a' is not a hex digit to the host: it counts 0x2A, whose high bits leak into the byte.
        {"lower-case digits", ":10000000" + std::string("0a") + k16.substr(2) + "FF\r\n",
         [&] {
             Bytes b = sixteen;
             b[0] = 0x2A;
             return b;
         }()},
        {"empty file", "", {}},
    };
    for (const HexCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sim::DecodeHexHostRule(c.text), c.expected);
    }
}

TEST(SimIntelHex, WriterRoundTripsThroughTheHostRule) {
    // 70,007 bytes cross a 64 KiB step and end in a short record the host still takes.
    const sim::GeneratedImages g = sim::GenerateImages(simtest::SmallSizes(), 1, 25);
    for (std::size_t size : {std::size_t{16}, std::size_t{1017 * 16}, std::size_t{70007}}) {
        Bytes data(size);
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<std::uint8_t>(i * 37 + (i >> 8));
        const std::string hex = sim::EncodeIntelHex(data, 0x00A00000);
        EXPECT_EQ(sim::DecodeHexHostRule(hex), data) << size;
        EXPECT_EQ(hex.rfind(":0200000400A05A\r\n", 0), 0u);
        EXPECT_NE(hex.find(":0400000500A0000057\r\n:00000001FF\r\n"), std::string::npos);
    }
    EXPECT_EQ(sim::DecodeHexHostRule(g.programmerHex), g.programmer);
}

TEST(SimIntelHex, WriterMatchesObjcopyByteForByte) {
    const std::string objcopy = OBJCOPY_PATH;
    if (objcopy.empty())
        GTEST_SKIP() << "no objcopy";
    simtest::TempDir dir;
    for (std::size_t size : {std::size_t{40}, std::size_t{70007}, std::size_t{1017 * 16 + 5}}) {
        SCOPED_TRACE(size);
        Bytes data(size);
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<std::uint8_t>((i * 2654435761U) >> 13);
        const std::string bin = dir.Path() + "/p.bin", hex = dir.Path() + "/p.hex";
        std::ofstream(bin, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        const std::string command =
            objcopy + " -I binary -O ihex --change-addresses 0xA00000 " + bin + " " + hex + " 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(simtest::ReadText(hex), sim::EncodeIntelHex(data, 0x00A00000));
    }
}

TEST(SimImageGen, DeterministicSizedAndFullOfEscapes) {
    const sim::ImageSizes sizes;
    const sim::GeneratedImages a = sim::GenerateImages(sizes, 9, 25);
    const sim::GeneratedImages b = sim::GenerateImages(sizes, 9, 25);
    EXPECT_EQ(a.programmerHex, b.programmerHex);
    EXPECT_EQ(a.flash, b.flash);
    EXPECT_NE(sim::GenerateImages(sizes, 10, 25).flash, a.flash);

    // The defaults hit the packet boundaries.
    EXPECT_EQ(sim::DecodeHexHostRule(a.programmerHex).size() % 1017, 0u);
    EXPECT_EQ(a.images[0].size() % 1024, 0u);
    EXPECT_EQ(a.images[1].size() % 1024, 1u);
    EXPECT_NE(a.flash.size() % 1516, 0u);
    // Chunks 96 and 165 of the programmer have address bytes that need escaping.
    EXPECT_GT(a.programmer.size(), 165u * 1017);

    const auto share = [](const Bytes& bytes) {
        std::size_t n = 0;
        for (std::uint8_t x : bytes)
            n += x == 0x7E || x == 0x7D;
        return static_cast<double>(n) / static_cast<double>(bytes.size());
    };
    for (const Bytes* bytes : {&a.programmer, &a.partition, &a.images[1], &a.flash}) {
        EXPECT_GT(share(*bytes), 0.2);
        EXPECT_LT(share(*bytes), 0.3);
    }
    // CRLF on every line.
    std::size_t lf = 0, crlf = 0;
    for (std::size_t i = 0; i < a.programmerHex.size(); ++i) {
        if (a.programmerHex[i] == '\n') {
            ++lf;
            crlf += i > 0 && a.programmerHex[i - 1] == '\r';
        }
    }
    EXPECT_EQ(lf, crlf);
}

} // namespace
