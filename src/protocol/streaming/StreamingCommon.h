// What the phases of the programmer's streaming protocol share: frame building from files,
// failure reports and the progress base of the image uploads.
#pragma once

#include "pages/DownloadPage.h"
#include "protocol/hdlc/Hdlc.h"

#include <cstddef>
#include <cstdint>

namespace streaming {

// Data bytes in a full stream-write packet.
inline constexpr std::size_t kChunkSize = 1024;
// The partition table travels in one frame of at most this many bytes, escapes included.
inline constexpr std::size_t kPartitionFrameCapacity = 1024;
// One buffer serves the open and the stream-write packets. It holds the worst stream-write
// frame (command, offset and every data and FCS byte escaped), so image data of any value fits.
inline constexpr std::size_t kPacketBufferSize = MaxFrameLength(1 + 4 + kChunkSize);

enum class FrameResult {
    Ok,
    ReadFailed, // the file reported an error, or ended before the bytes it promised
    TooLong,    // the frame does not fit into the buffer; nothing usable was built
};

// One frame: the constant prefix, then every byte of `file` up to its end, each added right
// after its read.
FrameResult FrameWholeFile(CFile& file, const std::uint8_t* prefix, std::size_t prefixLength,
                           std::uint8_t* buffer, std::size_t capacity, std::size_t& length);

// A stream-write frame: command 0x07, the offset little-endian, then the next `count` bytes of
// `file`, each added right after its read.
FrameResult FrameStreamWrite(CFile& file, std::uint32_t offset, std::size_t count, std::uint8_t* buffer,
                             std::size_t capacity, std::size_t& length);

// Compares the first n bytes of a response with the expected bytes; ASCII letters match in
// either case, every other byte must be equal, and a 0x00 in the response never matches.
bool ResponseMatches(const std::uint8_t* response, std::size_t responseLength, const std::uint8_t* expected,
                     std::size_t n);

// After the opening flag has been stored at index 0: collects the rest of the frame, up to the
// closing flag or the end of the receive buffer. A read that yields nothing stores 0x00.
void CollectFrameAfterFlag(CDownloadPage& page);

// Message box (error icon), then the status line; returns 0 for the phase to return.
int Fail(CDownloadPage& page, const wchar_t* box, const wchar_t* caption, const wchar_t* status);
// A phase that finds no open port stops before sending anything.
int FailPortNotOpen(CDownloadPage& page);
// The response reader gave up: the port is closed or the device reports read errors.
int FailNoResponse(CDownloadPage& page);

} // namespace streaming

// The overall-bar position at which the current image upload starts (20, 40 or 60). Set by each
// image phase just before it calls UploadImage, read by UploadImage; worker thread only.
extern int g_overallProgressBase;
