// PLACEHOLDER: not built yet; replaced by the real phase.
#include "pages/DownloadPage.h"

void CDownloadPage::ReadResponse() {}
int CDownloadPage::SendHelloPacket() { return 0; }
int CDownloadPage::SendReadPacket() { return 0; }
int CDownloadPage::SendSecurityPacket() { return 0; }
