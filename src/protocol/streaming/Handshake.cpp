// The response reader and the three packets that open the conversation with the flash
// programmer: hello, read and security.
#include "protocol/hdlc/FixedPackets.h"
#include "protocol/streaming/StreamingCommon.h"

namespace {

// Failed reads in a row after which the device counts as gone; a single hiccup is no reason.
constexpr int kReadFailureLimit = 16;

constexpr std::uint8_t kHelloExpected[34] = {0x7E, 0x02, 'Q', 'C', 'O', 'M', ' ', 'f', 'a', 's', 't', ' ',
                                             'd',  'o',  'w', 'n', 'l', 'o', 'a', 'd', ' ', 'p', 'r', 'o',
                                             't',  'o',  'c', 'o', 'l', ' ', 't', 'a', 'r', 'g'};
// Code 0x04 and the low byte of the address the read packet asked for.
constexpr std::uint8_t kReadExpected[3] = {0x7E, 0x04, 0x20};

struct Handshake {
    const wchar_t* statusText;
    const std::uint8_t* frame;
    DWORD frameLength;
    const std::uint8_t* expected;
    std::size_t expectedLength;
    bool reports90; // hello and read show one more step before the verdict
    const wchar_t* failBox;
    const wchar_t* failStatus;
};

int RunHandshake(CDownloadPage& page, const Handshake& step) {
    page.SetStatusText(step.statusText);
    page.SetPhaseProgress(0);
    if (!page.m_port.IsOpen())
        return streaming::FailPortNotOpen(page);
    page.m_port.Write(step.frame, step.frameLength);
    page.SetPhaseProgress(30);
    if (!page.ReadResponse())
        return streaming::FailNoResponse(page);
    page.SetPhaseProgress(60);
    if (step.reports90)
        page.SetPhaseProgress(90);
    if (!streaming::ResponseMatches(page.m_receiveBuffer, page.m_receiveCount, step.expected,
                                    step.expectedLength))
        return streaming::Fail(page, step.failBox, L"Vestrel", step.failStatus);
    page.SetPhaseProgress(100);
    return 1;
}

} // namespace

bool CDownloadPage::ReadResponse() {
    m_receiveCount = 0;
    // Wait for the opening flag without limit: a silent handset is left to Cancel, and each empty
    // read takes the port's read time-out. A closed port, or a device that fails every read
    // (cable pulled), returns at once forever and can never deliver the flag: the wait ends there
    // instead of spinning. The read is made on the handle to tell a failure from a time-out.
    int failuresInARow = 0;
    for (;;) {
        if (!m_port.IsOpen())
            return false;
        BYTE byte = 0;
        DWORD got = 0;
        if (!ReadFile(m_port.m_hDevice, &byte, 1, &got, nullptr)) {
            if (++failuresInARow >= kReadFailureLimit)
                return false;
            continue;
        }
        failuresInARow = 0;
        if (got == 1 && byte == kHdlcFlag)
            break;
    }
    m_receiveBuffer[0] = kHdlcFlag;
    m_receiveCount = 1;
    streaming::CollectFrameAfterFlag(*this);
    return true;
}

int CDownloadPage::SendHelloPacket() {
    return RunHandshake(*this, {L"Sending hello packet...", kHelloPacket, sizeof kHelloPacket, kHelloExpected,
                                sizeof kHelloExpected, true, L"Send hello packet fail.",
                                L"Send hello packet fail. Download process stop"});
}

int CDownloadPage::SendReadPacket() {
    return RunHandshake(*this, {L"Sending read packet...", kReadPacket, sizeof kReadPacket, kReadExpected,
                                sizeof kReadExpected, true, L"Send read packet fail.",
                                L"Send read packet fail. Download process stop"});
}

int CDownloadPage::SendSecurityPacket() {
    return RunHandshake(*this,
                        {L"Sending security packet...", kSecurityPacket, sizeof kSecurityPacket,
                         kSecurityResponse, sizeof kSecurityResponse, false, L"Send security packet fail.",
                         L"Send security packet fail. Download process stop"});
}
