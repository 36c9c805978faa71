#include "archive/ZipArchive.h"
#include "tests/archive/ScratchFolder.h"
#include "tests/support/ZipWriter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace korvel {
namespace {

using test::Exists;
using test::NoiseBytes;
using test::ReadBytes;
using test::ScratchFolder;
using test::TextBytes;
using test::WriteBytes;
using test::WriteZip;
using test::ZipEntry;
using test::ZipWriter;

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

TEST_F(ZipArchiveTest, ExtractsNestedEntriesWithExactBytesIntoANewFolder)
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
    const std::wstring folder = scratch_ / L"out \u00e9\\nested";

    ZipArchive archive;
    ASSERT_TRUE(archive.Open(archivePath_));
    ASSERT_TRUE(archive.ExtractAll(folder));

    const std::set<std::wstring> expected = {
        L"paquet.zip",
        L"out \u00e9\\",
        L"out \u00e9\\nested\\",
        L"out \u00e9\\nested\\top.txt",
        L"out \u00e9\\nested\\a\\",
        L"out \u00e9\\nested\\a\\b\\",
        L"out \u00e9\\nested\\a\\b\\c\\",
        L"out \u00e9\\nested\\a\\b\\c\\deep.bin",
        L"out \u00e9\\nested\\a\\stored.bin",
        L"out \u00e9\\nested\\a\\text.txt",
        L"out \u00e9\\nested\\a\\empty.txt",
        L"out \u00e9\\nested\\d\\",
        L"out \u00e9\\nested\\d\\e\\",
        L"out \u00e9\\nested\\w\\",
        L"out \u00e9\\nested\\w\\backslash\\",
        L"out \u00e9\\nested\\w\\backslash\\style.txt",
        L"out \u00e9\\nested\\dot\\",
        L"out \u00e9\\nested\\dot\\x.txt",
        L"out \u00e9\\nested\\caf\u00e9\\",
        L"out \u00e9\\nested\\caf\u00e9\\na\u00efve.txt",
    };
    EXPECT_EQ(scratch_.List(), expected);
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
    for (const auto& [relative, data] : files)
        EXPECT_TRUE(ReadBytes(folder + L"\\" + relative) == data)
            << testing::PrintToString(relative);
}

TEST_F(ZipArchiveTest, ExtractsIntoAFolderGivenWithATrailingSeparatorAndReplacesFiles)
{
    ASSERT_TRUE(WriteZip(archivePath_, {{"x.txt", "new"}}));
    ASSERT_TRUE(WriteBytes(scratch_ / L"x.txt", "older and longer"));

    ZipArchive archive;
    ASSERT_TRUE(archive.Open(archivePath_));
    ASSERT_TRUE(archive.ExtractAll(scratch_.Path() + L"\\"));
    EXPECT_EQ(ReadBytes(scratch_ / L"x.txt"), "new");
}

TEST_F(ZipArchiveTest, AnArchiveOfFolderEntriesCreatesOnlyFolders)
{
    ASSERT_TRUE(WriteZip(archivePath_, {{"only/", ""}, {"also/inner/", ""}}));

    ZipArchive archive;
    ASSERT_TRUE(archive.Open(archivePath_));
    ASSERT_TRUE(archive.ExtractAll(scratch_ / L"out"));
    EXPECT_EQ(scratch_.List(), (std::set<std::wstring>{L"paquet.zip", L"out\\", L"out\\only\\",
                                                       L"out\\also\\", L"out\\also\\inner\\"}));
}

