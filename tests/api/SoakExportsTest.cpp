// A host that queries, downloads and cancels all day: once warm, the process's
// handles and private memory stay level, so a cancel costs nothing once its
// last notice has come.
#include "tests/api/ExportFixture.h"

#include <psapi.h>
#include <winternl.h>

#include <functional>
#include <random>
#include <thread>

using namespace korvel::test;

namespace {

struct Footprint {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

// The process's open handles, from the system's handle table
// (SystemExtendedHandleInformation): Wine's GetProcessHandleCount answers 0.
DWORD OpenHandles()
{
    struct Entry {
        void* object;
        ULONG_PTR processId;
        ULONG_PTR handle;
        ULONG access;
        USHORT creator;
        USHORT type;
        ULONG attributes;
        ULONG reserved;
    };
    struct Table {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    constexpr auto kExtendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);
    constexpr auto kTooSmall = static_cast<NTSTATUS>(0xC0000004L);
    std::vector<char> buffer(1 << 20);
    ULONG length = 0;
    NTSTATUS status = kTooSmall;
    for (int tries = 0; tries < 8 && status == kTooSmall; ++tries, buffer.resize(buffer.size() * 2))
        status = NtQuerySystemInformation(kExtendedHandleInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &length);
    if (status != 0)
        return 0;
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    DWORD count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i)
        count += table->entries[i].processId == GetCurrentProcessId();
    return count;
}

// Private bytes are the commit charge, PagefileUsage: Wine leaves PrivateUsage 0.
Footprint Measure()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return {OpenHandles(), counters.PagefileUsage};
}

class SoakExports : public ExportFixture {};

} // namespace

TEST_F(SoakExports, HandlesAndMemoryStayLevelUnderThousandsOfCancels)
{
    constexpr int kThreads = 2;
    constexpr int kRounds = 1000;
    constexpr int kWarmRounds = 250;
    AnswerPipeline(ScriptedServer::UniqueTag("soak"), kOkPacket, L"delay=5;");
    const std::wstring streaming = Server().Url(L"size=400000;rate=4000000");
    int finished[kThreads] = {};
    HANDLE warm = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE measured = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE closing = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> warmThreads{0};
    std::atomic<int> doneThreads{0};
    auto host = [&](int thread) {
        std::mt19937 random(77 + thread);
        std::uniform_int_distribution<int> moment(0, 30);
        const std::wstring target = TempTarget("soak-" + std::to_string(thread) + ".bin");
        const uint32_t id = Open();
        double progress = 0;
        uint8_t known = 0;
        const std::function<void()> kinds[] = {
            [&] {
                BuildQuery(id);
                finished[thread] += K().WsUdQuerySubmit(id, 10, kLongWaitMs) == 0;
            },
            [&] {
                BuildQuery(id);
                K().WsUdQuerySubmit(id, 10, 0);
                Sleep(moment(random));
                K().WsUdQueryCancel(id);
            },
            [&] {
                K().WsUdDownloadSubmit(id, streaming.c_str(), 0, &progress, &known);
                Sleep(moment(random));
                K().WsUdDownloadCancel(id);
            },
            [&] {
                K().WsUdDownloadSubmit2(id, streaming.c_str(), target.c_str());
                Sleep(moment(random));
                K().WsUdDownloadCancel2(id);
            },
        };
        for (int round = 0; round < kRounds; ++round) {
            if (round == kWarmRounds) {
                if (++warmThreads == kThreads)
                    SetEvent(warm);
                WaitForSingleObject(measured, kLongWaitMs);
            }
            kinds[round % 4]();
        }
        if (++doneThreads == kThreads)
            SetEvent(done);
        WaitForSingleObject(closing, kLongWaitMs);
        K().WsUdClose(id);
        DeleteFileW(target.c_str());
    };
    std::vector<std::thread> hosts;
    for (int thread = 0; thread < kThreads; ++thread)
        hosts.emplace_back(host, thread);
    ASSERT_EQ(WaitForSingleObject(warm, kLongWaitMs), WAIT_OBJECT_0);
    // Cancelled transfers of the warm-up may still wait for their server.
    Sleep(500);
    const Footprint before = Measure();
    SetEvent(measured);
    EXPECT_EQ(WaitForSingleObject(done, 4 * kLongWaitMs), WAIT_OBJECT_0);
    Sleep(500);
    const Footprint after = Measure();
    SetEvent(closing);
    for (std::thread& thread : hosts)
        thread.join();
    for (const HANDLE event : {warm, measured, done, closing})
        CloseHandle(event);
    printf("soak: handles %lu -> %lu, private bytes %zu -> %zu KiB\n", before.handles,
           after.handles, before.privateBytes / 1024, after.privateBytes / 1024);
    ASSERT_NE(before.handles, 0u);
    ASSERT_NE(before.privateBytes, 0u);
    for (int thread = 0; thread < kThreads; ++thread)
        EXPECT_EQ(finished[thread], kRounds / 4) << "queries that ended well on host " << thread;
    EXPECT_LE(after.handles, before.handles * 11 / 10)
        << "handles " << before.handles << " -> " << after.handles;
    EXPECT_LE(after.privateBytes, before.privateBytes * 11 / 10)
        << "private bytes " << before.privateBytes << " -> " << after.privateBytes;
}
