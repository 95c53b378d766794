// PLACEHOLDER: not built yet; replaced by the real phase.
#include "pages/DownloadPage.h"

int CDownloadPage::SendPartitionTable() { return 0; }
