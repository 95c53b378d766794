// PLACEHOLDER: not built yet; replaced by the real phase.
#include "pages/DownloadPage.h"

int CDownloadPage::SendFlashImage() { return 0; }
