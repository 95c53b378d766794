#include "protocol/kitl/KitlFrames.h"

#include <cstring>

BYTE KitlChecksum(const BYTE* bytes, WORD count) {
    // A full-width index lets the compiler vectorise the loop; a 16-bit one defeats it.
    unsigned sum = 0;
    const std::size_t n = count;
    for (std::size_t i = 0; i < n; ++i)
        sum += bytes[i];
    return static_cast<BYTE>(sum);
}

namespace {

void LayOutHeader(BYTE* frame, BYTE type, WORD dataLength) {
    std::memcpy(frame, kKitlMagic, sizeof kKitlMagic);
    frame[4] = type;
    frame[5] = 0;
    frame[6] = static_cast<BYTE>(dataLength & 0xFF);
    frame[7] = static_cast<BYTE>(dataLength >> 8);
    // The header checksum covers the data checksum, so the data checksum comes first.
    frame[8] = KitlChecksum(frame + kKitlHeaderSize, dataLength);
    frame[9] = KitlChecksum(frame, 9);
}

} // namespace

void KitlBuildAck(BYTE (&frame)[kKitlAckFrameSize]) {
    std::memset(frame + kKitlHeaderSize, 0, kKitlAckLength);
    LayOutHeader(frame, kKitlTypeAck, kKitlAckLength);
}

void KitlBuildData(BYTE (&frame)[kKitlDataFrameSize], DWORD sequence, const BYTE (&piece)[kKitlPieceSize]) {
    BYTE* data = frame + kKitlHeaderSize;
    data[0] = static_cast<BYTE>(sequence);
    data[1] = static_cast<BYTE>(sequence >> 8);
    data[2] = static_cast<BYTE>(sequence >> 16);
    data[3] = static_cast<BYTE>(sequence >> 24);
    std::memcpy(data + 4, piece, kKitlPieceSize);
    LayOutHeader(frame, kKitlTypeData, static_cast<WORD>(kKitlMaxDataLength));
}
