// Cancels, closes and unloads as a host does them, against servers that stall
// in each way a transfer can wait: every one returns at once, the transfer has
// ended when it returns, and what the transfer held is free again.
#include "tests/support/PercentEncode.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using korvel::host::KorvelLibrary;
using namespace korvel::test;

namespace {

using Clock = std::chrono::steady_clock;

const wchar_t kPipelineKey[] = L"SOFTWARE\\Talvessa\\Pipeline";
const wchar_t kTestingKey[] = L"SOFTWARE\\Talvessa\\InternalTesting";
constexpr long long kPromptMs = 300;

const ScriptedServer& Server()
{
    return ScriptedServer::Get();
}

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::wstring TargetPath(const std::string& name)
{
    const auto path = std::filesystem::temp_directory_path() / ("korvel-test-" + name);
    std::filesystem::remove(path);
    return path.wstring();
}

// Nobody holds the file open: the transfer that wrote it (if it got that far)
// has let go of it.
bool NobodyHolds(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    CloseHandle(file);
    return true;
}

struct StalledServer {
    const char* name;
    const wchar_t* script;
};

// A body that stops after its first part, an answer whose headers never come,
// and a server that stops reading what is posted to it.
const StalledServer kStalledServers[] = {
    {"mid-body", L"size=4000000;stallafter=100000;stallms=20000"},
    {"no headers", L"delay=20000;size=10"},
    {"unread upload", L"holdbody=20000;body=x"},
};

// What a host may have running when it gives up: a query, a download of each
// version, all against the same stalled server.
class RunningWork {
public:
    RunningWork(const KorvelLibrary& korvel, const StalledServer& server, const std::string& name)
        : korvel_(korvel), target_(TargetPath(name + ".bin")),
          pipeline_(kPipelineKey, L"S_URL", Server().Url(server.script, L"lumq/pipeline"))
    {
        EXPECT_EQ(korvel->WsUdOpen(L"host", L"1.0", L"", L"", L"en-US", &id_), 0u);
        const std::wstring url = Server().Url(server.script);
        EXPECT_EQ(korvel->WsUdQueryOpenGroup(id_, 0), 0u);
        EXPECT_EQ(korvel->WsUdQueryAddTerm(id_, L"ProductId", L"1"), 0u);
        EXPECT_EQ(korvel->WsUdQueryCloseGroup(id_), 0u);
        EXPECT_EQ(korvel->WsUdQuerySubmit(id_, 10, 0), kStatusPending);
        double progress = 0;
        uint8_t sizeKnown = 0;
        EXPECT_EQ(korvel->WsUdDownloadSubmit(id_, url.c_str(), 0, &progress, &sizeKnown),
                  kStatusPending);
        EXPECT_EQ(korvel->WsUdDownloadSubmit2(id_, url.c_str(), target_.c_str()), kStatusPending);
        // Long enough for every transfer to reach the server and wait there.
        Sleep(300);
    }
    ~RunningWork() { std::filesystem::remove(target_); }

    uint32_t Id() const { return id_; }
    const std::wstring& Target() const { return target_; }

private:
    const KorvelLibrary& korvel_;
    uint32_t id_ = 0;
    std::wstring target_;
    ScopedRegistryValue pipeline_;
};

// Packages that first-version downloads keep in the temporary folder.
int PackageFiles()
{
    int count = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.rfind(L"korvel-", 0) == 0 && entry.path().extension() == L".pkg")
            ++count;
    }
    return count;
}

