// kITL frames: a 10-byte header that starts with the letters "kITL", then a data field whose
// length the header gives, guarded by two 8-bit additive checksums. No flags, no escaping.
//
// Header layout (multi-byte fields little-endian):
//   0..3  magic 6B 49 54 4C
//   4     frame type
//   5     reserved, sent as 0, ignored on receipt
//   6..7  data length
//   8     checksum of the data field
//   9     checksum of header bytes 0..8
//
// These are plain functions over caller buffers: no I/O and no state.
#pragma once

#include "platform/OsApi.h"

#include <cstddef>

inline constexpr BYTE kKitlMagic[4] = {0x6B, 0x49, 0x54, 0x4C};
inline constexpr std::size_t kKitlHeaderSize = 10;
// The largest data field accepted from the handset, and the size of the data frames we send.
inline constexpr std::size_t kKitlMaxDataLength = 1520;
// Bytes of the flash image each data frame carries (after the 4-byte sequence number).
inline constexpr std::size_t kKitlPieceSize = 1516;
inline constexpr std::size_t kKitlAckFrameSize = kKitlHeaderSize + 4;
inline constexpr std::size_t kKitlDataFrameSize = kKitlHeaderSize + kKitlMaxDataLength;

inline constexpr BYTE kKitlTypeAnnouncement = 0xBB;
inline constexpr BYTE kKitlTypeData = 0xCC;
inline constexpr BYTE kKitlTypeAck = 0xDD;
inline constexpr WORD kKitlAnnouncementLength = 36;
inline constexpr WORD kKitlAckLength = 4;

// Sum of the bytes modulo 256: no seed, no complement; 0 for an empty run.
BYTE KitlChecksum(const BYTE* bytes, WORD count);

// Our acknowledgement: type 0xDD with four zero data bytes. Always the same 14 bytes.
void KitlBuildAck(BYTE (&frame)[kKitlAckFrameSize]);

// A data frame: type 0xCC, 1520 data bytes made of the sequence number (little-endian) and the
// 1516-byte piece.
void KitlBuildData(BYTE (&frame)[kKitlDataFrameSize], DWORD sequence, const BYTE (&piece)[kKitlPieceSize]);

// Fields of a received header.
inline BYTE KitlFrameType(const BYTE* header) {
    return header[4];
}
inline WORD KitlDataLength(const BYTE* header) {
    return static_cast<WORD>(header[6] | (static_cast<WORD>(header[7]) << 8));
}
inline bool KitlHeaderChecksumOk(const BYTE* header) {
    return KitlChecksum(header, 9) == header[9];
}
