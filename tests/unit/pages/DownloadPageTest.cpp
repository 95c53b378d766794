// The download page's image directory: read from the current directory, never cut short.
#include "pages/DownloadPage.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// Makes a directory below `base` whose absolute path is exactly `length` characters long.
fs::path DirectoryOfLength(const fs::path& base, std::size_t length) {
    fs::path dir = fs::canonical(base);
    while (dir.native().size() < length) {
        // Leave room for the separator; no component longer than the file systems allow.
        const std::size_t room = length - dir.native().size() - 1;
        const std::size_t take = room > 200 ? 100 : room;
        dir /= std::string(take, 'd');
    }
    fs::create_directories(dir);
    return dir;
}

class CurrentDirectory {
public:
    explicit CurrentDirectory(const fs::path& dir) : m_saved(fs::current_path()) { fs::current_path(dir); }
    ~CurrentDirectory() { fs::current_path(m_saved); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    fs::path m_saved;
};

TEST(DownloadPageImageDirectory, FitsUpTo255CharactersAndIsNeverCutShort) {
    struct Case {
        std::size_t length;
        bool fits;
    } const cases[] = {{60, true}, {255, true}, {256, false}, {400, false}};
    TempDir temp;
    for (const Case& c : cases) {
        SCOPED_TRACE("current directory of " + std::to_string(c.length) + " characters");
        const fs::path dir = DirectoryOfLength(temp.Path(), c.length);
        ASSERT_EQ(dir.native().size(), c.length);

        CDownloadPage page;
        {
            CurrentDirectory here(dir);
            EXPECT_EQ(page.ReadImageDirectory(), c.fits);
        }
        EXPECT_EQ(page.m_imageDirTooLong, !c.fits);
        if (c.fits) {
            EXPECT_EQ(std::wstring(page.m_imageDir), dir.wstring());
            // The longest file name after the longest directory: nothing is dropped.
            EXPECT_EQ(page.ImagePath(L"appsbootHD.mbn"), dir.wstring() + L"\\appsbootHD.mbn");
        } else {
            EXPECT_EQ(page.m_imageDir[0], L'\0');
        }
    }
}

} // namespace
