#include "protocol/streaming/StreamingCommon.h"

int g_overallProgressBase = 0;

namespace streaming {

namespace {

constexpr std::uint8_t kStreamWriteCommand = 0x07;

std::uint8_t FoldAsciiCase(std::uint8_t byte) {
    return (byte >= 'A' && byte <= 'Z') ? static_cast<std::uint8_t>(byte + ('a' - 'A')) : byte;
}

} // namespace

FrameResult FrameWholeFile(CFile& file, const std::uint8_t* prefix, std::size_t prefixLength,
                           std::uint8_t* buffer, std::size_t capacity, std::size_t& length) {
    length = 0;
    HdlcEncoder enc;
    BeginFrame(enc, buffer, capacity);
    for (std::size_t i = 0; i < prefixLength; ++i)
        AddFrameByte(enc, prefix[i]);
    BYTE byte = 0;
    bool failed = false;
    // Stop reading as soon as the frame cannot fit: a wrong, huge file costs no more than the buffer.
    while (!enc.overflow && file.ReadByte(byte, &failed))
        AddFrameByte(enc, byte);
    if (failed)
        return FrameResult::ReadFailed;
    length = EndFrame(enc);
    return length == 0 ? FrameResult::TooLong : FrameResult::Ok;
}

FrameResult FrameStreamWrite(CFile& file, std::uint32_t offset, std::size_t count, std::uint8_t* buffer,
                             std::size_t capacity, std::size_t& length) {
    length = 0;
    HdlcEncoder enc;
    BeginFrame(enc, buffer, capacity);
    AddFrameByte(enc, kStreamWriteCommand);
    for (int shift = 0; shift < 32; shift += 8)
        AddFrameByte(enc, static_cast<std::uint8_t>(offset >> shift));
    BYTE byte = 0;
    for (std::size_t i = 0; i < count; ++i) {
        // An error or an early end of the file: a short chunk must never go out as if whole.
        if (!file.ReadByte(byte))
            return FrameResult::ReadFailed;
        AddFrameByte(enc, byte);
    }
    length = EndFrame(enc);
    return length == 0 ? FrameResult::TooLong : FrameResult::Ok;
}

bool ResponseMatches(const std::uint8_t* response, std::size_t responseLength, const std::uint8_t* expected,
                     std::size_t n) {
    // A response shorter than n has its closing flag where an expected byte belongs; judging
    // by the length keeps leftovers of earlier responses out of the verdict.
    if (responseLength < n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (response[i] == 0x00 || FoldAsciiCase(response[i]) != FoldAsciiCase(expected[i]))
            return false;
    }
    return true;
}

void CollectFrameAfterFlag(CDownloadPage& page) {
    BYTE value = 0;
    do {
        if (!page.m_port.ReadByte(value))
            value = 0x00;
        page.m_receiveBuffer[page.m_receiveCount++] = value;
    } while (page.m_receiveCount < kReceiveBufferSize && value != kHdlcFlag);
}

int Fail(CDownloadPage& page, const wchar_t* box, const wchar_t* caption, const wchar_t* status) {
    page.ShowPageMessage(box, caption, MB_ICONERROR);
    page.SetStatusText(status);
    return 0;
}

int FailPortNotOpen(CDownloadPage& page) {
    return Fail(page, L"The serial port is not open.", L"Vestrel",
                L"The serial port is not open. Download process stop.");
}

int FailNoResponse(CDownloadPage& page) {
    if (!page.m_port.IsOpen())
        return FailPortNotOpen(page);
    return Fail(page, L"Reading from the serial port failed.", L"Vestrel",
                L"Reading from the serial port failed. Download process stop.");
}

} // namespace streaming
