// The kITL magic hunt and frame receipt, through KitlWaitFor on a file that stands in for the
// device. The first three input bytes name the awaited frame type and data length; the rest is
// the byte stream. A small model of the hunt, written from the frame rules, says which frames
// the stream holds; the wait must return once per matching frame, with that frame's data, and
// consume the stream exactly.
//
// Bounded by design: the stream is followed by enough zeros to absorb any frame begun in it and
// then by one well-formed frame of the awaited kind, so every wait has a frame to find before
// the file ends. (At the end of a file every read returns nothing at once and the wait, which
// has no time limit, would go on.)
#include "FuzzSupport.h"
#include "protocol/kitl/KitlLink.h"

#include <cstring>
#include <vector>

namespace {

// A header begun on the stream's last byte reads 9 more bytes, then at most 1520 data bytes.
constexpr std::size_t kPadding = kKitlHeaderSize + kKitlMaxDataLength;

BYTE Sum(const std::uint8_t* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += bytes[i];
    return static_cast<BYTE>(sum);
}

struct Frame {
    BYTE type;
    std::size_t length;
    std::size_t dataAt;
};

// The frames a reader that follows the rules takes from `s`: the magic is hunted byte by byte
// and a byte that breaks a partial magic is dropped; a bad header checksum or a length above
// 1520 drops the header (the data stays in the stream); a bad data checksum drops the frame.
std::vector<Frame> ModelFrames(const std::vector<std::uint8_t>& s) {
    std::vector<Frame> frames;
    std::size_t pos = 0;
    for (;;) {
        std::uint8_t header[kKitlHeaderSize];
        std::size_t i = 0;
        while (i < 4) {
            if (pos >= s.size())
                return frames;
            header[i] = s[pos++];
            i = header[i] == kKitlMagic[i] ? i + 1 : 0;
        }
        if (s.size() - pos < kKitlHeaderSize - 4)
            return frames;
        std::memcpy(header + 4, &s[pos], kKitlHeaderSize - 4);
        pos += kKitlHeaderSize - 4;
        if (Sum(header, 9) != header[9])
            continue;
        const std::size_t length = header[6] | (header[7] << 8);
        if (length > kKitlMaxDataLength)
            continue;
        if (s.size() - pos < length)
            return frames;
        const std::size_t dataAt = pos;
        pos += length;
        if (Sum(&s[dataAt], length) != header[8])
            continue;
        frames.push_back({header[4], length, dataAt});
    }
}

std::vector<std::uint8_t> WellFormedFrame(BYTE type, std::size_t length) {
    std::vector<std::uint8_t> frame(kKitlHeaderSize + length);
    std::memcpy(frame.data(), kKitlMagic, sizeof kKitlMagic);
    frame[4] = type;
    frame[6] = static_cast<std::uint8_t>(length);
    frame[7] = static_cast<std::uint8_t>(length >> 8);
    for (std::size_t i = 0; i < length; ++i)
        frame[kKitlHeaderSize + i] = static_cast<std::uint8_t>(0xA5 ^ (i * 7));
    frame[8] = Sum(frame.data() + kKitlHeaderSize, length);
    frame[9] = Sum(frame.data(), 9);
    return frame;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const BYTE type = data[0];
    const auto length = static_cast<WORD>((data[1] | (data[2] << 8)) % (kKitlMaxDataLength + 1));

    // Reads go one byte at a time through the hunt, so the padding is left out when the stream
    // needs none: when no frame begun in it reaches into the closing frame.
    const std::vector<std::uint8_t> last = WellFormedFrame(type, length);
    std::vector<std::uint8_t> stream;
    std::vector<Frame> expected;
    for (std::size_t padding : {std::size_t{0}, kPadding}) {
        stream.assign(data + 3, data + size);
        stream.insert(stream.end(), padding, 0x00);
        stream.insert(stream.end(), last.begin(), last.end());
        expected.clear();
        for (const Frame& f : ModelFrames(stream))
            if (f.type == type && f.length == length)
                expected.push_back(f);
        if (!expected.empty() && expected.back().dataAt + length == stream.size())
            break;
        fuzz::Require(padding == 0, "model misses the closing frame");
    }

    const auto device = fuzz::ScratchDir() / "device";
    fuzz::WriteFile(device, stream);
    HANDLE h = CreateFileW(device.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    fuzz::Require(h != INVALID_HANDLE_VALUE, "cannot open the device file");
    KitlAttach(h);
    for (const Frame& f : expected) {
        fuzz::Require(KitlWaitFor(type, length), "wait gave up on a readable device");
        fuzz::Require(std::memcmp(g_kitlLink.frameData, &stream[f.dataAt], length) == 0,
                      "frame data differs from the frame in the stream");
    }
    BYTE extra = 0;
    DWORD got = 1;
    fuzz::Require(ReadFile(h, &extra, 1, &got, nullptr) && got == 0, "stream not consumed exactly");
    KitlDetach();
    return 0;
}
