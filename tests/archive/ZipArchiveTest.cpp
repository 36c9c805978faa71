// The extractor: exact bytes in place, in a tree of folders made as needed. What it refuses is
// tested through the exports with hostile packages (tests/api/HostilePackagesTest.cpp).
#include "archive/ZipArchive.h"
#include "tests/archive/ScratchFolder.h"
#include "tests/support/ZipWriter.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace korvel {
namespace {

using namespace test;

constexpr uLong kUtf8NameFlag = 0x0800;

class ZipArchiveTest : public ::testing::Test {
protected:
    ScratchFolder scratch_;
    const std::wstring archivePath_ = scratch_ / L"paquet.zip";
};

TEST_F(ZipArchiveTest, ExtractsNestedEntriesWithExactBytesAndReplacesWhatIsThere)
{
    const std::vector<ZipEntry> entries = {
        {"top.txt", "at the root\r\n"},
        {"a/b/c/deep.bin", NoiseBytes(200000, 1)},
        {"a/stored.bin", NoiseBytes(70000, 2), 0},
        {"a/text.txt", TextBytes(300000), 9},
        {"a/empty.txt", ""},
        {"d/e/", ""},
        {"w\\backslash\\style.txt", "written by a Windows tool"},
        {"./dot/./x.txt", "dot components are dropped"},
        {"caf\xC3\xA9/na\xC3\xAFve.txt", "UTF-8 name", 6, kUtf8NameFlag},
    };
    ASSERT_TRUE(WriteZip(archivePath_, entries));
    const std::pair<const wchar_t*, std::string> files[] = {
        {L"top.txt", entries[0].data},
        {L"a\\b\\c\\deep.bin", entries[1].data},
        {L"a\\stored.bin", entries[2].data},
        {L"a\\text.txt", entries[3].data},
        {L"a\\empty.txt", ""},
        {L"w\\backslash\\style.txt", entries[6].data},
        {L"dot\\x.txt", entries[7].data},
        {L"caf\u00e9\\na\u00efve.txt", entries[8].data},
    };
    const std::wstring folder = scratch_ / L"out \u00e9\\nested";
    std::set<std::wstring> expected = {L"paquet.zip", L"out \u00e9\\", L"out \u00e9\\nested\\"};
    for (const wchar_t* below : {L"a\\", L"a\\b\\", L"a\\b\\c\\", L"d\\", L"d\\e\\", L"w\\",
                                 L"w\\backslash\\", L"dot\\", L"caf\u00e9\\"})
        expected.insert(L"out \u00e9\\nested\\" + std::wstring(below));
    for (const auto& file : files)
        expected.insert(L"out \u00e9\\nested\\" + std::wstring(file.first));

    // The second round names the folder it made with a closing separator and must replace a
    // longer file that is in the way.
    for (const std::wstring& target : {folder, folder + L"\\"}) {
        ZipArchive archive;
        ASSERT_TRUE(archive.Open(archivePath_));
        ASSERT_TRUE(archive.ExtractAll(target));
        EXPECT_EQ(scratch_.List(), expected);
        for (const auto& [relative, data] : files)
            EXPECT_TRUE(ReadBytes(folder + L"\\" + relative) == data)
                << testing::PrintToString(relative);
        ASSERT_TRUE(WriteBytes(folder + L"\\top.txt", "older and longer than the entry"));
    }
}

} // namespace
} // namespace korvel
