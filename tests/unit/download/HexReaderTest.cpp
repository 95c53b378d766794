#include "protocol/download/HexReader.h"

#include "HexText.h"
#include "support/RecordingPage.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

// Ask the allocator to return null instead of aborting, so a refused allocation reaches the
// reader's own failure path under the address sanitizer too.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

using Bytes = std::vector<BYTE>;

struct ReadResult {
    bool ok;
    Bytes image;
    std::vector<std::string> events;
};

ReadResult ReadFile(const std::string& text) {
    TempDir dir;
    dir.WriteText("NPRG7200.hex", text);
    RecordingPage page(dir.PathW());
    ProgrammerImage image;
    const bool ok = ReadProgrammerImage(page, image);
    Bytes bytes;
    if (ok)
        bytes.assign(image.block.get(), image.block.get() + image.length);
    return {ok, bytes, page.Events()};
}

Bytes Seq(BYTE first, std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<BYTE>(first + i);
    return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(ReadProgrammerImage, TakesSelectedDataLinesInFileOrder) {
    const Bytes a = Seq(0x00, 16), b = Seq(0x40, 16), c = Seq(0x80, 12), d = Seq(0xC0, 17), e = Seq(0x20, 12);
    struct Case {
        const char* name;
        std::string text;
        Bytes image;
    };
    const Case cases[] = {
        // Addresses are ignored: records at 0000 and 8000 end up next to each other.
        {"addresses ignored",
         HexRecord(0, 4, {0x00, 0xA0}) + HexRecord(0x8000, 0, b) + HexRecord(0x0000, 0, a) +
             ":00000001FF\r\n",
         Concat({b, a})},
        {"short records: address digit decides",
         HexRecord(0x0F40, 0, e) + HexRecord(0x8F40, 0, c) + HexRecord(0x1000, 0, d), Concat({c, d})},
        {"32-byte records are never taken",
         HexRecord(0x1000, 0, Seq(0, 32)) + HexRecord(0x2000, 0, Seq(0, 64)),
         {}},
        {"wrong checksum still taken",
         ":1010000000010203040506070809"
         "0A0B0C0D0E0F00\r\n",
         Seq(0, 16)},
        {"bare line feeds give nothing", HexRecord(0, 0, a, "\n") + HexRecord(0x8000, 0, b, "\n"), {}},
        {"last line without line end dropped", HexRecord(0, 0, a) + HexRecord(0x10, 0, b, ""), a},
        {"CR LF mixed with a bare LF line",
         HexRecord(0, 0, a) + HexRecord(0x10, 0, b, "\n") + HexRecord(0x8020, 0, c), Concat({a, c})},
        {"lower-case digits", ":0210000061a1FF\r\n:021000001aFFFF\r\n", {0x61, 0xA1, 0x3A, 0xFF}},
        {"empty file", "", {}},
        // A record of 200 bytes is longer than the line buffer; it would not be taken anyway and is
        // skipped without touching its neighbours.
        {"over-long unselected line skipped",
         HexRecord(0, 0, a) + HexRecord(0x100, 0, Seq(0, 200)) + HexRecord(0x10, 0, b), Concat({a, b})},
        // The line buffer holds 128 bytes, line feed included.
        {"longest odd line", ":1" + std::string(123, '1') + "\r\n", Bytes(57, 0x11)},
        {"line feed in the last buffer byte", ":1" + std::string(124, '1') + "\r\n", {}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const ReadResult r = ReadFile(row.text);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.image, row.image);
        EXPECT_TRUE(r.events.empty()) << r.events.front();
    }
}

TEST(ReadProgrammerImage, FailuresReportAndStop) {
    struct Case {
        const char* name;
        std::string text;
        bool createFile;
        std::string box;
        std::string status;
    };
    const Case cases[] = {
        {"missing file", "", false, "box:Vestrel:16:Switch to Upgrade Mode error: open file fail",
         "status:Switch to Upgrade Mode error: open file fail. Download process stop"},
        // A line that claims to be a 16-byte record but does not fit the line buffer is damaged;
        // a guessed programmer is never sent.
        {"over-long selected line", HexRecord(0, 0, Seq(0, 16)) + ":10" + std::string(300, '0') + "\r\n",
         true, "box:Vestrel:16:Switch to Upgrade Mode error: hex file line too long.",
         "status:Switch to Upgrade Mode error: hex file line too long. Download process stop"},
        {"line feed one past the buffer", ":1" + std::string(125, '1') + "\r\n", true,
         "box:Vestrel:16:Switch to Upgrade Mode error: hex file line too long.",
         "status:Switch to Upgrade Mode error: hex file line too long. Download process stop"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (c.createFile)
            dir.WriteText("NPRG7200.hex", c.text);
        RecordingPage page(dir.PathW());
        ProgrammerImage image;
        EXPECT_FALSE(ReadProgrammerImage(page, image));
        EXPECT_FALSE(image.block);
        EXPECT_EQ(page.Events(), (std::vector<std::string>{c.box, c.status}));
    }
}

// Half the length of a huge file cannot be allocated (nor counted in 32 bits): the reader says
// so instead of crashing. The file is sparse, so it costs no disk space.
TEST(ReadProgrammerImage, HugeFileIsAnAllocationFailure) {
    TempDir dir;
    dir.WriteText("NPRG7200.hex", "");
    std::error_code ec;
    std::filesystem::resize_file(dir.Path() / "NPRG7200.hex", (std::uintmax_t{1} << 33) + 2, ec);
    if (ec)
        GTEST_SKIP() << "no sparse file here: " << ec.message();
    RecordingPage page(dir.PathW());
    ProgrammerImage image;
    EXPECT_FALSE(ReadProgrammerImage(page, image));
    EXPECT_EQ(page.Events(),
              (std::vector<std::string>{
                  "box:Vestrel:16:Switch to Upgrade Mode error: Allocate memory fail.",
                  "status:Switch to Upgrade Mode error: Allocate memory fail. Download process stop"}));
}

} // namespace
