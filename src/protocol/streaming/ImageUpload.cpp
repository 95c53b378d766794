// Writes the three boot images: each is opened with its header, streamed in 1024-byte chunks
// and closed.
#include "protocol/hdlc/FixedPackets.h"
#include "protocol/streaming/StreamingCommon.h"

#include <string>

namespace {

constexpr std::uint8_t kOpenCommand = 0x1B;
constexpr std::uint8_t kOpenResponse = 0x1C;
constexpr std::uint8_t kStreamWriteResponse = 0x08;
constexpr std::uint8_t kCloseResponse = 0x16;

constexpr std::uint8_t kImageTypeOemSbl = 4;
constexpr std::uint8_t kImageTypeAmss = 5;
constexpr std::uint8_t kImageTypeAppsBoot = 10;

// Reads that a full chunk's response may take to show its opening flag (each ends after the
// port's read time-out). The stream goes on when none came: late responses are taken by the
// next wait or after the close packet. Every read that is made is looked at: a flag read and
// then ignored would leave the rest of its frame to be mistaken for the next response.
constexpr int kChunkResponseReads = 51;

// The offset field has 32 bits: the last chunk of a larger file could not be addressed.
constexpr std::uint64_t kMaxImageLength = std::uint64_t{1} << 32;

int FailCantOpen(CDownloadPage& page) {
    return streaming::Fail(page, L"Upgrade partition fail: Can't open header file.", L"Vestrel",
                           L"Upgrade partition fail: Can't open header file. Download process stop.");
}

int FailImageRead(CDownloadPage& page) {
    return streaming::Fail(page, L"Upgrade partition fail: Can't read image file.", L"Vestrel",
                           L"Upgrade partition fail: Can't read image file. Download process stop.");
}

int FailStreamWriteResponse(CDownloadPage& page) {
    return streaming::Fail(
        page, L"Stream write response packet (0x08) error ", L"Vestrel",
        L"Upgrade partition fail: Stream write response packet (0x08) error. Download process stop.");
}

int FailOpenStatus(CDownloadPage& page, BYTE status) {
    switch (status) {
    case 1:
        return streaming::Fail(page, L"Upgrade partition fail: Payload length exceeded.", L"Error",
                               L"Upgrade partition fail: Payload length exceeded. Download process stop.");
    case 2:
        return streaming::Fail(page, L"Upgrade partition fail: No payload expected.", L"Error",
                               L"Upgrade partition fail: No payload expected. Download process stop.");
    case 3:
        return streaming::Fail(page, L"Upgrade partition fail: Payload required.", L"Error",
                               L"Upgrade partition fail: Payload required. Download process stop.");
    case 4:
        return streaming::Fail(page, L"Upgrade partition fail: Block 0 write protected.", L"Error",
                               L"Upgrade partition fail: Block 0 write protected. Download process stop.");
    default:
        return streaming::Fail(page, L"Upgrade partition fail: Unknown response packet.", L"Error",
                               L"Upgrade partition fail: Unknown response packet. Download process stop.");
    }
}

// The bounded wait after a full chunk. True when a response frame was collected into the
// receive buffer; false when no flag came (the chunk then counts as acknowledged).
bool AwaitChunkResponse(CDownloadPage& page) {
    page.m_receiveCount = 0;
    for (int read = 0; read < kChunkResponseReads; ++read) {
        BYTE byte = 0;
        if (page.m_port.ReadByte(byte) && byte == kHdlcFlag) {
            page.m_receiveBuffer[0] = kHdlcFlag;
            page.m_receiveCount = 1;
            streaming::CollectFrameAfterFlag(page);
            return true;
        }
    }
    return false;
}

// Moves the bars before full chunk `chunk` of `chunks`; the overall bar only when it grows.
void ShowChunkProgress(CDownloadPage& page, std::uint64_t chunk, std::uint64_t chunks, int& lastOverall) {
    const int phase = static_cast<int>((99 * chunk) / chunks);
    page.SetPhaseProgress(phase);
    const int overall = g_overallProgressBase + (phase * 20) / 100;
    if (overall > lastOverall) {
        page.SetOverallProgress(overall);
        lastOverall = overall;
    }
}

int SendImage(CDownloadPage& page, const wchar_t* statusText, int overallBase, const wchar_t* headerName,
              const wchar_t* imageName, BYTE imageType) {
    page.SetStatusText(statusText);
    page.SetPhaseProgress(0);
    g_overallProgressBase = overallBase;
    const std::wstring headerPath = page.ImagePath(headerName);
    const std::wstring imagePath = page.ImagePath(imageName);
    return page.UploadImage(imageType, headerPath.c_str(), imagePath.c_str());
}

} // namespace

int CDownloadPage::SendOemSbl() {
    return SendImage(*this, L"Sending OEM second bootloader...", 20, L"oemsblhd.mbn", L"oemsbl.mbn",
                     kImageTypeOemSbl);
}

