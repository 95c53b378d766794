// The frame encoder: any body, framed into a buffer of the worst-case size, must come back
// whole through the simulator's own decoder with a good frame check sequence and no fault;
// framed into a smaller buffer it must either fit exactly the same way or be refused (length 0)
// without a byte written past the buffer.
#include "FuzzSupport.h"
#include "Hdlc.h"
#include "protocol/hdlc/Hdlc.h"

#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) // every frame of the protocols carries at least a command code
        return 0;
    // The first two bytes take away up to 65535 bytes of the worst-case capacity.
    const std::size_t cut = data[0] | (data[1] << 8);
    const std::uint8_t* body = data + 2;
    const std::size_t bodyLength = size - 2;

    const std::size_t worst = MaxFrameLength(bodyLength);
    auto full = std::make_unique<std::uint8_t[]>(worst);
    const std::size_t length = EncodeFrame(body, bodyLength, full.get(), worst);
    fuzz::Require(length >= 4 && length <= worst, "frame of the worst-case size refused or too long");

    sim::HdlcDecoder decoder(worst + 1);
    std::vector<sim::HdlcFrame> frames;
    for (std::size_t i = 0; i < length; ++i)
        if (auto frame = decoder.Feed(full[i]))
            frames.push_back(std::move(*frame));
    fuzz::Require(frames.size() == 1 && decoder.PendingBytes() == 0, "not exactly one frame on the wire");
    const sim::HdlcFrame& frame = frames.front();
    fuzz::Require(frame.fcsOk && frame.faults.empty() && frame.strayBefore == 0, "frame judged faulty");
    fuzz::Require(frame.body.size() == bodyLength &&
                      (bodyLength == 0 || std::memcmp(frame.body.data(), body, bodyLength) == 0),
                  "body changed on the way");

    const std::size_t capacity = cut < worst ? worst - cut : 0;
    auto small = std::make_unique<std::uint8_t[]>(capacity);
    const std::size_t smallLength = EncodeFrame(body, bodyLength, small.get(), capacity);
    if (capacity >= length)
        fuzz::Require(smallLength == length && std::memcmp(small.get(), full.get(), length) == 0,
                      "a frame that fits came out differently");
    else
        fuzz::Require(smallLength == 0, "a frame that does not fit was not refused");
    return 0;
}
