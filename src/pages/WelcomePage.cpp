// The first wizard page: the notice, the red caution, the picture and the agreement; Next
// closes the synchronisation software's windows and opens the handset's serial device.
#include "pages/WelcomePage.h"

#include <string>

namespace {

const wchar_t* const kNotice =
    L"This program will upgrade the software of your handheld device. Please note that all your data will be "
    L"erased during the process. We strongly recommend that you back up your data before "
    L"proceeding.\n\nProcedure:\n1. Connect your handheld using the USB cable provided with your handheld "
    L"\n\n2. Establish an WindowsCE USB device connection with your Pocket PC by pressing Camera key + "
    L"Volume up key + Reset key. \n\n3. Click \"Next\"\n\n";

const wchar_t* const kCaution =
    L"Caution:\nRemoving the USB cable during the upgrade may cause problems that can be solved by tranined "
    L"personnel only. I hereby confirm that I am aware of this and that I will not interrupt the connection "
    L"between the unit and the PC until the procedure is completed. Click cancel to abort the procedure and "
    L"keep the current configuration";

const wchar_t* const kCaption = L"Vestrel";
const wchar_t* const kLogoFile = L"oem_Logo.bmp";
// Longest logo path the page loads, terminator excluded (a classic path buffer of 260).
constexpr std::size_t kLogoPathMax = 259;

} // namespace

CWelcomePage::CWelcomePage() : CPropertyPage(IDD_WELCOME_PAGE) {}

// The port never closes its device on destruction: a device still open belongs to the
// download page, which took it over.
CWelcomePage::~CWelcomePage() = default;

void CWelcomePage::DoDataExchange(CDataExchange* pDX) {
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_AGREE_CHECK, m_agreeCheck);
    DDX_Control(pDX, IDC_CAUTION_TEXT, m_caution);
}

BOOL CWelcomePage::OnInitDialog() {
    CPropertyPage::OnInitDialog();
    return TRUE;
}

BOOL CWelcomePage::OnSetActive() {
    m_pSheet = GetSheet();

    // Back on this page with a device still open (Back is never offered once the download
    // page runs, but the page does not rely on it).
    if (m_port.IsOpen()) {
        m_port.Close();
    }

    if (m_pSheet != nullptr) {
        m_pSheet->SetIconFromResource(IDI_VESTREL);
    }

    m_agreeCheck.SetCheck(BST_UNCHECKED);
    SetDlgItemText(IDC_NOTICE_TEXT, kNotice);

    m_caution.SetWindowText(kCaution);
    m_caution.m_textColour = RGB(255, 0, 0);
    m_caution.RedrawNow();

    // A logo of the handset's maker replaces the built-in picture when one has been left in
    // the user's cache folder. A path too long for the classic buffer is not tried at all: cut
    // short it would name some other file.
    const std::wstring logoPath = LogoFolder() + L"\\" + kLogoFile;
    if (logoPath.size() <= kLogoPathMax) {
        CStatic picture;
        picture.m_hWnd = GetDlgItem(IDC_WELCOME_PICTURE);
        picture.SetBitmapFromFile(logoPath.c_str());
        picture.m_hWnd = nullptr;
    }

    if (m_pSheet != nullptr) {
        m_pSheet->SetWizardButtons(0);
    }
    return CPropertyPage::OnSetActive();
}

void CWelcomePage::OnCommand(int id, UINT code) {
    if (id != IDC_AGREE_CHECK || code != BN_CLICKED) {
        return;
    }
    CPropertySheet* sheet = m_pSheet != nullptr ? m_pSheet : GetSheet();
    if (sheet != nullptr) {
        sheet->SetWizardButtons(m_agreeCheck.GetCheck() == BST_CHECKED ? PSWIZB_NEXT : 0);
    }
}

LRESULT CWelcomePage::OnWizardNext() {
    // The synchronisation software holds the device while its windows are up; each close is
    // waited for before the next step.
    CloseTopLevelWindowOfClass(L"SyncMgrUI");
    CloseTopLevelWindowOfClass(L"DccMan Class");

    CPropertySheet* sheet = m_pSheet != nullptr ? m_pSheet : GetSheet();
    const std::wstring deviceName = kDeviceName;

    if (!m_port.Open(deviceName.c_str())) {
        const DWORD error = GetLastError();
        const std::wstring text =
            L"Can't find Windows CE USB device\n Error code: " + std::to_wstring(static_cast<int>(error));
        MessageBox(text.c_str(), kCaption, MB_OK | MB_ICONERROR);
        if (sheet != nullptr) {
            sheet->SetActivePage(0);
        }
        m_port.m_hDevice = INVALID_HANDLE_VALUE;
        return -1;
    }

    if (!m_port.ConfigureState()) {
        // The port has shown its own message and closed the device.
        MessageBox(L"config port fail", kCaption, MB_OK | MB_ICONERROR);
        if (sheet != nullptr) {
            sheet->SetActivePage(0);
        }
        m_port.Close();
        m_port.m_hDevice = INVALID_HANDLE_VALUE;
        return -1;
    }

    if (!m_port.ConfigureTimeouts()) {
        // The device is still open when only reading the current time-outs failed.
        MessageBox(L"SetCommunicationTimeouts fail", kCaption, MB_OK | MB_ICONERROR);
        if (sheet != nullptr) {
            sheet->SetActivePage(0);
        }
        m_port.Close();
        m_port.m_hDevice = INVALID_HANDLE_VALUE;
        return -1;
    }

    // The device stays open: the download page takes this port over when it is created.
    return 0;
}