int CDownloadPage::SendAmss() {
    return SendImage(*this, L"Sending AMSS...", 40, L"amsshd.mbn", L"amss.mbn", kImageTypeAmss);
}

int CDownloadPage::SendAppsBoot() {
    return SendImage(*this, L"Sending APP boot packet...", 60, L"appsbootHD.mbn", L"appsboot.mbn",
                     kImageTypeAppsBoot);
}

int CDownloadPage::UploadImage(BYTE imageType, const wchar_t* headerPath, const wchar_t* imagePath) {
    using streaming::Fail;
    using streaming::FrameResult;

    if (!m_port.IsOpen())
        return streaming::FailPortNotOpen(*this);

    // Open packet: the whole header file, refused before sending if it cannot be read or framed.
    CFile file;
    if (!file.Open(headerPath, CFile::modeRead))
        return FailCantOpen(*this);
    BYTE packet[streaming::kPacketBufferSize];
    const std::uint8_t openPrefix[] = {kOpenCommand, imageType};
    std::size_t length = 0;
    const FrameResult header =
        streaming::FrameWholeFile(file, openPrefix, sizeof openPrefix, packet, sizeof packet, length);
    file.Close();
    if (header == FrameResult::ReadFailed)
        return Fail(*this, L"Upgrade partition fail: Can't read header file.", L"Vestrel",
                    L"Upgrade partition fail: Can't read header file. Download process stop.");
    if (header == FrameResult::TooLong)
        return Fail(*this, L"Upgrade partition fail: Header file too large.", L"Vestrel",
                    L"Upgrade partition fail: Header file too large. Download process stop.");
    m_port.Write(packet, static_cast<DWORD>(length));

    if (!ReadResponse())
        return streaming::FailNoResponse(*this);
    // A response of another kind ends the upload without a word: the status line keeps the
    // phase's text and the flashing sequence resets the page.
    if (m_receiveBuffer[0] != kHdlcFlag || m_receiveBuffer[1] != kOpenResponse)
        return 0;
    if (m_receiveBuffer[2] != 0)
        return FailOpenStatus(*this, m_receiveBuffer[2]);

    // Stream-write packets.
    if (!file.Open(imagePath, CFile::modeRead))
        return FailCantOpen(*this);
    const std::uint64_t imageLength = file.GetLength();
    if (imageLength > kMaxImageLength) {
        file.Close();
        return Fail(*this, L"Upgrade partition fail: Image file too large.", L"Vestrel",
                    L"Upgrade partition fail: Image file too large. Download process stop.");
    }
    const std::uint64_t fullChunks = imageLength / streaming::kChunkSize;
    const std::size_t rest = static_cast<std::size_t>(imageLength % streaming::kChunkSize);
    int lastOverall = 0;
    for (std::uint64_t chunk = 0; chunk < fullChunks; ++chunk) {
        ShowChunkProgress(*this, chunk, fullChunks, lastOverall);
        const auto offset = static_cast<std::uint32_t>(chunk * streaming::kChunkSize);
        if (streaming::FrameStreamWrite(file, offset, streaming::kChunkSize, packet, sizeof packet, length) !=
            FrameResult::Ok) {
            file.Close();
            return FailImageRead(*this);
        }
        m_port.Write(packet, static_cast<DWORD>(length));
        if (AwaitChunkResponse(*this) && m_receiveBuffer[1] != kStreamWriteResponse) {
            file.Close();
            return FailStreamWriteResponse(*this);
        }
    }
    if (rest != 0) {
        const auto offset = static_cast<std::uint32_t>(fullChunks * streaming::kChunkSize);
        if (streaming::FrameStreamWrite(file, offset, rest, packet, sizeof packet, length) !=
            FrameResult::Ok) {
            file.Close();
            return FailImageRead(*this);
        }
        m_port.Write(packet, static_cast<DWORD>(length));
        if (!ReadResponse()) {
            file.Close();
            return streaming::FailNoResponse(*this);
        }
        if (m_receiveBuffer[1] != kStreamWriteResponse) {
            file.Close();
            return FailStreamWriteResponse(*this);
        }
    }
    file.Close();

    // Close packet; stream-write responses that arrive late are passed over.
    m_port.Write(kClosePacket, sizeof kClosePacket);
    do {
        if (!ReadResponse())
            return streaming::FailNoResponse(*this);
    } while (m_receiveBuffer[1] == kStreamWriteResponse);
    if (m_receiveBuffer[1] != kCloseResponse)
        return Fail(*this, L"Closed packet response (0x16) error ", L"Vestrel",
                    L"Upgrade partition fail: Closed packet response (0x16) error. Download process stop.");
    SetPhaseProgress(100);
    return 1;
}