// The log's lines, time stamps and all.
std::vector<std::wstring> LogLines(const std::wstring& path)
{
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(file), {});
    std::vector<std::wstring> lines;
    if (bytes.size() < 2)
        return lines;
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2),
                            (bytes.size() - 2) / 2);
    std::wistringstream stream(text);
    for (std::wstring line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(CancelExports, EveryCancelReturnsPromptlyAndFreesWhatTheTransferHeld)
{
    for (const StalledServer& server : kStalledServers) {
        SCOPED_TRACE(server.name);
        KorvelLibrary korvel;
        RunningWork work(korvel, server, "cancel");

        auto start = Clock::now();
        EXPECT_EQ(korvel->WsUdQueryCancel(work.Id()), 0u);
        EXPECT_LT(MillisecondsSince(start), kPromptMs) << "WsUdQueryCancel";
        EXPECT_EQ(korvel->WsUdQueryCheck(work.Id(), 0), kStatusNotRunning);

        start = Clock::now();
        EXPECT_EQ(korvel->WsUdDownloadCancel(work.Id()), 0u);
        EXPECT_LT(MillisecondsSince(start), kPromptMs) << "WsUdDownloadCancel";
        double progress = 0;
        uint8_t sizeKnown = 0;
        EXPECT_EQ(korvel->WsUdDownloadCheck(work.Id(), 0, &progress, &sizeKnown),
                  kStatusNotRunning);

        start = Clock::now();
        EXPECT_EQ(korvel->WsUdDownloadCancel2(work.Id()), 0u);
        // The replacing transfer collects the cancelled one and gets its file.
        const std::wstring good = Server().Url(L"size=300000");
        EXPECT_EQ(korvel->WsUdDownloadSubmit2(work.Id(), good.c_str(), work.Target().c_str()),
                  kStatusPending);
        EXPECT_LT(MillisecondsSince(start), kPromptMs) << "WsUdDownloadCancel2 and a new submit";
        uint64_t received = 0;
        uint64_t total = 0;
        uint32_t state = kStatusTransferStarted;
        for (int i = 0;
             i < 500 && static_cast<int32_t>(state) >= 0 && state != kStatusTransferComplete; ++i) {
            Sleep(10);
            state = korvel->WsUdDownloadCheck2(work.Id(), 0, &received, &total);
        }
        EXPECT_EQ(state, kStatusTransferComplete);
        EXPECT_TRUE(ScriptedServer::FileHoldsPattern(work.Target(), 300000));
    }
}

TEST(CancelExports, CloseAndUnloadEndEveryTransferAtOnce)
{
    const std::wstring logPath = TargetPath("cancel.log");
    for (const StalledServer& server : kStalledServers) {
        SCOPED_TRACE(server.name);
        std::optional<ScopedRegistryValue> log;
        log.emplace(kTestingKey, L"vostrellogging", logPath);
        std::optional<KorvelLibrary> korvel;
        korvel.emplace();
        {
            const int packages = PackageFiles();
            RunningWork closed(*korvel, server, "close");
            const auto start = Clock::now();
            EXPECT_EQ((*korvel)->WsUdClose(closed.Id()), 0u);
            EXPECT_LT(MillisecondsSince(start), kPromptMs) << "WsUdClose";
            EXPECT_TRUE(NobodyHolds(closed.Target()));
            EXPECT_EQ(PackageFiles(), packages) << "the package file went with the session";
        }
        RunningWork left(*korvel, server, "unload");
        const auto start = Clock::now();
        korvel.reset();
        EXPECT_LT(MillisecondsSince(start), kPromptMs) << "FreeLibrary";
        log.reset();
        EXPECT_EQ(GetModuleHandleW(L"korvel.dll"), nullptr) << "the library stays loaded";
        EXPECT_TRUE(NobodyHolds(left.Target()));
        // A transfer still running the library's code would now crash the process.
        Sleep(500);
        const std::vector<std::wstring> lines = LogLines(logPath);
        const auto summary = std::find_if(lines.begin(), lines.end(), [](const std::wstring& l) {
            return l.find(L"***SUMMARY***") != std::wstring::npos;
        });
        ASSERT_NE(summary, lines.end()) << "the log has no summary";
        for (auto line = summary; line != lines.end(); ++line)
            EXPECT_EQ(line->find(L"<"), std::wstring::npos) << "after the summary: " << *line;
        DeleteFileW(logPath.c_str());
    }
}

// Cancels land anywhere in a transaction's life: connecting, sending,
// waiting for the answer, reading the body, finishing. Four hosts threads
// share the work, each with a session of its own.
TEST(CancelExports, CancelsAtRandomMomentsLeaveEverythingWorking)
{
    constexpr int kThreads = 4;
    constexpr int kCancelsPerThread = 50;
    const std::string packet = ResponsePacket("<status code=\"0\">OK</status>", "today");
    ScopedRegistryValue pipeline(
        kPipelineKey, L"S_URL",
        Server().Url(L"delay=60;ctype=text%2Fxml;body=" + PercentEncode(packet), L"lumq/pipeline"));
    const std::wstring slow = Server().Url(L"delay=40;size=3000000;rate=6000000");
    const std::wstring quick = Server().Url(L"size=20000");
    KorvelLibrary korvel;
    std::vector<std::string> failures[kThreads];
    long long slowestCancelMs[kThreads] = {};
    auto host = [&](int thread) {
        std::mt19937 random(1234 + thread);
        std::uniform_int_distribution<int> moment(0, 300);
        const std::wstring target = TargetPath("random-" + std::to_string(thread) + ".bin");
        uint32_t id = 0;
        korvel->WsUdOpen(L"host", L"1.0", L"", L"", L"en-US", &id);
        korvel->WsUdQueryOpenGroup(id, 0);
        korvel->WsUdQueryAddTerm(id, L"ProductId", L"1");
        korvel->WsUdQueryCloseGroup(id);
        auto expect = [&](bool ok, const std::string& what, uint32_t status) {
            if (!ok)
                failures[thread].push_back(what + " " + std::to_string(status));
        };
        double progress = 0;
        uint8_t known = 0;
        uint64_t received = 0;
        uint64_t total = 0;
        for (int i = 0; i < kCancelsPerThread; ++i) {
            const int kind = i % 3;
            if (kind == 0)
                korvel->WsUdQuerySubmit(id, 10, 0);
            else if (kind == 1)
                korvel->WsUdDownloadSubmit(id, slow.c_str(), 0, &progress, &known);
            else
                korvel->WsUdDownloadSubmit2(id, slow.c_str(), target.c_str());
            Sleep(moment(random));
            const auto start = Clock::now();
            if (kind == 0)
                korvel->WsUdQueryCancel(id);
            else if (kind == 1)
                korvel->WsUdDownloadCancel(id);
            else
                korvel->WsUdDownloadCancel2(id);
            slowestCancelMs[thread] = std::max(slowestCancelMs[thread], MillisecondsSince(start));
            uint32_t status = 0;
            if (kind == 0) {
                status = korvel->WsUdQuerySubmit(id, 10, 10000);
                expect(status == 0, "query after cancel", status);
            } else if (kind == 1) {
                status = korvel->WsUdDownloadSubmit(id, quick.c_str(), 10000, &progress, &known);
                expect(status == kStatusNotRunning && progress == 1.0, "download after cancel",
                       status);
            } else {
                // The cancelled transfer's part of the file is resumed or rewritten.
                korvel->WsUdDownloadSubmit2(id, quick.c_str(), target.c_str());
                for (int poll = 0; poll < 1000; ++poll) {
                    status = korvel->WsUdDownloadCheck2(id, 0, &received, &total);
                    if (static_cast<int32_t>(status) < 0 || status == kStatusTransferComplete)
                        break;
                    Sleep(5);
                }
                expect(status == kStatusTransferComplete &&
                           ScriptedServer::FileHoldsPattern(target, 20000),
                       "file download after cancel", status);
            }
        }
        korvel->WsUdClose(id);
        DeleteFileW(target.c_str());
    };
    std::vector<std::thread> hosts;
    for (int thread = 0; thread < kThreads; ++thread)
        hosts.emplace_back(host, thread);
    for (std::thread& thread : hosts)
        thread.join();
    for (int thread = 0; thread < kThreads; ++thread) {
        for (const std::string& failure : failures[thread])
            ADD_FAILURE() << "host " << thread << ": " << failure;
        EXPECT_LT(slowestCancelMs[thread], kPromptMs) << "host " << thread;
    }
}
