#include "base/WsLog.h"
#include "tests/support/ScopedRegistryValue.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cwctype>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace korvel {
namespace {

using Lines = std::vector<std::wstring>;

const std::wstring Separator(48, L'-');
const std::wstring Stamp = L"[stamp]: ";
// Spelled out rather than taken from the library, so that a wrong key path shows.
const wchar_t* const TestingKey = L"SOFTWARE\\Talvessa\\InternalTesting";

std::wstring TempPath(const std::wstring& name)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return folder + name + std::to_wstring(GetCurrentProcessId());
}

// A line that begins with "[MM/DD/YY HH:MM:SS]: " (plausible month and hour) begins with Stamp
// instead, so that whole files compare with one expectation.
std::wstring WithoutTime(const std::wstring& line)
{
    const std::wstring shape = L"[00/00/00 00:00:00]: ";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = i < line.size() && std::iswdigit(line[i]) != 0;
        if (i >= line.size() || (shape[i] == L'0' ? !digit : line[i] != shape[i])) {
            return line;
        }
    }
    const bool plausible = line.compare(1, 2, L"12") <= 0 && line.compare(10, 2, L"23") <= 0;
    return plausible ? Stamp + line.substr(shape.size()) : line;
}

// Points the registry's log switch at a file that does not exist yet.
class WsLogTest : public ::testing::Test {
protected:
    WsLogTest() { DeleteFileW(path_.c_str()); }
    ~WsLogTest() override { DeleteFileW(path_.c_str()); }

    std::string ReadBytes() const
    {
        std::ifstream file(path_.c_str(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    // The lines after the byte order mark; the file must end with a line feed.
    Lines ReadLines() const
    {
        const std::string bytes = ReadBytes();
        std::wstring text(bytes.size() < 2 ? 0 : (bytes.size() - 2) / 2, L'\0');
        bytes.copy(reinterpret_cast<char*>(text.data()), text.size() * 2, 2);
        Lines lines;
        std::size_t begin = 0;
        for (std::size_t end; (end = text.find(L'\n', begin)) != std::wstring::npos;) {
            lines.push_back(WithoutTime(text.substr(begin, end - begin)));
            begin = end + 1;
        }
        EXPECT_EQ(begin, text.size()) << "text after the last line feed";
        return lines;
    }

    const std::wstring path_ = TempPath(L"korvel-base-test.log.");
    test::ScopedRegistryValue logSwitch_{TestingKey, L"vostrellogging", path_};
};

TEST_F(WsLogTest, NoLogWithoutTheRegistryValue)
{
    test::ScopedRegistryValueAbsent absent(TestingKey, L"vostrellogging");
    AcquireLog();
    EXPECT_FALSE(IsLogging());
    LogLine(L"ignored");
    LogError(L"ignored");
    ReleaseLog();
    EXPECT_EQ(GetFileAttributesW(path_.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WsLogTest, NewFileHoldsHeaderLinesErrorsAndOneSummaryAfterTheLastUser)
{
    AcquireLog();
    EXPECT_TRUE(IsLogging());
    AcquireLog();
    LogLine(L"<WsTest::Run>");
    LogError(L"broken \u00E9");
    ReleaseLog();
    EXPECT_TRUE(IsLogging());
    EXPECT_EQ(ReadLines().size(), 4u) << "a summary before the last user left";
    ReleaseLog();
    EXPECT_FALSE(IsLogging());
    LogLine(L"after the end");

    EXPECT_EQ(ReadBytes().substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(ReadLines(),
              (Lines{L"WsHttp Library", Separator, Stamp + L"<WsTest::Run>",
                     Stamp + L"**ERROR: broken \u00E9", Separator, Stamp + L"***SUMMARY***",
                     Stamp + L"\tbroken \u00E9", Separator}));
}

TEST_F(WsLogTest, ExistingFileKeepsItsContentAndGetsNoSecondByteOrderMark)
{
    const std::string oldContent("\xFF\xFEo\0l\0d\0\n\0", 10);
    std::ofstream(path_.c_str(), std::ios::binary) << oldContent;
    for (const wchar_t* line : {L"first", L"second"}) {
        AcquireLog();
        LogLine(line);
        ReleaseLog();
    }
    EXPECT_EQ(ReadBytes().substr(0, oldContent.size()), oldContent);
    const std::wstring summary = Stamp + L"***SUMMARY***";
    EXPECT_EQ(ReadLines(), (Lines{L"old", L"WsHttp Library", Separator, Stamp + L"first", Separator,
                                  summary, Separator, L"WsHttp Library", Separator,
                                  Stamp + L"second", Separator, summary, Separator}));
}

TEST_F(WsLogTest, UnwritablePathIsHarmless)
{
    const std::wstring unwritable = TempPath(L"korvel-missing-folder.") + L"\\test.log";
    test::ScopedRegistryValue value(TestingKey, L"vostrellogging", unwritable);
    AcquireLog();
    EXPECT_TRUE(IsLogging());
    LogLine(L"lost");
    LogError(L"lost");
    ReleaseLog();
    EXPECT_EQ(GetFileAttributesW(unwritable.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WsLogTest, LinesFromManyThreadsLandWholeWhileUsersComeAndGo)
{
    constexpr int Threads = 4, LinesPerThread = 100;
    AcquireLog();
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < LinesPerThread; ++i) {
                LogLine(std::to_wstring(t) + L" line " + std::to_wstring(i));
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        AcquireLog();
        ReleaseLog();
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    ReleaseLog();

    const Lines lines = ReadLines();
    ASSERT_EQ(lines.size(), 2u + Threads * LinesPerThread + 3u);
    std::vector<int> next(Threads, 0);
    for (std::size_t i = 2; i < 2 + Threads * LinesPerThread; ++i) {
        const int t = lines[i].size() > Stamp.size() ? lines[i][Stamp.size()] - L'0' : -1;
        ASSERT_TRUE(t >= 0 && t < Threads) << lines[i];
        EXPECT_EQ(lines[i], Stamp + std::to_wstring(t) + L" line " + std::to_wstring(next[t]++));
    }
}

} // namespace
} // namespace korvel
