#include "tools/korvel-cli/StopConditions.h"

#include <stdexcept>

namespace korvel::cli {

namespace {

// The handler runs on a thread of its own; a manual-reset event carries the
// key press to the waiting command thread.
HANDLE g_ctrlCEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(g_ctrlCEvent);
    return TRUE;
}

} // namespace

StopConditions::StopConditions(uint32_t timeoutMs)
    : timeoutMs_(timeoutMs), startMs_(GetTickCount64())
{
    g_ctrlCEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_ctrlCEvent == nullptr)
        throw std::runtime_error("cannot create an event, error " + std::to_string(GetLastError()));
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

StopConditions::~StopConditions()
{
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    CloseHandle(g_ctrlCEvent);
    g_ctrlCEvent = nullptr;
}

bool StopConditions::CtrlCPressed() const
{
    return WaitForSingleObject(g_ctrlCEvent, 0) == WAIT_OBJECT_0;
}

bool StopConditions::WaitForCtrlC(DWORD ms) const
{
    return WaitForSingleObject(g_ctrlCEvent, ms) == WAIT_OBJECT_0;
}

bool StopConditions::TimeLimitReached() const
{
    return timeoutMs_ != 0 && GetTickCount64() - startMs_ >= timeoutMs_;
}

} // namespace korvel::cli
