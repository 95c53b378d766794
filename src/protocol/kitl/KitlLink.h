// The kITL link: the device handle the flash image transfer opens for itself, the buffers of the
// frames in flight and the sequence counter, with the operations that write frames to the device
// and read frames from it.
//
// One process-wide instance, used only by the worker thread while the flash image transfer runs,
// so it needs no lock. The sequence counter starts at 0 with the program and only ever grows: a
// second transfer in the same run carries on where the first one stopped.
#pragma once

#include "protocol/kitl/KitlFrames.h"

struct KitlLinkState {
    HANDLE device = INVALID_HANDLE_VALUE;
    // Data field of the last frame received; only its first data-length bytes are ever written.
    BYTE frameData[kKitlMaxDataLength] = {};
    // The piece of the flash image the next data frame carries.
    BYTE piece[kKitlPieceSize] = {};
    DWORD sequence = 0;
    // Reads in a row that the device refused. Any read it answers, even with no bytes, resets it.
    DWORD failedReads = 0;
};

extern KitlLinkState g_kitlLink;

// A refused read is followed by this pause, so a device that has gone costs no processor time.
inline constexpr DWORD kKitlFailedReadPauseMs = 50;
// After this many refused reads in a row (about three seconds) the device is taken as gone.
// A device that merely stays silent never counts: its reads wait, they are not refused.
inline constexpr DWORD kKitlFailedReadsBeforeGivingUp = 60;
// A read that the device answers with no bytes at all is retried after this pause.
inline constexpr DWORD kKitlEmptyReadPauseMs = 1;

// Starts using the device for the link (and forgets failures of an earlier device).
void KitlAttach(HANDLE device);
// Closes the link's device, if any.
void KitlDetach();
// True once the device has refused enough reads in a row to be taken as gone.
bool KitlLinkLost();

// Writes our acknowledgement frame in one write. Always 1: the write's outcome is not examined;
// a lost frame shows as a wait for an answer.
int KitlSendAck();
// Writes one data frame (sequence number and the whole 1516-byte piece) in one write.
void KitlSendData(DWORD sequence, const BYTE (&piece)[kKitlPieceSize]);

// Hunts the byte stream for the magic and reads the rest of the header into `header`, which the
// caller has cleared. A byte that breaks a partial magic is dropped, not retried as a new first
// byte, so a stray 0x6B right before a frame costs that frame. False when a read was refused or
// the header checksum is wrong.
bool KitlReadHeader(BYTE (&header)[kKitlHeaderSize]);
// Reads one whole frame: its header into `header` and its data field into the frame data buffer.
// True only with both checksums right and at most 1520 data bytes; a longer frame's data is left
// in the stream for the next hunt.
bool KitlReceiveFrame(BYTE (&header)[kKitlHeaderSize]);
// Waits until a frame of this type and data length has come; every other frame is dropped.
// There is no time limit: a handset may take long to speak. Returns false only when the device
// has gone (see kKitlFailedReadsBeforeGivingUp).
bool KitlWaitFor(BYTE type, WORD dataLength);
