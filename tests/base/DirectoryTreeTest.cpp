#include "base/DirectoryTree.h"
#include "tests/archive/ScratchFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace korvel {
namespace {

using namespace test;

class DirectoryTreeTest : public ::testing::Test {
protected:
    ScratchFolder scratch_;
    const std::wstring root_ = scratch_ / L"tree";
};

TEST_F(DirectoryTreeTest, RemovesNestedFoldersAndReadOnlyEntriesGivenWithOrWithoutABackslash)
{
    for (const std::wstring& path : {root_, root_ + L"\\"}) {
        // root\top.txt, root\a\b\deep.bin, root\a\b\c\last.txt and the empty root\e.
        for (const wchar_t* folder : {L"", L"\\a", L"\\a\\b", L"\\a\\b\\c", L"\\e"})
            ASSERT_TRUE(CreateDirectoryW((root_ + folder).c_str(), nullptr)) << folder;
        for (const wchar_t* file : {L"\\top.txt", L"\\a\\b\\deep.bin", L"\\a\\b\\c\\last.txt"})
            ASSERT_TRUE(WriteBytes(root_ + file, "korvel")) << file;
        for (const wchar_t* entry : {L"\\top.txt", L"\\a\\b\\c\\last.txt", L"\\a\\b"})
            ASSERT_TRUE(SetFileAttributesW((root_ + entry).c_str(), FILE_ATTRIBUTE_READONLY));
        EXPECT_TRUE(RemoveDirectoryTree(path));
        EXPECT_FALSE(Exists(root_));
        EXPECT_TRUE(Exists(scratch_.Path())) << "the parent stays";
    }
}

// A file held open keeps its folder until a later attempt:
// InstallExports.CancelLeavesTheInstallerRunningAndALaterCheckRemovesItsFolder.
TEST_F(DirectoryTreeTest, AMissingFolderAnEmptyPathOrAPlainFileIsAFailure)
{
    EXPECT_FALSE(RemoveDirectoryTree(root_));
    EXPECT_FALSE(RemoveDirectoryTree(L""));
    EXPECT_TRUE(Exists(scratch_.Path()));
    ASSERT_TRUE(WriteBytes(root_, "not a folder"));
    EXPECT_FALSE(RemoveDirectoryTree(root_));
    EXPECT_TRUE(Exists(root_));
}

} // namespace
} // namespace korvel