TEST_F(ZipArchiveTest, RefusesEveryNameThatCouldLeaveTheFolderAndWritesNothing)
{
    struct Case {
        std::string name;
        // Where a careless extraction would write, for names that leave the scratch folder.
        std::wstring escape;
    };
    const std::wstring probe = L"korvel-zip-escape.txt";
    const Case cases[] = {
        {"../escape.txt", L""},
        {"..\\escape.txt", L""},
        {"../../escape.txt", L""},
        {"a/../../escape.txt", L""},
        {"a\\..\\..\\escape.txt", L""},
        {"a/b/../../../escape.txt", L""},
        {"../", L""},
        {"a/..", L""},
        {".../escape.txt", L""},
        {".. /escape.txt", L""},
        {"C:\\korvel-zip-escape.txt", L"C:\\" + probe},
        {"C:/korvel-zip-escape.txt", L"C:\\" + probe},
        {"C:korvel-zip-escape.txt", L"C:" + probe},
        {"/korvel-zip-escape.txt", L"\\" + probe},
        {"\\korvel-zip-escape.txt", L"\\" + probe},
        {"//server/share/escape.txt", L""},
        {"escape.txt:stream", L""},
        {"a/NUL", L""},
        {"com1.txt", L""},
        {"tab\there.txt", L""},
    };
    for (const Case& c : cases) {
        const std::string label = testing::PrintToString(c.name);
        ASSERT_TRUE(WriteZip(archivePath_, {{"good.txt", "harmless"}, {c.name, "escaped"}}))
            << label;
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

TEST_F(ZipArchiveTest, RefusesEncryptedEntriesBeforeWritingAnything)
{
    ASSERT_TRUE(WriteZip(archivePath_,
                         {{"good.txt", "harmless"}, {"secret.txt", "hidden", 6, 0, "password"}}));

    ZipArchive archive;
    ASSERT_TRUE(archive.Open(archivePath_));
    EXPECT_FALSE(archive.ExtractAll(scratch_ / L"out"));
    EXPECT_EQ(scratch_.List(), std::set<std::wstring>{L"paquet.zip"});
}

TEST_F(ZipArchiveTest, OpenRejectsFilesThatAreNoZipArchive)
{
    ASSERT_TRUE(WriteZip(archivePath_, {{"x.txt", TextBytes(5000)}}));
    const std::string valid = ReadBytes(archivePath_);
    const std::pair<const char*, std::string> cases[] = {
        {"empty file", ""},
        {"text", "this is not an archive"},
        {"gzip header", "\x1F\x8B\x08\x00\x00\x00\x00\x00"},
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
    ZipArchive archive;
    EXPECT_FALSE(archive.Open(scratch_ / L"missing.zip"));
}

TEST_F(ZipArchiveTest, OpenReplacesAnArchiveOpenedBefore)
{
    const std::wstring other = scratch_ / L"other.zip";
    ASSERT_TRUE(WriteZip(archivePath_, {{"first.txt", "1"}}));
    ASSERT_TRUE(WriteZip(other, {{"second.txt", "2"}}));

    ZipArchive archive;
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
    const std::string stored = NoiseBytes(30000, 3);
    const std::string text = TextBytes(30000);
    struct Case {
        const char* label;
        ZipEntry entry;
        void (*damage)(std::string& archive, const ZipEntry& entry);
    };
    const Case cases[] = {
        {"stored byte flipped",
         {"victim.bin", stored, 0},
         [](std::string& archive, const ZipEntry& entry) {
             archive[FirstEntryDataOffset(archive) + entry.data.size() / 2] ^= 0x20;
         }},
        {"deflated byte flipped",
         {"victim.bin", text, 9},
         [](std::string& archive, const ZipEntry&) {
             archive[FirstEntryDataOffset(archive) + 40] ^= 0x20;
         }},
        {"stored entry shorter than recorded",
         {"victim.bin", stored, 0},
         [](std::string& archive, const ZipEntry& entry) {
             RecordUncompressedSize(archive, static_cast<std::uint32_t>(entry.data.size() + 100));
         }},
        {"deflated entry shorter than recorded",
         {"victim.bin", text, 9},
         [](std::string& archive, const ZipEntry& entry) {
             RecordUncompressedSize(archive, static_cast<std::uint32_t>(entry.data.size() + 100));
         }},
        {"deflated entry longer than recorded",
         {"victim.bin", text, 9},
         [](std::string& archive, const ZipEntry& entry) {
             RecordUncompressedSize(archive, static_cast<std::uint32_t>(entry.data.size() - 100));
         }},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteZip(archivePath_, {c.entry})) << c.label;
        std::string bytes = ReadBytes(archivePath_);
        c.damage(bytes, c.entry);
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
