#include "pages/DownloadPage.h"

#include "pages/WelcomePage.h"

#include <string>

namespace {

// How long Cancel gives a running worker to end by itself before stopping it.
constexpr DWORD kCancelWaitMs = 2000;
// Exit code of a worker that Cancel had to stop.
constexpr DWORD kForcedStopExitCode = 31;

} // namespace

CDownloadPage::CDownloadPage() : CPropertyPage(IDD_DOWNLOAD_PAGE) {}

CDownloadPage::~CDownloadPage() {
    // Normally Cancel has released the worker, or it ended after offering Finish. Should the page
    // go away while a worker still runs, stop it as Cancel would: it must not outlive the page
    // whose state it uses. The device is not closed here; closing is always explicit.
    if (m_worker != nullptr) {
        if (m_worker->Wait(kCancelWaitMs) == WAIT_TIMEOUT)
            m_worker->ForceStop(kForcedStopExitCode);
        delete m_worker;
        m_worker = nullptr;
    }
}

void CDownloadPage::DoDataExchange(CDataExchange* pDX) {
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_OVERALL_BAR, m_overallBar);
    DDX_Control(pDX, IDC_PHASE_BAR, m_phaseBar);
}

BOOL CDownloadPage::OnInitDialog() {
    CPropertyPage::OnInitDialog();

    CPropertySheet* sheet = GetSheet();
    // The welcome page opened and configured the device; from here on only this page uses it.
    if (sheet != nullptr && sheet->GetPageCount() > 0) {
        auto* welcome = static_cast<CWelcomePage*>(sheet->GetPage(0));
        m_port.TakeOver(welcome->m_port);
    }

    ReadImageDirectory();

    m_worker = AfxBeginThread(FlashingSequence, this, THREAD_PRIORITY_NORMAL);

    // Posted: takes effect once the page change in progress has completed.
    if (sheet != nullptr)
        sheet->SetWizardButtons(0);
    return TRUE;
}

bool CDownloadPage::ReadImageDirectory() {
    // The result counts the characters without the terminating zero when the directory fits,
    // and the capacity it would need (zero included) when it does not; 0 is a failure.
    const DWORD length = GetCurrentDirectoryW(kImageDirCapacity, m_imageDir);
    m_imageDirTooLong = length == 0 || length >= kImageDirCapacity;
    if (m_imageDirTooLong)
        m_imageDir[0] = L'\0';
    return !m_imageDirTooLong;
}

BOOL CDownloadPage::OnSetActive() {
    m_overallBar.SetPos(0);
    m_phaseBar.SetPos(0);
    SetDlgItemText(IDC_PERCENT_LABEL, L"0%");
    SetDlgItemText(IDC_STATUS_LINE, L"");
    CPropertyPage::OnSetActive();
    return TRUE;
}

void CDownloadPage::OnCancel() {
    if (m_worker != nullptr) {
        // A worker stuck in a wait without end (a response that never comes, the probe loop)
        // is stopped; the port is closed only afterwards, never while the worker may use it.
        if (m_worker->Wait(kCancelWaitMs) == WAIT_TIMEOUT)
            m_worker->ForceStop(kForcedStopExitCode);
        m_workerExitCode = m_worker->ExitCode();
        delete m_worker;
        m_worker = nullptr;
    }
    if (m_port.IsOpen())
        m_port.Close();
    CPropertyPage::OnCancel();
}

void CDownloadPage::SetStatusText(const wchar_t* text) {
    RunOnUiThread([&] { SetDlgItemText(IDC_STATUS_LINE, text); });
}

void CDownloadPage::SetPhaseProgress(int pos) {
    // The image upload reports its bar before every chunk, mostly with the position it already
    // shows; only a change is worth a hand-over to the user-interface thread. Only the worker
    // reports, so the remembered position needs no lock.
    if (pos == m_phasePosReported)
        return;
    m_phasePosReported = pos;
    RunOnUiThread([&] { m_phaseBar.SetPos(pos); });
}

void CDownloadPage::SetOverallProgress(int pos) {
    const std::wstring label = std::to_wstring(pos) + L"%";
    // Bar and label change together, so the label never shows another position than the bar.
    RunOnUiThread([&] {
        m_overallBar.SetPos(pos);
        SetDlgItemText(IDC_PERCENT_LABEL, label.c_str());
    });
}

void CDownloadPage::ShowPageMessage(const wchar_t* text, const wchar_t* caption, UINT icon) {
    const wchar_t* shownCaption = caption != nullptr ? caption : CWinApp::AppTitle();
    RunOnUiThread([&] { MessageBox(text, shownCaption, MB_OK | icon); });
}

void CDownloadPage::ShowOwnerlessMessage(const wchar_t* text, const wchar_t* caption, UINT icon) {
    // Shown from the calling thread without an owner, so the wizard stays usable meanwhile.
    OwnerlessMessageBox(text, caption, MB_OK | icon);
}

void CDownloadPage::Pause(DWORD milliseconds) {
    Sleep(milliseconds);
}

bool CDownloadPage::ProbeDevice() {
    return m_port.ProbeDevice();
}

void CDownloadPage::OfferFinish() {
    if (CPropertySheet* sheet = GetSheet())
        sheet->SetWizardButtons(PSWIZB_FINISH);
    CancelToClose();
}

std::wstring CDownloadPage::ImagePath(const wchar_t* fileName) const {
    std::wstring path(m_imageDir);
    path += L'\\';
    path += fileName;
    return path;
}
