#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace fuzz {

namespace {

struct Scratch {
    std::filesystem::path path;
    Scratch() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vestrel-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            Violation("cannot create a scratch directory");
        path = pattern;
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

} // namespace

void Violation(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

const std::filesystem::path& ScratchDir() {
    static Scratch scratch;
    return scratch.path;
}

void WriteFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out)
        Violation("cannot write a scratch file");
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    WriteFile(path, bytes.data(), bytes.size());
}

QuietPage::QuietPage(const std::filesystem::path& imageDir) {
    const std::wstring dir = imageDir.wstring();
    Require(dir.size() < kImageDirCapacity, "scratch path too long for the image directory");
    dir.copy(m_imageDir, dir.size());
    m_imageDir[dir.size()] = L'\0';
}

void QuietPage::SetStatusText(const wchar_t* text) {
    Require(text != nullptr && *text != L'\0', "empty status text");
}

void QuietPage::SetPhaseProgress(int pos) {
    Require(pos >= 0 && pos <= 100, "phase bar position outside 0..100");
}

void QuietPage::SetOverallProgress(int pos) {
    Require(pos >= 0 && pos <= 100, "overall bar position outside 0..100");
}

void QuietPage::ShowPageMessage(const wchar_t* text, const wchar_t*, UINT) {
    Require(text != nullptr && *text != L'\0', "message box without text");
    ++messages;
}

void QuietPage::ShowOwnerlessMessage(const wchar_t* text, const wchar_t*, UINT) {
    Require(text != nullptr && *text != L'\0', "message box without text");
    ++messages;
}

} // namespace fuzz
