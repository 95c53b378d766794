// Desktop services on posix: the single-copy test, the logo folder, bitmaps from files.
#include "platform/posix/UiModel.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

TEST(SingleCopy, ATitleShownByOneCopyIsFoundByAnotherUntilItIsGone) {
    // A title of this test alone, so a wizard running on the machine does not interfere.
    const std::wstring title = L"Korvane test " + std::to_wstring(getpid());
    EXPECT_FALSE(BringWindowWithTitleToFront(title.c_str()));
    {
        ui::TitleBeacon beacon;
        beacon.Show(title);
        ASSERT_GE(beacon.Descriptor(), 0);
        EXPECT_FALSE(beacon.TakeRequests());
        EXPECT_TRUE(BringWindowWithTitleToFront(title.c_str()));
        EXPECT_TRUE(beacon.TakeRequests());
        // Another title, such as the download page's or a message box's, does not count.
        EXPECT_FALSE(BringWindowWithTitleToFront((title + L"x").c_str()));
        // The page changes: the old title is free again, the new one is held.
        beacon.Show(title + L" next");
        EXPECT_FALSE(BringWindowWithTitleToFront(title.c_str()));
        EXPECT_TRUE(BringWindowWithTitleToFront((title + L" next").c_str()));
    }
    EXPECT_FALSE(BringWindowWithTitleToFront((title + L" next").c_str()));
    // A title too long for a socket name still works.
    const std::wstring longTitle(300, L'K');
    ui::TitleBeacon beacon;
    beacon.Show(longTitle);
    EXPECT_TRUE(BringWindowWithTitleToFront(longTitle.c_str()));
}

TEST(LogoFolder, TheTemporaryDirectoryWithoutItsTrailingSeparator) {
    const char* saved = std::getenv("TMPDIR");
    const std::string keep = saved != nullptr ? saved : "";
    struct Case {
        const char* tmpdir;
        std::wstring folder;
    };
    const Case cases[] = {
        {"/var/tmp/", L"/var/tmp"}, {"/var/tmp", L"/var/tmp"}, {"", L"/tmp"}, {nullptr, L"/tmp"}, {"/", L""}};
    for (const Case& c : cases) {
        if (c.tmpdir != nullptr)
            setenv("TMPDIR", c.tmpdir, 1);
        else
            unsetenv("TMPDIR");
        EXPECT_EQ(LogoFolder(), c.folder) << (c.tmpdir ? c.tmpdir : "(unset)");
    }
    if (saved != nullptr)
        setenv("TMPDIR", keep.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

std::vector<std::uint8_t> Bmp(std::int32_t width, std::int32_t height, std::uint16_t bpp,
                              std::size_t cutPixels = 0, char magic = 'B') {
    const std::uint32_t stride = ((static_cast<std::uint32_t>(width < 0 ? 0 : width) * bpp + 31) / 32) * 4;
    const std::uint32_t pixels = stride * static_cast<std::uint32_t>(height < 0 ? -height : height);
    std::vector<std::uint8_t> b(54 + pixels - std::min<std::size_t>(cutPixels, pixels), 0);
    auto put = [&](std::size_t at, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    b[0] = static_cast<std::uint8_t>(magic);
    b[1] = 'M';
    put(2, static_cast<std::uint32_t>(b.size()), 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, static_cast<std::uint32_t>(width), 4);
    put(22, static_cast<std::uint32_t>(height), 4);
    put(26, 1, 2);
    put(28, bpp, 2);
    return b;
}

TEST(StaticBitmap, OnlyAFileThatLoadsAsABitmapReplacesThePicture) {
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool loads;
    };
    const Case cases[] = {
        {"logo24.bmp", Bmp(240, 398, 24), true},
        {"topdown.bmp", Bmp(16, -16, 8), true},
        {"truncated.bmp", Bmp(240, 398, 24, 100), false},
        {"notbmp.bmp", Bmp(16, 16, 24, 0, 'X'), false},
        {"zerowidth.bmp", Bmp(0, 16, 24), false},
        {"oddbits.bmp", Bmp(16, 16, 7), false},
        {"tiny.bmp", {'B', 'M', 0, 0}, false},
    };
    for (const Case& c : cases) {
        dir.Write(c.name, c.bytes);
        ui::Node node;
        node.kind = ui::NodeKind::Picture;
        CStatic picture;
        picture.m_hWnd = &node;
        // The page forms the path with a backslash before the file name.
        const std::wstring path = dir.PathW() + L"\\" + ui::FromUtf8(c.name);
        EXPECT_EQ(picture.SetBitmapFromFile(path.c_str()), c.loads) << c.name;
        EXPECT_EQ(node.hasBitmap, c.loads) << c.name;
        if (c.loads) {
            EXPECT_EQ(node.bitmapFile, path);
            EXPECT_GT(node.bitmapHeight, 0);
        }
        picture.m_hWnd = nullptr;
    }
    CStatic picture;
    EXPECT_FALSE(picture.SetBitmapFromFile((dir.PathW() + L"/missing.bmp").c_str()));
}

TEST(Utf8, RoundTripAndBadBytes) {
    const std::wstring text = L"Caution: \u00e9\u20ac\U0001F600 ok";
    EXPECT_EQ(ui::FromUtf8(ui::ToUtf8(text)), text);
    EXPECT_EQ(ui::FromUtf8("a\xff"
                           "b"),
              L"a\uFFFDb");
    EXPECT_EQ(ui::FromUtf8("\xe2\x82"), L"\uFFFD\uFFFD");
}

} // namespace
