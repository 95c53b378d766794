// Start-up: one copy only, then the two-page wizard, run modally; the program ends with it.
#include "pages/DownloadPage.h"
#include "pages/WelcomePage.h"
#include "platform/Afx.h"

class CVestrelApp : public CWinApp {
public:
    BOOL InitInstance() override;
};

// The one application object; the platform's entry point runs its InitInstance.
CVestrelApp theApp;

BOOL CVestrelApp::InitInstance() {
    // Whether the common controls came up is not looked at: the sheet fails visibly without them.
    InitCommonControlsForWizard();
    CWinApp::InitInstance();

    // The welcome page's caption marks a running copy; a copy that already shows the download
    // page is called "Download Image" and does not stop this one.
    if (BringWindowWithTitleToFront(L"Korvane")) {
        return FALSE;
    }

    // Declared in this order so that they are destroyed download page first, sheet last.
    CPropertySheet sheet;
    CWelcomePage welcome;
    CDownloadPage download;
    m_pMainWnd = &sheet;

    sheet.AddPage(&welcome);
    sheet.AddPage(&download);

    // Neither page has help to offer: no Help button anywhere.
    welcome.m_dwPageFlags &= ~PSP_HASHELP;
    download.m_dwPageFlags &= ~PSP_HASHELP;
    sheet.m_dwSheetFlags &= ~PSH_HASHELP;
    sheet.m_dwSheetFlags |= PSH_WIZARD97;

    // Finish and Cancel end the program alike.
    sheet.DoModal();

    m_pMainWnd = nullptr;
    return TRUE;
}
