#include "support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vestrel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void TempDir::Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    std::ofstream out(m_path / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void TempDir::WriteText(const std::string& name, const std::string& text) const {
    std::ofstream out(m_path / name, std::ios::binary);
    out << text;
}
