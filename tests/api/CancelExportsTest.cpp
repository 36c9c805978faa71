// Cancels, closes and unloads as a host does them, against servers that stall
// in each way a transfer can wait: every one returns at once, the transfer has
// ended when it returns, and what the transfer held is free again.
#include "tests/api/ExportFixture.h"
#include "tests/support/ChildProcess.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <random>
#include <thread>

using namespace korvel::test;

namespace {

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

// A body that stops after its first part, an answer whose headers never come,
// and a server that stops reading what is posted to it.
const struct StalledServer {
    const char* name;
    const wchar_t* script;
} kStalledServers[] = {
    {"mid-body", L"size=4000000;stallafter=100000;stallms=20000"},
    {"no headers", L"delay=20000;size=10"},
    {"unread upload", L"holdbody=20000;body=x"},
};

// Two threads a core that keep every core busy while they live (a minute at most), so
// that whatever WinINet does on a close competes for the processor, as on a
// loaded machine: closing a request whose answer still streams in reads the
// rest of it first, and a cancel that waits for that misses its bound.
class BusyCores {
public:
    BusyCores()
    {
        const DWORD end = GetTickCount() + 60000;
        for (unsigned i = 0; i < 2 * std::max(1u, std::thread::hardware_concurrency()); ++i)
            threads_.emplace_back([this, end] {
                while (!stop_ && GetTickCount() < end) {
                }
            });
    }
    ~BusyCores()
    {
        stop_ = true;
        for (std::thread& thread : threads_)
            thread.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

class CancelExports : public ExportFixture {
protected:
    // What a host may have running when it gives up: a query and a download
    // of each version, all against the same stalled server, started settleMs
    // before the return.
    uint32_t StartWork(const StalledServer& server, const std::wstring& target, DWORD settleMs)
    {
        PointPipelineAt(Server().Url(server.script, L"lumq/pipeline"));
        const uint32_t id = Open();
        const std::wstring url = Server().Url(server.script);
        BuildQuery(id);
        EXPECT_EQ(K().WsUdQuerySubmit(id, 10, 0), kStatusPending);
        double progress = 0;
        uint8_t sizeKnown = 0;
        EXPECT_EQ(K().WsUdDownloadSubmit(id, url.c_str(), 0, &progress, &sizeKnown),
                  kStatusPending);
        EXPECT_EQ(K().WsUdDownloadSubmit2(id, url.c_str(), target.c_str()), kStatusPending);
        Sleep(settleMs);
        return id;
    }
};

} // namespace

TEST_F(CancelExports, EveryCancelAndCloseReturnsPromptlyAndFreesWhatTheTransferHeld)
{
    const std::wstring target = TempTarget("cancel.bin");
    for (const StalledServer& server : kStalledServers) {
        SCOPED_TRACE(server.name);
        const int packages = PackageFiles();
        uint32_t id = StartWork(server, target, 300);
        EXPECT_LT(Timed([&] { return K().WsUdQueryCancel(id); }).ms, kPromptMs);
        EXPECT_EQ(K().WsUdQueryCheck(id, 0), kStatusNotRunning);
        EXPECT_LT(Timed([&] { return K().WsUdDownloadCancel(id); }).ms, kPromptMs);
        EXPECT_EQ(DownloadToEnd(id).status, kStatusNotRunning);
        EXPECT_LT(Timed([&] { return K().WsUdDownloadCancel2(id); }).ms, kPromptMs);
        EXPECT_EQ(FileDownloadToEnd(id), kStatusServerUnreachable) << "the aborted read failed";
        // The replacing transfer gets the file the cancelled one held.
        EXPECT_EQ(DownloadToFile(Server().Url(L"size=300000"), target, id),
                  kStatusTransferComplete);
        EXPECT_TRUE(ScriptedServer::FileHoldsPattern(target, 300000));
        K().WsUdClose(id);
        id = StartWork(server, target, 300);
        EXPECT_LT(Timed([&] { return K().WsUdClose(id); }).ms, kPromptMs);
        EXPECT_TRUE(NobodyHolds(target));
        EXPECT_EQ(PackageFiles(), packages) << "the package file went with the session";
    }
    std::filesystem::remove(target);
}

// The unload returns at once with a session's work running for a moment or
// none, nothing of the library's code runs on, and the log ends with its
// summary.
TEST_F(CancelExports, UnloadEndsEveryTransferAtOnce)
{
    const std::wstring log = TempTarget("unload.log");
    const std::wstring target = TempTarget("unload.bin");
    for (const StalledServer& server : kStalledServers) {
        for (const DWORD settleMs : {0, 300}) {
            SCOPED_TRACE(std::string(server.name) + " after " + std::to_string(settleMs) + " ms");
            Reload(log);
            StartWork(server, target, settleMs);
            const DWORD start = GetTickCount();
            Unload();
            EXPECT_LT(GetTickCount() - start, kPromptMs) << "FreeLibrary";
            // Late notices go to the gate, so nothing keeps the module.
            EXPECT_EQ(GetModuleHandleW(L"korvel.dll"), nullptr) << "the library stays loaded";
            EXPECT_TRUE(NobodyHolds(target));
            // A transfer still running the library's code would now crash the process.
            Sleep(200);
            const std::vector<std::wstring> lines = LogMessages(log);
            const auto summary = std::find(lines.begin(), lines.end(), L"***SUMMARY***");
            EXPECT_NE(summary, lines.end()) << "the log has no summary";
            for (auto line = summary; line != lines.end(); ++line)
                EXPECT_EQ(line->find(L"<"), std::wstring::npos) << "after the summary: " << *line;
            std::filesystem::remove(target);
        }
    }
    DeleteFileW(log.c_str());
}

// A file download whose body is still arriving, cancelled and the library
// unloaded at once: the server goes on sending two seconds later and then
// closes, and whatever WinINet says of the cancelled transfer then must reach
// no code of the unloaded library. On the strict WinINet the notices come late
// whatever the library did with its callbacks. Where the process refuses code
// made at run time, the library has no gate and stays loaded instead.
TEST_F(CancelExports, UnloadRightAfterCancellingADownloadWhoseBodyIsArriving)
{
    const std::wstring target = TempTarget("cancel-unload.bin");
    const std::wstring url = Server().Url(L"size=4000000;stallafter=100000;stallms=2000");
    const uint32_t id = Open();
    ASSERT_EQ(K().WsUdDownloadSubmit2(id, url.c_str(), target.c_str()), kStatusPending);
    uint64_t received = 0;
    uint64_t total = 0;
    for (int i = 0; i < 500 && received == 0; ++i, Sleep(10))
        K().WsUdDownloadCheck2(id, 0, &received, &total);
    ASSERT_NE(received, 0u) << "the body never started";
    EXPECT_LT(Timed([&] { return K().WsUdDownloadCancel2(id); }).ms, kPromptMs);
    const DWORD start = GetTickCount();
    Unload();
    EXPECT_LT(GetTickCount() - start, kPromptMs) << "FreeLibrary";
    EXPECT_EQ(GetModuleHandleW(L"korvel.dll") != nullptr, RefusesRuntimeCode())
        << "korvel.dll loaded after FreeLibrary";
    Sleep(2500);
    if (UnderStrictWinInet()) {
        for (const std::string& problem : StrictWinInet::TakeReport(0))
            ADD_FAILURE() << "strict WinINet: " << problem;
    }
    std::filesystem::remove(target);
}

// The worst moment of a fresh process: FreeLibrary right after the first
// download was submitted, while the pool thread that runs it may still be
// starting and WinINet has done nothing yet. unload-host.exe does it and
// exits with 0 when FreeLibrary returned within a second.
TEST_F(CancelExports, UnloadRightAfterTheFirstSubmitOfAFreshProcess)
{
    const std::wstring target = TempTarget("fresh-unload.bin");
    for (int run = 1; run <= 20; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(RunProgram(BesideTest(L"unload-host.exe"),
                             {Server().Url(L"delay=3000;size=100000"), target}, 10000)
                      .exitCode,
                  0u)
            << "2: FreeLibrary took a second or more; 0xDEAD: it hung";
    }
    std::filesystem::remove(target);
}

// ExitProcess a few milliseconds after eight downloads began, with the log on:
// the workers die wherever they are, holding whatever they held, so the
// process ends only if nothing the library runs at exit waits for them. No
// teardown of the library runs then, so its closing line never reaches the log.
TEST_F(CancelExports, ExitProcessWhileDownloadsRunEndsAtOnce)
{
    const std::wstring log = TempTarget("exit.log");
    const std::wstring target = TempTarget("exit.bin");
    const ScopedRegistryValue logging(L"SOFTWARE\\Talvessa\\InternalTesting", L"vostrellogging",
                                      log);
    for (const int sleepMs : {2, 9, 17, 25, 33, 40}) {
        SCOPED_TRACE(sleepMs);
        DeleteFileW(log.c_str());
        EXPECT_EQ(RunProgram(
                      BesideTest(L"unload-host.exe"),
                      {Server().Url(L"size=4000000;rate=200000"), target, std::to_wstring(sleepMs)},
                      5000)
                      .exitCode,
                  7u)
            << "0xDEAD: still running after 5 s";
        const std::vector<std::wstring> lines = LogMessages(log);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), L"<WsUpdatesManager::WsUpdatesManager>"),
                  1);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), L"</WsUpdatesManager::WsUpdatesManager>"),
                  0);
    }
    DeleteFileW(log.c_str());
    for (int i = 1; i <= 8; ++i)
        std::filesystem::remove(target + L"." + std::to_wstring(i));
}

