#include "protocol/download/HexReader.h"

#include "pages/DownloadPage.h"

#include <cstdint>
#include <limits>
#include <new>
#include <string>

namespace {

void Fail(CDownloadPage& page, const wchar_t* message, const wchar_t* status) {
    page.ShowPageMessage(message, L"Vestrel", MB_ICONERROR);
    page.SetStatusText(status);
}

} // namespace

bool ReadProgrammerImage(CDownloadPage& page, ProgrammerImage& image) {
    image = {};
    const std::wstring path = page.ImagePath(L"NPRG7200.hex");
    CFile file;
    if (!file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite)) {
        Fail(page, L"Switch to Upgrade Mode error: open file fail",
             L"Switch to Upgrade Mode error: open file fail. Download process stop");
        return false;
    }

    // The block holds half the file. A file so large that this cannot be addressed, or that the
    // 32-bit byte count cannot describe, is an allocation failure like any other.
    const std::uint64_t fileLength = file.GetLength();
    const std::uint64_t blockSize = fileLength / 2;
    if (blockSize <= std::numeric_limits<DWORD>::max() &&
        blockSize <= std::numeric_limits<std::size_t>::max())
        image.block.reset(new (std::nothrow) BYTE[static_cast<std::size_t>(blockSize)]);
    if (!image.block) {
        Fail(page, L"Switch to Upgrade Mode error: Allocate memory fail.",
             L"Switch to Upgrade Mode error: Allocate memory fail. Download process stop");
        file.Close();
        return false;
    }

    // Only the length measured above is read, so a file that grows meanwhile cannot decode more
    // bytes than the block holds.
    BYTE line[kHexLineCapacity] = {};
    std::size_t pos = 0;
    bool overlong = false;
    BYTE b = 0;
    bool readFailed = false;
    for (std::uint64_t done = 0; done < fileLength && file.ReadByte(b, &readFailed); ++done) {
        if (b != '\n') {
            if (pos < kHexLineCapacity - 1)
                line[pos++] = b;
            else
                overlong = true; // the rest of this line is not stored; the line end still counts
            continue;
        }
        if (overlong) {
            // A line that does not fit is no record of the kind we take (those are at most 75
            // characters). Skipped like any other unselected line; if it claims to be a data
            // line the file is damaged, and sending a guessed programmer would be worse than
            // stopping.
            if (IsProgrammerDataLine(line)) {
                Fail(page, L"Switch to Upgrade Mode error: hex file line too long.",
                     L"Switch to Upgrade Mode error: hex file line too long. Download process stop");
                file.Close();
                image = {};
                return false;
            }
        } else {
            line[pos] = b;
            if (IsProgrammerDataLine(line))
                DecodeHexRecord(line, static_cast<int>(pos) - 3, image.block.get(), image.length);
        }
        pos = 0;
        overlong = false;
    }
    file.Close();
    // A read error would leave the programmer cut short; the handset must not run that.
    if (readFailed) {
        Fail(page, L"Switch to Upgrade Mode error: read file fail.",
             L"Switch to Upgrade Mode error: read file fail. Download process stop");
        image = {};
        return false;
    }
    return true;
}
