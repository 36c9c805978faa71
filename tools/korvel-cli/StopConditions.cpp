#include "tools/korvel-cli/StopConditions.h"

#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/ExitCodes.h"

#include <atomic>

namespace korvel::cli {

namespace {

// Whether a command polls for Ctrl+C right now.
std::atomic<bool> g_commandPolls{false};

// Manual-reset: it carries the key press from the handler's thread to the
// command's, and stays set for the rest of the run.
HANDLE CtrlCEvent()
{
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(CtrlCEvent());
    if (g_commandPolls)
        return TRUE;
    Err().Write("korvel-cli: cancelled with Ctrl+C\n");
    ExitProcess(kExitCtrlC);
}

} // namespace

void InstallCtrlCHandler()
{
    CtrlCEvent();
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

StopConditions::StopConditions(uint32_t timeoutMs)
    : timeoutMs_(timeoutMs), startMs_(GetTickCount64())
{
    g_commandPolls = true;
}

StopConditions::~StopConditions()
{
    g_commandPolls = false;
}

bool StopConditions::CtrlCPressed() const
{
    return WaitForCtrlC(0);
}

bool StopConditions::WaitForCtrlC(DWORD ms) const
{
    return WaitForSingleObject(CtrlCEvent(), ms) == WAIT_OBJECT_0;
}

bool StopConditions::TimeLimitReached() const
{
    return timeoutMs_ != 0 && GetTickCount64() - startMs_ >= timeoutMs_;
}

} // namespace korvel::cli
