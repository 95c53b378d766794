// CFile: buffered reads that match the file byte for byte, whatever the mix of read sizes.
#include "platform/Afx.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<BYTE> Pattern(std::size_t size) {
    std::vector<BYTE> bytes(size);
    std::uint32_t x = 12345;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<BYTE>(x >> 16);
    }
    return bytes;
}

TEST(File, MixedReadSizesDeliverTheWholeFile) {
    TempDir dir;
    // Larger than the buffer, and not a multiple of it.
    const std::vector<BYTE> content = Pattern(3 * 64 * 1024 + 517);
    dir.Write("FLASH.bin", content);

    CFile file;
    ASSERT_TRUE(file.Open((dir.PathW() + L"\\FLASH.bin").c_str(), CFile::modeRead | CFile::shareDenyWrite));
    EXPECT_EQ(file.GetLength(), content.size());

    // Single bytes, small pieces, a piece larger than the buffer, then the rest.
    const UINT sizes[] = {1, 1, 1516, 7, 1, 200000, 1024, 1};
    std::vector<BYTE> got;
    bool failed = true;
    for (std::size_t i = 0; got.size() < content.size(); ++i) {
        const UINT size = sizes[i % std::size(sizes)];
        if (size == 1) {
            BYTE b = 0;
            ASSERT_TRUE(file.ReadByte(b, &failed));
            got.push_back(b);
        } else {
            std::vector<BYTE> piece(size);
            const UINT n = file.Read(piece.data(), size, &failed);
            ASSERT_GT(n, 0u);
            got.insert(got.end(), piece.begin(), piece.begin() + n);
        }
        EXPECT_FALSE(failed);
    }
    EXPECT_EQ(got, content);

    // At the end: 0 bytes and no failure.
    BYTE rest[16];
    EXPECT_EQ(file.Read(rest, sizeof rest, &failed), 0u);
    EXPECT_FALSE(failed);
    BYTE b = 0;
    EXPECT_FALSE(file.ReadByte(b, &failed));
    EXPECT_FALSE(failed);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    file.Close(); // twice is harmless
}

TEST(File, FailuresAreReported) {
    TempDir dir;
    CFile file;
    EXPECT_FALSE(
        file.Open((dir.PathW() + L"\\missing.mbn").c_str(), CFile::modeRead | CFile::shareDenyWrite));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(file.IsOpen());
    BYTE buf[4];
    bool failed = false;
    EXPECT_EQ(file.Read(buf, sizeof buf, &failed), 0u);
    EXPECT_TRUE(failed) << "reading a file that is not open";

    // A file whose reads fail: this process's memory file is unmapped at offset 0.
    ASSERT_TRUE(file.Open(L"/proc/self/mem", CFile::modeRead | CFile::shareDenyNone));
    failed = false;
    EXPECT_EQ(file.Read(buf, sizeof buf, &failed), 0u);
    EXPECT_TRUE(failed);
}

TEST(File, EmptyFile) {
    TempDir dir;
    dir.Write("empty.bin", {});
    CFile file;
    ASSERT_TRUE(file.Open((dir.PathW() + L"/empty.bin").c_str(), CFile::modeRead | CFile::shareDenyWrite));
    EXPECT_EQ(file.GetLength(), 0u);
    BYTE b;
    bool failed = true;
    EXPECT_FALSE(file.ReadByte(b, &failed));
    EXPECT_FALSE(failed);
}

} // namespace
