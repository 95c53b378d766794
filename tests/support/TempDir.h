// A temporary directory for image files, removed with everything in it at the end of a test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::wstring PathW() const { return m_path.wstring(); }
    void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const;
    void WriteText(const std::string& name, const std::string& text) const;

private:
    std::filesystem::path m_path;
};
