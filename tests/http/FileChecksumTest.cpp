// The file digest a download is verified with, and the free-space check before it.
#include "http/FileChecksum.h"
#include "base/TempPath.h"
#include "tests/archive/ScratchFolder.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

namespace korvel {
namespace {

using test::ScratchFolder;

constexpr std::uint64_t kStaleCount = 987654321;

// One known answer over several read blocks and a partial last one, in lower case; the counter
// starts again from zero and ends at the size.
TEST(FileChecksumTest, DigestOfAFileOfSeveralBlocksCountsEveryByte)
{
    std::string content(40000, '\0');
    for (std::size_t index = 0; index < content.size(); ++index)
        content[index] = static_cast<char>(index * 31 + 7);
    ScratchFolder scratch;
    ASSERT_TRUE(test::WriteBytes(scratch / L"file.bin", content));
    std::uint64_t counter = kStaleCount;
    EXPECT_EQ(ComputeFileChecksum(scratch / L"file.bin", counter),
              L"4f8de90dc093f5d1390b899e4005d8f0");
    EXPECT_EQ(counter, content.size());

    int asked = 0;
    EXPECT_EQ(ComputeFileChecksum(scratch / L"file.bin", counter, [&] { return ++asked < 2; }), L"")
        << "a stop gives no digest";
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(counter, 16384u) << "only the block hashed before the stop counts";
}

TEST(FileChecksumTest, AFileThatCannotBeOpenedGivesTheDigestOfEmptyInput)
{
    ScratchFolder scratch;
    const std::wstring locked = scratch / L"locked.bin";
    ASSERT_TRUE(test::WriteBytes(locked, "locked content"));
    HANDLE exclusive = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    for (const std::wstring& path :
         {scratch / L"no-such-file.bin", scratch / L"no-such-folder\\file.bin", scratch.Path(),
          locked}) {
        std::uint64_t counter = kStaleCount;
        EXPECT_EQ(ComputeFileChecksum(path, counter), L"d41d8cd98f00b204e9800998ecf8427e")
            << testing::PrintToString(path);
        EXPECT_EQ(counter, 0u);
    }
    CloseHandle(exclusive);
}

TEST(FileChecksumTest, HasEnoughDiskSpaceAsksAboutTheFolderOfThePath)
{
    const std::wstring temp = TempFolder();
    std::wstring forward = temp;
    std::replace(forward.begin(), forward.end(), L'\\', L'/');
    const std::uint64_t all = std::numeric_limits<std::uint64_t>::max();
    const struct {
        std::wstring path;
        std::uint64_t bytes;
        bool expected;
    } cases[] = {
        {temp + L"korvel-not-yet-there.bin", 0, true},
        {temp + L"korvel-not-yet-there.bin", all, false},
        {forward + L"korvel-not-yet-there.bin", 0, true},
        {forward + L"korvel-not-yet-there.bin", all, false},
        {temp, 0, true},
        {L"C:", 0, true},
        {L"C:", all, false},
        {temp + L"korvel-no-such-folder\\file.bin", 0, false},
        {L"korvel-no-such-folder", 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HasEnoughDiskSpace(c.path, c.bytes), c.expected)
            << testing::PrintToString(c.path) << " " << c.bytes;
    }
}

TEST(FileChecksumTest, HasEnoughDiskSpaceNeedsStrictlyMoreThanTheByteCount)
{
    const std::wstring temp = TempFolder();
    const WsString path = temp + L"file.bin";
    // Other processes change the free space at any time, so only an answer given while it stayed
    // the same counts.
    for (int attempt = 0; attempt < 20; ++attempt) {
        ULARGE_INTEGER before{};
        ULARGE_INTEGER after{};
        ASSERT_TRUE(GetDiskFreeSpaceExW(temp.c_str(), &before, nullptr, nullptr));
        const bool equal = HasEnoughDiskSpace(path, before.QuadPart);
        const bool less = HasEnoughDiskSpace(path, before.QuadPart - 1);
        ASSERT_TRUE(GetDiskFreeSpaceExW(temp.c_str(), &after, nullptr, nullptr));
        if (before.QuadPart == after.QuadPart) {
            EXPECT_FALSE(equal);
            EXPECT_TRUE(less);
            return;
        }
    }
    GTEST_SKIP() << "the free space never stayed the same for two queries";
}

} // namespace
} // namespace korvel
