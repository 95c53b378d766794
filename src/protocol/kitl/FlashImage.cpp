// The last phase: FLASH.bin to the rebooted handset over kITL frames.
#include "pages/DownloadPage.h"
#include "protocol/kitl/KitlLink.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

// Where the overall bar stands when this phase starts, and the share of it the phase covers.
constexpr int kOverallAtStart = 80;
constexpr int kOverallShare = 20;

constexpr const wchar_t* kCaption = L"Vestrel";

constexpr const wchar_t* kOpenFileFailMessage = L"Download flash error: open file fail.";
constexpr const wchar_t* kOpenFileFailStatus = L"Download flash error: open file fail. Download process stop";
constexpr const wchar_t* kReadFileFailMessage = L"Download flash error: read file fail.";
constexpr const wchar_t* kReadFileFailStatus = L"Download flash error: read file fail. Download process stop";
constexpr const wchar_t* kLinkLostMessage =
    L"Download flash error: the USB connection to the handset was lost.";
constexpr const wchar_t* kLinkLostStatus =
    L"Download flash error: the USB connection to the handset was lost. Download process stop";

// Fills the piece from the file: the buffered file may hand over fewer bytes than asked before its
// end, and a short piece in the middle of the image would shift everything after it.
UINT ReadPiece(CFile& file, BYTE (&piece)[kKitlPieceSize], bool& failed) {
    std::memset(piece, 0, sizeof piece);
    UINT got = 0;
    failed = false;
    while (got < sizeof piece) {
        UINT n = file.Read(piece + got, static_cast<UINT>(sizeof piece - got), &failed);
        if (failed || n == 0)
            break;
        got += n;
    }
    return got;
}

// Closes the link's device however the phase ends, a stop of the worker that unwinds it included.
struct KitlDeviceGuard {
    explicit KitlDeviceGuard(HANDLE device) { KitlAttach(device); }
    ~KitlDeviceGuard() { KitlDetach(); }
    KitlDeviceGuard(const KitlDeviceGuard&) = delete;
    KitlDeviceGuard& operator=(const KitlDeviceGuard&) = delete;
};

} // namespace

int CDownloadPage::SendFlashImage() {
    SetStatusText(L"Downloading flash...");

    HANDLE device = CreateFileW(kDeviceName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        wchar_t text[64];
        std::swprintf(text, sizeof text / sizeof text[0], L"open USB port fail, error code = %d",
                      static_cast<int>(GetLastError()));
        ShowPageMessage(text, nullptr, MB_OK);
        SetStatusText(text);
        return 0;
    }
    KitlDeviceGuard link(device);

    auto fail = [this](const wchar_t* message, const wchar_t* status) {
        ShowPageMessage(message, kCaption, MB_ICONERROR);
        SetStatusText(status);
        return 0;
    };

    // Raising DTR tells the handset someone listens. Drivers that cannot do it (a pseudo-terminal)
    // refuse; the handset then simply takes longer to announce itself.
    BYTE dtrInput = 0;
    DWORD returned = 0;
    DeviceIoControl(device, IOCTL_SERIAL_SET_DTR, &dtrInput, 1, nullptr, 0, &returned, nullptr);

    if (!KitlWaitFor(kKitlTypeAnnouncement, kKitlAnnouncementLength))
        return fail(kLinkLostMessage, kLinkLostStatus);
    KitlSendAck();
    if (!KitlWaitFor(kKitlTypeAck, kKitlAckLength))
        return fail(kLinkLostMessage, kLinkLostStatus);

    const std::wstring path = ImagePath(L"FLASH.bin");
    CFile file;
    if (!file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite))
        return fail(kOpenFileFailMessage, kOpenFileFailStatus);

    const std::uint64_t length = file.GetLength();
    std::uint64_t sent = 0;
    int highestOverall = 0;
    for (;;) {
        if (length != 0) {
            std::uint64_t percent = sent * 100 / length;
            // Only a file that grows while it is sent goes past its length; the bars stop at 100.
            if (percent > 100)
                percent = 100;
            const int phase = static_cast<int>(percent);
            SetPhaseProgress(phase);
            const int overall = kOverallAtStart + kOverallShare * phase / 100;
            if (overall > highestOverall) {
                SetOverallProgress(overall);
                highestOverall = overall;
            }
        }

        bool readFailed = false;
        const UINT got = ReadPiece(file, g_kitlLink.piece, readFailed);
        if (readFailed) {
            file.Close();
            return fail(kReadFileFailMessage, kReadFileFailStatus);
        }
        sent += got;
        if (got == 0)
            break;

        KitlSendData(g_kitlLink.sequence, g_kitlLink.piece);
        if (!KitlWaitFor(kKitlTypeAck, kKitlAckLength)) {
            file.Close();
            return fail(kLinkLostMessage, kLinkLostStatus);
        }
        ++g_kitlLink.sequence;
    }
    file.Close();

    SetStatusText(L"Upgrade finished");
    SetOverallProgress(100);
    ShowPageMessage(L"Upgrade completed, download successful, please reboot your device.", kCaption,
                    MB_ICONINFORMATION);
    SetPhaseProgress(100);
    return 1; // the guard closes the device
}
