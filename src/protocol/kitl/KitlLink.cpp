#include "protocol/kitl/KitlLink.h"

KitlLinkState g_kitlLink;

namespace {

// Reads exactly `count` bytes. The device may hand them over in several pieces: a short read is
// continued rather than leaving stale bytes in the buffer to be taken for received ones. A read
// the device answers with nothing is tried again after a short pause (so a handle that does not
// block costs no processor time). A refused read ends the attempt after a pause.
bool ReadExactly(BYTE* buffer, DWORD count) {
    DWORD got = 0;
    while (got < count) {
        DWORD n = 0;
        if (!ReadFile(g_kitlLink.device, buffer + got, count - got, &n, nullptr)) {
            ++g_kitlLink.failedReads;
            Sleep(kKitlFailedReadPauseMs);
            return false;
        }
        g_kitlLink.failedReads = 0;
        if (n == 0) {
            Sleep(kKitlEmptyReadPauseMs);
            continue;
        }
        got += n < count - got ? n : count - got;
    }
    return true;
}

} // namespace

void KitlAttach(HANDLE device) {
    g_kitlLink.device = device;
    g_kitlLink.failedReads = 0;
}

void KitlDetach() {
    if (g_kitlLink.device != INVALID_HANDLE_VALUE)
        CloseHandle(g_kitlLink.device);
    g_kitlLink.device = INVALID_HANDLE_VALUE;
}

bool KitlLinkLost() {
    return g_kitlLink.failedReads >= kKitlFailedReadsBeforeGivingUp;
}

int KitlSendAck() {
    BYTE frame[kKitlAckFrameSize];
    KitlBuildAck(frame);
    DWORD written = 0;
    WriteFile(g_kitlLink.device, frame, sizeof frame, &written, nullptr);
    return 1;
}

void KitlSendData(DWORD sequence, const BYTE (&piece)[kKitlPieceSize]) {
    BYTE frame[kKitlDataFrameSize];
    KitlBuildData(frame, sequence, piece);
    DWORD written = 0;
    WriteFile(g_kitlLink.device, frame, sizeof frame, &written, nullptr);
}

bool KitlReadHeader(BYTE (&header)[kKitlHeaderSize]) {
    std::size_t i = 0;
    while (i < sizeof kKitlMagic) {
        if (!ReadExactly(&header[i], 1))
            return false;
        if (header[i] != kKitlMagic[i]) {
            // The mismatching byte is dropped; the hunt starts over with the next one.
            i = 0;
            continue;
        }
        ++i;
    }
    if (!ReadExactly(&header[4], kKitlHeaderSize - 4))
        return false;
    return KitlHeaderChecksumOk(header);
}

bool KitlReceiveFrame(BYTE (&header)[kKitlHeaderSize]) {
    if (!KitlReadHeader(header))
        return false;
    const WORD length = KitlDataLength(header);
    if (length > kKitlMaxDataLength)
        return false;
    if (!ReadExactly(g_kitlLink.frameData, length))
        return false;
    return KitlChecksum(g_kitlLink.frameData, length) == header[8];
}

bool KitlWaitFor(BYTE type, WORD dataLength) {
    for (;;) {
        BYTE header[kKitlHeaderSize] = {};
        if (KitlReceiveFrame(header)) {
            if (KitlFrameType(header) == type && KitlDataLength(header) == dataLength)
                return true;
            continue;
        }
        if (KitlLinkLost())
            return false;
    }
}