// Cancels land anywhere in a transaction's life: connecting, sending,
// waiting for the answer, reading the body, finishing. Four host threads
// share the work, each with a session of its own, on a machine whose cores
// are all busy.
TEST_F(CancelExports, CancelsAtRandomMomentsLeaveEverythingWorking)
{
    constexpr int kThreads = 4;
    // The suite runs this three times: on Wine's WinINet and on the strict one
    // with each of its answers to a callback change.
    constexpr int kCancelsPerThread = 25;
    // Two spinning threads a core and four hosts share the cores, so a cancel may
    // wait a few time slices for its worker; one that waited for the rest of
    // the 3 s body would still take seconds.
    constexpr DWORD kLoadedPromptMs = 1000;
    AnswerPipeline(ScriptedServer::UniqueTag("random"), kOkPacket, L"delay=60;");
    const std::wstring slow = Server().Url(L"delay=40;size=3000000;rate=1000000");
    const std::wstring quick = Server().Url(L"size=20000");
    std::vector<std::string> failures[kThreads];
    DWORD slowestCancelMs[kThreads] = {};
    std::string slowestCancel[kThreads];
    auto host = [&](int thread) {
        std::mt19937 random(1234 + thread);
        std::uniform_int_distribution<int> moment(0, 300);
        const std::wstring target = TempTarget("random-" + std::to_string(thread) + ".bin");
        const uint32_t id = Open();
        BuildQuery(id);
        double progress = 0;
        uint8_t known = 0;
        const struct {
            const char* name;
            std::function<uint32_t()> start, cancel;
            std::function<bool()> worksAfter;
        } kinds[] = {
            {"query", [&] { return K().WsUdQuerySubmit(id, 10, 0); },
             [&] { return K().WsUdQueryCancel(id); },
             [&] { return K().WsUdQuerySubmit(id, 10, 10000) == 0; }},
            {"download",
             [&] { return K().WsUdDownloadSubmit(id, slow.c_str(), 0, &progress, &known); },
             [&] { return K().WsUdDownloadCancel(id); },
             [&] {
                 return K().WsUdDownloadSubmit(id, quick.c_str(), 10000, &progress, &known) ==
                            kStatusNotRunning &&
                        progress == 1.0;
             }},
            // The cancelled transfer's part of the file is resumed or rewritten.
            {"file download",
             [&] { return K().WsUdDownloadSubmit2(id, slow.c_str(), target.c_str()); },
             [&] { return K().WsUdDownloadCancel2(id); },
             [&] {
                 return DownloadToFile(quick, target, id) == kStatusTransferComplete &&
                        ScriptedServer::FileHoldsPattern(target, 20000);
             }},
        };
        for (int i = 0; i < kCancelsPerThread; ++i) {
            const auto& kind = kinds[i % 3];
            kind.start();
            Sleep(moment(random));
            const DWORD cancelMs = Timed(kind.cancel).ms;
            if (cancelMs > slowestCancelMs[thread]) {
                slowestCancelMs[thread] = cancelMs;
                slowestCancel[thread] = std::string(kind.name) + " " + std::to_string(i);
            }
            if (!kind.worksAfter())
                failures[thread].push_back(std::string(kind.name) + " after cancel " +
                                           std::to_string(i));
        }
        K().WsUdClose(id);
        DeleteFileW(target.c_str());
    };
    {
        const BusyCores busy;
        std::vector<std::thread> hosts;
        for (int thread = 0; thread < kThreads; ++thread)
            hosts.emplace_back(host, thread);
        for (std::thread& thread : hosts)
            thread.join();
    }
    for (int thread = 0; thread < kThreads; ++thread) {
        for (const std::string& failure : failures[thread])
            ADD_FAILURE() << "host " << thread << ": " << failure;
        EXPECT_LT(slowestCancelMs[thread], kLoadedPromptMs)
            << "host " << thread << ", " << slowestCancel[thread];
    }
}

