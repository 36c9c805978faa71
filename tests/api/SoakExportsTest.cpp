// A host that queries, downloads and cancels all day: once warm, the process's
// handles and private memory stay level, so a cancel costs nothing once its
// last notice has come.
#include "tests/api/ExportFixture.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <functional>
#include <random>
#include <thread>

using namespace korvel::test;

namespace {

// The process's handles, from the system's table (SystemExtendedHandleInformation),
// and its commit charge: Wine answers 0 for GetProcessHandleCount and PrivateUsage.
struct Footprint {
    ULONG_PTR handles = 0;
    SIZE_T privateBytes = 0;
};

Footprint Measure()
{
    struct Entry {
        void* object;
        ULONG_PTR processId, handle;
        ULONG access;
        USHORT creator, type;
        ULONG attributes, reserved;
    };
    std::vector<ULONG_PTR> table(1 << 20);
    ULONG length = 0;
    Footprint footprint;
    if (NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(64), table.data(),
                                 static_cast<ULONG>(table.size() * sizeof(ULONG_PTR)),
                                 &length) == 0) {
        const auto* entries = reinterpret_cast<const Entry*>(table.data() + 2);
        for (ULONG_PTR i = 0; i < table[0]; ++i)
            footprint.handles += entries[i].processId == GetCurrentProcessId();
    }
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    footprint.privateBytes = counters.PagefileUsage;
    return footprint;
}

class SoakExports : public ExportFixture {};

} // namespace

TEST_F(SoakExports, HandlesAndMemoryStayLevelUnderThousandsOfCancels)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 500;
    constexpr int kWarmRounds = 100;
    AnswerPipeline(ScriptedServer::UniqueTag("soak"), kOkPacket);
    const std::wstring streaming = Server().Url(L"size=400000;rate=8000000");
    std::atomic<int> queries{0};
    std::atomic<int> arrived{0};
    // Every host waits at the warm mark and at the end until the footprint is read.
    HANDLE measured[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                          CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    auto host = [&](int thread) {
        std::mt19937 random(77 + thread);
        std::uniform_int_distribution<int> moment(0, 8);
        const std::wstring target = TempTarget("soak-" + std::to_string(thread) + ".bin");
        const uint32_t id = Open();
        double progress = 0;
        uint8_t known = 0;
        const std::function<void()> kinds[] = {
            [&] { queries += K().WsUdQuerySubmit(id, 10, kLongWaitMs) == 0; },
            [&] {
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
        BuildQuery(id);
        for (int round = 0; round <= kRounds; ++round) {
            if (round == kWarmRounds || round == kRounds) {
                ++arrived;
                WaitForSingleObject(measured[round == kRounds], kLongWaitMs);
            }
            if (round < kRounds)
                kinds[round % 4]();
        }
        K().WsUdClose(id);
        DeleteFileW(target.c_str());
    };
    std::vector<std::thread> hosts;
    for (int thread = 0; thread < kThreads; ++thread)
        hosts.emplace_back(host, thread);
    Footprint footprints[2];
    for (int mark = 0; mark < 2; ++mark) {
        for (uint32_t waited = 0; arrived < kThreads * (mark + 1) && waited < 4 * kLongWaitMs;
             waited += 10)
            Sleep(10);
        // The pool's idle threads and their events leave about 5 s after
        // their last work (Wine's pool), and cancelled transfers may still
        // wait for their server: the lowest of the readings over 7 s counts.
        footprints[mark] = Measure();
        for (int reading = 0; reading < 14; ++reading, Sleep(500)) {
            const Footprint now = Measure();
            footprints[mark].handles = std::min(footprints[mark].handles, now.handles);
            footprints[mark].privateBytes =
                std::min(footprints[mark].privateBytes, now.privateBytes);
        }
        SetEvent(measured[mark]);
    }
    for (std::thread& thread : hosts)
        thread.join();
    CloseHandle(measured[0]);
    CloseHandle(measured[1]);
    const auto& [before, after] = footprints;
    printf("soak: handles %zu -> %zu, private bytes %zu -> %zu KiB\n", size_t(before.handles),
           size_t(after.handles), before.privateBytes / 1024, after.privateBytes / 1024);
    ASSERT_NE(before.handles, 0u);
    EXPECT_EQ(queries, kThreads * kRounds / 4);
    EXPECT_LE(after.handles, before.handles * 11 / 10);
    EXPECT_LE(after.privateBytes, before.privateBytes * 11 / 10);
}
