#include "http/FileChecksum.h"
#include "base/TempPath.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

namespace korvel {
namespace {

const WsString kEmptyInputDigest = L"d41d8cd98f00b204e9800998ecf8427e";
constexpr std::uint64_t kStaleCount = 987654321;

// A file of given bytes under a non-ASCII name in the temporary folder, deleted afterwards.
class ScopedFile {
public:
    explicit ScopedFile(const std::string& bytes)
        : path_(TempFolder() + L"korvel-md5-\u00e9\u4e2d-" +
                std::to_wstring(GetCurrentProcessId()) + L".bin")
    {
        HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        EXPECT_EQ(written, bytes.size());
        CloseHandle(file);
    }
    ~ScopedFile() { DeleteFileW(path_.c_str()); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;

    const WsString& Path() const { return path_; }

private:
    WsString path_;
};

TEST(FileChecksumTest, MatchesTheReferenceDigestsInLowerCase)
{
    const std::pair<std::string, const wchar_t*> cases[] = {
        {"", L"d41d8cd98f00b204e9800998ecf8427e"},
        {"a", L"0cc175b9c0f1b6a831c399e269772661"},
        {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         L"d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         L"57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [content, digest] : cases) {
        ScopedFile file(content);
        std::uint64_t counter = kStaleCount;
        EXPECT_EQ(ComputeFileChecksum(file.Path(), counter), digest) << content;
        EXPECT_EQ(counter, content.size()) << content;
    }
}

TEST(FileChecksumTest, HashesAFileOfSeveralBlocksAndCountsEveryByte)
{
    struct Case {
        std::size_t size;
        const wchar_t* digest;
    };
    const Case cases[] = {
        {16384, L"403ee5c6a11b3d1368172327cb627a97"},
        {40000, L"4f8de90dc093f5d1390b899e4005d8f0"},
    };
    for (const Case& c : cases) {
        std::string content(c.size, '\0');
        for (std::size_t index = 0; index < content.size(); ++index)
            content[index] = static_cast<char>(index * 31 + 7);
        ScopedFile file(content);
        std::uint64_t counter = kStaleCount;

        const WsString digest = ComputeFileChecksum(file.Path(), counter);
        EXPECT_EQ(digest, c.digest) << c.size;
        EXPECT_EQ(counter, c.size);
        EXPECT_TRUE(std::none_of(digest.begin(), digest.end(), iswupper)) << c.size;
    }
}

TEST(FileChecksumTest, AFileThatCannotBeOpenedGivesTheDigestOfEmptyInput)
{
    ScopedFile locked("locked content");
    HANDLE exclusive = CreateFileW(locked.Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    const WsString cases[] = {
        TempFolder() + L"korvel-no-such-file.bin",
        TempFolder() + L"korvel-no-such-folder\\file.bin",
        TempFolder(),
        locked.Path(),
    };
    for (const WsString& path : cases) {
        std::uint64_t counter = kStaleCount;
        EXPECT_EQ(ComputeFileChecksum(path, counter), kEmptyInputDigest)
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
    struct Case {
        std::wstring path;
        std::uint64_t bytes;
        bool expected;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
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
