// The extractor: exact bytes in place, names that could leave the folder refused before anything
// is written, and damaged archives and entries detected.
#include "archive/ZipArchive.h"
#include "tests/archive/ScratchFolder.h"
#include "tests/support/ZipWriter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace korvel {
namespace {

using namespace test;

constexpr uLong kUtf8NameFlag = 0x0800;

std::uint32_t ReadLittleEndian(const std::string& bytes, std::size_t offset, int size)
{
    std::uint32_t value = 0;
    for (int index = size - 1; index >= 0; --index)
        value = value << 8 | static_cast<unsigned char>(bytes[offset + index]);
    return value;
}

void WriteLittleEndian32(std::string& bytes, std::size_t offset, std::uint32_t value)
{
    for (int index = 0; index < 4; ++index)
        bytes[offset + index] = static_cast<char>(value >> (8 * index));
}

// Where the data of the archive's first entry begins: after its local header and name.
std::size_t FirstEntryDataOffset(const std::string& archive)
{
    return 30 + ReadLittleEndian(archive, 26, 2) + ReadLittleEndian(archive, 28, 2);
}

// Records another uncompressed size for the archive's first entry in both of its headers, as a
// damaged archive would.
void RecordUncompressedSize(std::string& archive, std::uint32_t size)
{
    WriteLittleEndian32(archive, 22, size);
    const std::size_t central = archive.find(std::string("PK\x01\x02", 4));
    ASSERT_NE(central, std::string::npos);
    WriteLittleEndian32(archive, central + 24, size);
}

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

// Every such entry comes after a harmless one: nothing may be written, not even that one.
TEST_F(ZipArchiveTest, RefusesNamesThatCouldLeaveTheFolderAndEncryptedEntriesWritingNothing)
{
    const std::wstring probe = L"korvel-zip-escape.txt";
    const struct {
        ZipEntry entry;
        // Where a careless extraction would write, for names that leave the scratch folder.
        std::wstring escape;
    } cases[] = {
        {{"../escape.txt", "x"}, L""},
        {{"..\\escape.txt", "x"}, L""},
        {{"../../escape.txt", "x"}, L""},
        {{"a/../../escape.txt", "x"}, L""},
        {{"a\\..\\..\\escape.txt", "x"}, L""},
        {{"a/b/../../../escape.txt", "x"}, L""},
        {{"../", ""}, L""},
        {{"a/..", "x"}, L""},
        {{".../escape.txt", "x"}, L""},
        {{".. /escape.txt", "x"}, L""},
        {{"C:\\korvel-zip-escape.txt", "x"}, L"C:\\" + probe},
        {{"C:/korvel-zip-escape.txt", "x"}, L"C:\\" + probe},
        {{"C:korvel-zip-escape.txt", "x"}, L"C:" + probe},
        {{"/korvel-zip-escape.txt", "x"}, L"\\" + probe},
        {{"\\korvel-zip-escape.txt", "x"}, L"\\" + probe},
        {{"//server/share/escape.txt", "x"}, L""},
        {{"escape.txt:stream", "x"}, L""},
        {{"a/NUL", "x"}, L""},
        {{"com1.txt", "x"}, L""},
        {{"tab\there.txt", "x"}, L""},
        {{"secret.txt", "hidden", 6, 0, "password"}, L""},
    };
    for (const auto& c : cases) {
        const std::string label = testing::PrintToString(c.entry.name);
        ASSERT_TRUE(WriteZip(archivePath_, {{"good.txt", "harmless"}, c.entry})) << label;
        ASSERT_TRUE(CreateDirectoryW((scratch_ / L"sub").c_str(), nullptr)) << label;

        ZipArchive archive;
        ASSERT_TRUE(archive.Open(archivePath_)) << label;
        EXPECT_FALSE(archive.ExtractAll(scratch_ / L"sub\\out")) << label;

        EXPECT_EQ(scratch_.List(), (std::set<std::wstring>{L"paquet.zip", L"sub\\"})) << label;
        if (!c.escape.empty()) {
            wchar_t full[MAX_PATH] = {};
            ASSERT_NE(GetFullPathNameW(c.escape.c_str(), MAX_PATH, full, nullptr), 0u) << label;
            EXPECT_FALSE(Exists(full)) << label;
            DeleteFileW(full);
        }
        RemoveDirectoryTree(scratch_ / L"sub");
    }
}

TEST_F(ZipArchiveTest, OpenRejectsFilesThatAreNoZipArchiveAndReplacesAnOpenedOne)
{
    ASSERT_TRUE(WriteZip(archivePath_, {{"x.txt", TextBytes(5000)}}));
    const std::string valid = ReadBytes(archivePath_);
    const std::pair<const char*, std::string> cases[] = {
        {"empty file", ""},
        {"text", "this is not an archive"},
        {"central directory cut off", valid.substr(0, valid.size() / 2)},
    };
    for (const auto& [label, content] : cases) {
        ASSERT_TRUE(WriteBytes(archivePath_, content)) << label;
        ZipArchive archive;
        EXPECT_FALSE(archive.Open(archivePath_)) << label;
        EXPECT_FALSE(archive.IsOpen()) << label;
        EXPECT_FALSE(archive.ExtractAll(scratch_ / L"out")) << label;
        EXPECT_EQ(scratch_.List(), std::set<std::wstring>{L"paquet.zip"}) << label;
    }

    const std::wstring other = scratch_ / L"other.zip";
    ASSERT_TRUE(WriteZip(archivePath_, {{"first.txt", "1"}}));
    ASSERT_TRUE(WriteZip(other, {{"second.txt", "2"}}));
    ZipArchive archive;
    EXPECT_FALSE(archive.Open(scratch_ / L"missing.zip"));
    ASSERT_TRUE(archive.Open(archivePath_));
    ASSERT_TRUE(archive.Open(other));
    ASSERT_TRUE(archive.ExtractAll(scratch_ / L"out"));
    EXPECT_EQ(scratch_.List(),
              (std::set<std::wstring>{L"paquet.zip", L"other.zip", L"out\\", L"out\\second.txt"}));
    archive.Close();
    EXPECT_FALSE(archive.IsOpen());
    EXPECT_FALSE(archive.ExtractAll(scratch_ / L"out"));
}

TEST_F(ZipArchiveTest, ADamagedEntryFailsTheExtractionAndLeavesNoFileOfIt)
{
    const ZipEntry stored{"victim.bin", NoiseBytes(30000, 3), 0};
    const ZipEntry deflated{"victim.bin", TextBytes(30000), 9};
    const auto flipAt = [](std::size_t offset) {
        return [offset](std::string& archive) {
            archive[FirstEntryDataOffset(archive) + offset] ^= 0x20;
        };
    };
    const auto recordSize = [](std::uint32_t size) {
        return [size](std::string& archive) { RecordUncompressedSize(archive, size); };
    };
    const struct {
        const char* label;
        const ZipEntry& entry;
        std::function<void(std::string&)> damage;
    } cases[] = {
        {"stored byte flipped", stored, flipAt(15000)},
        {"deflated byte flipped", deflated, flipAt(40)},
        {"stored entry shorter than recorded", stored, recordSize(30100)},
        {"deflated entry shorter than recorded", deflated, recordSize(30100)},
        {"deflated entry longer than recorded", deflated, recordSize(29900)},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteZip(archivePath_, {c.entry})) << c.label;
        std::string bytes = ReadBytes(archivePath_);
        c.damage(bytes);
        ASSERT_TRUE(WriteBytes(archivePath_, bytes)) << c.label;

        ZipArchive archive;
        ASSERT_TRUE(archive.Open(archivePath_)) << c.label;
        EXPECT_FALSE(archive.ExtractAll(scratch_ / L"out")) << c.label;
        EXPECT_FALSE(Exists(scratch_ / L"out\\victim.bin")) << c.label;
        RemoveDirectoryTree(scratch_ / L"out");
    }
}

} // namespace
} // namespace korvel
