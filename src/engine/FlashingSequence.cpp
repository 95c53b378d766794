// The one run of the flashing phases on the worker thread: their order, the overall milestones
// between them, the pauses, the wait for the handset to come back after its reboot, the reset
// after a failure and the offer to finish.
#include "pages/DownloadPage.h"

namespace {

constexpr DWORD kPauseAfterUploadMs = 5000;
constexpr DWORD kPauseAfterRebootMs = 5000;
constexpr DWORD kProbeIntervalMs = 2000;
// Probes after the first: with the first one at most 301, about ten minutes in all.
constexpr int kMaxProbeRetries = 300;
constexpr DWORD kPauseBeforeFlashMs = 3000;

constexpr const wchar_t* kImageDirTooLongMessage =
    L"The path of the current directory is longer than 255 characters or cannot be read, so the "
    L"image files cannot be found. Please move them to a folder with a shorter path and start "
    L"the program from there.";
constexpr const wchar_t* kImageDirTooLongStatus =
    L"The path of the image directory is too long. Download process stop";

// After the reboot the handset's USB serial device disappears and comes back. Whether it came
// back is not decided here: the flash image transfer opens the device itself and reports a
// device that is still missing.
void WaitForDevice(CDownloadPage& page) {
    bool found = page.ProbeDevice();
    for (int retries = 0; !found && retries < kMaxProbeRetries; ++retries) {
        page.Pause(kProbeIntervalMs);
        found = page.ProbeDevice();
    }
}

// True after a complete run. Every phase has reported its own failure before it returns 0.
bool RunPhases(CDownloadPage& page) {
    if (page.m_imageDirTooLong) {
        // No image file could be found under a cut-off path; say why instead of failing later
        // on a file name that is not the real one.
        page.ShowPageMessage(kImageDirTooLongMessage, L"Vestrel", MB_ICONERROR);
        page.SetStatusText(kImageDirTooLongStatus);
        return false;
    }

    if (!page.SwitchToDownloadMode())
        return false;
    page.SetOverallProgress(10);
    page.Pause(kPauseAfterUploadMs);

    if (!page.SendHelloPacket())
        return false;
    if (!page.SendReadPacket())
        return false;
    if (!page.SendSecurityPacket()) {
        // Ownerless: the wizard stays usable while it is shown.
        page.ShowOwnerlessMessage(L"Send \"Security Packet\" fail", L"Error", MB_ICONERROR);
        return false;
    }
    if (!page.SendPartitionTable())
        return false;

    page.SetOverallProgress(20);
    if (!page.SendOemSbl())
        return false;
    page.SetOverallProgress(40);
    if (!page.SendAmss())
        return false;
    page.SetOverallProgress(60);
    if (!page.SendAppsBoot())
        return false;
    page.SetOverallProgress(80);

    // A reboot packet that was not written goes unnoticed: the probe loop and the flash image
    // transfer find out.
    page.SendReboot();
    page.Pause(kPauseAfterRebootMs);
    page.m_port.Close();
    WaitForDevice(page);
    page.Pause(kPauseBeforeFlashMs);

    if (!page.SendFlashImage())
        return false;
    page.SetOverallProgress(100);
    return true;
}

} // namespace

// The status line keeps the failing phase's own text; the wizard buttons stay as they are, so
// Cancel is the only way on.
void CDownloadPage::ResetAfterFailure() {
    if (m_port.IsOpen())
        m_port.Close();
    SetPhaseProgress(0);
    SetOverallProgress(0);
}

UINT FlashingSequence(LPVOID param) {
    auto& page = *static_cast<CDownloadPage*>(param);
    if (!RunPhases(page)) {
        page.ResetAfterFailure();
        return 0;
    }
    page.OfferFinish();
    return 1;
}
