// A GUI host whose window procedure calls the library while an export of the
// same session waits: every waiting export dispatches the thread's messages,
// so a timer or a posted message can reach a check in the middle of a cancel
// or a submit. The nested check reports the state, the outer call returns as
// it would without it, and the session goes on working.
#include "tests/api/ExportFixture.h"

#include <functional>
#include <thread>

using namespace korvel::test;

namespace {

constexpr UINT kReenter = WM_APP + 7;
// A hung outer call ends the test program rather than the whole suite.
constexpr DWORD kHungMs = 15000;

std::function<uint32_t()>* nestedCall = nullptr;
uint32_t nestedStatus = 0;
int nestedCalls = 0;

LRESULT CALLBACK HostWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message != kReenter)
        return DefWindowProcW(window, message, wparam, lparam);
    ++nestedCalls;
    nestedStatus = (*nestedCall)();
    return 0;
}

// A message-only window of the test's thread, and a watchdog that ends the
// program when the outer call never returns.
class ReenteringHost {
public:
    ReenteringHost()
    {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &HostWindow;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KorvelReenteringHost";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
    }
    ~ReenteringHost() { DestroyWindow(window_); }

    // Runs outer with the nested call posted to the window first.
    uint32_t Run(const char* name, const std::function<uint32_t()>& outer,
                 std::function<uint32_t()> nested)
    {
        nestedCall = &nested;
        nestedCalls = 0;
        PostMessageW(window_, kReenter, 0, 0);
        const HANDLE returned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::thread watchdog([returned, name] {
            if (WaitForSingleObject(returned, kHungMs) != WAIT_OBJECT_0) {
                fprintf(stderr, "%s: the outer call never returned\n", name);
                fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        });
        const uint32_t status = outer();
        SetEvent(returned);
        watchdog.join();
        CloseHandle(returned);
        // A message the outer call did not dispatch is dispatched now.
        MSG message;
        while (PeekMessageW(&message, window_, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        nestedCall = nullptr;
        return status;
    }

private:
    HWND window_ = nullptr;
};

class ReentryExports : public ExportFixture {};

} // namespace

TEST_F(ReentryExports, ANestedCheckDuringAWaitingCancelOrSubmitLeavesTheOuterCallWhole)
{
    AnswerPipeline(ScriptedServer::UniqueTag("reentry"), kOkPacket, L"delay=400;");
    const std::wstring slow = Server().Url(L"delay=3000;size=100000");
    const std::wstring late = Server().Url(L"delay=400;size=1000");
    const std::wstring target = TempTarget("reentry.bin");
    const uint32_t id = Open();
    double progress = 0;
    uint8_t known = 0;
    uint64_t received = 0;
    uint64_t total = 0;
    const auto queryCheck = [&] { return K().WsUdQueryCheck(id, 2000); };
    const auto downloadCheck = [&] { return K().WsUdDownloadCheck(id, 2000, &progress, &known); };
    const auto fileCheck = [&] { return K().WsUdDownloadCheck2(id, 0, &received, &total); };
    const auto startQuery = [&] {
        BuildQuery(id);
        return K().WsUdQuerySubmit(id, 10, 0);
    };
    const auto startDownload = [&] {
        return K().WsUdDownloadSubmit(id, slow.c_str(), 0, &progress, &known);
    };
    const auto startFile = [&] {
        return K().WsUdDownloadSubmit2(id, slow.c_str(), target.c_str());
    };
    const auto cancelQuery = [&] { return K().WsUdQueryCancel(id); };
    const auto cancelDownload = [&] { return K().WsUdDownloadCancel(id); };
    const auto submitQuery = [&] {
        BuildQuery(id);
        return K().WsUdQuerySubmit(id, 10, kLongWaitMs);
    };
    const auto submitDownload = [&] {
        return K().WsUdDownloadSubmit(id, late.c_str(), kLongWaitMs, &progress, &known);
    };
    const struct {
        const char* name;
        std::function<uint32_t()> start, outer, nested;
        uint32_t outerStatus;
    } kCases[] = {
        {"query check in a query cancel", startQuery, cancelQuery, queryCheck, 0},
        {"query check in a query submit", nullptr, submitQuery, queryCheck, 0},
        {"download check in a download cancel", startDownload, cancelDownload, downloadCheck, 0},
        {"download check in a download submit", nullptr, submitDownload, downloadCheck,
         kStatusNotRunning},
        {"file check in a query cancel", [&] { return startQuery() | startFile(); }, cancelQuery,
         fileCheck, 0},
        {"file check in a download submit", startFile, submitDownload, fileCheck,
         kStatusNotRunning},
    };
    ReenteringHost host;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        if (c.start)
            c.start();
        Sleep(100);
        EXPECT_EQ(host.Run(c.name, c.outer, c.nested), c.outerStatus);
        EXPECT_EQ(nestedCalls, 1);
        EXPECT_NE(nestedStatus, kStatusInvalidSession);
        // The session is whole: its transfers run to their end again.
        EXPECT_EQ(K().WsUdDownloadCancel2(id), 0u);
        EXPECT_EQ(submitQuery(), 0u);
        EXPECT_EQ(K().WsUdQueryCheck(id, 0), kStatusNotRunning);
    }
    K().WsUdClose(id);
    std::filesystem::remove(target);
}
