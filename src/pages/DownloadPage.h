// The second wizard page: owns the page state every phase shares and shows their progress.
#pragma once

#include "link/SerialCom.h"
#include "platform/Afx.h"

#include <string>

// Dialog template and control ids of the download page.
inline constexpr UINT IDD_DOWNLOAD_PAGE = 105;
inline constexpr int IDC_OVERALL_BAR = 1030;
inline constexpr int IDC_PERCENT_LABEL = 1031;
inline constexpr int IDC_PHASE_BAR = 1032;
inline constexpr int IDC_STATUS_LINE = 1033;

inline constexpr DWORD kImageDirCapacity = 256;
inline constexpr DWORD kReceiveBufferSize = 1024;

class CDownloadPage : public CPropertyPage {
public:
    CDownloadPage();
    ~CDownloadPage() override;

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    BOOL OnSetActive() override;

    // Reporting operations: carried out on the user-interface thread while the worker waits.
    // Virtual so that a test can record them instead of drawing.
    virtual void SetStatusText(const wchar_t* text);
    virtual void SetPhaseProgress(int pos);
    // Moves the overall bar and writes the percent label ("0%" .. "100%").
    virtual void SetOverallProgress(int pos);
    // Modal box owned by the page; caption nullptr shows the application title.
    virtual void ShowPageMessage(const wchar_t* text, const wchar_t* caption, UINT icon);

    // What the flashing sequence needs beyond the reporting operations; virtual for the same
    // reason (a test runs the sequence with a fast clock and scripted phases).
    virtual void ShowOwnerlessMessage(const wchar_t* text, const wchar_t* caption, UINT icon);
    virtual void Pause(DWORD milliseconds);
    virtual bool ProbeDevice();
    // Completion: Finish alone enabled (posted), then Cancel disabled (waited for).
    virtual void OfferFinish();

    // The phases, in the order the flashing sequence runs them. Non-zero is success.
    virtual int SwitchToDownloadMode();
    virtual int SendHelloPacket();
    virtual int SendReadPacket();
    virtual int SendSecurityPacket();
    virtual int SendPartitionTable();
    virtual int SendOemSbl();
    virtual int SendAmss();
    virtual int SendAppsBoot();
    virtual void SendReboot();
    virtual int SendFlashImage();

    void ResetAfterFailure();

    // Collects one raw response frame into the receive buffer (see streaming/). Waits for the
    // opening flag without limit; false only when no read can ever deliver it (the port is not
    // open, or the device fails its reads), so a broken link never turns into a busy loop.
    bool ReadResponse();
    int UploadImage(BYTE imageType, const wchar_t* headerPath, const wchar_t* imagePath);

    // The image directory, a backslash and the file name.
    std::wstring ImagePath(const wchar_t* fileName) const;
    // Reads the current directory into the image directory. False, with m_imageDirTooLong set
    // and the image directory empty, when the directory does not fit (or cannot be read).
    bool ReadImageDirectory();

    // Page state.
    wchar_t m_imageDir[kImageDirCapacity]{};
    // Set when the current directory did not fit into the image directory.
    bool m_imageDirTooLong = false;
    DWORD m_receiveCount = 0;
    BYTE m_receiveBuffer[kReceiveBufferSize]{};
    CSerialCom m_port;
    CProgressCtrl m_overallBar;
    CProgressCtrl m_phaseBar;
    CWinThread* m_worker = nullptr;
    // The phase bar position last handed to the user-interface thread (-1: none yet).
    int m_phasePosReported = -1;
    // The worker's exit code as Cancel found it (31 when it had to be stopped), kept after the
    // thread object is released.
    DWORD m_workerExitCode = 0;
};

// The worker thread's procedure; the parameter is the download page.
UINT FlashingSequence(LPVOID page);
