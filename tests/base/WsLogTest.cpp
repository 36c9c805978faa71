// The log file the registry switches on: its exact lines, its byte order mark, and its users.
#include "base/WsLog.h"
#include "tests/archive/ScratchFolder.h"
#include "tests/support/ScopedRegistryValue.h"

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace korvel {
namespace {

using Lines = std::vector<std::wstring>;
using test::ReadBytes;

const std::wstring Separator(48, L'-');
const std::wstring Stamp = L"[stamp]: ";
// Spelled out rather than taken from the library, so that a wrong key path shows.
const wchar_t* const TestingKey = L"SOFTWARE\\Talvessa\\InternalTesting";

// A line that begins with "[MM/DD/YY HH:MM:SS]: " (plausible month and hour) begins with Stamp
// instead, so that whole files compare with one expectation.
std::wstring WithoutTime(const std::wstring& line)
{
    static const std::wregex time(
        L"^\\[(0\\d|1[0-2])/\\d\\d/\\d\\d ([01]\\d|2[0-3]):\\d\\d:\\d\\d\\]: ");
    return std::regex_replace(line, time, Stamp, std::regex_constants::format_first_only);
}

// Points the registry's log switch at a file that does not exist yet.
class WsLogTest : public ::testing::Test {
protected:
    // The lines after the byte order mark; the file must end with a line feed.
    Lines ReadLines() const
    {
        std::wstring text = test::Utf16Text(ReadBytes(path_));
        text.erase(0, 1);
        Lines lines;
        std::size_t begin = 0;
        for (std::size_t end; (end = text.find(L'\n', begin)) != std::wstring::npos;) {
            lines.push_back(WithoutTime(text.substr(begin, end - begin)));
            begin = end + 1;
        }
        EXPECT_EQ(begin, text.size()) << "text after the last line feed";
        return lines;
    }

    test::ScratchFolder scratch_;
    const std::wstring path_ = scratch_ / L"korvel.log";
    test::ScopedRegistryValue logSwitch_{TestingKey, L"vostrellogging", path_};
};

TEST_F(WsLogTest, NoFileWithoutTheRegistryValueOrWithAnUnwritablePath)
{
    for (const bool switchedOn : {false, true}) {
        const test::ScopedRegistryValue value(
            TestingKey, L"vostrellogging",
            switchedOn ? std::optional(scratch_ / L"missing\\korvel.log") : std::nullopt);
        AcquireLog();
        EXPECT_EQ(IsLogging(), switchedOn);
        LogLine(L"lost");
        LogError(L"lost");
        ReleaseLog();
        EXPECT_TRUE(scratch_.List().empty());
    }
}

// A second session appends to the file without a second byte order mark.
TEST_F(WsLogTest, HeaderLinesErrorsAndOneSummaryAfterTheLastUserOfEachSession)
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
    AcquireLog();
    LogLine(L"second");
    ReleaseLog();

    EXPECT_EQ(ReadBytes(path_).substr(0, 2), "\xFF\xFE");
    const std::wstring summary = Stamp + L"***SUMMARY***";
    EXPECT_EQ(ReadLines(), (Lines{L"WsHttp Library", Separator, Stamp + L"<WsTest::Run>",
                                  Stamp + L"**ERROR: broken \u00E9", Separator, summary,
                                  Stamp + L"\tbroken \u00E9", Separator, L"WsHttp Library",
                                  Separator, Stamp + L"second", Separator, summary, Separator}));
}

TEST_F(WsLogTest, LinesFromManyThreadsLandWholeWhileUsersComeAndGo)
{
    constexpr int Threads = 4, LinesPerThread = 100;
    AcquireLog();
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < LinesPerThread; ++i)
                LogLine(std::to_wstring(t) + L" line " + std::to_wstring(i));
        });
    }
    for (int i = 0; i < 50; ++i) {
        AcquireLog();
        ReleaseLog();
    }
    for (std::thread& writer : writers)
        writer.join();
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
