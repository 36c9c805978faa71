// Both download versions as a host drives them through the exports, against
// the scripted local server.
#include "tests/support/ScriptedServer.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using korvel::host::KorvelLibrary;
using korvel::test::ScriptedServer;

namespace {

const ScriptedServer& Server()
{
    return ScriptedServer::Get();
}

uint32_t Open(const KorvelLibrary& korvel)
{
    uint32_t id = 0;
    EXPECT_EQ(korvel->WsUdOpen(L"host", L"1.0", L"", L"", L"en-US", &id), 0u);
    return id;
}

std::wstring Tagged(const std::string& tag, const std::wstring& script)
{
    return L"tag=" + std::wstring(tag.begin(), tag.end()) + L";" + script;
}

// Packages that first-version downloads leave in the temporary folder.
int PackageFiles()
{
    int count = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.rfind(L"korvel-", 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, L".pkg") == 0)
            ++count;
    }
    return count;
}

struct FirstVersionOutcome {
    int completions = 0;
    uint32_t failure = 0;
    double progress = -1.0;
    uint8_t sizeKnown = 2;
};

// Polls a running first-version download to its end, bounded in time.
FirstVersionOutcome PollToEnd(const KorvelLibrary& korvel, uint32_t id)
{
    FirstVersionOutcome outcome;
    for (int i = 0; i < 1000; ++i) {
        const uint32_t status =
            korvel->WsUdDownloadCheck(id, 10, &outcome.progress, &outcome.sizeKnown);
        if (status == kStatusPending)
            continue;
        if (status == kStatusSuccess)
            ++outcome.completions;
        else
            outcome.failure = status;
        break;
    }
    return outcome;
}

bool IsRunningState(uint32_t state)
{
    return state == kStatusTransferStarted || state == kStatusTransferResuming ||
           state == kStatusTransferReceiving || state == kStatusTransferVerifying;
}

uint32_t PollSecondVersion(const KorvelLibrary& korvel, uint32_t id, uint64_t& received,
                           uint64_t& total)
{
    uint32_t state = kStatusTransferStarted;
    for (int i = 0; i < 1000; ++i) {
        state = korvel->WsUdDownloadCheck2(id, 0, &received, &total);
        if (!IsRunningState(state))
            break;
        Sleep(10);
    }
    return state;
}

std::wstring TargetPath(const char* name)
{
    const auto path = std::filesystem::temp_directory_path() / (std::string("korvel-test-") + name);
    std::filesystem::remove(path);
    return path.wstring();
}

} // namespace

TEST(DownloadExports, FirstVersionPollsToOneCompletion)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    const int packagesBefore = PackageFiles();
    double progress = -1.0;
    uint8_t sizeKnown = 2;
    EXPECT_EQ(korvel->WsUdDownloadSubmit(id, Server().Url(L"delay=300;size=200000").c_str(), 0,
                                         &progress, &sizeKnown),
              kStatusPending);
    const FirstVersionOutcome outcome = PollToEnd(korvel, id);
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_EQ(outcome.progress, 1.0);
    EXPECT_EQ(outcome.sizeKnown, 1);
    EXPECT_EQ(korvel->WsUdDownloadCheck(id, 0, &progress, &sizeKnown), kStatusNotRunning);
    EXPECT_EQ(PackageFiles(), packagesBefore + 1) << "the package waits for the install";
    EXPECT_EQ(korvel->WsUdClose(id), 0u);
    EXPECT_EQ(PackageFiles(), packagesBefore) << "closing the session removes the package";
}

TEST(DownloadExports, FirstVersionWithALongWaitEndsInsideSubmit)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    double progress = -1.0;
    uint8_t sizeKnown = 2;
    EXPECT_EQ(korvel->WsUdDownloadSubmit(id, Server().Url(L"size=5000").c_str(), 10000, &progress,
                                         &sizeKnown),
              kStatusNotRunning);
    EXPECT_EQ(progress, 1.0);
    EXPECT_EQ(sizeKnown, 1);
    EXPECT_EQ(korvel->WsUdDownloadSubmit(id, Server().Url(L"delay=3000;size=5").c_str(), 300,
                                         &progress, &sizeKnown),
              kStatusTimeout);
    EXPECT_EQ(korvel->WsUdDownloadSubmit(id, Server().Url(L"status=404").c_str(), 10000, &progress,
                                         &sizeKnown),
              kStatusNotFound);
}

TEST(DownloadExports, FirstVersionProgressWithoutALength)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    double progress = -1.0;
    uint8_t sizeKnown = 2;
    korvel->WsUdDownloadSubmit(
        id, Server().Url(L"nolength=1;size=50000;stallafter=10000;stallms=400").c_str(), 0,
        &progress, &sizeKnown);
    EXPECT_EQ(sizeKnown, 0);
    EXPECT_EQ(progress, 0.0);
    const FirstVersionOutcome outcome = PollToEnd(korvel, id);
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_EQ(outcome.sizeKnown, 0);
    EXPECT_EQ(outcome.progress, 0.0);
}

