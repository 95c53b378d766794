// The flash programmer arrives as Intel HEX text; the handset takes its data fields as one
// contiguous block loaded from a fixed address, so only the data of the selected lines matters.
#pragma once

#include "platform/Afx.h"

#include <cstddef>
#include <memory>

class CDownloadPage;

// One line, its line feed included, must fit here; longer lines are handled by the reader.
inline constexpr std::size_t kHexLineCapacity = 128;

// The decoded programmer: the heap block (half the file length, which always holds every data
// byte since each takes two characters) and the number of bytes decoded into it.
struct ProgrammerImage {
    std::unique_ptr<BYTE[]> block;
    DWORD length = 0;
};

// Results of DecodeHexRecord.
inline constexpr int kHexDecoded = 0;
inline constexpr int kHexNoColon = 1;
inline constexpr int kHexEvenLength = 2;

// Appends the data field of one line to image[count..] and advances count. `lengthValue` is the
// position of the line feed minus 3; for a CR LF line that is the checksum's first column, and
// the data runs from column 9 up to it. Only the characters line[0 .. lengthValue - 1] are read.
// The checksum and the record's own byte count are ignored on purpose: the programmer files in
// use are taken as they are. Lower-case letters are not hex digits here ('a' gives 0x2A).
int DecodeHexRecord(const BYTE* line, int lengthValue, BYTE* image, DWORD& count);

// Whether the reader hands a line to the decoder: byte count 0x10..0x1F, or below 0x10 with an
// address not beginning with 0 (so address, start and end records, all at 0000, drop out).
bool IsProgrammerDataLine(const BYTE* line);

// Opens NPRG7200.hex in the page's image directory and decodes it. On failure the message box
// and the status text have been shown and false is returned; nothing is left allocated.
bool ReadProgrammerImage(CDownloadPage& page, ProgrammerImage& image);
