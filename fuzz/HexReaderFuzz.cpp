// The Intel HEX reader: one line through DecodeHexRecord with exact-size buffers (so a read past
// the length value or a write past the decoded bytes is caught), and the whole input as
// NPRG7200.hex through ReadProgrammerImage, compared with the simulator's own rendering of the
// same line rule whenever every line fits the reader's line buffer.
#include "FuzzSupport.h"
#include "IntelHex.h"
#include "protocol/download/HexReader.h"

#include <cstring>
#include <memory>
#include <string_view>

namespace {

void FuzzOneLine(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return;
    // The first byte moves the length value below the line's end, down to negative values.
    const std::size_t lineSize = size - 1;
    const int lengthValue = static_cast<int>(lineSize) - static_cast<int>(data[0] % 24);
    auto line = std::make_unique<BYTE[]>(lineSize);
    std::memcpy(line.get(), data + 1, lineSize);

    const bool decodes = line[0] == ':' && lengthValue % 2 != 0;
    const std::size_t expected =
        decodes && lengthValue > 9 ? static_cast<std::size_t>(lengthValue - 9) / 2 : 0;
    auto image = std::make_unique<BYTE[]>(expected + 1); // +1: never a zero-size block
    DWORD count = 0;
    const int result = DecodeHexRecord(line.get(), lengthValue, image.get(), count);
    fuzz::Require(count == expected, "decoded byte count differs from the data field's size");
    fuzz::Require(result == (line[0] != ':'         ? kHexNoColon
                             : lengthValue % 2 == 0 ? kHexEvenLength
                                                    : kHexDecoded),
                  "unexpected decoder result");
}

// True when no line holds more characters than the reader keeps: then the reader and the
// simulator's rule must agree byte for byte.
bool EveryLineFits(std::string_view text) {
    std::size_t run = 0;
    for (char c : text) {
        if (c == '\n') {
            if (run >= kHexLineCapacity)
                return false;
            run = 0;
        } else {
            ++run;
        }
    }
    return true;
}

void FuzzWholeFile(const std::uint8_t* data, std::size_t size) {
    const auto& dir = fuzz::ScratchDir();
    fuzz::WriteFile(dir / "NPRG7200.hex", data, size);
    fuzz::QuietPage page(dir);
    ProgrammerImage image;
    const bool ok = ReadProgrammerImage(page, image);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!EveryLineFits(text)) {
        // An overlong line is skipped, or refused when it claims to be a data line.
        if (ok)
            fuzz::Require(image.length <= size / 2, "image longer than its block");
        else
            fuzz::Require(page.messages == 1 && !image.block, "refusal without exactly one message");
        return;
    }
    fuzz::Require(ok, "a file of fitting lines was refused");
    fuzz::Require(page.messages == 0, "message box on success");
    const std::vector<std::uint8_t> expected = sim::DecodeHexHostRule(text);
    fuzz::Require(image.length == expected.size(), "image length differs from the line rule");
    fuzz::Require(expected.empty() || std::memcmp(image.block.get(), expected.data(), expected.size()) == 0,
                  "image bytes differ from the line rule");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzOneLine(data, size);
    FuzzWholeFile(data, size);
    return 0;
}