TEST(DownloadExports, CheckBeforeAnySubmitLeavesOutputsAlone)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    double progress = 0.25;
    uint8_t sizeKnown = 7;
    EXPECT_EQ(korvel->WsUdDownloadCheck(id, 0, &progress, &sizeKnown), 0u);
    EXPECT_EQ(progress, 0.25);
    EXPECT_EQ(sizeKnown, 7);
    uint64_t received = 11;
    uint64_t total = 12;
    EXPECT_EQ(korvel->WsUdDownloadCheck2(id, 0, &received, &total), 0u);
    EXPECT_EQ(received, 11u);
    EXPECT_EQ(total, 12u);
    EXPECT_EQ(korvel->WsUdDownloadCancel(id), 0u);
    EXPECT_EQ(korvel->WsUdDownloadCancel2(id), 0u);
}

TEST(DownloadExports, SecondSubmitCancelsTheFirstAndFetchesTheNewUrl)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    const std::string first = ScriptedServer::UniqueTag("first");
    const std::string second = ScriptedServer::UniqueTag("second");
    double progress = 0;
    uint8_t sizeKnown = 0;
    EXPECT_EQ(korvel->WsUdDownloadSubmit(
                  id,
                  Server().Url(Tagged(first, L"size=2000000;stallafter=50000;stallms=600")).c_str(),
                  0, &progress, &sizeKnown),
              kStatusPending);
    // The new transfer may already be over when the submit takes its look.
    const uint32_t submitted = korvel->WsUdDownloadSubmit(
        id, Server().Url(Tagged(second, L"size=3000")).c_str(), 0, &progress, &sizeKnown);
    ASSERT_TRUE(submitted == kStatusPending || submitted == kStatusSuccess)
        << std::hex << submitted;
    const FirstVersionOutcome outcome = PollToEnd(korvel, id);
    EXPECT_EQ(outcome.completions + (submitted == kStatusSuccess ? 1 : 0), 1);
    EXPECT_EQ(outcome.failure, submitted == kStatusSuccess ? kStatusNotRunning : 0u);
    EXPECT_EQ(Server().RecordCount(first), 1);
    EXPECT_EQ(Server().RecordCount(second), 1);
}

// A large partial file is continued (or, by a server that ignores ranges,
// rewritten) with one request that asks for the rest: no body is fetched twice.
TEST(DownloadExports, SecondVersionResumesWithOneRequest)
{
    constexpr uint64_t kPartial = 4u << 20;
    constexpr uint64_t kSize = 8u << 20;
    const struct {
        const wchar_t* script;
        uint64_t firstReported; // bytesReceived once the answer is in
    } cases[] = {
        {L"", kPartial},
        {L"range=ignore;", 0},
    };
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    const std::wstring target = TargetPath("download2.bin");
    for (const auto& c : cases) {
        {
            std::ofstream(std::filesystem::path(target), std::ios::binary)
                << ScriptedServer::PatternBytes(0, kPartial);
        }
        const std::string tag = ScriptedServer::UniqueTag("v2");
        const std::wstring url =
            Server().Url(Tagged(tag, c.script + std::wstring(L"size=") + std::to_wstring(kSize)));
        EXPECT_EQ(korvel->WsUdDownloadSubmit2(id, url.c_str(), target.c_str()), kStatusPending);
        uint64_t received = 0;
        uint64_t total = 0;
        EXPECT_EQ(PollSecondVersion(korvel, id, received, total), kStatusTransferComplete);
        EXPECT_EQ(received, kSize);
        EXPECT_EQ(total, kSize);
        EXPECT_TRUE(ScriptedServer::FileHoldsPattern(target, kSize))
            << ScriptedServer::DescribePatternMismatch(target, kSize);
        EXPECT_EQ(Server().RecordCount(tag), 1) << "one request resumes the file";
        EXPECT_NE(Server().RecordedHead(tag, 1).value_or("").find("Range: bytes=4194304-\r\n"),
                  std::string::npos);
    }
    EXPECT_EQ(korvel->WsUdDownloadSubmit2(id, Server().Url(L"status=503").c_str(), target.c_str()),
              kStatusPending);
    uint64_t received = 0;
    uint64_t total = 0;
    EXPECT_EQ(PollSecondVersion(korvel, id, received, total), kStatusServerUnreachable)
        << "a failure shows as the state";
    EXPECT_TRUE(ScriptedServer::FileHoldsPattern(target, kSize)) << "and costs the file nothing";
    std::filesystem::remove(target);
}