// FreeLibrary at a random moment of a transfer, cancelled or not, with no
// wait for what the platform still has to say: on the strict WinINet the
// notices of the cancelled calls and closed handles come after the unload.
// No notice may reach the unloaded code and no handle may stay open.
TEST_F(CancelExports, UnloadsAtRandomMomentsWhileNoticesAreStillToCome)
{
    // The suite runs this three times: on Wine's WinINet and on the strict one
    // with each of its answers to a callback change.
    constexpr int kUnloads = 100;
    AnswerPipeline(ScriptedServer::UniqueTag("unloads"), kOkPacket, L"delay=20;");
    const std::wstring slow = Server().Url(L"delay=10;size=2000000;rate=20000000");
    const std::wstring target = TempTarget("random-unload.bin");
    std::mt19937 random(4321);
    std::uniform_int_distribution<int> moment(0, 60);
    DWORD slowestUnloadMs = 0;
    for (int i = 0; i < kUnloads; ++i) {
        Reload();
        const uint32_t id = Open();
        double progress = 0;
        uint8_t known = 0;
        if (i % 3 == 0) {
            BuildQuery(id);
            K().WsUdQuerySubmit(id, 10, 0);
        } else if (i % 3 == 1) {
            K().WsUdDownloadSubmit(id, slow.c_str(), 0, &progress, &known);
        } else {
            K().WsUdDownloadSubmit2(id, slow.c_str(), target.c_str());
        }
        Sleep(moment(random));
        if (i % 2 == 0) {
            K().WsUdQueryCancel(id);
            K().WsUdDownloadCancel(id);
            K().WsUdDownloadCancel2(id);
        }
        const DWORD start = GetTickCount();
        Unload();
        slowestUnloadMs = std::max(slowestUnloadMs, GetTickCount() - start);
    }
    EXPECT_LT(slowestUnloadMs, kPromptMs);
    std::filesystem::remove(target);
}
