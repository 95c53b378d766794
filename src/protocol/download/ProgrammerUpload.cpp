// First phase: load the flash programmer into the handset's memory over the download protocol
// and start it.
#include "pages/DownloadPage.h"
#include "protocol/download/HexReader.h"
#include "protocol/hdlc/FixedPackets.h"
#include "protocol/hdlc/Hdlc.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr DWORD kLoadAddress = 0x00A00000;
constexpr DWORD kChunkSize = 1017; // with the 7 header bytes a full body is 1024 bytes
constexpr BYTE kWriteCommand = 0x0F;
constexpr std::size_t kWriteResponseSize = 128;
// Room for the worst case: every body and FCS byte of a full write packet escaped.
constexpr std::size_t kWriteFrameCapacity = MaxFrameLength(7 + kChunkSize);
// A device that is gone fails every read at once; a single hiccup is not worth stopping for.
constexpr int kReadErrorLimit = 16;

enum class FlagWait { Arrived, NotOpen, DeviceFailed };

// Waits for the opening flag of a write response. There is no time limit: a silent handset is
// left to Cancel, and each empty read takes the port's read time-out, so the wait never spins.
// What would spin is a port without a device or a device that fails every read: both end it.
FlagWait WaitForFlag(CSerialCom& port) {
    int errorsInARow = 0;
    for (;;) {
        if (!port.IsOpen())
            return FlagWait::NotOpen;
        BYTE b = 0;
        SetLastError(0);
        if (port.ReadByte(b)) {
            if (b == kHdlcFlag)
                return FlagWait::Arrived;
            errorsInARow = 0;
        } else if (GetLastError() != 0) {
            if (++errorsInARow >= kReadErrorLimit)
                return FlagWait::DeviceFailed;
        } else {
            errorsInARow = 0; // an empty read: the time-out ran out
        }
    }
}

} // namespace

int CDownloadPage::SwitchToDownloadMode() {
    SetStatusText(L"Switching to download mode...");
    SetPhaseProgress(0);

    ProgrammerImage image;
    if (!ReadProgrammerImage(*this, image))
        return 0;

    const DWORD length = image.length;
    int phaseShown = 0;
    int overallShown = 0;
    DWORD chunk = 0;
    BYTE frame[kWriteFrameCapacity];
    HdlcEncoder enc;

    for (DWORD j = 0; j < length; ++j) {
        if (j % kChunkSize == 0) {
            const DWORD address = kLoadAddress + chunk * kChunkSize;
            const DWORD dataLength = std::min(kChunkSize, length - j);
            BeginFrame(enc, frame, sizeof frame);
            AddFrameByte(enc, kWriteCommand);
            for (int shift = 24; shift >= 0; shift -= 8)
                AddFrameByte(enc, static_cast<BYTE>(address >> shift));
            AddFrameByte(enc, static_cast<BYTE>(dataLength >> 8));
            AddFrameByte(enc, static_cast<BYTE>(dataLength));
        }

        // Progress before byte j; 64-bit so that 100 * j cannot wrap for a large image. The
        // bars are only touched when their value changes: each report waits for the UI thread.
        const auto phase = static_cast<int>(std::uint64_t{100} * j / length);
        if (phase != phaseShown) {
            SetPhaseProgress(phase);
            phaseShown = phase;
        }
        const int overall = phase * 9 / 100;
        if (overall > overallShown) {
            SetOverallProgress(overall);
            overallShown = overall;
        }

        AddFrameByte(enc, image.block[j]);

        if ((j + 1) % kChunkSize == 0 || j + 1 == length) {
            const std::size_t frameLength = EndFrame(enc);
            m_port.Write(frame, static_cast<DWORD>(frameLength));

            // The handset's answer (normally 7E 02 6A D3 7E) is collected raw; the upload goes on
            // whatever it says.
            BYTE response[kWriteResponseSize];
            std::memset(response, 0, sizeof response);
            const FlagWait wait = WaitForFlag(m_port);
            if (wait == FlagWait::NotOpen) {
                ShowPageMessage(L"Switch to Upgrade Mode error: port is not open.", L"Vestrel", MB_ICONERROR);
                SetStatusText(L"Switch to Upgrade Mode error: port is not open. Download process stop");
                return 0;
            }
            if (wait == FlagWait::DeviceFailed) {
                ShowPageMessage(L"Switch to Upgrade Mode error: read port fail.", L"Vestrel", MB_ICONERROR);
                SetStatusText(L"Switch to Upgrade Mode error: read port fail. Download process stop");
                return 0;
            }
            response[0] = kHdlcFlag;
            for (std::size_t pos = 1; pos < kWriteResponseSize; ++pos) {
                if (!m_port.ReadByte(response[pos]))
                    response[pos] = 0;
                if (response[pos] == kHdlcFlag)
                    break;
            }
            ++chunk;
        }
    }

    // The go response lands in the receive buffer, first byte whatever it is; the receive count
    // belongs to the response reader and stays as it is.
    m_port.Write(kGoPacket, sizeof kGoPacket);
    if (!m_port.ReadByte(m_receiveBuffer[0]))
        m_receiveBuffer[0] = 0;
    for (DWORD pos = 1; pos < kReceiveBufferSize; ++pos) {
        if (!m_port.ReadByte(m_receiveBuffer[pos]))
            m_receiveBuffer[pos] = 0;
        if (m_receiveBuffer[pos] == kHdlcFlag)
            break;
    }

    m_port.Write(kCmd0CPacket, sizeof kCmd0CPacket);

    image = {};
    SetPhaseProgress(100);
    return 1;
}
