// What the fuzz targets share: a download page that draws nothing but checks what the phases
// report, a scratch directory per fuzzer process, and a stop that libFuzzer reports as a crash.
#pragma once

#include "pages/DownloadPage.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fuzz {

// Ends the run as a crash with a one-line reason, so that libFuzzer keeps the input.
[[noreturn]] void Violation(const char* what);

inline void Require(bool condition, const char* what) {
    if (!condition)
        Violation(what);
}

// A directory of its own for this process, removed at exit.
const std::filesystem::path& ScratchDir();

void WriteFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size);
void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// Reports are not drawn; the positions must stay on their bars' scale and every box must have
// a text.
class QuietPage : public CDownloadPage {
public:
    explicit QuietPage(const std::filesystem::path& imageDir);

    void SetStatusText(const wchar_t* text) override;
    void SetPhaseProgress(int pos) override;
    void SetOverallProgress(int pos) override;
    void ShowPageMessage(const wchar_t* text, const wchar_t* caption, UINT icon) override;
    void ShowOwnerlessMessage(const wchar_t* text, const wchar_t* caption, UINT icon) override;
    void Pause(DWORD) override {}

    int messages = 0;
};

} // namespace fuzz
