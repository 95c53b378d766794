// PLACEHOLDER: not built yet; replaced by the real phase.
#include "pages/DownloadPage.h"

int CDownloadPage::SendOemSbl() { return 0; }
int CDownloadPage::SendAmss() { return 0; }
int CDownloadPage::SendAppsBoot() { return 0; }
int CDownloadPage::UploadImage(BYTE, const wchar_t*, const wchar_t*) { return 0; }
