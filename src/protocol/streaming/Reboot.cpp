// PLACEHOLDER: not built yet; replaced by the real phase.
#include "pages/DownloadPage.h"

void CDownloadPage::SendReboot() {}
