// A download page that shows nothing: a benchmark measures the exchange, not a user interface.
// It keeps the last message a phase wanted to show, so a failed run can say why.
#pragma once

#include "pages/DownloadPage.h"

#include <cwchar>
#include <string>

class QuietPage : public CDownloadPage {
public:
    explicit QuietPage(const std::string& dir) {
        const std::wstring w(dir.begin(), dir.end());
        std::wcsncpy(m_imageDir, w.c_str(), kImageDirCapacity - 1);
    }
    void SetStatusText(const wchar_t*) override {}
    void SetPhaseProgress(int) override {}
    void SetOverallProgress(int) override {}
    void ShowPageMessage(const wchar_t* text, const wchar_t*, UINT) override { m_lastMessage = text; }
    std::wstring m_lastMessage;
};
