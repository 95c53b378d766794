// Sends partition.mbn whole in one partition-table packet and reports the programmer's verdict.
#include "protocol/streaming/StreamingCommon.h"

namespace {

constexpr std::uint8_t kPartitionTableCommand = 0x19;
constexpr std::uint8_t kPartitionTableResponse = 0x1A;
// The table is never sent with the override flag: a differing table ends the run.
constexpr std::uint8_t kNoOverride = 0x00;

int FailVerdict(CDownloadPage& page, BYTE status) {
    switch (status) {
    case 1:
        return streaming::Fail(page, L"Partition table differs, override will be accepted.", L"Error",
                               L"Partition table differs, override will be accepted. Download process stop.");
    case 2:
        return streaming::Fail(
            page, L"Partition table format not recognized, will not accept override.", L"Error",
            L"Partition table format not recognized, will not accept override. Download process stop.");
    case 3:
        return streaming::Fail(page, L"Erase operation failed.", L"Error",
                               L"Erase operation failed. Download process stop.");
    default:
        return streaming::Fail(page, L"Unknown response packet, fail", L"Error",
                               L"Unknown response packet. Download process stop.");
    }
}

} // namespace

int CDownloadPage::SendPartitionTable() {
    using streaming::Fail;
    using streaming::FrameResult;

    SetStatusText(L"Sending partition table...");
    SetPhaseProgress(0);
    if (!m_port.IsOpen())
        return streaming::FailPortNotOpen(*this);

    CFile file;
    if (!file.Open(ImagePath(L"partition.mbn").c_str(), CFile::modeRead))
        return Fail(*this, L"Send partition table error: open file fail.", L"Vestrel",
                    L"Send partition table error: open file fail. Download process stop");

    BYTE frame[streaming::kPartitionFrameCapacity];
    const std::uint8_t prefix[] = {kPartitionTableCommand, kNoOverride};
    std::size_t length = 0;
    const FrameResult built =
        streaming::FrameWholeFile(file, prefix, sizeof prefix, frame, sizeof frame, length);
    file.Close();
    // The programmer takes the table in one frame of at most 1024 bytes; a table that does not
    // fit, or a file that could not be read to its end, is refused before anything is sent.
    if (built == FrameResult::ReadFailed)
        return Fail(*this, L"Send partition table error: read file fail.", L"Vestrel",
                    L"Send partition table error: read file fail. Download process stop");
    if (built == FrameResult::TooLong)
        return Fail(*this, L"Send partition table error: partition table too large.", L"Vestrel",
                    L"Send partition table error: partition table too large. Download process stop");

    m_port.Write(frame, static_cast<DWORD>(length));
    SetPhaseProgress(30);
    if (!ReadResponse())
        return streaming::FailNoResponse(*this);
    SetPhaseProgress(60);
    if (m_receiveBuffer[0] != kHdlcFlag || m_receiveBuffer[1] != kPartitionTableResponse)
        return FailVerdict(*this, 0xFF);
    SetPhaseProgress(90);
    const BYTE status = m_receiveBuffer[2];
    if (status != 0)
        return FailVerdict(*this, status);
    SetPhaseProgress(100);
    return 1;
}