// An answer that breaks off anywhere inside its status line and headers (with
// a FIN or a reset) brings no body: the transfer fails, and a partial file
// keeps every byte, whatever the headers that did arrive say.
TEST(DownloadExports, AnswerCutInsideItsHeadersCostsNoByte)
{
    constexpr uint64_t kPartial = 20000;
    // Longer than any header block of these answers.
    constexpr int kLongestHead = 260;
    const struct Case {
        const char* name;
        uint64_t partial;
        const wchar_t* script;
    } cases[] = {
        {"fresh", 0, L""},
        {"partial", kPartial, L""},
        {"partial, reset", kPartial, L"reset=1;"},
        {"partial, range ignored", kPartial, L"range=ignore;"},
    };
    KorvelLibrary korvel;
    // The cases run side by side, each in a session and a file of its own.
    auto run = [&korvel](const Case& c, std::vector<std::string>& failures) {
        const uint32_t id = Open(korvel);
        const std::wstring target = TargetPath((std::string("cut-head-") + c.name).c_str());
        for (int cut = 0; cut <= kLongestHead; ++cut) {
            const std::string where = std::string(c.name) + ", cut at " + std::to_string(cut);
            std::filesystem::remove(target);
            if (c.partial != 0) {
                std::ofstream(std::filesystem::path(target), std::ios::binary)
                    << ScriptedServer::PatternBytes(0, c.partial);
            }
            const std::wstring url = Server().Url(std::wstring(c.script) + L"size=60000;cuthead=" +
                                                  std::to_wstring(cut));
            korvel->WsUdDownloadSubmit2(id, url.c_str(), target.c_str());
            uint64_t received = 0;
            uint64_t total = 0;
            uint32_t state = kStatusTransferStarted;
            for (int i = 0; i < 2000 && IsRunningState(state); ++i) {
                Sleep(1);
                state = korvel->WsUdDownloadCheck2(id, 0, &received, &total);
            }
            if (static_cast<int32_t>(state) >= 0)
                failures.push_back(where + ": ended in state " + std::to_string(state));
            std::error_code missing;
            const uint64_t size = std::filesystem::file_size(target, missing);
            if ((missing ? 0 : size) != c.partial ||
                (c.partial != 0 && !ScriptedServer::FileHoldsPattern(target, c.partial)))
                failures.push_back(where + ": " +
                                   ScriptedServer::DescribePatternMismatch(target, c.partial));
        }
        korvel->WsUdClose(id);
        std::filesystem::remove(target);
    };
    std::vector<std::string> failures[std::size(cases)];
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(cases); ++i)
        threads.emplace_back(run, std::cref(cases[i]), std::ref(failures[i]));
    for (std::thread& thread : threads)
        thread.join();
    for (const auto& caseFailures : failures)
        for (const std::string& failure : caseFailures)
            ADD_FAILURE() << failure;
}

// On a slow link the figures move with every piece that arrives, and closing
// the session stops the transfer at once.
TEST(DownloadExports, SlowLinkShowsProgressAndStopsAtOnce)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    const std::wstring target = TargetPath("slow-link.bin");
    EXPECT_EQ(korvel->WsUdDownloadSubmit2(id, Server().Url(L"size=1000000;rate=65536").c_str(),
                                          target.c_str()),
              kStatusPending);
    uint64_t received = 0;
    uint64_t total = 0;
    uint64_t lastReceived = 0;
    DWORD lastChange = GetTickCount();
    DWORD longestStill = 0;
    for (const DWORD end = GetTickCount() + 1500; GetTickCount() < end;) {
        korvel->WsUdDownloadCheck2(id, 0, &received, &total);
        if (received != lastReceived) {
            if (lastReceived != 0)
                longestStill = std::max<DWORD>(longestStill, GetTickCount() - lastChange);
            lastReceived = received;
            lastChange = GetTickCount();
        }
        Sleep(10);
    }
    EXPECT_GT(received, 0u);
    EXPECT_LT(received, 1000000u);
    EXPECT_LE(longestStill, 250u) << "progress stood still";
    const DWORD start = GetTickCount();
    EXPECT_EQ(korvel->WsUdClose(id), 0u);
    EXPECT_LT(GetTickCount() - start, 300u);
    EXPECT_TRUE(ScriptedServer::FileHoldsPattern(target, std::filesystem::file_size(target)));
    std::filesystem::remove(target);
}

TEST(DownloadExports, SecondVersionCancelThenCleanSubmit)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    const std::wstring target = TargetPath("download2-cancel.bin");
    EXPECT_EQ(
        korvel->WsUdDownloadSubmit2(
            id, Server().Url(L"size=2000000;stallafter=98304;stallms=500").c_str(), target.c_str()),
        kStatusPending);
    uint64_t received = 0;
    uint64_t total = 0;
    for (int i = 0; i < 300 && received < 98304; ++i) {
        korvel->WsUdDownloadCheck2(id, 0, &received, &total);
        Sleep(10);
    }
    EXPECT_EQ(korvel->WsUdDownloadCancel2(id), 0u);
    const uint32_t state = PollSecondVersion(korvel, id, received, total);
    EXPECT_EQ(state, kStatusServerUnreachable) << "the aborted read failed";
    EXPECT_LT(received, 2000000u);

    EXPECT_EQ(
        korvel->WsUdDownloadSubmit2(id, Server().Url(L"size=2000000").c_str(), target.c_str()),
        kStatusPending);
    EXPECT_EQ(PollSecondVersion(korvel, id, received, total), kStatusTransferComplete);
    EXPECT_TRUE(ScriptedServer::FileHoldsPattern(target, 2000000))
        << "resumed from the cancelled part";
    std::filesystem::remove(target);
}
